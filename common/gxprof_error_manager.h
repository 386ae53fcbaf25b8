// Process-wide error context. Every thread of the profiling service receives
// a copy of its starter's record when it starts (see Thread::Start) and
// installs it at the top of its body. The daemon keeps only the all-zero
// default record: installing another one has no effect.
#ifndef ORU_COMMON_GXPROF_ERROR_MANAGER_H
#define ORU_COMMON_GXPROF_ERROR_MANAGER_H

#include <cstdint>
#include <string>

#include "common/singleton.h"

namespace Analysis::Orbx::GxprofErrMgr {

// An opaque record: nothing in the daemon interprets its fields.
struct ErrorContext {
    uint64_t id = 0;
    std::string module;
    std::string code;
    std::string message;
};

class GxprofErrorManager : public analysis::orbx::common::singleton::Singleton<GxprofErrorManager> {
  public:
    GxprofErrorManager() = default;
    ~GxprofErrorManager() override = default;

    // The record a starting thread hands to its new thread: the process-wide
    // default (all zero and empty). Safe for concurrent use.
    const ErrorContext& GetErrorContext() const;

    // Installs the record for the calling thread; the daemon keeps none, so
    // this does nothing. Safe for concurrent use.
    void SetErrorContext(const ErrorContext& context);
};

}  // namespace Analysis::Orbx::GxprofErrMgr

#endif  // ORU_COMMON_GXPROF_ERROR_MANAGER_H
