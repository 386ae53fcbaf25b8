// The device link over the card driver's HDC client: the host side of the
// profiling protocol.
#ifndef ORU_TOOLS_ORU_HOST_HDC_LINK_H
#define ORU_TOOLS_ORU_HOST_HDC_LINK_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/oru_host/device_link.h"

namespace analysis::orbx::hosttool {

std::unique_ptr<DeviceLink> MakeHdcLink();

// The logical ids of the devices the card driver shows this host; false with
// the driver's error.
bool ListHdcDevices(std::vector<uint32_t>* devices, std::string* error);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_HDC_LINK_H
