#include "device/prof_device_core.h"

#include <exception>
#include <string>

#include "common/log.h"
#include "device/collection_entry.h"
#include "device/task_manager.h"
#include "hdc/kvt_hdc.h"
#include "message/param_validation.h"
#include "transport/hdc_transport.h"

namespace {

using analysis::orbx::common::validation::ParamValidation;
using analysis::orbx::device::CollectionEntry;
using analysis::orbx::device::TaskManager;

constexpr uint32_t kMaxRequestLen = 3145728;  // 3 MiB
constexpr char kContainerRefusal[] = "MESSAGE_CONTAINER_NO_SUPPORT";

int ProcessSession(HDC_SESSION session, const IdeTlvReq* request) {
    if (session == nullptr) {
        ORU_LOGE("HDC session is invalid");
        return -1;
    }
    if (request == nullptr || request->len < 1 || request->len > kMaxRequestLen) {
        ORU_LOGE("HDC request is invalid");
        KvtHdcSessionClose(session);
        return -1;
    }
    int devIndex = -1;
    int ret = KvtGetDevIdBySession(session, &devIndex);
    if (ret != 0) {
        ORU_LOGE("IdeGetDevIdBySession failed, err: %d", ret);
        KvtHdcSessionClose(session);
        return -1;
    }
    if (!ParamValidation::GetInstance().CheckDeviceIdIsValid(std::to_string(devIndex))) {
        ORU_LOGE("[IdeDeviceProfileProcess]devIndexId is not valid! devIndexId: %d", devIndex);
        KvtHdcSessionClose(session);
        return -1;
    }
    auto transport = analysis::orbx::transport::HDCTransportFactory::CreateHdcTransport(session);
    if (transport == nullptr) {
        ORU_LOGE("create HDC transport failed");
        KvtHdcSessionClose(session);
        return -1;
    }
    int vfId = 0;
    ret = KvtGetVfIdBySession(session, &vfId);
    if (ret != 0) {
        ORU_LOGE("Ide get vfid by session failed, ret=%d.", ret);
        return -1;
    }
    if (vfId != 0) {
        ORU_LOGW("Prohibit container operate profiling, vfId=%d.", vfId);
        if (transport->SendBuffer(kContainerRefusal, sizeof(kContainerRefusal) - 1) == -1) {
            ORU_LOGE("Transport send buffer failed.");
            return -1;
        }
        return 0;
    }
    ORU_LOGI("device %d step handle function", devIndex);
    std::string bytes(reinterpret_cast<const char*>(request->value), request->len);
    return CollectionEntry::GetInstance().Handle(transport, bytes, devIndex);
}

}  // namespace

int IdeDeviceProfileInit() {
    ORU_LOGEVENT("Begin to init profiling");
    int ret = -1;
    try {
        ret = CollectionEntry::GetInstance().Init();
        if (ret != 0) {
            ORU_LOGE("CollectionEntry instance init failed");
        } else {
            ret = TaskManager::GetInstance().Init();
        }
    } catch (const std::exception& e) {
        ret = -1;
    }
    ORU_LOGEVENT("End to init profiling, ret:%d", ret);
    return ret;
}

int IdeDeviceProfileProcess(HDC_SESSION session, const IdeTlvReq* request) {
    ORU_LOGEVENT("Begin to process profiling");
    int ret = ProcessSession(session, request);
    ORU_LOGEVENT("End to process profiling, ret:%d", ret);
    return ret;
}

int IdeDeviceProfileCleanup() {
    ORU_LOGEVENT("Begin to cleanup profiling");
    if (CollectionEntry::GetInstance().UnInit() != 0) {
        ORU_LOGE("CollectionEntry instance unInit failed");
    }
    int ret = TaskManager::GetInstance().UnInit();
    ORU_LOGEVENT("End to cleanup profiling, ret:%d", ret);
    return ret;
}
