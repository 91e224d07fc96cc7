/* The worst day's memory eater of the emulated device, for strict
 * overcommit (vm.overcommit_memory=2): it lowers the free-memory figure
 * below TARGET kB, waits until the daemon's mark shows the low, then takes
 * every page of committed memory that is left, so that no process can be
 * created (fork fails with ENOMEM), and touches more of it, so that the
 * daemon samples a lower figure that no shell can store. Then it acts
 * without creating a process: a reboot request on the daemon's queue, or
 * SIGKILL to the application. It holds everything HOLD_S seconds, then
 * lets go. Reports go to the console as the scenario steps' do.
 *
 * The scenario sets vm.user_reserve_kbytes to 0 first: else the kernel
 * keeps a thirty-second of the eater's size from it, enough for a small
 * process's fork.
 *
 * Usage: eater TARGET_KB request|PID HOLD_S */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <unistd.h>

static long read_number(const char* path) {
    char buf[64] = {0};
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    return n > 0 ? atol(buf) : -1;
}

/* Read with read(2) into a buffer on the stack: no stdio, no heap. */
static long meminfo_kb(const char* key) {
    static char text[4096];
    int fd = open("/proc/meminfo", O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) return -1;
    text[n] = '\0';
    size_t len = strlen(key);
    for (char* line = text; line != NULL && *line != '\0';) {
        if (strncmp(line, key, len) == 0 && line[len] == ':') return atol(line + len + 1);
        line = strchr(line, '\n');
        if (line != NULL) ++line;
    }
    return -1;
}

static long figure_kb(void) { return meminfo_kb("MemFree") + meminfo_kb("Buffers") + meminfo_kb("Cached"); }

static void say(const char* fmt, long a, long b) {
    char line[200] = {0};
    char up[32] = {0};
    int fd = open("/proc/uptime", O_RDONLY);
    if (fd >= 0) {
        if (read(fd, up, sizeof(up) - 1) < 0) up[0] = '\0';
        close(fd);
    }
    char* space = strchr(up, ' ');
    if (space != NULL) *space = '\0';
    int n = snprintf(line, sizeof(line), "@@ %s eater ", up);
    n += snprintf(line + n, sizeof(line) - n, fmt, a, b);
    if (n > (int)sizeof(line) - 2) n = (int)sizeof(line) - 2;
    line[n] = '\n';
    fd = open("/dev/console", O_WRONLY);
    if (fd >= 0) {
        ssize_t w = write(fd, line, strlen(line));
        (void)w;
        close(fd);
    }
}

/* Maps bytes, committed but not touched; NULL once refused. */
static char* commit(size_t bytes) {
    char* p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? NULL : p;
}

static void touch(char* p, size_t bytes) {
    for (size_t i = 0; i < bytes; i += 4096) p[i] = 1;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: eater TARGET_KB request|PID HOLD_S\n");
        return 2;
    }
    long target = atol(argv[1]);
    int hold_s = atoi(argv[3]);
    signal(SIGHUP, SIG_IGN);
    while (figure_kb() > target) {
        char* p = commit(256 << 10);
        if (p == NULL) {
            say("cannot-lower figure=%ld committed=%ld", figure_kb(), meminfo_kb("Committed_AS"));
            return 1;
        }
        touch(p, 256 << 10);
    }
    long mark;
    while ((mark = read_number("/plorn_etc/meminfo.txt")) < 0 || mark >= 11720) sleep(1);
    sleep(2); /* the flag rises once the rewrite has returned */
    say("low mark=%ld figure=%ld", mark, figure_kb());
    /* Everything that can still be committed, largest pieces first; the
     * last piece kept aside to touch. */
    char* spare = NULL;
    size_t spare_bytes = 0;
    for (size_t piece = 16 << 20; piece >= 4096; piece /= 2) {
        char* p;
        while ((p = commit(piece)) != NULL) {
            if (spare == NULL || piece > spare_bytes) {
                spare = p;
                spare_bytes = piece;
            }
        }
    }
    /* 1 MiB lower than the stored mark, where the committed memory allows. */
    size_t lower = (size_t)(figure_kb() - mark + 1024) << 10;
    if (spare != NULL) touch(spare, lower < spare_bytes ? lower : spare_bytes);
    say("committed-all committed=%ld limit=%ld", meminfo_kb("Committed_AS"), meminfo_kb("CommitLimit"));
    pid_t child = fork();
    if (child == 0) _exit(0);
    int fork_errno = errno;
    say("lowered figure=%ld fork-errno=%ld", figure_kb(), child < 0 ? (long)fork_errno : 0L);
    if (strcmp(argv[2], "request") == 0) {
        struct {
            long mtype;
            char mtext[8];
        } req = {1, "reboot"};
        int id = msgget(ftok("/plorn", 97), 0);
        say("acted request=%ld id=%ld", (long)(id >= 0 ? msgsnd(id, &req, 6, IPC_NOWAIT) : -2), (long)id);
    } else {
        say("acted kill=%ld pid=%ld", (long)kill((pid_t)atol(argv[2]), SIGKILL), atol(argv[2]));
    }
    sleep((unsigned int)hold_s);
    say("let-go figure=%ld held=%ld", figure_kb(), (long)hold_s);
    return 0;
}
