"""The lifecycle under an old vendor kernel's table of system calls: the
whole userland (BusyBox init, the router's BusyBox, the daemon) runs under
device/oldsyscalls as the kernel's init, which refuses with ENOSYS every
system call that Linux 2.6.32 lacked. This models the table, not the old
kernel's behaviour: the calls that remain are 6.1's. The static musl build
falls back where a newer call is refused (statx, the 64-bit time calls);
the glibc build needs Linux 3.2 and is not run here."""
from test_lifecycle import test_lifecycle as lifecycle

BUILDS = ("musl",)
STORAGES = ("jffs2",)
USERLANDS = ("router",)


def test_old_kernel(machine, check):
    machine.old_kernel = True
    print("== under Linux 2.6.32's table of system calls (o32 calls above 4334 refused with ENOSYS)")
    # The first boot's steps, like every process, run under the filter:
    # statx (4.11) is refused.
    machine.step("S06filter", 'oldsyscalls probe; say "filter statx-refused=$?"\n')
    lifecycle(machine, check)  # its own checks; fails the scenario on any
    console = (machine.dir / f"{machine.storage}.console.all.log").read_text()
    boots = console.count("Linux version")
    filtered = console.count("oldsyscalls: o32 system calls above 4334 refused with ENOSYS")
    assert "filter statx-refused=0" in console, "the first boot did not run under the filter"
    assert boots >= 6 and filtered == boots, f"{filtered} of {boots} boots under the filter"
    print(f"   ok    every boot under the filter ({filtered} of {boots}); the first one's steps saw statx refused")
