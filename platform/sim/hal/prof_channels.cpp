#include "prof_channels.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include "no_throw.h"
#include "sim_faults.h"

namespace ostrel::sim {
namespace {

constexpr uint32_t kMaxUserData = 4096;

uint64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

ChannelHub& ChannelHub::Instance() {
    static ChannelHub* hub = new ChannelHub();  // never destroyed: producers may outlive main
    return *hub;
}

std::shared_ptr<ChannelHub::Channel> ChannelHub::FindLocked(uint32_t devId, uint32_t channelId) {
    auto config = GetConfig();
    if (devId >= config->devices) {
        return nullptr;
    }
    auto channel = std::find_if(config->channels.begin(), config->channels.end(),
                                [channelId](const ChannelSetting& s) { return s.id == channelId; });
    if (channel == config->channels.end()) {
        return nullptr;
    }
    Key key(devId, channelId);
    auto it = channels_.find(key);
    if (it != channels_.end()) {
        return it->second;
    }
    auto c = std::make_shared<Channel>();
    c->devId = devId;
    c->id = channelId;
    channels_[key] = c;
    return c;
}

size_t ChannelHub::PutLocked(Channel& c, const void* data, size_t len) {
    size_t cap = c.ring.size();
    size_t n = std::min(len, cap - c.held);
    c.stats.dropped += len - n;
    if (n == 0) {
        return 0;
    }
    const uint8_t* src = static_cast<const uint8_t*>(data);
    size_t tail = (c.head + c.held) % cap;
    size_t first = std::min(n, cap - tail);
    memcpy(c.ring.data() + tail, src, first);
    memcpy(c.ring.data(), src + first, n - first);
    c.held += n;
    c.stats.produced += n;
    return n;
}

size_t ChannelHub::TakeLocked(Channel& c, char* buf, size_t len) {
    size_t cap = c.ring.size();
    size_t n = std::min(len, c.held);
    if (n == 0) {
        return 0;
    }
    size_t first = std::min(n, cap - c.head);
    memcpy(buf, c.ring.data() + c.head, first);
    memcpy(buf + first, c.ring.data(), n - first);
    c.head = (c.head + n) % cap;
    c.held -= n;
    c.stats.read += n;
    return n;
}

bool ChannelHub::ReadyLocked(const Channel& c) const {
    if (c.held > 0) {
        return true;
    }
    return c.started && c.mode == ChannelMode::kStream &&
           (c.streamLimit == 0 || c.streamNext < c.streamLimit);
}

bool ChannelHub::AnyStartedLocked() const {
    for (const auto& entry : channels_) {
        if (entry.second->started) {
            return true;
        }
    }
    return false;
}

int ChannelHub::GetChannels(uint32_t devId, ProfChannelList* list) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_GET_CHANNELS);
    if (injection.fail) {
        return injection.code;
    }
    auto config = GetConfig();
    if (list == nullptr || devId >= config->devices) {
        return PROF_ERROR;
    }
    memset(list, 0, sizeof(*list));
    list->chipType = static_cast<uint32_t>((config->chipVersion >> 8) & 0xFF);
    size_t n = std::min<size_t>(config->channels.size(), PROF_CHANNEL_MAX_NUM);
    for (size_t i = 0; i < n; ++i) {
        const ChannelSetting& channel = config->channels[i];
        ProfChannelEntry& e = list->channels[i];
        memcpy(e.channelName, channel.name.data(),
               std::min(channel.name.size(), sizeof(e.channelName) - 1));
        e.channelType = channel.type;
        e.channelId = channel.id;
    }
    list->channelNum =
        injection.override ? static_cast<uint32_t>(injection.value) : static_cast<uint32_t>(n);
    return PROF_OK;
}

int ChannelHub::Start(uint32_t devId, uint32_t channelId, const ProfStartPara* para) {
    return NoThrow<int>(PROF_ERROR, [&]() -> int {
        Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_PROF_START);
        if (injection.fail) {
            return injection.code;
        }
        if (para == nullptr || para->channelType != PROF_CHANNEL_TYPE_PERIPHERAL ||
            para->samplePeriod == 0 || para->realTime != 1 || para->userDataSize > kMaxUserData ||
            (para->userDataSize > 0 && para->userData == nullptr)) {
            return PROF_ERROR;
        }
        ProfLlcConfig block = {0, 0};
        if (channelId == PROF_CHANNEL_LLC) {
            if (para->userData == nullptr || para->userDataSize != sizeof(block)) {
                return PROF_ERROR;
            }
            memcpy(&block, para->userData, sizeof(block));
            if (block.period == 0 || (block.mode != 1 && block.mode != 2)) {
                return PROF_ERROR;
            }
        }
        auto config = GetConfig();
        std::lock_guard<std::mutex> lock(mu_);
        auto c = FindLocked(devId, channelId);
        if (c == nullptr || c->started) {
            return PROF_ERROR;
        }
        c->ring.assign(config->ringBytes, 0);
        c->head = 0;
        c->held = 0;
        c->streamNext = 0;
        c->streamLimit = config->streamBytes;
        c->mode = config->channelMode;
        c->blockMode = block.mode;
        uint32_t startCount = c->stats.startCount;
        c->stats = OstrelSimChannelStats();
        c->stats.startCount = startCount;
        c->stats.samplePeriod = para->samplePeriod;
        c->stats.blockPeriod = block.period;
        c->stats.blockMode = block.mode;
        c->generation++;
        if (c->mode == ChannelMode::kCounter) {
            try {
                c->producer =
                    std::thread(&ChannelHub::Produce, this, c, c->generation, para->samplePeriod);
            } catch (const std::system_error&) {
                return PROF_ERROR;  // the channel stays stopped
            }
        }
        c->started = true;
        c->stats.started = 1;
        c->stats.startCount++;
        changed_.notify_all();
        return PROF_OK;
    });
}

void ChannelHub::Produce(std::shared_ptr<Channel> c, uint64_t generation, uint32_t periodMs) {
    auto period = std::chrono::milliseconds(periodMs);
    auto next = std::chrono::steady_clock::now() + period;
    uint64_t sequence = 0;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        producerWake_.wait_until(lock, next, [&] { return c->generation != generation; });
        if (c->generation != generation) {
            return;
        }
        if (std::chrono::steady_clock::now() < next) {
            continue;
        }
        OstrelSimCounterRecord r = {};
        r.magic = OSTREL_SIM_COUNTER_MAGIC;
        r.deviceId = static_cast<uint16_t>(c->devId);
        r.channelId = static_cast<uint16_t>(c->id);
        r.mode = c->blockMode;
        r.periodMs = periodMs;
        r.sequence = sequence;
        r.timestampNs = NowNs();
        r.hitCount = 1000 + (sequence * 7919 + c->devId * 131 + c->id) % 9000;
        r.missCount = (sequence * 104729 + c->blockMode) % 500;
        if (c->ring.size() - c->held >= sizeof(r)) {
            PutLocked(*c, &r, sizeof(r));
        } else {
            c->stats.dropped += sizeof(r);  // whole records only
        }
        sequence++;
        next += period;
        changed_.notify_all();
    }
}

int ChannelHub::Stop(uint32_t devId, uint32_t channelId) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_PROF_STOP);
    if (injection.fail) {
        return injection.code;
    }
    std::thread producer;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto c = FindLocked(devId, channelId);
        if (c == nullptr || !c->started) {
            return PROF_ERROR;
        }
        c->started = false;
        c->stats.started = 0;
        c->generation++;
        producer = std::move(c->producer);
        changed_.notify_all();
        producerWake_.notify_all();
    }
    if (producer.joinable()) {
        producer.join();
    }
    return PROF_OK;
}

int ChannelHub::Read(uint32_t devId, uint32_t channelId, char* buf, uint32_t size) {
    return NoThrow<int>(PROF_ERROR, [&]() -> int {
        Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_CHANNEL_READ);
        if (injection.fail) {
            return injection.code;
        }
        if (buf == nullptr || size == 0) {
            return PROF_ERROR;
        }
        size = std::min<uint32_t>(size, 0x7FFFFFFF);
        uint64_t offset = 0;
        size_t generate = 0;
        size_t copied = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto c = FindLocked(devId, channelId);
            if (c == nullptr) {
                return PROF_ERROR;
            }
            copied = TakeLocked(*c, buf, size);
            if (copied == 0 && c->started && c->mode == ChannelMode::kStream) {
                uint64_t left = c->streamLimit == 0 ? UINT64_MAX : c->streamLimit - c->streamNext;
                generate = static_cast<size_t>(std::min<uint64_t>(size, left));
                offset = c->streamNext;
                c->streamNext += generate;
                c->stats.produced += generate;
                c->stats.read += generate;
            }
            if (copied == 0 && generate == 0) {
                return c->started ? 0 : PROF_STOPPED_ALREADY;
            }
        }
        if (generate > 0) {
            ostrel_sim_stream_fill(devId, channelId, offset, reinterpret_cast<uint8_t*>(buf),
                                   generate);
            return static_cast<int>(generate);
        }
        return static_cast<int>(copied);
    });
}

int ChannelHub::Poll(ProfPollInfo* out, int num, int timeoutSec) {
    return NoThrow<int>(PROF_ERROR, [&]() -> int {
        Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_CHANNEL_POLL);
        if (injection.fail) {
            return injection.code;
        }
        if (out == nullptr || num <= 0) {
            return PROF_ERROR;
        }
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeoutSec, 0));
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            std::vector<Key> ready;
            for (const auto& entry : channels_) {
                if (ReadyLocked(*entry.second)) {
                    ready.push_back(entry.first);
                }
            }
            if (!ready.empty()) {
                // Start where the last poll left off, so that no channel starves
                // when more are ready than fit.
                size_t n = std::min(ready.size(), static_cast<size_t>(num));
                size_t first = static_cast<size_t>(pollCursor_ % ready.size());
                for (size_t i = 0; i < n; ++i) {
                    const Key& key = ready[(first + i) % ready.size()];
                    out[i].deviceId = key.first;
                    out[i].channelId = key.second;
                }
                pollCursor_ += n;
                return static_cast<int>(n);
            }
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                bool anyReady =
                    std::any_of(channels_.begin(), channels_.end(),
                                [this](const auto& e) { return ReadyLocked(*e.second); });
                if (anyReady) {
                    continue;
                }
                return AnyStartedLocked() ? 0 : PROF_STOPPED_ALREADY;
            }
        }
    });
}

int64_t ChannelHub::Inject(uint32_t devId, uint32_t channelId, const void* data, size_t len) {
    std::lock_guard<std::mutex> lock(mu_);
    auto c = FindLocked(devId, channelId);
    if (c == nullptr || !c->started || (data == nullptr && len > 0)) {
        return -1;
    }
    size_t n = PutLocked(*c, data, len);
    changed_.notify_all();
    return static_cast<int64_t>(n);
}

int ChannelHub::Stats(uint32_t devId, uint32_t channelId, OstrelSimChannelStats* out) {
    std::lock_guard<std::mutex> lock(mu_);
    auto c = FindLocked(devId, channelId);
    if (c == nullptr || out == nullptr) {
        return -1;
    }
    *out = c->stats;
    return 0;
}

void ChannelHub::Reset() {
    std::vector<std::thread> producers;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& entry : channels_) {
            entry.second->started = false;
            entry.second->generation++;
            if (entry.second->producer.joinable()) {
                producers.push_back(std::move(entry.second->producer));
            }
        }
        changed_.notify_all();
        producerWake_.notify_all();
    }
    for (auto& t : producers) {
        t.join();
    }
    std::lock_guard<std::mutex> lock(mu_);
    channels_.clear();
    pollCursor_ = 0;
    changed_.notify_all();
}

}  // namespace ostrel::sim
