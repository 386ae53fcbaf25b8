#include "jobs/collection_register.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using ::testing::NiceMock;
using ::testing::Return;

class MockJob : public ICollectionJob {
  public:
    explicit MockJob(bool global = false) {
        ON_CALL(*this, IsGlobalJobLevel()).WillByDefault(Return(global));
    }
    MOCK_METHOD(int, Init, (const std::shared_ptr<CollectionJobCfg> cfg), (override));
    MOCK_METHOD(int, Process, (), (override));
    MOCK_METHOD(int, Uninit, (), (override));
    MOCK_METHOD(bool, IsGlobalJobLevel, (), (override));
};

std::shared_ptr<NiceMock<MockJob>> Job(bool global = false) {
    return std::make_shared<NiceMock<MockJob>>(global);
}

class CollectionRegisterMgrTest : public ::testing::Test {
  protected:
    analysis::orbx::common::TestLogCapture logs_;
    CollectionRegisterMgr registry_;
};

TEST_F(CollectionRegisterMgrTest, RegisterAndUnregisterPassTheJobsResultsThroughAndRefuseBadSlots) {
    auto job = Job();
    EXPECT_CALL(*job, Process()).Times(0);
    EXPECT_EQ(-1, registry_.CollectionJobRegisterAndRun(0, kJobTagNum, job));
    EXPECT_EQ(-1, registry_.CollectionJobRegisterAndRun(-1, 2, job));
    EXPECT_EQ(-1, registry_.CollectionJobUnregisterAndStop(0, kJobTagNum));
    ::testing::Mock::VerifyAndClearExpectations(job.get());
    EXPECT_CALL(*job, Process()).WillOnce(Return(7));
    EXPECT_EQ(7, registry_.CollectionJobRegisterAndRun(3, kMaxJobTag, job));
    EXPECT_TRUE(logs_.Has("Collection Job Registeter, devId:3 jobTag:38"));
    EXPECT_CALL(*job, Uninit()).WillOnce(Return(-5));
    EXPECT_EQ(-5, registry_.CollectionJobUnregisterAndStop(3, kMaxJobTag));
    EXPECT_TRUE(logs_.Has("Collection Job Unregisteter, devId:3 jobTag:38"));
    EXPECT_EQ(-1, registry_.CollectionJobUnregisterAndStop(3, kMaxJobTag));

    // Neither another tag nor another device reaches a registered job.
    EXPECT_CALL(*job, Process()).WillOnce(Return(0));
    ASSERT_EQ(0, registry_.CollectionJobRegisterAndRun(0, 4, job));
    EXPECT_CALL(*job, Uninit()).Times(0);
    EXPECT_EQ(-1, registry_.CollectionJobUnregisterAndStop(0, 5));
    EXPECT_EQ(-1, registry_.CollectionJobUnregisterAndStop(1, 4));
}

TEST_F(CollectionRegisterMgrTest, APerDeviceTagRunsOncePerDeviceAGlobalOneOncePerCard) {
    auto first = Job();
    auto second = Job();
    auto other = Job();
    EXPECT_CALL(*first, Process()).WillOnce(Return(0));
    EXPECT_CALL(*second, Process()).Times(0);
    EXPECT_CALL(*other, Process()).WillOnce(Return(0));
    EXPECT_EQ(0, registry_.CollectionJobRegisterAndRun(0, 2, first));
    EXPECT_EQ(-1, registry_.CollectionJobRegisterAndRun(0, 2, second));
    EXPECT_EQ(0, registry_.CollectionJobRegisterAndRun(1, 2, other));

    EXPECT_CALL(*first, Uninit()).WillOnce(Return(0));
    EXPECT_EQ(0, registry_.CollectionJobUnregisterAndStop(0, 2));
    EXPECT_CALL(*second, Process()).WillOnce(Return(0));
    EXPECT_EQ(0, registry_.CollectionJobRegisterAndRun(0, 2, second));

    // A global job blocks its tag on every other device.
    auto global = Job(true);
    auto late = Job(true);
    EXPECT_CALL(*global, Process()).WillOnce(Return(0));
    EXPECT_CALL(*late, Process()).Times(0);
    ASSERT_EQ(0, registry_.CollectionJobRegisterAndRun(0, 3, global));
    EXPECT_EQ(-1, registry_.CollectionJobRegisterAndRun(1, 3, late));
    EXPECT_TRUE(logs_.Has("IsGlobalJobLevel, devId:0 jobTag:3"));

    int devId = 1;
    EXPECT_FALSE(registry_.IsGlobalJobLevel(devId, 3));
    EXPECT_EQ(0, devId);  // the holder

    // Device 1 cannot stop device 0's job; device 0 can.
    EXPECT_CALL(*global, Uninit()).Times(0);
    EXPECT_EQ(-1, registry_.CollectionJobUnregisterAndStop(1, 3));
    std::shared_ptr<ICollectionJob> found;
    EXPECT_FALSE(registry_.GetAndDelCollectionJob(1, 3, found));
    EXPECT_EQ(nullptr, found);
    ::testing::Mock::VerifyAndClearExpectations(global.get());
    EXPECT_CALL(*global, Uninit()).WillOnce(Return(0));
    EXPECT_EQ(0, registry_.CollectionJobUnregisterAndStop(0, 3));
}

// A job's start or stop may wait for the device: meanwhile others register and unregister.
TEST_F(CollectionRegisterMgrTest, StartsAndStopsRunOutsideTheMutexAndKeepTheirSlot) {
    for (const bool stopping : {true, false}) {
        SCOPED_TRACE(stopping ? "a stop waits" : "a start waits");
        CollectionRegisterMgr registry;
        std::promise<void> entered;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        auto waiting = [&entered, released] {
            entered.set_value();
            released.wait();
            return -1;
        };
        auto slow = Job(true);
        std::future<int> slowCall;
        if (stopping) {
            EXPECT_CALL(*slow, Process()).WillOnce(Return(0));
            ASSERT_EQ(0, registry.CollectionJobRegisterAndRun(0, 29, slow));
            EXPECT_CALL(*slow, Uninit()).WillOnce(waiting);
            slowCall = std::async(std::launch::async, [&registry] {
                return registry.CollectionJobUnregisterAndStop(0, 29);
            });
        } else {
            EXPECT_CALL(*slow, Process()).WillOnce(waiting);
            slowCall = std::async(std::launch::async, [&registry, slow] {
                return registry.CollectionJobRegisterAndRun(0, 29, slow);
            });
        }
        entered.get_future().wait();

        auto other = Job(true);
        EXPECT_CALL(*other, Process()).WillOnce(Return(0));
        EXPECT_CALL(*other, Uninit()).WillOnce(Return(0));
        auto otherCalls = std::async(std::launch::async, [&registry, other] {
            return registry.CollectionJobRegisterAndRun(1, 30, other) +
                   registry.CollectionJobUnregisterAndStop(1, 30);
        });
        const bool proceeded =
            otherCalls.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        EXPECT_TRUE(proceeded) << "another job's registration waited for this job";
        if (proceeded) {
            auto late = Job(true);
            EXPECT_CALL(*late, Process()).Times(0);
            EXPECT_EQ(-1, registry.CollectionJobRegisterAndRun(1, 29, late));
            if (stopping) {
                EXPECT_EQ(-1, registry.CollectionJobUnregisterAndStop(0, 29));  // under way
            }
        }
        release.set_value();
        EXPECT_EQ(-1, slowCall.get());
        EXPECT_EQ(0, otherCalls.get());
        if (!stopping) {
            EXPECT_CALL(*slow, Uninit()).WillOnce(Return(0));
            EXPECT_EQ(0, registry.CollectionJobUnregisterAndStop(0, 29));
        }
        auto next = Job(true);
        EXPECT_CALL(*next, Process()).WillOnce(Return(0));
        EXPECT_EQ(0, registry.CollectionJobRegisterAndRun(1, 29, next));
    }
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
