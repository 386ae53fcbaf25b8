// Test helper: collects every log line written while it lives (all levels).
#ifndef ORU_DAEMON_TESTING_LOG_CAPTURE_H
#define ORU_DAEMON_TESTING_LOG_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/dlog.h"

namespace oru_testing {

class LogCapture {
  public:
    LogCapture() {
        setenv("OSTREL_LOG_LEVEL", "debug", 1);
        DlogReloadSettings();
        DlogSetSink(&LogCapture::Sink, this);
    }
    ~LogCapture() {
        DlogSetSink(nullptr, nullptr);
        unsetenv("OSTREL_LOG_LEVEL");
        DlogReloadSettings();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Number of lines containing text.
    int Count(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        return CountLocked(text);
    }
    bool Contains(const std::string& text) { return Count(text) > 0; }
    // Waits until count lines contain text; false only when that does not
    // happen within a minute (a hang turned into a failure).
    bool WaitFor(const std::string& text, int count = 1) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::minutes(1),
                            [&] { return CountLocked(text) >= count; });
    }
    // Level of the first line containing text, -1 when there is none.
    int LevelOf(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto& line : lines_) {
            if (line.text.find(text) != std::string::npos) {
                return line.level;
            }
        }
        return -1;
    }
    // Index of the first line containing text after line `from`, -1 when none.
    int IndexOf(const std::string& text, int from = -1) {
        std::lock_guard<std::mutex> lock(mu_);
        for (size_t i = static_cast<size_t>(from + 1); i < lines_.size(); ++i) {
            if (lines_[i].text.find(text) != std::string::npos) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto& line : lines_) {
            out.push_back(line.text);
        }
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.clear();
    }

  private:
    struct Line {
        int level;
        std::string text;
    };
    int CountLocked(const std::string& text) {
        int n = 0;
        for (const auto& line : lines_) {
            if (line.text.find(text) != std::string::npos) {
                ++n;
            }
        }
        return n;
    }
    static void Sink(int level, int, const char* text, void* ctx) {
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->lines_.push_back({level, text});
        self->cv_.notify_all();
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Line> lines_;
};

}  // namespace oru_testing

#endif  // ORU_DAEMON_TESTING_LOG_CAPTURE_H
