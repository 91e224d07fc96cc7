/* Force-included in the musl build. libstdc++'s configuration headers test
 * the C library with __GLIBC_PREREQ, which musl does not define; each
 * feature they ask about holds for musl. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 1
#endif
