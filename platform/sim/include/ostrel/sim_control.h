/*
 * Control of the simulated card, for tests, benchmarks and the host tool only.
 * The daemon never includes this header: it sees the card only through
 * ostrel/hal.h and ostrel/appmon.h.
 *
 * Functions are exported with C linkage from libostrel_hal.so; every one is
 * safe to call from any thread.
 */
#ifndef OSTREL_SIM_CONTROL_H
#define OSTREL_SIM_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include "ostrel/hal.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Returns the simulator to its start state: closes every HDC session, server
 * and client still open (threads blocked on them wake with an error), stops
 * every profiling channel, clears faults and call counts, and re-reads the
 * OSTREL_SIM_* environment variables (including OSTREL_SIM_FAULTS).
 */
void ostrel_sim_reset(void);

/* ---- Fault injection ---------------------------------------------------- */

/* Calls that can be made to fail. The name in brackets is the one used in
 * OSTREL_SIM_FAULTS. */
enum OstrelSimFaultPoint {
    OSTREL_SIM_FAULT_CLIENT_CREATE = 0, /* drvHdcClientCreate [client_create] */
    OSTREL_SIM_FAULT_SERVER_CREATE,     /* drvHdcServerCreate [server_create], e.g. 34 */
    OSTREL_SIM_FAULT_SERVER_DESTROY,    /* drvHdcServerDestroy [server_destroy], e.g. 23 */
    OSTREL_SIM_FAULT_ACCEPT,            /* drvHdcSessionAccept [accept], e.g. 4 */
    OSTREL_SIM_FAULT_CONNECT,           /* drvHdcSessionConnect and the Ex form [connect] */
    OSTREL_SIM_FAULT_SESSION_CLOSE,     /* drvHdcSessionClose [session_close] */
    OSTREL_SIM_FAULT_CAPACITY,          /* drvHdcGetCapacity [capacity]; value: maximum segment */
    OSTREL_SIM_FAULT_ALLOC_MSG,         /* drvHdcAllocMsg [alloc_msg] */
    OSTREL_SIM_FAULT_SEND,              /* halHdcSend [send] */
    OSTREL_SIM_FAULT_RECV,              /* halHdcRecv [recv] */
    OSTREL_SIM_FAULT_SESSION_ATTR,      /* halHdcGetSessionAttr [session_attr] */
    OSTREL_SIM_FAULT_DEV_NUM,           /* drvGetDevNum [dev_num]; value: device count */
    OSTREL_SIM_FAULT_LOCAL_IDS,         /* drvGetDeviceLocalIDs [local_ids] */
    OSTREL_SIM_FAULT_DEV_IDS,           /* drvGetDevIDs [dev_ids] */
    OSTREL_SIM_FAULT_PHY_ID,            /* drvDeviceGetPhyIdByIndex [phy_id] */
    OSTREL_SIM_FAULT_INDEX_BY_PHY,      /* drvDeviceGetIndexByPhyId [index_by_phy] */
    OSTREL_SIM_FAULT_DEVICE_INFO,       /* halGetDeviceInfo [device_info]; value: the info */
    OSTREL_SIM_FAULT_PLATFORM_INFO,     /* drvGetPlatformInfo [platform_info]; value: the info */
    OSTREL_SIM_FAULT_API_VERSION,       /* halGetAPIVersion [api_version]; value: the version */
    OSTREL_SIM_FAULT_GET_CHANNELS,      /* prof_drv_get_channels [get_channels]; value: count */
    OSTREL_SIM_FAULT_PROF_START,        /* prof_drv_start [prof_start] */
    OSTREL_SIM_FAULT_PROF_STOP,         /* prof_stop [prof_stop] */
    OSTREL_SIM_FAULT_CHANNEL_READ,      /* prof_channel_read [channel_read] */
    OSTREL_SIM_FAULT_CHANNEL_POLL,      /* prof_channel_poll [channel_poll], e.g. -1 or -4 */
    OSTREL_SIM_FAULT_APPMON_INIT,       /* appmon_client_init [appmon_init] */
    OSTREL_SIM_FAULT_APPMON_REGISTER,   /* appmon_client_register [appmon_register] */
    OSTREL_SIM_FAULT_APPMON_HEARTBEAT,  /* appmon_client_heartbeat [appmon_heartbeat] */
    OSTREL_SIM_FAULT_APPMON_DEREGISTER, /* appmon_client_deregister [appmon_deregister] */
    OSTREL_SIM_FAULT_POINT_COUNT
};

/*
 * The next `times` calls of `point` (every call when times < 0) return `code`
 * at once, without doing anything else. Replaces any fault set on the point;
 * times 0 clears it. Returns 0, or -1 for an unknown point.
 */
int ostrel_sim_fault_set(int point, int code, int times);

/* As ostrel_sim_fault_set, but the next `skip` calls of `point` still succeed
 * before the fault takes effect (to fail, say, the third send of a buffer). */
int ostrel_sim_fault_set_after(int point, int code, int skip, int times);

/*
 * The next `times` calls of `point` succeed but report `value` in place of the
 * real answer (the maximum segment of drvHdcGetCapacity, the count of
 * drvGetDevNum, the entry count of prof_drv_get_channels, the value of
 * halGetDeviceInfo, drvGetPlatformInfo or halGetAPIVersion). Returns 0, or -1
 * for an unknown point or one that reports no value.
 */
int ostrel_sim_fault_set_value(int point, int64_t value, int times);

/* Clears every fault (the call counts stay). */
void ostrel_sim_fault_clear_all(void);

/* Calls made to `point` since the last reset, faulted ones included. */
uint64_t ostrel_sim_call_count(int point);

/* Name of a point as used in OSTREL_SIM_FAULTS, or NULL. */
const char* ostrel_sim_fault_name(int point);

/* drvHdcServerCreate on logical device devId returns 34 (not ready) for its
 * next `times` calls. Returns 0, or -1 for a device that does not exist. */
int ostrel_sim_device_not_ready(uint32_t devId, int times);

/* ---- HDC ---------------------------------------------------------------- */

/*
 * Host side: like drvHdcSessionConnect, but the session presents virtual
 * function vfId, as a session from a container does. The device side reads it
 * back as session attribute 3.
 */
drvError_t ostrel_sim_session_connect_vf(int peerNode, int peerDevId, uint32_t vfId,
                                         HDC_CLIENT client, HDC_SESSION* session);

enum OstrelSimHandleKind {
    OSTREL_SIM_HANDLE_CLIENT = 0,
    OSTREL_SIM_HANDLE_SERVER = 1,
    OSTREL_SIM_HANDLE_SESSION = 2
};

/* Number of handles of that kind open in this process (not yet closed or
 * destroyed): lets tests check that every session was closed. */
uint32_t ostrel_sim_open_handles(int kind);

/* ---- Profiling channels ------------------------------------------------- */

/*
 * Record written by a channel in counter mode, once per sample period, into
 * the channel's ring (48 bytes, little-endian, no padding).
 */
#define OSTREL_SIM_COUNTER_MAGIC 0x52544E43u /* "CNTR" */
struct OstrelSimCounterRecord {
    uint32_t magic;       /* OSTREL_SIM_COUNTER_MAGIC */
    uint16_t deviceId;    /* logical device id */
    uint16_t channelId;   /* channel id */
    uint32_t mode;        /* channel 8: mode of the start block (1 read, 2 write); else 0 */
    uint32_t periodMs;    /* sample period of the start record */
    uint64_t sequence;    /* 0, 1, 2, ... since the channel started */
    uint64_t timestampNs; /* monotonic clock when the record was written */
    uint64_t hitCount;    /* simulated counter values */
    uint64_t missCount;
};

/*
 * Byte number `offset` (counted from the channel's start) of the sequence that
 * a channel produces in stream mode. The sequence depends on device, channel
 * and offset, so dropped, repeated, reordered or foreign bytes are detected.
 */
uint8_t ostrel_sim_stream_byte(uint32_t devId, uint32_t channelId, uint64_t offset);
/* Fills buf with len bytes of the sequence starting at offset. */
void ostrel_sim_stream_fill(uint32_t devId, uint32_t channelId, uint64_t offset, uint8_t* buf,
                            size_t len);
/* Index of the first byte of buf that differs from the sequence at offset, or -1. */
int64_t ostrel_sim_stream_verify(uint32_t devId, uint32_t channelId, uint64_t offset,
                                 const uint8_t* buf, size_t len);

/*
 * Appends len bytes to a started channel's ring (any mode; in "manual" mode
 * this is the only way data appears). Returns the bytes taken (fewer when the
 * ring is full), or -1 when the channel does not exist or is not started.
 */
int64_t ostrel_sim_channel_inject(uint32_t devId, uint32_t channelId, const void* data, size_t len);

struct OstrelSimChannelStats {
    uint32_t started;      /* 1 while started */
    uint32_t startCount;   /* successful prof_drv_start calls since reset */
    uint32_t samplePeriod; /* period of the last start record, ms */
    uint32_t blockPeriod;  /* channel 8: period of the last configuration block, ms */
    uint32_t blockMode;    /* channel 8: mode of the last configuration block */
    uint32_t reserved;
    uint64_t produced; /* bytes put into the ring (or generated) since the last start */
    uint64_t read;     /* bytes handed out by prof_channel_read since the last start */
    uint64_t dropped;  /* bytes refused because the ring was full, since the last start */
};

/* Returns 0 and fills out, or -1 when the device or channel does not exist. */
int ostrel_sim_channel_stats(uint32_t devId, uint32_t channelId, struct OstrelSimChannelStats* out);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_SIM_CONTROL_H */
