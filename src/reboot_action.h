#pragma once
// The one way the daemon restarts the device: marker file, then reboot.

// Writes "1" into the reboot marker, flushes it, then asks the shell to
// reboot whatever happened to the marker. Returns when the shell does.
// Where no shell can start, the daemon writes the marker and asks init
// itself; a device still up a fixed time after the first such request is
// restarted with reboot(2), on the thread that does not block SIGALRM.
void reboot_with_marker();

// Installs the direct restart's SIGALRM handler; called once at start,
// before the threads, which are to block SIGALRM.
void prepare_direct_restart();
