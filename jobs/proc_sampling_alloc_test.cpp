// The steady state of the /proc sampling allocates nothing (this program replaces the global
// operator new to count).
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "jobs/proc_all_pids_handler.h"
#include "testing/sampling_test_support.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_allocations{0};

void* CountedAlloc(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// Every plain form is replaced, so each allocation and release pair up (malloc and free).
void* operator new(size_t size) {
    if (void* p = CountedAlloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    if (void* p = CountedAlloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return CountedAlloc(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return CountedAlloc(size);
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t /*size*/) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t /*size*/) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace Analysis::Orbx::JobWrapper {
namespace {

using testing::FakeProc;
using testing::MakeJobContext;
using testing::UploadRecorder;

TEST(ProcSamplingAllocationTest, PassOverKnownProcessesAllocatesNothing) {
    FakeProc proc;
    proc.Write("stat", "cpu  1 2 3 4 5 6 7 8 9 10\ncpu0 1 2 3\nintr 1\n");
    for (uint32_t pid = 1; pid <= 20; ++pid) {
        proc.AddProcess(pid * 7, "a-rather-long-name");
    }
    UploadRecorder upload;
    ProcAllPidsFileHandler handler(2, 0, 0, nullptr, MakeJobContext("job", "0", "tag"),
                                   upload.uploader());
    handler.SetProcRoot(proc.Root());
    uint64_t now = 1;
    handler.SetTimeSource([&now] { return ++now; });
    ASSERT_EQ(handler.Init(), 0);
    handler.Execute();  // the first pass sizes the readers and texts

    g_allocations.store(0);
    g_counting.store(true);
    for (int pass = 0; pass < 5; ++pass) {  // ~100 bytes a record: no buffer fills
        handler.Execute();
    }
    g_counting.store(false);
    EXPECT_EQ(g_allocations.load(), 0u);

    EXPECT_EQ(handler.Uninit(), 0);
    EXPECT_EQ(upload.SentByFile().size(), 40u);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
