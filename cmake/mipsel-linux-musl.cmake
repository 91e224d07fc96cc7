# The device build that runs on any 32-bit MIPS little-endian Linux, whatever
# its C library and core: MIPS32 release 1, soft-float, so that it needs
# neither an FPU nor the kernel's FPU emulator, nor any release-2
# instruction. Debian's g++-mipsel-linux-gnu compiles, with musl's headers,
# and links fully static against musl's libc.a and libgcc's helpers, both
# built for this baseline by script/bootstrap into build/cache/mipsel-sf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_STRIP mipsel-linux-gnu-strip CACHE FILEPATH "")
set(CMAKE_READELF mipsel-linux-gnu-readelf CACHE FILEPATH "")
set(CMAKE_OBJDUMP mipsel-linux-gnu-objdump CACHE FILEPATH "")

set(CHECK_MEM_MUSL_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build/cache/mipsel-sf"
    CACHE PATH "musl and libgcc for MIPS32 soft-float: include/ and lib/")
set(CHECK_MEM_LIBC musl CACHE STRING "C library of this build" FORCE)
set(musl_inc "${CHECK_MEM_MUSL_ROOT}/include")
set(musl_lib "${CHECK_MEM_MUSL_ROOT}/lib")
if(NOT EXISTS "${musl_lib}/libc.a" OR NOT EXISTS "${musl_lib}/libgcc.a" OR NOT EXISTS "${musl_inc}/stdio.h")
  message(FATAL_ERROR "musl and libgcc for MIPS32 soft-float are missing under ${CHECK_MEM_MUSL_ROOT}: run script/bootstrap")
endif()
set(check_mem_isa "-march=mips32 -msoft-float")

# The compiler's own C++ and GCC header directories, in its order, without
# the glibc ones that follow them.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -x c++ -v -
                INPUT_FILE /dev/null OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} is missing: run script/bootstrap")
endif()
string(REGEX REPLACE ".*#include <...> search starts here:\n(.*)\nEnd of search list.*" "\\1" search "${search}")
string(REPLACE "\n" ";" search "${search}")
set(musl_includes "")
foreach(dir IN LISTS search)
  string(STRIP "${dir}" dir)
  get_filename_component(dir "${dir}" REALPATH)
  if(dir MATCHES "/c\\+\\+/" OR dir MATCHES "/gcc-cross/.*/include$")
    string(APPEND musl_includes " -isystem ${dir}")
  endif()
endforeach()
# libstdc++'s headers were configured for glibc and test its version with
# __GLIBC_PREREQ; every feature they ask about (pthread_self usable without
# libpthread, all pthreads in libc, no obsolete isinf) holds for musl.
set(musl_flags "${check_mem_isa} -nostdinc${musl_includes} -isystem ${musl_inc} -include ${CMAKE_CURRENT_LIST_DIR}/musl/glibc_prereq.h")
set(CMAKE_C_FLAGS_INIT "${musl_flags}")
set(CMAKE_CXX_FLAGS_INIT "${musl_flags}")

# A static link from musl's start files, libc.a and the soft-float libgcc:
# nothing of the toolchain's own (hard-float, release 2) runtime. musl runs
# the init arrays itself; GCC's crtbegin/crtend only add frame registration
# for unwinding, which the programs do not use.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(gcc_dir "${libgcc}" DIRECTORY)
set(musl_link_head "${check_mem_isa} -static -nostdlib ${musl_lib}/crt1.o ${musl_lib}/crti.o")
set(musl_link_tail "-Wl,--start-group ${musl_lib}/libc.a ${musl_lib}/libgcc.a -Wl,--end-group ${musl_lib}/crtn.o")
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE
      "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> ${musl_link_head} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${musl_link_tail}")
endforeach()
# libstdc++ is linked only where a target asks for it (the tests): Debian's,
# hard-float, with its unwinder. The test programs stay on a core with an
# FPU; the programs they test need none.
set(CHECK_MEM_LIBSTDCXX "${gcc_dir}/libstdc++.a;${gcc_dir}/libgcc_eh.a" CACHE STRING "" FORCE)

set(CMAKE_FIND_ROOT_PATH "${CHECK_MEM_MUSL_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Runs the target's tests on the build machine (qemu-user, extracted by
# script/bootstrap); a static binary needs no library path.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../build/cache/qemu-user/usr/bin/qemu-mipsel-static)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CHECK_MEM_MUSL_ROOT)
