#include "tools/oru_host/collections.h"

#include <gtest/gtest.h>

namespace analysis::orbx::hosttool {
namespace {

TEST(CollectionsTest, EachAskedCollectionSaysWhatItSent) {
    ProfileOptions o;
    o.sys = true;
    o.pid = true;
    o.llcEvents = {"read"};
    o.ctrlCpuEvents = {"0x11"};
    std::map<std::string, FileStats> files;
    files["data/llc.data"].bytes = 480;
    files["data/12-CpuUsage.data"].bytes = 100;
    files["data/12-Memory.data"].bytes = 50;
    files["data/Memory.data"].bytes = 0;    // named, but empty
    files["data/x-Memory.data"].bytes = 9;  // not a process's file
    std::vector<CollectionAccount> a = AccountCollections(o, files);
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].name, "sys");
    EXPECT_EQ(a[0].bytes, 0u);
    EXPECT_NE(a[0].missing.find("most likely a job on another device of the same card holds it"),
              std::string::npos)
        << a[0].missing;
    EXPECT_EQ(a[1].name, "pid");
    EXPECT_EQ(a[1].files, 2u);
    EXPECT_EQ(a[1].bytes, 150u);
    EXPECT_EQ(a[1].missing, "");
    EXPECT_EQ(a[2].name, "llc");
    EXPECT_FALSE(a[2].cardWide);
    EXPECT_EQ(a[2].missing, "");
    EXPECT_EQ(a[3].name, "ctrl-cpu");
    EXPECT_NE(a[3].missing.find("collection script did not run"), std::string::npos);
    // The summary line's words: each silent collection and its likeliest
    // cause, those sharing one listed together.
    const std::string held = "most likely held by a job on another device of the same card";
    const std::string ctrlCpu =
        "ctrl-cpu (held by a job on another device of the same card, or the script did not run)";
    EXPECT_EQ(MissingSummary(a), "sys (" + held + "), " + ctrlCpu);
    files.erase("data/12-CpuUsage.data");
    files.erase("data/12-Memory.data");
    EXPECT_EQ(MissingSummary(AccountCollections(o, files)), "sys, pid (" + held + "), " + ctrlCpu);

    // Only what was asked is accounted.
    EXPECT_TRUE(AccountCollections(ProfileOptions{}, files).empty());
}

}  // namespace
}  // namespace analysis::orbx::hosttool
