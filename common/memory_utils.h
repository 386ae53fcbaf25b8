// Zero-filling allocation routines of the daemon core. Blocks from IdeXmalloc
// and IdeXrmalloc are released with IdeXfree.
#ifndef ORU_COMMON_MEMORY_UTILS_H
#define ORU_COMMON_MEMORY_UTILS_H

#include <cstddef>

// A zero-filled block of size bytes; nullptr for size 0 or when memory runs out.
void* IdeXmalloc(size_t size);

// A new zero-filled block of newLen bytes holding the first min(oldLen, newLen)
// bytes of old (IdeXmalloc(newLen) when old is nullptr); nullptr for newLen 0
// or on failure. old is never released: the caller still owns it.
void* IdeXrmalloc(const void* old, size_t oldLen, size_t newLen);

// Releases p; nullptr is ignored.
void IdeXfree(void* p);

#endif  // ORU_COMMON_MEMORY_UTILS_H
