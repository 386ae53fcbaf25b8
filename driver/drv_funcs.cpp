#include "driver/drv_funcs.h"

#include <atomic>

namespace analysis::orbx::driver {

namespace {

const DrvFuncs kLibraryFuncs = {
    prof_drv_get_channels, prof_drv_start, prof_stop,          prof_channel_read, prof_channel_poll,
    drvGetDevNum,          drvGetDevIDs,   drvGetPlatformInfo, halGetDeviceInfo,  halGetAPIVersion,
};

std::atomic<const DrvFuncs*> g_funcs{&kLibraryFuncs};

}  // namespace

const DrvFuncs& LibraryDrvFuncs() {
    return kLibraryFuncs;
}

const DrvFuncs& Drv() {
    return *g_funcs.load(std::memory_order_acquire);
}

void SetDrvFuncs(const DrvFuncs* funcs) {
    g_funcs.store(funcs != nullptr ? funcs : &kLibraryFuncs, std::memory_order_release);
}

}  // namespace analysis::orbx::driver
