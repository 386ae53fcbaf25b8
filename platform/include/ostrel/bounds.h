/* Bounds-checked memory and formatting functions. Each takes the destination's size. */
#ifndef OSTREL_BOUNDS_H
#define OSTREL_BOUNDS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int errno_t;

#define EOK 0
#define ERANGE_AND_RESET 162   /* destination too small; destination zeroed */
#define EOVERLAP_AND_RESET 182 /* source and destination overlap; destination zeroed */
#define EINVAL_AND_RESET 150   /* null source; destination zeroed */
#ifndef EINVAL
#define EINVAL 22
#endif
#ifndef ERANGE
#define ERANGE 34
#endif

/* EINVAL for a null destination or destMax 0; EINVAL_AND_RESET for a null source;
 * ERANGE_AND_RESET when count > destMax; EOVERLAP_AND_RESET for overlapping ranges. */
errno_t memcpy_s(void* dest, size_t destMax, const void* src, size_t count);
/* EINVAL for a null destination or destMax 0; ERANGE_AND_RESET when count > destMax
 * (destMax bytes are still set). */
errno_t memset_s(void* dest, size_t destMax, int c, size_t count);
/* Writes at most count characters and always terminates; -1 on error or truncation. */
int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
/* -1 (and an empty destination) when the text does not fit. */
int sprintf_s(char* dest, size_t destMax, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_BOUNDS_H */
