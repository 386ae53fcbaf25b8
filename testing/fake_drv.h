// Test support: answers for the card driver. A ScopedFakeDrv routes every
// driver entry point through a hook; an unset hook calls the driver library.
// Set the hooks before starting threads that call the driver.
#ifndef ORU_TESTING_FAKE_DRV_H
#define ORU_TESTING_FAKE_DRV_H

#include <functional>

#include "driver/drv_funcs.h"

namespace analysis::orbx::driver::testing {

struct DrvHooks {
    std::function<int(uint32_t, ProfChannelList*)> profDrvGetChannels;
    std::function<int(uint32_t, uint32_t, ProfStartPara*)> profDrvStart;
    std::function<int(uint32_t, uint32_t)> profStop;
    std::function<int(uint32_t, uint32_t, char*, uint32_t)> profChannelRead;
    std::function<int(ProfPollInfo*, int, int)> profChannelPoll;
    std::function<drvError_t(uint32_t*)> getDevNum;
    std::function<drvError_t(uint32_t*, uint32_t)> getDevIDs;
    std::function<drvError_t(uint32_t*)> getPlatformInfo;
    std::function<drvError_t(uint32_t, int32_t, int32_t, int64_t*)> getDeviceInfo;
    std::function<drvError_t(uint32_t*)> getApiVersion;
};

inline DrvHooks& Hooks() {
    static DrvHooks hooks;
    return hooks;
}

class ScopedFakeDrv {
  public:
    ScopedFakeDrv() {
        Hooks() = DrvHooks{};
        SetDrvFuncs(&kTable);
    }
    ~ScopedFakeDrv() {
        SetDrvFuncs(nullptr);
        Hooks() = DrvHooks{};
    }
    ScopedFakeDrv(const ScopedFakeDrv&) = delete;
    ScopedFakeDrv& operator=(const ScopedFakeDrv&) = delete;

    DrvHooks& hooks() { return Hooks(); }

  private:
    template <class Hook, class Lib, class... Args>
    static int Call(Hook& hook, Lib lib, Args... args) {
        return hook ? hook(args...) : lib(args...);
    }

    static inline const DrvFuncs kTable = {
        [](uint32_t d, ProfChannelList* l) {
            return Call(Hooks().profDrvGetChannels, LibraryDrvFuncs().profDrvGetChannels, d, l);
        },
        [](uint32_t d, uint32_t c, ProfStartPara* p) {
            return Call(Hooks().profDrvStart, LibraryDrvFuncs().profDrvStart, d, c, p);
        },
        [](uint32_t d, uint32_t c) {
            return Call(Hooks().profStop, LibraryDrvFuncs().profStop, d, c);
        },
        [](uint32_t d, uint32_t c, char* b, uint32_t n) {
            return Call(Hooks().profChannelRead, LibraryDrvFuncs().profChannelRead, d, c, b, n);
        },
        [](ProfPollInfo* o, int n, int t) {
            return Call(Hooks().profChannelPoll, LibraryDrvFuncs().profChannelPoll, o, n, t);
        },
        [](uint32_t* n) { return Call(Hooks().getDevNum, LibraryDrvFuncs().getDevNum, n); },
        [](uint32_t* d, uint32_t n) {
            return Call(Hooks().getDevIDs, LibraryDrvFuncs().getDevIDs, d, n);
        },
        [](uint32_t* i) {
            return Call(Hooks().getPlatformInfo, LibraryDrvFuncs().getPlatformInfo, i);
        },
        [](uint32_t d, int32_t m, int32_t t, int64_t* v) {
            return Call(Hooks().getDeviceInfo, LibraryDrvFuncs().getDeviceInfo, d, m, t, v);
        },
        [](uint32_t* v) { return Call(Hooks().getApiVersion, LibraryDrvFuncs().getApiVersion, v); },
    };
};

}  // namespace analysis::orbx::driver::testing

#endif  // ORU_TESTING_FAKE_DRV_H
