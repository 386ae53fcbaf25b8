// Fault injection: per call site, a chosen result for a chosen number of calls.
#ifndef OSTREL_SIM_HAL_SIM_FAULTS_H
#define OSTREL_SIM_HAL_SIM_FAULTS_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/sim_control.h"

namespace ostrel::sim {

struct Config;

// What the next call of a point must do.
struct Injection {
    bool fail = false;  // return `code` at once
    int code = 0;
    bool override = false;  // succeed, reporting `value`
    int64_t value = 0;
};

class Faults {
  public:
    static Faults& Instance();

    // Counts one call of `point` and consumes one use of its fault, if any.
    Injection Check(int point);
    // True (and one use consumed) while the device is set not to be ready.
    bool DeviceNotReady(uint32_t devId);

    int SetCode(int point, int code, int times, int skip = 0);
    int SetValue(int point, int64_t value, int times);
    int SetDeviceNotReady(uint32_t devId, int times);
    void ClearFaults();
    uint64_t Calls(int point);

    // Forgets every fault and count and applies the faults named by the
    // settings (OSTREL_SIM_FAULTS).
    void Load(const Config& config);

    static const char* Name(int point);
    static bool ReportsValue(int point);

  private:
    struct Slot {
        Injection injection;
        int remaining = 0;  // < 0: every call
        int skip = 0;       // calls that still succeed before the fault
        uint64_t calls = 0;
    };

    bool ApplyItemLocked(const std::string& item);

    std::mutex mu_;
    Slot slots_[OSTREL_SIM_FAULT_POINT_COUNT];  // guarded by mu_
    std::vector<int> notReady_;                 // guarded by mu_; per logical device
};

}  // namespace ostrel::sim

#endif  // OSTREL_SIM_HAL_SIM_FAULTS_H
