// Test helper: collects every log line written while it lives, with all
// levels enabled. One at a time per process.
#ifndef ORU_COMMON_TEST_LOG_CAPTURE_H
#define ORU_COMMON_TEST_LOG_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/dlog.h"

namespace analysis::orbx::common {

class TestLogCapture {
  public:
    explicit TestLogCapture(const char* level = "debug") {
        setenv("OSTREL_LOG_LEVEL", level, 1);
        DlogReloadSettings();
        DlogSetSink(&TestLogCapture::Sink, this);
    }
    ~TestLogCapture() {
        DlogSetSink(nullptr, nullptr);
        unsetenv("OSTREL_LOG_LEVEL");
        DlogReloadSettings();
    }
    TestLogCapture(const TestLogCapture&) = delete;
    TestLogCapture& operator=(const TestLogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    // Lines that contain text.
    std::vector<std::string> Matching(const std::string& text) const {
        std::vector<std::string> found;
        for (const std::string& line : Lines()) {
            if (line.find(text) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }

    size_t Count(const std::string& text) const { return Matching(text).size(); }

    // Waits until count lines contain text. False only if that does not
    // happen within a minute (a hang turned into a failure).
    bool WaitFor(const std::string& text, size_t count = 1) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(1),
                                 [&] { return CountLocked(text) >= count; });
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  private:
    size_t CountLocked(const std::string& text) const {
        size_t n = 0;
        for (const std::string& line : lines_) {
            n += (line.find(text) != std::string::npos) ? 1 : 0;
        }
        return n;
    }

    static void Sink(int level, int moduleId, const char* text, void* ctx) {
        (void)level;
        (void)moduleId;
        auto* self = static_cast<TestLogCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(text);
        self->changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace analysis::orbx::common

#endif  // ORU_COMMON_TEST_LOG_CAPTURE_H
