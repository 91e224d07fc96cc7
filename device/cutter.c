/* Aimed power cut of the emulated device: watches the state directory and
 * cuts the power DELAY_US microseconds after the first change of FILE (or
 * of a file whose name begins with FILE's, such as a temporary beside it)
 * that follows SKIP completed writes of FILE. A completed write is FILE
 * closed after writing, or a file renamed onto FILE.
 *
 * Usage: cutter DIR FILE SKIP DELAY_US [ubi DEVICE]
 * The cut is a reset without syncing (sysrq b): what the kernel has not
 * written to the storage is lost, as at a power cut. With "ubi", UBI's own
 * power-cut emulation is armed first, then DEVICE, the block device under
 * UBI (block2mtd over the disk), is flushed before the reset, so that what
 * UBI wrote before the cut survives, as on flash. Only that device: a
 * sync() would first write back what UBIFS still holds in the page cache,
 * and a write never flushed would survive a cut that loses it on flash.
 * Creates /tmp/cutter-armed once it watches; reports the cut on stdout. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

static void put(const char* path, const char* text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, text, strlen(text)) < 0) perror(path);
    if (fd >= 0) close(fd);
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: cutter DIR FILE SKIP DELAY_US [ubi DEVICE]\n");
        return 2;
    }
    const char* file = argv[2];
    long skip = atol(argv[3]), delay = atol(argv[4]);
    const char* ubi = argc > 6 && strcmp(argv[5], "ubi") == 0 ? argv[6] : NULL;
    signal(SIGTERM, SIG_IGN); /* lives through init's shutdown until the cut */
    signal(SIGHUP, SIG_IGN);
    int fd = inotify_init();
    if (fd < 0 || inotify_add_watch(fd, argv[1], IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE) < 0) {
        perror("cutter");
        return 1;
    }
    if (ubi) {
        put("/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut_min", "1");
        put("/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut_max", "1");
    }
    close(open("/tmp/cutter-armed", O_WRONLY | O_CREAT, 0644));
    char buf[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) return 1;
        for (char* p = buf; p < buf + n;) {
            const struct inotify_event* e = (const struct inotify_event*)p;
            p += sizeof(*e) + e->len;
            if (e->len == 0 || strncmp(e->name, file, strlen(file)) != 0) continue;
            int whole = strcmp(e->name, file) == 0;
            if (skip > 0) {
                if (whole && (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))) skip--;
                continue;
            }
            usleep(delay);
            if (ubi) put("/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut", "1");
            struct timespec now;
            clock_gettime(CLOCK_BOOTTIME, &now); /* the uptime the steps report with */
            printf("@@ %ld.%02ld cutter: cut %ld us after %s of %s\n", (long)now.tv_sec, now.tv_nsec / 10000000, delay,
                   e->mask & IN_MODIFY ? "a change" : e->mask & IN_CREATE ? "the creation" : "another event", e->name);
            fflush(stdout);
            if (ubi) {
                int dev = open(ubi, O_RDONLY);
                if (dev < 0 || fsync(dev) != 0) perror(ubi);
                if (dev >= 0) close(dev);
            }
            put("/proc/sysrq-trigger", "b");
            return 1;
        }
    }
}
