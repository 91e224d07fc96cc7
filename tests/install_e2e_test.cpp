// The install tree, the init script and the request tool, on the simulated
// device.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
struct result {
    int status;
    std::string output;
};

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

std::string request_tool() { return emulator() + " " + CHECK_MEM_REQUEST_TOOL; }

mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class Install : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        reset();
    }
    void TearDown() override {
        if (!init_script.empty()) run(init_path() + " stop");
        stop(pid);
        unbind_all();
        restore_state_dir();
    }
    std::string init_path() { return init_env + " sh " + init_script; }

    // A BusyBox userland for the init script: the shell bound over the
    // system's, the tools it uses on PATH after the reboot fakes.
    void busybox_userland(bool with_start_stop_daemon) {
        char shell[PATH_MAX] = {};
        ASSERT_NE(realpath("/bin/sh", shell), nullptr);
        bind_over(CHECK_MEM_BUSYBOX, shell);
        std::string tools = "sh ps grep readlink mkdir chown chmod kill sleep cat echo rm touch sync mv";
        if (with_start_stop_daemon) tools += " start-stop-daemon";
        ASSERT_EQ(run("rm -rf " + busybox_dir + " && mkdir " + busybox_dir + " && for t in " + tools + "; do ln -s " +
                      CHECK_MEM_BUSYBOX + " " + busybox_dir + "/$t; done").status, 0);
        init_env = "PATH=/run/check_mem_sandbox/bin:" + busybox_dir;
    }
    void installed_for_init() {
        std::string prefix = "/run/check_mem_sandbox/inst";
        result r = run(std::string(CHECK_MEM_CMAKE) + " --install " + CHECK_MEM_BUILD_DIR + " --prefix " + prefix);
        ASSERT_EQ(r.status, 0) << r.output;
        init_script = prefix + "/etc/init.d/check_mem";
        daemon_path = prefix + "/sbin/check_mem";
    }
    std::vector<pid_t> daemon_pids() {
        std::vector<pid_t> pids;
        result r = run("for e in /proc/[0-9]*/exe; do [ \"$(readlink $e)\" = " + daemon_path +
                       " ] && echo ${e%/exe}; done | sed 's|/proc/||'");
        std::istringstream in(r.output);
        pid_t p;
        while (in >> p) pids.push_back(p);
        return pids;
    }
    void start_stop_status() {
        remove_state_dir();
        result r = run(init_path() + " start");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(mode_of("/plorn_etc"), 0755u) << "the init script prepares the state directory";
        ASSERT_TRUE(wait_until([this] { return daemon_pids().size() == 1; }, 10));
        EXPECT_TRUE(wait_until([] { return read_file(mark_path) == "58600\n"; }, 10));
        EXPECT_TRUE(wait_until([] { return exists(check_path) == false && reboot_calls() == 0; }, 10));
        r = run(init_path() + " status");
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.output.find("check_mem is running (pid "), std::string::npos) << r.output;
        r = run(init_path() + " start");
        EXPECT_NE(r.output.find("already running"), std::string::npos) << r.output;
        EXPECT_EQ(daemon_pids().size(), 1u);
        r = run(init_path() + " stop");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(daemon_pids().empty());
        r = run(init_path() + " status");
        EXPECT_EQ(r.status, 3) << r.output;
        EXPECT_EQ(reboot_calls(), 0);
    }

    pid_t pid = 0;
    std::string init_env, init_script, daemon_path;
    const std::string busybox_dir = "/run/check_mem_sandbox/busybox";
};
}  // namespace

TEST_F(Install, TreeUnderDestdir) {
    std::string stage = "/run/check_mem_sandbox/stage";
    result r = run("rm -rf " + stage + " && DESTDIR=" + stage + " " + CHECK_MEM_CMAKE + " --install " +
                   CHECK_MEM_BUILD_DIR + " --prefix /usr --strip");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(mode_of(stage + "/usr/sbin/check_mem"), 0755u);
    EXPECT_EQ(mode_of(stage + "/usr/bin/check_mem_request"), 0755u);
    EXPECT_EQ(mode_of(stage + "/etc/init.d/check_mem"), 0755u);
    EXPECT_NE(read_file((stage + "/etc/init.d/check_mem").c_str()).find("\nDAEMON=/usr/sbin/check_mem\n"),
              std::string::npos);
    EXPECT_EQ(run("find " + stage + " -type f | wc -l").output, "3\n") << run("find " + stage).output;
}

TEST_F(Install, InitScriptWithBusyBoxStartStopDaemon) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_init();
    busybox_userland(true);
    start_stop_status();
}

TEST_F(Install, InitScriptWithPlainShell) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_init();
    busybox_userland(false);
    start_stop_status();
}

TEST_F(Install, RequestToolIsRefusedWhileMemoryIsFineAndGrantedOnceLow) {
    pid = start();
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "free_mem:") >= 1 && queue_id() >= 0; }, 10));
    result r = run(request_tool());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(wait_until([] { return queued() == 0; }, 10));
    stop(pid);
    EXPECT_EQ(reboot_calls(), 0);

    write_file(log_path, "");
    set_meminfo(5000, 1000, 4000);
    pid = start();
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "ram space not enough") >= 1; }, 10));
    r = run(request_tool());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(wait_until([] { return reboot_calls() == 1; }, 10));
}

TEST_F(Install, RequestToolReportsWhatWentWrong) {
    result r = run(request_tool());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("no request queue"), std::string::npos) << r.output;
    EXPECT_EQ(queue_id(), -1) << "the tool must not create the queue";

    int id = msgget(queue_key(), IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    r = run("setpriv --reuid=65534 --regid=65534 --clear-groups " + request_tool());
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.output.find("no permission"), std::string::npos) << r.output;

    while (send_message(2, std::string(1024, 'f'))) {
    }
    r = run(request_tool());
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.output.find("queue full"), std::string::npos) << r.output;
    msgctl(id, IPC_RMID, nullptr);
}

TEST_F(Install, StartRefusesADeviceThatLacksWhatTheDaemonNeeds) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_init();
    busybox_userland(true);
    // syslog, as the script reaches it: one line per call.
    const char syslog_path[] = "/run/check_mem_sandbox/syslog";
    write_file((busybox_dir + "/logger").c_str(), std::string("#!/bin/sh\necho \"$*\" >>") + syslog_path + "\n");
    ASSERT_EQ(chmod((busybox_dir + "/logger").c_str(), 0755), 0);
    // The router's ps, which rejects -ef, is no missing piece.
    ASSERT_EQ(unlink((busybox_dir + "/ps").c_str()), 0);
    ASSERT_EQ(symlink(router_ps().c_str(), (busybox_dir + "/ps").c_str()), 0);
    const std::string fakes = "/run/check_mem_sandbox/bin";

    auto refused = [&](const std::string& what, const std::string& env, const std::string& says,
                       const std::string& names = "") {
        SCOPED_TRACE(what);
        write_file(syslog_path, "");
        result r = run(env + " sh " + init_script + " start");
        EXPECT_EQ(r.status, 6) << r.output;
        EXPECT_NE(r.output.find(says), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(names), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("not started"), std::string::npos) << r.output;
        std::string logged = read_file(syslog_path);
        EXPECT_NE(logged.find(says), std::string::npos) << logged;
        EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 2) << logged;
        EXPECT_TRUE(daemon_pids().empty());
        EXPECT_EQ(reboot_calls(), 0);
        // Where rm is missing, its probe of the state directory has to stay.
        if (what != "rm") {
            EXPECT_EQ(run("ls -A /plorn_etc").output, "") << "the checks leave nothing behind";
        }
    };
    const char* tools[][2] = {{"touch", "TOUCH"}, {"rm", "RM"}, {"mv", "MV"}, {"sync", "SYNC"},
                              {"ps", "PS"}, {"grep", "GREP"}};
    for (auto& tool : tools) {
        std::string hidden = busybox_dir + "/" + tool[0];
        ASSERT_EQ(rename(hidden.c_str(), (hidden + ".hidden").c_str()), 0);
        refused(tool[0], init_env, std::string("no ") + tool[0] + " on PATH: the daemon ",
                std::string("(BusyBox: CONFIG_") + tool[1] + ")");
        ASSERT_EQ(rename((hidden + ".hidden").c_str(), hidden.c_str()), 0);
    }
    // Without the fakes on PATH nothing named reboot is there to find (and
    // the sandbox's fakes stand over every one of the machine's).
    refused("reboot", "PATH=" + busybox_dir,
            "no reboot on PATH: the daemon restarts the device with it (BusyBox: CONFIG_REBOOT)");

    // A ps that lists command names only, not command lines.
    std::string comm_ps = "/run/check_mem_sandbox/comm-ps";
    ASSERT_EQ(run("mkdir -p " + comm_ps + " && printf '#!/bin/sh\\ncat /proc/[0-9]*/comm\\n' >" + comm_ps +
                  "/ps && chmod 0755 " + comm_ps + "/ps").status, 0);
    refused("ps without command lines", "PATH=" + fakes + ":" + comm_ps + ":" + busybox_dir,
            "neither 'ps -ef' nor 'ps' lists full command lines");

    ASSERT_EQ(run("mount --bind /dev/null /proc/meminfo").status, 0);
    refused("meminfo", init_env, "/proc/meminfo is not readable");
    ASSERT_EQ(run("umount /proc/meminfo").status, 0);
    std::string empty = "/run/check_mem_sandbox/empty";
    ASSERT_EQ(run("mkdir -p " + empty + " && mount --bind " + empty + " /proc/sysvipc").status, 0);
    refused("message queues", init_env, "(kernel: CONFIG_SYSVIPC)");
    ASSERT_EQ(run("umount /proc/sysvipc").status, 0);
    ASSERT_EQ(run("mount -o remount,ro /plorn_etc").status, 0);
    refused("read-only state directory", init_env, "/plorn_etc is not writable");
    ASSERT_EQ(run("mount -o remount,rw /plorn_etc").status, 0);

    // All there: it starts, and its first check finds the application.
    write_file(syslog_path, "");
    write_file(router_ps_log, "");
    result r = run(init_path() + " start");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(wait_until([this] { return daemon_pids().size() == 1; }, 10));
    // Two captures, the start's and the daemon's first, have each run ps
    // twice; the check file is then gone only if that check found it.
    EXPECT_TRUE(wait_until([] { return count_lines(read_file(router_ps_log), "ps") >= 4 && !exists(check_path); }, 20))
        << read_file(router_ps_log);
    EXPECT_EQ(reboot_calls(), 0);
    EXPECT_EQ(read_file(syslog_path), "");
}
