// check_mem_request: asks check_mem for a reboot. Sends one request (type 1,
// a short text) on the daemon's queue and says what went wrong otherwise.
// The daemon grants it only while memory has run low; a sent request is
// not an answer.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/msg.h>

#include "request_queue.h"

namespace {
const char request_text[] = "reboot";

// Exit statuses, for scripts.
const int exit_no_queue = 2;
const int exit_no_permission = 3;
const int exit_queue_full = 4;
const int exit_other = 1;

int fail(int status, const char* what) {
    fprintf(stderr, "check_mem_request: %s\n", what);
    return status;
}
}  // namespace

int main(int argc, char**) {
    if (argc > 1) return fail(exit_other, "takes no arguments");
    key_t key = ftok(request_queue_path, request_queue_id);
    if (key == -1) return fail(exit_no_queue, "no request queue: /plorn is missing");
    // Never created here: a queue without the daemon would only fill up.
    int id = msgget(key, 0);
    if (id == -1) {
        if (errno == ENOENT) return fail(exit_no_queue, "no request queue: check_mem is not running");
        if (errno == EACCES) return fail(exit_no_permission, "no permission to use the request queue");
        return fail(exit_other, strerror(errno));
    }
    struct {
        long mtype;
        char mtext[sizeof(request_text)];
    } msg;
    memset(&msg, 0, sizeof(msg));
    msg.mtype = request_type;
    memcpy(msg.mtext, request_text, sizeof(request_text));
    if (msgsnd(id, &msg, sizeof(request_text) - 1, IPC_NOWAIT) != 0) {
        if (errno == EAGAIN) return fail(exit_queue_full, "request queue full: check_mem is not taking requests");
        if (errno == EACCES) return fail(exit_no_permission, "no permission to send on the request queue");
        if (errno == EIDRM || errno == EINVAL) return fail(exit_no_queue, "no request queue: it was removed");
        return fail(exit_other, strerror(errno));
    }
    puts("check_mem_request: reboot request sent (granted only once memory has run low)");
    return 0;
}
