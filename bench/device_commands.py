"""Usage: bench/device_commands.py [RUNS]   (default 20; inside script/sandbox, the images exist)

Figures only: how long each of the daemon's shell commands takes on the
emulated device under load (memory drained below the threshold by the
hog, and a shell loop keeping the core busy), on the router's userland
(musl build, a 24Kc), once per storage; in guest time (/proc/uptime,
10 ms steps). The basis of the commands' deadlines: the capture's, the
marker's and the mark's."""
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "device"))
from machine import STORAGES, Machine  # noqa: E402

runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
# The daemon's own command lines (src/), on paths beside its files.
COMMANDS = {
    "capture": "ps -ef | grep quillamont > /plorn_etc/bench_app.txt; "
               "[ -s /plorn_etc/bench_app.txt ] || ps | grep quillamont > /plorn_etc/bench_app.txt",
    "remove": "rm /plorn_etc/bench_app.txt",
    "mark": "echo 11000 > /plorn_etc/bench_mark.txt.$$ && sync && mv /plorn_etc/bench_mark.txt.$$ "
            "/plorn_etc/bench_mark.txt && sync; rm -f /plorn_etc/bench_mark.txt.tmp /plorn_etc/bench_mark.txt.[0-9]*",
    "marker": "echo 1 > /plorn_etc/bench_flag.txt.$$ && sync && mv /plorn_etc/bench_flag.txt.$$ "
              "/plorn_etc/bench_flag.txt && sync; rm -f /plorn_etc/bench_flag.txt.[0-9]*",
}
print(f"   {'storage':8} {'command':8} {'median s':>9} {'max s':>7}   ({runs} runs each, guest time, under load)")
for storage in STORAGES:
    machine = Machine("musl", storage=storage, userland="router")
    timed = "".join(f"""i=0
while [ $i -lt {runs} ]; do
    a=$(cut -d' ' -f1 /proc/uptime); sh -c '{cmd}'; b=$(cut -d' ' -f1 /proc/uptime)
    say "took name={name} a=$a b=$b"; i=$((i + 1))
done
""" for name, cmd in COMMANDS.items())
    machine.step("S99measure", f"""(
hog 9000 >/dev/null &
wait_for 90 below 11720
( while :; do :; done ) &
{timed}poweroff
) &
""")
    machine.fresh_disk()
    boot = machine.boot(timeout=1800)
    if boot.end != "poweroff":
        sys.exit(f"commands: the measuring boot ended by {boot.end}")
    for name in COMMANDS:
        took = [float(b) - float(a) for a, b in zip(boot.reports("a", f"name={name} "), boot.reports("b", f"name={name} "))]
        print(f"   {storage:8} {name:8} {statistics.median(took):9.2f} {max(took):7.2f}")
