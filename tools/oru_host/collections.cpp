#include "tools/oru_host/collections.h"

#include <algorithm>
#include <functional>

namespace analysis::orbx::hosttool {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsPidFile(const std::string& rel) {
    if (rel.compare(0, 5, "data/") != 0) {
        return false;
    }
    size_t dash = rel.find('-', 5);
    return dash != std::string::npos && dash > 5 &&
           rel.find_first_not_of("0123456789", 5) == dash &&
           (EndsWith(rel, "-CpuUsage.data") || EndsWith(rel, "-Memory.data"));
}

const char* const kHeldElsewhere =
    "it runs once per card and the first device's job that registers it holds it: most "
    "likely a job on another device of the same card holds it";
const char* const kHeldBriefly = "most likely held by a job on another device of the same card";

}  // namespace

std::vector<CollectionAccount> AccountCollections(const ProfileOptions& o,
                                                  const std::map<std::string, FileStats>& files) {
    struct Kind {
        const char* name;
        bool asked;
        bool cardWide;
        std::function<bool(const std::string&)> owns;
        std::string otherwise;  // further causes of silence
        const char* cause;      // the likeliest cause, briefly
    };
    const Kind kinds[] = {
        {"sys", o.sys, true,
         [](const std::string& f) {
             return f == "data/SystemCpuUsage.data" || f == "data/Memory.data";
         },
         "", kHeldBriefly},
        {"pid", o.pid, true, IsPidFile, "", kHeldBriefly},
        {"llc", !o.llcEvents.empty(), false,
         [](const std::string& f) { return f == "data/llc.data"; },
         "the device may offer no cache channel, or on a chip without one the card-wide cache "
         "statistics may be held by a job on another device of the same card",
         "no cache channel, or held by a job on another device of the same card"},
        {"ctrl-cpu", !o.ctrlCpuEvents.empty(), true,
         [](const std::string& f) { return f == "data/ai_ctrl_cpu.data"; },
         "or the device's collection script did not run",
         "held by a job on another device of the same card, or the script did not run"},
    };
    std::vector<CollectionAccount> out;
    for (const Kind& k : kinds) {
        if (!k.asked) {
            continue;
        }
        CollectionAccount a;
        a.name = k.name;
        a.cardWide = k.cardWide;
        for (const auto& [name, stats] : files) {
            if (k.owns(name) && stats.bytes > 0) {
                a.files += 1;
                a.bytes += stats.bytes;
            }
        }
        if (a.bytes == 0) {
            a.cause = k.cause;
            a.missing = "asked for but sent nothing: ";
            if (k.cardWide) {
                a.missing += kHeldElsewhere;
                if (!k.otherwise.empty()) {
                    a.missing += ", " + k.otherwise;
                }
            } else {
                a.missing += k.otherwise;
            }
        }
        out.push_back(a);
    }
    return out;
}

std::string MissingSummary(const std::vector<CollectionAccount>& accounts) {
    // Names that share a cause are listed together before it.
    std::vector<std::pair<std::string, std::string>> groups;  // (names, cause)
    for (const CollectionAccount& a : accounts) {
        if (a.missing.empty()) {
            continue;
        }
        auto same = std::find_if(groups.begin(), groups.end(),
                                 [&a](const auto& g) { return g.second == a.cause; });
        if (same == groups.end()) {
            groups.emplace_back(a.name, a.cause);
        } else {
            same->first += ", " + a.name;
        }
    }
    std::string text;
    for (const auto& [names, cause] : groups) {
        text += (text.empty() ? "" : ", ") + names + " (" + cause + ")";
    }
    return text;
}

}  // namespace analysis::orbx::hosttool
