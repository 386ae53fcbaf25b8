#include "driver/json_parser.h"

namespace Gxprofiler::Parser {

ChannelSettings JsonParser::Lookup(uint32_t channelId) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = settings_.find(channelId);
    return it != settings_.end() ? it->second : ChannelSettings{};
}

bool JsonParser::GetChannelSwitch(uint32_t channelId) {
    return Lookup(channelId).profSwitch;
}

bool JsonParser::GetChannelReporterSwitch(uint32_t channelId) {
    return Lookup(channelId).reporterSwitch;
}

uint32_t JsonParser::GetChannelBufferSize(uint32_t channelId) {
    uint32_t size = Lookup(channelId).channelBufferSize;
    if (size < kChannelBufferSizeMin || size > kChannelBufferSizeMax) {
        return 0;
    }
    return size;
}

uint32_t JsonParser::GetDriverBufferSize(uint32_t channelId) {
    return Lookup(channelId).driverBufferSize;
}

uint32_t JsonParser::GetChannelPeriod(uint32_t channelId) {
    return Lookup(channelId).period;
}

void JsonParser::SetChannelSettings(uint32_t channelId, const ChannelSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_[channelId] = settings;
}

void JsonParser::ClearChannelSettings() {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.clear();
}

}  // namespace Gxprofiler::Parser
