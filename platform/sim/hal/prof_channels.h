// Profiling channels of the simulated card. Each (device, channel) of the
// configured list has a bounded byte ring. Once started, a channel produces:
//   counter mode: one OstrelSimCounterRecord every sample period (a producer
//                 thread per channel); records that do not fit are dropped;
//   stream mode:  the verifiable byte sequence, generated as fast as the
//                 reader takes it (optionally up to OSTREL_SIM_STREAM_BYTES);
//   manual mode:  nothing; tests put bytes in with ostrel_sim_channel_inject.
// All state is guarded by one mutex; pollers wait on a condition variable
// that every change of data or of started channels signals, producers on one
// that only a stop (or reset) signals.
#ifndef OSTREL_SIM_HAL_PROF_CHANNELS_H
#define OSTREL_SIM_HAL_PROF_CHANNELS_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "sim_config.h"

namespace ostrel::sim {

class ChannelHub {
  public:
    static ChannelHub& Instance();

    int GetChannels(uint32_t devId, ProfChannelList* list);
    int Start(uint32_t devId, uint32_t channelId, const ProfStartPara* para);
    int Stop(uint32_t devId, uint32_t channelId);
    int Read(uint32_t devId, uint32_t channelId, char* buf, uint32_t size);
    int Poll(ProfPollInfo* out, int num, int timeoutSec);
    int64_t Inject(uint32_t devId, uint32_t channelId, const void* data, size_t len);
    int Stats(uint32_t devId, uint32_t channelId, OstrelSimChannelStats* out);
    // Stops every channel (joining the producers) and forgets all state.
    void Reset();

  private:
    struct Channel {
        uint32_t devId = 0;
        uint32_t id = 0;
        bool started = false;
        uint64_t generation = 0;  // bumped by every start and stop
        ChannelMode mode = ChannelMode::kCounter;
        uint32_t blockMode = 0;
        std::vector<uint8_t> ring;
        size_t head = 0;           // next byte to read
        size_t held = 0;           // bytes in the ring
        uint64_t streamNext = 0;   // offset of the next stream byte
        uint64_t streamLimit = 0;  // 0: unbounded
        OstrelSimChannelStats stats = {};
        std::thread producer;
    };
    using Key = std::pair<uint32_t, uint32_t>;

    // The channel if the device and channel exist in the settings.
    std::shared_ptr<Channel> FindLocked(uint32_t devId, uint32_t channelId);
    size_t PutLocked(Channel& c, const void* data, size_t len);
    size_t TakeLocked(Channel& c, char* buf, size_t len);
    bool ReadyLocked(const Channel& c) const;
    bool AnyStartedLocked() const;
    void Produce(std::shared_ptr<Channel> c, uint64_t generation, uint32_t periodMs);

    std::mutex mu_;
    std::condition_variable changed_;       // data arrived, a channel started or stopped
    std::condition_variable producerWake_;  // a channel's generation changed
    std::map<Key, std::shared_ptr<Channel>> channels_;  // guarded by mu_
    uint64_t pollCursor_ = 0;                           // guarded by mu_
};

}  // namespace ostrel::sim

#endif  // OSTREL_SIM_HAL_PROF_CHANNELS_H
