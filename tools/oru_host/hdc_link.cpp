#include "tools/oru_host/hdc_link.h"

namespace analysis::orbx::hosttool {

std::unique_ptr<DeviceLink> MakeHdcLink() {
    return nullptr;
}

}  // namespace analysis::orbx::hosttool
