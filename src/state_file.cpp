#include "state_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Room for the state files' paths and a suffix of up to 11 characters.
const size_t name_max = 96;

// path.ID, false when it does not fit.
bool aside_name(char (&out)[name_max], const char* path, long id) {
    memset(out, 0, sizeof(out));
    int n = snprintf(out, sizeof(out), "%s.%ld", path, id);
    return n > 0 && static_cast<size_t>(n) < sizeof(out);
}

// The directory that holds path, for its flush.
bool directory_of(char (&out)[name_max], const char* path) {
    memset(out, 0, sizeof(out));
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) return false;
    size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (len >= sizeof(out)) return false;
    memcpy(out, path, len);
    return true;
}

int write_all(int fd, const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t n = write(fd, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        text += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}
}  // namespace

size_t read_upto(int fd, char* buf, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

file_id identify_file(const char* path) {
    file_id id;
    memset(&id, 0, sizeof(id));
    struct stat st;
    if (stat(path, &st) == 0) {
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    return id;
}

bool rewrite_completed(const char* path, file_id before, pid_t shell) {
    char aside[name_max];
    if (!aside_name(aside, path, shell)) return false;
    if (access(aside, F_OK) == 0) return false;
    file_id now = identify_file(path);
    // The file aside was created while the old file still stood, so a
    // rename gives the path another inode; the same one means no rename.
    if (now.ino == 0) return false;
    return now.dev != before.dev || now.ino != before.ino;
}

int write_state_file(const char* path, const char* text) {
    char aside[name_max];
    char dir[name_max];
    // By thread, not process: both threads that restart may write the
    // marker at once, and one must never truncate the other's file aside.
    if (!aside_name(aside, path, static_cast<long>(gettid())) || !directory_of(dir, path)) return ENAMETOOLONG;
    int fd = open(aside, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int err = write_all(fd, text);
    if (err == 0 && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && rename(aside, path) != 0) err = errno;
    if (err != 0) {
        unlink(aside);
        return err;
    }
    int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return errno;
    if (fsync(dir_fd) != 0) err = errno;
    close(dir_fd);
    return err;
}
