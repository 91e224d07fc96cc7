#pragma once
// What the daemon sets for itself at start, whoever starts it, and undoes
// for every command it runs: signal actions, the signal mask, and its
// score for the kernel's OOM killer.

// At start, before the threads: every signal's default action, SIGHUP,
// SIGUSR1, SIGUSR2 and SIGPIPE ignored, nothing blocked; the OOM killer's
// score at its lowest (where the kernel has only oom_adj, that).
void setup_daemon_process();

// In a command's child before its exec: the default actions, nothing
// blocked, the OOM score back at 0. Async-signal-safe calls only.
void setup_command_process();
