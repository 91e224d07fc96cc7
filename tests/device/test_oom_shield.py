"""The OOM killer against the daemon: a memory hog shielded at -1000, as
firmware often shields its main program, takes memory until the kernel
has killed every process it may kill and says it is deadlocked on memory
(panic=1 restarts the machine then). The daemon, at -1000 itself (its
memory is fixed), is never among the victims, however many others are."""
import re

BUILDS = ("musl",)
STORAGES = ("ext4",)
USERLANDS = ("debian",)


def test_oom_shield(machine, check):
    print(f"== {machine.build} on a {machine.core}, {machine.userland} userland, {machine.storage}:"
          " a memory hog shielded at -1000 until nothing killable is left")
    machine.kernel_args = "panic=1"
    machine.step("S99step", """(
say "daemon-score=$(cat /proc/$(daemon_pid)/oom_score_adj)"
for i in 1 2 3 4; do sleep 100000 & done
echo -1000 >/proc/self/oom_score_adj
exec hog 0 >/dev/null 2>&1
) &
""")
    boot = machine.boot()
    victims = re.findall(r"Out of memory: Killed process [0-9]+ \(([^)]*)\)", boot.console)
    print(f"   the OOM killer's victims, in order: {', '.join(victims)}")
    check(f"the daemon set its own score to -1000 ({boot.said('daemon-score')})", boot.said("daemon-score") == "-1000")
    check(f"the OOM killer took every process it could ({len(victims)}; the application among them), and then"
          " found none left", "quillamont" in victims and len(victims) >= 6
          and "System is deadlocked on memory" in boot.console)
    check("... never the daemon", "check_mem" not in victims)
    check.done()
