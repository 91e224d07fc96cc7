"""The worst day: strict overcommit (vm.overcommit_memory=2) with every
page of committed memory taken, so that no process can be created (fork
fails with ENOMEM). device/eater.c takes it once the daemon's mark shows
real low memory, lowers the figure once more, and then acts without a
process of its own: a reboot request, or the application killed. The
machine must restart while the memory is still taken, with the marker
written and the lowest figure sampled before it stored: a request's
restart comes before the next sample, the application watch's after it
(the watch runs a little after the sampling in each period), so there
the lowered figure, which no shell could store, is in the mark."""
from test_lifecycle import number, said_before_restart

BUILDS = ("musl",)
STORAGES = ("ext4",)
USERLANDS = ("debian",)

CAUSES = {"request": "restarting: reboot request granted, free memory fell below 11720 kB (",
          "app": "restarting: no process listing (no process could be started for it)"}


def test_worst_day(machine, check):
    for case in ("request", "app"):
        print(f"== {machine.build} on a {machine.core}, {machine.userland} userland, {machine.storage}:"
              f" strict overcommit, all committed memory taken, then {'a request' if case == 'request' else 'the application killed'}")
        machine.fresh_disk()
        whom = "request" if case == "request" else "$(pidof quillamont)"
        machine.step("S99step", f"""(
echo 100 >/proc/sys/vm/overcommit_ratio
echo 0 >/proc/sys/vm/user_reserve_kbytes
echo 2 >/proc/sys/vm/overcommit_memory
say "strict overcommit=$(cat /proc/sys/vm/overcommit_memory)"
eater 9000 {whom} 120 >/dev/console 2>&1
say "eater-ended status=$?"
) &
""")
        boot = machine.boot()
        mark_before = int(boot.said("mark", "eater low") or 0)
        lowered = int(boot.said("figure", "eater lowered") or 0)
        lowest = mark_before if case == "request" else lowered
        acted, let_go = boot.at("eater acted"), boot.at("eater let-go")
        check(f"strict overcommit, all committed memory taken ({boot.said('committed')} of {boot.said('limit')} kB)",
              boot.said("committed") is not None)
        check("... so that no process can be created (fork: ENOMEM)", boot.said("fork-errno") == "12")
        check(f"the daemon stored the low before (mark {mark_before} kB), the eater lowered the figure to {lowered} kB",
              0 < lowered < mark_before < 11720)
        check(f"the machine restarted after the eater acted ({acted} s), memory still taken (restart {boot.end_at} s)",
              acted is not None and boot.end == "restart" and let_go is None)
        check("... and the system log said why, before the restart", said_before_restart(boot, CAUSES[case]))

        machine.step("S10before", 'say "after marker=$(state reboot_flag.txt) mark=$(state meminfo.txt)"; poweroff\n')
        boot = machine.boot()
        mark = number(boot.state("mark"))
        check("the marker is there after the restart", boot.state("marker") == b"1\n")
        check(f"the mark holds the lowest figure sampled before it ({mark} kB; {lowered} kB lowered, {mark_before} kB"
              " stored before)", mark is not None and mark <= lowest + 256 and (case == "request" or mark < mark_before))
    check.done()
