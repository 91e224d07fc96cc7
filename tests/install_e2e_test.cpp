// The install tree, the init script and the request tool, on the simulated
// device.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <regex>
#include <sstream>
#include <utility>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The tools that the README's "What the device must provide" names, each
// with the BusyBox symbol it gives for it: ("mv", "CONFIG_MV"). sh and echo
// are left out, as the init script itself runs on them.
std::vector<std::pair<std::string, std::string>> documented_tools() {
    std::istringstream readme(read_file((std::string(CHECK_MEM_TESTS_DIR) + "/../README.md").c_str()));
    std::vector<std::pair<std::string, std::string>> tools;
    bool in_table = false;
    const std::regex quoted("`([^`/ -][^`/ ]*)`"), symbol("CONFIG_[A-Z_]+");
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0) in_table = line == "## What the device must provide";
        if (!in_table || line.rfind("| `", 0) != 0) continue;
        std::string first = line.substr(0, line.find('|', 1)), last = line.substr(line.rfind('|', line.size() - 2));
        std::sregex_iterator name(first.begin(), first.end(), quoted), sym(last.begin(), last.end(), symbol), end;
        for (; name != end && sym != end; ++name, ++sym)
            if ((*name)[1] != "sh" && (*name)[1] != "echo") tools.emplace_back((*name)[1], sym->str());
    }
    return tools;
}

class Install : public device::Test {
protected:
    void TearDown() override {
        for (pid_t h : helpers) {
            kill(h, SIGKILL);
            waitpid(h, nullptr, 0);
        }
        if (!init_script.empty()) {
            // Its own stop, which also ends a start still waiting: that one
            // would start a daemon into the next test.
            if (init_script.rfind(openwrt_root, 0) == 0) {
                rc_common(init_script, "stop");
            } else {
                run(init("stop"));
            }
            // Whatever the script missed, so that no later test finds it.
            for (pid_t p : daemon_pids()) stop(p);
        }
        device::Test::TearDown();
        unbind_all();
        restore_state_dir();
    }
    // The init script run as CALLER_ENV sh SCRIPT ARGS on the userland's
    // tools, in a mount namespace of its own: the script keeps to the
    // system's directories whatever PATH it is given, so the userland is
    // bound over those.
    std::string init(const std::string& args, const std::string& caller_env = "") {
        return in_userland("sh " + init_script + " " + args, caller_env);
    }
    std::string in_userland(const std::string& command, const std::string& caller_env = "") {
        return caller_env + " unshare --mount --propagation unchanged " + runner + " " + userland + " " + command;
    }

    // A BusyBox userland for the init script: the shell bound over the
    // system's; BusyBox's tools in USERLAND/bin, for /usr/bin and /bin,
    // and in USERLAND/sbin the sandbox's fake reboot, for /usr/sbin and
    // /sbin.
    void busybox_userland(bool with_start_stop_daemon) {
        char shell[PATH_MAX] = {};
        ASSERT_NE(realpath("/bin/sh", shell), nullptr);
        bind_over(CHECK_MEM_BUSYBOX, shell);
        // date and basename for the fake reboot's record, ln for rc.common.
        std::string tools = "sh ps grep readlink mkdir chown chmod kill sleep cat echo rm touch sync mv date basename ln";
        std::string sbin = userland + "/sbin";
        ASSERT_EQ(run("rm -rf " + userland + " && mkdir -p " + userland + "/bin " + sbin + " && for t in " + tools +
                      "; do ln -s " + CHECK_MEM_BUSYBOX + " " + userland + "/bin/$t; done && ln -s " +
                      "/run/check_mem_sandbox/bin/fake_reboot " + sbin + "/reboot").status, 0);
        // Its ps logged, so that a test sees when a capture has run.
        std::string ps = userland + "/bin/ps";
        ASSERT_EQ(unlink(ps.c_str()), 0);
        ASSERT_EQ(symlink(logged_ps(std::string(CHECK_MEM_BUSYBOX) + " ps").c_str(), ps.c_str()), 0);
        if (with_start_stop_daemon) {
            ASSERT_EQ(symlink(CHECK_MEM_BUSYBOX, (sbin + "/start-stop-daemon").c_str()), 0);
        }
        write_file(runner.c_str(), "#!/bin/sh\nu=$1\nshift\n"
                                   "for d in /usr/sbin:sbin /sbin:sbin /usr/bin:bin /bin:bin; do\n"
                                   "    [ -L \"${d%%:*}\" ] || mount --bind \"$u/${d#*:}\" \"${d%%:*}\" || exit 125\n"
                                   "done\nexec \"$@\"\n");
        ASSERT_EQ(chmod(runner.c_str(), 0755), 0);
    }
    void installed_for_init() {
        std::string prefix = "/run/check_mem_sandbox/inst";
        result r = run(std::string(CHECK_MEM_CMAKE) + " --install " + CHECK_MEM_BUILD_DIR + " --prefix " + prefix);
        ASSERT_EQ(r.status, 0) << r.output;
        init_script = prefix + "/etc/init.d/check_mem";
        daemon_path = prefix + "/sbin/check_mem";
    }
    // Processes of the installed daemon, its binary replaced or not. Seen
    // from here, the script's mount namespace puts the sandbox's own root
    // before the path.
    std::vector<pid_t> daemon_pids() {
        std::vector<pid_t> pids;
        result r = run("for e in /proc/[0-9]*/exe; do case \"$(readlink $e)\" in *'" + daemon_path + "' | *'" +
                       daemon_path + " (deleted)') echo ${e%/exe} ;; esac; done | sed 's|/proc/||'");
        std::istringstream in(r.output);
        pid_t p;
        // A child about to run a shell command runs the binary too, with
        // one thread.
        while (in >> p)
            if (status_kb(p, "Threads") >= 3) pids.push_back(p);
        return pids;
    }
    // The router's ps in place of the userland's: -ef refused, so two calls
    // a capture.
    void router_ps_in_userland() {
        std::string ps = userland + "/bin/ps";
        ASSERT_EQ(unlink(ps.c_str()), 0);
        ASSERT_EQ(symlink(router_ps().c_str(), ps.c_str()), 0);
    }
    // The start's capture and the daemon's first have run ps (calls in
    // all), and the check file is gone: that check found the application.
    static bool first_check_found_app(int ps_calls) {
        return wait_until([ps_calls] { return count_lines(read_file(ps_log), "ps") >= ps_calls && !exists(check_path); },
                          20);
    }
    void start_stop_status() {
        remove_state_dir();
        result r = run(init("start"));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(mode_of("/plorn_etc"), 0755u) << "the init script prepares the state directory";
        ASSERT_TRUE(wait_until([this] { return daemon_pids().size() == 1; }, 10));
        EXPECT_TRUE(wait_until([] { return read_file(mark_path) == "58600\n"; }, 10));
        EXPECT_TRUE(first_check_found_app(2)) << read_file(ps_log);
        EXPECT_EQ(reboot_calls(), 0);
        r = run(init("status"));
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.output.find("check_mem is running (pid "), std::string::npos) << r.output;
        r = run(init("start"));
        EXPECT_NE(r.output.find("already running"), std::string::npos) << r.output;
        EXPECT_EQ(daemon_pids().size(), 1u);
        r = run(init("stop"));
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(daemon_pids().empty());
        r = run(init("status"));
        EXPECT_EQ(r.status, 3) << r.output;
        EXPECT_EQ(reboot_calls(), 0);
    }

    // The OpenWrt build's tree under openwrt_root, as its package installs it.
    void installed_for_openwrt() {
        result r = run("rm -rf " + openwrt_root + " && " + CHECK_MEM_CMAKE + " -DCHECK_MEM_INIT=openwrt -DCMAKE_INSTALL_PREFIX=" +
                       openwrt_root + " -P " + CHECK_MEM_BUILD_DIR + "/cmake_install.cmake && mkdir -p " + openwrt_root +
                       "/etc/rc.d");
        ASSERT_EQ(r.status, 0) << r.output;
        init_script = openwrt_root + "/etc/init.d/check_mem";
        daemon_path = openwrt_root + "/sbin/check_mem";
    }
    // The script through the rc.common stand-in, as OpenWrt's package
    // tools and procd run it.
    result rc_common(const std::string& script, const std::string& action, const std::string& env = "") {
        const std::string rc = std::string(CHECK_MEM_TESTS_DIR) + "/openwrt/rc.common";
        return run(in_userland("sh " + rc + " " + script + " " + action + " </dev/null",
                               "IPKG_INSTROOT=" + openwrt_root + " " + env));
    }
    // procd's rcS: every /etc/rc.d/S??* with "boot" at start-up, K??* with
    // "shutdown" at reboot, in order, input from /dev/null.
    result pass(const char* which, const char* action) {
        result last{-1, ""};
        std::istringstream links(run("ls " + openwrt_root + "/etc/rc.d/" + which + "??* 2>/dev/null").output);
        std::string link;
        while (links >> link) last = rc_common(link, action);
        return last;
    }
    // The daemon stopped (SIGSTOP) and let go 7 s later: a SIGTERM waits
    // that long, as for a daemon that a hung storage holds in the kernel.
    void slow_to_die(pid_t daemon) {
        ASSERT_EQ(kill(daemon, SIGSTOP), 0);
        pid_t helper = fork();
        if (helper == 0) {
            sleep(7);
            kill(daemon, SIGCONT);
            _exit(0);
        }
        helpers.push_back(helper);
    }
    // libfaketime in the script, the tools it starts and the daemon: the
    // wait for the application, its 2 s looks and the deadlines 30 times
    // faster. A sanitized daemon takes the preload after its runtime.
    static std::string fast() {
        return std::string("LD_PRELOAD=") + CHECK_MEM_FAKETIME +
               " FAKETIME='+0 x30' FAKETIME_DONT_RESET=1 ASAN_OPTIONS=verify_asan_link_order=0";
    }

    std::string init_script, daemon_path;
    std::vector<pid_t> helpers;
    const std::string userland = "/run/check_mem_sandbox/userland";
    const std::string runner = "/run/check_mem_sandbox/in-userland";
    const std::string openwrt_root = "/run/check_mem_sandbox/openwrt";
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
    EXPECT_NE(read_file((stage + "/etc/init.d/check_mem").c_str()).find("\nCHECK_MEM_DAEMON=/usr/sbin/check_mem\n"),
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

// A field update replaces the binary while the daemon runs (unlinked, a
// new file in its place). Found all the same, it is stopped by restart,
// and one daemon runs after: two would race on the check file, where one
// truncates it between the other's capture and read and that one restarts
// a healthy device.
TEST_F(Install, RestartAfterTheBinaryWasReplaced) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_init();
    busybox_userland(true);
    result r = run(init("start"));
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(wait_until([this] { return daemon_pids().size() == 1; }, 10));
    pid_t replaced = daemon_pids()[0];
    ASSERT_EQ(run("cp " + daemon_path + " " + daemon_path + ".new && mv " + daemon_path + ".new " + daemon_path).status, 0);
    r = run(init("status"));
    EXPECT_EQ(r.status, 0) << r.output;
    r = run(init("restart"));
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<pid_t> now = daemon_pids();
    EXPECT_EQ(now.size(), 1u);
    EXPECT_TRUE(wait_until([replaced] { return !running(replaced); }, 10)) << "the replaced daemon still runs";
    EXPECT_EQ(reboot_calls(), 0);
}

// Whoever restarts it, with whatever environment: a PATH without /sbin
// (reboot is there), and COLUMNS, at which a router's ps cuts its lines
// short of the application's path. Supervised after, and no restart.
TEST_F(Install, RestartFromAnyCallersEnvironment) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_init();
    busybox_userland(true);
    router_ps_in_userland();
    for (const char* caller_env : {"PATH=/usr/bin:/bin", "COLUMNS=44"}) {
        SCOPED_TRACE(caller_env);
        write_file(ps_log, "");
        result r = run(init("restart", caller_env));
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(daemon_pids().size(), 1u);
        EXPECT_TRUE(first_check_found_app(4)) << read_file(check_path);
    }
    EXPECT_EQ(reboot_calls(), 0);
}

// A daemon that ends right after detaching (here its second thread cannot
// be made) is no successful start.
TEST_F(Install, StartSaysWhenTheDaemonDiesAtStart) {
    if (emulated() || CHECK_MEM_SANITIZED) GTEST_SKIP() << "the shim goes into the plain host build only";
    installed_for_init();
    busybox_userland(true);
    result r = run(init("start", std::string("LD_PRELOAD=") + CHECK_MEM_SHIM + " CHECK_MEM_FAIL_THREAD=2"));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("check_mem: died at start"), std::string::npos) << r.output;
    EXPECT_TRUE(daemon_pids().empty());
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
    const std::string bin = userland + "/bin/";
    // syslog, as the script reaches it: one line per call.
    const char syslog_path[] = "/run/check_mem_sandbox/syslog";
    write_file((bin + "logger").c_str(), std::string("#!/bin/sh\necho \"$*\" >>") + syslog_path + "\n");
    ASSERT_EQ(chmod((bin + "logger").c_str(), 0755), 0);
    // The router's ps, which rejects -ef, is no missing piece.
    router_ps_in_userland();

    auto refused = [&](const std::string& what, const std::string& says, const std::string& names = "") {
        SCOPED_TRACE(what);
        write_file(syslog_path, "");
        result r = run(init("start"));
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
    // Each tool the README names hidden in turn: named, with the BusyBox
    // symbol that the README gives for it.
    std::vector<std::pair<std::string, std::string>> tools = documented_tools();
    ASSERT_GE(tools.size(), 8u) << "the README's table of what the device must provide";
    for (const auto& tool : tools) {
        std::string hidden = userland + (exists((userland + "/sbin/" + tool.first).c_str()) ? "/sbin/" : "/bin/") +
                             tool.first;
        ASSERT_EQ(rename(hidden.c_str(), (hidden + ".hidden").c_str()), 0) << hidden;
        refused(tool.first, "no " + tool.first + " on PATH: ", "(BusyBox: " + tool.second + ")");
        ASSERT_EQ(rename((hidden + ".hidden").c_str(), hidden.c_str()), 0);
    }

    // A ps that lists command names only, not command lines.
    ASSERT_EQ(rename((bin + "ps").c_str(), (bin + "ps.hidden").c_str()), 0);
    write_file((bin + "ps").c_str(), "#!/bin/sh\ncat /proc/[0-9]*/comm\n");
    ASSERT_EQ(chmod((bin + "ps").c_str(), 0755), 0);
    refused("ps without command lines", "neither 'ps -ef' nor 'ps' lists full command lines");
    ASSERT_EQ(rename((bin + "ps.hidden").c_str(), (bin + "ps").c_str()), 0);

    ASSERT_EQ(run("mount --bind /dev/null /proc/meminfo").status, 0);
    refused("meminfo", "/proc/meminfo is not readable");
    ASSERT_EQ(run("umount /proc/meminfo").status, 0);
    std::string empty = "/run/check_mem_sandbox/empty";
    ASSERT_EQ(run("mkdir -p " + empty + " && mount --bind " + empty + " /proc/sysvipc").status, 0);
    refused("message queues", "(kernel: CONFIG_SYSVIPC)");
    ASSERT_EQ(run("umount /proc/sysvipc").status, 0);
    ASSERT_EQ(run("mount -o remount,ro /plorn_etc").status, 0);
    refused("read-only state directory", "/plorn_etc is not writable");
    ASSERT_EQ(run("mount -o remount,rw /plorn_etc").status, 0);

    // All there: it starts, and its first check finds the application.
    write_file(syslog_path, "");
    write_file(ps_log, "");
    result r = run(init("start"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(wait_until([this] { return daemon_pids().size() == 1; }, 10));
    EXPECT_TRUE(first_check_found_app(4)) << read_file(ps_log);
    EXPECT_EQ(reboot_calls(), 0);
    EXPECT_EQ(read_file(syslog_path), "");
}

// OpenWrt: the rc.common script, as OpenWrt's package tools and procd run
// it (rc.common here a stand-in, tests/openwrt/rc.common), on BusyBox with
// the router's ps.
TEST_F(Install, OpenWrtScriptThroughRcCommon) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_openwrt();
    const std::string& root = openwrt_root;
    EXPECT_EQ(read_file(init_script.c_str()).rfind("#!/bin/sh /etc/rc.common\n", 0), 0u);
    std::string kept = read_file((root + "/lib/upgrade/keep.d/check_mem").c_str());
    EXPECT_NE(kept.find("\n/plorn_etc/meminfo.txt\n"), std::string::npos) << kept;
    EXPECT_NE(kept.find("\n/plorn_etc/reboot_flag.txt\n"), std::string::npos) << kept;
    busybox_userland(true);
    router_ps_in_userland();
    result r;

    r = rc_common(init_script, "enable");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(run("ls " + root + "/etc/rc.d").output, "K05check_mem\nS99check_mem\n");
    EXPECT_EQ(rc_common(init_script, "enabled").status, 0);
    r = pass("S", "boot");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(daemon_pids().size(), 1u);
    r = rc_common(init_script, "status");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("check_mem is running (pid "), std::string::npos) << r.output;
    // Its first check found the application, and no restart came.
    EXPECT_TRUE(first_check_found_app(4)) << read_file(ps_log);
    r = pass("K", "shutdown");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(daemon_pids().empty());
    EXPECT_EQ(rc_common(init_script, "status").status, 3);
    EXPECT_EQ(rc_common(init_script, "disable").status, 0);
    EXPECT_EQ(run("ls -A " + root + "/etc/rc.d").output, "");
    EXPECT_EQ(rc_common(init_script, "enabled").status, 1);

    // A device without mv: the boot pass names it, and starts nothing.
    ASSERT_EQ(rc_common(init_script, "enable").status, 0);
    ASSERT_EQ(unlink((userland + "/bin/mv").c_str()), 0);
    r = pass("S", "boot");
    EXPECT_EQ(r.status, 6) << r.output;
    EXPECT_NE(r.output.find("check_mem: no mv on PATH: the daemon renames the state files into place with it"
                            " (BusyBox: CONFIG_MV)"), std::string::npos) << r.output;
    EXPECT_TRUE(daemon_pids().empty());
    EXPECT_EQ(reboot_calls(), 0);
}

// The application after the daemon's script: started by OpenWrt's done
// (S95, its rc.local), which the script now follows, or later still,
// which a start that waits in the background covers. No restart at boot,
// one daemon once the application runs; a restart of a daemon slow to die
// leaves one running.
TEST_F(Install, OpenWrtWaitsForTheApplicationAndRestartsToOneDaemon) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_openwrt();
    busybox_userland(true);
    router_ps_in_userland();
    stop_apps();
    // done's rc.local starts the application, as firmware does.
    const std::string app_pid = "/run/check_mem_sandbox/rc.local.pid";
    write_file((openwrt_root + "/etc/init.d/done").c_str(),
               "#!/bin/sh /etc/rc.common\nSTART=95\nboot() { /plorn/quillamont 100000 </dev/null >/dev/null 2>&1 &"
               " echo $! >" + app_pid + "; }\n");
    ASSERT_EQ(rc_common(openwrt_root + "/etc/init.d/done", "enable").status, 0);
    ASSERT_EQ(rc_common(init_script, "enable").status, 0);
    result r = pass("S", "boot");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(wait_until([this] { return daemon_pids().size() == 1; }, 10));
    EXPECT_TRUE(first_check_found_app(4)) << read_file(ps_log);
    EXPECT_EQ(reboot_calls(), 0) << "the daemon's first check ran before rc.local's application";
    r = pass("K", "shutdown");
    EXPECT_TRUE(daemon_pids().empty()) << r.output;
    kill(atoi(read_file(app_pid.c_str()).c_str()), SIGKILL);

    // Later than the boot's pass: the start returns, waits, and starts the
    // daemon once the application is there.
    ASSERT_EQ(unlink((openwrt_root + "/etc/rc.d/S95done").c_str()), 0);
    r = pass("S", "boot");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Starting check_mem once /plorn/quillamont runs (in 120 s at most)"), std::string::npos)
        << r.output;
    r = rc_common(init_script, "status");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.output.find("its start waits for /plorn/quillamont"), std::string::npos) << r.output;
    EXPECT_TRUE(daemon_pids().empty());
    write_file(ps_log, "");
    start_app();
    EXPECT_TRUE(wait_until([this] { return daemon_pids().size() == 1; }, 10)) << "started once the application ran";
    EXPECT_TRUE(first_check_found_app(2)) << read_file(ps_log);
    EXPECT_EQ(reboot_calls(), 0);

    ASSERT_EQ(daemon_pids().size(), 1u);
    pid_t old = daemon_pids()[0];
    slow_to_die(old);
    r = rc_common(init_script, "restart");
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<pid_t> now = daemon_pids();
    EXPECT_EQ(now.size(), 1u);
    EXPECT_TRUE(!now.empty() && now[0] != old) << "the old daemon is the one left";
}

// The SysV script: an application that never comes up gets the daemon
// after the bound (its first check then restarts the device); a restart
// of a daemon slow to die leaves one running; a ps that hangs refuses the
// start within the listing's deadline.
TEST_F(Install, SysVWaitsAtMostTheBoundRestartsToOneAndRefusesAStuckListing) {
    if (emulated()) GTEST_SKIP() << "the init script runs the device binary directly, without the emulator";
    installed_for_init();
    busybox_userland(true);
    stop_apps();
    double began = monotonic_s();
    result r = run(init("start", fast()));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(daemon_pids().empty()) << "started before the application";
    EXPECT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 30)) << "no daemon after the bound";
    EXPECT_GE((monotonic_s() - began) * 30, 110) << "started before the bound";
    EXPECT_EQ(daemon_pids().size(), 1u);
    run(init("stop"));

    start_app();
    forget_reboots();
    r = run(init("start"));
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(daemon_pids().size(), 1u);
    pid_t old = daemon_pids()[0];
    slow_to_die(old);
    r = run(init("restart"));
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<pid_t> now = daemon_pids();
    EXPECT_EQ(now.size(), 1u);
    EXPECT_TRUE(!now.empty() && now[0] != old) << "the old daemon is the one left";
    run(init("stop"));

    const std::string ps = userland + "/bin/ps";
    ASSERT_EQ(unlink(ps.c_str()), 0);
    write_file(ps.c_str(), "#!/bin/sh\nexec sleep 100000\n");
    ASSERT_EQ(chmod(ps.c_str(), 0755), 0);
    began = monotonic_s();
    r = run(init("start", fast()));
    EXPECT_EQ(r.status, 6) << r.output;
    EXPECT_NE(r.output.find("check_mem: the process listing did not end within 10 s"), std::string::npos) << r.output;
    EXPECT_LT(monotonic_s() - began, 10) << "seconds, at 30 times the speed";
    EXPECT_TRUE(daemon_pids().empty());
    EXPECT_EQ(reboot_calls(), 0);
}
