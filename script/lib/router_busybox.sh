# The userland most little-endian MIPS routers ship: BusyBox from Debian's
# busybox source package, configured from defconfig with a router
# distribution's defaults where they matter to the daemon and its init
# script, and linked static against the soft-float MIPS32 musl of
# softfloat.sh, the way router firmware builds it. Its ps rejects -ef and
# its sleep takes whole seconds only.
# Installed as build/cache/router-busybox/busybox. Sourced by
# script/bootstrap after build_soft_float; rebuilt only when the source,
# the runtime or this file change.

# SYMBOL=y|n, applied over defconfig in this order and checked afterwards.
rb_symbols="STATIC=y DESKTOP=n PS=y FEATURE_PS_WIDE=y FEATURE_PS_LONG=n FEATURE_SHOW_THREADS=n
    FLOAT_DURATION=n GREP=y MV=y RM=y TOUCH=y SYNC=y REBOOT=y START_STOP_DAEMON=y LOGGER=y
    TC=n"
# TC=n: tc of BusyBox 1.35 does not compile against Linux 6.1's headers
# (the CBQ scheduler's definitions are gone); routers leave it out too.

# rb_cc DIR: a compiler driver that compiles against musl's headers (and
# the kernel's, for the applets that need them) and links static against
# musl and the soft-float libgcc, like musl's own musl-gcc.
rb_cc() {
    local dir=$1 sf=$cache_dir/mipsel-sf kernel=$1/kernel-include gcc_include h
    gcc_include=$(${sf_cross}gcc -print-file-name=include)
    # Only the kernel's own headers, not the glibc headers beside them.
    mkdir -p "$kernel"
    for h in linux asm asm-generic mtd; do ln -sfn "/usr/mipsel-linux-gnu/include/$h" "$kernel/$h"; done
    cat >"$dir/cc" <<EOF
#!/bin/sh
link=1
for a in "\$@"; do case \$a in -c | -E | -S | -M | -MM | -r) link= ;; esac; done
set -- $sf_flags -nostdinc -isystem $sf/include -isystem $gcc_include -idirafter $kernel "\$@"
[ -z "\$link" ] && exec ${sf_cross}gcc "\$@"
exec ${sf_cross}gcc -static -nostdlib -L$sf/lib $sf/lib/crt1.o $sf/lib/crti.o "\$@" \\
    -Wl,--start-group $sf/lib/libc.a $sf/lib/libgcc.a -Wl,--end-group $sf/lib/crtn.o
EOF
    chmod 0755 "$dir/cc"
}

rb_configure_and_make() {
    local src=$1 work=$2 s name
    cd "$src" || return 1
    make -s O="$work/obj" defconfig || return 1
    for s in $rb_symbols; do
        name=CONFIG_${s%=*}
        sed -i -e "/^$name=/d" -e "/^# $name is not set/d" "$work/obj/.config" || return 1
        if [ "${s#*=}" = y ]; then echo "$name=y"; else echo "# $name is not set"; fi >>"$work/obj/.config"
    done
    # New questions, once DESKTOP is off, take their defaults.
    { yes '' || true; } | make -s O="$work/obj" oldconfig >/dev/null || return 1
    for s in $rb_symbols; do
        name=CONFIG_${s%=*}
        if [ "${s#*=}" = y ]; then
            grep -qx "$name=y" "$work/obj/.config"
        else
            ! grep -q "^$name=" "$work/obj/.config"
        fi || { echo "router BusyBox: $name did not end up ${s#*=}"; return 1; }
    done
    make O="$work/obj" CROSS_COMPILE=$sf_cross CC="$work/cc" HOSTCC=gcc -j"$(nproc)" busybox
}

build_router_busybox() {
    local out=$cache_dir/router-busybox src=$cache_dir/busybox-source work=$cache_dir/router-busybox.build
    local stamp
    stamp="$(cat "$src/.fetched") $(cat "$cache_dir/mipsel-sf/.built") $(cksum <"${BASH_SOURCE[0]}")"
    [ "$(cat "$out/.built" 2>/dev/null)" = "$stamp" ] && return 0
    echo "bootstrap: building BusyBox for a router userland (defconfig, DESKTOP off, static musl) into $out"
    rm -rf "$out" "$work"
    mkdir -p "$work/obj" "$out"
    rb_cc "$work"
    (rb_configure_and_make "$src" "$work") >"$work/build.log" 2>&1 || {
        tail -n 30 "$work/build.log" >&2
        echo "bootstrap: the router BusyBox did not build (log: $work/build.log)" >&2
        return 1
    }
    ${sf_cross}strip -o "$out/busybox" "$work/obj/busybox"
    cp "$work/obj/.config" "$out/config"
    rm -rf "$work"
    echo "$stamp" >"$out/.built"
}
