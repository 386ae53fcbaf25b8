// Bounds-checked memory and formatting functions.
#include "ostrel/bounds.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

bool Overlap(const void* a, const void* b, size_t n) {
    auto pa = reinterpret_cast<uintptr_t>(a);
    auto pb = reinterpret_cast<uintptr_t>(b);
    return n != 0 && pa < pb + n && pb < pa + n;
}

int FormatInto(char* dest, size_t destMax, size_t limit, const char* format, va_list args) {
    if (dest == nullptr || destMax == 0 || format == nullptr) {
        return -1;
    }
    int n = vsnprintf(dest, destMax, format, args);
    if (n < 0) {
        dest[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(n) > limit || static_cast<size_t>(n) >= destMax) {
        size_t keep = limit < destMax - 1 ? limit : destMax - 1;
        dest[keep] = '\0';
        return -1;
    }
    return n;
}

}  // namespace

extern "C" {

errno_t memcpy_s(void* dest, size_t destMax, const void* src, size_t count) {
    if (dest == nullptr || destMax == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        memset(dest, 0, destMax);
        return EINVAL_AND_RESET;
    }
    if (count > destMax) {
        memset(dest, 0, destMax);
        return ERANGE_AND_RESET;
    }
    if (Overlap(dest, src, count)) {
        memset(dest, 0, destMax);
        return EOVERLAP_AND_RESET;
    }
    if (count != 0) {
        memcpy(dest, src, count);
    }
    return EOK;
}

errno_t memset_s(void* dest, size_t destMax, int c, size_t count) {
    if (dest == nullptr || destMax == 0) {
        return EINVAL;
    }
    if (count > destMax) {
        memset(dest, c, destMax);
        return ERANGE_AND_RESET;
    }
    memset(dest, c, count);
    return EOK;
}

int snprintf_s(char* dest, size_t destMax, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatInto(dest, destMax, count, format, args);
    va_end(args);
    return n;
}

int sprintf_s(char* dest, size_t destMax, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatInto(dest, destMax, destMax, format, args);
    va_end(args);
    if (n < 0 && dest != nullptr && destMax != 0) {
        dest[0] = '\0';
    }
    return n;
}

}  // extern "C"
