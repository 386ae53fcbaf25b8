// Test helper: every log line written while it lives, at a minimum level; one at a time.
#ifndef ORU_TESTING_TEST_LOG_CAPTURE_H
#define ORU_TESTING_TEST_LOG_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "ostrel/dlog.h"

namespace analysis::orbx::common {

class TestLogCapture {
  public:
    struct Entry {
        int level;
        int moduleId;
        std::string text;  // as written, with the "[file:line] >>> (tid:N) " prefix
    };
    static constexpr int kAnyLevel = -1;

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

    std::vector<Entry> Entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

    // The daemon's own lines without prefix and line end, exactly as its code passed them.
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Entry& entry : Entries()) {
            if (entry.moduleId == kLogModuleId) {
                texts.push_back(Body(entry.text));
            }
        }
        return texts;
    }

    size_t Count(const std::string& text, int level = kAnyLevel) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(text, level);
    }
    bool Has(const std::string& text, int level = kAnyLevel) const {
        return Count(text, level) > 0;
    }

    // Waits until count lines contain text; false after a minute.
    bool WaitFor(const std::string& text, size_t count = 1) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(1),
                                 [&] { return CountLocked(text, kAnyLevel) >= count; });
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

  private:
    static std::string Body(std::string text) {
        size_t at = text.find(">>> (tid:");
        if (at != std::string::npos) {
            size_t close = text.find(") ", at);
            if (close != std::string::npos) {
                text = text.substr(close + 2);
            }
        }
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    }

    size_t CountLocked(const std::string& text, int level) const {
        size_t n = 0;
        for (const Entry& entry : entries_) {
            if ((level == kAnyLevel || entry.level == level) &&
                entry.text.find(text) != std::string::npos) {
                ++n;
            }
        }
        return n;
    }

    static void Sink(int level, int moduleId, const char* text, void* ctx) {
        auto* self = static_cast<TestLogCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->entries_.push_back(Entry{level, moduleId, text});
        self->changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Entry> entries_;
};

}  // namespace analysis::orbx::common

#endif  // ORU_TESTING_TEST_LOG_CAPTURE_H
