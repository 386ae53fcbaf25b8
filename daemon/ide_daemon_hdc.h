// The "hdc" component: per-device HDC servers and request dispatch.
//
// Init waits for the card's devices, records one entry per physical device
// and creates an HDC client. The main thread then runs the server-creation
// loop, which starts one detached "ide_hdc_server" thread per device; each
// creates its device's HDC server (retrying every IDE_SERVER_RETRY_MS while the
// device is not ready) and accepts sessions, starting one detached "ide_hdc_process" worker
// per session. A worker reads one request packet, stamps the device's
// physical id into it and hands it to the component of its request type.
//
// Destroy stops everything: it clears the serving flags, destroys the
// servers (which wakes the threads blocked in accept), ends the
// server-creation loop and waits until every server and worker thread has
// finished before it tears the control block down. Device entries are shared
// between the table and their server thread, so a thread never sees its entry
// freed under it.
#ifndef ORU_DAEMON_IDE_DAEMON_HDC_H
#define ORU_DAEMON_IDE_DAEMON_HDC_H

#include <cstdint>

#include "hdc/hdc_api.h"

// Waits: at init the device query is tried IDE_DEVICE_WAIT_TIMES times,
// IDE_DEVICE_WAIT_MS apart; server creation is retried IDE_SERVER_RETRY_MS
// apart. All go through IdeSleep (common/ide_common_util.h).
constexpr int IDE_DEVICE_WAIT_TIMES = 600;
constexpr uint32_t IDE_DEVICE_WAIT_MS = 1000;
constexpr uint32_t IDE_SERVER_RETRY_MS = 5000;
constexpr int IDE_HDC_SERVICE_TYPE = 4;

// Component entry points. Init: 0, -1, or the device query's error after
// the last attempt. Destroy: always 0; harmless when init never ran.
int IdeDaemonHdcInit();
int IdeDaemonHdcDestroy();

// The server-creation loop; returns when destroy or IdeDaemonHdcEndLoop ends
// it, or on an internal error (semaphore, lock or thread creation).
void IdeDaemonHdcCreateServers();

// Ends the server-creation loop from a signal handler: an atomic store and
// a semaphore post, nothing else (async-signal-safe).
void IdeDaemonHdcEndLoop();

// First step of an orderly stop, before the components are destroyed: no
// session is accepted any more (the servers are destroyed, which wakes the
// threads blocked in accept), and the sessions accepted already are handed
// to their components. Waits up to IDE_STOP_SERVING_WAIT_MS for the server
// and worker threads; destroy still waits for any left.
constexpr uint32_t IDE_STOP_SERVING_WAIT_MS = 2000;
void IdeDaemonHdcStopServing();

// Adds an entry for every physical id not yet known and wakes the
// server-creation loop. Counts of 0 or above IDE_MAX_DEV_NUM are refused.
void IdeDaemonHdcRegisterDevices(uint32_t count, const uint32_t* phyIds);

// Device-up callbacks, called with (count, physical ids) at registration.
using IdeDevNotifyCallback = void (*)(uint32_t count, const uint32_t* phyIds);
// Only while the component is initialised; 0 or -1.
int IdeDaemonHdcAddNotifyCallback(IdeDevNotifyCallback callback);

// The worker's check of a received buffer of len bytes: a copy of it as a
// request packet (len + 1 bytes, zero-terminated, released with IdeXfree) when
// it is at least a header long and the header's len counts exactly the bytes
// after it; otherwise nullptr. buf stays the caller's.
IdeTlvReq* IdeCheckRequest(const void* buf, uint32_t len);

// Server and worker threads still running (tests and diagnostics).
int IdeDaemonHdcRunningThreads();

#endif  // ORU_DAEMON_IDE_DAEMON_HDC_H
