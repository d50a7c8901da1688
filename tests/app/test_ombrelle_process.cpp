/* Ombrelle as the platform runs it: start-up, signals, shutdown. */
#include <signal.h>

#include <gtest/gtest.h>

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

}  // namespace
