// The device worker's checks of a received buffer: the buffer becomes a
// request packet or is refused, and a packet's type finds its component.
#include <cstdint>
#include <cstring>

#include "common/memory_utils.h"
#include "daemon/ide_daemon.h"
#include "daemon/ide_daemon_hdc.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    oru_fuzz::QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    IdeTlvReq* req = IdeCheckRequest(data, static_cast<uint32_t>(size));
    if (req == nullptr) {
        return 0;
    }
    // An accepted packet is exactly the buffer, its value zero-terminated.
    if (size < IDE_TLV_HEAD_LEN || req->len != size - IDE_TLV_HEAD_LEN ||
        memcmp(req, data, size) != 0 || req->value[req->len] != '\0') {
        __builtin_trap();
    }
    uint32_t component = IdeGetComponentType(req);
    const char* typeName = IdeGetReqTypeName(req->type);
    const char* componentName = IdeGetComponentName(component);
    if (typeName == nullptr || componentName == nullptr) {
        __builtin_trap();
    }
    (void)IdeGetComponentProcess(component);
    IdeXfree(req);
    return 0;
}
