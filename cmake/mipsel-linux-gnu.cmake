# Debian's cross compiler for the device: 32-bit MIPS, little endian,
# linked dynamically against the device's glibc (2.34 or later).
# Another vendor's toolchain works the same way: point CMAKE_TOOLCHAIN_FILE
# at a file like this one naming its compilers and sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_STRIP mipsel-linux-gnu-strip CACHE FILEPATH "")
set(CMAKE_READELF mipsel-linux-gnu-readelf CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Runs the target's tests on the build machine (qemu-user, extracted by
# script/bootstrap).
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../build/cache/qemu-user/usr/bin/qemu-mipsel-static
      -L /usr/mipsel-linux-gnu)
endif()
