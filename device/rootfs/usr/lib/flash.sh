# The emulated device's flash, for rcS (/plorn_etc on JFFS2) and for the
# OpenWrt flavour's first stage (its overlay): one place for the layout
# that the kernel's command line (memmap=2M$32M) reserves.

# wait_for_device PATH: up to 5 s. A router's BusyBox sleeps whole seconds only.
wait_for_device() {
    i=0
    while [ ! -e "$1" ] && [ $i -lt 50 ]; do
        if sleep 0.1 2>/dev/null; then i=$((i + 1)); else sleep 1; i=$((i + 10)); fi
    done
}

# mount_flash DIR: JFFS2 on NOR-like flash, phram over the 2 MiB of RAM at
# 32 MiB that the kernel leaves alone, mounted at DIR (phram and jffs2
# loaded). RAM never written reads as zeros: it is erased once, as flash
# leaves the factory; a file, not a pipe, so that every block is written
# whole.
mount_flash() {
    echo state,0x2000000,0x200000,0x10000 >/sys/module/phram/parameters/phram
    wait_for_device /dev/mtd0
    if [ "$(head -c 4 /dev/mtd0 | hexdump -v -e '1/1 "%02x"')" = 00000000 ]; then
        tr '\0' '\377' </dev/zero | head -c 65536 >/tmp/erased
        i=0
        while [ $i -lt 32 ]; do dd if=/tmp/erased of=/dev/mtdblock0 bs=65536 seek=$i 2>/dev/null; i=$((i + 1)); done
        rm /tmp/erased
    fi
    mount -t jffs2 mtd0 "$1"
}
