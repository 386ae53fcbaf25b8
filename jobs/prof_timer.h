// The daemon's sampling timer. One thread, "KTRX_ProfTimer", runs while any
// system-information job needs it. A pass calls Execute on every registered
// TimerHandler, in increasing tag order; each handler decides by itself
// whether its interval has elapsed. Between passes the thread sleeps until
// the handler due first is due (each says how long that is, DueInNs), but at
// least the timer's pause; registering or removing a handler, or stopping
// the timer, wakes it at once.
//
// TimerManager (process-wide) starts the timer for the first user and stops
// it when the last one leaves; jobs register and remove their handlers
// through it.
//
// Lock order: TimerManager::mutex_, then ProfTimer::mutex_. The timer thread
// takes only ProfTimer::mutex_ and runs every handler under it; registration
// and removal take the same mutex, so a handler is never executed while it
// is being removed (or after its removal returned). A removed handler is
// Uninited after the mutex is released, so its last upload never holds up
// the passes of the other handlers. The timer serves every job: a handler's
// Execute must never wait for one job (its upload queue included).
#ifndef ORU_JOBS_PROF_TIMER_H
#define ORU_JOBS_PROF_TIMER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "common/singleton.h"
#include "common/thread.h"

namespace Analysis::Orbx::JobWrapper {

// Monotonic nanoseconds. The handlers' clock; tests give their own.
using TimeSource = std::function<uint64_t()>;
// How the timer thread waits between passes: blocks on cv, with lock held
// (and released while blocked), until cv is notified or the given
// nanoseconds have passed; it may return early. Tests give their own.
using TimerWait =
    std::function<void(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t)>;

// The daemon's clock (Utils::GetTimeNs) and the wait on the same monotonic
// clock.
TimeSource DefaultTimeSource();
TimerWait DefaultTimerWait();

// For a handler that works at most once per interval: nanoseconds from now
// until the interval has elapsed since lastTime, 0 when it has or when
// lastTime is 0 (nothing done yet). Agrees with the check
// "lastTime == 0 || now - lastTime >= interval".
inline uint64_t TimeUntilDue(uint64_t lastTime, uint64_t interval, uint64_t now) {
    if (lastTime == 0 || now - lastTime >= interval) {
        return 0;
    }
    return interval - (now - lastTime);
}

// Something the timer calls on every pass.
//
// Threading: Execute runs on the timer thread under the timer's mutex. Init
// runs before registration; Uninit runs once the handler is off the timer
// (at removal or at the timer's stop), never concurrently with Execute.
class TimerHandler {
  public:
    explicit TimerHandler(uint32_t tag) : tag_(tag) {}
    TimerHandler(const TimerHandler&) = delete;
    TimerHandler& operator=(const TimerHandler&) = delete;
    virtual ~TimerHandler() = default;

    virtual void Execute() = 0;
    virtual int Init() = 0;
    virtual int Uninit() = 0;
    // Nanoseconds from now until Execute has work to do again, by the
    // handler's own clock; 0 when the next pass should call it. Called on the
    // timer thread after each pass, as Execute. By default 0: the handler is
    // called on every pass, one pause apart.
    virtual uint64_t DueInNs() const { return 0; }

    uint32_t GetTag() const { return tag_; }

  private:
    const uint32_t tag_;
};

struct TimerParam {
    explicit TimerParam(uint64_t pause) : pauseUs(pause) {}
    uint64_t pauseUs;  // least pause between two passes, microseconds
};

class ProfTimer : public analysis::orbx::common::thread::Thread {
  public:
    // The longest the thread sleeps without looking at its handlers again,
    // whatever they say.
    static constexpr uint64_t kLongestWaitNs = 60ULL * 1000000000ULL;

    // A null wait means the daemon's own.
    explicit ProfTimer(std::shared_ptr<TimerParam> param, TimerWait wait = nullptr);
    // Stops the thread and releases every handler.
    ~ProfTimer() override;

    // Replaces the handler of tag; the next pass comes at once.
    void RegisterTimerHandler(uint32_t tag, std::shared_ptr<TimerHandler> handler);
    // Uninits and drops the handler of tag, when there is one.
    void RemoveTimerHandler(uint32_t tag);

    // Starts the thread: 0, or -1 when it already runs or cannot be created.
    int Start() override;
    // Wakes and ends the thread, joins it, then Uninits and drops every
    // handler in tag order. 0, or -1 when the join failed.
    // REQUIRES: not on the timer thread.
    int Stop() override;

    // The timer loop: a pass over the handlers, a sleep until the first of
    // them is due, until stopped.
    void Run(const analysis::orbx::common::thread::ErrorContext& context) override;

  private:
    static constexpr uint64_t kDefaultPauseUs = 1000;

    // Runs every handler once. REQUIRES: mutex_ held.
    void RunPass();
    // How long to sleep after a pass: until the first handler is due, at
    // least the pause, at most kLongestWaitNs. REQUIRES: mutex_ held.
    uint64_t NextWaitNs() const;
    // Notifies the thread under mutex_, so that a wake between its last look
    // at the handlers and its wait is not lost.
    void Wake();

    // Constant after construction.
    const uint64_t pauseNs_;
    const TimerWait wait_;

    // Written by Start and Stop, read by the timer thread.
    std::atomic<bool> isStarted_{false};

    std::mutex mutex_;              // after TimerManager::mutex_; held while handlers run
    std::condition_variable wake_;  // waited on with mutex_
    std::map<uint32_t, std::shared_ptr<TimerHandler>> handlers_;  // guarded by mutex_
};

class TimerManager : public analysis::orbx::common::singleton::Singleton<TimerManager> {
  public:
    TimerManager() = default;
    ~TimerManager() override = default;

    // Counts one more user; the first one starts a new timer. 0, or -1 when
    // the timer could not be created or started (the user is then not
    // counted and must not call StopProfTimer).
    int StartProfTimer();
    // Counts one user less; the last one stops the timer, which releases
    // every handler still registered (after the manager's mutex is released:
    // another job's start does not wait for the timer thread to end).
    // Without users it does nothing.
    void StopProfTimer();

    // Forwarded to the timer, when there is one.
    void RegisterTimerHandler(uint32_t tag, std::shared_ptr<TimerHandler> handler);
    void RemoveTimerHandler(uint32_t tag);

  private:
    static constexpr uint64_t kTimerPauseUs = 1000;

    std::mutex mutex_;                  // before ProfTimer::mutex_
    uint32_t refCount_ = 0;             // guarded by mutex_
    std::shared_ptr<ProfTimer> timer_;  // guarded by mutex_; kept after a stop
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_TIMER_H
