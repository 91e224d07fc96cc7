"""A request while the state storage hangs with unwritten data in the page
cache: /plorn_etc's ext4 on a virtio disk whose writes the emulator
throttles to one byte a second (block_set_io_throttle), while the guest's
requests to it never time out, as on a flash controller that stops
answering. Every sync() then waits in the kernel for good, reboot's own
included (BusyBox's reboot syncs before it asks init), and no SIGKILL
lands. The daemon gives the marker up at its deadline, and restarts the
machine itself with reboot(2) once it is still running 60 s after it asked
reboot, a second after saying so: 92 s of deadlines, under 95 s with the
commands' own time."""

BUILDS = ("musl",)
STORAGES = ("ext4",)  # the disk that virtio can carry
USERLANDS = ("router",)

THROTTLE = "block_set_io_throttle plorn 0 0 1 0 0 1"  # bps, read, write; iops, read, write
# The marker's deadline and reap, 31 s; 60 s for the restart to come; 1 s
# for the line; and the commands' own time.
BOUND_S = 95
# Written by nothing yet: dirty, or submitted to the disk and waiting there.
UNWRITTEN = "$(awk '/^(Dirty|Writeback):/ { n += $2 } END { print n }' /proc/meminfo)"


def test_stuck_storage(machine, check):
    print(f"== {machine.build} on a {machine.core}, {machine.userland} userland, {machine.storage} on virtio:"
          " a request while the state storage hangs with unwritten data")
    machine.virtio = True
    machine.step("S99step", f"""(
hog 9000 >/dev/console &
wait_for 90 sh -c '[ "$(cat /plorn_etc/meminfo.txt)" -lt 11720 ]'
sleep 2 # the flag rises once the rewrite has returned
sync
say "hang-now"
read -r ack </dev/console
dd if=/dev/zero of=/plorn_etc/unflushed bs=1024 count=84 2>/dev/null
say "hung unwritten={UNWRITTEN}"
request
say "requested"
sleep 30
say "still unwritten={UNWRITTEN}"
) &
""")
    # Idle guest time passes at once: a restart in guest minutes takes real
    # seconds, and none in two real minutes is none at all.
    boot = machine.boot(timeout=120, monitor_on=("hang-now", THROTTLE, "go"))
    requested, unwritten = boot.at("requested"), int(boot.said("unwritten", "hung") or 0)
    still = int(boot.said("unwritten", "still") or 0)
    check(f"the storage hangs with the unwritten data kept ({unwritten} kB unwritten, {still} kB 30 s later)",
          unwritten >= 84 and still >= 84)
    took = None if None in (requested, boot.end_at) else boot.end_at - requested
    check(f"the hung storage did not stop the restart (requested {requested} s, restart {boot.end_at} s)",
          boot.end == "restart")
    check(f"... which came within the stated {BOUND_S} s, after the marker's deadline and 60 s ({took} s)",
          took is not None and 85 <= took <= BOUND_S)
    check("... and the system log said it was made directly",
          "restarting directly with reboot(2): still running 60 s after reboot was asked" in boot.console)

    machine.step("S10before", 'say "after marker=$(state reboot_flag.txt) unflushed=$(wc -c </plorn_etc/unflushed'
                 ' 2>/dev/null || echo none)"; poweroff\n')
    boot = machine.boot()
    print(f"   marker after the restart: {boot.state('marker')} (given up at its deadline)")
    check(f"what never reached the disk is lost, as on the real device ({boot.said('unflushed')} of 86016 bytes)",
          boot.said("unflushed") in ("none", "0"))
    check.done()
