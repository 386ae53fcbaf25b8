#include "message/profile_params.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "testing/test_log_capture.h"

namespace analysis::orbx::message {
namespace {

using analysis::orbx::common::TestLogCapture;
using ::testing::ElementsAre;

// Each member of a new object's text, as the host tool expects it.
const char kDefaultText[] =
    R"({"job_id":"","result_dir":"","storageLimit":"","profiling_mode":"","devices":"",
"isCancel":false,"profiling_period":-1,"stream_enabled":"on","profiling_options":"",
"jobInfo":"","app":"","app_dir":"","app_parameters":"","app_location":"","app_env":"",
"gxprofBinPid":-1,"ai_core_profiling":"","aicore_sampling_interval":10,
"ai_core_profiling_mode":"","ai_core_profiling_events":"","ai_core_metrics":"",
"ai_core_profiling_metrics":"","ai_core_lpm":"off","ai_core_status":"","aiv_profiling":"",
"aiv_sampling_interval":10,"aiv_profiling_mode":"","aiv_profiling_events":"","aiv_metrics":"",
"aiv_profiling_metrics":"","ai_vector_status":"","ts_task_track":"","ts_cpu_usage":"",
"ts_timeline":"","ts_keypoint":"","ts_memcpy":"","taskTsfw":"off","ts_fw_training":"",
"hwts_log":"","hwts_log1":"","stars_acsq_task":"","taskBlock":"","ts_cpu_hot_function":"",
"l2CacheTaskProfiling":"","l2CacheTaskProfilingEvents":"","cpu_profiling":"off",
"cpu_sampling_interval":20,"aiCtrlCpuProfiling":"off","ai_ctrl_cpu_profiling_events":"",
"tsCpuProfiling":"off","ts_cpu_profiling_events":"","sys_profiling":"off",
"sys_sampling_interval":100,"pid_profiling":"off","pid_sampling_interval":100,
"hardware_mem":"off","hardware_mem_sampling_interval":20,"llc_profiling":"",
"gxprof_llc_profiling":"","llc_profiling_events":"","llc_interval":20,"memProfiling":"off",
"memInterval":20,"ddr_profiling":"","ddr_profiling_events":"","ddr_interval":20,
"ddr_master_id":0,"hbmProfiling":"","hbm_profiling_events":"","hbmInterval":20,
"io_profiling":"off","io_sampling_interval":10,"nicProfiling":"off","nicInterval":10,
"roceProfiling":"off","roceInterval":10,"interconnection_profiling":"off",
"interconnection_sampling_interval":20,"qlnkProfiling":"off","qlnkInterval":20,
"pcieProfiling":"","pcieInterval":20,"dvpp_profiling":"off","dvpp_sampling_interval":20,
"instrProfiling":"","instrProfilingFreq":1000,"uxl":"","modelExecution":"off",
"taskFramework":"off","runtimeApi":"off","aicpuTrace":"","runtimeTrace":"","qcolTrace":"",
"modelLoad":"","gxprof":"off","gxproftx":"off","taskTrace":"on","taskTime":"on",
"prof_level":"off","fwkSchedule":"off","hostProfiling":false,"host_sys":"","host_sys_pid":-1,
"host_disk_profiling":"off","host_osrt_profiling":"off","host_disk_freq":50,"pureCpu":"off",
"host_cpu_profiling":"off","host_mem_profiling":"off","host_network_profiling":"off"})";

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
    EXPECT_EQ(Members(text), Members(kDefaultText));
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
