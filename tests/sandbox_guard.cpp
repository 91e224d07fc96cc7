#include "sandbox_guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace {
// linux/magic.h's TMPFS_MAGIC; not every C library's headers carry it.
const long tmpfs_magic = 0x01021994;

// In any capability set: with it, reboot(2) would not fail with EPERM.
bool sys_boot_in_a_set() {
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr) return true;
    char line[256];
    int sets = 0;
    bool held = false;
    while (fgets(line, sizeof(line), f) != nullptr) {
        for (const char* set : {"CapInh:", "CapPrm:", "CapEff:", "CapBnd:", "CapAmb:"}) {
            if (strncmp(line, set, 7) != 0) continue;
            ++sets;
            held = held || ((strtoull(line + 7, nullptr, 16) >> 22) & 1) != 0;
        }
    }
    fclose(f);
    return held || sets != 5;
}

// PID 1 is the sandbox's own: a SIGTERM to init lands in the script.
bool init_is_the_sandbox() {
    FILE* f = fopen("/proc/1/cmdline", "r");
    if (f == nullptr) return false;
    char words[512];
    memset(words, 0, sizeof(words));
    size_t n = fread(words, 1, sizeof(words) - 1, f);
    fclose(f);
    for (size_t i = 0; i < n; ++i)
        if (words[i] == '\0') words[i] = ' ';
    return strstr(words, "/sandbox ") != nullptr;
}

bool is_tmpfs(const char* path) {
    struct statfs fs;
    return statfs(path, &fs) == 0 && fs.f_type == tmpfs_magic;
}
}  // namespace

std::string sandbox_refusal() {
    const char* mark = getenv("CHECK_MEM_SANDBOX");
    if (mark == nullptr || strcmp(mark, "guarded") != 0)
        return "not inside script/sandbox: the daemon's fixed paths and reboot are off limits";
    if (sys_boot_in_a_set()) return "CAP_SYS_BOOT is still in a capability set";
    if (!init_is_the_sandbox()) return "PID 1 is not the sandbox's own";
    if (!is_tmpfs("/plorn_etc") || !is_tmpfs("/plorn")) return "/plorn or /plorn_etc is not a sandbox tmpfs";
    struct stat fake, seen;
    if (stat("/run/check_mem_sandbox/meminfo", &fake) != 0 || stat("/proc/meminfo", &seen) != 0 ||
        fake.st_ino != seen.st_ino)
        return "/proc/meminfo is not the sandbox's fake";
    return "";
}
