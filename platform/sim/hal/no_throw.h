// The driver's entry points return error numbers; no C++ exception (a failed
// allocation or thread creation) may cross them.
#ifndef OSTREL_SIM_HAL_NO_THROW_H
#define OSTREL_SIM_HAL_NO_THROW_H

#include <utility>

namespace ostrel::sim {

// Runs body and returns its result, or onError when it throws.
template <class R, class F>
R NoThrow(R onError, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        return onError;
    }
}

}  // namespace ostrel::sim

#endif  // OSTREL_SIM_HAL_NO_THROW_H
