# The runtime of the static device build, made for the oldest and plainest
# 32-bit MIPS LE core: MIPS32 release 1, no FPU. Debian's mipsel toolchain
# and its musl and libgcc target MIPS32r2 with an FPU; on a 24Kc whose
# kernel has no FPU emulator their printf dies with SIGILL, and on a 4KEc
# any r2 instruction does. So both come from Debian's sources, built with
# the same flags as the programs:
#   musl          from the musl source package;
#   libgcc.a      the compiler's helpers (soft-float arithmetic, 64-bit
#                 division and their kin) from gcc-12-source's GCC tarball.
# Installed into build/cache/mipsel-sf (include/, lib/). Sourced by
# script/bootstrap after the sources are fetched; rebuilt only when the
# sources or the flags change.

sf_flags="-march=mips32 -msoft-float -Os"
sf_cross=mipsel-linux-gnu-

# What libgcc holds for a soft-float 32-bit target: the soft-fp routines
# for single and double precision with 32- and 64-bit integers, and the
# integer routines of libgcc2.c that need no target headers.
sf_softfp_modes="sf df"
sf_softfp_ints="si di"
sf_libgcc2="_muldi3 _negdi2 _lshrdi3 _ashldi3 _ashrdi3 _cmpdi2 _ucmpdi2
    _absvsi2 _absvdi2 _addvsi3 _addvdi3 _subvsi3 _subvdi3 _mulvsi3 _mulvdi3 _negvsi2 _negvdi2
    _ffssi2 _ffsdi2 _clz _clzsi2 _clzdi2 _ctzsi2 _ctzdi2 _popcount_tab _popcountsi2 _popcountdi2
    _paritysi2 _paritydi2 _powisf2 _powidf2 _mulsc3 _muldc3 _divsc3 _divdc3
    _bswapsi2 _bswapdi2 _clrsbsi2 _clrsbdi2
    _divdi3 _moddi3 _divmoddi4 _udivdi3 _umoddi3 _udivmoddi4"

# sf_libgcc DIR ARCHIVE: the helpers from GCC's sources unpacked in DIR.
sf_libgcc() {
    local src=$1 obj=$1/objects stub=$1/objects/stub f m i sources=()
    mkdir -p "$stub"
    # libgcc2.c asks the configured compiler's headers for one fact only:
    # the smallest word, 4 bytes on every MIPS. The rest comes from the
    # compiler itself (-fbuilding-libgcc).
    : >"$stub/tconfig.h"
    : >"$stub/coretypes.h"
    : >"$stub/libgcc_tm.h"
    echo '#define MIN_UNITS_PER_WORD 4' >"$stub/tm.h"
    local cflags=($sf_flags -fbuilding-libgcc -DIN_LIBGCC2 -Dinhibit_libc -fno-stack-protector
        -fno-asynchronous-unwind-tables -fvisibility=hidden -DHIDE_EXPORTS -DHAVE_GAS_HIDDEN
        -I "$stub" -I "$src/libgcc/soft-fp" -I "$src/libgcc/config/mips" -I "$src/libgcc"
        -I "$src/include" -I "$src/gcc")
    for m in $sf_softfp_modes; do
        for f in add sub mul div; do sources+=("$f${m}3"); done
        for f in neg eq ge le unord; do sources+=("$f${m}2"); done
        for i in $sf_softfp_ints; do sources+=("fix$m$i" "fixuns$m$i" "float$i$m" "floatun$i$m"); done
    done
    sources+=(extendsfdf2 truncdfsf2)
    for f in "${sources[@]}"; do
        ${sf_cross}gcc "${cflags[@]}" -c "$src/libgcc/soft-fp/$f.c" -o "$obj/$f.o" || return 1
    done
    for f in $sf_libgcc2; do
        ${sf_cross}gcc "${cflags[@]}" -DL$f -c "$src/libgcc/libgcc2.c" -o "$obj/$f.o" || return 1
    done
    rm -f "$2"
    ${sf_cross}ar rcs "$2" "$obj"/*.o
}

build_soft_float() {
    local out=$cache_dir/mipsel-sf work=$cache_dir/mipsel-sf.build stamp
    local tarball
    tarball=$(ls "$cache_dir"/gcc-source/usr/src/gcc-*/gcc-*.tar.xz)
    stamp="$(cat "$cache_dir/musl-source/.fetched") $(basename "$tarball") $(cksum <"${BASH_SOURCE[0]}")"
    [ "$(cat "$out/.built" 2>/dev/null)" = "$stamp" ] && return 0
    echo "bootstrap: building musl and libgcc for MIPS32 soft-float ($sf_flags) into $out"
    rm -rf "$out" "$work"
    mkdir -p "$work/musl" "$out"

    (cd "$work/musl" &&
        "$cache_dir/musl-source/configure" --target=mipsel-linux-musl --prefix=/ --disable-shared \
            CROSS_COMPILE=$sf_cross CC=${sf_cross}gcc CFLAGS="$sf_flags" &&
        grep -qx 'SUBARCH = el-sf' config.mak &&
        make -j"$(nproc)" && make install DESTDIR="$out") >"$work/musl.log" 2>&1 || {
        tail -n 30 "$work/musl.log" >&2
        echo "bootstrap: musl did not build (log: $work/musl.log)" >&2
        return 1
    }

    tar -xJf "$tarball" -C "$work" --strip-components=1 --wildcards --no-wildcards-match-slash \
        '*/libgcc/soft-fp/*.[ch]' '*/libgcc/config/mips/sfp-machine.h' '*/libgcc/libgcc2.[ch]' \
        '*/include/*.h' '*/gcc/tsystem.h'
    sf_libgcc "$work" "$out/lib/libgcc.a" >"$work/libgcc.log" 2>&1 || {
        tail -n 30 "$work/libgcc.log" >&2
        echo "bootstrap: libgcc did not build (log: $work/libgcc.log)" >&2
        return 1
    }
    rm -rf "$work/libgcc" "$work/include" "$work/gcc" "$work/objects" "$work/musl/obj"
    echo "$stamp" >"$out/.built"
}
