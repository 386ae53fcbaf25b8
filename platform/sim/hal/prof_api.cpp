// Profiling-channel calls of the card driver, and the stream-mode sequence.
#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "prof_channels.h"

using ostrel::sim::ChannelHub;

namespace {

// splitmix64 finaliser: a well-mixed word for every (device, channel, word index).
uint64_t StreamWord(uint32_t devId, uint32_t channelId, uint64_t index) {
    uint64_t x =
        index + ((static_cast<uint64_t>(devId) << 40) ^ (static_cast<uint64_t>(channelId) << 20)) *
                    0x9E3779B97F4A7C15ull;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

}  // namespace

extern "C" {

int prof_drv_get_channels(uint32_t deviceId, struct ProfChannelList* channels) {
    return ChannelHub::Instance().GetChannels(deviceId, channels);
}

int prof_drv_start(uint32_t deviceId, uint32_t channelId, struct ProfStartPara* para) {
    return ChannelHub::Instance().Start(deviceId, channelId, para);
}

int prof_stop(uint32_t deviceId, uint32_t channelId) {
    return ChannelHub::Instance().Stop(deviceId, channelId);
}

int prof_channel_read(uint32_t deviceId, uint32_t channelId, char* buf, uint32_t bufSize) {
    return ChannelHub::Instance().Read(deviceId, channelId, buf, bufSize);
}

int prof_channel_poll(struct ProfPollInfo* out, int num, int timeoutSec) {
    return ChannelHub::Instance().Poll(out, num, timeoutSec);
}

uint8_t ostrel_sim_stream_byte(uint32_t devId, uint32_t channelId, uint64_t offset) {
    return static_cast<uint8_t>(StreamWord(devId, channelId, offset / 8) >> (8 * (offset % 8)));
}

void ostrel_sim_stream_fill(uint32_t devId, uint32_t channelId, uint64_t offset, uint8_t* buf,
                            size_t len) {
    if (buf == nullptr) {
        return;
    }
    size_t i = 0;
    while (i < len) {
        uint64_t word = StreamWord(devId, channelId, (offset + i) / 8);
        for (uint64_t b = (offset + i) % 8; b < 8 && i < len; ++b, ++i) {
            buf[i] = static_cast<uint8_t>(word >> (8 * b));
        }
    }
}

int64_t ostrel_sim_stream_verify(uint32_t devId, uint32_t channelId, uint64_t offset,
                                 const uint8_t* buf, size_t len) {
    if (buf == nullptr) {
        return len == 0 ? -1 : 0;
    }
    size_t i = 0;
    while (i < len) {
        uint64_t word = StreamWord(devId, channelId, (offset + i) / 8);
        for (uint64_t b = (offset + i) % 8; b < 8 && i < len; ++b, ++i) {
            if (buf[i] != static_cast<uint8_t>(word >> (8 * b))) {
                return static_cast<int64_t>(i);
            }
        }
    }
    return -1;
}

int64_t ostrel_sim_channel_inject(uint32_t devId, uint32_t channelId, const void* data,
                                  size_t len) {
    return ChannelHub::Instance().Inject(devId, channelId, data, len);
}

int ostrel_sim_channel_stats(uint32_t devId, uint32_t channelId,
                             struct OstrelSimChannelStats* out) {
    return ChannelHub::Instance().Stats(devId, channelId, out);
}

}  // extern "C"
