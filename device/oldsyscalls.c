/* An old vendor kernel's table of system calls, on the emulated device's
 * new one: installs a seccomp filter that refuses with ENOSYS every o32
 * system call numbered above LAST, as a kernel that never had it answers,
 * then execs PROGRAM. Filters are inherited and cannot be lifted, so as
 * the kernel's init (rdinit=) it puts the whole userland under that table.
 * It models which calls exist, not how the old kernel behaves in them.
 *
 * Usage: oldsyscalls [LAST PROGRAM [ARG...]]
 *        oldsyscalls probe     exit 0 when statx is refused with ENOSYS:
 *                              this process runs under such a filter
 * As the kernel's init (pid 1), or without arguments: LAST is Linux
 * 2.6.32's last o32 call, accept4 (4334; recvmmsg, 4335, came with
 * 2.6.33), and PROGRAM is /sbin/init, which gets init's arguments. Says on
 * stderr what it refuses, and checks it once. */
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#define LINUX_2_6_32_LAST 4334

/* statx (4366, Linux 4.11) as a kernel without it answers. */
static int statx_refused(void) {
    long ret = syscall(4366, -1, "", 0, 0, NULL);
    return ret == -1 && errno == ENOSYS;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "probe") == 0) return statx_refused() ? 0 : 1;
    long last = LINUX_2_6_32_LAST;
    char* init_argv[] = {"/sbin/init", NULL};
    char** program = init_argv;
    if (getpid() == 1) {
        /* The kernel's init: the words of its command line it did not
         * know (nokaslr, say) are init's, and go on to it. */
        argv[0] = init_argv[0];
        program = argv;
    } else if (argc >= 3) {
        last = strtol(argv[1], NULL, 10);
        program = argv + 2;
    } else if (argc != 1) {
        fprintf(stderr, "usage: oldsyscalls [LAST PROGRAM [ARG...]]\n");
        return 2;
    }
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_MIPSEL, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL),  /* no other ABI on this device */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, (unsigned)last, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {sizeof(filter) / sizeof(filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        perror("oldsyscalls: cannot install the filter");
        return 1;
    }
    if (last < 4366 && !statx_refused()) {
        fprintf(stderr, "oldsyscalls: the filter did not refuse statx\n");
        return 1;
    }
    fprintf(stderr, "oldsyscalls: o32 system calls above %ld refused with ENOSYS; exec %s\n", last, program[0]);
    execv(program[0], program);
    perror("oldsyscalls: exec");
    return 127;
}
