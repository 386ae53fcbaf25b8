// oru: the device-side profiling daemon. Started without arguments.
#include "daemon/ide_daemon.h"
#include "daemon/ide_daemon_hdc.h"
#include "daemon/ide_daemon_monitor.h"

namespace {

// Every component of the daemon, registered in this order: monitor, HDC,
// profiling.
void RegisterComponents() {
    IdeComponentFuncs monitor;
    monitor.init = IdeMonitorStart;
    monitor.destroy = IdeMonitorStop;
    IdeComponentRegister(IDE_COMPONENT_MONITOR, monitor);

    IdeComponentFuncs hdc;
    hdc.init = IdeDaemonHdcInit;
    hdc.destroy = IdeDaemonHdcDestroy;
    IdeComponentRegister(IDE_COMPONENT_HDC, hdc);

    // The profiling component goes here, last (IDE_COMPONENT_PROFILING):
    // init IdeDeviceProfileInit, destroy IdeDeviceProfileCleanup,
    // process IdeDeviceProfileProcess.
}

}  // namespace

int main() {
    return IdeDaemonMain(RegisterComponents);
}
