/*
 * Ombrelle stopped while a tick waits for a child program or for the radio
 * module: it ends within the child bound plus a second, and leaves no child
 * behind.
 */
#include <signal.h>
#include <stdlib.h>
#include <termios.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feed_support.h"
#include "harness.h"
#include "shellcmd.h"
#include "sim_camera.h"

namespace {

using feedtest::ConfigFlags;
using feedtest::FeedSettings;

const int kWaitMs = 30000;
const long kExitBoundMs = SHELLCMD_RUN_BOUND_S * 1000L + 1000;

/* Each script notes its pid, and those of what it starts, one a line in "pids" beside itself. */
#define PIDS "\"$(dirname \"$0\")/pids\""

const char kProbeWritesAReading[] =
    "#!/bin/sh\nprintf '   21.00' > \"$OMBRELLE_ROOT/var/log/InternalTemp.log\"\n";

struct StopCase {
    const char *name;
    int sensorType;
    const char *feedUpdate;   /* nullptr: the recording script */
    const char *coreprobe;
};

void PrintTo(const StopCase &c, std::ostream *os)
{
    *os << c.name;
}

const StopCase kStopCases[] = {
    {"FeedUpdateHangingFor20s", 2, "#!/bin/sh\necho $$ >> " PIDS "\nsleep 20\n", kProbeWritesAReading},
    {"FeedUpdateHangingForeverAndIgnoringSigterm", 2,
     "#!/bin/sh\ntrap '' TERM\necho $$ >> " PIDS "\nwhile :; do sleep 1; done\n", kProbeWritesAReading},
    {"FeedUpdateWaitingForItsCurl", 2, "#!/bin/sh\nsleep 1000 &\necho $! >> " PIDS "\necho $$ >> " PIDS "\nwait\n",
     kProbeWritesAReading},
    {"CoreprobeHanging", 2, nullptr, "#!/bin/sh\necho $$ >> " PIDS "\nsleep 1000\n"},
    {"RadioModuleSilent", 0, nullptr, kProbeWritesAReading},
};

std::vector<pid_t> Pids(const std::string &path)
{
    std::vector<pid_t> pids;
    std::istringstream in(harness::ReadFile(path));
    for (long pid; in >> pid;)
        pids.push_back((pid_t)pid);
    return pids;
}

/* Neither gone nor a zombie waiting to be reaped. */
bool Alive(pid_t pid)
{
    std::string stat = harness::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

class StopProcess : public testing::TestWithParam<StopCase> {
protected:
    SimCamera camera_;
};

TEST_P(StopProcess, EndsWithinTheChildBoundPlusASecond)
{
    const StopCase &c = GetParam();
    feedtest::SerialPeer peer(camera_.root());
    harness::WriteFile(camera_.home() + "/feed_update", c.feedUpdate ? c.feedUpdate : feedtest::kFeedUpdateScript,
                       0755);
    harness::WriteFile(camera_.home() + "/coreprobe", c.coreprobe, 0755);
    FeedSettings feed;
    feed.type = c.sensorType;
    feed.param = 10;
    feed.interval = 0;
    feed.channels = {{1, "Core", 30}};
    feedtest::ReplaceFile(camera_.home() + "/html/configparams.xml", feedtest::ConfigParamsXml(ConfigFlags{}));
    feedtest::ReplaceFile(camera_.home() + "/html/xivelyconfig.xml", feedtest::XivelyConfigXml(feed));
    camera_.Start();

    const std::string pids = camera_.home() + "/pids";
    if (c.sensorType == 0)
        ASSERT_TRUE(peer.WaitForCflag(CRTSCTS, kWaitMs)) << camera_.Log();
    else
        ASSERT_TRUE(harness::WaitFor([&] { return !Pids(pids).empty(); }, kWaitMs)) << camera_.Log();
    long signalled = harness::NowMs();
    camera_.Signal(SIGTERM);
    EXPECT_EQ(0, camera_.WaitExit(kWaitMs)) << camera_.Stderr();
    EXPECT_LT(harness::NowMs() - signalled, kExitBoundMs) << camera_.Log();

    for (pid_t pid : Pids(pids))
        EXPECT_TRUE(harness::WaitFor([&] { return !Alive(pid); }, 5000)) << "pid " << pid << " outlived Ombrelle";
    std::string log = camera_.Log();
    if (c.sensorType != 0)
        EXPECT_NE(std::string::npos, log.find(" stopped: Ombrelle is stopping\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Error Getting Sensor data")) << "a stop is no failed sampling\n" << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, StopProcess, testing::ValuesIn(kStopCases),
                         [](const testing::TestParamInfo<StopCase> &info) { return std::string(info.param.name); });

}  // namespace
