#include "tools/oru_host/sample_config.h"

#include <gtest/gtest.h>

#include "tools/oru_host/dialect_json.h"

namespace analysis::orbx::hosttool {
namespace {

std::map<std::string, FlatValue> Members(const std::string& text) {
    std::map<std::string, FlatValue> m;
    EXPECT_TRUE(ParseFlatObject(text, &m)) << text;
    return m;
}

ProfileOptions Options() {
    ProfileOptions o;
    o.device = 2;
    o.jobId = "job-9";
    return o;
}

TEST(SampleConfig, SwitchesBecomeProfilingParameters) {
    ProfileOptions o = Options();
    o.sys = true;
    o.hasInterval = true;
    o.intervalMs = 250;
    o.llcEvents = {"read", "write"};
    o.ctrlCpuEvents = {"0x11", "0x8"};
    auto m = Members(BuildSampleConfig(o));
    EXPECT_EQ(m["job_id"].text, "job-9");
    EXPECT_EQ(m["devices"].text, "2");
    EXPECT_EQ(m["hostProfiling"].text, "false");
    EXPECT_FALSE(m["hostProfiling"].isText);
    EXPECT_EQ(m["sys_profiling"].text, "on");
    EXPECT_EQ(m["pid_profiling"].text, "off");
    for (const char* key :
         {"cpu_sampling_interval", "sys_sampling_interval", "pid_sampling_interval"}) {
        EXPECT_EQ(m[key].text, "250") << key;
        EXPECT_FALSE(m[key].isText) << key;
    }
    EXPECT_EQ(m["gxprof_llc_profiling"].text, "on");
    EXPECT_EQ(m["llc_profiling_events"].text, "read,write");
    EXPECT_EQ(m["aiCtrlCpuProfiling"].text, "on");
    EXPECT_EQ(m["ai_ctrl_cpu_profiling_events"].text, "0x11,0x8");
}

TEST(SampleConfig, UnaskedSourcesAndIntervalsAreLeftToTheDeviceDefaults) {
    ProfileOptions o = Options();
    o.pid = true;
    auto m = Members(BuildSampleConfig(o));
    EXPECT_EQ(m["pid_profiling"].text, "on");
    EXPECT_EQ(m["sys_profiling"].text, "off");
    for (const char* key : {"cpu_sampling_interval", "sys_sampling_interval",
                            "pid_sampling_interval", "gxprof_llc_profiling", "llc_profiling_events",
                            "aiCtrlCpuProfiling", "ai_ctrl_cpu_profiling_events"}) {
        EXPECT_EQ(m.count(key), 0u) << key;
    }
}

TEST(DialectJson, TextsTheDialectCannotCarryAreRefused) {
    DialectObject doc;
    EXPECT_FALSE(doc.Add("a", std::string("x\"y")));
    EXPECT_FALSE(doc.Add("a", std::string(" lead")));
    EXPECT_FALSE(doc.Add("a", std::string("tab\there")));
    EXPECT_FALSE(doc.Add("q\"", std::string("v")));
    EXPECT_TRUE(doc.Add("a", std::string("back\\slash trail ")));
    doc.Add("n", int32_t{-2147483647 - 1});
    EXPECT_EQ(doc.ToString(), "{\"a\":\"back\\slash trail \",\"n\":-2147483648}");
}

TEST(DialectJson, StatusOfAReplyIsRead) {
    // Members come in the daemon's hash order; separators are lenient.
    StatusReport ok = ParseStatusReport("{\"info\":\"\",\"status\":0,\"dev_id\":\"0\"}");
    ASSERT_TRUE(ok.parsed);
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.devId, "0");
    StatusReport failed = ParseStatusReport(
        " { \"status\" : 1 , \"info\":\"Create task failed.\",\"dev_id\":\"-1\"}");
    ASSERT_TRUE(failed.parsed);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.info, "Create task failed.");
    EXPECT_EQ(failed.devId, "-1");
    EXPECT_FALSE(ParseStatusReport("MESSAGE_CONTAINER_NO_SUPPORT").parsed);
    EXPECT_FALSE(ParseStatusReport("{\"status\":\"1\"}").parsed);
    EXPECT_FALSE(ParseStatusReport("{\"status\":1,\"info\":\"cut").parsed);
    EXPECT_FALSE(ParseStatusReport("{\"status\":1,\"x\":{\"y\":1}}").parsed);
    EXPECT_FALSE(ParseStatusReport("{\"info\":\"no status\"}").parsed);
}

}  // namespace
}  // namespace analysis::orbx::hosttool
