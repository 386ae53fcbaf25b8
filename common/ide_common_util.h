// Threads and waits of the daemon core.
//
// Every wait of the daemon core (the device wait, the server-creation retries,
// the polling read, the monitor's pauses, Utils::Usleep) goes through the
// process clock (common/clock.h), which tests replace so that they never
// spend the daemon's real waiting time.
#ifndef ORU_COMMON_IDE_COMMON_UTIL_H
#define ORU_COMMON_IDE_COMMON_UTIL_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "ostrel/mm.h"

// Stack size of the daemon core's own threads (server, worker, monitor).
constexpr uint32_t kIdeThreadStackSize = 0x20000;

// Sleeps milliseconds on the process clock.
void IdeSleep(uint32_t milliseconds);

// Starts func(arg) on a thread with a stack of kIdeThreadStackSize and default
// scheduling;
// detached when detach is true. 0 on success, else the platform's error (-1).
int IdeCreateTask(mmThread* thread, mmThreadFunc func, void* arg, bool detach);

// A wait that a stop can cut short.
//
// WaitFor(ms) returns once ms milliseconds passed on the process clock or
// Set() was called, whichever comes first. Safe for concurrent use.
class IdeStopEvent {
  public:
    // true when the whole time passed, false when the event is (or became) set.
    bool WaitFor(uint32_t milliseconds);
    void Set();
    void Reset();
    bool IsSet();

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool set_ = false;  // guarded by mu_
};

#endif  // ORU_COMMON_IDE_COMMON_UTIL_H
