#pragma once
// The daemon's own reads and writes of its files, through file
// descriptors and buffers on the stack. No FILE: musl maps a page for each
// one opened, which strict overcommit refuses once memory is exhausted,
// the moment the daemon exists for. The writes are for when the shell
// that normally writes a state file could not start or could not finish:
// the same steps through the daemon's own calls.

#include <sys/types.h>

// Which file a path names at a moment; both 0 when there is none.
struct file_id {
    dev_t dev;
    ino_t ino;
};
file_id identify_file(const char* path);

// True when a shell's write aside and rename replaced path: path now names
// another file than before, and no file aside named by that shell is left.
// Reads no content.
bool rewrite_completed(const char* path, file_id before, pid_t shell);

// Writes text into path.TID beside path, flushes it, renames it over path
// and flushes the directory. 0 when all of that succeeded, else the errno
// of the step that failed (the file aside is then removed).
int write_state_file(const char* path, const char* text);

// Reads up to size bytes (fewer only at the end or on an error); the
// count read.
size_t read_upto(int fd, char* buf, size_t size);
