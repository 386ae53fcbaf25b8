// Per-channel settings of the driver profiling channels (switches, buffer
// sizes, period). The device loads no source of channel settings, so the store
// starts empty and every channel gets the defaults: switched on, reported, and
// 0 (the caller's own default) for every size and the period.
#ifndef ORU_DRIVER_JSON_PARSER_H
#define ORU_DRIVER_JSON_PARSER_H

#include <cstdint>
#include <map>
#include <mutex>

#include "common/singleton.h"

namespace Gxprofiler::Parser {

// Settings of one channel; a default-constructed record is what an
// unconfigured channel answers.
struct ChannelSettings {
    bool profSwitch = true;          // "prof_switch"
    bool reporterSwitch = true;      // "reporter_switch"
    uint32_t channelBufferSize = 0;  // "channel_buffer_size", bytes; 0: caller's default
    uint32_t driverBufferSize = 0;   // "driver_buffer_size", bytes; 0: caller's default
    uint32_t period = 0;             // "peroid", milliseconds; 0: caller's default
};

// Reader buffers accept only 1 MiB to 4 MiB; other sizes answer 0.
constexpr uint32_t kChannelBufferSizeMin = 0x100000;
constexpr uint32_t kChannelBufferSizeMax = 0x400000;

// Safe for concurrent use.
class JsonParser : public analysis::orbx::common::singleton::Singleton<JsonParser> {
  public:
    JsonParser() = default;
    ~JsonParser() override = default;

    bool GetChannelSwitch(uint32_t channelId);
    bool GetChannelReporterSwitch(uint32_t channelId);
    uint32_t GetChannelBufferSize(uint32_t channelId);
    uint32_t GetDriverBufferSize(uint32_t channelId);
    uint32_t GetChannelPeriod(uint32_t channelId);

    // Configures one channel / forgets every configured channel.
    void SetChannelSettings(uint32_t channelId, const ChannelSettings& settings);
    void ClearChannelSettings();

  private:
    ChannelSettings Lookup(uint32_t channelId);

    std::mutex mutex_;
    std::map<uint32_t, ChannelSettings> settings_;  // guarded by mutex_
};

}  // namespace Gxprofiler::Parser

#endif  // ORU_DRIVER_JSON_PARSER_H
