"""The emulated device: Debian's MIPS Malta kernel under qemu-system-mipsel,
BusyBox init, the project's install tree and /plorn_etc on a persistent
disk (build/device/IMAGE). BUILD is glibc (the dynamic device build) or
musl (the static one); USERLAND is debian (Debian's busybox-static),
router (BusyBox as router firmware configures it, for the musl build) or
openwrt (that BusyBox on OpenWrt's squashfs root under a JFFS2 overlay).

A boot lays a scenario's steps over the image (shell scripts run by rcS as
/etc/init.d/S??NAME, with the helpers of /usr/lib/scenario.sh) and ends
when the guest restarts or powers off (qemu -no-reboot ends with it), or
when the power is cut (qemu killed). Only the console comes back: steps
report on lines "@@ UPTIME WORDS". Guest time runs on instruction counts
and skips idle time, so 30-second periods pass in a fraction of a second.
"""
import io
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

import pexpect

ROOT = Path(__file__).resolve().parents[2]
CACHE = ROOT / "build" / "cache"
DEVICE_DIR = Path(os.environ.get("CHECK_MEM_DEVICE_DIR", ROOT / "build" / "device"))
PRESETS = {"glibc": "target", "musl": "target-musl"}
# The static build is for the common router cores without an FPU; the
# dynamic one follows Debian's hard-float ABI, on Malta's default core.
CORES = {"musl": "24Kc", "glibc": "24Kf"}
# What /plorn_etc is kept on: ext4 on the IDE disk, JFFS2 on NOR-like flash
# (phram over RAM that a file backs, so that it outlives qemu as flash
# outlives a power cut), UBIFS on UBI on block2mtd over the disk.
STORAGES = ("ext4", "jffs2", "ubifs")
# The device's BusyBox: Debian's static one (DESKTOP on, so ps takes -ef),
# or one built from Debian's sources as router firmware builds it: static
# against the soft-float musl, DESKTOP off (ps rejects -ef, sleep takes
# whole seconds), script/lib/router_busybox.sh.
# openwrt: the router's BusyBox on a root laid out as OpenWrt lays it out
# (device/openwrt): the system on squashfs, JFFS2 over it through overlayfs,
# init scripts through rc.common (its stand-in, tests/openwrt/rc.common)
# and procd's two passes over /etc/rc.d; /plorn_etc is on that root.
USERLANDS = {"debian": CACHE / "mipsel-busybox" / "bin" / "busybox", "router": CACHE / "router-busybox" / "busybox",
             "openwrt": CACHE / "router-busybox" / "busybox"}
MODULES = ["lib/crc16", "fs/mbcache", "fs/jbd2/jbd2", "crypto/crc32c_generic", "fs/ext4/ext4",
           "drivers/ata/ata_piix", "drivers/mtd/devices/phram", "fs/jffs2/jffs2", "drivers/mtd/devices/block2mtd",
           "drivers/mtd/ubi/ubi", "lib/zstd/zstd_compress", "crypto/deflate", "crypto/zstd", "fs/ubifs/ubifs",
           "drivers/virtio/virtio", "drivers/virtio/virtio_ring", "drivers/virtio/virtio_pci_legacy_dev",
           "drivers/virtio/virtio_pci_modern_dev", "drivers/virtio/virtio_pci", "drivers/block/virtio_blk"]
OPENWRT_MODULES = ["drivers/block/loop", "fs/squashfs/squashfs", "fs/overlayfs/overlay", "drivers/mtd/devices/phram",
                   "fs/jffs2/jffs2"]
STEP_HEADER = '#!/bin/sh\n[ "$1" = {when} ] || exit 0\n. /usr/lib/scenario.sh\n'
SAID = re.compile(r"^@@ ([0-9.]+) (.*)$", re.M)


def run(*args, **kwargs):
    return subprocess.run(args, check=True, **kwargs)


def cpio(directory, out):
    """directory as a gzipped newc archive, owned by root, in a stable order."""
    busybox = CACHE / "busybox" / "bin" / "busybox"
    run("sh", "-c", f'cd "{directory}" && find . | LC_ALL=C sort | "{busybox}" cpio -o -H newc 2>/dev/null'
        f' | gzip -9n >"{out}"')


def image(build, userland):
    """The image's name, and its folder's under build/device."""
    return build if userland == "debian" else f"{build}-{userland}"


def build_images(builds):
    """Builds the device builds (musl always: it holds the device's own
    programs) and one initramfs per build and userland (the router's for
    the musl build only), build/device/IMAGE/base.cpio.gz."""
    for preset in {PRESETS["musl"], *(PRESETS[b] for b in builds)}:
        run("cmake", "--preset", preset, stdout=subprocess.DEVNULL, cwd=ROOT)
        run("cmake", "--build", "--preset", preset, f"-j{os.cpu_count()}", stdout=subprocess.DEVNULL, cwd=ROOT)
    for build, userland in [(b, u) for b in builds for u in USERLANDS if u == "debian" or b == "musl"]:
        if userland == "openwrt":
            build_openwrt_image(build)
            continue
        stage = DEVICE_DIR / image(build, userland) / "root"
        shutil.rmtree(stage, ignore_errors=True)
        for d in "bin sbin usr/bin usr/sbin lib/modules proc sys dev tmp root plorn plorn_etc".split():
            (stage / d).mkdir(parents=True)
        shutil.copytree(ROOT / "device" / "rootfs", stage, dirs_exist_ok=True, symlinks=True)
        shutil.copy(USERLANDS[userland], stage / "bin" / "busybox")
        (stage / "bin" / "sh").symlink_to("busybox")
        (stage / "sbin" / "init").symlink_to("../bin/busybox")
        for m in MODULES:
            shutil.copy(next((CACHE / "malta-kernel" / "lib" / "modules").glob(f"*/kernel/{m}.ko")),
                        stage / "lib" / "modules")
        # As a firmware integrator puts it in: the install tree, the init
        # script linked after the application's.
        run("cmake", "--install", f"build/{PRESETS[build]}", "--prefix", "/usr", "--strip", cwd=ROOT,
            env={**os.environ, "DESTDIR": str(stage)}, stdout=subprocess.DEVNULL)
        (stage / "etc" / "init.d" / "S05syslog").symlink_to("syslog")
        (stage / "etc" / "init.d" / "S90quillamont").symlink_to("quillamont")
        (stage / "etc" / "init.d" / "S95check_mem").symlink_to("check_mem")
        strip = ["mipsel-linux-gnu-strip", "--strip-unneeded", "-o"]
        for program, where in (("quillamont", "plorn"), ("hog", "usr/bin"), ("eater", "usr/bin"), ("cutter", "usr/bin"),
                               ("ubivol", "usr/bin"), ("oldsyscalls", "usr/bin")):
            run(*strip, stage / where / program, ROOT / "build" / "target-musl" / "device" / program)
        if build == "glibc":
            for lib in ("ld.so.1", "libc.so.6"):
                run(*strip, stage / "lib" / lib, Path("/usr/mipsel-linux-gnu/lib") / lib)
        cpio(stage, DEVICE_DIR / image(build, userland) / "base.cpio.gz")


def build_openwrt_image(build):
    """The OpenWrt flavour: the router's image as a squashfs root, with
    OpenWrt's init script enabled through rc.common's enable, procd-style
    passes in place of rcS and rcK; and an initramfs that holds only the
    first stage (device/openwrt/preinit), its modules and that squashfs."""
    folder = DEVICE_DIR / image(build, "openwrt")
    stage, first = folder / "root", folder / "preinit"
    for d in (stage, first):
        shutil.rmtree(d, ignore_errors=True)
    shutil.copytree(DEVICE_DIR / image(build, "router") / "root", stage, symlinks=True)
    shutil.rmtree(stage / "lib" / "modules")
    for old in ("rcK", "check_mem", "S05syslog", "S90quillamont", "S95check_mem"):
        (stage / "etc" / "init.d" / old).unlink()
    shutil.copytree(ROOT / "device" / "openwrt" / "etc", stage / "etc", dirs_exist_ok=True)
    # The applets' links are in the image, as OpenWrt's are: nothing on the
    # read-only root makes them at boot.
    applets = run(CACHE / "qemu-user" / "usr" / "bin" / "qemu-mipsel-static", USERLANDS["openwrt"], "--list-full",
                  capture_output=True, text=True).stdout.split()
    for applet in applets:
        link = stage / applet
        if not link.exists() and not link.is_symlink():
            link.parent.mkdir(parents=True, exist_ok=True)
            link.symlink_to(os.path.relpath(stage / "bin" / "busybox", link.parent))
    shutil.copy(ROOT / "tests" / "openwrt" / "rc.common", stage / "etc" / "rc.common")
    for d in ("etc/rc.d", "rom", "overlay"):
        (stage / d).mkdir(parents=True)
    run("cmake", "-DCHECK_MEM_INIT=openwrt", "-DCMAKE_INSTALL_PREFIX=/usr", "-DCMAKE_INSTALL_DO_STRIP=1", "-P",
        f"build/{PRESETS[build]}/cmake_install.cmake", cwd=ROOT, env={**os.environ, "DESTDIR": str(stage)},
        stdout=subprocess.DEVNULL)
    # As OpenWrt's package tools enable a service: rc.common's enable;
    # done (S95, which runs /etc/rc.local) as the base system has it.
    for service in ("check_mem", "done"):
        run("sh", ROOT / "tests" / "openwrt" / "rc.common", stage / "etc" / "init.d" / service, "enable",
            env={**os.environ, "IPKG_INSTROOT": str(stage)})
    (stage / "etc" / "rc.d" / "S05syslog").symlink_to("../init.d/syslog")
    (stage / "etc" / "rc.d" / "S90quillamont").symlink_to("../init.d/quillamont")
    (stage / "etc" / "rc.d" / "K10quillamont").symlink_to("../init.d/quillamont")
    squashfs = CACHE / "squashfs-tools"
    libs = f"{squashfs}/lib/x86_64-linux-gnu:{squashfs}/usr/lib/x86_64-linux-gnu"
    for d in ("bin", "lib/modules", "steps"):
        (first / d).mkdir(parents=True)
    run(squashfs / "usr" / "bin" / "mksquashfs", stage, first / "rom.squashfs", "-all-root", "-noappend", "-quiet",
        "-comp", "xz", env={**os.environ, "LD_LIBRARY_PATH": libs}, stdout=subprocess.DEVNULL)
    shutil.copy(USERLANDS["openwrt"], first / "bin" / "busybox")
    (first / "bin" / "sh").symlink_to("busybox")
    shutil.copy(ROOT / "device" / "openwrt" / "preinit", first / "preinit")
    shutil.copy(ROOT / "device" / "rootfs" / "usr" / "lib" / "flash.sh", first / "flash.sh")
    for m in OPENWRT_MODULES:
        shutil.copy(next((CACHE / "malta-kernel" / "lib" / "modules").glob(f"*/kernel/{m}.ko")), first / "lib" / "modules")
    cpio(first, folder / "base.cpio.gz")


def values(words, key):
    """The values of "KEY=VALUE" in one report."""
    return re.findall(rf"(?:^| ){key}=(\S*)", words)


def state(value):
    """A state file as state() reports it: its bytes, or None when missing."""
    return None if value == "none" else bytes.fromhex(value)


class Boot:
    """What one boot showed: its console, how it ended (restart, poweroff,
    reset: the guest's own cut; cut: the host's; timeout) and the guest
    time of the restart or power-down."""

    def __init__(self, console, end):
        self.console, self.end, self.end_at = console, end, None
        self.lines = [(float(t), words) for t, words in SAID.findall(console)]
        if end == "ended":  # by the guest: how the kernel says, else a reset without a word (sysrq b)
            ends = re.findall(r"^\[ *([0-9.]+)\] reboot: (Restarting system|Power down)", console, re.M)
            self.end = "reset"
            if ends:
                self.end_at = float(ends[-1][0])
                self.end = "restart" if ends[-1][1].startswith("Restarting") else "poweroff"

    def reports(self, key, among=""):
        """Every "KEY=VALUE" the steps reported (on lines holding among), in order."""
        return [v for _, words in self.lines if among in words for v in values(words, key)]

    def said(self, key, among=""):
        """The last value reported for key, or None."""
        found = self.reports(key, among)
        return found[-1] if found else None

    def states(self, key, among=""):
        """A state file as the steps reported it with state(), each time:
        its bytes, or None when it was missing."""
        return [state(v) for v in self.reports(key, among)]

    def state(self, key, among=""):
        found = self.states(key, among)
        return found[-1] if found else None

    def at(self, words):
        """Guest time of the last report holding words, or None."""
        found = [t for t, said in self.lines if words in said]
        return found[-1] if found else None


class Machine:
    def __init__(self, build, core=None, storage="ext4", userland="debian", old_kernel=False, virtio=False):
        """old_kernel: the whole userland under Linux 2.6.32's table of
        system calls (device/oldsyscalls.c as the kernel's init). virtio:
        the ext4 disk on virtio-blk instead of IDE; the guest's requests to
        it never time out, so a disk whose writes the emulator throttles
        to nothing hangs as a stuck flash controller does."""
        assert build in PRESETS and storage in STORAGES and userland in USERLANDS, \
            f"no build {build}, storage {storage} or userland {userland}"
        self.build, self.core, self.storage, self.userland = build, core or CORES[build], storage, userland
        self.old_kernel = old_kernel
        self.virtio = virtio
        self.kernel_args = ""  # more words for the kernel's command line
        assert not virtio or storage == "ext4", "virtio: the ext4 disk"
        self.openwrt = userland == "openwrt"
        assert not self.openwrt or (build == "musl" and storage == "jffs2"), "OpenWrt: the musl build over JFFS2"
        # Where the boot's links to the init scripts are.
        self.rc_dir = "/etc/rc.d" if self.openwrt else "/etc/init.d"
        self.dir = DEVICE_DIR / image(build, userland)
        self.disk = self.dir / f"{storage}.img"  # for JFFS2, the RAM that holds the flash
        self.steps = {}

    def fresh_disk(self):
        """Fresh, empty persistent storage and console history."""
        self.dir.mkdir(parents=True, exist_ok=True)
        for f in (self.disk, self.dir / f"{self.storage}.console.all.log"):
            f.unlink(missing_ok=True)
        if self.storage == "ext4":  # 16 MiB of ext4
            e2 = CACHE / "e2fsprogs"
            libs = f"{e2}/lib/x86_64-linux-gnu:{e2}/usr/lib/x86_64-linux-gnu"
            run(e2 / "sbin" / "mke2fs", "-q", "-F", "-t", "ext4", "-L", "plorn_etc", self.disk, "16M",
                env={**os.environ, "LD_LIBRARY_PATH": libs}, stdout=subprocess.DEVNULL)
        elif self.storage == "ubifs":  # 16 MiB of erased flash
            self.disk.write_bytes(b"\xff" * (16 << 20))
        else:  # the guest's 64 MiB of RAM: zeros, which rcS erases once
            with open(self.disk, "wb") as ram:
                ram.truncate(64 << 20)

    def step(self, name, script, when="start"):
        """A step of the next boot: /etc/init.d/NAME, run by rcS at boot
        (S10... before the application, S99... after the daemon), or with
        when="stop" by rcK at shutdown in reverse order."""
        if self.openwrt:  # procd's passes: S??* with boot, then K??* with shutdown, each in order
            if when == "stop":
                name = f"K{100 - int(name[1:3]):02d}{name[3:]}"
            when = {"start": "boot", "stop": "shutdown"}[when]
            self.steps[f"steps/{name}"] = STEP_HEADER.format(when=when) + script
            return
        self.steps[f"etc/init.d/{name}"] = STEP_HEADER.format(when=when) + script

    def file(self, path, content, mode=0o644):
        """A file laid over the image for the next boot."""
        self.steps[path] = (content, mode)

    def qemu(self, initrd):
        # The guest's reboots stay in the guest; still, like every run of
        # the daemon off the device, it runs only in the guarded sandbox.
        if os.environ.get("CHECK_MEM_SANDBOX") != "guarded":
            sys.exit("device: boots only inside script/sandbox")
        kernel = sorted((CACHE / "malta-kernel" / "boot").glob("vmlinuz-*"))[0]
        init = "/usr/bin/oldsyscalls" if self.old_kernel else "/preinit" if self.openwrt else "/sbin/init"
        append = f"console=ttyS0 rdinit={init} quiet plorn_etc={self.storage} {self.kernel_args}".rstrip()
        if self.storage == "jffs2":
            # 2 MiB at 32 MiB kept from the kernel for the flash; without
            # nokaslr the kernel may place itself there.
            storage = ["-object", f"memory-backend-file,id=ram,size=64M,mem-path={self.disk},share=on",
                       "-machine", "memory-backend=ram"]
            append += " memmap=2M$32M nokaslr"
        elif self.virtio:
            storage = ["-drive", f"file={self.disk},format=raw,if=none,id=plorn,cache=unsafe",
                       "-device", "virtio-blk-pci,drive=plorn"]
            append += " plorn_disk=vda"
        else:
            storage = ["-drive", f"file={self.disk},format=raw,if=ide,cache=unsafe"]
        return ["qemu-system-mipsel", "-M", "malta", "-cpu", self.core, "-m", "64", "-no-reboot", "-vga", "none",
                "-nic", "none", "-kernel", str(kernel), "-initrd", str(initrd), "-append", append, *storage,
                "-icount", "shift=auto,sleep=off", "-rtc", "clock=vm"]

    def initrd(self):
        """The image with this boot's steps laid over it; the steps are used up."""
        with tempfile.TemporaryDirectory() as overlay:
            for path, content in self.steps.items():
                target = Path(overlay) / path
                target.parent.mkdir(parents=True, exist_ok=True)
                content, mode = content if isinstance(content, tuple) else (content, 0o755)
                target.write_bytes(content if isinstance(content, bytes) else content.encode())
                target.chmod(mode)
            # One per storage, so that the storages of a build can run at once.
            cpio(overlay, self.dir / f"{self.storage}.overlay.cpio.gz")
        self.steps = {}
        initrd = self.dir / f"{self.storage}.initrd"
        initrd.write_bytes((self.dir / "base.cpio.gz").read_bytes()
                           + (self.dir / f"{self.storage}.overlay.cpio.gz").read_bytes())
        return initrd

    def boot(self, timeout=300, cut_on=None, cut_after=0.0, monitor_on=None):
        """Boots and returns once qemu has ended, or after timeout real
        seconds. With cut_on (a console pattern), the power is cut
        cut_after real seconds after the console first shows it. With
        monitor_on (pattern, command, reply), once the console shows the
        pattern the emulator's monitor is given the command (or, where it
        is a function, that is called), and then the console the reply,
        for the guest to go on."""
        if not self.disk.exists():
            self.fresh_disk()
        monitor = self.dir / f"{self.storage}.monitor"
        monitor.unlink(missing_ok=True)
        args = self.qemu(self.initrd()) + ["-display", "none", "-serial", "stdio", "-monitor",
                                           f"unix:{monitor},server=on,wait=off" if monitor_on else "none"]
        qemu = pexpect.spawn(args[0], args[1:], encoding="utf-8", codec_errors="replace", echo=False)
        qemu.logfile_read = console = io.StringIO()
        end = "ended"
        try:
            if monitor_on is not None and qemu.expect([pexpect.EOF, monitor_on[0]], timeout=timeout) == 1:
                if callable(monitor_on[1]):  # something of the host's own, the guest held meanwhile
                    monitor_on[1]()
                else:
                    self.tell_monitor(monitor, monitor_on[1])
                qemu.sendline(monitor_on[2])
            if cut_on is None:
                qemu.expect(pexpect.EOF, timeout=timeout)
            elif qemu.expect([pexpect.EOF, cut_on], timeout=timeout) == 1:
                if qemu.expect([pexpect.EOF, pexpect.TIMEOUT], timeout=cut_after) == 1:
                    end = "cut"
        except pexpect.TIMEOUT:
            end = "timeout"
        qemu.kill(signal.SIGKILL)
        qemu.close(force=True)
        text = console.getvalue().replace("\r", "")  # the serial line's and the pty's CRs
        with open(self.dir / f"{self.storage}.console.all.log", "a") as history:
            history.write(text)
        (self.dir / f"{self.storage}.console.log").write_text(text)
        return Boot(text, end)

    @staticmethod
    def tell_monitor(path, command):
        """One command to the emulator's human monitor, once it prompts;
        returns when it prompts again, the command done."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(str(path))
            for line in (None, command):
                if line is not None:
                    s.sendall(line.encode() + b"\n")
                said = b""
                while not said.endswith(b"(qemu) "):
                    said += s.recv(4096)

    def console(self):
        """Boots with a shell on the console, for a person at the terminal."""
        if not self.disk.exists():
            self.fresh_disk()
        if self.openwrt:  # its inittab is in the squashfs: the first stage adds the line
            self.file("inittab.console", "::askfirst:-/bin/sh\n")
        else:
            self.file("etc/inittab", (ROOT / "device/rootfs/etc/inittab").read_text() + "::askfirst:-/bin/sh\n")
        args = self.qemu(self.initrd()) + ["-nographic"]
        print(f"device: {self.build} on a {self.core}, {self.userland} userland; press Enter for a shell, Ctrl-A X ends qemu;"
              f" the disk stays in {self.dir}", flush=True)
        os.execvp(args[0], args)


if __name__ == "__main__":  # machine.py image BUILD... | console BUILD [STORAGE [USERLAND]]
    if sys.argv[1] == "image":
        build_images(sys.argv[2:])
    else:
        Machine(sys.argv[2], storage=sys.argv[3] if len(sys.argv) > 3 else "ext4",
                userland=sys.argv[4] if len(sys.argv) > 4 else "debian").console()
