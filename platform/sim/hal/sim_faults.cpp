#include "sim_faults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_config.h"

namespace ostrel::sim {
namespace {

const char* const kNames[OSTREL_SIM_FAULT_POINT_COUNT] = {
    "client_create",   "server_create",    "server_destroy",   "accept",       "connect",
    "session_close",   "capacity",         "alloc_msg",        "send",         "recv",
    "session_attr",    "dev_num",          "local_ids",        "dev_ids",      "phy_id",
    "index_by_phy",    "device_info",      "platform_info",    "api_version",  "get_channels",
    "prof_start",      "prof_stop",        "channel_read",     "channel_poll", "appmon_init",
    "appmon_register", "appmon_heartbeat", "appmon_deregister"};

bool ValidPoint(int point) {
    return point >= 0 && point < OSTREL_SIM_FAULT_POINT_COUNT;
}

bool ParseInt(const std::string& text, long long* out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

}  // namespace

Faults& Faults::Instance() {
    static Faults* faults = new Faults();  // never destroyed: used until the process ends
    return *faults;
}

const char* Faults::Name(int point) {
    return ValidPoint(point) ? kNames[point] : nullptr;
}

bool Faults::ReportsValue(int point) {
    switch (point) {
        case OSTREL_SIM_FAULT_CAPACITY:
        case OSTREL_SIM_FAULT_DEV_NUM:
        case OSTREL_SIM_FAULT_DEVICE_INFO:
        case OSTREL_SIM_FAULT_PLATFORM_INFO:
        case OSTREL_SIM_FAULT_API_VERSION:
        case OSTREL_SIM_FAULT_GET_CHANNELS:
            return true;
        default:
            return false;
    }
}

Injection Faults::Check(int point) {
    GetConfig();  // the first call applies OSTREL_SIM_FAULTS
    std::lock_guard<std::mutex> lock(mu_);
    if (!ValidPoint(point)) {
        return Injection();
    }
    Slot& slot = slots_[point];
    slot.calls++;
    if (slot.remaining == 0) {
        return Injection();
    }
    if (slot.skip > 0) {
        slot.skip--;
        return Injection();
    }
    if (slot.remaining > 0) {
        slot.remaining--;
    }
    return slot.injection;
}

bool Faults::DeviceNotReady(uint32_t devId) {
    GetConfig();
    std::lock_guard<std::mutex> lock(mu_);
    if (devId >= notReady_.size() || notReady_[devId] == 0) {
        return false;
    }
    if (notReady_[devId] > 0) {
        notReady_[devId]--;
    }
    return true;
}

int Faults::SetCode(int point, int code, int times, int skip) {
    GetConfig();
    std::lock_guard<std::mutex> lock(mu_);
    if (!ValidPoint(point)) {
        return -1;
    }
    Injection injection;
    injection.fail = true;
    injection.code = code;
    slots_[point].injection = injection;
    slots_[point].remaining = times;
    slots_[point].skip = skip > 0 ? skip : 0;
    return 0;
}

int Faults::SetValue(int point, int64_t value, int times) {
    GetConfig();
    std::lock_guard<std::mutex> lock(mu_);
    if (!ValidPoint(point) || !ReportsValue(point)) {
        return -1;
    }
    Injection injection;
    injection.override = true;
    injection.value = value;
    slots_[point].injection = injection;
    slots_[point].remaining = times;
    slots_[point].skip = 0;
    return 0;
}

int Faults::SetDeviceNotReady(uint32_t devId, int times) {
    auto config = GetConfig();
    std::lock_guard<std::mutex> lock(mu_);
    if (devId >= config->devices) {
        return -1;
    }
    if (notReady_.size() <= devId) {
        notReady_.resize(devId + 1, 0);
    }
    notReady_[devId] = times;
    return 0;
}

void Faults::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    for (Slot& slot : slots_) {
        slot.remaining = 0;
        slot.skip = 0;
        slot.injection = Injection();
    }
    notReady_.clear();
}

uint64_t Faults::Calls(int point) {
    GetConfig();
    std::lock_guard<std::mutex> lock(mu_);
    return ValidPoint(point) ? slots_[point].calls : 0;
}

// One item of OSTREL_SIM_FAULTS: "name:code[:times]" makes the call fail with
// code; "name=value[:times]" makes it report value. times defaults to 1; -1 = always.
bool Faults::ApplyItemLocked(const std::string& item) {
    size_t sep = item.find_first_of(":=");
    if (sep == std::string::npos) {
        return false;
    }
    std::string name = item.substr(0, sep);
    bool isValue = item[sep] == '=';
    std::string rest = item.substr(sep + 1);
    std::string timesText = "1";
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        timesText = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
    }
    long long number = 0;
    long long times = 0;
    if (!ParseInt(rest, &number) || !ParseInt(timesText, &times)) {
        return false;
    }
    for (int p = 0; p < OSTREL_SIM_FAULT_POINT_COUNT; ++p) {
        if (name != kNames[p]) {
            continue;
        }
        if (isValue && !ReportsValue(p)) {
            return false;
        }
        Injection injection;
        injection.fail = !isValue;
        injection.override = isValue;
        injection.code = static_cast<int>(number);
        injection.value = number;
        slots_[p].injection = injection;
        slots_[p].remaining = static_cast<int>(times);
        return true;
    }
    return false;
}

void Faults::Load(const Config& config) {
    std::lock_guard<std::mutex> lock(mu_);
    for (Slot& slot : slots_) {
        slot = Slot();
    }
    notReady_.clear();
    size_t start = 0;
    const std::string& faultList = config.faults;
    while (start < faultList.size()) {
        size_t end = faultList.find(',', start);
        if (end == std::string::npos) {
            end = faultList.size();
        }
        std::string item = faultList.substr(start, end - start);
        if (!item.empty() && !ApplyItemLocked(item)) {
            fprintf(stderr, "ostrel-sim: ignoring fault \"%s\" of OSTREL_SIM_FAULTS\n",
                    item.c_str());
        }
        start = end + 1;
    }
}

}  // namespace ostrel::sim
