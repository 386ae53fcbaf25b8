#include "tools/oru_host/progress.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace analysis::orbx::hosttool {

uint64_t SystemClock::NowMs() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SystemClock::SleepMs(uint64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string SystemClock::WallTimeUtc() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string FormatSeconds(uint64_t ms) {
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        char frac[8];
        std::snprintf(frac, sizeof(frac), ".%03u", static_cast<unsigned>(ms % 1000));
        std::string f = frac;
        while (f.back() == '0') {
            f.pop_back();
        }
        text += f;
    }
    return text + " s";
}

std::string FormatBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    double v = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (v >= 1024.0 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
        v /= 1024.0;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.2f %s", v, kUnits[unit]);
    return buf;
}

std::string FormatProgress(const ProgressCounts& c) {
    uint64_t rate = c.elapsedMs == 0 ? 0 : c.bytes * 1000 / c.elapsedMs;
    char head[64];
    std::snprintf(head, sizeof(head), "%.1f s", static_cast<double>(c.elapsedMs) / 1000.0);
    return std::string(head) + "  chunks " + std::to_string(c.chunks) + "  " +
           FormatBytes(c.bytes) + "  files " + std::to_string(c.files) + "  " + FormatBytes(rate) +
           "/s";
}

}  // namespace analysis::orbx::hosttool
