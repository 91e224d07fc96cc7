"""Power cuts aimed inside the daemon's rewrites of its state files, where
a cut at random rarely lands. A helper in the guest (device/cutter.c)
watches /plorn_etc and cuts the power at the first change of a rewrite, or
up to 20 ms after it:
  - the low-water mark, at the first sample of a boot, over a mark known
    on disk (58600, so that the sample rewrites it);
  - the marker, during the shutdown that a granted request began, while
    requests keep arriving: the rewrite after the first grant's, over a
    marker known on disk ("1").
The next boot reads what the cut left. Prints the counts per file."""
from test_lifecycle import number

KNOWN_MARK, KNOWN_MARKER = b"58600\n", b"1\n"
UBI = " ubi /dev/sda"  # the cutter's mode for UBIFS, and the disk under block2mtd
BUILDS = ("musl",)  # the build for routers and their flash; the writes are the same in both
# The writes are the daemon's, whatever BusyBox runs beside it; OpenWrt's
# root puts them through overlayfs onto JFFS2.
USERLANDS = ("debian", "openwrt")


def arm(machine, target, delay_us):
    mode = UBI if machine.storage == "ubifs" else ""
    file, skip = ("meminfo.txt", 0) if target == "mark" else ("reboot_flag.txt", 1)
    # For the marker, memory is low before the daemon starts, so that its
    # first sample raises the flag; then requests keep coming.
    low = "hog 9000 >/dev/null &\nwait_for 60 below 11000\n" if target == "marker" else ""
    machine.step("S10arm", f"""say "cut-check mark=$(state meminfo.txt) marker=$(state reboot_flag.txt)"
echo 58600 >/plorn_etc/meminfo.txt && echo 1 >/plorn_etc/reboot_flag.txt && sync
{low}cutter /plorn_etc {file} {skip} {delay_us}{mode} >/dev/console 2>&1 &
wait_for 5 test -e /tmp/cutter-armed && say "armed"
""")
    if target == "marker":
        machine.step("S99ask", "( while :; do check_mem_request >/dev/null 2>&1; done ) &\n")


def judge(target, left):
    """What a cut left of a file: kept (as known on disk), new (the
    rewrite's value, whole), lost (empty or missing), torn, higher."""
    if not left:
        return "lost"
    if target == "marker":
        return "kept" if left == KNOWN_MARKER else "torn"
    if number(left) is None:
        return "torn"
    return "kept" if left == KNOWN_MARK else "higher" if number(left) > number(KNOWN_MARK) else "new"


def series(machine, cuts, rng):
    """Runs cuts aimed cuts at each file; returns {target: {outcome: count}}."""
    figures = {}
    for target in ("mark", "marker"):
        counts = figures[target] = dict(cuts=0, kept=0, new=0, lost=0, torn=0, higher=0, missed=0)
        pending, cut = False, None  # a cut whose outcome the next boot reads, and how it was made
        for trial in range(cuts + 1):
            if trial < cuts:
                # Half at the change itself, which lands between a
                # truncation and its write; half up to 20 ms later.
                arm(machine, target, 0 if trial % 2 == 0 else rng.randint(1, 20000))
            else:  # the last boot only reads
                machine.step("S10arm", 'say "cut-check mark=$(state meminfo.txt) marker=$(state reboot_flag.txt)"\n'
                             "poweroff\n")
            boot = machine.boot(timeout=600)
            if pending:
                outcome = judge(target, boot.state(target, "cut-check"))
                counts[outcome] += 1
                if outcome not in ("kept", "new"):
                    print(f"   {machine.storage}, {target}, cut {trial}: {outcome}: {boot.state(target, 'cut-check')!r}"
                          f" ({cut})")
            cut = next((w for _, w in boot.lines if w.startswith("cutter:")), None)
            pending = trial < cuts and boot.end == "reset" and cut is not None
            counts["cuts"] += pending
            counts["missed"] += trial < cuts and not pending
        print(f"   {machine.build} on {machine.storage}, the {target}: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    return figures


def test_aimed_cut(machine, check, rng, pytestconfig):
    figures = series(machine, pytestconfig.getoption("aimed"), rng)
    for target, counts in figures.items():
        check(f"the {target}: every cut landed in a rewrite ({counts['cuts']} of {counts['cuts'] + counts['missed']})",
              counts["missed"] == 0)
        check(f"the {target}: nothing lost, torn or higher after {counts['cuts']} cuts",
              counts["lost"] + counts["torn"] + counts["higher"] == 0)
    check.done()


def test_storage_model(machine, check):
    """The storage behaves as flash under a cut: a write flushed before the
    cut survives it. One that was not is lost where the kernel holds it in
    the page cache (the disk, UBIFS); JFFS2 on NOR writes it through to the
    flash within write(), so there it stays."""
    machine.step("S10model", f"""say "model synced=$(state synced) unsynced=$(state unsynced)"
rm -f /plorn_etc/synced /plorn_etc/unsynced; sync
echo whole >/plorn_etc/synced && : >/plorn_etc/unsynced && sync
cutter /plorn_etc unsynced 0 0{UBI if machine.storage == "ubifs" else ""} >/dev/console 2>&1 &
wait_for 5 test -e /tmp/cutter-armed
# Appended to a file that is there already: the first change the cutter
# sees is the write itself, done, not the creation before it (a loaded
# machine let the cut in between, and JFFS2 kept an empty file).
echo maybe >>/plorn_etc/unsynced
sleep 5
""")
    cut = machine.boot()
    machine.step("S10model", 'say "model synced=$(state synced) unsynced=$(state unsynced)"\npoweroff\n')
    after = machine.boot()
    unsynced = after.state("unsynced")
    print(f"   {machine.storage}: after the cut the unsynced write was {unsynced!r}")
    check("the cut came right after the unsynced write", cut.end == "reset" and cut.at("cutter") is not None)
    check("the synced write survived the cut", after.state("synced") == b"whole\n")
    if machine.storage == "jffs2":
        check("the unsynced write is on the flash, as JFFS2 on NOR writes it at once", unsynced == b"maybe\n")
    else:
        check("the unsynced write was lost with the page cache", unsynced != b"maybe\n")
    check.done()
