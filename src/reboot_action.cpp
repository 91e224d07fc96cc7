#include "reboot_action.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/reboot.h>
#include <unistd.h>

#include "low_water.h"
#include "shell_command.h"
#include "state_file.h"
#include "system_log.h"

namespace {
const char marker_path[] = "/plorn_etc/reboot_flag.txt";
const char marker_text[] = "1\n";
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
// An init's shutdown ends the daemon within seconds (its stop script, or
// the kill of every process). Still running this long after reboot was
// asked, the device is not going down: reboot stuck in its sync() on a
// hung storage, or an init that did not act.
#define DIRECT_RESTART_AFTER_S 60
#define TEXT_OF(x) #x
#define TEXT(x) TEXT_OF(x)
const unsigned int direct_restart_after_s = DIRECT_RESTART_AFTER_S;

// A second for syslogd to take the line and pass it on (to its console,
// file or remote host) before the machine goes.
const timespec line_pause = {1, 0};

// The restart that needs neither a process nor init. Runs on the sampling
// loop's thread, the one that does not block the alarm: the other two may
// be the ones stuck. No sync() first: it could block on the hung storage
// that is why the device is still up, and the marker was flushed already.
void restart_directly(int) {
    int saved = errno;
    log_system_text(log_crit, "restarting directly with reboot(2): still running "
                              TEXT(DIRECT_RESTART_AFTER_S) " s after reboot was asked");
    nanosleep(&line_pause, nullptr);
    reboot(RB_AUTOBOOT);
    // Returned: not allowed to (no CAP_SYS_BOOT). The loops go on, and the
    // next occasion asks again.
    log_system_text(log_err, errno == EPERM ? "reboot(2) refused: no CAP_SYS_BOOT" : "reboot(2) failed");
    errno = saved;
}

// Armed by the first restart handed over and not pushed back by the next:
// the bound counts from the first.
void arm_direct_restart() {
    unsigned int left = alarm(direct_restart_after_s);
    if (left != 0) alarm(left);
}

void write_marker() {
    // The format names the path four times; each sizeof counts a byte
    // more than the text, which leaves room for the terminator.
    char cmd[sizeof(marker_fmt) + 4 * sizeof(marker_path)];
    memset(cmd, 0, sizeof(cmd));
    int n = snprintf(cmd, sizeof(cmd), marker_fmt, marker_path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(cmd)) return;
    file_id before = identify_file(marker_path);
    pid_t shell = 0;
    int ran = run_command(cmd, marker_deadline_s, &shell);
    // Overran: the storage hangs, and a write of the daemon's own would
    // hang this thread there too.
    if (ran == 1 || (ran == 0 && rewrite_completed(marker_path, before, shell))) return;
    // No shell, or one that could not start sync or mv: the same steps
    // through the daemon's own calls, the lasting low first.
    puts(ran < 0 ? "marker: no shell could start, written by the daemon"
                 : "marker: the shell did not finish it, written by the daemon");
    store_pending_low();
    int err = write_state_file(marker_path, marker_text);
    if (err != 0) printf("marker not written, errno %d\n", err);
}
}  // namespace

void prepare_direct_restart() {
    struct sigaction act;
    memset(&act, 0, sizeof(act));
    act.sa_handler = restart_directly;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &act, nullptr);
}

void reboot_with_marker() {
    write_marker();
    arm_direct_restart();
    if (run_command(reboot_cmd, reboot_deadline_s) >= 0) return;
    // No process for reboot: ask init as reboot itself does, with no sync
    // of its own (the marker is flushed; init syncs as it shuts down).
    // BusyBox init and procd take SIGTERM as "reboot".
    puts("reboot: no shell could start, init asked with SIGTERM");
    kill(1, SIGTERM);
}
