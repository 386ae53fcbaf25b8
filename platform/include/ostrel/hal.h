/*
 * Card driver interface: host-device communication (HDC), device enumeration,
 * device information and profiling channels. Every call returns 0 on success,
 * else a driver error number; the numbers callers act on are named below.
 */
#ifndef OSTREL_HAL_H
#define OSTREL_HAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int drvError_t;

/* Driver results that callers act on. */
#define DRV_ERROR_NONE 0
#define DRV_ERROR_INVALID_VALUE 1      /* bad argument */
#define DRV_ERROR_IO 2                 /* transport failure */
#define DRV_ERROR_NO_MEMORY 3
#define DRV_ERROR_INTERRUPTED 4        /* a blocking call was interrupted by a signal */
#define DRV_ERROR_BUSY 23              /* server destroy: busy, try again */
#define DRV_ERROR_SESSION_CLOSED 25    /* receive: the peer has closed the session */
#define DRV_ERROR_NOT_READY 34         /* server create: the device's HDC is not ready yet */
#define DRV_ERROR_NO_DATA 36           /* no-wait receive: nothing to read */
#define DRV_ERROR_NOT_SUPPORT 65534    /* the query is not supported */

/* ---- HDC ---------------------------------------------------------------- */

typedef void* HDC_CLIENT;
typedef void* HDC_SERVER;
typedef void* HDC_SESSION;

/* A message object: an ordered list of buffers sent or received together. */
struct drvHdcMsg;

/* Capacity query record. */
struct drvHdcCapacity {
    uint32_t chanType;   /* set to HDC_CHAN_TYPE_SOCKET before the call */
    uint32_t maxSegment; /* filled: maximum bytes of one message buffer */
};

#define HDC_CHAN_TYPE_SOCKET 2
#define HDC_SERVICE_TYPE_PROFILING 2
#define HDC_SERVICE_TYPE_IDE 4
#define HDC_MAX_SESSION_NUM 96

#define HDC_FLAG_WAIT 0
#define HDC_FLAG_NOWAIT 1

/* Session attributes. */
#define HDC_SESSION_ATTR_DEV_ID 0 /* the device id the session belongs to */
#define HDC_SESSION_ATTR_VFID 3   /* virtual-function id; 0 unless from a container */

drvError_t drvHdcClientCreate(HDC_CLIENT* client, int maxSessionNum, int serviceType, int flag);
drvError_t drvHdcClientDestroy(HDC_CLIENT client);
drvError_t drvHdcServerCreate(int devId, int serviceType, HDC_SERVER* server);
drvError_t drvHdcServerDestroy(HDC_SERVER server);
/* Blocks until the host opens a session; DRV_ERROR_INTERRUPTED on a signal. */
drvError_t drvHdcSessionAccept(HDC_SERVER server, HDC_SESSION* session);
drvError_t drvHdcSetSessionReference(HDC_SESSION session);
drvError_t drvHdcSessionConnect(int peerNode, int peerDevId, HDC_CLIENT client,
                                HDC_SESSION* session);
drvError_t halHdcSessionConnectEx(int peerNode, int peerDevId, int peerPid, HDC_CLIENT client,
                                  HDC_SESSION* session);
drvError_t drvHdcSessionClose(HDC_SESSION session);
drvError_t drvHdcGetCapacity(struct drvHdcCapacity* capacity);
drvError_t drvHdcAllocMsg(HDC_SESSION session, struct drvHdcMsg** msg, int count);
drvError_t drvHdcFreeMsg(struct drvHdcMsg* msg);
drvError_t drvHdcReuseMsg(struct drvHdcMsg* msg);
drvError_t drvHdcAddMsgBuffer(struct drvHdcMsg* msg, char* buf, int len);
drvError_t drvHdcGetMsgBuffer(struct drvHdcMsg* msg, int index, char** buf, int* len);
/* Sends every buffer of msg, in order, as one message. */
drvError_t halHdcSend(HDC_SESSION session, struct drvHdcMsg* msg, uint64_t flag, uint32_t timeout);
/* Receives one message into msg; *recvBufCount is its number of buffers. */
drvError_t halHdcRecv(HDC_SESSION session, struct drvHdcMsg* msg, int bufLen, uint64_t flag,
                      int* recvBufCount, uint32_t timeout);
drvError_t halHdcGetSessionAttr(HDC_SESSION session, int attr, int* value);

/* ---- Devices ------------------------------------------------------------ */

drvError_t drvGetDevNum(uint32_t* num);
drvError_t drvGetDeviceLocalIDs(uint32_t* devices, uint32_t len);
drvError_t drvDeviceGetPhyIdByIndex(uint32_t devIndex, uint32_t* phyId);
drvError_t drvDeviceGetIndexByPhyId(uint32_t phyId, uint32_t* devIndex);
drvError_t drvGetDevIDs(uint32_t* devices, uint32_t len);

/* ---- Device information ------------------------------------------------- */

#define DEV_MODULE_SYSTEM 0
#define DEV_INFO_TYPE_VERSION 1     /* chip version word: type in bits 8..15, sub-version 0..7 */
#define DEV_INFO_TYPE_HOST_FREQ 24  /* host CPU frequency (device 0) */
#define DEV_INFO_TYPE_DEV_FREQ 25   /* device frequency */

/* Run side reported by drvGetPlatformInfo. */
#define PLATFORM_RUN_SIDE_DEVICE 0
#define PLATFORM_RUN_SIDE_HOST 1

drvError_t halGetDeviceInfo(uint32_t devId, int32_t moduleType, int32_t infoType, int64_t* value);
drvError_t drvGetPlatformInfo(uint32_t* info);
drvError_t halGetAPIVersion(uint32_t* version);

/* ---- Profiling channels ------------------------------------------------- */

#define PROF_CHANNEL_MAX_NUM 160
#define PROF_CHANNEL_NAME_LEN 32
#define PROF_CHANNEL_LLC 8

#define PROF_OK 0
#define PROF_ERROR (-1)
#define PROF_STOPPED_ALREADY (-4)

/* One channel of the channel list (40 bytes). */
struct ProfChannelEntry {
    char channelName[PROF_CHANNEL_NAME_LEN]; /* NUL-padded */
    uint32_t channelType;
    uint32_t channelId;
};

/* Channel list of a device (6408 bytes); zero it before the call. */
struct ProfChannelList {
    uint32_t chipType;
    uint32_t channelNum; /* valid entries that follow */
    struct ProfChannelEntry channels[PROF_CHANNEL_MAX_NUM];
};

#define PROF_CHANNEL_TYPE_PERIPHERAL 1

/* Start record of a peripheral channel. */
struct ProfStartPara {
    uint32_t channelType; /* PROF_CHANNEL_TYPE_PERIPHERAL */
    uint32_t samplePeriod; /* milliseconds */
    uint32_t realTime;     /* always 1 */
    void* userData;        /* channel-specific configuration block */
    uint32_t userDataSize;
};

/* Channel-specific block of the last-level-cache channel (8 bytes). */
struct ProfLlcConfig {
    uint32_t period; /* milliseconds */
    uint32_t mode;   /* 1 read, 2 write */
};

/* One ready channel reported by prof_channel_poll. */
struct ProfPollInfo {
    uint32_t deviceId;
    uint32_t channelId;
};

int prof_drv_get_channels(uint32_t deviceId, struct ProfChannelList* channels);
int prof_drv_start(uint32_t deviceId, uint32_t channelId, struct ProfStartPara* para);
int prof_stop(uint32_t deviceId, uint32_t channelId);
/* Bytes copied (>= 0), PROF_STOPPED_ALREADY once stopped and drained, other negative: error. */
int prof_channel_read(uint32_t deviceId, uint32_t channelId, char* buf, uint32_t bufSize);
/* Waits up to timeoutSec for channels with unread data; number of records filled,
 * PROF_ERROR on error, PROF_STOPPED_ALREADY when no channel is running. */
int prof_channel_poll(struct ProfPollInfo* out, int num, int timeoutSec);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_HAL_H */
