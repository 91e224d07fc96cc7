// The least a three-threaded daemon costs: three threads that only sleep,
// built like check_mem. The footprint benchmark compares against it.

#include <pthread.h>
#include <unistd.h>

namespace {
void* nap(void*) {
    for (;;) sleep(30);
    return nullptr;
}
}  // namespace

int main() {
    pthread_t thread;
    pthread_create(&thread, nullptr, nap, nullptr);
    pthread_create(&thread, nullptr, nap, nullptr);
    nap(nullptr);
}
