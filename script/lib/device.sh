# The emulated device: Debian's MIPS Malta kernel under qemu-system-mipsel,
# BusyBox init, the project's own install tree, /plorn_etc on a persistent
# ext4 disk. Sourced by script/device, the device tests, the demo and the
# bench; everything lands in build/device/BUILD (BUILD: glibc or musl).
#
# A boot lays a scenario's files over the image (its steps go to
# /etc/init.d/S??*, run by rcS in order with the project's own scripts) and
# ends when the guest restarts or powers off (qemu -no-reboot ends with
# it), or when the host cuts the power (qemu killed). Only the console
# comes back; guest time runs on instruction counts and skips idle time, so
# 30-second periods pass in a fraction of a second.

device_dir=${CHECK_MEM_DEVICE_DIR:-$PWD/build/device} # one per concurrent run
device_cache=$PWD/build/cache
device_modules="lib/crc16 fs/mbcache fs/jbd2/jbd2 crypto/crc32c_generic fs/ext4/ext4 drivers/ata/ata_piix"

device_preset() {
    case $1 in
    glibc) echo target ;;
    musl) echo target-musl ;;
    *) echo "device: no build $1 (glibc or musl)" >&2; return 1 ;;
    esac
}

# device_overlay: a fresh, empty $overlay for the next boot's files, removed
# when the script ends.
device_overlay() {
    [ -n "${overlay:-}" ] || { overlay=$(mktemp -d); trap 'rm -rf "$overlay"' EXIT; }
    rm -rf "$overlay"
    mkdir -p "$overlay"
}

# device_builds BUILD...: the presets the images are made from, built.
device_builds() {
    local b
    for b in musl "$@"; do
        cmake --preset "$(device_preset "$b")" >/dev/null
        cmake --build --preset "$(device_preset "$b")" -j"$(nproc)" >/dev/null
    done
}

# device_image BUILD: build/device/BUILD/base.cpio.gz, the initramfs.
device_image() {
    local build=$1 out=$device_dir/$1 stage m
    stage=$out/root
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,lib/modules,proc,sys,dev,tmp,root,plorn,plorn_etc}
    cp -a device/rootfs/. "$stage/"
    cp "$device_cache/mipsel-busybox/bin/busybox" "$stage/bin/busybox"
    ln -s busybox "$stage/bin/sh"
    ln -s ../bin/busybox "$stage/sbin/init"
    for m in $device_modules; do
        cp "$device_cache"/malta-kernel/lib/modules/*/kernel/$m.ko "$stage/lib/modules/"
    done
    # As a firmware integrator puts it in: the install tree, the init
    # script linked after the application's.
    DESTDIR=$stage cmake --install "build/$(device_preset "$build")" --prefix /usr --strip >/dev/null
    ln -s quillamont "$stage/etc/init.d/S90quillamont"
    ln -s check_mem "$stage/etc/init.d/S95check_mem"
    mipsel-linux-gnu-strip -o "$stage/plorn/quillamont" build/target-musl/device/quillamont
    mipsel-linux-gnu-strip -o "$stage/usr/bin/hog" build/target-musl/device/hog
    if [ "$build" = glibc ]; then
        mipsel-linux-gnu-strip --strip-unneeded -o "$stage/lib/ld.so.1" /usr/mipsel-linux-gnu/lib/ld.so.1
        mipsel-linux-gnu-strip --strip-unneeded -o "$stage/lib/libc.so.6" /usr/mipsel-linux-gnu/lib/libc.so.6
    fi
    device_cpio "$stage" "$out/base.cpio.gz"
}

# device_cpio DIR FILE: DIR as a gzipped newc archive, owned by root.
device_cpio() {
    (cd "$1" && find . | LC_ALL=C sort | "$device_cache/busybox/bin/busybox" cpio -o -H newc 2>/dev/null) |
        gzip -9n >"$2"
}

# device_disk BUILD: a fresh, empty persistent disk (16 MiB of ext4), and
# a fresh console history (console.all.log).
device_disk() {
    local e2=$device_cache/e2fsprogs
    rm -f "$device_dir/$1/disk.img" "$device_dir/$1/console.all.log"
    LD_LIBRARY_PATH=$e2/lib/x86_64-linux-gnu:$e2/usr/lib/x86_64-linux-gnu \
        "$e2/sbin/mke2fs" -q -F -t ext4 -L plorn_etc "$device_dir/$1/disk.img" 16M >/dev/null
}

# device_cpu BUILD: the core the device of that build has. The static
# build is for the common router cores without an FPU (24Kc); the dynamic
# one follows Debian's hard-float ABI, on Malta's default core (24Kf).
device_cpu() {
    case $1 in
    musl) echo 24Kc ;;
    *) echo 24Kf ;;
    esac
}

device_qemu() { # BUILD INITRD: the qemu command line, one word a line
    # The guest's reboots stay in the guest; still, like every run of the
    # daemon off the device, it runs only in the guarded sandbox.
    [ "${CHECK_MEM_SANDBOX:-}" = guarded ] || { echo "device: boots only inside script/sandbox" >&2; return 70; }
    printf '%s\n' qemu-system-mipsel -M malta -cpu "$(device_cpu "$1")" -m 64 -no-reboot -vga none -nic none \
        -kernel "$(ls "$device_cache"/malta-kernel/boot/vmlinuz-* | head -n1)" -initrd "$2" \
        -append "console=ttyS0 rdinit=/sbin/init quiet" \
        -drive "file=$device_dir/$1/disk.img,format=raw,if=ide,cache=unsafe" \
        -icount shift=auto,sleep=off -rtc clock=vm
}

# device_boot BUILD OVERLAY [TIMEOUT_S [CUT_PATTERN CUT_AFTER_S]]
# Boots BUILD with the files of OVERLAY laid over its image. Returns once
# qemu has ended (or after TIMEOUT_S real seconds, default 300: a boot takes
# a few), and sets:
#   device_console  the console of this boot
#   device_end      restart, poweroff, cut (power cut by the host), timeout
#   device_end_at   guest time of the restart or power-down, seconds
# With CUT_PATTERN, the power is cut CUT_AFTER_S real seconds after the
# console first shows it.
device_boot() {
    local build=$1 overlay=$2 timeout=${3:-300} cut_pattern=${4:-} cut_after=${5:-0}
    local out=$device_dir/$1 qemu_pid start cut_at= now
    device_console=$out/console.log
    mapfile -t qemu < <(device_qemu "$build" "$out/initrd")
    [ ${#qemu[@]} -gt 0 ] || return 70
    device_cpio "$overlay" "$out/overlay.cpio.gz"
    cat "$out/base.cpio.gz" "$out/overlay.cpio.gz" >"$out/initrd"
    "${qemu[@]}" -display none -monitor none -serial stdio </dev/null >"$device_console" 2>&1 &
    qemu_pid=$!
    start=$SECONDS
    device_end=timeout
    while kill -0 "$qemu_pid" 2>/dev/null; do
        now=$(date +%s.%N)
        if [ -n "$cut_pattern" ] && [ -z "$cut_at" ] && grep -qE "$cut_pattern" "$device_console"; then
            cut_at=$(awk -v n="$now" -v d="$cut_after" 'BEGIN { printf "%.3f", n + d }')
        fi
        if [ -n "$cut_at" ] && awk -v n="$now" -v c="$cut_at" 'BEGIN { exit !(n >= c) }'; then
            kill -KILL "$qemu_pid"
            device_end=cut
            break
        fi
        if [ $((SECONDS - start)) -ge "$timeout" ]; then
            kill -KILL "$qemu_pid"
            break
        fi
        sleep 0.05
    done
    wait "$qemu_pid" 2>/dev/null || true
    sed -i 's/\r$//' "$device_console" # the serial line ends lines with CR LF
    device_end_at=
    if [ "$device_end" = timeout ]; then
        local line
        line=$(grep -aE 'reboot: (Restarting system|Power down)' "$device_console" | tail -n1) || true
        case $line in
        *Restarting*) device_end=restart ;;
        *Power*) device_end=poweroff ;;
        esac
        device_end_at=$(sed -n 's/^\[ *\([0-9.]*\)\].*/\1/p' <<<"$line")
    fi
    cat "$device_console" >>"$out/console.all.log"
}

# device_said KEY: the value of the last "@@ TIME KEY=VALUE" of this boot.
device_said() {
    { grep -aoE "^@@ [0-9.]+ .*\<$1=[^ ]*" "$device_console" || true; } | tail -n1 | sed "s/.*\<$1=//"
}

# device_said_at WORD: guest time of the last "@@" line holding WORD.
device_said_at() {
    { grep -aE "^@@ [0-9.]+ .*$1" "$device_console" || true; } | tail -n1 | awk '{ print $2 }'
}

# device_text HEX: what a state file held (the guest's state() sends it in
# hex), newlines dropped: the number a mark holds; "none" stays "none".
device_text() {
    if [ "$1" = none ]; then echo none; else printf '%b' "$(sed 's/../\\x&/g' <<<"$1")" | tr -d '\n'; fi
}

# device_is_decimal HEX: a state file that holds a whole decimal number and
# one newline (HEX as state() sends it).
device_is_decimal() { [[ $1 =~ ^(3[0-9])+0a$ ]]; }

# device_check WHAT COMMAND...: one check of a scenario, reported; a failed
# one is counted in device_failures.
device_failures=0
device_check() {
    local what=$1
    shift
    if "$@"; then
        echo "   ok    $what"
    else
        echo "   FAIL  $what" >&2
        device_failures=$((device_failures + 1))
    fi
}

# device_step OVERLAY NAME [stop] < SCRIPT: a step of the next boot, run as
# /etc/init.d/NAME with the guest helpers loaded: by rcS at boot (S10...
# before the application, S99... after the daemon), or with "stop" by rcK
# at shutdown, in reverse order (S01... after the daemon has stopped).
device_step() {
    mkdir -p "$1/etc/init.d"
    { printf '#!/bin/sh\n[ "$1" = %s ] || exit 0\n. /usr/lib/scenario.sh\n' "${3:-start}"; cat; } >"$1/etc/init.d/$2"
    chmod 0755 "$1/etc/init.d/$2"
}

# Real-number comparisons for guest times.
le() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && b != "" && a + 0 <= b + 0) }'; }
lt() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && b != "" && a + 0 < b + 0) }'; }
