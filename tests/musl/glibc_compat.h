/* Force-included into the C++ of the musl test build only: GoogleTest
 * needs all of libstdc++, and Debian's libstdc++ headers were configured
 * for glibc. These are the few glibc names they expect; musl's own
 * functions (and its glibc-compatible ctype tables) serve behind them, and
 * glibc_compat.c fills in the rest.
 * The daemon and the request tool never see this header. */
#pragma once
#include <locale.h>
#include <pthread.h>
#include <time.h>

typedef locale_t __locale_t;

#ifdef __cplusplus
extern "C" {
#endif
/* Declared for the timed waits of <mutex> and <condition_variable>; the
 * tests never use them. */
int pthread_cond_clockwait(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
int pthread_mutex_clocklock(pthread_mutex_t*, clockid_t, const struct timespec*);
#ifdef __cplusplus
}
#endif

/* glibc's ctype classes, little-endian: the bits of musl's
 * __ctype_b_loc() table, which follows glibc's layout. */
#define CHECK_MEM_ISBIT(bit) ((bit) < 8 ? ((1 << (bit)) << 8) : ((1 << (bit)) >> 8))
enum {
    _ISupper = CHECK_MEM_ISBIT(0),
    _ISlower = CHECK_MEM_ISBIT(1),
    _ISalpha = CHECK_MEM_ISBIT(2),
    _ISdigit = CHECK_MEM_ISBIT(3),
    _ISxdigit = CHECK_MEM_ISBIT(4),
    _ISspace = CHECK_MEM_ISBIT(5),
    _ISprint = CHECK_MEM_ISBIT(6),
    _ISgraph = CHECK_MEM_ISBIT(7),
    _ISblank = CHECK_MEM_ISBIT(8),
    _IScntrl = CHECK_MEM_ISBIT(9),
    _ISpunct = CHECK_MEM_ISBIT(10),
    _ISalnum = CHECK_MEM_ISBIT(11)
};
