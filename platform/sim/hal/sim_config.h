// Settings of the simulated card, read from OSTREL_SIM_* environment
// variables on first use and again on ostrel_sim_reset().
#ifndef OSTREL_SIM_HAL_SIM_CONFIG_H
#define OSTREL_SIM_HAL_SIM_CONFIG_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostrel::sim {

constexpr uint32_t kMaxDevices = 64;
constexpr uint32_t kDefaultMaxSegment = 524288;

struct ChannelSetting {
    uint32_t id = 0;
    uint32_t type = 0;
    std::string name;
};

enum class ChannelMode { kCounter, kStream, kManual };

struct Config {
    std::string dir = "/tmp/ostrel-sim";
    uint32_t devices = 1;
    std::vector<uint32_t> phyIds;  // physical id of each logical id
    uint32_t maxSegment = kDefaultMaxSegment;
    int64_t chipVersion = 0x0100;
    int64_t hostFreq = 1800000;
    int64_t deviceFreq = 1000000;
    uint32_t apiVersion = 0x070000;
    uint32_t runSide = 0;
    std::vector<ChannelSetting> channels;
    ChannelMode channelMode = ChannelMode::kCounter;
    uint64_t streamBytes = 0;  // 0: unbounded
    uint64_t ringBytes = 1 << 20;
    std::string faults;
};

// Parses the settings from an environment lookup (name -> value or null).
// Invalid values keep their default and are reported on standard error.
Config ParseConfig(const char* (*lookup)(const char* name));

// The current settings; the first call reads the environment.
std::shared_ptr<const Config> GetConfig();

// Re-reads the environment (and applies OSTREL_SIM_FAULTS).
void ReloadConfig();

}  // namespace ostrel::sim

#endif  // OSTREL_SIM_HAL_SIM_CONFIG_H
