#include "common/memory_utils.h"

#include <cstdlib>

#include "common/log.h"
#include "ostrel/bounds.h"

void* IdeXmalloc(size_t size) {
    if (size == 0) {
        return nullptr;
    }
    // calloc clears only what is not known to be zero already: fresh pages of
    // the large blocks that carry file chunks are not written twice.
    void* p = calloc(1, size);
    if (p == nullptr) {
        ORU_LOGE("ran out of memory while trying to allocate %lu bytes",
                 static_cast<unsigned long>(size));
        return nullptr;
    }
    return p;
}

void* IdeXrmalloc(const void* old, size_t oldLen, size_t newLen) {
    if (newLen == 0) {
        return nullptr;
    }
    void* p = IdeXmalloc(newLen);
    if (p == nullptr || old == nullptr) {
        return p;
    }
    size_t keep = oldLen < newLen ? oldLen : newLen;
    if (keep > 0 && memcpy_s(p, newLen, old, keep) != EOK) {
        IdeXfree(p);
        return nullptr;
    }
    return p;
}

void IdeXfree(void* p) {
    if (p != nullptr) {
        free(p);
    }
}
