#pragma once
// The simulated device of the end-to-end tests: the real check_mem binary
// started inside script/sandbox, its fixed paths and the fake reboot.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#define REQUIRE_FAKETIME() \
    do { \
        if (device::emulated()) GTEST_SKIP() << "spans several periods: libfaketime cannot speed up the emulator"; \
    } while (0)

namespace device {

extern const char log_path[];
extern const char reboot_log_path[];
extern const char mark_path[];
extern const char marker_path[];
extern const char check_path[];

struct start_options {
    double time_rate = 0;               // > 0: libfaketime speeds the clock up by this
    std::vector<std::string> args;      // command-line arguments (ignored by the daemon)
    std::string fail_thread;            // make this pthread_create fail ("1", "2")
    int fail_access = 0;                // errno of a failing existence test of the mark
    bool expect_running = true;
    bool without_dac_override = false;  // file modes bind the daemon, as for a non-root user
    bool hostile_starter = false;       // the starter blocks SIGTERM, ignores SIGHUP, OOM score 500
};

// Empties /plorn and /plorn_etc, the logs and the request queue, puts plenty
// of free memory into the fake /proc/meminfo, opens a system log for
// flag_raised() and starts the application.
void reset();

// Waits until the daemon has said in the system log that reset() opened
// that its low-memory flag is up. It says so just after raising it, where
// "ram space not enough" comes just before: a request sent now is granted.
bool flag_raised(double timeout_s = 10);
// Everything the daemon has said so far in that system log.
std::string system_log_said();

// Rewrites the fake /proc/meminfo in place with these kB figures.
void set_meminfo(int free_kb, int buffers_kb, int cached_kb);

// Starts check_mem as its starter would; fails the test unless the starting
// command ends with status 0 at once. Returns the background process's id.
pid_t start(const start_options& options = start_options());

// Kills and reaps the background process (started by this test only),
// and the shell commands it runs, each in a process group of its own.
void stop(pid_t pid);

// What a shell command said (stdout and stderr) and its exit status (-1
// when killed by a signal).
struct result {
    int status;
    std::string output;
};
result run(const std::string& command);

// The daemon's binary as the tests start it, and the request tool: through
// the emulator where there is one.
std::string daemon_command();
std::string request_tool();

// Waits for the background process to end and checks its exit status.
// Under the emulator, which cannot make this process a subreaper, the
// status is not seen: only the end is checked there.
void expect_exit(pid_t pid, int status);

bool running(pid_t pid);

// Polls until cond() holds; false after timeout_s.
bool wait_until(const std::function<bool()>& cond, double timeout_s);

// Waits until the daemon has finished whatever it started: the queue is
// empty, no shell command of its runs, and each of its threads sleeps or
// waits for a message. A reboot counted after this is final; one counted
// as soon as the queue drains may still be on its way.
bool settled(pid_t pid, double timeout_s = 30);

std::string read_file(const char* path);
void write_file(const char* path, const std::string& bytes);
bool exists(const char* path);

std::string log();
// Samples the daemon has logged so far.
int samples();
// What fn() printed on standard output.
std::string stdout_of(const std::function<void()>& fn);
// Log lines that begin with prefix.
int count_lines(const std::string& text, const std::string& prefix);
// The lines of the memory watch only, in their order.
std::string memory_lines(const std::string& text);
// Calls of the fake reboot-like commands.
int reboot_calls();
// Restarts the application watch asked for, each said once in the log:
// on a loaded machine a listing can overrun its deadline and restart a
// test that is about requests.
int watch_restarts();
// The marker file as the first of those calls found it ("" when missing).
std::string marker_at_first_reboot();
// Files beside the state files that a rewrite left behind (none, once
// every rewrite has ended).
std::vector<std::string> files_aside();
// Empties the record of those calls.
void forget_reboots();

double monotonic_s();

// The daemon runs under the target's emulator, where libfaketime cannot
// reach: the cases that span several periods are left to the host build.
bool emulated();
// The emulator's command words for a program under test, with the core
// that CHECK_MEM_TEST_CPU names; empty on the host.
std::string emulator();


// The request queue's key as every sender makes it: ftok("/plorn", 97).
key_t queue_key();
// The request queue the daemon opened, -1 while there is none.
int queue_id();
// Sends one message of this type and text; false when msgsnd fails. With
// wait_for_room, blocks while the queue is full, as a device process would.
bool send_message(long type, const std::string& text, bool wait_for_room = false);
// Messages waiting in the queue.
int queued();
// Unmounts and removes /plorn_etc, or puts a fresh one back.
void remove_state_dir();
void restore_state_dir();

// Starts a stand-in for the application (a copy of sleep) as argv0 from the
// directory cwd; the copy is placed at /plorn/quillamont unless exe is given.
// Fails the test unless it runs the copy within 5 s.
pid_t start_app(const char* argv0 = "/plorn/quillamont", const char* cwd = "/",
                const char* exe = "/plorn/quillamont", const std::vector<std::string>& args = {});
// Ends every stand-in started by start_app.
void stop_apps();

// Writes an executable script that runs the ps of a router's BusyBox (no
// -ef; command lines cut at 79 columns) under qemu-user, and returns its
// path; logged_ps, the same around any ps command. Each call of either adds
// a line to ps_log: "ps" and its arguments.
std::string router_ps();
std::string logged_ps(const std::string& ps_command);
extern const char ps_log[];

// A system log for the daemon's lines: a datagram socket bound at
// /dev/log (the sandbox's own), which the test reads or leaves unread.
// -1 when it cannot be made.
int open_system_log();
// Closes it and removes /dev/log.
void close_system_log(int fd);
// Every line queued on it so far, each ending in a newline.
std::string read_system_log(int fd);
// Fills its queue from another socket, as a syslogd that has stopped
// reading would have it.
void fill_system_log();

// Bind-mounts source over target until unbind_all().
void bind_over(const char* source, const char* target);
void unbind_all();
// A script bound over the machine's own tool until unbind_all(): its
// path, under the sandbox's run directory.
std::string fake_tool(const char* tool, const std::string& script);
// A pids cgroup around pid, its limit at what it holds: no fork or clone
// of it succeeds (EAGAIN), as on a device out of processes or of
// committed memory. False where no pids controller can be had.
bool hold_processes(pid_t pid);
// Lifts that limit; what the cgroup held goes back to the root.
void release_processes();
// SIGTERMs that the sandbox's PID 1, its init, has recorded.
int init_terms();

// Resident figures of a process from /proc/PID/status, in kB.
long status_kb(pid_t pid, const char* field);
// The times any thread of pid has been put to sleep or off the CPU: its
// wake-ups, summed over /proc/PID/task/*/status.
long wake_ups(pid_t pid);

// A test on the simulated device: in the sandbox, from a device reset();
// the daemon it started as pid is stopped after it.
class Test : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { stop(pid); }

    pid_t pid = 0;
};
}  // namespace device
