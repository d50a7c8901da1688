/*
 * Ombrelle stopped while a tick waits for a child program or for the radio
 * module, also while an application that switches the feed off waits for that
 * tick: it ends within the child bound plus a second, and leaves no child
 * behind.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feed_support.h"
#include "harness.h"
#include "serial.h"
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

/* A generous bound on the stop, for a slow machine: the fault it catches waits a minute or more. */
const long kFeedOffStopBoundMs = 20000;
const char kTriggersSetUp[] = "[Ombrelle]****RS485 Report UnSubscribed****\n";

struct FeedOffCase {
    const char *name;
    int sensorType;           /* 3: the RS-485 peer pushes one frame of 8 values; 0: a radio module that is silent */
    const char *feedUpdate;
};

void PrintTo(const FeedOffCase &c, std::ostream *os)
{
    *os << c.name;
}

const FeedOffCase kFeedOffCases[] = {
    /* feed_update against a silent endpoint: its own 5 s timeout on every channel, then the point is kept. */
    {"SilentEndpoint", 3, "#!/bin/sh\necho $$ >> " PIDS "\nsleep 5\nexit 3\n"},
    {"SilentRadioModule", 0, feedtest::kFeedUpdateScript},
    {"HungScriptOverEightChannels", 3, "#!/bin/sh\ntrap '' TERM\necho $$ >> " PIDS "\nwhile :; do sleep 1; done\n"},
};

class StopDuringFeedOff : public testing::TestWithParam<FeedOffCase> {
protected:
    SimCamera camera_;
};

/*
 * A SIGTERM while an application that switches the feed off waits for the
 * tick under way: the stop ends the tick's child or serial read at once, as a
 * stop outside an application does, so the application, and then the stop,
 * end within the bound.
 */
TEST_P(StopDuringFeedOff, EndsWithinTheChildBoundPlusASecond)
{
    const FeedOffCase &c = GetParam();
    feedtest::SerialPeer peer(camera_.root());
    harness::WriteFile(camera_.home() + "/feed_update", c.feedUpdate, 0755);
    ConfigFlags flags;
    flags.ext = c.sensorType == 3 ? 1 : 0;
    FeedSettings feed;
    feed.type = c.sensorType;
    feed.interval = 0;
    feed.number = 8;
    const int radioParams[] = {10, 20, 30, 31};
    for (int k = 0; k < 8; ++k)
        feed.channels.push_back({1, "Ch" + std::to_string(k + 1), c.sensorType == 0 ? radioParams[k % 4] : 30});
    feedtest::ReplaceFile(camera_.home() + "/html/configparams.xml", feedtest::ConfigParamsXml(flags));
    feedtest::ReplaceFile(camera_.home() + "/html/xivelyconfig.xml", feedtest::XivelyConfigXml(feed));
    camera_.Start();

    const std::string pids = camera_.home() + "/pids";
    if (c.sensorType == 3) {
        ASSERT_TRUE(camera_.WaitLog("[Ombrelle] Serial proc updated\n", kWaitMs)) << camera_.Log();
        SensorRecord record;
        memset(&record, 0, sizeof record);
        for (int k = 0; k < 8; ++k) {
            record.value[k] = 10.0 + k;
            record.param[k] = 30;
        }
        /* The reader may open and flush the port after the log line (slow under qemu): send again until a tick runs. */
        bool ticking = false;
        for (long until = harness::NowMs() + kWaitMs; !ticking && harness::NowMs() < until;) {
            peer.Send(feedtest::RecordFrame(record));
            ticking = harness::WaitFor([&] { return !Pids(pids).empty(); }, 2000);
        }
        ASSERT_TRUE(ticking) << camera_.Log();
    } else {
        ASSERT_TRUE(peer.WaitForCflag(CRTSCTS, kWaitMs)) << camera_.Log();
    }
    flags.xively = 0;
    feedtest::ReplaceFile(camera_.home() + "/html/configparams.xml", feedtest::ConfigParamsXml(flags));
    camera_.Signal(SIGUSR1);
    /* The application has set up the triggers and waits for the tick. */
    ASSERT_TRUE(camera_.WaitLogCount(kTriggersSetUp, 2, kWaitMs)) << camera_.Log();
    usleep(200 * 1000);
    EXPECT_EQ(std::string::npos, camera_.Log().find("[Ombrelle] Timer deleted\n")) << "the tick already ended";
    long signalled = harness::NowMs();
    camera_.Signal(SIGTERM);
    EXPECT_EQ(0, camera_.WaitExit(150000)) << camera_.Stderr();
    long took = harness::NowMs() - signalled;
    printf("[ figure ] %s: stop during a feed-off application took %ld ms\n", c.name, took);
    EXPECT_LT(took, kFeedOffStopBoundMs) << camera_.Log();

    for (pid_t pid : Pids(pids))
        EXPECT_TRUE(harness::WaitFor([&] { return !Alive(pid); }, 5000)) << "pid " << pid << " outlived Ombrelle";
    std::string log = camera_.Log();
    EXPECT_NE(std::string::npos, log.find("[Ombrelle] Timer deleted\n")) << "the application ran to its end\n" << log;
    std::string err = camera_.Stderr();
    for (const char *mark : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error"})
        EXPECT_EQ(std::string::npos, err.find(mark)) << err;
    EXPECT_EQ(std::string::npos, log.find("Error Getting Sensor data")) << "a stop is no failed sampling\n" << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, StopDuringFeedOff, testing::ValuesIn(kFeedOffCases),
                         [](const testing::TestParamInfo<FeedOffCase> &info) { return std::string(info.param.name); });

}  // namespace
