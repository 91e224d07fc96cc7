"""Cuts the power of the emulated device (qemu killed) at a random moment
while memory keeps falling, so that the daemon rewrites the low-water mark
every period; boots again and checks that the mark is a whole decimal
number, no higher than the last figure known to be on disk before the cut,
and that the daemon runs. Prints the counts."""
from test_lifecycle import number

SEED = b"58600\n"
# A cut here is qemu killed. Under UBIFS that also loses what block2mtd
# holds in the guest's page cache, writes that flash would have kept: the
# aimed cuts cut UBI itself instead.
STORAGES = ("ext4", "jffs2")
USERLANDS = ("debian",)  # the writes are the daemon's, whatever BusyBox runs beside it


def test_power_cut(machine, check, rng, pytestconfig):
    cuts = pytestconfig.getoption("cuts")
    # Every boot checks what the last cut left, before the daemon starts;
    # then it puts the seed back (so that the first sample rewrites the
    # mark at once) and lets memory fall by 400 kB every 3 s, about 4 MB a
    # period. A watcher syncs every new content itself and reports it as
    # on disk.
    def steps():
        machine.step("S10check", 'say "cut-check mark=$(state meminfo.txt)"\n'
                     'echo 58600 >/plorn_etc/meminfo.txt && sync\nsay "ondisk mark=$(state meminfo.txt)"\n')
        machine.step("S99fall", """(
wait_for 10 daemon_pid >/dev/null
say "daemon=$(daemon_pid)"
hog 10000 400 3 >/dev/null &
say "falling"
last=
while :; do
    m=$(state meminfo.txt)
    if [ "$m" != "$last" ]; then sync; say "ondisk mark=$m"; last=$m; fi
    sleep 0.5
done
) &
""")

    counts = dict(same=0, newer=0, torn=0, higher=0, no_daemon=0, early_end=0)
    known, rewrites, boots_rewritten = None, 0, 0
    for trial in range(cuts + 1):
        steps()
        if trial < cuts:
            boot = machine.boot(cut_on=r"@@ [0-9.]+ falling", cut_after=rng.uniform(0.2, 7.0))
        else:  # the last boot only checks
            boot = machine.boot(cut_on=r"@@ [0-9.]+ daemon=")
        left = boot.state("mark", "cut-check")
        if trial > 0:
            if number(left) is None:
                counts["torn"] += 1
                print(f"   cut {trial}: the mark is not a whole decimal number: {left!r}")
            elif number(left) > number(known):
                counts["higher"] += 1
                print(f"   cut {trial}: the mark went up: {number(left)} after {number(known)} was on disk")
            else:
                counts["same" if left == known else "newer"] += 1
        if not (boot.said("daemon") or "").isdigit():
            counts["no_daemon"] += 1
            print(f"   boot {trial + 1}: the daemon is not running")
        if trial < cuts:
            if boot.end != "cut":
                counts["early_end"] += 1
                print(f"   boot {trial + 1}: ended by {boot.end} before the cut")
            on_disk = boot.states("mark", "ondisk")
            known = on_disk[-1]
            rewrites += sum(m != SEED for m in on_disk)
            boots_rewritten += any(m != SEED for m in on_disk)
    print(f"   power cuts on {machine.build}: {cuts}; after them the mark was the last one on disk {counts['same']}"
          f" times, a newer write {counts['newer']} times; torn {counts['torn']}, higher than on disk"
          f" {counts['higher']}, daemon missing {counts['no_daemon']}; {rewrites} rewrites by the daemon seen on"
          " disk before the cuts")
    check("no mark torn", counts["torn"] == 0)
    check("no mark higher than the last one on disk", counts["higher"] == 0)
    check("the daemon ran after every cut", counts["no_daemon"] == 0)
    # Each boot's first sample replaces the seed at once: without rewrites
    # before the cuts, the cuts test nothing.
    check(f"the daemon rewrote the mark before the cut in most boots ({boots_rewritten} of {cuts})",
          boots_rewritten * 2 >= cuts and boots_rewritten > 0)
    check.done()
