// The device link over the card driver's HDC client: the host side of the
// profiling protocol.
#ifndef ORU_TOOLS_ORU_HOST_HDC_LINK_H
#define ORU_TOOLS_ORU_HOST_HDC_LINK_H

#include <memory>

#include "tools/oru_host/device_link.h"

namespace analysis::orbx::hosttool {

std::unique_ptr<DeviceLink> MakeHdcLink();

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_HDC_LINK_H
