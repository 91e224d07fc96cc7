"""Usage: bench/device_cost.py [PERIODS [BUILD:STORAGE,... [busy]]]
(default 20 periods, every run below; inside script/sandbox, the images exist)

What the daemon costs the emulated device per period and per day, beside
Debian's earlyoom for mipsel (--dryrun) and the floor program (the limit:
a three-threaded daemon that only reads /proc/meminfo every 30 s and
sleeps), all three on the same machine in the same boot, the application
running. One boot per build and storage: the static musl build on the
FPU-less 24Kc over ext4, JFFS2 and UBIFS (earlyoom's glibc laid beside
it; the kernel emulates its floating point), the dynamic glibc build on
the 24Kf over ext4. Each is measured over PERIODS periods of 30 s, from the
middle of its third period on, in guest time:

- wake-ups: the context switches of all of a process's threads;
- own CPU: the time its threads ran (/proc/PID/task/*/schedstat, in ns),
  and the clock ticks of 10 ms charged to them (utime + stime of
  /proc/PID/stat), which only sample it;
- its commands' CPU: the ticks charged to them (cutime + cstime);
- bytes written to the state storage: sectors written to the disk
  (/sys/block/sda/stat) for ext4 and for UBIFS (its flash, block2mtd,
  writes through that disk, the pages its erases fill included); for
  JFFS2 the nodes added to the flash, read from the RAM that backs it;
- erase blocks per day: for UBIFS from the erase counters in UBI's own
  headers on the disk, for JFFS2 the erase blocks those nodes fill (each
  is erased once before it is written again). ext4 cannot say.

With busy, a shell loop keeps the core busy throughout, so that every
command takes longer in guest time, as on a loaded device. Figures only:
nothing passes or fails on them."""
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "device"))
from machine import CACHE, PRESETS, ROOT, Machine, run  # noqa: E402

periods = int(sys.argv[1]) if len(sys.argv) > 1 else 20

PER_DAY = 24 * 3600 // 30
# The flash that rcS lays out: phram over 2 MiB of the guest's RAM at
# 32 MiB, in 64 KiB erase blocks; UBI's erase blocks on the disk, 128 KiB.
JFFS2_AT, JFFS2_SIZE, JFFS2_BLOCK = 32 << 20, 2 << 20, 64 << 10
UBI_BLOCK = 128 << 10
# JFFS2's node types as the flash holds them, with the bit that marks a
# node obsolete cleared: dirent, inode, xattr, xref. Cleanmarkers,
# padding and summaries are the file system's own, not the daemon's.
JFFS2_DATA_NODES = {0xC001, 0xC002, 0xC008, 0xC009}


def jffs2_node_bytes(ram):
    """Bytes of the file data and directory nodes on the flash."""
    with open(ram, "rb") as f:
        f.seek(JFFS2_AT)
        flash = f.read(JFFS2_SIZE)
    total = 0
    for block in range(0, JFFS2_SIZE, JFFS2_BLOCK):
        at, end = block, block + JFFS2_BLOCK
        while at + 12 <= end:
            magic, kind, length = struct.unpack_from("<HHI", flash, at)
            if magic == 0x1985 and 12 <= length <= end - at:
                if kind & ~0x2000 in JFFS2_DATA_NODES:
                    total += length
                at += (length + 3) & ~3
            else:
                at += 4
    return total


def ubi_erases(disk):
    """The sum of the erase counters in UBI's headers, one per erase block."""
    total = 0
    with open(disk, "rb") as f:
        while header := f.read(16):
            if header[:4] == b"UBI#":
                total += struct.unpack(">Q", header[8:16])[0]
            f.seek(UBI_BLOCK - 16, 1)
    return total


def flash_state(machine):
    if machine.storage == "jffs2":
        return jffs2_node_bytes(machine.disk)
    if machine.storage == "ubifs":
        return ubi_erases(machine.disk)
    return 0


def measure(build, storage):
    machine = Machine(build, storage=storage)
    floor = machine.dir / "floor_program"
    run("mipsel-linux-gnu-strip", "-o", floor, ROOT / "build" / PRESETS[build] / "bench" / "floor_program")
    machine.file("usr/bin/floor_program", floor.read_bytes(), 0o755)
    machine.file("usr/bin/earlyoom", (CACHE / "mipsel-earlyoom/usr/bin/earlyoom").read_bytes(), 0o755)
    if build == "musl":  # earlyoom's C library, which the glibc image has already
        for lib in ("ld.so.1", "libc.so.6"):
            stripped = machine.dir / lib
            run("mipsel-linux-gnu-strip", "-o", stripped, Path("/usr/mipsel-linux-gnu/lib") / lib)
            machine.file(f"lib/{lib}", stripped.read_bytes(), 0o755)
    machine.step("S96peers", "/usr/bin/floor_program </dev/null >/dev/null 2>&1 &\n"
                 "/usr/bin/earlyoom --dryrun -r 3600 </dev/null >/dev/null 2>&1 &\n"
                 + ("( while :; do :; done ) &\n" if busy else "") + "true\n")
    machine.step("S99cost", f"""(
pid=$(daemon_pid)
started=$(($(cut -d' ' -f22 /proc/$pid/stat) / 100))
snap() {{ # WHEN: each one's wake-ups and CPU, then the disk's sectors written
    for each in check_mem:$pid earlyoom:$(pidof earlyoom) floor:$(pidof floor_program); do
        p=${{each#*:}}
        woken=0
        for n in $(cat /proc/$p/task/*/status | awk '/ctxt_switches:/ {{ print $2 }}'); do woken=$((woken + n)); done
        ran=$(cat /proc/$p/task/*/schedstat | awk '{{ s += $1 }} END {{ printf "%d", s / 1000 }}')
        set -- $(cut -d')' -f2 /proc/$p/stat)
        say "cost at=$when name=${{each%%:*}} woken=$woken ran_us=$ran own=$((${{12}} + ${{13}})) commands=$((${{14}} + ${{15}}))"
    done
    # What a copy of the daemon would be charged under strict overcommit:
    # its private writable mappings.
    charge=0
    while read -r range perms rest; do
        case $perms in rw?p) charge=$((charge + 0x${{range#*-}} - 0x${{range%-*}})) ;; esac
    done </proc/$pid/maps
    say "charge at=$when kb=$((charge / 1024))"
    sync
    say "disk at=$when sectors=$(awk '{{ print $7 }}' /sys/block/sda/stat 2>/dev/null || echo 0)"
}}
# From the middle of the third period: the start and the first checks done.
until=$((started + 75))
for when in start end; do
    while [ "$(cut -d. -f1 /proc/uptime)" -lt $until ]; do sleep 5; done
    snap
    if [ $when = start ]; then
        say "flash-now"
        read -r ack </dev/console
    fi
    until=$((until + {periods} * 30))
done
poweroff
) &
""")
    machine.fresh_disk()
    flash = {}
    boot = machine.boot(timeout=3600, monitor_on=("flash-now", lambda: flash.update(start=flash_state(machine)), "go"))
    if boot.end != "poweroff":
        sys.exit(f"cost: the measuring boot ended by {boot.end}")
    flash["end"] = flash_state(machine)
    snaps = {}
    for _, words in boot.lines:
        if words.startswith(("cost ", "disk ", "charge ")):
            f = dict(w.split("=", 1) for w in words.split()[1:])
            snaps[f.get("name", words.split()[0]), f["at"]] = {k: int(v) for k, v in f.items() if v.isdigit()}

    def per_period(name, key):
        return (snaps[name, "end"][key] - snaps[name, "start"][key]) / periods

    print(f"== {build} build on a {machine.core}, /plorn_etc on {storage}: {periods} periods of 30 s (guest time)"
          + (", the core kept busy" if busy else ""))
    print(f"   {'':18} {'per period:':>11} {'wake-ups':>9} {'own ms':>7} {'own ticks':>10} {'commands ms':>12}"
          f"   {'per day:':>8} {'wake-ups':>9} {'own s':>7} {'commands s':>11}")
    for name, label in (("check_mem", "check_mem"), ("earlyoom", "earlyoom --dryrun"), ("floor", "limit (floor)")):
        w, ran_us, ticks, cmd = (per_period(name, k) for k in ("woken", "ran_us", "own", "commands"))
        print(f"   {label:18} {'':>11} {w:9.1f} {ran_us / 1000:7.2f} {ticks:10.2f} {cmd * 10:12.1f}"
              f"   {'':>8} {w * PER_DAY:9.0f} {ran_us * PER_DAY / 1e6:7.1f} {cmd * PER_DAY / 100:11.1f}")
    if storage == "jffs2":
        written = (flash["end"] - flash["start"]) / periods
        erases = f"{written * PER_DAY / JFFS2_BLOCK:.1f} of 64 KiB (the blocks its nodes fill)"
    else:
        written = per_period("disk", "sectors") * 512
        erases = (f"{(flash['end'] - flash['start']) / periods * PER_DAY:.1f} of 128 KiB (UBI's erase counters)"
                  if storage == "ubifs" else "not known to ext4")
    print(f"   a copy of the daemon (fork) would be charged {snaps['charge', 'end']['kb']} kB under strict overcommit")
    print(f"   written to {storage}: {written:.0f} bytes per period, {written * PER_DAY / 1024:.0f} KiB per day;"
          f" erase blocks per day: {erases}")


builds = sys.argv[2].split(",") if len(sys.argv) > 2 else ["musl:ext4", "musl:jffs2", "musl:ubifs", "glibc:ext4"]
busy = sys.argv[3:4] == ["busy"]
for run_on in builds:
    measure(*run_on.split(":"))
