// Test helper: a connected pair of HDC sessions on the card, and raw driver messages.
#ifndef ORU_TESTING_SIM_SESSION_H
#define ORU_TESTING_SIM_SESSION_H

#include <cstring>
#include <string>
#include <vector>

#include "hdc/hdc_api.h"
#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "testing/sim_test_util.h"

namespace oru_testing {

using ostrel::simtest::Buffers;
using ostrel::simtest::Pattern;
using ostrel::simtest::RecvRaw;
using ostrel::simtest::SendRaw;

// A request packet whose length field says claimedLen (default: the truth).
inline std::string Packet(uint32_t type, const std::string& value, int64_t claimedLen = -1,
                          uint32_t devId = 0) {
    const uint32_t len =
        claimedLen < 0 ? static_cast<uint32_t>(value.size()) : static_cast<uint32_t>(claimedLen);
    std::string p(IDE_TLV_HEAD_LEN, '\0');
    memcpy(&p[0], &type, 4);
    memcpy(&p[4], &devId, 4);
    memcpy(&p[8], &len, 4);
    return p + value;
}

// A segment record as the session layer writes it: 9-byte header, data, 3 trailing bytes.
inline std::string Segment(const std::string& data, bool last, uint32_t tag = HDC_PACKET_TAG,
                           uint32_t claimedLen = UINT32_MAX) {
    std::string s(HDC_PACKET_HEAD_LEN + data.size(), '\0');
    uint32_t len = claimedLen == UINT32_MAX ? static_cast<uint32_t>(data.size()) : claimedLen;
    memcpy(&s[0], &len, 4);
    memcpy(&s[4], &tag, 4);
    s[8] = last ? 1 : 0;
    memcpy(&s[9], data.data(), data.size());
    return s;
}

struct SegmentView {
    uint32_t len;
    uint32_t tag;
    uint8_t isLast;
    std::string data;
};
inline SegmentView ParseSegment(const std::string& raw) {
    SegmentView v{};
    memcpy(&v.len, raw.data(), 4);
    memcpy(&v.tag, raw.data() + 4, 4);
    v.isLast = static_cast<uint8_t>(raw[8]);
    v.data = raw.substr(9, v.len);
    return v;
}

class SimSessionPair {
  public:
    bool Open(int dev = 0) {
        server = HdcServerCreate(dev, HDC_SERVICE_TYPE_IDE);
        client = HdcClientCreate(HDC_SERVICE_TYPE_IDE);
        if (server == nullptr || client == nullptr ||
            HdcSessionConnect(0, dev, client, &host) != 0) {
            return false;
        }
        device = HdcServerAccept(server);
        return device != nullptr;
    }
    void Close() {
        if (host != nullptr) {
            HdcSessionClose(host);
        }
        if (device != nullptr) {
            HdcSessionClose(device);
        }
        host = device = nullptr;
        HdcClientDestroy(client);
        HdcServerDestroy(server);
        client = nullptr;
        server = nullptr;
    }

    HDC_SERVER server = nullptr;
    HDC_CLIENT client = nullptr;
    HDC_SESSION host = nullptr;
    HDC_SESSION device = nullptr;
};

}  // namespace oru_testing

#endif  // ORU_TESTING_SIM_SESSION_H
