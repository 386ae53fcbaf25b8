// The daemon's component table and its start-up.
//
// Every feature of the daemon is a component in a fixed table of 18 slots;
// a request arriving over HDC is routed to a component by its request type.
// The table is written on the main thread before any component is
// initialised and cleared only after every component was destroyed; in
// between it is read without a lock from the per-session worker threads.
#ifndef ORU_DAEMON_IDE_DAEMON_H
#define ORU_DAEMON_IDE_DAEMON_H

#include <cstdint>

#include "hdc/hdc_api.h"

// Slots of the component table.
enum IdeDaemonComponent : uint32_t {
    IDE_COMPONENT_HOOK_REG = 0,
    IDE_COMPONENT_HDC = 2,
    IDE_COMPONENT_PROFILING = 10,
    IDE_COMPONENT_MONITOR = 17,
    NR_IDE_COMPONENTS = 18,  // also "no component"
};

using IdeInitFunc = int (*)();
using IdeDestroyFunc = int (*)();
using IdeSockProcessFunc = int (*)(void* arg);  // no component fills it
// Called on a per-session worker thread with the accepted session and the
// request. The request is freed by the caller once process returns: copy what
// you keep. The caller closes the session afterwards, except for the
// profiling component, which owns the session from then on.
using IdeProcessFunc = int (*)(HDC_SESSION session, const IdeTlvReq* req);

struct IdeComponentFuncs {
    IdeInitFunc init = nullptr;
    IdeDestroyFunc destroy = nullptr;
    IdeSockProcessFunc sockProcess = nullptr;
    IdeProcessFunc process = nullptr;
};

// Copies the entry points into slot index; an index of 18 or more is ignored.
void IdeComponentRegister(uint32_t index, const IdeComponentFuncs& funcs);

// Ignores SIGPIPE, then calls init of every filled slot, 0 to 17. A failing
// component is logged and printed ("init [%s] failed"); only a failure of the
// HDC component stops the loop. 0, or -1 when the HDC component failed.
int IdeComponentsInit();

// Calls destroy of every filled slot, 17 down to 0 (failures are logged and do
// not stop the teardown), then empties every slot.
void IdeComponentsDestroy();

// The component a request is routed to; NR_IDE_COMPONENTS for none or a null
// request.
uint32_t IdeGetComponentType(const IdeTlvReq* req);
// Log names of a component index and of a request type ("default" for unknown).
const char* IdeGetComponentName(uint32_t index);
const char* IdeGetReqTypeName(uint32_t type);
// The process entry point of a slot, nullptr when empty or out of range.
IdeProcessFunc IdeGetComponentProcess(uint32_t index);

// The whole life of the daemon: single-instance lock, logging, component
// registration (registerComponents), initialisation, the HDC
// server-creation loop, teardown. SIGTERM or SIGINT ends the loop: the
// servers stop accepting, then the same teardown runs (every job finished as
// a job stop finishes it, every thread joined, the lock file removed); a
// second signal meanwhile exits at once. 0 after an orderly run or stop, -1
// when the lock is not obtained or the components fail to initialise.
using IdeRegisterComponentsFunc = void (*)();
int IdeDaemonMain(IdeRegisterComponentsFunc registerComponents);

#endif  // ORU_DAEMON_IDE_DAEMON_H
