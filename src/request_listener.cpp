#include "request_listener.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "low_water.h"
#include "reboot_action.h"
#include "request_queue.h"
#include "system_log.h"

namespace {
const useconds_t empty_text_pause_us = 200000;
const useconds_t failure_pause_us = 2000000;
// Refused requests reach the system log at most once a minute, with the
// count since the last line: a sender in a loop must not flood it.
const time_t refusal_line_every_s = 60;

// The listener's own record of refused requests.
struct refusals {
    unsigned long count;
    bool said;
    time_t said_at;  // monotonic seconds
};

time_t monotonic_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

void refuse(refusals* r) {
    ++r->count;
    time_t now = monotonic_s();
    if (r->said && now - r->said_at < refusal_line_every_s) return;
    log_system(log_notice, "refused %lu reboot request(s): free memory has not fallen below 11720 kB", r->count);
    r->count = 0;
    r->said = true;
    r->said_at = now;
}

// One receive on the queue and what follows it, the pauses included.
void receive_request(int msg_id, refusals* refused) {
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
    if (msg.mtype != request_type) return;
    if (reboot_flag.load() != 1) {
        refuse(refused);
        return;
    }
    log_system(log_err, "restarting: reboot request granted, free memory fell below 11720 kB (%d kB)",
               low_memory_figure());
    reboot_with_marker();
}
}  // namespace

void* msg_thread(void*) {
    key_t key = ftok(request_queue_path, request_queue_id);
    int msg_id = msgget(key, IPC_CREAT | 0666);
    puts("msg_thread start");
    refusals refused;
    memset(&refused, 0, sizeof(refused));
    for (;;) receive_request(msg_id, &refused);
    return nullptr;
}
