// HdcSessionRead fed arbitrary segment sequences by a fake driver. The input
// is a script of driver buffers (records of fuzz_util.h): each record is one
// buffer as the driver hands it out, and its tag says what else happens:
//   bit 0   the driver message ends after this buffer;
//   bit 5   the buffer is handed out as a null pointer;
//   bit 6   drvHdcGetMsgBuffer fails for this buffer;
//   bit 7   the receive itself fails instead, with 25 (closed), 36 (nothing
//           yet) or 5 (bits 1-2 choose), and the buffer is not used.
// When the script ends the session reads as closed. Bit 4 of the first tag
// reads through HDCTransport::RecvPacket (a request packet per buffer)
// instead of HdcSessionRead itself. Every read's result is checked against a
// model of the reassembly, and every driver message the read allocates must
// be freed when it returns.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/memory_utils.h"
#include "fuzz/fuzz_util.h"
#include "hdc/hdc_api.h"
#include "ostrel/hal.h"
#include "transport/hdc_transport.h"

namespace {

struct Buffer {
    uint8_t tag;
    std::string bytes;
};
struct Step {
    drvError_t recvError = DRV_ERROR_NONE;  // the receive fails with this
    std::vector<Buffer> buffers;            // else the message holds these
};

struct FakeDriver {
    std::vector<Step> steps;
    size_t next = 0;
    int liveMsgs = 0;
};
FakeDriver g_driver;

struct FakeMsg {
    const Step* step = nullptr;
};

drvError_t ReceiveError(uint8_t tag) {
    switch ((tag >> 1) & 3) {
        case 0:
            return DRV_ERROR_SESSION_CLOSED;
        case 1:
            return DRV_ERROR_NO_DATA;
        default:
            return 5;
    }
}

void LoadScript(const uint8_t* data, size_t size) {
    g_driver = FakeDriver{};
    oru_fuzz::RecordReader reader(data, size);
    uint8_t tag = 0;
    std::string bytes;
    Step current;
    while (reader.Next(&tag, &bytes)) {
        if ((tag & 0x80) != 0) {
            if (!current.buffers.empty()) {
                g_driver.steps.push_back(current);
                current = Step{};
            }
            Step failure;
            failure.recvError = ReceiveError(tag);
            g_driver.steps.push_back(failure);
            continue;
        }
        current.buffers.push_back({tag, bytes});
        if ((tag & 1) != 0) {
            g_driver.steps.push_back(current);
            current = Step{};
        }
    }
    if (!current.buffers.empty()) {
        g_driver.steps.push_back(current);
    }
}

// ---- The model ---------------------------------------------------------------

struct Expected {
    int ret = 0;
    std::string data;
};

// What one read returns when it starts at step `next`; advances next.
Expected Model(size_t* next) {
    Expected out;
    std::string joined;
    for (;;) {
        if (*next >= g_driver.steps.size()) {
            out.ret = IDE_READ_SESSION_CLOSED;
            return out;
        }
        const Step& step = g_driver.steps[(*next)++];
        if (step.recvError == DRV_ERROR_NO_DATA) {
            out.ret = IDE_READ_NOTHING_YET;
            return out;
        }
        if (step.recvError == DRV_ERROR_SESSION_CLOSED) {
            out.ret = IDE_READ_SESSION_CLOSED;
            return out;
        }
        if (step.recvError != DRV_ERROR_NONE) {
            out.ret = -1;
            return out;
        }
        bool last = false;
        for (const Buffer& b : step.buffers) {
            if ((b.tag & 0x40) != 0) {
                out.ret = -1;
                return out;
            }
            if ((b.tag & 0x20) != 0 || b.bytes.empty()) {
                continue;
            }
            HdcPacket head{};
            if (b.bytes.size() < offsetof(HdcPacket, data)) {
                out.ret = -1;
                return out;
            }
            memcpy(&head, b.bytes.data(), offsetof(HdcPacket, data));
            if (head.tag != HDC_PACKET_TAG ||
                head.len > b.bytes.size() - offsetof(HdcPacket, data)) {
                out.ret = -1;
                return out;
            }
            joined.append(b.bytes, offsetof(HdcPacket, data), head.len);
            last = last || head.isLast == 1;
        }
        if (last) {
            out.ret = joined.empty() ? -1 : 0;
            out.data = joined;
            return out;
        }
    }
}

}  // namespace

// ---- The fake driver (replaces the simulator's functions of these names) ----

extern "C" drvError_t drvHdcAllocMsg(HDC_SESSION, struct drvHdcMsg** msg, int) {
    *msg = reinterpret_cast<struct drvHdcMsg*>(new FakeMsg());
    ++g_driver.liveMsgs;
    return DRV_ERROR_NONE;
}

extern "C" drvError_t drvHdcFreeMsg(struct drvHdcMsg* msg) {
    delete reinterpret_cast<FakeMsg*>(msg);
    --g_driver.liveMsgs;
    return DRV_ERROR_NONE;
}

extern "C" drvError_t drvHdcReuseMsg(struct drvHdcMsg* msg) {
    reinterpret_cast<FakeMsg*>(msg)->step = nullptr;
    return DRV_ERROR_NONE;
}

extern "C" drvError_t halHdcRecv(HDC_SESSION, struct drvHdcMsg* msg, int, uint64_t,
                                 int* bufferCount, uint32_t) {
    if (g_driver.next >= g_driver.steps.size()) {
        return DRV_ERROR_SESSION_CLOSED;
    }
    const Step& step = g_driver.steps[g_driver.next++];
    if (step.recvError != DRV_ERROR_NONE) {
        return step.recvError;
    }
    reinterpret_cast<FakeMsg*>(msg)->step = &step;
    *bufferCount = static_cast<int>(step.buffers.size());
    return DRV_ERROR_NONE;
}

extern "C" drvError_t drvHdcGetMsgBuffer(struct drvHdcMsg* msg, int index, char** buf, int* len) {
    const Step* step = reinterpret_cast<FakeMsg*>(msg)->step;
    if (step == nullptr || index < 0 || static_cast<size_t>(index) >= step->buffers.size()) {
        return 5;
    }
    const Buffer& b = step->buffers[static_cast<size_t>(index)];
    if ((b.tag & 0x40) != 0) {
        return 5;
    }
    *buf = (b.tag & 0x20) != 0 ? nullptr : const_cast<char*>(b.bytes.data());
    *len = static_cast<int>(b.bytes.size());
    return DRV_ERROR_NONE;
}

extern "C" drvError_t drvHdcSessionClose(HDC_SESSION) {
    return DRV_ERROR_NONE;
}

namespace {

// The transport's view of the same reads: a packet whose header counts
// exactly the bytes after it, or -1; -2 for the container refusal.
int PacketResult(const Expected& read) {
    if (read.ret != 0) {
        return -1;
    }
    const std::string& d = read.data;
    IdeTlvReq head{};
    if (d.size() < IDE_TLV_HEAD_LEN) {
        return -1;
    }
    memcpy(&head, d.data(), IDE_TLV_HEAD_LEN);
    if (head.len != d.size() - IDE_TLV_HEAD_LEN) {
        return -1;
    }
    if (d.compare(IDE_TLV_HEAD_LEN, std::string::npos,
                  analysis::orbx::transport::kContainerRefusal) == 0) {
        return -2;
    }
    return static_cast<int>(d.size());
}

void ReadPackets() {
    int session = 0;
    analysis::orbx::transport::HDCTransport transport(&session);
    size_t modelNext = 0;
    for (;;) {
        Expected expected = Model(&modelNext);
        IdeTlvReq* packet = nullptr;
        int ret = transport.RecvPacket(&packet);
        int want = PacketResult(expected);
        if (ret != want || g_driver.next != modelNext || g_driver.liveMsgs != 0 ||
            (ret < -1) != (packet != nullptr && ret == -2) || (ret == -1 && packet != nullptr)) {
            __builtin_trap();
        }
        if (ret >= 0 && (packet == nullptr || memcmp(packet, expected.data.data(), ret) != 0)) {
            __builtin_trap();
        }
        transport.DestroyPacket(packet);
        if (expected.ret == IDE_READ_SESSION_CLOSED && g_driver.next >= g_driver.steps.size()) {
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    oru_fuzz::QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LoadScript(data, size);
    if (size > 0 && (data[0] & 0x10) != 0) {
        ReadPackets();
        return 0;
    }
    int session = 0;
    size_t modelNext = 0;
    for (;;) {
        Expected expected = Model(&modelNext);
        void* buf = nullptr;
        uint32_t len = 0;
        int ret = HdcSessionRead(&session, &buf, &len, HDC_FLAG_WAIT);
        if (ret != expected.ret || g_driver.next != modelNext || g_driver.liveMsgs != 0) {
            __builtin_trap();
        }
        if (ret == 0) {
            if (buf == nullptr || len != expected.data.size() ||
                memcmp(buf, expected.data.data(), len) != 0) {
                __builtin_trap();
            }
            IdeXfree(buf);
        } else if (buf != nullptr) {
            __builtin_trap();  // nothing is handed out on failure
        }
        if (ret == IDE_READ_SESSION_CLOSED && g_driver.next >= g_driver.steps.size()) {
            break;
        }
    }
    return 0;
}
