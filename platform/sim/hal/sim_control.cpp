// Test-only control of the simulated card (ostrel/sim_control.h).
#include "ostrel/sim_control.h"

#include "hdc_objects.h"
#include "prof_channels.h"
#include "sim_config.h"
#include "sim_faults.h"

using namespace ostrel::sim;

extern "C" {

void ostrel_sim_reset(void) {
    for (auto& object : HandleTable::Instance().TakeAll()) {
        object->Close();
    }
    ChannelHub::Instance().Reset();
    ReloadConfig();
}

int ostrel_sim_fault_set(int point, int code, int times) {
    return Faults::Instance().SetCode(point, code, times);
}

int ostrel_sim_fault_set_after(int point, int code, int skip, int times) {
    return Faults::Instance().SetCode(point, code, times, skip);
}

int ostrel_sim_fault_set_value(int point, int64_t value, int times) {
    return Faults::Instance().SetValue(point, value, times);
}

void ostrel_sim_fault_clear_all(void) {
    Faults::Instance().ClearFaults();
}

uint64_t ostrel_sim_call_count(int point) {
    return Faults::Instance().Calls(point);
}

const char* ostrel_sim_fault_name(int point) {
    return Faults::Name(point);
}

int ostrel_sim_device_not_ready(uint32_t devId, int times) {
    return Faults::Instance().SetDeviceNotReady(devId, times);
}

}  // extern "C"
