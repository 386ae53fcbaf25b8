// Logging of the daemon: module 31, every line prefixed with the source file's
// name, the line number and the kernel thread id:
//   "[file.cpp:123] >>> (tid:4567) text"
// Errors and events are always written; warnings, info and debug lines only
// when the logging library enables their level for the module.
#ifndef ORU_COMMON_LOG_H
#define ORU_COMMON_LOG_H

#include <sys/syscall.h>
#include <unistd.h>

#include "ostrel/dlog.h"

namespace analysis::orbx::common {

constexpr int kLogModuleId = 31;

inline long CurrentTid() {
    thread_local long tid = static_cast<long>(syscall(SYS_gettid));
    return tid;
}

}  // namespace analysis::orbx::common

#define ORU_LOG_PREFIX "[%s:%d] >>> (tid:%ld) "

#define ORU_LOG_WRITE(fn, fmt, ...)                                                 \
    fn(analysis::orbx::common::kLogModuleId, ORU_LOG_PREFIX fmt "\n", __FILE_NAME__, \
       __LINE__, analysis::orbx::common::CurrentTid(), ##__VA_ARGS__)

#define ORU_LOG_IF(level, fn, fmt, ...)                                          \
    do {                                                                         \
        if (CheckLogLevel(analysis::orbx::common::kLogModuleId, (level)) == 1) { \
            ORU_LOG_WRITE(fn, fmt, ##__VA_ARGS__);                               \
        }                                                                        \
    } while (0)

#define ORU_LOGE(fmt, ...) ORU_LOG_WRITE(DlogErrorInner, fmt, ##__VA_ARGS__)
#define ORU_LOGEVENT(fmt, ...) ORU_LOG_WRITE(DlogEventInner, fmt, ##__VA_ARGS__)
#define ORU_LOGW(fmt, ...) ORU_LOG_IF(DLOG_WARN, DlogWarnInner, fmt, ##__VA_ARGS__)
#define ORU_LOGI(fmt, ...) ORU_LOG_IF(DLOG_INFO, DlogInfoInner, fmt, ##__VA_ARGS__)
#define ORU_LOGD(fmt, ...) ORU_LOG_IF(DLOG_DEBUG, DlogDebugInner, fmt, ##__VA_ARGS__)

#endif  // ORU_COMMON_LOG_H
