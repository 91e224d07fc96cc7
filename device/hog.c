/* Memory hog of the emulated device: takes memory until the free-memory
 * figure (MemFree + Buffers + Cached of /proc/meminfo, as the daemon adds
 * it) is at or below TARGET kB, then keeps it there until killed: the
 * kernel frees caches once the pressure stops, so it takes more whenever
 * the figure rises again.
 *
 * Usage: hog TARGET_KB [STEP_KB SECONDS]
 * With a step, it takes STEP_KB every SECONDS instead of all at once, so
 * that the figure keeps falling; it reports each figure on stdout. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static long figure_kb(void) {
    FILE* f = fopen("/proc/meminfo", "r");
    if (f == NULL) return -1;
    char line[128];
    long sum = 0, value = 0;
    char key[64];
    while (fgets(line, sizeof(line), f) != NULL) {
        if (sscanf(line, "%63[^:]: %ld", key, &value) != 2) continue;
        if (strcmp(key, "MemFree") == 0 || strcmp(key, "Buffers") == 0 || strcmp(key, "Cached") == 0)
            sum += value;
    }
    fclose(f);
    return sum;
}

/* Takes kb more, page by page, so that the kernel must find it at once. */
static int take(long kb) {
    size_t bytes = (size_t)kb * 1024;
    char* p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return -1;
    for (size_t i = 0; i < bytes; i += 4096) p[i] = 1;
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: hog TARGET_KB [STEP_KB SECONDS]\n");
        return 2;
    }
    long target = atol(argv[1]);
    long step = argc == 4 ? atol(argv[2]) : 256;
    unsigned int pause_s = argc == 4 ? (unsigned int)atoi(argv[3]) : 0;
    setvbuf(stdout, NULL, _IOLBF, 0);
    for (;;) {
        long now = figure_kb();
        if (now < 0) return 1;
        if (pause_s > 0) printf("hog: figure %ld kB\n", now);
        if (now <= target) break;
        long want = now - target < step ? now - target : step;
        if (take(want) != 0) {
            fprintf(stderr, "hog: cannot take %ld kB more at %ld kB\n", want, now);
            return 1;
        }
        if (pause_s > 0) sleep(pause_s);
    }
    printf("hog: holding, figure %ld kB\n", figure_kb());
    for (;;) {
        sleep(1);
        long now = figure_kb();
        if (now > target && take(now - target) != 0) return 1;
    }
}
