// Test support: collects every log line the process writes, at every level,
// while it lives. One at a time.
#ifndef ORU_DRIVER_LOG_CAPTURE_H
#define ORU_DRIVER_LOG_CAPTURE_H

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/dlog.h"

namespace analysis::orbx::driver::testing {

class LogCapture {
  public:
    LogCapture() {
        setenv("OSTREL_LOG_LEVEL", "debug", 1);
        setenv("OSTREL_LOG_FILE", "/dev/null", 1);
        DlogReloadSettings();
        DlogSetSink(&LogCapture::Sink, this);
    }
    ~LogCapture() { DlogSetSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines (at the given level, or any level for -1) containing text.
    int Count(const std::string& text, int level = -1) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& line : lines_) {
            if ((level < 0 || line.first == level) && line.second.find(text) != std::string::npos) {
                ++n;
            }
        }
        return n;
    }
    bool Has(const std::string& text, int level = -1) const { return Count(text, level) > 0; }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  private:
    static void Sink(int level, int, const char* text, void* ctx) {
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(level, text);
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace analysis::orbx::driver::testing

#endif  // ORU_DRIVER_LOG_CAPTURE_H
