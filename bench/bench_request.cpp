// Time from a request's msgsnd to the start of the reboot command it causes,
// on the real daemon in the sandbox. Prints figures; asserts nothing.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <time.h>
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
}  // namespace

int main(int argc, char** argv) {
    std::string why = sandbox_refusal();
    if (!why.empty()) {
        fprintf(stderr, "bench_request: %s\n", why.c_str());
        return 77;
    }
    int requests = argc > 1 ? atoi(argv[1]) : 200;
    reset();
    set_meminfo(5000, 1000, 4000);
    pid_t pid = start();
    if (!wait_until([] { return count_lines(log(), "ram space not enough") >= 1 && queue_id() >= 0; }, 10)) {
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
    }
    stop(pid);
    if (ms.size() != static_cast<size_t>(requests)) {
        fprintf(stderr, "bench_request: only %zu of %d requests reached the reboot\n", ms.size(), requests);
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    printf("request to reboot command, %d requests: median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms\n",
           requests, ms[ms.size() / 2], ms[(ms.size() * 99) / 100], ms.front(), ms.back());
    return 0;
}
