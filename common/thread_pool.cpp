#include "common/thread_pool.h"

#include <string>
#include <utility>

#include "common/log.h"
#include "common/make_shared.h"

namespace analysis::orbx::common::thread {

using Analysis::Orbx::GxprofErrMgr::GxprofErrorManager;

ThreadPool::ThreadPool(uint32_t mode, uint32_t threadCount)
    : threadCount_(threadCount), mode_(mode) {}

ThreadPool::~ThreadPool() {
    Stop();
}

int ThreadPool::Start() {
    if (running_.load()) {
        return 0;
    }
    if (threadCount_ == 0) {
        return -1;
    }
    for (uint32_t i = 0; i < threadCount_; ++i) {
        auto worker = MakeShared<InnnerThread>(queueCapacity_);
        if (worker == nullptr) {
            return -1;
        }
        worker->SetThreadName(namePrefix_ + std::to_string(i));
        if (worker->Start() == 0) {
            threads_.push_back(std::move(worker));
        }
    }
    running_.store(true);
    return 0;
}

void ThreadPool::Stop() {
    running_.store(false);
    for (const auto& worker : threads_) {
        if (worker->Stop() != 0) {
            ORU_LOGE("Failed to stop thread: %s", worker->GetThreadName().c_str());
        }
    }
    threads_.clear();
}

bool ThreadPool::Dispatch(const std::shared_ptr<Task>& task) {
    if (task == nullptr || !running_.load() || threads_.empty()) {
        return false;
    }
    const uint32_t key = (mode_ == kDispatchByHashId) ? task->HashId() : roundRobin_.fetch_add(1);
    return threads_[key % threads_.size()]->AddTask(task);
}

ThreadPool::InnnerThread::~InnnerThread() {
    // Run reads queue_: stop before it goes.
    (void)Stop();
}

int ThreadPool::InnnerThread::Start() {
    if (started_) {
        return 0;
    }
    queue_ = MakeShared<TaskQueue>(queueCapacity_);
    if (queue_ == nullptr) {
        return -1;
    }
    queue_->SetQueueName(GetThreadName());
    if (Thread::Start() != 0) {
        return -1;
    }
    started_ = true;
    return 0;
}

int ThreadPool::InnnerThread::Stop() {
    if (!started_) {
        return 0;
    }
    started_ = false;
    queue_->Quit();
    return Thread::Stop();
}

bool ThreadPool::InnnerThread::AddTask(std::shared_ptr<Task> task) {
    if (task == nullptr || queue_ == nullptr) {
        return false;
    }
    return queue_->Push(std::move(task));
}

void ThreadPool::InnnerThread::Run(const ErrorContext& context) {
    GxprofErrorManager::GetInstance().SetErrorContext(context);
    while (true) {
        std::shared_ptr<Task> task;
        if (!queue_->TryPop(task)) {
            if (IsQuit()) {
                return;
            }
            // Empty-handed only once the queue is quit and drained.
            if (!queue_->Pop(task)) {
                return;
            }
        }
        task->Execute();
    }
}

}  // namespace analysis::orbx::common::thread
