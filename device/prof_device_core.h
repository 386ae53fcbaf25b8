// Entry points of the profiling component (slot 10 of the component table).
// Process is called on a per-session worker thread with the accepted session
// and its request packet; from then on this component owns the session.
#ifndef ORU_DEVICE_PROF_DEVICE_CORE_H
#define ORU_DEVICE_PROF_DEVICE_CORE_H

#include "hdc/hdc_api.h"

int IdeDeviceProfileInit();
int IdeDeviceProfileProcess(HDC_SESSION session, const IdeTlvReq* request);
int IdeDeviceProfileCleanup();

#endif  // ORU_DEVICE_PROF_DEVICE_CORE_H
