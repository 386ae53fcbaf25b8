#include "tools/oru_host/options.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/oru_host/cli.h"

namespace analysis::orbx::hosttool {
namespace {

std::vector<std::string> Base() {
    return {"profile", "--device", "3",          "--job-id", "job-7",
            "--out",   "/tmp/o",   "--duration", "5",        "--sys"};
}

std::vector<std::string> With(std::vector<std::string> args,
                              std::initializer_list<std::string> more) {
    args.insert(args.end(), more);
    return args;
}

std::vector<std::string> Without(const std::vector<std::string>& args, const std::string& opt) {
    std::vector<std::string> out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == opt) {
            if (opt != "--sys" && opt != "--pid") {
                ++i;  // its value
            }
            continue;
        }
        out.push_back(args[i]);
    }
    return out;
}

TEST(ProfileOptions, FullCommandLineIsRead) {
    CommandLine cl = ParseCommandLine(
        With(Base(), {"--pid", "--interval", "250", "--llc", "read, write", "--ctrl-cpu=0x11,0x8",
                      "--mode", "def_mode", "--vfid", "5", "--reply-timeout", "9"}));
    ASSERT_EQ(cl.command, Command::kProfile) << cl.error;
    const ProfileOptions& p = cl.profile;
    EXPECT_EQ(p.device, 3u);
    EXPECT_EQ(p.jobId, "job-7");
    EXPECT_EQ(p.outDir, "/tmp/o");
    EXPECT_EQ(p.durationMs, 5000u);
    EXPECT_TRUE(p.sys);
    EXPECT_TRUE(p.pid);
    EXPECT_TRUE(p.hasInterval);
    EXPECT_EQ(p.intervalMs, 250);
    EXPECT_EQ(p.llcEvents, (std::vector<std::string>{"read", "write"}));
    EXPECT_EQ(p.ctrlCpuEvents, (std::vector<std::string>{"0x11", "0x8"}));
    EXPECT_EQ(p.mode, "def_mode");
    EXPECT_EQ(p.vfid, 5u);
    EXPECT_EQ(p.replyTimeoutS, 9u);
}

// Fractions of seconds, device lists, defaults for what is left out, and each
// way of saying what to collect.
TEST(ProfileOptions, ShortAndPartialCommandLinesAreRead) {
    const std::pair<const char*, uint64_t> durations[] = {
        {"0.5", 500}, {"2.125", 2125}, {"1.05", 1050}, {"604800", 604800000}};
    for (const auto& [text, ms] : durations) {
        CommandLine cl =
            ParseCommandLine(With(Without(Base(), "--duration"), {"--duration", text}));
        ASSERT_EQ(cl.command, Command::kProfile) << text << ": " << cl.error;
        EXPECT_EQ(cl.profile.durationMs, ms) << text;
    }
    CommandLine cl = ParseCommandLine({"profile", "--sys"});
    ASSERT_EQ(cl.command, Command::kProfile) << cl.error;
    EXPECT_EQ(cl.profile.device, 0u);
    EXPECT_EQ(cl.profile.jobId, "");
    EXPECT_EQ(cl.profile.outDir, "");
    EXPECT_EQ(cl.profile.durationMs, 0u);  // until interrupted
    EXPECT_EQ(DefaultJobId("2026-01-02T03:04:05Z"), "20260102-030405");
    EXPECT_EQ(DefaultOutDir("20260102-030405"), "oru-20260102-030405");

    CommandLine list = ParseCommandLine({"profile", "--sys", "--device", "3, 0,63"});
    ASSERT_EQ(list.command, Command::kProfile) << list.error;
    EXPECT_EQ(list.profile.devices, (std::vector<uint32_t>{3, 0, 63}));
    EXPECT_FALSE(list.profile.allDevices);
    EXPECT_TRUE(ParseCommandLine({"profile", "--sys", "--device", "all"}).profile.allDevices);

    CommandLine events =
        ParseCommandLine(With(Without(Base(), "--sys"), {"--config", "c.json", "--llc", "read"}));
    ASSERT_EQ(events.command, Command::kProfile) << events.error;
    EXPECT_EQ(events.profile.configFile, "c.json");
    EXPECT_EQ(events.profile.llcEvents, std::vector<std::string>{"read"});
    for (std::vector<std::string> alone : {std::vector<std::string>{"--pid"},
                                           {"--llc", "x"},
                                           {"--ctrl-cpu", "x"},
                                           {"--config", "x"}}) {
        std::vector<std::string> args = Without(Base(), "--sys");
        args.insert(args.end(), alone.begin(), alone.end());
        EXPECT_EQ(ParseCommandLine(args).command, Command::kProfile) << alone[0];
    }

    CommandLine report = ParseCommandLine({"report", "out", "--page-size", "65536"});
    ASSERT_EQ(report.command, Command::kReport) << report.error;
    EXPECT_EQ(report.report.dir, "out");
    EXPECT_EQ(report.report.pageSize, 65536u);
    EXPECT_EQ(ParseCommandLine({"--help"}).command, Command::kHelp);
    EXPECT_EQ(ParseCommandLine({"help", "profile"}).command, Command::kProfileHelp);
    EXPECT_EQ(ParseCommandLine({"profile", "--help"}).command, Command::kProfileHelp);
    EXPECT_EQ(ParseCommandLine({"profile", "--device", "99", "-h"}).command, Command::kProfileHelp);
    EXPECT_EQ(ParseCommandLine({"report", "--help"}).command, Command::kReportHelp);
}

// Each is refused with an error that starts by naming what is wrong, and the
// usage of the command (of the program when there is no command).
TEST(ProfileOptions, BadCommandLinesAreUsageErrorsNamingTheOption) {
    auto changed = [](const char* opt, const std::string& value) {
        return With(Without(Base(), opt), {opt, value});
    };
    auto noSys = [](std::initializer_list<std::string> more) {
        return With(Without(Base(), "--sys"), more);
    };
    struct Case {
        std::vector<std::string> args;
        std::string errorStart;
    } cases[] = {
        {changed("--device", "64"), "--device 64:"},
        {changed("--device", "1a"), "--device 1a:"},
        {changed("--device", "1,1"), "--device 1,1:"},
        {changed("--device", "1,"), "--device 1,:"},
        {changed("--device", "1,64"), "--device 1,64:"},
        {changed("--device", "al"), "--device al:"},
        {changed("--job-id", "job_1"), "--job-id job_1:"},
        {changed("--job-id", std::string(513, 'a')), "--job-id a"},
        {changed("--duration", "0"), "--duration 0:"},
        {changed("--duration", "1.2345"), "--duration 1.2345:"},
        {changed("--duration", "."), "--duration .:"},
        {changed("--duration", "604800.001"), "--duration 6"},
        {With(Base(), {"--interval", "0"}), "--interval 0:"},
        {With(Base(), {"--interval", "3600001"}), "--interval 3600001:"},
        {With(Base(), {"--llc", "read,,write"}), "--llc read,,write:"},
        {With(Base(), {"--llc", ""}), "--llc \"\":"},
        {With(Base(), {"--vfid", "x"}), "--vfid x:"},
        {With(Base(), {"--mode", "a\"b"}), "--mode a\"b:"},
        {With(Base(), {"--mode", "DEF_MODE"}), "--mode DEF_MODE: the device knows only"},
        {With(Without(Base(), "--out"), {"--out="}), "--out \"\":"},
        {With(Base(), {"--frobnicate"}), "unknown option --frobnicate"},
        {With(Base(), {"--device", "4"}), "option --device given more than once"},
        {With(Base(), {"--pid=yes"}), "option --pid takes no value"},
        {With(Base(), {"--interval"}), "option --interval needs a value"},
        {With(Base(), {"extra"}), "unexpected argument extra"},
        {Without(Base(), "--sys"), "nothing to collect"},
        // A configuration file excludes the switches that build one.
        {noSys({"--sys", "--config", "c.json"}), "--config sends the file unchanged"},
        {noSys({"--pid", "--config", "c.json"}), "--config sends the file unchanged"},
        {noSys({"--interval", "200", "--config", "c.json"}), "--config sends the file unchanged"},
        {{"report"}, "missing the folder"},
        {{"report", "a", "b"}, "unexpected argument b"},
        {{"report", "a", "--page-size", "3000"}, "--page-size 3000:"},
        {{"report", "a", "--page-size", "256"}, "--page-size 256:"},
        {{}, "missing command"},
        {{"frob"}, "unknown command frob"},
    };
    for (const Case& c : cases) {
        CommandLine cl = ParseCommandLine(c.args);
        ASSERT_EQ(cl.command, Command::kUsageError) << c.errorStart;
        EXPECT_EQ(cl.error.rfind(c.errorStart, 0), 0u) << cl.error;
        const std::string command = c.args.empty() ? "" : c.args[0];
        EXPECT_EQ(cl.usageText, command == "profile"  ? ProfileUsage()
                                : command == "report" ? ReportUsage()
                                                      : MainUsage())
            << c.errorStart;
    }
}

TEST(CommandLineTest, UsageErrorsExitWithTwoAndPrintTheUsage) {
    std::ostringstream out;
    std::ostringstream err;
    CliContext c;
    bool linkMade = false;
    c.makeLink = [&linkMade] {
        linkMade = true;
        return std::unique_ptr<DeviceLink>();
    };
    c.out = &out;
    c.err = &err;
    EXPECT_EQ(RunCli(Without(Base(), "--sys"), c), kExitUsage);
    EXPECT_EQ(err.str().rfind("oru-host: nothing to collect", 0), 0u) << err.str();
    EXPECT_NE(err.str().find("\n\n" + ProfileUsage()), std::string::npos);
    EXPECT_TRUE(out.str().empty());
    EXPECT_FALSE(linkMade);

    err.str("");
    EXPECT_EQ(RunCli({"profile", "--config"}, c), kExitUsage);
    EXPECT_EQ(err.str(), "oru-host: option --config needs a value\n\n" + ProfileUsage());

    err.str("");
    EXPECT_EQ(RunCli(With(Without(Base(), "--sys"), {"--config", "/nonexistent/c.json"}), c),
              kExitUsage);
    EXPECT_EQ(err.str().rfind("oru-host: --config /nonexistent/c.json: cannot be read", 0), 0u)
        << err.str();
    EXPECT_FALSE(linkMade);

    err.str("");
    EXPECT_EQ(RunCli({"profile", "--help"}, c), kExitOk);
    EXPECT_EQ(out.str(), ProfileUsage());
    EXPECT_TRUE(err.str().empty());
}

}  // namespace
}  // namespace analysis::orbx::hosttool
