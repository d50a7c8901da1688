/* Commands from the shared buffer: the words a program gets, and nothing else. */
#include <pthread.h>
#include <stdlib.h>
#include <sys/types.h>

#include <ostream>
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
        shellcmd_run_bound_ms = SHELLCMD_RUN_BOUND_S * 1000u;
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

/* Arguments given one by one arrive whole, trimmed at both ends only; the line limit and the exit status hold. */
TEST_F(ShellCmd, ArgumentsGivenOneByOneArriveWholeWithTheirExitStatus)
{
    const std::string rec = dir_.sub("rec");
    const std::string fits(SYSCMD_SIZE - 2 - rec.size(), 'f');
    struct Case {
        std::vector<std::string> args;
        const char *tail;  /* appended to rec: how it ends */
        int rc, status;
        std::string expected;  /* the recorded words, "" when not run */
    } cases[] = {
        {{"key", "feed", "Outside", "21.5 C"}, "", 0, 0, "key\nfeed\nOutside\n21.5 C\n"},
        {{" k ", "\tf", "Front door ", "    23.5"}, "", 0, 0, "k\nf\nFront door\n23.5\n"},
        {{"k", "f", "it's \"x\"", "a\tb"}, "", 0, 0, "k\nf\nit's \"x\"\na\tb\n"},
        {{"k", "f", "$(touch INJ)", ";touch INJ"}, "", 0, 0, "k\nf\n$(touch INJ)\n;touch INJ\n"},
        {{"H=1", "", " ", "x"}, "", 0, 0, "H=1\n\n\nx\n"},
        {{"k", "f", "c", "v"}, "exit 5\n", 0, 5, "k\nf\nc\nv\n"},
        {{"k", "f", "c", "v"}, "kill -9 $$\n", 0, SHELLCMD_EXIT_SIGNAL, "k\nf\nc\nv\n"},
        {{fits}, "", 0, 0, fits + "\n"},
        {{fits + "f"}, "", SHELLCMD_REFUSED, SHELLCMD_EXIT_SIGNAL, ""},
    };
    const std::string script = harness::ReadFile(rec);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.tail);
        harness::WriteFile(rec, script + c.tail, 0755);
        unlink(dir_.sub("args").c_str());
        std::vector<const char *> args;
        for (const std::string &a : c.args)
            args.push_back(a.c_str());
        int status = 99;
        EXPECT_EQ(c.rc, shellcmd_run_args(rec.c_str(), args.data(), (int)args.size(), &status));
        EXPECT_EQ(c.status, status);
        EXPECT_EQ(c.expected.empty() ? "" : c.expected + "H=unset L=unset\n", Args());
        EXPECT_FALSE(harness::FileExists(dir_.sub("INJ")));
    }
    EXPECT_NE(std::string::npos, Log().find("ERROR [Ombrelle]Command of 256 bytes does not fit in 255, not run\n"));
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


/* ---- what a child does: started or not, within its bound or killed ---- */

/* The pid a script left in a file beside it, or -1. */
pid_t PidIn(const std::string &path)
{
    std::string text = harness::ReadFile(path);
    return text.empty() ? -1 : (pid_t)atol(text.c_str());
}

/* Neither gone nor a zombie waiting to be reaped. */
bool Alive(pid_t pid)
{
    std::string stat = harness::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool Gone(pid_t pid)
{
    return harness::WaitFor([&] { return !Alive(pid); }, 5000);
}

const unsigned kBoundMs = 1000;

struct ChildCase {
    const char *name;
    const char *script;     /* nullptr: no program at all */
    mode_t mode;
    int result;
    const char *error;      /* the one error line's ending, "" for none */
    unsigned minMs;         /* the run lasts at least this */
    bool grandchild;        /* the script left the pid of a child of its own in gpid */
};

void PrintTo(const ChildCase &c, std::ostream *os)
{
    *os << c.name;
}

#define HERE "\"$(dirname \"$0\")\""

const ChildCase kChildCases[] = {
    {"EndsAtOnce", "#!/bin/sh\necho $$ > " HERE "/pid\n", 0755, 0, "", 0, false},
    {"WithoutAShebangRunsThroughTheShell", "echo $$ > " HERE "/pid\necho \"$@\" > " HERE "/ran\n", 0755, 0, "", 0,
     false},
    {"RunsPastTheBound", "#!/bin/sh\necho $$ > " HERE "/pid\nexec sleep 30\n", 0755, SHELLCMD_KILLED,
     " did not end within 1000 ms, killed\n", kBoundMs, false},
    {"IgnoresSigterm", "#!/bin/sh\ntrap '' TERM\necho $$ > " HERE "/pid\nwhile :; do sleep 0.05; done\n", 0755,
     SHELLCMD_KILLED, " did not end within 1000 ms, killed\n", kBoundMs + SHELLCMD_KILL_GRACE_MS, false},
    {"WaitsForAChildOfItsOwn", "#!/bin/sh\nsleep 30 &\necho $! > " HERE "/gpid\necho $$ > " HERE "/pid\nwait\n",
     0755, SHELLCMD_KILLED, " did not end within 1000 ms, killed\n", kBoundMs, true},
    {"LeavesAChildThatIgnoresSigterm",
     "#!/bin/sh\n(trap '' TERM; while :; do sleep 0.05; done) &\necho $! > " HERE "/gpid\necho $$ > " HERE
     "/pid\nwait\n",
     0755, SHELLCMD_KILLED, " did not end within 1000 ms, killed\n", kBoundMs, true},
    {"Missing", nullptr, 0, SHELLCMD_NOT_STARTED, " could not be started: No such file or directory\n", 0, false},
    {"NotExecutable", "#!/bin/sh\necho $$ > " HERE "/pid\n", 0644, SHELLCMD_NOT_STARTED,
     " could not be started: Permission denied\n", 0, false},
};

class ChildRun : public ShellCmd, public testing::WithParamInterface<ChildCase> {};

TEST_P(ChildRun, StartsOrSaysWhyAndNeverOutlivesItsBound)
{
    const ChildCase &c = GetParam();
    shellcmd_run_bound_ms = kBoundMs;
    std::string program = dir_.sub("prog");
    if (c.script != nullptr)
        harness::WriteFile(program, c.script, c.mode);
    long start = harness::NowMs();
    EXPECT_EQ(c.result, shellcmd_run("%s x y", program.c_str()));
    long took = harness::NowMs() - start;
    EXPECT_GE(took, (long)c.minMs);
    EXPECT_LT(took, (long)(c.minMs + SHELLCMD_KILL_GRACE_MS + 3000));
    std::string log = Log();
    if (c.error[0] == '\0') {
        EXPECT_EQ("", log);
    } else {
        EXPECT_EQ("ERROR [Ombrelle]Command " + program + c.error, log);
    }
    bool ran = c.result == 0 || c.result == SHELLCMD_KILLED;
    pid_t pid = PidIn(dir_.sub("pid"));
    EXPECT_EQ(ran, pid > 0);
    if (pid > 0)
        EXPECT_TRUE(Gone(pid)) << "the program outlived its run";
    if (c.grandchild) {
        pid_t gpid = PidIn(dir_.sub("gpid"));
        ASSERT_GT(gpid, 0);
        EXPECT_TRUE(Gone(gpid)) << "what the program started outlived it";
    }
    if (c.script != nullptr && strncmp(c.script, "#!", 2) != 0)
        EXPECT_EQ("x y\n", harness::ReadFile(dir_.sub("ran")));
}

INSTANTIATE_TEST_SUITE_P(Children, ChildRun, testing::ValuesIn(kChildCases),
                         [](const testing::TestParamInfo<ChildCase> &info) { return std::string(info.param.name); });

TEST_F(ShellCmd, AbortKillsTheProgramUnderWayAndRefusesLaterRunsUntilInit)
{
    harness::WriteFile(dir_.sub("hang"),
                       "#!/bin/sh\nsleep 30 &\necho $! > " HERE "/gpid\necho $$ > " HERE "/pid\nwait\n", 0755);
    int result = 0;
    long ended = 0;
    std::thread runner([&] {
        result = shellcmd_run("%s/hang", dir_.path().c_str());
        ended = harness::NowMs();
    });
    ASSERT_TRUE(harness::WaitFor([&] { return PidIn(dir_.sub("pid")) > 0; }, 20000));
    long aborted = harness::NowMs();
    shellcmd_abort();
    runner.join();
    EXPECT_EQ(SHELLCMD_ABORTED, result);
    EXPECT_LT(ended - aborted, SHELLCMD_KILL_GRACE_MS + 2000);
    EXPECT_TRUE(Gone(PidIn(dir_.sub("pid"))));
    EXPECT_TRUE(Gone(PidIn(dir_.sub("gpid"))));
    EXPECT_EQ("ERROR [Ombrelle]Command " + dir_.sub("hang") + " stopped: Ombrelle is stopping\n", Log());

    std::string before = Log();
    EXPECT_EQ(SHELLCMD_ABORTED, shellcmd_run("%s/rec a", dir_.path().c_str()));
    EXPECT_FALSE(harness::FileExists(dir_.sub("args")));
    EXPECT_EQ(before + "ERROR [Ombrelle]Command " + dir_.sub("rec") + " not run: Ombrelle is stopping\n", Log());
    long start = harness::NowMs();
    EXPECT_EQ(SHELLCMD_ABORTED, shellcmd_pause(30));
    EXPECT_LT(harness::NowMs() - start, 1000);

    shellcmd_release();
    ASSERT_EQ(0, shellcmd_init());
    EXPECT_EQ(0, shellcmd_run("%s/rec a", dir_.path().c_str()));
    EXPECT_EQ("a\nH=unset L=unset\n", Args());
}

TEST_F(ShellCmd, PauseLastsItsTimeOrEndsAtAnAbort)
{
    long start = harness::NowMs();
    EXPECT_EQ(0, shellcmd_pause(1));
    EXPECT_GE(harness::NowMs() - start, 1000);
    int result = 0;
    std::thread pauser([&] { result = shellcmd_pause(30); });
    usleep(200 * 1000);
    start = harness::NowMs();
    shellcmd_abort();
    pauser.join();
    EXPECT_EQ(SHELLCMD_ABORTED, result);
    EXPECT_LT(harness::NowMs() - start, 1000);
}

/* The shell passes on an environment of any size; so must the runner. */
TEST_F(ShellCmd, AnyNumberOfEnvironmentEntriesIsPassedOn)
{
    const int count = 1000;
    for (int i = 0; i < count; ++i)
        setenv(("OMBRELLE_TEST_VAR_" + std::to_string(i)).c_str(), "v", 1);
    harness::WriteFile(dir_.sub("envrec"),
                       "#!/bin/sh\nprintf '%s %s %s\\n' \"$OMBRELLE_TEST_VAR_999\" \"$H\" \"$L\" > " HERE "/env\n",
                       0755);
    int result = shellcmd_run("H=45 L=40 %s/envrec", dir_.path().c_str());
    for (int i = 0; i < count; ++i)
        unsetenv(("OMBRELLE_TEST_VAR_" + std::to_string(i)).c_str());
    EXPECT_EQ(0, result);
    EXPECT_EQ("v 45 40\n", harness::ReadFile(dir_.sub("env")));
    EXPECT_EQ("", Log());
}

}  // namespace
