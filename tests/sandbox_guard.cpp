#include "sandbox_guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace {
// linux/magic.h's TMPFS_MAGIC; not every C library's headers carry it.
const long tmpfs_magic = 0x01021994;

bool sys_boot_in_bounding_set() {
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr) return true;
    char line[256];
    unsigned long long caps = ~0ULL;
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "CapBnd:", 7) == 0) caps = strtoull(line + 7, nullptr, 16);
    }
    fclose(f);
    return ((caps >> 22) & 1) != 0;
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
    if (sys_boot_in_bounding_set()) return "CAP_SYS_BOOT is still in the bounding set";
    if (!is_tmpfs("/plorn_etc") || !is_tmpfs("/plorn")) return "/plorn or /plorn_etc is not a sandbox tmpfs";
    struct stat fake, seen;
    if (stat("/run/check_mem_sandbox/meminfo", &fake) != 0 || stat("/proc/meminfo", &seen) != 0 ||
        fake.st_ino != seen.st_ino)
        return "/proc/meminfo is not the sandbox's fake";
    return "";
}
