// Time from a request's msgsnd to the start of the reboot command it causes,
// on the real daemon in the sandbox: with no system log, with one that
// reads every line, and with one that has stopped reading (its queue
// full). Prints figures; asserts nothing.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
double wall_s() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Wall-clock time recorded by the fake for its n-th reboot call.
double reboot_time(int n) {
    std::istringstream in(read_file(reboot_log_path));
    std::string name;
    double t = 0;
    std::string rest;
    for (int i = 0; i < n && in >> name >> t; ++i) std::getline(in, rest);
    return t;
}

enum system_log_kind { no_log, reading_log, stuck_log };

// 0 when every request reached the reboot; prints one line of figures.
int measure(int requests, system_log_kind kind) {
    static const char* const labels[] = {"no /dev/log", "a syslogd that reads", "a stuck syslogd"};
    reset();
    unlink("/dev/log");  // reset()'s own
    int syslog = kind == no_log ? -1 : open_system_log();
    if (kind == stuck_log) fill_system_log();
    set_meminfo(5000, 1000, 4000);
    pid_t pid = start();
    // The flag rises just after this line; a stuck log cannot say when.
    if (!wait_until([] { return count_lines(log(), "ram space not enough") >= 1 && queue_id() >= 0; }, 10) ||
        usleep(100000) != 0) {
        fprintf(stderr, "bench_request: the daemon did not raise its flag\n");
        stop(pid);
        return 1;
    }
    std::vector<double> ms;
    for (int i = 1; i <= requests; ++i) {
        double sent = wall_s();
        send_message(1, "bench");
        if (!wait_until([i] { return reboot_calls() >= i; }, 10)) break;
        ms.push_back((reboot_time(i) - sent) * 1000);
        if (kind == reading_log) read_system_log(syslog);
    }
    stop(pid);
    if (syslog >= 0) close_system_log(syslog);
    if (ms.size() != static_cast<size_t>(requests)) {
        fprintf(stderr, "bench_request: only %zu of %d requests reached the reboot\n", ms.size(), requests);
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    printf("request to reboot command, %d requests, %-21s median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms\n",
           requests, labels[kind], ms[ms.size() / 2], ms[(ms.size() * 99) / 100], ms.front(), ms.back());
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    std::string why = sandbox_refusal();
    if (!why.empty()) {
        fprintf(stderr, "bench_request: %s\n", why.c_str());
        return 77;
    }
    int requests = argc > 1 ? atoi(argv[1]) : 200;
    for (system_log_kind kind : {no_log, reading_log, stuck_log})
        if (measure(requests, kind) != 0) return 1;
    return 0;
}
