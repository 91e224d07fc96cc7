#include "request_listener.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "low_water.h"
#include "reboot_action.h"
#include "request_queue.h"

namespace {
const useconds_t empty_text_pause_us = 200000;
const useconds_t failure_pause_us = 2000000;

// One receive on the queue and what follows it, the pauses included.
void receive_request(int msg_id) {
    request_msg msg;
    memset(&msg, 0, sizeof(msg));
    ssize_t ret = msgrcv(msg_id, &msg, request_text_max, 0, 0);
    if (ret == 0) {
        usleep(empty_text_pause_us);
        return;
    }
    if (ret < 0) {
        int err = errno;
        printf("error occur, ret:%d, msgId:%d\n", static_cast<int>(ret), msg_id);
        if (err == E2BIG) {
            // A text too long to take would otherwise stay at the head of
            // the queue for good and block every request behind it. Take it
            // cut, and drop it: it is never a request.
            memset(&msg, 0, sizeof(msg));
            msgrcv(msg_id, &msg, request_text_max, 0, MSG_NOERROR | IPC_NOWAIT);
            return;
        }
        usleep(failure_pause_us);
        return;
    }
    if (msg.mtype == request_type && reboot_flag.load() == 1) reboot_with_marker();
}
}  // namespace

void* msg_thread(void*) {
    key_t key = ftok(request_queue_path, request_queue_id);
    int msg_id = msgget(key, IPC_CREAT | 0666);
    puts("msg_thread start");
    for (;;) receive_request(msg_id);
    return nullptr;
}
