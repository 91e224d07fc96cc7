"""A request while the state storage hangs: /plorn_etc's ext4 frozen
(fsfreeze), so that every write to it, the marker's included, blocks in
the kernel, as on a flash whose driver hangs. The daemon gives the marker
up at its deadline, and the restart comes all the same."""

BUILDS = ("musl",)
STORAGES = ("ext4",)  # the one of the three that freezes
USERLANDS = ("router",)  # its BusyBox has fsfreeze


def test_stuck_storage(machine, check):
    print(f"== {machine.build} on a {machine.core}, {machine.userland} userland, {machine.storage}:"
          " a request while the state storage hangs")
    machine.step("S99step", """(
hog 9000 >/dev/console &
wait_for 90 sh -c '[ "$(cat /plorn_etc/meminfo.txt)" -lt 11720 ]'
sleep 2 # the flag rises once the rewrite has returned
fsfreeze --freeze /plorn_etc && say "frozen"
# Asked until granted: requests taken while the listener waits on the
# hung marker stay queued.
for i in 1 2 3 4 5 6 7 8 9 10; do request; sleep 1; done
) &
""")
    # So that the shutdown itself, after the daemon's reboot, can flush
    # and unmount: first of the stop steps.
    machine.step("S99thaw", 'fsfreeze --unfreeze /plorn_etc 2>/dev/null; say "thawed"\n', when="stop")
    boot = machine.boot()
    frozen, shutdown = boot.at("frozen"), boot.at("shutdown")
    check("the storage froze under low memory", frozen is not None)
    check(f"the hung marker did not stop the restart (frozen {frozen} s, shutdown {shutdown} s)",
          None not in (frozen, shutdown) and boot.end == "restart")
    check("... which waited for the marker's deadline, 30 s, and not much longer",
          None not in (frozen, shutdown) and 30 <= shutdown - frozen <= 45)

    machine.step("S10before", 'say "after marker=$(state reboot_flag.txt) mark=$(state meminfo.txt)"; poweroff\n')
    boot = machine.boot()
    # A request still queued may be granted after the thaw, before the
    # shutdown stops the daemon: the marker is reported, not judged.
    print(f"   marker after the restart: {boot.state('marker')}")
    check("the mark holds the low written before the freeze", (int(boot.state("mark") or b"99999") < 11720))
    check.done()
