// Object creation that never throws: a standard exception from the
// allocation or the constructor is logged as "make shared failed, message: %s"
// and gives an empty pointer.
#ifndef ORU_COMMON_MAKE_SHARED_H
#define ORU_COMMON_MAKE_SHARED_H

#include <exception>
#include <memory>
#include <utility>

#include "common/log.h"

namespace analysis::orbx::common {

template <class T, class... Args>
std::shared_ptr<T> MakeShared(Args&&... args) {
    try {
        return std::make_shared<T>(std::forward<Args>(args)...);
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return nullptr;
    }
}

}  // namespace analysis::orbx::common

#endif  // ORU_COMMON_MAKE_SHARED_H
