#include "jobs/prof_perf_job.h"

#include <algorithm>
#include <functional>
#include <tuple>
#include <utility>

namespace Analysis::Orbx::JobWrapper {

namespace {

std::string BaseNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool AllDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Sort key of a piece name: the part before the last point, then a numeric
// last part (by value) before any other last part (by text).
struct PieceKey {
    std::string prefix;
    bool textual = true;
    std::string number;  // without leading zeros, "0" for zero
    std::string suffix;
    std::string path;  // tie-break, so equal names in different folders still order

    explicit PieceKey(const std::string& p) : path(p) {
        const std::string name = BaseNameOf(p);
        const size_t point = name.rfind('.');
        prefix = name.substr(0, point);
        suffix = point == std::string::npos ? std::string() : name.substr(point + 1);
        if (AllDigits(suffix)) {
            textual = false;
            number = suffix.substr(std::min(suffix.find_first_not_of('0'), suffix.size() - 1));
        }
    }
    bool operator<(const PieceKey& o) const {
        return std::make_tuple(std::cref(prefix), textual, number.size(), std::cref(number),
                               std::cref(suffix), std::cref(path)) <
               std::make_tuple(std::cref(o.prefix), o.textual, o.number.size(), std::cref(o.number),
                               std::cref(o.suffix), std::cref(o.path));
    }
};

}  // namespace

int CtrlCpuSampleFrequency(int32_t intervalMs) {
    const int32_t interval = intervalMs > 0 ? intervalMs : kDefaultCtrlCpuIntervalMs;
    return std::max(1000 / interval, 1);
}

std::string CtrlCpuEventsText(const std::vector<std::string>& events) {
    std::string text = "{";
    for (size_t i = 0; i < events.size(); ++i) {
        if (i > 0) {
            text += ",";
        }
        text += "r" + (events[i].size() > 2 ? events[i].substr(2) : std::string());
    }
    return text + "}";
}

bool IsCtrlCpuPiece(const std::string& path) {
    const std::string name = BaseNameOf(path);
    return name.find(std::string(kCtrlCpuDataName) + ".") != std::string::npos &&
           std::count(name.begin(), name.end(), '.') == 3;
}

std::vector<std::string> SelectCtrlCpuPieces(const std::vector<std::string>& paths,
                                             bool includeLast) {
    std::vector<PieceKey> keys;
    for (const auto& path : paths) {
        if (IsCtrlCpuPiece(path)) {
            keys.emplace_back(path);
        }
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> pieces;
    pieces.reserve(keys.size());
    for (auto& key : keys) {
        pieces.push_back(std::move(key.path));
    }
    if (!includeLast && !pieces.empty()) {
        pieces.pop_back();
    }
    return pieces;
}

}  // namespace Analysis::Orbx::JobWrapper
