#pragma once
// Lines for the system log: /dev/log, facility daemon, tag check_mem with
// the pid. Sent so that they never hold anything back: a line that cannot
// go at once is dropped.

// The syslog levels the daemon uses.
const int log_crit = 2;
const int log_err = 3;
const int log_warning = 4;
const int log_notice = 5;
const int log_info = 6;

// Formats one line as printf does and sends it; at most 255 bytes of it.
void log_system(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The same for a fixed text, without printf: safe in a signal handler.
void log_system_text(int level, const char* text);
