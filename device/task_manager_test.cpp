#include "device/task_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/test_log_capture.h"
#include "device/dispatcher.h"
#include "device/prof_job_handler.h"
#include "device/task_relationship_mgr.h"
#include "message/profiler.pb.h"

namespace analysis::orbx::device {
namespace {

using Analysis::Orbx::TaskHandle::TaskRelationshipMgr;
using common::TestLogCapture;
using message::StatusInfo;

class FakeTransport : public transport::ITransport {
  public:
    int SendBuffer(const void*, int length) override { return length; }
    int SendBuffer(std::shared_ptr<ProfileFileChunk>) override { return 0; }
    int CloseSession() override { return 0; }
};

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

TEST_F(TaskManagerTest, ConnectionResetRemovesOnlyTheTasksOfThatSession) {
    auto& tasks = TaskManager::GetInstance();
    auto other = std::make_shared<FakeTransport>();
    ASSERT_NE(tasks.CreateTask(0, "a_0", transport_), nullptr);
    ASSERT_NE(tasks.CreateTask(0, "b_0", other), nullptr);
    tasks.ConnectionReset(std::make_shared<FakeTransport>());
    EXPECT_NE(tasks.GetTask("a_0"), nullptr);
    tasks.ConnectionReset(transport_);
    EXPECT_EQ(tasks.GetTask("a_0"), nullptr);
    EXPECT_NE(tasks.GetTask("b_0"), nullptr);
}

TEST(TaskManagerNotInited, RefusesEveryCall) {
    TestLogCapture logs;
    auto transport = std::make_shared<FakeTransport>();
    EXPECT_EQ(TaskManager::GetInstance().GetTask("x_0"), nullptr);
    EXPECT_EQ(TaskManager::GetInstance().CreateTask(0, "x_0", transport), nullptr);
    EXPECT_EQ(logs.Count("TaskManager is not inited yet"), 2u);
}

TEST(ProfJobHandler, ANotStartedTaskRefusesCommandsAndStaysNotStarted) {
    ProfJobHandler task;
    ASSERT_EQ(task.Init(0, "job_0", std::make_shared<FakeTransport>()), 0);
    StatusInfo status;
    EXPECT_EQ(task.OnJobEnd(status), -1);
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(status.info, "Profiling is not started on device");

    auto replay = std::make_shared<proto::ReplayStartReq>();
    for (int i = 0; i < 9; ++i) {
        replay->add_ctrl_cpu_events("0x11");
    }
    StatusInfo replayStatus;
    EXPECT_EQ(task.OnReplayStart(replay, replayStatus), -1);
    EXPECT_EQ(replayStatus.info, "Profiling is not started on device");
    StatusInfo stopStatus;
    EXPECT_EQ(task.OnReplayEnd(nullptr, stopStatus), -1);
    EXPECT_EQ(stopStatus.info, "StopReq message is nullptr");
    EXPECT_EQ(task.OnConnectionReset(), 0);
    EXPECT_EQ(task.Init(0, "job_0", nullptr), -1);
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
