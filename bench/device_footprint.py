"""Usage: bench/device_footprint.py [CYCLES]   (default 100; inside script/sandbox, the images exist)

Figures only, nothing passes or fails on them: the daemon's footprint on
the emulated MIPS kernel after 10 and after CYCLES periods, on both device
builds, beside a floor program (three threads that only sleep, built the
same way) and, on the glibc image, Debian's earlyoom:mipsel with --dryrun;
the static build's resident budgets; then the time from a granted request
to the restart, in guest time."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "device"))
from machine import CACHE, PRESETS, ROOT, Machine, run  # noqa: E402

cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 100
last = {}  # (build, program) -> figures after the last measurement
for build in ("musl", "glibc"):
    machine = Machine(build)
    peers = ["floor_program"] + (["earlyoom"] if build == "glibc" else [])
    floor = machine.dir / "floor_program"
    run("mipsel-linux-gnu-strip", "-o", floor, ROOT / "build" / PRESETS[build] / "bench" / "floor_program")
    machine.file("usr/bin/floor_program", floor.read_bytes(), 0o755)
    if build == "glibc":
        machine.file("usr/bin/earlyoom", (CACHE / "mipsel-earlyoom/usr/bin/earlyoom").read_bytes(), 0o755)
    machine.step("S96peers", "/usr/bin/floor_program </dev/null >/dev/null 2>&1 &\n"
                 "[ -x /usr/bin/earlyoom ] && /usr/bin/earlyoom --dryrun -r 3600 </dev/null >/dev/null 2>&1 &\ntrue\n")
    machine.step("S99measure", f"""(
started=$(($(cut -d' ' -f22 /proc/$(daemon_pid)/stat) / 100))
measure() {{ # after N periods: in the middle of period N + 1
    until=$((started + ($1 - 1) * 30 + 15))
    while [ "$(cut -d. -f1 /proc/uptime)" -lt $until ]; do sleep 5; done
    for name in check_mem {' '.join(peers)}; do
        if [ $name = check_mem ]; then p=$(daemon_pid); else p=$(pidof $name | cut -d' ' -f1); fi
        say "fp cycles=$1 name=$name $(grep -E '^(VmRSS|RssAnon|Threads):' /proc/$p/status | tr -d ' \\t' |
            tr ':\\n' '= ' | sed 's/kB//g')Pss=$(grep '^Pss:' /proc/$p/smaps_rollup | tr -dc 0-9)"
    done
}}
measure 10
measure {cycles}
poweroff
) &
""")
    machine.fresh_disk()
    boot = machine.boot(timeout=3600)
    if boot.end != "poweroff":
        sys.exit(f"footprint: the measuring boot ended by {boot.end}")
    print(f"   {build + ', after N cycles':22} {'N':>8} {'VmRSS':>8} {'RssAnon':>8} {'Pss':>8} {'threads':>8}")
    for _, words in boot.lines:
        if words.startswith("fp "):
            f = dict(w.split("=", 1) for w in words.split()[1:])
            print(f"   {f['name']:22} {f['cycles']:>8} {f['VmRSS']:>8} {f['RssAnon']:>8} {f['Pss']:>8} {f['Threads']:>8}")
            last[build, f["name"]] = {k: int(v) for k, v in f.items() if v.isdigit()}

    # A granted request, timed from the tool's start to init's shutdown and
    # to the restart: while memory is still low, and once it has recovered
    # (the flag stays up).
    for pressure in ("low", "recovered"):
        for _ in range(2):
            machine.step("S99request", f"""(
hog 9000 >/dev/null &
wait_for 90 sh -c '[ "$(cat /plorn_etc/meminfo.txt)" -lt 11720 ]'
sleep 1 # the flag rises just after the mark is written
[ {pressure} = recovered ] && kill $! && sleep 3
say "request figure=$(figure)"
check_mem_request >/dev/null 2>&1
) &
""")
            machine.fresh_disk()  # a fresh mark, so that its fall shows the sample that raised the flag
            boot = machine.boot()
            asked = boot.at("request")
            print(f"   memory {pressure:9} ({boot.said('figure'):>5} kB): request to shutdown"
                  f" {boot.at('shutdown') - asked:5.2f} s, to restart {boot.end_at - asked:5.2f} s (guest time)")

ours, earlyoom = last["musl", "check_mem"], last["glibc", "earlyoom"]
print(f"   budgets of the static musl daemon after {ours['cycles']} cycles: VmRSS {ours['VmRSS']} kB (at most 128),"
      f" RssAnon {ours['RssAnon']} kB (at most 40), Pss {ours['Pss']} kB (at most {earlyoom['Pss'] // 8},"
      f" an eighth of earlyoom's {earlyoom['Pss']})")
