"""The demo's day of the device on the emulated machine, run by script/demo
inside script/sandbox: prints a timeline in device time with the kernel's
own figures, and plots free memory, the low-water mark, the threshold and
the restarts. Usage: demo.py STARTED [PLOT]"""
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "device"))
from machine import CACHE, ROOT, Machine, state  # noqa: E402

started = float(sys.argv[1])
plot = sys.argv[2] if len(sys.argv) > 2 else ""
machine = Machine("musl")
samples, restarts = [], []  # (device time, figure, mark), device time
offset = 0.0  # device time at which this boot began: earlier boots laid end to end


def say_at(t, text):
    print(f"[{offset + t:8.1f} s] {text}")


def number(state):
    return state.decode().strip() if state else "none"


def boot(n, day):
    """Boots with the day's step after the watcher's and tells what its
    console shows, in order."""
    global offset
    # Every boot, once the application and the daemon run: what the disk
    # holds, then the figure the kernel gives and the mark, every 10 s.
    machine.step("S98watch", 'say "up mark=$(state meminfo.txt) marker=$(state reboot_flag.txt)"\n'
                 '( while :; do say "sample figure=$(figure) mark=$(state meminfo.txt)"; sleep 10; done ) &\n')
    machine.step("S99day", f"(\n{day}\n) &\n")
    print(f"demo: booting the device (boot {n}) [{time.time() - started:.0f} s]", flush=True)
    result = machine.boot()
    shown = None
    for t, words in result.lines:
        said = {key: value for key, value in (w.split("=", 1) for w in words.split() if "=" in w)}
        if words.startswith("sample "):
            mark = state(said["mark"])
            samples.append((offset + t, said["figure"], number(mark)))
            if mark and mark != shown:
                say_at(t, f"kernel: {said['figure']} kB free (MemFree + Buffers + Cached); low-water mark on"
                          f" disk: {number(mark)} kB")
                shown = mark
        elif words.startswith("up "):
            say_at(t, f"boot {n}: application and check_mem running; on the disk: low-water mark"
                      f" {number(state(said['mark']))}, marker {number(state(said['marker']))}")
        elif words.startswith("request status=0 "):
            say_at(t, f"a device process sends a reboot request ({words[len('request status=0 '):]})")
        elif words.startswith("refused "):
            say_at(t, f"-> refused: no restart ({words[len('refused '):]})")
        elif words.startswith("below "):
            say_at(t, f"free memory {said['figure']} kB: the sample below 11720 kB raised the low-memory flag")
        elif words == "app-killed":
            say_at(t, "the application dies")
        elif words == "shutdown":
            # Why, as the device's syslogd put the daemon's line on the console.
            causes = re.findall(r"check_mem\[[0-9]+\]: (restarting[^\n]*)", result.console)
            if result.end == "restart" and causes:
                say_at(t, f"system log: {causes[-1]}")
            say_at(t, "check_mem ran the reboot action (marker written and synced, reboot): init shuts down"
                   if result.end == "restart" else "the demo powers the device off")
    if result.end == "restart":
        say_at(result.end_at, "the machine restarts (kernel: reboot: Restarting system)")
        restarts.append(offset + result.end_at)
        samples.append(None)  # no line across the restart
        offset += result.end_at
    elif result.end == "poweroff":
        say_at(result.end_at, "powered off")
    else:
        sys.exit(f"demo: boot {n} ended by {result.end}; console: {machine.dir / 'ext4.console.log'}")


kernel = next((CACHE / "malta-kernel" / "lib" / "modules").iterdir()).name
print(f"check_mem on the emulated device: MIPS Malta ({machine.core}, no FPU), Linux {kernel}, BusyBox init,")
print("the static musl build installed as a firmware image would have it; one sample every 30 s of device time")
machine.fresh_disk()
boot(1, """sleep 45
request "while memory is fine"
sleep 5
say "refused memory has not run low since check_mem started"
hog 9500 1500 10 >/dev/null &
wait_for 400 sh -c '[ "$(cat /plorn_etc/meminfo.txt)" -lt 11720 ]'
say "below figure=$(figure)"
sleep 2
request "after the drop\"""")
boot(2, """sleep 20
request "again, memory fine after the restart"
sleep 5
say "refused the flag starts down in every new process, though the mark still holds the low"
sleep 60
kill "$(pidof quillamont)"
say "app-killed\"""")
boot(3, "sleep 40; poweroff")

print(f"\nrestarts: {len(restarts)}; lowest free memory ever seen (the mark): {samples[-1][2]} kB")
if plot:
    if not shutil.which("gnuplot"):
        print("demo: gnuplot is missing, no plot (apt-get install gnuplot-nox)", file=sys.stderr)
    else:
        data = ROOT / "build" / "demo" / "samples.dat"
        data.write_text("".join("\n" if s is None else "%.1f %s %s\n" % s for s in samples))
        arrows = "".join(f'set arrow from {t}, graph 0 to {t}, graph 1 nohead lc rgb "#c0392b" dt 3 lw 2\n'
                         f'set label "restart {i}" at {t - 6}, graph 0.96 right rotate by 90 tc rgb "#c0392b"'
                         ' font ",9"\n' for i, t in enumerate(restarts, 1))
        terminal = ("set terminal png size 960,480" if plot.endswith(".png") else
                    'set terminal svg size 960,480 dynamic font "sans,11" background "white"')
        subprocess.run(["gnuplot"], check=True, text=True, input=f"""{terminal}
set output "{plot}"
set title "check_mem on the emulated MIPS device (static musl build, FPU-less {machine.core})" noenhanced
set xlabel "device time (s), boots laid end to end"
set ylabel "kB"
set key right center opaque box
set grid
set yrange [0:*]
set datafile missing "none"
{arrows}
plot "{data}" using 1:2 with linespoints pt 7 ps 0.5 lc rgb "#2471a3" title "free memory (kernel)", \\
     "{data}" using 1:3 with steps lw 2 lc rgb "#1e8449" title "low-water mark (on disk)", \\
     11720 with lines dt 2 lc rgb "#7f8c8d" title "threshold 11720 kB"
""")
        print(f"plot: {plot}")
print(f"demo: done in {time.time() - started:.0f} s")
