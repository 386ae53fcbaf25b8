#include "sim_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sim_faults.h"

namespace ostrel::sim {
namespace {

void Complain(const char* name, const char* value) {
    fprintf(stderr, "ostrel-sim: ignoring %s=%s\n", name, value);
}

bool ParseU64(const char* text, uint64_t* out) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

bool ParseI64(const char* text, int64_t* out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

std::vector<std::string> SplitText(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// "0:4,1:5": physical id of each listed logical id; the others keep phys = logical.
bool ParsePhyIds(const std::string& text, uint32_t devices, std::vector<uint32_t>* out) {
    std::vector<uint32_t> ids(devices);
    for (uint32_t i = 0; i < devices; ++i) {
        ids[i] = i;
    }
    for (const std::string& item : SplitText(text, ',')) {
        std::vector<std::string> parts = SplitText(item, ':');
        uint64_t logical = 0;
        uint64_t phys = 0;
        if (parts.size() != 2 || !ParseU64(parts[0].c_str(), &logical) ||
            !ParseU64(parts[1].c_str(), &phys) || logical >= devices || phys > 0xFFFFFFFFu) {
            return false;
        }
        ids[logical] = static_cast<uint32_t>(phys);
    }
    for (uint32_t i = 0; i < devices; ++i) {
        for (uint32_t j = i + 1; j < devices; ++j) {
            if (ids[i] == ids[j]) {
                return false;  // two devices with one physical id
            }
        }
    }
    *out = ids;
    return true;
}

// "8:llc,2:ddr:1": id, name and optional type of each channel; "" = none.
bool ParseChannels(const std::string& text, std::vector<ChannelSetting>* out) {
    std::vector<ChannelSetting> channels;
    if (!text.empty()) {
        for (const std::string& item : SplitText(text, ',')) {
            std::vector<std::string> parts = SplitText(item, ':');
            ChannelSetting c;
            uint64_t id = 0;
            uint64_t type = 1;
            if (parts.size() < 2 || parts.size() > 3 || !ParseU64(parts[0].c_str(), &id) ||
                id > 0xFFFFFFFFu || parts[1].size() > 31 ||
                (parts.size() == 3 && !ParseU64(parts[2].c_str(), &type))) {
                return false;
            }
            c.id = static_cast<uint32_t>(id);
            c.name = parts[1];
            c.type = static_cast<uint32_t>(type);
            channels.push_back(c);
        }
    }
    if (channels.size() > 160) {
        return false;
    }
    *out = channels;
    return true;
}

std::vector<ChannelSetting> DefaultChannels() {
    return {{8, 1, "llc"}, {2, 1, "ddr"}, {3, 1, "hbm"}, {10, 1, "pcie"}};
}

std::mutex g_mu;
std::shared_ptr<const Config> g_config;  // guarded by g_mu

}  // namespace

Config ParseConfig(const char* (*lookup)(const char* name)) {
    Config c;
    c.channels = DefaultChannels();
    const char* v = nullptr;
    uint64_t u = 0;
    int64_t s = 0;
    if ((v = lookup("OSTREL_SIM_DIR")) != nullptr && *v != '\0') {
        c.dir = v;
        while (c.dir.size() > 1 && c.dir.back() == '/') {
            c.dir.pop_back();
        }
    }
    if ((v = lookup("OSTREL_SIM_DEVICES")) != nullptr) {
        if (ParseU64(v, &u) && u <= kMaxDevices) {
            c.devices = static_cast<uint32_t>(u);
        } else {
            Complain("OSTREL_SIM_DEVICES", v);
        }
    }
    c.phyIds.clear();
    for (uint32_t i = 0; i < c.devices; ++i) {
        c.phyIds.push_back(i);
    }
    if ((v = lookup("OSTREL_SIM_PHY_IDS")) != nullptr && *v != '\0' &&
        !ParsePhyIds(v, c.devices, &c.phyIds)) {
        Complain("OSTREL_SIM_PHY_IDS", v);
    }
    if ((v = lookup("OSTREL_SIM_MAX_SEGMENT")) != nullptr) {
        if (ParseU64(v, &u) && u >= 16 && u <= (64u << 20)) {
            c.maxSegment = static_cast<uint32_t>(u);
        } else {
            Complain("OSTREL_SIM_MAX_SEGMENT", v);
        }
    }
    struct {
        const char* name;
        int64_t* field;
    } wide[] = {{"OSTREL_SIM_CHIP_VERSION", &c.chipVersion},
                {"OSTREL_SIM_HOST_FREQ", &c.hostFreq},
                {"OSTREL_SIM_DEVICE_FREQ", &c.deviceFreq}};
    for (auto& w : wide) {
        if ((v = lookup(w.name)) != nullptr) {
            if (ParseI64(v, &s)) {
                *w.field = s;
            } else {
                Complain(w.name, v);
            }
        }
    }
    if ((v = lookup("OSTREL_SIM_API_VERSION")) != nullptr) {
        if (ParseU64(v, &u) && u <= 0xFFFFFFFFu) {
            c.apiVersion = static_cast<uint32_t>(u);
        } else {
            Complain("OSTREL_SIM_API_VERSION", v);
        }
    }
    if ((v = lookup("OSTREL_SIM_RUN_SIDE")) != nullptr) {
        if (ParseU64(v, &u) && u <= 0xFFFFFFFFu) {
            c.runSide = static_cast<uint32_t>(u);
        } else {
            Complain("OSTREL_SIM_RUN_SIDE", v);
        }
    }
    if ((v = lookup("OSTREL_SIM_CHANNELS")) != nullptr && !ParseChannels(v, &c.channels)) {
        Complain("OSTREL_SIM_CHANNELS", v);
    }
    if ((v = lookup("OSTREL_SIM_CHANNEL_MODE")) != nullptr) {
        std::string mode = v;
        if (mode == "counter") {
            c.channelMode = ChannelMode::kCounter;
        } else if (mode == "stream") {
            c.channelMode = ChannelMode::kStream;
        } else if (mode == "manual") {
            c.channelMode = ChannelMode::kManual;
        } else {
            Complain("OSTREL_SIM_CHANNEL_MODE", v);
        }
    }
    if ((v = lookup("OSTREL_SIM_STREAM_BYTES")) != nullptr) {
        if (ParseU64(v, &u)) {
            c.streamBytes = u;
        } else {
            Complain("OSTREL_SIM_STREAM_BYTES", v);
        }
    }
    if ((v = lookup("OSTREL_SIM_RING_BYTES")) != nullptr) {
        if (ParseU64(v, &u) && u >= 64 && u <= (1ull << 30)) {
            c.ringBytes = u;
        } else {
            Complain("OSTREL_SIM_RING_BYTES", v);
        }
    }
    if ((v = lookup("OSTREL_SIM_FAULTS")) != nullptr) {
        c.faults = v;
    }
    return c;
}

namespace {

const char* EnvLookup(const char* name) {
    return getenv(name);
}

std::shared_ptr<const Config> LoadLocked() {
    auto config = std::make_shared<const Config>(ParseConfig(EnvLookup));
    g_config = config;
    Faults::Instance().Load(*config);
    return config;
}

}  // namespace

std::shared_ptr<const Config> GetConfig() {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_config != nullptr) {
        return g_config;
    }
    return LoadLocked();
}

void ReloadConfig() {
    std::lock_guard<std::mutex> lock(g_mu);
    LoadLocked();
}

}  // namespace ostrel::sim
