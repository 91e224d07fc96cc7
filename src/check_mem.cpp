// Supervision daemon: low-water memory mark, reboot requests granted once
// memory ran low, and a restart when the application is gone.

#include <pthread.h>
#include <cstdio>
#include <unistd.h>

#include "app_watch.h"
#include "low_water.h"
#include "mem_sample.h"
#include "request_listener.h"

namespace {
const unsigned int sample_period_s = 30;
}

int main() {
    if (daemon(0, 0) == -1) return -1;
    seed_low_water();
    pthread_t thread;
    if (pthread_create(&thread, nullptr, msg_thread, nullptr) != 0) {
        puts("create msg_thread failed");
        return -2;
    }
    if (pthread_create(&thread, nullptr, mornitor_thread, nullptr) != 0) {
        puts("create mornitor_thread failed");
        return -3;
    }
    for (;;) {
        record_mem_info();
        sleep(sample_period_s);
    }
}
