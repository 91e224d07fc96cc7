/* Preloaded into the daemon by the end-to-end tests only.
 *
 * glibc's daemon() points standard output at the null device and refuses a
 * stand-in for it, so the log lines would be lost: after the real daemon()
 * this points standard output at $CHECK_MEM_LOG, line buffered, and writes
 * the background process's id to $CHECK_MEM_PIDFILE. With
 * $CHECK_MEM_FAIL_THREAD=N the N-th pthread_create fails, to reach the
 * start-up failures. With $CHECK_MEM_FAIL_ACCESS=E (a number) access() of
 * the low-water mark fails with errno E, as a transient fault would. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int daemon(int nochdir, int noclose) {
    int (*real_daemon)(int, int) = (int (*)(int, int))dlsym(RTLD_NEXT, "daemon");
    if (real_daemon == NULL) return -1;
    int ret = real_daemon(nochdir, noclose);
    if (ret != 0) return ret;
    const char* log = getenv("CHECK_MEM_LOG");
    if (log != NULL) {
        int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            close(fd);
            setvbuf(stdout, NULL, _IOLBF, 0);
        }
    }
    const char* pidfile = getenv("CHECK_MEM_PIDFILE");
    if (pidfile != NULL) {
        char tmp[256];
        if (snprintf(tmp, sizeof(tmp), "%s.tmp", pidfile) < (int)sizeof(tmp)) {
            FILE* f = fopen(tmp, "w");
            if (f != NULL) {
                fprintf(f, "%d\n", (int)getpid());
                fclose(f);
                rename(tmp, pidfile);
            }
        }
    }
    return 0;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static int calls;
    typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    create_fn real_create = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    const char* fail = getenv("CHECK_MEM_FAIL_THREAD");
    if (fail != NULL && ++calls == atoi(fail)) return EAGAIN;
    if (real_create == NULL) return EAGAIN;
    return real_create(thread, attr, start, arg);
}

int access(const char* path, int mode) {
    typedef int (*access_fn)(const char*, int);
    access_fn real_access = (access_fn)dlsym(RTLD_NEXT, "access");
    const char* fail = getenv("CHECK_MEM_FAIL_ACCESS");
    if (fail != NULL && strcmp(path, "/plorn_etc/meminfo.txt") == 0) {
        errno = atoi(fail);
        return -1;
    }
    if (real_access == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real_access(path, mode);
}
