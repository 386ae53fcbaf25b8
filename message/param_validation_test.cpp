#include "message/param_validation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_log_capture.h"

namespace analysis::orbx::common::validation {
namespace {

using analysis::orbx::common::TestLogCapture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const ParamValidation& Checks() {
    return ParamValidation::GetInstance();
}

// 0 to 63, leading zeros allowed; a larger number is warned about, anything
// else is an error.
TEST(DeviceIdValidation, ZeroToSixtyThreeOnly) {
    TestLogCapture log("warning");
    for (const char* id : {"0", "63", "0063"}) {
        EXPECT_TRUE(Checks().CheckDeviceIdIsValid(id)) << id;
    }
    EXPECT_THAT(log.Texts(), IsEmpty());
    const std::pair<const char*, int> refused[] = {
        {"64", DLOG_WARN},  {"2147483647", DLOG_WARN},  {"", DLOG_ERROR},   {"-1", DLOG_ERROR},
        {"1a", DLOG_ERROR}, {"2147483648", DLOG_ERROR}, {" 1", DLOG_ERROR}, {"+1", DLOG_ERROR},
    };
    for (const auto& [id, level] : refused) {
        log.Clear();
        EXPECT_FALSE(Checks().CheckDeviceIdIsValid(id)) << id;
        ASSERT_FALSE(log.Texts().empty()) << id;
        EXPECT_EQ(log.Entries().back().level, level) << id;
        EXPECT_EQ(log.Texts().back(),
                  "devId(" + std::string(id) +
                      (level == DLOG_WARN ? ") is over limited." : ") is not valid."));
    }
}

TEST(JobIdValidation, LettersDigitsAndMinusUpTo512Characters) {
    TestLogCapture log("warning");
    EXPECT_TRUE(Checks().CheckJobIdIsValid(std::string(512, 'a')));
    EXPECT_TRUE(Checks().CheckJobIdIsValid("a-B-9"));
    EXPECT_TRUE(Checks().CheckJobIdIsValid("0123456789-abcxyzABCXYZ"));
    EXPECT_FALSE(Checks().CheckJobIdIsValid(std::string(513, 'a')));
    EXPECT_FALSE(Checks().CheckJobIdIsValid(""));
    for (const char* id : {"job_1", "../x", "a b", "a/b", "a.b", "\xc3\xa9"}) {
        EXPECT_FALSE(Checks().CheckJobIdIsValid(id)) << id;
    }
    EXPECT_FALSE(Checks().CheckJobIdIsValid(std::string("ab\0cd", 5)));
    EXPECT_THAT(log.Texts(), IsEmpty());
}

TEST(ProfilingModeValidation, EmptyOrOneOfTheTwoModesExactly) {
    EXPECT_TRUE(Checks().CheckProfilingModeIsValid(""));
    EXPECT_TRUE(Checks().CheckProfilingModeIsValid("def_mode"));
    EXPECT_TRUE(Checks().CheckProfilingModeIsValid("system-wide"));
    for (const char* mode : {"DEF_MODE", "system wide", "def_mode ", "system-wide\n", "x"}) {
        EXPECT_FALSE(Checks().CheckProfilingModeIsValid(mode)) << mode;
    }
}

TEST(EventValidation, ControlCpuEventsAreAtMostEightHexCodes) {
    TestLogCapture log;
    EXPECT_TRUE(Checks().CheckCtrlCpuEventsIsValid(std::vector<std::string>(8, "0x11")));
    EXPECT_TRUE(Checks().CheckCtrlCpuEventsIsValid({}));
    EXPECT_TRUE(Checks().CheckCtrlCpuEventsIsValid({"x0x"}));
    EXPECT_EQ(log.Texts().front(), "eventSize: 8");
    log.Clear();

    EXPECT_FALSE(Checks().CheckCtrlCpuEventsIsValid(std::vector<std::string>(9, "0x11")));
    EXPECT_THAT(log.Texts(), ElementsAre("eventSize: 9", "cpu events size(9) is bigger than 8"));
    log.Clear();

    EXPECT_FALSE(Checks().CheckCtrlCpuEventsIsValid({"11"}));
    EXPECT_FALSE(Checks().CheckCtrlCpuEventsIsValid({"0x11", "0x12", "0X13"}));
    EXPECT_THAT(log.Texts(), ElementsAre("eventSize: 1", "eventSize: 3"));
}

TEST(EventValidation, LlcEventsUseAFixedCharacterSet) {
    TestLogCapture log;
    EXPECT_TRUE(Checks().CheckLlcEventsIsValid("read,write"));
    EXPECT_TRUE(Checks().CheckLlcEventsIsValid("HitRateAndVictimRate"));
    EXPECT_TRUE(Checks().CheckLlcEventsIsValid("hisi_l3c0_1/dsid0/, a_b 9"));
    EXPECT_TRUE(Checks().CheckLlcEventsIsValid(""));
    log.Clear();

    EXPECT_FALSE(Checks().CheckLlcEventsIsValid("read;write"));
    EXPECT_FALSE(Checks().CheckLlcEventsIsValid("read\twrite"));
    EXPECT_FALSE(Checks().CheckLlcEventsIsValid("$(reboot)"));
    EXPECT_THAT(log.Texts(),
                ElementsAre("llc events is invalid.read;write", "llc events is invalid.read\twrite",
                            "llc events is invalid.$(reboot)"));
}

}  // namespace
}  // namespace analysis::orbx::common::validation
