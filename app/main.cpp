// oru: the device-side profiling daemon. Started without arguments.
#include "daemon/ide_daemon.h"
#include "daemon/ide_daemon_hdc.h"
#include "daemon/ide_daemon_monitor.h"
#include "device/prof_device_core.h"

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

    IdeComponentFuncs profiling;
    profiling.init = IdeDeviceProfileInit;
    profiling.destroy = IdeDeviceProfileCleanup;
    profiling.process = IdeDeviceProfileProcess;
    IdeComponentRegister(IDE_COMPONENT_PROFILING, profiling);
}

}  // namespace

int main() {
    return IdeDaemonMain(RegisterComponents);
}
