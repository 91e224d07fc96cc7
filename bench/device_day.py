"""Usage: bench/device_day.py [PERIODS]   (default 1000; inside script/sandbox, the images exist)

A day of the static musl build on a router's userland (BusyBox without
DESKTOP: ps rejects -ef) with /plorn_etc on JFFS2 and the application
running: PERIODS periods of 30 s, about 8 hours of guest time for 1000.
Prints the daemon's VmRSS, RssAnon, open descriptors and threads at periods
10, 100, 500 and PERIODS, the zombies on the device and the JFFS2 space
used at each, the restarts, and the JFFS2 space used before the daemon
starts; then the budgets. Figures only: nothing passes or fails on them,
though a restart ends the day early and says so."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "device"))
from machine import Machine  # noqa: E402

periods = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
# 500: whether the JFFS2 figure levels off between 100 and the end.
marks = sorted({10, 100, 500, periods} & set(range(1, periods + 1)))
machine = Machine("musl", storage="jffs2", userland="router")
machine.fresh_disk()
# JFFS2's used space in kB, obsolete nodes included until its garbage
# collector takes them.
used = "used() { df -k /plorn_etc | tail -n 1 | awk '{ print $3 }'; }\n"
machine.step("S10used", used + 'say "jffs2-before used=$(used)"\n')
machine.step("S99day", used + f"""(
pid=$(daemon_pid)
started=$(($(cut -d' ' -f22 /proc/$pid/stat) / 100))
for n in {' '.join(map(str, marks))}; do
    # In the middle of period n + 1: the n-th check and sample are done.
    until=$((started + n * 30 + 15))
    while [ "$(cut -d. -f1 /proc/uptime)" -lt $until ]; do sleep 10; done
    zombies=0
    for s in /proc/[0-9]*/stat; do
        set -- $(cut -d')' -f2 $s 2>/dev/null)
        [ "$1" = Z ] && zombies=$((zombies + 1))
    done
    say "day periods=$n pid=$(daemon_pid) $(grep -E '^(VmRSS|RssAnon|Threads):' /proc/$pid/status | tr -d ' \\t' |
        tr ':\\n' '= ' | sed 's/kB//g')fds=$(ls /proc/$pid/fd | wc -l) zombies=$zombies used=$(used)"
done
sync
say "day-end marker=$(state reboot_flag.txt)"
poweroff
) &
""")
boot = machine.boot(timeout=6 * 3600)
rows = [dict(w.split("=", 1) for w in words.split()[1:]) for _, words in boot.lines if words.startswith("day ")]
print(f"== a day on the router userland: musl build, {machine.core}, JFFS2, {periods} periods ({periods * 30 / 3600:.1f} h"
      f" of guest time), ended by {boot.end}")
print(f"   {'periods':>8} {'VmRSS kB':>9} {'RssAnon kB':>11} {'fds':>5} {'threads':>8} {'zombies':>8}"
      f" {'JFFS2 used kB':>14}")
for r in rows:
    print(f"   {r['periods']:>8} {r['VmRSS']:>9} {r['RssAnon']:>11} {r['fds']:>5} {r['Threads']:>8} {r['zombies']:>8}"
          f" {r['used']:>14}")
restarts = boot.console.count("reboot: Restarting system")
pids = {r["pid"] for r in rows}
print(f"   restarts: {restarts} (marker {boot.said('marker')});"
      f" daemon pids seen: {' '.join(sorted(pids))}")
print(f"   JFFS2 used before the daemon started: {boot.said('used', 'jffs2-before')} kB")
if len(rows) == len(marks):
    first = next((r for r in rows if r["periods"] == "100"), rows[0])
    last = rows[-1]
    grown = [k for k in ("VmRSS", "RssAnon", "fds", "Threads") if int(last[k]) > int(first[k])]
    print(f"   budgets: 0 restarts ({restarts}); 0 zombies ({max(int(r['zombies']) for r in rows)});"
          f" no growth from period {first['periods']} to {last['periods']} ({', '.join(grown) or 'none'});"
          f" VmRSS at most 104 kB ({last['VmRSS']})")
else:
    print(f"   the day ended after {len(rows)} of {len(marks)} measurements")
