/* Ombrelle as the platform runs it: start-up, signals, shutdown. */
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "feed_support.h"
#include "sim_camera.h"

namespace {

const char kStarted[] = "[Ombrelle] ========= DYNAMIC CONFIGURATION STARTED =========\n";
const char kFreed[] = "[Ombrelle]OutputFreeMemory done \n";

TEST(OmbrelleStartup, MakesTheSensorDirectoryAndAppliesTheConfiguration)
{
    SimCamera camera;
    camera.Start();
    ASSERT_TRUE(camera.WaitLog(kStarted));
    EXPECT_TRUE(harness::FileExists(camera.root() + "/var/extsensor"));
    camera.Signal(SIGTERM);
    EXPECT_EQ(0, camera.WaitExit());
}

TEST(OmbrelleStartup, AnExistingSensorDirectoryIsNoError)
{
    SimCamera camera;
    harness::MakeDirs(camera.root() + "/var/extsensor");
    camera.Start();
    ASSERT_TRUE(camera.WaitLog(kStarted));
    camera.Signal(SIGTERM);
    EXPECT_EQ(0, camera.WaitExit());
    EXPECT_NE(std::string::npos, camera.Log().find(kFreed));
}

TEST(OmbrelleStartup, SdkThatFailsToStartEndsWithStatusOneBeforeAnythingElse)
{
    SimCamera camera;
    camera.Start({"TSDK_SIM_FAIL=init"});
    EXPECT_EQ(1, camera.WaitExit());
    EXPECT_NE(std::string::npos, camera.Stderr().find("[Ombrelle]Tarvane SDK initialization failed.\n"));
    EXPECT_FALSE(harness::FileExists(camera.root() + "/var/extsensor"));
    EXPECT_EQ(std::string::npos, camera.Stderr().find("Parsing XML file"));
}

TEST(OmbrelleSignals, Sigusr1AppliesTheConfigurationAgain)
{
    SimCamera camera;
    camera.Start();
    ASSERT_TRUE(camera.WaitLog(kStarted));
    camera.Signal(SIGUSR1);
    ASSERT_TRUE(camera.WaitLog("[Ombrelle]Handle Configuration Change\n"));
    EXPECT_TRUE(camera.WaitLogCount(kStarted, 2));
    camera.Signal(SIGTERM);
    EXPECT_EQ(0, camera.WaitExit());
}

class OmbrelleStopSignal : public testing::TestWithParam<int> {};

TEST_P(OmbrelleStopSignal, StopsInOrderWithStatusZero)
{
    SimCamera camera;
    camera.Start();
    ASSERT_TRUE(camera.WaitLog(kStarted));
    camera.Signal(GetParam());
    EXPECT_EQ(0, camera.WaitExit());
    std::string log = camera.Log();
    EXPECT_NE(std::string::npos, log.find(kFreed));
    EXPECT_EQ(std::string::npos, log.find("Timer deleted"));
    std::string calls = camera.Calls();
    EXPECT_EQ("tsdk_deinit\n", calls.substr(calls.rfind('\n', calls.size() - 2) + 1));
}

INSTANTIATE_TEST_SUITE_P(Signals, OmbrelleStopSignal, testing::Values(SIGTERM, SIGINT, SIGABRT),
                         [](const testing::TestParamInfo<int> &info) {
                             return std::string(sigabbrev_np(info.param));
                         });

/*
 * A reconfiguration that waits: a tick is held in coreprobe while a new
 * configuration switches the feed off, so that application waits for the
 * running tick before it deletes the timer.
 */
class HeldReconfiguration : public testing::Test {
protected:
    const std::string kChange = "[Ombrelle]Handle Configuration Change\n";
    const std::string kFeedOff = "[Ombrelle]Output XivelyEnabled  = 0 \n";
    const std::string kTimerDeleted = "[Ombrelle] Timer deleted\n";

    void SetUp() override
    {
        harness::WriteFile(camera_.home() + "/coreprobe",
                           "#!/bin/sh\nhome=\"$(dirname \"$0\")\"\necho run >> \"$home/probe_runs\"\n"
                           "while [ ! -f \"$home/release\" ]; do sleep 0.05; done\n",
                           0755);
        feedtest::FeedSettings feed;
        feed.type = 2;
        feed.param = 40;
        feed.interval = 0;
        feed.channels = {{1, "Core", 30}};
        feedtest::ReplaceFile(camera_.home() + "/html/xivelyconfig.xml", feedtest::XivelyConfigXml(feed));
        Configure(1);
    }

    void Configure(int xively)
    {
        feedtest::ConfigFlags flags;
        flags.xively = xively;
        feedtest::ReplaceFile(camera_.home() + "/html/configparams.xml", feedtest::ConfigParamsXml(flags));
    }

    /* Starts Ombrelle and returns once its second application waits for the running tick. */
    void StartAndHold()
    {
        camera_.Start();
        ASSERT_TRUE(camera_.WaitLog("[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========\n"));
        ASSERT_TRUE(harness::WaitFor([&] { return harness::FileExists(camera_.home() + "/probe_runs"); }, 20000));
        Configure(0);
        camera_.Signal(SIGUSR1);
        ASSERT_TRUE(camera_.WaitLogCount(kFeedOff, 1));
        usleep(200 * 1000);
        ASSERT_EQ(std::string::npos, camera_.Log().find(kTimerDeleted)) << "the application did not wait";
    }

    void Release() { harness::WriteFile(camera_.home() + "/release", ""); }

    SimCamera camera_;
};

TEST_F(HeldReconfiguration, ABurstOfSigusr1DuringAnApplicationGivesExactlyOneMore)
{
    ASSERT_NO_FATAL_FAILURE(StartAndHold());
    for (int i = 0; i < 3; ++i) {
        camera_.Signal(SIGUSR1);
        usleep(20 * 1000);
    }
    usleep(200 * 1000);
    EXPECT_EQ(1u, harness::CountOccurrences(camera_.Log(), kChange)) << "not while an application runs";
    Release();
    ASSERT_TRUE(camera_.WaitLogCount(kChange, 2));
    ASSERT_TRUE(camera_.WaitLogCount(kFeedOff, 2));
    usleep(500 * 1000);
    camera_.Signal(SIGTERM);
    EXPECT_EQ(0, camera_.WaitExit());
    std::string log = camera_.Log();
    EXPECT_EQ(2u, harness::CountOccurrences(log, kChange)) << log;
    EXPECT_EQ(3u, harness::CountOccurrences(log, "DYNAMIC CONFIGURATION STARTED")) << log;
}

TEST_F(HeldReconfiguration, AStopDuringAnApplicationLetsItFinishFirst)
{
    ASSERT_NO_FATAL_FAILURE(StartAndHold());
    camera_.Signal(SIGTERM);
    usleep(200 * 1000);
    Release();
    EXPECT_EQ(0, camera_.WaitExit());
    std::string log = camera_.Log();
    harness::ExpectInOrder(log, {kChange, kTimerDeleted, "[Ombrelle]OutputFreeMemory done \n"});
    EXPECT_EQ(1u, harness::CountOccurrences(log, kChange));
}

}  // namespace
