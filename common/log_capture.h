// Test helper: collects every line the logging library writes while it
// lives, at every level (it turns debug logging on). One at a time per
// process. Lines may come from any thread.
#ifndef ORU_COMMON_LOG_CAPTURE_H
#define ORU_COMMON_LOG_CAPTURE_H

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/dlog.h"

namespace analysis::orbx::common {

class LogCapture {
  public:
    LogCapture() {
        setenv("OSTREL_LOG_LEVEL", "debug", 1);
        DlogReloadSettings();
        DlogSetSink(&LogCapture::Sink, this);
    }
    ~LogCapture() { DlogSetSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Number of lines containing text.
    size_t Count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& line : lines_) {
            n += line.text.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    bool Contains(const std::string& text) const { return Count(text) > 0; }
    // Level of the first line containing text, or -1.
    int LevelOf(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& line : lines_) {
            if (line.text.find(text) != std::string::npos) {
                return line.level;
            }
        }
        return -1;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  private:
    struct Line {
        int level;
        std::string text;
    };
    static void Sink(int level, int /*moduleId*/, const char* text, void* ctx) {
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back({level, text});
    }

    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

}  // namespace analysis::orbx::common

#endif  // ORU_COMMON_LOG_CAPTURE_H
