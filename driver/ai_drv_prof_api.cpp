#include "driver/ai_drv_prof_api.h"

#include <cstring>

#include "common/log.h"
#include "driver/drv_funcs.h"
#include "driver/json_parser.h"

namespace analysis::orbx::driver {

int DrvPeripheralStart(const DrvPeripheralProfileCfg& cfg) {
    ORU_LOGEVENT(
        "Begin to start profiling DrvPeripheralStart, profDeviceId=%d, profChannel=%d, "
        "profSamplePeriod=%dms",
        cfg.profDeviceId, static_cast<int>(cfg.profChannel),
        static_cast<int>(cfg.profSamplePeriod));
    ProfStartPara para{};
    para.channelType = PROF_CHANNEL_TYPE_PERIPHERAL;
    para.samplePeriod = cfg.profSamplePeriod;
    para.realTime = 1;
    para.userData = cfg.configP.get();
    para.userDataSize = cfg.configSize;
    int ret = Drv().profDrvStart(static_cast<uint32_t>(cfg.profDeviceId), cfg.profChannel, &para);
    if (ret != 0) {
        ORU_LOGE(
            "Failed to start profiling DrvPeripheralStart, profDeviceId=%d, profChannel=%d, "
            "profSamplePeriod=%dms, ret=%d",
            cfg.profDeviceId, static_cast<int>(cfg.profChannel),
            static_cast<int>(cfg.profSamplePeriod), ret);
        return -1;
    }
    ORU_LOGEVENT(
        "Succeeded to start profiling DrvPeripheralStart, profDeviceId=%d, profChannel=%d, "
        "profSamplePeriod=%dms",
        cfg.profDeviceId, static_cast<int>(cfg.profChannel),
        static_cast<int>(cfg.profSamplePeriod));
    return 0;
}

int DrvStop(int deviceId, int channelId) {
    ORU_LOGEVENT("Begin to stop profiling prof_stop DrvStop, profDeviceId=%d, profChannel=%d",
                 deviceId, channelId);
    int ret = Drv().profStop(static_cast<uint32_t>(deviceId), static_cast<uint32_t>(channelId));
    if (ret != 0) {
        ORU_LOGE(
            "Failed to stop profiling prof_stop DrvStop, profDeviceId=%d, profChannel=%d, ret=%d",
            deviceId, channelId, ret);
        return -1;
    }
    ORU_LOGEVENT("Succeeded to stop profiling prof_stop DrvStop, profDeviceId=%d, profChannel=%d",
                 deviceId, channelId);
    return 0;
}

int DrvChannelRead(int deviceId, int channelId, uint8_t* outBuf, uint32_t bufSize) {
    if (outBuf == nullptr) {
        ORU_LOGE("outBuf is nullptr");
        return -1;
    }
    int ret =
        Drv().profChannelRead(static_cast<uint32_t>(deviceId), static_cast<uint32_t>(channelId),
                              reinterpret_cast<char*>(outBuf), bufSize);
    if (ret >= 0) {
        return ret;
    }
    if (ret == PROF_STOPPED_ALREADY) {
        ORU_LOGW(
            "profChannel has stopped already, profDeviceId=%d, profChannel=%d, bufSize=%dbytes",
            deviceId, channelId, static_cast<int>(bufSize));
        return 0;
    }
    ORU_LOGE(
        "Failed to prof_channel_read, profDeviceId=%d, profChannel=%d, bufSize=%dbytes, ret=%d",
        deviceId, channelId, static_cast<int>(bufSize), ret);
    return -1;
}

int DrvChannelPoll(ProfPollInfo* outBuf, int num, int timeoutSec) {
    if (outBuf == nullptr) {
        ORU_LOGE("outBuf is nullptr");
        return -1;
    }
    int ret = Drv().profChannelPoll(outBuf, num, timeoutSec);
    if (ret == PROF_ERROR || ret > num) {
        ORU_LOGE("Failed to prof_channel_poll, num=%d, timeout=%ds, ret=%d", num, timeoutSec, ret);
        return -1;
    }
    return ret;
}

int DrvGetChannels(DrvProfChannelsInfo& info) {
    ORU_LOGEVENT("Begin to get channels, deviceId=%d", info.deviceId);
    if (info.deviceId < 0) {
        ORU_LOGE("DrvGetChannels, devId is invalid, deviceId=%d", info.deviceId);
        return -1;
    }
    ProfChannelList list;
    std::memset(&list, 0, sizeof(list));
    if (Drv().profDrvGetChannels(static_cast<uint32_t>(info.deviceId), &list) != 0) {
        ORU_LOGE("DrvGetChannels get channels failed, deviceId=%d", info.deviceId);
        return -1;
    }
    if (list.channelNum < 1 || list.channelNum > PROF_CHANNEL_MAX_NUM) {
        ORU_LOGE("DrvGetChannels channel num is invalid, channelNum=%u", list.channelNum);
        return -1;
    }
    info.chipType = list.chipType;
    for (uint32_t i = 0; i < list.channelNum; ++i) {
        const ProfChannelEntry& entry = list.channels[i];
        if (entry.channelId == 0 || entry.channelId > kMaxChannelId) {
            ORU_LOGE("Channel id is invalid, channelId=%u, i=%d", entry.channelId,
                     static_cast<int>(i));
            continue;
        }
        DrvProfChannelInfo channel;
        channel.channelId = entry.channelId;
        channel.channelType = entry.channelType;
        channel.channelName.assign(entry.channelName,
                                   strnlen(entry.channelName, PROF_CHANNEL_NAME_LEN));
        ORU_LOGI("i:%d,chipType:%u,channelNum:%u,channelId=%u,channelName:%s,channelType:%u",
                 static_cast<int>(i), list.chipType, list.channelNum, channel.channelId,
                 channel.channelName.c_str(), channel.channelType);
        info.channels.push_back(std::move(channel));
    }
    ORU_LOGEVENT("End to get channels[%zu], deviceId=%d", info.channels.size(), info.deviceId);
    return 0;
}

int DrvChannelsMgr::GetAllChannels(int devIndexId) {
    std::lock_guard<std::mutex> lock(mutex_);
    ORU_LOGI("Begin to GetAllChannels, devIndexId %d", devIndexId);
    DrvProfChannelsInfo info;
    info.deviceId = devIndexId;
    if (DrvGetChannels(info) != 0) {
        ORU_LOGE("DrvGetChannels failed, devId:%d", devIndexId);
        return -1;
    }
    ORU_LOGI("GetAllChannels, devId:%d", devIndexId);
    devicesChannels_[devIndexId] = std::move(info);
    return 0;
}

bool DrvChannelsMgr::ChannelIsValid(int devId, uint32_t channelId) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devicesChannels_.find(devId);
    if (it == devicesChannels_.end()) {
        ORU_LOGI("ChannelIsValid not find channel map, devId:%d", devId);
        return false;
    }
    if (!Gxprofiler::Parser::JsonParser::GetInstance().GetChannelSwitch(channelId)) {
        ORU_LOGI("devId:%d, channelId:%d in Json file is configured to off", devId,
                 static_cast<int>(channelId));
        return false;
    }
    for (const DrvProfChannelInfo& channel : it->second.channels) {
        if (channel.channelId == channelId) {
            ORU_LOGI("ChannelIsValid find channel map, devId:%d, channelId:%d", devId,
                     static_cast<int>(channelId));
            return true;
        }
    }
    ORU_LOGI("ChannelIsValid not find channel map, devid:%d", devId);
    return false;
}

}  // namespace analysis::orbx::driver
