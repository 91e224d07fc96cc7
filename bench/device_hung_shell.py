"""Usage: bench/device_hung_shell.py   (inside script/sandbox, the images exist)

How long a restart takes when the storage that holds the shell stops
answering reads: the static build on the 24Kc, /plorn_etc on its virtio
disk as usual, /bin/sh a link to BusyBox on a second disk (IDE) whose
reads the emulator throttles to one byte a second once the caches are
dropped. A read already queued there holds the next, so the daemon's next
command waits in the kernel inside its shell's exec. Prints the guest
times and the daemon's system-log lines; figures only, nothing passes or
fails on them. The basis of starting commands with fork: a start that
waits for the child's exec (vfork, clone with CLONE_VFORK) waits here
with it, beyond every deadline."""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "device"))
from machine import CACHE, USERLANDS, Machine, run  # noqa: E402

THROTTLE = "block_set_io_throttle ide0-hd0 0 1 0 0 1 0"  # bps, read, write; iops, read, write


class ShellDisk(Machine):
    """The device with a second disk, shell.img, on the IDE bus."""

    def qemu(self, initrd):
        return super().qemu(initrd) + ["-drive", f"file={self.dir / 'shell.img'},format=raw,if=ide,index=0,cache=unsafe"]


machine = ShellDisk("musl", virtio=True)
with tempfile.TemporaryDirectory() as stage:
    shutil.copy(USERLANDS["debian"], Path(stage) / "busybox")
    (Path(stage) / "pad").write_bytes(b"p" * 65536)
    e2 = CACHE / "e2fsprogs"
    libs = f"{e2}/lib/x86_64-linux-gnu:{e2}/usr/lib/x86_64-linux-gnu"
    run(e2 / "sbin" / "mke2fs", "-q", "-F", "-t", "ext4", "-d", stage, machine.dir / "shell.img", "8M",
        env={**os.environ, "LD_LIBRARY_PATH": libs}, stdout=subprocess.DEVNULL)
machine.step("S99step", """(
sleep 40 # the daemon's first check done
mkdir -p /shdisk && mount -t ext4 -o ro /dev/sda /shdisk
ln -s /shdisk/busybox /bin/sh.new && mv /bin/sh.new /bin/sh
/bin/sh -c true && say "shell-from-disk"
sync
echo 3 >/proc/sys/vm/drop_caches
say "hang-now"
read -r ack </dev/console
cat /shdisk/pad >/dev/null & # the first read, which the throttle lets through, then queued ones
say "hung"
sleep 900
say "still-up"
) &
""")
machine.fresh_disk()
boot = machine.boot(timeout=600, monitor_on=("hang-now", THROTTLE, "go"))
hung = boot.at("hung")
print("== the shell's storage stops answering reads: musl build on a 24Kc, /plorn_etc on virtio ext4")
print(f"   reads hung at {hung} s; the boot ended by {boot.end}"
      + (f", {boot.end_at - hung:.1f} s later (guest time)" if boot.end_at and hung else ""))
for line in boot.console.splitlines():
    if "check_mem[" in line:
        print("   |", line)
