// The packets of the host-device channel as they travel: the request packet
// IdeTlvReq that carries every message, the segment record a buffer is cut
// into, and the container refusal text. Both sides build and read these: the
// daemon's session layer and transport, and the host library.
#ifndef ORU_WIRE_HDC_PACKET_H
#define ORU_WIRE_HDC_PACKET_H

#include <cstdint>

// Byte order of the wire: the request packet and segment headers below travel
// little-endian, and they are written and read as the CPU's own integers. Both
// targets (x86-64 hosts, the card's AArch64 CPU) are little-endian; a
// big-endian build would send wrong bytes, so it does not build.
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the HDC packet headers are little-endian on the wire: build for a little-endian CPU"
#endif

// Request types (IdeTlvReq::type).
constexpr uint32_t IDE_PROFILING_REQ = 5;
constexpr uint32_t IDE_HOOK_REG_REQ = 16;
constexpr uint32_t IDE_INVALID_REQ = 17;

// The request packet: a 12-byte header and len value bytes in one contiguous
// buffer; the header is little-endian on the wire. A header inside a buffer
// of unknown alignment (the driver's) is copied out with memcpy, not cast.
struct IdeTlvReq {
    uint32_t type;    // request type
    uint32_t dev_id;  // 0 when built here; set by the receiving daemon to the physical id
    uint32_t len;     // number of value bytes
    char value[];
};
constexpr uint32_t IDE_TLV_HEAD_LEN = 12;
static_assert(sizeof(IdeTlvReq) == IDE_TLV_HEAD_LEN, "packet header is 12 bytes");

// Largest value length IdeCreatePacket accepts: header + value must fit 32 bits.
constexpr uint32_t IDE_TLV_MAX_VALUE_LEN = 0xFFFFFFF2u;
inline bool IdeTlvValueLenValid(uint32_t valueLen) {
    return valueLen <= IDE_TLV_MAX_VALUE_LEN;
}

// One segment as handed to the driver: 9 header bytes (little-endian), then
// len data bytes.
// A segment travels as len + sizeof(HdcPacket) (12) bytes; the 3 bytes after
// the data are not defined.
struct HdcPacket {
    uint32_t len;
    uint32_t tag;  // always HDC_PACKET_TAG
    uint8_t isLast;
    char data[];
};
constexpr uint32_t HDC_PACKET_TAG = 0xB0;
constexpr uint32_t HDC_PACKET_HEAD_LEN = 12;
static_assert(sizeof(HdcPacket) == HDC_PACKET_HEAD_LEN, "segment record is 12 bytes");

namespace analysis::orbx::wire {

// The text a device sends instead of a reply to a session from a container.
constexpr char kContainerRefusal[] = "MESSAGE_CONTAINER_NO_SUPPORT";
constexpr uint32_t kContainerRefusalLen = sizeof(kContainerRefusal) - 1;

}  // namespace analysis::orbx::wire

#endif  // ORU_WIRE_HDC_PACKET_H
