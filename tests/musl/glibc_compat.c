/* Linked into the musl test programs only: the glibc symbols that Debian's
 * libstdc++.a and libgcc_eh.a refer to and musl lacks. */
#include <errno.h>
#include <locale.h>
#include <stdint.h>
#include <string.h>
#include <sys/random.h>

/* Never single-threaded: libstdc++ keeps its atomic reference counts. */
char __libc_single_threaded = 0;

/* No lookup table of loaded objects: the unwinder finds no frame info, so
 * a thrown exception terminates. The tests throw none. */
struct dl_find_object;
int _dl_find_object(void* pc, struct dl_find_object* result) {
    (void)pc;
    (void)result;
    return -1;
}

/* For std::random_device. */
uint32_t arc4random(void) {
    uint32_t value = 0;
    if (getrandom(&value, sizeof(value), 0) != (long)sizeof(value)) value = 0;
    return value;
}

/* libstdc++'s ctype<char> reads the classification and case tables out of
 * the locale object, at glibc's offsets. The C locale handed to it is laid
 * out for both: musl's category pointers first (all null: the C locale),
 * glibc's table pointers where glibc keeps them, filled from musl's
 * glibc-compatible tables. Only the C locale exists in the tests. */
struct both_locales {
    const void* musl_categories[6];
    const void* glibc_categories_rest[7];
    const unsigned short* ctype_b;
    const int32_t* ctype_tolower;
    const int32_t* ctype_toupper;
    const char* names[13];
};
static struct both_locales c_locale;

/* musl's, for binaries built against glibc; not in its headers. */
const unsigned short** __ctype_b_loc(void);
const int32_t** __ctype_tolower_loc(void);
const int32_t** __ctype_toupper_loc(void);

locale_t __newlocale(int mask, const char* name, locale_t base) {
    (void)mask;
    (void)base;
    if (name == NULL || (strcmp(name, "C") != 0 && strcmp(name, "POSIX") != 0 && name[0] != '\0')) {
        errno = ENOENT;
        return 0;
    }
    if (c_locale.ctype_b == NULL) {
        c_locale.ctype_b = *__ctype_b_loc();
        c_locale.ctype_tolower = *__ctype_tolower_loc();
        c_locale.ctype_toupper = *__ctype_toupper_loc();
    }
    return (locale_t)&c_locale;
}

locale_t __duplocale(locale_t loc) { return loc; }

void __freelocale(locale_t loc) { (void)loc; }

/* What GCC's crtbegin defines, which the musl build does not link: the
 * handle that registers static destructors with __cxa_atexit. */
void* __dso_handle = &__dso_handle;
