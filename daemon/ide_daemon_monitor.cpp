#include "daemon/ide_daemon_monitor.h"

#include <atomic>

#include "common/ide_common_util.h"
#include "common/log.h"
#include "common/oru_paths.h"
#include "ostrel/appmon.h"
#include "ostrel/mm.h"

namespace {

constexpr const char* kThreadName = "ide_monitor";
constexpr const char* kDeregisterReason = "ide daemon monitor exit.";

struct MonitorCtrl {
    std::atomic<int> state{IDE_MONITOR_STARTING};
    IdeStopEvent stop;
    // Touched only by the thread that runs start and stop.
    mmThread thread{};
    bool hasThread = false;
    // Used by the monitor thread while it runs, by stop after the join.
    appmon_client_t client{};
    bool clientOpen = false;
    bool registered = false;
};

MonitorCtrl g_monitor;

bool Running() {
    int s = g_monitor.state.load();
    return s == IDE_MONITOR_CLIENT_READY || s == IDE_MONITOR_REGISTERED;
}

// Moves the state on unless stop got there first.
void Advance(int from, int to) {
    (void)g_monitor.state.compare_exchange_strong(from, to);
}

// Drops a client whose service has gone (a failed heartbeat): the loop
// connects and registers again, so a restarted service watches us again.
void DropClient() {
    appmon_client_exit(&g_monitor.client);
    g_monitor.clientOpen = false;
    g_monitor.registered = false;
    Advance(IDE_MONITOR_REGISTERED, IDE_MONITOR_CLIENT_READY);
}

void* IdeMonitorThread(void*) {
    ORU_LOGI("ide monitor thread start.");
    int ret = appmon_client_init(&g_monitor.client, analysis::orbx::common::kAppmonSocket);
    if (ret != 0) {
        ORU_LOGE("app mon client init failed with %d", ret);
        return nullptr;
    }
    g_monitor.clientOpen = true;
    ORU_LOGI("app mon client init sucess.");
    Advance(IDE_MONITOR_STARTING, IDE_MONITOR_CLIENT_READY);
    while (Running()) {
        if (!g_monitor.clientOpen) {
            if (appmon_client_init(&g_monitor.client, analysis::orbx::common::kAppmonSocket) != 0) {
                (void)g_monitor.stop.WaitFor(IDE_MONITOR_REGISTER_RETRY_MS);
                continue;
            }
            g_monitor.clientOpen = true;
            ORU_LOGI("app mon client init sucess.");
        }
        if (g_monitor.state.load() != IDE_MONITOR_REGISTERED) {
            if (appmon_client_register(&g_monitor.client, IDE_MONITOR_TIMEOUT,
                                       analysis::orbx::common::kMonitorScript) != 0) {
                (void)g_monitor.stop.WaitFor(IDE_MONITOR_REGISTER_RETRY_MS);
                continue;
            }
            g_monitor.registered = true;
            ORU_LOGI("app mon client register sucess.");
            Advance(IDE_MONITOR_CLIENT_READY, IDE_MONITOR_REGISTERED);
        }
        if (appmon_client_heartbeat(&g_monitor.client) != 0) {
            ORU_LOGW("app mon client heartbeat failed, connect again.");
            DropClient();
            (void)g_monitor.stop.WaitFor(IDE_MONITOR_REGISTER_RETRY_MS);
            continue;
        }
        (void)g_monitor.stop.WaitFor(IDE_MONITOR_HEARTBEAT_MS);
    }
    ORU_LOGI("ide monitor thread exit.");
    return nullptr;
}

}  // namespace

int IdeMonitorStart() {
    ORU_LOGI("ide daemon monitor thread starting...");
    if (g_monitor.hasThread) {
        ORU_LOGE("ide daemon monitor thread create failed(%d).", -1);
        return -1;
    }
    g_monitor.state = IDE_MONITOR_STARTING;
    g_monitor.stop.Reset();
    g_monitor.clientOpen = false;
    g_monitor.registered = false;
    int ret = IdeCreateTask(&g_monitor.thread, IdeMonitorThread, nullptr, false);
    if (ret != 0) {
        ORU_LOGE("ide daemon monitor thread create failed(%d).", ret);
        return -1;
    }
    g_monitor.hasThread = true;
    (void)mmSetThreadName(&g_monitor.thread, kThreadName);
    ORU_LOGI("ide daemon monitor thread started success.");
    return 0;
}

int IdeMonitorStop() {
    ORU_LOGI("ide daemon monitor thread stopping...");
    int ret = 0;
    if (g_monitor.hasThread) {
        g_monitor.state = IDE_MONITOR_STOPPED;
        g_monitor.stop.Set();
        ret = mmJoinTask(&g_monitor.thread);
        g_monitor.hasThread = false;
        g_monitor.thread = mmThread{};
        // The thread is gone: the client is ours to release.
        if (g_monitor.registered) {
            (void)appmon_client_deregister(&g_monitor.client, kDeregisterReason);
            g_monitor.registered = false;
        }
        if (g_monitor.clientOpen) {
            appmon_client_exit(&g_monitor.client);
            g_monitor.clientOpen = false;
        }
    }
    ORU_LOGI("ide daemon monitor thread stopped.");
    return ret;
}

int IdeMonitorGetState() {
    return g_monitor.state.load();
}
