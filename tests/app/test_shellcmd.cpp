/* Commands from the shared buffer: the words a program gets, and nothing else. */
#include <pthread.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "shellcmd.h"
#include "tsdk.h"

namespace {

class ShellCmd : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("TSDK_SIM_DIR");
        logPath_ = dir_.sub("log");
        tsdk_settings = tsdk_settings_t{};
        tsdk_settings.log_path = logPath_.c_str();
        ASSERT_EQ(0, tsdk_init());
        ASSERT_EQ(0, shellcmd_init());
        /* Records each argument on a line, then H and L as it saw them. */
        harness::WriteFile(dir_.sub("rec"),
                           "#!/bin/sh\nout=\"$(dirname \"$0\")/args\"\n"
                           "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done\n"
                           "printf 'H=%s L=%s\\n' \"${H-unset}\" \"${L-unset}\" >> \"$out\"\n",
                           0755);
    }
    void TearDown() override
    {
        shellcmd_release();
        tsdk_deinit();
    }
    std::string Args() const { return harness::ReadFile(dir_.sub("args")); }
    std::string Log() const { return harness::ReadFile(logPath_); }

    harness::TempDir dir_;
    std::string logPath_;
};

TEST_F(ShellCmd, WordsAreSplitAtBlanksAndNeverInterpreted)
{
    struct Case {
        const char *words;
        const char *expected;
    } cases[] = {
        {"key feed Input1 Closed", "key\nfeed\nInput1\nClosed\n"},
        {"k  f\tchan    1.5", "k\nf\nchan\n1.5\n"},
        {"k f a;touch${IFS}INJ b", "k\nf\na;touch${IFS}INJ\nb\n"},
        {"k f $(touch INJ) `touch INJ`", "k\nf\n$(touch\nINJ)\n`touch\nINJ`\n"},
        {"k f 'quoted' \"dq\" * >INJ", "k\nf\n'quoted'\n\"dq\"\n*\n>INJ\n"},
        {"k f a|b&&c x=1", "k\nf\na|b&&c\nx=1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words);
        unlink(dir_.sub("args").c_str());
        ASSERT_EQ(0, shellcmd_run("%s/rec %s", dir_.path().c_str(), c.words));
        EXPECT_EQ(std::string(c.expected) + "H=unset L=unset\n", Args());
        EXPECT_FALSE(harness::FileExists(dir_.sub("INJ")));
        EXPECT_FALSE(harness::FileExists("INJ"));
    }
}

TEST_F(ShellCmd, LeadingAssignmentsGoToTheEnvironment)
{
    ASSERT_EQ(0, shellcmd_run("H=%d L=%d %s/rec", 45, 40, dir_.path().c_str()));
    EXPECT_EQ("H=45 L=40\n", Args());
}

TEST_F(ShellCmd, ACommandThatDoesNotFitIsRefusedNotCut)
{
    std::string longName(SYSCMD_SIZE, 'n');
    EXPECT_EQ(SHELLCMD_REFUSED, shellcmd_run("%s/rec %s", dir_.path().c_str(), longName.c_str()));
    EXPECT_FALSE(harness::FileExists(dir_.sub("args")));
    EXPECT_NE(std::string::npos, Log().find("ERROR [Ombrelle]Command of "));

    std::string fits(SYSCMD_SIZE - 1 - dir_.path().size() - 5, 'f');
    EXPECT_EQ(0, shellcmd_run("%s/rec %s", dir_.path().c_str(), fits.c_str()));
    EXPECT_EQ(fits + "\nH=unset L=unset\n", Args());
}

TEST_F(ShellCmd, AMissingProgramOrAnEmptyLineIsNoCrash)
{
    shellcmd_run("%s/none a b", dir_.path().c_str());
    EXPECT_EQ(-1, shellcmd_run("   "));
    EXPECT_EQ(-1, shellcmd_run("H=1"));
}

TEST_F(ShellCmd, CommandsFromSeveralThreadsNeverOverlap)
{
    harness::WriteFile(dir_.sub("slow"),
                       "#!/bin/sh\nf=\"$(dirname \"$0\")/trace\"\necho \"start $1\" >> \"$f\"\n"
                       "sleep 0.05\necho \"end $1\" >> \"$f\"\n",
                       0755);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3; ++i)
                shellcmd_run("%s/slow %d", dir_.path().c_str(), t * 10 + i);
        });
    for (std::thread &t : threads)
        t.join();
    std::vector<std::string> lines;
    std::string trace = harness::ReadFile(dir_.sub("trace"));
    ASSERT_EQ(24u, harness::CountOccurrences(trace, "\n"));
    for (size_t pos = 0; pos < trace.size();) {
        size_t nl = trace.find('\n', pos);
        lines.push_back(trace.substr(pos, nl - pos));
        pos = nl + 1;
    }
    for (size_t i = 0; i < lines.size(); i += 2) {
        ASSERT_EQ(0u, lines[i].rfind("start ", 0));
        EXPECT_EQ("end " + lines[i].substr(6), lines[i + 1]);
    }
}

}  // namespace
