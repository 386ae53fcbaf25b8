#include "daemon/ide_daemon.h"

#include <cstdio>

#include "common/log.h"
#include "daemon/ide_daemon_hdc.h"
#include "daemon/ide_platform_util.h"
#include "ostrel/mm.h"

namespace {

// The component table: four parallel arrays of entry points.
struct IdeComponents {
    IdeInitFunc init[NR_IDE_COMPONENTS];
    IdeDestroyFunc destroy[NR_IDE_COMPONENTS];
    IdeSockProcessFunc sockProcess[NR_IDE_COMPONENTS];
    IdeProcessFunc process[NR_IDE_COMPONENTS];
};

IdeComponents ideComponents = {};

// Request types and the components they are routed to.
struct IdeReqTypeRow {
    uint32_t component;
    uint32_t reqType;
    const char* name;
    const char* secondName;
};

constexpr IdeReqTypeRow kReqTypes[] = {
    {IDE_COMPONENT_HOOK_REG, IDE_HOOK_REG_REQ, "hook_reg", nullptr},
    {IDE_COMPONENT_HDC, IDE_HOOK_REG_REQ, "hdc", nullptr},
    {IDE_COMPONENT_PROFILING, IDE_PROFILING_REQ, "profiling", "Profiling"},
    {NR_IDE_COMPONENTS, IDE_INVALID_REQ, "default", nullptr},
};

constexpr const char* kDefaultName = "default";

}  // namespace

void IdeComponentRegister(uint32_t index, const IdeComponentFuncs& funcs) {
    if (index >= NR_IDE_COMPONENTS) {
        return;
    }
    ideComponents.init[index] = funcs.init;
    ideComponents.destroy[index] = funcs.destroy;
    ideComponents.sockProcess[index] = funcs.sockProcess;
    ideComponents.process[index] = funcs.process;
}

int IdeComponentsInit() {
    int err = IdeDaemonSubInit();
    if (err != 0) {
        ORU_LOGE("ide_Daemon_sub_init failed, err: %d", err);
        return -1;
    }
    for (uint32_t i = 0; i < NR_IDE_COMPONENTS; ++i) {
        if (ideComponents.init[i] == nullptr) {
            continue;
        }
        const char* name = IdeGetComponentName(i);
        if (ideComponents.init[i]() != 0) {
            ORU_LOGE("call [%s] init function failed", name);
            printf("init [%s] failed\n", name);
            fflush(stdout);
            if (i == IDE_COMPONENT_HDC) {
                return -1;
            }
            continue;
        }
        ORU_LOGI("call [%s] init function succ", name);
    }
    ORU_LOGI("Daemon Init done");
    return 0;
}

void IdeComponentsDestroy() {
    for (uint32_t i = NR_IDE_COMPONENTS; i-- > 0;) {
        if (ideComponents.destroy[i] == nullptr) {
            continue;
        }
        const char* name = IdeGetComponentName(i);
        if (ideComponents.destroy[i]() != 0) {
            ORU_LOGE("call ideComponents Funcs destroy[%s] failed", name);
        } else {
            ORU_LOGI("call ideComponents Funcs destroy[%s] success", name);
        }
    }
    ideComponents = IdeComponents{};
}

uint32_t IdeGetComponentType(const IdeTlvReq* req) {
    if (req == nullptr) {
        ORU_LOGE("input req is nullptr");
        return NR_IDE_COMPONENTS;
    }
    for (const auto& row : kReqTypes) {
        if (row.reqType == req->type) {
            return row.component;
        }
    }
    return NR_IDE_COMPONENTS;
}

const char* IdeGetComponentName(uint32_t index) {
    for (const auto& row : kReqTypes) {
        if (row.component == index) {
            return row.name;
        }
    }
    return kDefaultName;
}

const char* IdeGetReqTypeName(uint32_t type) {
    for (const auto& row : kReqTypes) {
        if (row.reqType == type) {
            return row.name;
        }
    }
    return kDefaultName;
}

IdeProcessFunc IdeGetComponentProcess(uint32_t index) {
    return index < NR_IDE_COMPONENTS ? ideComponents.process[index] : nullptr;
}

int IdeDaemonMain(IdeRegisterComponentsFunc registerComponents) {
    (void)mmUmask(022);
    // Before any thread exists: every thread inherits the blocked stop
    // signals, and only the main thread unblocks them once serving starts.
    int err = IdeStopSignalsBlock();
    int lockFd = -1;
    if (IdeSingleProcessLock(&lockFd) != IDE_LOCK_OK) {
        // The lock file is left alone: it may be the lock of a running instance.
        ORU_LOGE("single process start error");
        return -1;
    }
    IdeLogInit();
    if (registerComponents != nullptr) {
        registerComponents();
    }

    int result = 0;
    if (IdeComponentsInit() != 0) {
        if (IdeStopSignalPending()) {
            // Stopped before serving: an orderly stop, not a failure.
            ORU_LOGEVENT("oru stopped before serving");
        } else {
            ORU_LOGE("oru init failed, exit");
            printf("oru init failed, exit\n");
            fflush(stdout);
            result = -1;
        }
    } else {
        err = err != 0 ? err : IdeStopSignalsArm(IdeDaemonHdcEndLoop);
        if (err != 0) {
            ORU_LOGE("stop signal handler not installed, err: %d", err);
        }
        IdeDaemonHdcCreateServers();
        if (IdeStopRequested()) {
            // Jobs are finished by the profiling component's destroy; no new
            // session may start one meanwhile.
            ORU_LOGEVENT("oru received a stop signal, stopping");
            IdeDaemonHdcStopServing();
        }
    }

    IdeComponentsDestroy();
    ORU_LOGI("Components Destroy success.");
    (void)mmSACleanup();
    ORU_LOGI("SACleanup success.");

    IdeSingleProcessUnlock(lockFd);
    ORU_LOGEVENT("oru start up exit");
    return result;
}
