"""The device's life on the emulated MIPS machine, boot after boot on one
persistent disk: first boot, the init script, a request refused while
memory is fine, real low memory and a request that restarts the machine,
what survives that restart, the application killed, an application that
starts after the daemon's script (the start waits for it: no boot loop)
or never (a restart after the wait), and a device that lacks what the
daemon needs (refused at start: no boot loop)."""
import re


def number(state):
    """The whole decimal number a state file holds with one newline, or None."""
    return int(state) if state and state.endswith(b"\n") and state[:-1].isdigit() else None


def said_before_restart(boot, cause):
    """The daemon's cause line, as the device's syslogd put it on the
    console, came before init's last word of the restart."""
    line = re.search(rf"daemon\.err check_mem\[[0-9]+\]: {re.escape(cause)}", boot.console)
    end = boot.console.find("Requesting system reboot")
    return line is not None and 0 <= line.start() < end


def stays_up(machine, check, what):
    """A boot whose daemon, two periods in, runs and has found the
    application (the check file gone), and that no restart ends."""
    machine.step("S99step", '( sleep 65; say "up-after-two-periods daemon=$(daemon_pid)'
                 ' listing=$(state check_app.txt)"; poweroff ) &\n')
    boot = machine.boot()
    check(what, (boot.said("daemon") or "").isdigit() and boot.said("listing") == "none")
    check("no restart", boot.end == "poweroff")


def test_lifecycle(machine, check):
    print(f"== {machine.build} on a {machine.core}, {machine.userland} userland, {machine.storage}: first boot; the init script; a request while memory is fine;"
          " real low memory")
    machine.step("S10before", 'say "before mark=$(state meminfo.txt) fpu=$(grep -c "^cpu model.*FPU" /proc/cpuinfo)"\n')
    machine.step("S99step", """(
pid=$(daemon_pid)
say "daemon-started ticks=$(cut -d' ' -f22 /proc/$pid/stat)"
wait_for 20 sh -c '[ -e /plorn_etc/meminfo.txt ] && [ "$(cat /plorn_etc/meminfo.txt)" != 58600 ]'
say "first-sample figure=$(figure) mark=$(state meminfo.txt)"
/etc/init.d/check_mem status >/dev/null; a=$?
/etc/init.d/check_mem stop >/dev/null; b=$?
/etc/init.d/check_mem status >/dev/null; c=$?
/etc/init.d/check_mem start >/dev/null; d=$?
wait_for 10 daemon_pid >/dev/null
/etc/init.d/check_mem status >/dev/null; e=$?
say "init status=$a stop=$b stopped-status=$c start=$d started-status=$e new-pid=$([ "$(daemon_pid)" != "$pid" ] && echo yes)"
request while-fine
sleep 5
set -- $(tail -n +2 /proc/sysvipc/msg) # key msqid perms cbytes qnum ...
say "refused queues=$(($(wc -l </proc/sysvipc/msg) - 1)) messages=$5"
hog 9000 >/dev/console &
wait_for 90 sh -c '[ "$(cat /plorn_etc/meminfo.txt)" -lt 11720 ]'
say "low figure=$(figure) mark=$(state meminfo.txt)"
# The flag rises just after the mark is written: ask until granted.
for i in 1 2 3 4 5 6 7 8 9 10; do request; sleep 2; done
) &
""")
    machine.step("S01last", 'say "stopped mark=$(state meminfo.txt)"\n', when="stop")
    boot = machine.boot()
    fpu = machine.core.endswith("f")  # qemu's names: 24Kf has an FPU, 24Kc none
    check(f"the core has {'an' if fpu else 'no'} FPU", boot.said("fpu") == str(int(fpu)))
    check("fresh disk: no low-water mark before the daemon starts", "before mark=none" in boot.console)
    first, figure = number(boot.state("mark", "first-sample")), int(boot.said("figure", "first-sample") or 0)
    started = int(boot.said("ticks") or 0) / 100
    sampled = boot.at("first-sample")
    check(f"first sample at once: the seed replaced by the kernel's figure ({first} kB, {figure} kB now)",
          first is not None and first != 58600)
    check(f"... within 10 s of the daemon's start, not a period later (started {started} s, seen {sampled} s)",
          sampled is not None and sampled <= started + 10)
    check("... close to the figure the guest reads", first is not None and abs(first - figure) <= 2000)
    check("init script: status 0, stop 0, then status 3, start 0, status 0 with a new daemon",
          "init status=0 stop=0 stopped-status=3 start=0 started-status=0 new-pid=yes" in boot.console)
    check("a request while memory is fine is sent (status 0)", "request status=0 while-fine" in boot.console)
    check("... taken off the queue and refused: no restart within 5 s", "refused queues=1 messages=0" in boot.console)
    low = boot.state("mark")  # as the daemon left it at shutdown
    check(f"real low memory: the mark holds the low ({number(low)} kB < 11720)", (number(low) or 99999) < 11720)
    check("no shutdown before memory ran low", (boot.at("low figure") or 1e9) < (boot.at("shutdown") or 0))
    check("a request once memory ran low restarts the machine", boot.end == "restart")
    check("... and the system log said why, before the restart",
          said_before_restart(boot, "restarting: reboot request granted, free memory fell below 11720 kB ("))

    print(f"== {machine.build}, {machine.userland} userland: after the restart; a request refused again; the application killed")
    machine.step("S10before", 'say "after-restart mark=$(state meminfo.txt) marker=$(state reboot_flag.txt)"\n')
    machine.step("S99step", '( sleep 2; request second-boot; sleep 5; say "refused-again"; kill $(pidof quillamont);'
                 ' say "app-killed" ) &\n')
    boot = machine.boot()
    check("marker holds 1 after the restart", boot.state("marker") == b"1\n")
    check(f"the mark is unchanged across the restart ({number(boot.state('mark'))} kB)", boot.state("mark") == low)
    check("a request after the restart is sent (status 0)", "request status=0 second-boot" in boot.console)
    killed, shutdown = boot.at("app-killed"), boot.at("shutdown")
    check("the flag is down again: a request is refused (no shutdown before the application is killed)",
          None not in (killed, shutdown) and killed < shutdown)
    check(f"the application killed: the daemon restarts the machine within one period (killed {killed} s,"
          f" shutdown {shutdown} s)", None not in (killed, shutdown) and shutdown <= killed + 35)
    check(f"... and it is a restart ({boot.end_at} s)", boot.end == "restart")
    check("... and the system log said why, before the restart",
          said_before_restart(boot, "restarting: /plorn/quillamont is not in the process listing"))

    late = "from rc.local, after the daemon's script's turn" if machine.openwrt else "5 s after the daemon's script"
    print(f"== {machine.build}, {machine.userland} userland: the application started {late}: no restart")
    machine.step("S10before", f'say "listing=$(state check_app.txt)"\nrm {machine.rc_dir}/S90quillamont\n')
    if machine.openwrt:  # OpenWrt's done runs /etc/rc.local, on the overlay: kept until put back
        machine.step("S10rclocal", "printf '/etc/init.d/quillamont start\\nexit 0\\n' >/etc/rc.local\n")
    else:
        machine.step("S99late", '( sleep 5; /etc/init.d/quillamont start; say "app-started-late" ) &\n')
    stays_up(machine, check, "the daemon runs two periods later and found the application: no boot loop")

    print(f"== {machine.build}, {machine.userland} userland: an application that never starts: a restart after the"
          " start's 120 s")
    machine.step("S10before", f'say "began"\nrm {machine.rc_dir}/S90quillamont\n'
                 + ("printf 'exit 0\\n' >/etc/rc.local\n" if machine.openwrt else ""))
    boot = machine.boot()
    began, shutdown = boot.at("began"), boot.at("shutdown")
    check(f"the daemon started once the start had waited 120 s, and restarted the machine (began {began} s,"
          f" shutdown {shutdown} s)", None not in (began, shutdown) and began + 120 <= shutdown <= began + 150)
    check(f"... and it is a restart ({boot.end_at} s)", boot.end == "restart")
    check("... and the system log said why, before the restart",
          said_before_restart(boot, "restarting: /plorn/quillamont is not in the process listing"))
    machine.step("S10before", 'say "listing=$(state check_app.txt)"\n')
    machine.step("S99step", "poweroff\n")
    boot = machine.boot()
    check("the listing that failed stays after the restart", b"grep quillamont" in (boot.state("listing") or b""))

    print(f"== {machine.build}, {machine.userland} userland: the application first again: the device stays up")
    stays_up(machine, check, "two periods later the daemon runs, the application was found")

    # A router's BusyBox finds its tools on PATH only; Debian's static one
    # runs its own applets whatever PATH holds, so there the state directory
    # is what goes missing: mounted read-only.
    if machine.userland in ("router", "openwrt"):
        lacks, prepare, says = "mv", "rm -f /bin/mv /usr/bin/mv\n", \
            "check_mem: no mv on PATH: the daemon renames the state files into place with it (BusyBox: CONFIG_MV)"
    else:
        lacks, prepare, says = "a writable /plorn_etc", "mount -o remount,ro /plorn_etc\n", \
            "check_mem: /plorn_etc is not writable"
    print(f"== {machine.build}, {machine.userland} userland: a firmware without {lacks}: refused at start,"
          " the device stays up")
    machine.step("S10before", prepare)
    machine.step("S99step", '( /etc/init.d/check_mem start >/dev/null 2>&1; say "start-status=$? daemon=$(daemon_pid)";'
                 ' sleep 65; say "up-after-two-periods daemon=$(daemon_pid)"; poweroff ) &\n')
    boot = machine.boot()
    check("the boot's start names what is missing and what provides it",
          says in boot.console and "check_mem: not started" in boot.console)
    check("start exits with 6 and starts no daemon",
          boot.said("start-status") == "6" and boot.said("daemon", "start-status") == "")
    check("two periods later: still no daemon, no restart",
          "up-after-two-periods daemon=" in boot.console and boot.said("daemon") == "" and boot.end == "poweroff")
    check.done()

