#include "tools/oru_host/device_text.h"

#include <limits>

#include "tools/oru_host/proc_text.h"

namespace analysis::orbx::hosttool {
namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

// "<seconds>.<six digits>" as microseconds.
bool SecondsMicros(std::string_view text, uint64_t* us) {
    size_t dot = text.find('.');
    uint64_t s = 0;
    uint64_t frac = 0;
    if (dot == std::string_view::npos || text.size() - dot - 1 != 6 ||
        !ParseDecimal(text.substr(0, dot), std::numeric_limits<uint64_t>::max() / 1000000 - 1,
                      &s) ||
        !ParseDecimal(text.substr(dot + 1), 999999, &frac)) {
        return false;
    }
    *us = s * 1000000 + frac;
    return true;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "YYYY-MM-DD" and "HH:MM:SS.uuuuuu" as microseconds since 1970.
bool DateTime(std::string_view date, std::string_view time, uint64_t* us) {
    uint64_t y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, frac = 0;
    if (date.size() != 10 || date[4] != '-' || date[7] != '-' || time.size() != 15 ||
        time[2] != ':' || time[5] != ':' || time[8] != '.' ||
        !ParseDecimal(date.substr(0, 4), 9999, &y) || !ParseDecimal(date.substr(5, 2), 12, &mo) ||
        !ParseDecimal(date.substr(8, 2), 31, &d) || !ParseDecimal(time.substr(0, 2), 23, &h) ||
        !ParseDecimal(time.substr(3, 2), 59, &mi) || !ParseDecimal(time.substr(6, 2), 60, &s) ||
        !ParseDecimal(time.substr(9), 999999, &frac) || y < 1970 || mo == 0 || d == 0) {
        return false;
    }
    int64_t days =
        DaysFromCivil(static_cast<int64_t>(y), static_cast<unsigned>(mo), static_cast<unsigned>(d));
    *us = ((static_cast<uint64_t>(days) * 24 + h) * 60 + mi) * 60000000 + s * 1000000 + frac;
    return true;
}

bool KeyValue(std::string_view word, std::string_view key, std::string_view* value) {
    if (word.size() <= key.size() + 1 || word.substr(0, key.size()) != key ||
        word[key.size()] != '=') {
        return false;
    }
    *value = word.substr(key.size() + 1);
    return true;
}

// "12.34%" as 12.34.
bool Percent(std::string_view text, double* pct) {
    if (text.size() < 2 || text.back() != '%') {
        return false;
    }
    text.remove_suffix(1);
    size_t dot = text.find('.');
    uint64_t whole = 0;
    uint64_t frac = 0;
    std::string_view f = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (!ParseDecimal(text.substr(0, dot), 1000, &whole) ||
        (dot != std::string_view::npos &&
         (f.empty() || f.size() > 6 || !ParseDecimal(f, 999999, &frac)))) {
        return false;
    }
    double scale = 1;
    for (size_t i = 0; i < f.size(); ++i) {
        scale *= 10;
    }
    *pct = static_cast<double>(whole) + static_cast<double>(frac) / scale;
    return true;
}

std::string Quote(std::string_view text) {
    constexpr size_t kMax = 60;
    std::string out(text.substr(0, kMax));
    return "\"" + out + (text.size() > kMax ? "...\"" : "\"");
}

uint64_t Le(std::string_view bytes, size_t at, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) {
        v |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return v;
}

}  // namespace

bool ParseCacheStatLine(std::string_view line, CacheStatLine* out, std::string* reason) {
    std::vector<std::string_view> w = Words(line);
    CacheStatLine parsed;
    if (w.size() < 2 || !DateTime(w[0], w[1], &parsed.timeUs)) {
        *reason = "no \"YYYY-MM-DD HH:MM:SS.uuuuuu\" time stamp: " + Quote(line);
        return false;
    }
    if (w.size() == 2 || (w.size() - 2) % 4 != 0) {
        *reason = "expected \"<event>: hits=<n> misses=<n> hit_rate=<p>%\" groups: " + Quote(line);
        return false;
    }
    for (size_t i = 2; i < w.size(); i += 4) {
        CacheStat stat;
        std::string_view hits, misses, rate;
        if (w[i].size() < 2 || w[i].back() != ':' || !KeyValue(w[i + 1], "hits", &hits) ||
            !KeyValue(w[i + 2], "misses", &misses) || !KeyValue(w[i + 3], "hit_rate", &rate) ||
            !ParseDecimal(hits, std::numeric_limits<uint64_t>::max(), &stat.hits) ||
            !ParseDecimal(misses, std::numeric_limits<uint64_t>::max(), &stat.misses) ||
            !Percent(rate, &stat.hitRatePct)) {
            *reason = "bad cache statistics group at " + Quote(w[i]) + ": " + Quote(line);
            return false;
        }
        stat.event = std::string(w[i].substr(0, w[i].size() - 1));
        parsed.stats.push_back(stat);
    }
    *out = std::move(parsed);
    return true;
}

bool ParseCtrlCpuLine(std::string_view line, CtrlCpuLine* out, std::string* reason) {
    std::vector<std::string_view> w = Words(line);
    CtrlCpuLine parsed;
    uint64_t cpu = 0;
    if (w.size() != 4 || !SecondsMicros(w[0], &parsed.timeUs) || w[1].substr(0, 3) != "cpu" ||
        !ParseDecimal(w[1].substr(3), std::numeric_limits<uint32_t>::max(), &cpu) || w[2].empty() ||
        !ParseDecimal(w[3], std::numeric_limits<uint64_t>::max(), &parsed.count)) {
        *reason = "expected \"<seconds>.<microseconds> cpu<n> <event> <count>\": " + Quote(line);
        return false;
    }
    parsed.cpu = static_cast<uint32_t>(cpu);
    parsed.event = std::string(w[2]);
    *out = std::move(parsed);
    return true;
}

bool ParseCounterRecords(std::string_view bytes, std::vector<CounterRecord>* records) {
    if (bytes.empty() || bytes.size() % kCounterRecordBytes != 0) {
        return false;
    }
    std::vector<CounterRecord> out;
    out.reserve(bytes.size() / kCounterRecordBytes);
    for (size_t at = 0; at < bytes.size(); at += kCounterRecordBytes) {
        if (Le(bytes, at, 4) != kCounterRecordMagic) {
            return false;
        }
        CounterRecord r;
        r.device = static_cast<uint16_t>(Le(bytes, at + 4, 2));
        r.channel = static_cast<uint16_t>(Le(bytes, at + 6, 2));
        r.mode = static_cast<uint32_t>(Le(bytes, at + 8, 4));
        r.periodMs = static_cast<uint32_t>(Le(bytes, at + 12, 4));
        r.sequence = Le(bytes, at + 16, 8);
        r.timeNs = Le(bytes, at + 24, 8);
        r.hits = Le(bytes, at + 32, 8);
        r.misses = Le(bytes, at + 40, 8);
        out.push_back(r);
    }
    *records = std::move(out);
    return true;
}

}  // namespace analysis::orbx::hosttool
