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

TEST(ProfileOptions, DurationTakesFractionsOfSeconds) {
    struct Case {
        const char* text;
        uint64_t ms;
    } ok[] = {{"0.5", 500}, {"2.125", 2125}, {"1.05", 1050}, {"604800", 604800000}};
    for (const Case& c : ok) {
        CommandLine cl =
            ParseCommandLine(With(Without(Base(), "--duration"), {"--duration", c.text}));
        ASSERT_EQ(cl.command, Command::kProfile) << c.text << ": " << cl.error;
        EXPECT_EQ(cl.profile.durationMs, c.ms) << c.text;
    }
}

TEST(ProfileOptions, OnlyWhatToCollectIsNeeded) {
    CommandLine cl = ParseCommandLine({"profile", "--sys"});
    ASSERT_EQ(cl.command, Command::kProfile) << cl.error;
    EXPECT_EQ(cl.profile.device, 0u);
    EXPECT_EQ(cl.profile.jobId, "");
    EXPECT_EQ(cl.profile.outDir, "");
    EXPECT_EQ(cl.profile.durationMs, 0u);  // until interrupted
    EXPECT_EQ(DefaultJobId("2026-01-02T03:04:05Z"), "20260102-030405");
    EXPECT_EQ(DefaultOutDir("20260102-030405"), "oru-20260102-030405");
}

TEST(ProfileOptions, DeviceListsAndAll) {
    CommandLine list = ParseCommandLine({"profile", "--sys", "--device", "3, 0,63"});
    ASSERT_EQ(list.command, Command::kProfile) << list.error;
    EXPECT_EQ(list.profile.devices, (std::vector<uint32_t>{3, 0, 63}));
    EXPECT_FALSE(list.profile.allDevices);
    CommandLine all = ParseCommandLine({"profile", "--sys", "--device", "all"});
    ASSERT_EQ(all.command, Command::kProfile) << all.error;
    EXPECT_TRUE(all.profile.allDevices);
    for (const char* bad : {"1,1", "1,", "1,64", "al"}) {
        EXPECT_EQ(ParseCommandLine({"profile", "--sys", "--device", bad}).command,
                  Command::kUsageError)
            << bad;
    }
}

TEST(ProfileOptions, BadValuesAreUsageErrorsNamingTheOption) {
    struct Case {
        std::vector<std::string> args;
        const char* errorStart;
    } cases[] = {
        {With(Without(Base(), "--device"), {"--device", "64"}), "--device 64:"},
        {With(Without(Base(), "--device"), {"--device", "1a"}), "--device 1a:"},
        {With(Without(Base(), "--job-id"), {"--job-id", "job_1"}), "--job-id job_1:"},
        {With(Without(Base(), "--job-id"), {"--job-id", std::string(513, 'a')}), "--job-id a"},
        {With(Without(Base(), "--duration"), {"--duration", "0"}), "--duration 0:"},
        {With(Without(Base(), "--duration"), {"--duration", "1.2345"}), "--duration 1.2345:"},
        {With(Without(Base(), "--duration"), {"--duration", "."}), "--duration .:"},
        {With(Without(Base(), "--duration"), {"--duration", "604800.001"}), "--duration 6"},
        {With(Base(), {"--interval", "0"}), "--interval 0:"},
        {With(Base(), {"--interval", "3600001"}), "--interval 3600001:"},
        {With(Base(), {"--llc", "read,,write"}), "--llc read,,write:"},
        {With(Base(), {"--llc", ""}), "--llc \"\":"},
        {With(Base(), {"--vfid", "x"}), "--vfid x:"},
        {With(Base(), {"--mode", "a\"b"}), "--mode a\"b:"},
        {With(Without(Base(), "--out"), {"--out="}), "--out \"\":"},
        {With(Base(), {"--frobnicate"}), "unknown option --frobnicate"},
        {With(Base(), {"--device", "4"}), "option --device given more than once"},
        {With(Base(), {"--pid=yes"}), "option --pid takes no value"},
        {With(Base(), {"--interval"}), "option --interval needs a value"},
        {With(Base(), {"extra"}), "unexpected argument extra"},
    };
    for (const Case& c : cases) {
        CommandLine cl = ParseCommandLine(c.args);
        ASSERT_EQ(cl.command, Command::kUsageError) << c.errorStart;
        EXPECT_EQ(cl.error.rfind(c.errorStart, 0), 0u) << cl.error;
        EXPECT_EQ(cl.usageText, ProfileUsage());
    }
}

TEST(ProfileOptions, ConfigFileExcludesTheSwitchesThatBuildAConfiguration) {
    for (const char* opt : {"--sys", "--pid"}) {
        CommandLine cl =
            ParseCommandLine(With(Without(Base(), "--sys"), {opt, "--config", "c.json"}));
        EXPECT_EQ(cl.command, Command::kUsageError) << opt;
    }
    CommandLine interval = ParseCommandLine(
        With(Without(Base(), "--sys"), {"--interval", "200", "--config", "c.json"}));
    EXPECT_EQ(interval.command, Command::kUsageError);
    CommandLine events =
        ParseCommandLine(With(Without(Base(), "--sys"), {"--config", "c.json", "--llc", "read"}));
    ASSERT_EQ(events.command, Command::kProfile) << events.error;
    EXPECT_EQ(events.profile.configFile, "c.json");
    EXPECT_EQ(events.profile.llcEvents, std::vector<std::string>{"read"});
}

TEST(ProfileOptions, AJobThatCollectsNothingIsRefused) {
    CommandLine cl = ParseCommandLine(Without(Base(), "--sys"));
    EXPECT_EQ(cl.command, Command::kUsageError);
    EXPECT_NE(cl.error.find("nothing to collect"), std::string::npos);
    for (const char* opt : {"--pid", "--llc", "--ctrl-cpu", "--config"}) {
        std::vector<std::string> args = Without(Base(), "--sys");
        args.push_back(opt);
        if (std::string(opt) != "--pid") {
            args.push_back("x");
        }
        EXPECT_EQ(ParseCommandLine(args).command, Command::kProfile) << opt;
    }
}

TEST(CommandLineTest, HelpAndUnknownCommands) {
    EXPECT_EQ(ParseCommandLine({"--help"}).command, Command::kHelp);
    EXPECT_EQ(ParseCommandLine({"help", "profile"}).command, Command::kProfileHelp);
    EXPECT_EQ(ParseCommandLine({"profile", "--help"}).command, Command::kProfileHelp);
    EXPECT_EQ(ParseCommandLine({"profile", "--device", "99", "-h"}).command, Command::kProfileHelp);
    EXPECT_EQ(ParseCommandLine({"report", "--help"}).command, Command::kReportHelp);
    CommandLine none = ParseCommandLine({});
    EXPECT_EQ(none.command, Command::kUsageError);
    EXPECT_EQ(none.usageText, MainUsage());
    CommandLine unknown = ParseCommandLine({"frob"});
    EXPECT_EQ(unknown.error, "unknown command frob");
}

TEST(CommandLineTest, ReportTakesOneFolderAndAPageSize) {
    CommandLine ok = ParseCommandLine({"report", "out", "--page-size", "65536"});
    ASSERT_EQ(ok.command, Command::kReport) << ok.error;
    EXPECT_EQ(ok.report.dir, "out");
    EXPECT_EQ(ok.report.pageSize, 65536u);
    EXPECT_EQ(ParseCommandLine({"report"}).command, Command::kUsageError);
    EXPECT_EQ(ParseCommandLine({"report", "a", "b"}).command, Command::kUsageError);
    EXPECT_EQ(ParseCommandLine({"report", "a", "--page-size", "3000"}).command,
              Command::kUsageError);
    EXPECT_EQ(ParseCommandLine({"report", "a", "--page-size", "256"}).command,
              Command::kUsageError);
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
