#include "common/gxprof_error_manager.h"

namespace Analysis::Orbx::GxprofErrMgr {

const ErrorContext& GxprofErrorManager::GetErrorContext() const {
    static const ErrorContext kDefaultContext;
    return kDefaultContext;
}

void GxprofErrorManager::SetErrorContext(const ErrorContext& context) {
    (void)context;
}

}  // namespace Analysis::Orbx::GxprofErrMgr
