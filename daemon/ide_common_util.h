// Threads and waits of the daemon core.
//
// Every wait of the daemon core (the device wait, the server-creation retries,
// the polling read, the monitor's pauses, Utils::Usleep) goes through
// IdeSleep, whose implementation can be replaced: tests install a function
// that records the requested time and returns at once, so they never spend
// the daemon's real waiting time.
#ifndef ORU_DAEMON_IDE_COMMON_UTIL_H
#define ORU_DAEMON_IDE_COMMON_UTIL_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "ostrel/mm.h"

// Stack size of the daemon core's own threads (server, worker, monitor).
constexpr uint32_t kIdeThreadStackSize = 0x20000;

using IdeSleepFunc = void (*)(uint32_t milliseconds);

// Replaces the sleep of the daemon core; nullptr restores the real one
// (mmSleep). Tests only; safe to call from any thread.
void IdeSetSleepFunc(IdeSleepFunc fn);

// Sleeps milliseconds through the installed sleep.
void IdeSleep(uint32_t milliseconds);

// Starts func(arg) on a thread with a stack of kIdeThreadStackSize and default
// scheduling;
// detached when detach is true. 0 on success, else the platform's error (-1).
int IdeCreateTask(mmThread* thread, mmThreadFunc func, void* arg, bool detach);

// A wait that a stop can cut short.
//
// WaitFor(ms) returns once ms milliseconds passed or Set() was called,
// whichever comes first. When a test has replaced the sleep (IdeSetSleepFunc)
// the time is spent in that function instead, and Set() is noticed when it
// returns. Safe for concurrent use.
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

#endif  // ORU_DAEMON_IDE_COMMON_UTIL_H
