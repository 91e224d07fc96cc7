# Debian packages of the set-up, sourced by script/bootstrap and script/test.
#
# Installed: tools that run on this machine. None of them, nor anything
# they pull in, may enable or start a service (checked before installing).
installed_packages=(cmake make g++ libgtest-dev googletest faketime g++-mipsel-linux-gnu clang
    libclang-rt-14-dev valgrind gnuplot-nox qemu-system-mips dpkg-dev python3-pytest python3-pexpect)
# From the base system, never installed here: util-linux and mount are
# essential, and procps enables a boot script.
base_commands=(unshare setpriv setsid mount chroot ps)

# Needed only as files: downloaded and extracted into build/cache/NAME,
# never installed. NAME=package...
file_packages=(
    "qemu-user=qemu-user-static"                     # runs device programs; installing it registers binfmt handlers
    "busybox=busybox"                                # a BusyBox userland for the host tests (DESKTOP on)
    "earlyoom=earlyoom"                              # benchmark peer; the package starts its service
    "gcc-source=gcc-12-source"                       # libgcc's sources for the static device build
    "mipsel-busybox=busybox-static:mipsel"           # the emulated device's userland
    "mipsel-earlyoom=earlyoom:mipsel"                # benchmark peer on the emulated device
    "malta-kernel=@linux-image-4kc-malta:mipsel"     # the emulated device's kernel (@: through its meta-package)
    "e2fsprogs=e2fsprogs libext2fs2 libcom-err2"     # mke2fs for the device's disk; the package enables e2scrub timers
    "squashfs-tools=squashfs-tools liblzo2-2 liblz4-1" # mksquashfs for the OpenWrt flavour's read-only root
)

# Source packages: fetched with apt-get source and unpacked into
# build/cache/NAME. NAME=source-package
source_packages=(
    "musl-source=musl"                               # the static device build's C library
    "busybox-source=busybox"                         # a router userland, built as routers build it
)
