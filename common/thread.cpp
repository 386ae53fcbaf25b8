#include "common/thread.h"

#include <pthread.h>

#include "common/log.h"

namespace analysis::orbx::common::thread {

using Analysis::Orbx::GxprofErrMgr::GxprofErrorManager;

Thread::~Thread() {
    if (OnOwnThread()) {
        // Nobody is left to join this thread: let it clean up after itself.
        quit_.store(true);
        if (started_.exchange(false)) {
            (void)pthread_detach(pthread_self());
        }
        return;
    }
    if (Stop() != 0) {
        ORU_LOGW("Failed to stop thread.");
    }
}

int Thread::Start() {
    if (started_.load()) {
        return 0;
    }
    quit_.store(false);
    runner_.store(std::thread::id());
    errorContext_ = GxprofErrorManager::GetInstance().GetErrorContext();
    started_.store(true);
    mmThreadAttr attr{};
    if (mmCreateTaskWithThreadAttr(&handle_, &Thread::ThreadEntry, this, &attr) != EN_OK) {
        started_.store(false);
        handle_ = mmThread{};
        return -1;
    }
    return 0;
}

int Thread::Stop() {
    quit_.store(true);
    if (OnOwnThread()) {
        // A thread cannot join itself; the owner's Stop does it later.
        return 0;
    }
    if (!started_.exchange(false)) {
        return 0;
    }
    if (mmJoinTask(&handle_) != EN_OK) {
        return -1;
    }
    handle_ = mmThread{};
    runner_.store(std::thread::id());
    return 0;
}

void Thread::StopNoWait() {
    quit_.store(true);
}

bool Thread::OnOwnThread() const {
    return runner_.load() == std::this_thread::get_id();
}

void* Thread::ThreadEntry(void* arg) {
    Thread* self = static_cast<Thread*>(arg);
    self->runner_.store(std::this_thread::get_id());
    (void)mmSetCurrentThreadName(self->name_.c_str());
    ORU_LOGEVENT("New thread %s begins to run", self->name_.c_str());
    // Run may end by destroying the object: hand it a context of its own.
    const ErrorContext context = self->errorContext_;
    self->Run(context);
    return nullptr;
}

}  // namespace analysis::orbx::common::thread
