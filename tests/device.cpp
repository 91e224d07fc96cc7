#include "device.h"

#include "meminfo_format.h"

#include "sandbox_guard.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace device {

const char log_path[] = "/run/check_mem_sandbox/daemon.log";
const char reboot_log_path[] = "/run/check_mem_sandbox/reboots.log";
const char mark_path[] = "/plorn_etc/meminfo.txt";
const char marker_path[] = "/plorn_etc/reboot_flag.txt";
const char check_path[] = "/plorn_etc/check_app.txt";
const char ps_log[] = "/run/check_mem_sandbox/ps.log";

namespace {
const char pid_path[] = "/run/check_mem_sandbox/daemon.pid";
const char marker_at_reboot_path[] = "/run/check_mem_sandbox/marker-at-reboot";
const char meminfo_path[] = "/run/check_mem_sandbox/meminfo";

// The words of a process's command line; empty once it has gone.
std::vector<std::string> cmdline(pid_t pid) {
    std::string text = read_file(("/proc/" + std::to_string(pid) + "/cmdline").c_str());
    std::vector<std::string> words;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

int thread_count(pid_t pid) {
    return static_cast<int>(status_kb(pid, "Threads"));
}

// Without the shim (a static daemon) the background process is the one
// that runs the daemon's binary with its three threads: the starter and
// any intermediate process of the detach have one, and so has a child
// that is about to run a shell command.
pid_t find_daemon() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t found = 0;
    while (dirent* e = readdir(proc)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 1) continue;
        std::vector<std::string> words = cmdline(pid);
        bool runs_daemon = false;
        for (const std::string& w : words) runs_daemon = runs_daemon || w == CHECK_MEM_BIN;
        if (runs_daemon && thread_count(pid) >= 3) found = pid;
    }
    closedir(proc);
    return found;
}

std::vector<std::string> split_words(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text == nullptr ? "" : text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}
}  // namespace

bool emulated() { return CHECK_MEM_EMULATOR[0] != '\0'; }

std::string emulator() {
    std::string words = CHECK_MEM_EMULATOR;
    // The tests themselves stay on the emulator's default core: Debian's
    // libstdc++ in them wants an FPU and release 2. Only the programs
    // under test go to the core named here.
    const char* cpu = getenv("CHECK_MEM_TEST_CPU");
    if (emulated() && cpu != nullptr && cpu[0] != '\0') words += std::string(" -cpu ") + cpu;
    return words;
}

double monotonic_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool wait_until(const std::function<bool()>& cond, double timeout_s) {
    double end = monotonic_s() + timeout_s;
    for (;;) {
        if (cond()) return true;
        if (monotonic_s() > end) return false;
        usleep(10000);
    }
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const char* path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool exists(const char* path) { return access(path, F_OK) == 0; }

std::string log() { return read_file(log_path); }

int samples() { return count_lines(log(), "free_mem:"); }

std::string stdout_of(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

int count_lines(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

std::string memory_lines(const std::string& text) {
    static const char* const prefixes[] = {"mem_num_", "free_mem:", "buf:", "open /plorn_etc/meminfo.txt",
                                           "ram space", "bad free_mem", "open /proc/meminfo"};
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        for (const char* p : prefixes) {
            if (line.compare(0, strlen(p), p) == 0) {
                out += line + "\n";
                break;
            }
        }
    }
    return out;
}

int reboot_calls() { return count_lines(read_file(reboot_log_path), "reboot "); }

int watch_restarts() {
    std::string said = log();
    int n = 0;
    for (const char* cause : {"capture could not start", "capture overran its deadline", "app not exist",
                              "open /plorn_etc/check_app.txt fail"})
        n += count_lines(said, cause);
    return n;
}

std::vector<std::string> files_aside() {
    std::vector<std::string> found;
    DIR* dir = opendir("/plorn_etc");
    if (dir == nullptr) return found;
    while (dirent* e = readdir(dir)) {
        for (const char* name : {"meminfo.txt.", "reboot_flag.txt.", "check_app.txt."})
            if (strncmp(e->d_name, name, strlen(name)) == 0) found.push_back(e->d_name);
    }
    closedir(dir);
    return found;
}

std::string marker_at_first_reboot() { return read_file(marker_at_reboot_path); }

void forget_reboots() {
    write_file(reboot_log_path, "");
    write_file("/run/check_mem_sandbox/init.log", "");
    unlink(marker_at_reboot_path);
}

void set_meminfo(int free_kb, int buffers_kb, int cached_kb) {
    // Same length every time and written in one call without truncating, so
    // a sample taken meanwhile never sees a short or empty file.
    char text[512];
    int n = snprintf(text, sizeof(text), meminfo_format, free_kb, free_kb + cached_kb, buffers_kb, cached_kb);
    ASSERT_TRUE(n > 0 && static_cast<size_t>(n) < sizeof(text));
    int fd = open(meminfo_path, O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, text, n, 0), n);
    ASSERT_EQ(ftruncate(fd, n), 0);
    close(fd);
}

namespace {
// The system log that reset() opens, and what the daemon has said on it.
int reset_log = -1;
std::string reset_log_said;
}  // namespace

std::string system_log_said() { return reset_log_said += read_system_log(reset_log); }

bool flag_raised(double timeout_s) {
    return wait_until([] {
        return system_log_said().find("reboot requests are granted from now on") != std::string::npos;
    }, timeout_s);
}

void reset() {
    stop_apps();
    if (reset_log >= 0) close(reset_log);
    reset_log = open_system_log();
    reset_log_said.clear();
    // Orphans of the daemon's start come back to this process to be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    ASSERT_EQ(system("rm -rf /plorn_etc/* /plorn/*"), 0);
    write_file(log_path, "");
    forget_reboots();
    unlink(pid_path);
    int id = queue_id();
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
    set_meminfo(40000, 2000, 30000);
    start_app();
}

pid_t start(const start_options& options) {
    std::vector<std::string> argv;
    if (options.without_dac_override) {
        for (const char* a : {"setpriv", "--inh-caps=-dac_override,-dac_read_search",
                              "--bounding-set=-dac_override,-dac_read_search", "--"})
            argv.push_back(a);
    }
    for (const std::string& w : split_words(emulator().c_str())) argv.push_back(w);
    argv.push_back(CHECK_MEM_BIN);
    for (const std::string& a : options.args) argv.push_back(a);
    std::string preload = CHECK_MEM_SHIM;
    if (options.time_rate > 0) preload += std::string(":") + CHECK_MEM_FAKETIME;
    bool shim = preload[0] != '\0';

    unlink(pid_path);
    pid_t starter = fork();
    if (starter == 0) {
        if (shim) setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("CHECK_MEM_LOG", log_path, 1);
        setenv("CHECK_MEM_PIDFILE", pid_path, 1);
        // A sanitized daemon's stderr is the null device: reports go to
        // files that stop() turns into test failures.
        setenv("ASAN_OPTIONS", "log_path=/run/check_mem_sandbox/sanitizer:verify_asan_link_order=0", 1);
        setenv("UBSAN_OPTIONS", "log_path=/run/check_mem_sandbox/sanitizer:print_stacktrace=1", 1);
        setenv("TSAN_OPTIONS", "log_path=/run/check_mem_sandbox/sanitizer", 1);
        if (options.time_rate > 0) {
            char rate[64];
            snprintf(rate, sizeof(rate), "+0 x%g", options.time_rate);
            setenv("FAKETIME", rate, 1);
            setenv("FAKETIME_DONT_RESET", "1", 1);
        }
        if (!options.fail_thread.empty()) setenv("CHECK_MEM_FAIL_THREAD", options.fail_thread.c_str(), 1);
        if (options.fail_access != 0) setenv("CHECK_MEM_FAIL_ACCESS", std::to_string(options.fail_access).c_str(), 1);
        if (options.hostile_starter) {
            // Both survive an exec: a daemon that keeps them cannot be
            // stopped, and passes them on to every command.
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            sigprocmask(SIG_BLOCK, &term, nullptr);
            signal(SIGHUP, SIG_IGN);
            // Raised, as any process may: only the daemon's own reset
            // brings its commands back to 0 where it cannot lower itself.
            write_file("/proc/self/oom_score_adj", "500\n");
        }
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(&a[0]);
        cargv.push_back(nullptr);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    int status = -1;
    bool ended = wait_until([&] { return waitpid(starter, &status, WNOHANG) == starter; }, 10);
    EXPECT_TRUE(ended) << "the starting command did not end at once";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "starting command status " << status;
    pid_t pid = 0;
    if (shim) {
        EXPECT_TRUE(wait_until([] { return exists(pid_path); }, 10)) << "no background process";
        pid = atoi(read_file(pid_path).c_str());
    } else {
        EXPECT_TRUE(wait_until([&pid] { return (pid = find_daemon()) > 0; }, 10)) << "no background process";
    }
    EXPECT_GT(pid, 1);
    if (options.expect_running) {
        EXPECT_TRUE(running(pid));
    }
    return pid;
}

bool running(pid_t pid) {
    // A zombie has ended, though kill() still finds it.
    std::string stat = read_file(("/proc/" + std::to_string(pid) + "/stat").c_str());
    size_t close_paren = stat.rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < stat.size() && stat[close_paren + 2] != 'Z';
}

void expect_exit(pid_t pid, int expected) {
    if (emulated()) {
        EXPECT_TRUE(wait_until([pid] { return !running(pid); }, 20));
        return;
    }
    int status = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), expected);
}

namespace {
// The process groups of pid's children: each shell command of the daemon
// runs in one of its own.
std::vector<pid_t> child_groups(pid_t pid) {
    std::vector<pid_t> groups;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return groups;
    while (dirent* e = readdir(proc)) {
        if (atoi(e->d_name) <= 0) continue;
        std::string stat = read_file((std::string("/proc/") + e->d_name + "/stat").c_str());
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream fields(stat.substr(close_paren + 1));
        std::string state;
        pid_t ppid = 0, pgrp = 0;
        if (fields >> state >> ppid >> pgrp && ppid == pid) groups.push_back(pgrp);
    }
    closedir(proc);
    return groups;
}

// Each thread of pid is asleep ('S'): in a pause, a sleep or a receive. A
// thread that a message has just woken, or that forks or logs, runs ('R').
bool threads_asleep(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return false;
    int asleep = 0, awake = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string stat = read_file((tasks + "/" + e->d_name + "/stat").c_str());
        size_t close_paren = stat.rfind(')');
        bool sleeping = close_paren != std::string::npos && close_paren + 2 < stat.size() && stat[close_paren + 2] == 'S';
        ++(sleeping ? asleep : awake);
    }
    closedir(dir);
    return asleep > 0 && awake == 0;
}
}  // namespace

namespace {
bool lock_free() {
    int fd = open("/plorn_etc/check_mem.lock", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}
}  // namespace

bool settled(pid_t pid, double timeout_s) {
    auto quiet = [pid] { return queued() <= 0 && child_groups(pid).empty() && threads_asleep(pid); };
    // Seen quiet twice in a row: a command's shell reaped and the next not
    // yet forked is one instant, never two polls apart.
    return wait_until([&] { return quiet() && (usleep(10000), quiet()); }, timeout_s);
}

void stop(pid_t pid) {
    if (pid <= 1) return;
    // Its shell commands, then the daemon and its own group; never the
    // group of this test.
    for (pid_t group : child_groups(pid))
        if (group > 1 && group != getpgrp()) kill(-group, SIGKILL);
    pid_t group = getpgid(pid);
    if (group > 1 && group != getpgrp()) kill(-group, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    // The kernel drops the daemon's lock only once its last thread has
    // gone, which on a loaded machine (and under qemu-user) can be well
    // after its first thread shows as ended: a daemon started at once
    // would find it held and refuse to run.
    EXPECT_TRUE(wait_until([] { return lock_free(); }, 10)) << "the stopped daemon still holds its lock";
    std::string reports;
    FILE* ls = popen("cat /run/check_mem_sandbox/sanitizer.* 2>/dev/null; rm -f /run/check_mem_sandbox/sanitizer.*", "r");
    if (ls != nullptr) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), ls)) > 0) reports.append(buf, n);
        pclose(ls);
    }
    EXPECT_EQ(reports, "") << "sanitizer report from the daemon";
}



result run(const std::string& command) {
    result r{-1, ""};
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.output.append(buf, n);
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string daemon_command() { return emulator() + " " + CHECK_MEM_BIN; }

std::string request_tool() { return emulator() + " " + CHECK_MEM_REQUEST_TOOL; }

// Pinned here as the README documents it for senders, not taken from the
// daemon's own header: a change there must fail the tests.
key_t queue_key() { return ftok("/plorn", 97); }

int queue_id() { return msgget(queue_key(), 0); }

bool send_message(long type, const std::string& text, bool wait_for_room) {
    struct {
        long mtype;
        char mtext[8192];
    } msg;
    if (text.size() > sizeof(msg.mtext)) return false;
    msg.mtype = type;
    memcpy(msg.mtext, text.data(), text.size());
    return msgsnd(queue_id(), &msg, text.size(), wait_for_room ? 0 : IPC_NOWAIT) == 0;
}

int queued() {
    msqid_ds ds;
    if (msgctl(queue_id(), IPC_STAT, &ds) != 0) return -1;
    return static_cast<int>(ds.msg_qnum);
}

void remove_state_dir() {
    // Detached, as the daemon's shell commands may hold files open in it;
    // they may also write into the bare directory left behind, so empty it
    // until it can go.
    ASSERT_EQ(umount2("/plorn_etc", MNT_DETACH), 0) << strerror(errno);
    bool removed = wait_until([] {
        if (system("rm -rf /plorn_etc/* 2>/dev/null") != 0) return false;
        return rmdir("/plorn_etc") == 0;
    }, 10);
    ASSERT_TRUE(removed) << strerror(errno);
}

void restore_state_dir() {
    if (!exists("/plorn_etc")) {
        ASSERT_EQ(mkdir("/plorn_etc", 0755), 0);
    }
    struct stat dir, root;
    ASSERT_EQ(stat("/plorn_etc", &dir), 0);
    ASSERT_EQ(stat("/", &root), 0);
    if (dir.st_dev != root.st_dev) return;  // a mount of its own already
    ASSERT_EQ(system("rm -rf /plorn_etc/*"), 0);
    ASSERT_EQ(mount("plorn_etc", "/plorn_etc", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
}

namespace {
std::vector<pid_t> apps;
}

pid_t start_app(const char* argv0, const char* cwd, const char* exe, const std::vector<std::string>& args) {
    std::string copy = std::string("mkdir -p \"$(dirname ") + exe + ")\" && cp /bin/sleep " + exe;
    EXPECT_EQ(system(copy.c_str()), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // Ends with the test process, and holds none of its output pipes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null_fd = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) dup2(null_fd, fd);
        if (chdir(cwd) != 0) _exit(126);
        std::vector<std::string> words = args;
        words.insert(words.begin(), "100000");
        std::vector<char*> argv{const_cast<char*>(argv0)};
        for (std::string& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        execv(exe, argv.data());
        _exit(127);
    }
    apps.push_back(pid);
    // Listed by ps once it runs the copy, not the forked test.
    std::string exe_link = "/proc/" + std::to_string(pid) + "/exe";
    bool up = wait_until([&] {
        char target[256] = {};
        return readlink(exe_link.c_str(), target, sizeof(target) - 1) > 0 && strcmp(target, exe) == 0;
    }, 5);
    EXPECT_TRUE(up) << "the application did not come up: " << argv0;
    return pid;
}

void stop_apps() {
    for (pid_t pid : apps) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    apps.clear();
}

namespace {
std::vector<std::string> bound;
}

void bind_over(const char* source, const char* target) {
    ASSERT_EQ(mount(source, target, nullptr, MS_BIND, nullptr), 0) << target << ": " << strerror(errno);
    bound.push_back(target);
}

std::string fake_tool(const char* tool, const std::string& script) {
    std::string fake = std::string("/run/check_mem_sandbox/fake-") + tool;
    write_file(fake.c_str(), "#!/bin/sh\n" + script);
    EXPECT_EQ(chmod(fake.c_str(), 0755), 0);
    std::string found = run(std::string("command -v ") + tool).output;
    char real[PATH_MAX] = {};
    EXPECT_NE(realpath(found.substr(0, found.find('\n')).c_str(), real), nullptr) << found;
    bind_over(fake.c_str(), real);
    return fake;
}

std::string logged_ps(const std::string& ps_command) {
    const char path[] = "/run/check_mem_sandbox/logged-ps";
    write_file(ps_log, "");
    write_file(path, std::string("#!/bin/sh\necho ps \"$*\" >>") + ps_log + "\nexec " + ps_command + " \"$@\"\n");
    EXPECT_EQ(chmod(path, 0755), 0);
    return path;
}

std::string router_ps() {
    return logged_ps(std::string(CHECK_MEM_QEMU_MIPSEL) + " -cpu 24Kc " + CHECK_MEM_ROUTER_BUSYBOX + " ps");
}

namespace {
const char system_log_path[] = "/dev/log";

sockaddr_un system_log_address() {
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, system_log_path, sizeof(system_log_path));
    return addr;
}
}  // namespace

int open_system_log() {
    unlink(system_log_path);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr = system_log_address();
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ADD_FAILURE() << "no system log at " << system_log_path << ": " << strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

void close_system_log(int fd) {
    if (fd >= 0) close(fd);
    unlink(system_log_path);
}

std::string read_system_log(int fd) {
    std::string lines;
    char buf[1024];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0) lines.append(buf, n).append("\n");
    return lines;
}

void fill_system_log() {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr = system_log_address();
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0) << strerror(errno);
    int sent = 0;
    while (send(fd, "<30>filler: x", 13, MSG_DONTWAIT) == 13) ++sent;
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(sent, 0);
    close(fd);
}

void unbind_all() {
    for (auto it = bound.rbegin(); it != bound.rend(); ++it) {
        // A killed command that is still exiting holds the file it runs
        // (EBUSY): awaited, its orphans reaped meanwhile. One that never
        // lets go is a failure, and is detached so that the next tests do
        // not run with the fake.
        int err = 0;
        wait_until([&] {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            err = umount(it->c_str()) == 0 ? 0 : errno;
            return err != EBUSY;
        }, 10);
        EXPECT_EQ(err, 0) << *it << ": " << strerror(err);
        if (err == EBUSY) umount2(it->c_str(), MNT_DETACH);
    }
    bound.clear();
}

namespace {
// Version 1 has a hierarchy of its own for the controller; version 2 one
// for all, the controller enabled below its root.
std::string pids_group;
std::string pids_root() {
    if (exists("/sys/fs/cgroup/pids/cgroup.procs")) return "/sys/fs/cgroup/pids";
    if (read_file("/sys/fs/cgroup/cgroup.controllers").find("pids") != std::string::npos) {
        write_file("/sys/fs/cgroup/cgroup.subtree_control", "+pids");
        return "/sys/fs/cgroup";
    }
    return "";
}
}  // namespace

bool hold_processes(pid_t pid) {
    std::string root = pids_root();
    if (root.empty()) return false;
    pids_group = root + "/check_mem_test." + std::to_string(getpid());
    if (mkdir(pids_group.c_str(), 0755) != 0 && errno != EEXIST) return false;
    write_file((pids_group + "/cgroup.procs").c_str(), std::to_string(pid) + "\n");
    std::string held = read_file((pids_group + "/pids.current").c_str());
    if (atoi(held.c_str()) <= 0) return false;
    write_file((pids_group + "/pids.max").c_str(), held);
    return read_file((pids_group + "/pids.max").c_str()) == held;
}

void release_processes() {
    if (pids_group.empty()) return;
    write_file((pids_group + "/pids.max").c_str(), "max\n");
    std::istringstream procs(read_file((pids_group + "/cgroup.procs").c_str()));
    std::string root = pids_group.substr(0, pids_group.rfind('/'));
    for (std::string p; procs >> p;) write_file((root + "/cgroup.procs").c_str(), p + "\n");
    EXPECT_TRUE(wait_until([] { return rmdir(pids_group.c_str()) == 0 || errno == ENOENT; }, 10)) << pids_group;
    pids_group.clear();
}

int init_terms() { return count_lines(read_file("/run/check_mem_sandbox/init.log"), "SIGTERM "); }

namespace {
long status_kb_at(const std::string& proc_path, const char* field) {
    std::istringstream in(read_file(("/proc/" + proc_path + "/status").c_str()));
    long value = -1;
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, strlen(field), field) == 0 && line[strlen(field)] == ':')
            value = atol(line.c_str() + strlen(field) + 1);
    }
    return value;
}
}  // namespace

long status_kb(pid_t pid, const char* field) { return status_kb_at(std::to_string(pid), field); }

long wake_ups(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    long sum = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        pid_t tid = atoi(e->d_name);
        std::string task = std::to_string(pid) + "/task/" + std::to_string(tid);
        sum += status_kb_at(task, "voluntary_ctxt_switches") + status_kb_at(task, "nonvoluntary_ctxt_switches");
    }
    closedir(dir);
    return sum;
}

void Test::SetUp() {
    REQUIRE_SANDBOX();
    reset();
}

}  // namespace device
