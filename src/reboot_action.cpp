#include "reboot_action.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char marker_path[] = "/plorn_etc/reboot_flag.txt";
const char marker_fmt[] = "echo 1 > %s && sync";
const char reboot_cmd[] = "reboot";
}  // namespace

void reboot_with_marker() {
    char cmd[64];
    memset(cmd, 0, sizeof(cmd));
    int n = snprintf(cmd, sizeof(cmd), marker_fmt, marker_path);
    // A cut command could write the marker elsewhere; the reboot still runs.
    if (n > 0 && static_cast<size_t>(n) < sizeof(cmd)) system(cmd);
    system(reboot_cmd);
}
