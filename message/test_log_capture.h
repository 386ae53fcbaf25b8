// Test helper: collects the daemon's log lines while it lives.
#ifndef ORU_MESSAGE_TEST_LOG_CAPTURE_H
#define ORU_MESSAGE_TEST_LOG_CAPTURE_H

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "ostrel/dlog.h"

namespace analysis::orbx::testutil {

class LogCapture {
  public:
    struct Line {
        int level;
        std::string text;  // without the "[file:line] >>> (tid:N) " prefix and newline
    };

    // withDebug: enables every level for the whole process.
    explicit LogCapture(bool withDebug = false) {
        if (withDebug) {
            setenv("OSTREL_LOG_LEVEL", "debug", 1);
            DlogReloadSettings();
        }
        DlogSetSink(&LogCapture::Sink, this);
    }
    ~LogCapture() { DlogSetSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> Lines() const {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_;
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Line& line : Lines()) {
            texts.push_back(line.text);
        }
        return texts;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.clear();
    }

  private:
    static void Sink(int level, int moduleId, const char* text, void* ctx) {
        if (moduleId != common::kLogModuleId) {
            return;
        }
        std::string body(text);
        const char* marker = ">>> (tid:";
        size_t at = body.find(marker);
        if (at != std::string::npos) {
            size_t close = body.find(") ", at);
            body = (close == std::string::npos) ? body : body.substr(close + 2);
        }
        if (!body.empty() && body.back() == '\n') {
            body.pop_back();
        }
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->lines_.push_back(Line{level, std::move(body)});
    }

    mutable std::mutex mu_;
    std::vector<Line> lines_;
};

}  // namespace analysis::orbx::testutil

#endif  // ORU_MESSAGE_TEST_LOG_CAPTURE_H
