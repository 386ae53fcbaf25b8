// Base of every long-lived worker thread of the profiling service (receiver,
// uploader, channel poller, timer, pool workers). A subclass implements Run;
// Run loops poll IsQuit and return once it is set.
//
// Threading: Start, Stop and SetThreadName are called by the owner from one
// thread at a time. IsQuit and StopNoWait are safe from any thread. Stop may
// also be called from the thread's own Run: it then only sets quit and
// returns, and the owner's later Stop (or the destructor) joins the thread.
//
// A subclass whose Run uses its own members must stop the thread in its own
// destructor: by the time ~Thread runs, those members are gone.
#ifndef ORU_COMMON_THREAD_H
#define ORU_COMMON_THREAD_H

#include <atomic>
#include <string>
#include <thread>

#include "common/gxprof_error_manager.h"
#include "ostrel/mm.h"

namespace analysis::orbx::common::thread {

using ErrorContext = Analysis::Orbx::GxprofErrMgr::ErrorContext;

class Thread {
  public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Stops and joins the thread; a failure is logged as a warning. Destroyed
    // on its own thread (the body dropped the last reference), the thread is
    // detached instead, and Run must not touch the object afterwards.
    virtual ~Thread();

    // 0 when already started. Otherwise clears quit, copies the caller's
    // error context and creates a joinable thread with default attributes
    // that runs Run: 0 on success, -1 when the thread could not be created.
    virtual int Start();

    // Sets quit and joins the thread: 0 when it was not started or has been
    // joined, -1 when the join failed. From the thread itself: sets quit only.
    virtual int Stop();

    // Sets quit only; the thread ends when its Run notices.
    virtual void StopNoWait();

    bool IsQuit() const { return quit_.load(); }

    // REQUIRES: before Start. Also becomes the OS thread name (cut to 15
    // characters by the OS layer).
    void SetThreadName(const std::string& name) { name_ = name; }
    const std::string& GetThreadName() const { return name_; }

    // The thread body, given a copy of the error context of the thread that
    // called Start. Public so that a test can call a body directly,
    // without Start.
    virtual void Run(const ErrorContext& context) = 0;

  private:
    static void* ThreadEntry(void* arg);
    bool OnOwnThread() const;

    // Written by the owner only.
    mmThread handle_{};
    std::string name_;
    ErrorContext errorContext_;

    // Read by the running thread while the owner writes them.
    std::atomic<bool> quit_{false};
    std::atomic<bool> started_{false};
    // The running thread's id, published by the thread itself on entry;
    // default while no thread of this object runs.
    std::atomic<std::thread::id> runner_{};
};

}  // namespace analysis::orbx::common::thread

#endif  // ORU_COMMON_THREAD_H
