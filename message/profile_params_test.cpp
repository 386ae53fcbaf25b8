#include "message/profile_params.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/test_log_capture.h"

namespace analysis::orbx::message {
namespace {

using analysis::orbx::common::TestLogCapture;
using ::testing::ElementsAre;

// Each member of a new object's text, as the host tool expects it.
const std::set<std::string> kDefaultMembers = {
    R"("job_id":"")",
    R"("result_dir":"")",
    R"("storageLimit":"")",
    R"("profiling_mode":"")",
    R"("devices":"")",
    R"("isCancel":false)",
    R"("profiling_period":-1)",
    R"("stream_enabled":"on")",
    R"("profiling_options":"")",
    R"("jobInfo":"")",
    R"("app":"")",
    R"("app_dir":"")",
    R"("app_parameters":"")",
    R"("app_location":"")",
    R"("app_env":"")",
    R"("gxprofBinPid":-1)",
    R"("ai_core_profiling":"")",
    R"("aicore_sampling_interval":10)",
    R"("ai_core_profiling_mode":"")",
    R"("ai_core_profiling_events":"")",
    R"("ai_core_metrics":"")",
    R"("ai_core_profiling_metrics":"")",
    R"("ai_core_lpm":"off")",
    R"("ai_core_status":"")",
    R"("aiv_profiling":"")",
    R"("aiv_sampling_interval":10)",
    R"("aiv_profiling_mode":"")",
    R"("aiv_profiling_events":"")",
    R"("aiv_metrics":"")",
    R"("aiv_profiling_metrics":"")",
    R"("ai_vector_status":"")",
    R"("ts_task_track":"")",
    R"("ts_cpu_usage":"")",
    R"("ts_timeline":"")",
    R"("ts_keypoint":"")",
    R"("ts_memcpy":"")",
    R"("taskTsfw":"off")",
    R"("ts_fw_training":"")",
    R"("hwts_log":"")",
    R"("hwts_log1":"")",
    R"("stars_acsq_task":"")",
    R"("taskBlock":"")",
    R"("ts_cpu_hot_function":"")",
    R"("l2CacheTaskProfiling":"")",
    R"("l2CacheTaskProfilingEvents":"")",
    R"("cpu_profiling":"off")",
    R"("cpu_sampling_interval":20)",
    R"("aiCtrlCpuProfiling":"off")",
    R"("ai_ctrl_cpu_profiling_events":"")",
    R"("tsCpuProfiling":"off")",
    R"("ts_cpu_profiling_events":"")",
    R"("sys_profiling":"off")",
    R"("sys_sampling_interval":100)",
    R"("pid_profiling":"off")",
    R"("pid_sampling_interval":100)",
    R"("hardware_mem":"off")",
    R"("hardware_mem_sampling_interval":20)",
    R"("llc_profiling":"")",
    R"("gxprof_llc_profiling":"")",
    R"("llc_profiling_events":"")",
    R"("llc_interval":20)",
    R"("memProfiling":"off")",
    R"("memInterval":20)",
    R"("ddr_profiling":"")",
    R"("ddr_profiling_events":"")",
    R"("ddr_interval":20)",
    R"("ddr_master_id":0)",
    R"("hbmProfiling":"")",
    R"("hbm_profiling_events":"")",
    R"("hbmInterval":20)",
    R"("io_profiling":"off")",
    R"("io_sampling_interval":10)",
    R"("nicProfiling":"off")",
    R"("nicInterval":10)",
    R"("roceProfiling":"off")",
    R"("roceInterval":10)",
    R"("interconnection_profiling":"off")",
    R"("interconnection_sampling_interval":20)",
    R"("qlnkProfiling":"off")",
    R"("qlnkInterval":20)",
    R"("pcieProfiling":"")",
    R"("pcieInterval":20)",
    R"("dvpp_profiling":"off")",
    R"("dvpp_sampling_interval":20)",
    R"("instrProfiling":"")",
    R"("instrProfilingFreq":1000)",
    R"("uxl":"")",
    R"("modelExecution":"off")",
    R"("taskFramework":"off")",
    R"("runtimeApi":"off")",
    R"("aicpuTrace":"")",
    R"("runtimeTrace":"")",
    R"("qcolTrace":"")",
    R"("modelLoad":"")",
    R"("gxprof":"off")",
    R"("gxproftx":"off")",
    R"("taskTrace":"on")",
    R"("taskTime":"on")",
    R"("prof_level":"off")",
    R"("fwkSchedule":"off")",
    R"("hostProfiling":false)",
    R"("host_sys":"")",
    R"("host_sys_pid":-1)",
    R"("host_disk_profiling":"off")",
    R"("host_osrt_profiling":"off")",
    R"("host_disk_freq":50)",
    R"("pureCpu":"off")",
    R"("host_cpu_profiling":"off")",
    R"("host_mem_profiling":"off")",
    R"("host_network_profiling":"off")",
};

std::set<std::string> Members(const std::string& text) {
    std::set<std::string> members;
    for (const auto& [key, value] : Json(text).GetValue().AsObject()) {
        members.insert("\"" + key + "\":" + value.ToString());
    }
    return members;
}

TEST(ProfileParamsText, NewObjectPrintsEveryKeyWithItsDefault) {
    ProfileParams params;
    std::string text = params.ToString();
    EXPECT_EQ(Json(text).GetValue().AsObject().size(), 110u);
    EXPECT_EQ(Members(text), kDefaultMembers);
}

// Every key must reach its own field: give each member a value of its type
// that no other member has, read it into a new object and print it again.
TEST(ProfileParamsText, EveryKeyIsReadBackIntoItsOwnField) {
    Json doc(ProfileParams().ToString());
    JsonValue::Object members = doc.GetValue().AsObject();
    int n = 0;
    for (const auto& [key, value] : members) {
        ++n;
        switch (value.GetType()) {
            case JsonType::STRING:
                doc[key] = "v" + std::to_string(n) + "_" + key;
                break;
            case JsonType::INT:   // the negative defaults
            case JsonType::UINT:  // the others
                doc[key] = 1000 + n;
                break;
            case JsonType::BOOL:
                doc[key] = !value.AsBool();
                break;
            default:
                ADD_FAILURE() << key << " has an unexpected type";
        }
    }
    std::string changed = doc.ToString();

    ProfileParams params;
    TestLogCapture log("warning");
    ASSERT_TRUE(params.FromString(changed));
    EXPECT_EQ(Members(params.ToString()), Members(changed));
    EXPECT_TRUE(log.Texts().empty());
    EXPECT_TRUE(params.isCancel);
    EXPECT_TRUE(params.hostProfiling);
    EXPECT_EQ(params.ai_ctrl_cpu_profiling_events.rfind("v", 0), 0u);
}

TEST(ProfileParamsText, AbsentKeysKeepTheirDefaults) {
    ProfileParams params;
    ASSERT_TRUE(params.FromString(
        R"({"llc_profiling":"on","llc_interval":50,"hostProfiling":1,"unknown":"x"})"));
    EXPECT_EQ(params.llc_profiling, "on");
    EXPECT_EQ(params.llc_interval, 50);
    EXPECT_TRUE(params.hostProfiling);
    EXPECT_EQ(params.sys_sampling_interval, 100);
    EXPECT_EQ(params.stream_enabled, "on");
    EXPECT_EQ(params.profiling_period, -1);
    EXPECT_FALSE(params.isCancel);
}

TEST(ProfileParamsText, DoubleWhereAnIntegerIsExpectedBecomesZero) {
    ProfileParams params;
    TestLogCapture log("warning");
    ASSERT_TRUE(params.FromString(R"({"aicore_sampling_interval":10.5,"isCancel":"yes"})"));
    EXPECT_EQ(params.aicore_sampling_interval, 0);
    EXPECT_FALSE(params.isCancel);
    EXPECT_THAT(log.Texts(),
                ::testing::UnorderedElementsAre("Invalid data type for int variable",
                                                "Invalid data type for boolean variable"));
}

TEST(ProfileParamsText, UnreadableTextChangesNothing) {
    ProfileParams params;
    params.job_id = "42";
    TestLogCapture log("warning");
    EXPECT_FALSE(params.FromString(R"({"job_id":"7","sys_profiling":"on",)"));
    EXPECT_EQ(params.job_id, "42");
    EXPECT_EQ(params.sys_profiling, "off");
    EXPECT_THAT(log.Texts(), ElementsAre("ProfileParams ::FromString(): Input json string error"));
}

}  // namespace
}  // namespace analysis::orbx::message
