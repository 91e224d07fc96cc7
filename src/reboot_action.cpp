#include "reboot_action.h"

#include <cstdio>
#include <cstring>

#include "shell_command.h"

namespace {
const char marker_path[] = "/plorn_etc/reboot_flag.txt";
// Written aside, flushed, then renamed over the marker and flushed again:
// a cut or a kill at any moment leaves the marker whole, never truncated
// (on flash file systems a truncation can reach the flash before the
// write). The shell's pid names the file aside, as the listener and the
// application watch may both write the marker at once. Once its own is
// renamed and flushed, a writer removes what killed rewrites left aside;
// should that take the other writer's file before its rename, the marker
// that stands is already this writer's "1", flushed.
const char marker_fmt[] = "echo 1 > %1$s.$$ && sync && mv %1$s.$$ %1$s && sync; rm -f %1$s.[0-9]*";
const char reboot_cmd[] = "reboot";
// The marker's two syncs take a second or two on a loaded flash device.
// Past this the storage is hung: the marker is given up, and the restart
// that such a device needs goes ahead without it.
const unsigned int marker_deadline_s = 30;
// reboot only asks init; one that does not return is retried at the next
// occasion, as one that returns without a restart is.
const unsigned int reboot_deadline_s = 30;
}  // namespace

void reboot_with_marker() {
    // The format names the path four times; each sizeof counts a byte
    // more than the text, which leaves room for the terminator.
    char cmd[sizeof(marker_fmt) + 4 * sizeof(marker_path)];
    memset(cmd, 0, sizeof(cmd));
    int n = snprintf(cmd, sizeof(cmd), marker_fmt, marker_path);
    // A cut command could write the marker elsewhere; the reboot still runs.
    if (n > 0 && static_cast<size_t>(n) < sizeof(cmd)) run_command(cmd, marker_deadline_s);
    run_command(reboot_cmd, reboot_deadline_s);
}
