#pragma once
// The one way the daemon restarts the device: marker file, then reboot.

// Writes "1" into the reboot marker, flushes it, then asks the shell to
// reboot whatever happened to the marker. Returns when the shell does.
void reboot_with_marker();
