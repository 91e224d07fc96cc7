// The least a three-threaded daemon costs: one thread that reads
// /proc/meminfo every 30 s and two that only sleep, built like check_mem.
// The footprint and cost benchmarks compare against it.

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {
void* nap(void*) {
    for (;;) sleep(30);
    return nullptr;
}

void sample() {
    char buf[1024];
    int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
    close(fd);
}
}  // namespace

int main() {
    pthread_t thread;
    pthread_create(&thread, nullptr, nap, nullptr);
    pthread_create(&thread, nullptr, nap, nullptr);
    for (;;) {
        sample();
        sleep(30);
    }
}
