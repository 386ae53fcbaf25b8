// The monitor component: registers the daemon with the card's
// application-monitor service and sends it a heartbeat every
// IDE_MONITOR_HEARTBEAT_MS from the "ide_monitor" thread. A failed heartbeat
// means the service has gone: the thread drops its client and connects and
// registers again, IDE_MONITOR_REGISTER_RETRY_MS apart, until the service is
// back.
//
// The client record is used by the monitor thread only; stop wakes the thread
// at once (no waiting out a pause), joins it, and only then deregisters and
// releases the client.
#ifndef ORU_DAEMON_IDE_DAEMON_MONITOR_H
#define ORU_DAEMON_IDE_DAEMON_MONITOR_H

#include <cstdint>

// States of the monitor.
enum IdeMonitorState : int {
    IDE_MONITOR_STARTING = 0,
    IDE_MONITOR_CLIENT_READY = 1,
    IDE_MONITOR_REGISTERED = 2,
    IDE_MONITOR_STOPPED = 3,
};

// Pauses of the monitor thread (through IdeSleep when tests replace it).
constexpr uint32_t IDE_MONITOR_REGISTER_RETRY_MS = 1000;
constexpr uint32_t IDE_MONITOR_HEARTBEAT_MS = 3000;
// Passed to the service at registration.
constexpr unsigned long IDE_MONITOR_TIMEOUT = 9000;

// Component entry points. Start: 0, or -1 when the thread can't be created.
// Stop: the join result (0 without a thread).
int IdeMonitorStart();
int IdeMonitorStop();

int IdeMonitorGetState();

#endif  // ORU_DAEMON_IDE_DAEMON_MONITOR_H
