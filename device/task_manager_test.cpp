#include "device/task_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/dispatcher.h"
#include "device/prof_job_handler.h"
#include "device/task_relationship_mgr.h"
#include "testing/chunk_capture.h"
#include "testing/test_log_capture.h"
#include "wire/profiler.pb.h"

namespace analysis::orbx::device {
namespace {

using Analysis::Orbx::TaskHandle::TaskRelationshipMgr;
using common::TestLogCapture;

using FakeTransport = transport::testing::CapturingTransport;

class TaskManagerTest : public ::testing::Test {
  protected:
    void SetUp() override { TaskManager::GetInstance().Init(); }
    void TearDown() override { TaskManager::GetInstance().UnInit(); }

    std::shared_ptr<transport::ITransport> transport_ = std::make_shared<FakeTransport>();
};

TEST_F(TaskManagerTest, KeysAreUniqueAndReusableAfterDelete) {
    auto& tasks = TaskManager::GetInstance();
    auto first = tasks.CreateTask(0, "job1_0", transport_);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(tasks.CreateTask(0, "job1_0", transport_), nullptr);
    EXPECT_EQ(tasks.GetTask("job1_0"), first);
    EXPECT_EQ(tasks.CreateTask(0, "job1_0", nullptr), nullptr);
    EXPECT_TRUE(tasks.DeleteTask("job1_0"));
    EXPECT_FALSE(tasks.DeleteTask("job1_0"));
    EXPECT_EQ(tasks.GetTask("job1_0"), nullptr);
    EXPECT_NE(tasks.CreateTask(0, "job1_0", transport_), nullptr);
}

TEST_F(TaskManagerTest, HostNumberMapsToTheDeviceIndexOfItsHandshake) {
    EXPECT_EQ(TaskRelationshipMgr::GetInstance().GetDevIdByHostId(7), 7);
    TaskRelationshipMgr::GetInstance().AddHostIdDevIdRelation(2, 0);
    auto task = TaskManager::GetInstance().CreateTask(2, "job2_2", transport_);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->GetDevId(), 0);
}

TEST(TaskManagerNotInited, RefusesEveryCall) {
    TestLogCapture logs;
    auto transport = std::make_shared<FakeTransport>();
    EXPECT_EQ(TaskManager::GetInstance().GetTask("x_0"), nullptr);
    EXPECT_EQ(TaskManager::GetInstance().CreateTask(0, "x_0", transport), nullptr);
    EXPECT_EQ(logs.Count("TaskManager is not inited yet"), 2u);
}

class CountingHandler : public message::IMsgHandler {
  public:
    void OnNewMessage(std::shared_ptr<google::protobuf::Message>) override { ++calls; }
    int calls = 0;
};

TEST(MsgDispatcher, RoutesByTypeAndLogsWhatHasNoHandler) {
    TestLogCapture logs;
    message::MsgDispatcher dispatcher;
    auto start = std::make_shared<CountingHandler>();
    auto replaced = std::make_shared<CountingHandler>();
    dispatcher.RegisterHandler<proto::JobStartReq>(replaced);
    dispatcher.RegisterHandler<proto::JobStartReq>(start);
    dispatcher.RegisterHandler<proto::JobStopReq>(nullptr);

    dispatcher.OnNewMessage(std::make_shared<proto::JobStartReq>());
    dispatcher.OnNewMessage(std::make_shared<proto::JobStopReq>());
    dispatcher.OnNewMessage(nullptr);
    EXPECT_EQ(start->calls, 1);
    EXPECT_EQ(replaced->calls, 0);
    EXPECT_EQ(logs.Count("Failed to find handler for message:analysis.orbx.proto.JobStopReq"), 1u);
    EXPECT_EQ(logs.Count("message is null"), 1u);
}

}  // namespace
}  // namespace analysis::orbx::device
