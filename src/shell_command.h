#pragma once
// Every shell command of the daemon, with a deadline: a command that never
// ends (ps stuck on a task in D state, sync on a hung flash) must not stop
// the loop that runs it, nor the reboot that would mend the device.

#include <sys/types.h>

// Hands cmd to /bin/sh in a process group of its own, the environment as
// the daemon was given it, and waits at most deadline_s seconds. 0: the
// shell ended in time; 1: it overran, and its whole group was killed;
// -1: it could not be started (no process could be created). The shell's
// own status is not looked at. *shell, where given, gets the shell's pid
// (its $$), 0 when none started.
int run_command(const char* cmd, unsigned int deadline_s, pid_t* shell = nullptr);
