/* Applying the configuration in-process: pairs of files applied in sequence, and what each leaves. */
#include "reconfig.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appconfig.h"
#include "feed_support.h"
#include "harness.h"
#include "ombrelle.h"
#include "shellcmd.h"
#include "triggers.h"
#include "tsdk.h"

namespace {

using feedtest::ConfigFlags;
using feedtest::FeedChannel;
using feedtest::FeedSettings;

const char kStarted[] = "[Ombrelle] ========= DYNAMIC CONFIGURATION STARTED =========\n";
const char kEnded[] = "[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========\n";
const char kTimerUpdated[] = "[Ombrelle] Timer deleted & updated\n";
const char kTimerDeleted[] = "[Ombrelle] Timer deleted\n";
const char kReaderStarted[] = "[Ombrelle] Serial proc updated\n";
const char kFeedFileRead[] = "/html/xivelyconfig.xml \n";

enum TimerState { kNoTimer, kNewTimer, kKeptTimer };

struct Step {
    const char *name;
    std::string configparams;  /* "" leaves the file missing */
    std::string xivelyconfig;
    int result;
    TimerState timer;
    long period;               /* seconds, while a timer exists */
    bool reader;
    std::vector<std::string> lines;   /* in this order among the step's log lines */
    std::vector<std::string> absent;
    std::function<void()> check;
};

std::string Config(ConfigFlags f)
{
    return feedtest::ConfigParamsXml(f);
}

ConfigFlags Flags(int ext, int xively = 1)
{
    ConfigFlags f;
    f.ext = ext;
    f.xively = xively;
    return f;
}

std::string Feed(int type, int interval, int enabled = 1, int number = 1)
{
    FeedSettings s;
    s.type = type;
    s.interval = interval;
    s.number = number;
    s.channels = {{enabled, "A", 30}};
    return feedtest::XivelyConfigXml(s);
}

const long kClampedPeriod = 2147483647L / 60 * 60;

std::vector<Step> Sequence()
{
    ConfigFlags outOfRange;
    outOfRange.input1 = 2;
    outOfRange.motion = -1;
    outOfRange.daynight = 2;
    outOfRange.rs485 = 3;
    outOfRange.app = 7;
    ConfigFlags named = Flags(1);
    named.input1 = 1;
    return {
        {"FirstFullApplicationCreatesTheTimer", Config(Flags(0)), Feed(3, 10), 1, kNewTimer, 600, false,
         {kStarted, "[Ombrelle]Ext_thread            = 0 \n", "[Ombrelle]Output XivelyEnabled  = 1 \n",
          "[Ombrelle]Output AppEnabled     = 0 \n", kFeedFileRead, "[Ombrelle]Apikey = KEY \n",
          "[Ombrelle]FeedID = FEED \n", "[Ombrelle]Sensor Type    = 3\n", "[Ombrelle]Sensor Param= 0\n",
          "[Ombrelle]IntervalinMin  = 10\n", "[Ombrelle]Channel Number = 1\n", "[Ombrelle]Channel1 Enabled= 1\n",
          "[Ombrelle]Channel1 Param= 30\n", "[Ombrelle]Channel1 Name   = A \n", kTimerUpdated, kEnded},
         {kReaderStarted, "Input1 Name", "not in range"}},
        {"ExtThreadOneStartsTheReader", Config(Flags(1)), Feed(3, 20), 1, kNewTimer, 1200, true,
         {kTimerUpdated, kReaderStarted, kEnded}, {}},
        {"ExtThreadTwoStartsNothing", Config(Flags(2)), Feed(3, 20), 1, kNewTimer, 1200, true, {kEnded},
         {kReaderStarted}},
        {"ExtThreadOneAgainStopsTheReader", Config(Flags(1)), Feed(3, 20), 1, kNewTimer, 1200, false, {kEnded},
         {kReaderStarted}},
        {"RangesGoBackToTheirDefaults", Config(outOfRange), Feed(3, -2, 1, 0), 1, kNewTimer, 300, false,
         {"[Ombrelle] Input1Enabled not in range ... setting to default 0\n",
          "[Ombrelle]MotionDetectionEnabled not in range ... setting to default 0\n",
          "[Ombrelle]DayNightEnabled not in Range ... seting to default 0\n",
          "[Ombrelle]RS485Enabled not in range ... seting to default 0\n", "[Ombrelle]Input1Enabled           = 0 \n",
          "[Ombrelle]MotionDetectionEnabled  = 0 \n", "[Ombrelle]DayNightEnabled         = 0 \n",
          "[Ombrelle]RS485Enabled            = 0 \n", "[Ombrelle]AppEnabled not in range ... setting to default 0\n",
          "[Ombrelle]Output AppEnabled     = 0 \n", "[Ombrelle] Xively Interval not in range ... setting to default 5\n",
          "[Ombrelle] Xively Channel number not in range ... setting to MAX 8\n", "[Ombrelle]IntervalinMin  = 5\n",
          "[Ombrelle]Channel Number = 8\n", "[Ombrelle]Channel8 Name   =  \n", kTimerUpdated},
         {"XivelyEnabled not in range"},
         [] { EXPECT_EQ(1, AppContext.ChannelEnabled[0]) << "no channel triple is read for ChannelNumber 0"; }},
        {"AllChannelsDisabledKeepTheTimer", Config(Flags(0)), Feed(3, 30, 0), 1, kKeptTimer, 300, false,
         {"[Ombrelle]IntervalinMin  = 30\n", "[Ombrelle]Channel1 Enabled= 0\n", kEnded}, {kTimerUpdated}},
        {"IntervalZeroTicksEverySecond", Config(Flags(0)), Feed(3, 0, 1, 9), 1, kNewTimer, 1, false,
         {"[Ombrelle] Xively Channel number not in range ... setting to MAX 8\n", "[Ombrelle]Channel Number = 8\n"},
         {}},
        {"IntervalBeyondTheClockIsClamped", Config(Flags(0)), Feed(3, 99999999), 1, kNewTimer, kClampedPeriod,
         false, {"[Ombrelle]IntervalinMin  = 99999999\n", kTimerUpdated}, {"Timer setting error"}},
        {"NamesOfEnabledReportsAndTheReaderAgain", Config(named), Feed(3, 1), 1, kNewTimer, 60, true,
         {"[Ombrelle]Input1 Name            = Door \n", kReaderStarted},
         {"MotionDetection Name", "DayNight Name"}},
        {"SensorTypeFourIsRefused", Config(Flags(1)), Feed(4, 40), 0, kKeptTimer, 60, true,
         {"[Ombrelle] Sensor type not supported!\n"}, {kTimerUpdated, kEnded, "[Ombrelle]Apikey"},
         [] { EXPECT_EQ(4, AppContext.SensorType) << "the refused value stays in the record"; }},
        {"SensorTypeMinusOneIsRefused", Config(Flags(1)), Feed(-1, 40), 0, kKeptTimer, 60, true,
         {"[Ombrelle] Sensor type not supported!\n"}, {kTimerUpdated, kEnded}, {}},
        {"MissingFeedFileKeepsTimerAndReader", Config(named), "", 0, kKeptTimer, 60, true,
         {"ERROR [Ombrelle]Error Parsing Output configuration xml file \n"}, {kEnded},
         [] {
             EXPECT_STREQ("", AppContext.Apikey) << "cleared by the first file";
             EXPECT_EQ(-1, AppContext.SensorType);
         }},
        {"MissingConfigFileChangesNothing", "", Feed(3, 7), 0, kKeptTimer, 60, true,
         {kStarted, "ERROR [Ombrelle]Error Parsing configuration xml file \n"}, {kFeedFileRead, "Input1Enabled"},
         [] {
             EXPECT_EQ(1, AppContext.Input1Enabled);
             EXPECT_EQ(1, AppContext.Ext_thread);
         }},
        {"FeedOffDeletesTheTimerAndLeavesTheReader", Config(Flags(1, 0)), Feed(3, 7), 0, kNoTimer, 0, true,
         {kTimerDeleted}, {kFeedFileRead, kEnded, kTimerUpdated}},
        {"FeedOffAgainHasNoTimerToDelete", Config(Flags(1, 0)), Feed(3, 7), 0, kNoTimer, 0, true, {},
         {kTimerDeleted}},
        {"FeedOutOfRangeIsOff", Config(Flags(0, 2)), Feed(3, 7), 0, kNoTimer, 0, true,
         {"[Ombrelle] XivelyEnabled not in range ... setting to default 0\n", "[Ombrelle]Output XivelyEnabled  = 0 \n"},
         {kFeedFileRead}},
        {"FullApplicationStopsTheReader", Config(Flags(1)), Feed(3, 3), 1, kNewTimer, 180, false, {kEnded},
         {kReaderStarted}},
    };
}

class ReconfigTest : public feedtest::FeedFixture {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(FeedFixture::SetUp());
        harness::MakeDirs(home_ + "/html");
    }

    /* Shutdown's order: every report off, the timer and the reader stopped, then the buffers. */
    void TearDown() override
    {
        AppContext_ClearSettings(&AppContext);
        setup_triggers();
        upload_timer_delete();
        serial_reader_stop();
        OutputFreeMemory(&AppContext);
        FeedFixture::TearDown();
    }

    void Place(const std::string &name, const std::string &content)
    {
        std::string path = home_ + "/html/" + name;
        if (content.empty())
            unlink(path.c_str());
        else
            feedtest::ReplaceFile(path, content);
    }

    /* Read without flushing: every line must already be in the file when its step returns. */
    std::string NewLog()
    {
        std::string all = harness::ReadFile(logPath_);
        std::string fresh = all.substr(logMark_);
        logMark_ = all.size();
        return fresh;
    }

    size_t logMark_ = 0;
};

TEST_F(ReconfigTest, PairsOfFilesAppliedInSequence)
{
    feedtest::SerialPeer peer(root_);
    timer_t previous{};
    long previousPeriod = 0;
    for (const Step &step : Sequence()) {
        SCOPED_TRACE(step.name);
        Place("configparams.xml", step.configparams);
        Place("xivelyconfig.xml", step.xivelyconfig);
        std::string calls = harness::ReadFile(sim_ + "/calls");

        EXPECT_EQ(step.result, Update_App_Configurations());

        if (step.configparams.empty())
            EXPECT_EQ(calls, harness::ReadFile(sim_ + "/calls")) << "the subscriptions stay as they were";

        std::string log = NewLog();
        harness::ExpectInOrder(log, step.lines);
        for (const std::string &line : step.absent)
            EXPECT_EQ(std::string::npos, log.find(line)) << "unexpected: " << line << "\nin:\n" << log;
        EXPECT_EQ(step.reader, serial_thread_running);
        EXPECT_EQ(step.timer != kNoTimer, timer_armed);
        if (step.timer != kNoTimer && timer_armed) {
            struct itimerspec spec;
            ASSERT_EQ(0, timer_gettime(timer_id, &spec));
            EXPECT_EQ(step.period, (long)spec.it_interval.tv_sec);
            EXPECT_LE((long)spec.it_value.tv_sec, step.period);
            if (step.timer == kNewTimer)
                EXPECT_GE((long)spec.it_value.tv_sec, step.period - 30) << "armed afresh";
            if (step.timer == kKeptTimer) {
                EXPECT_EQ(0, memcmp(&previous, &timer_id, sizeof previous));
                EXPECT_EQ(previousPeriod, step.period);
            }
            previous = timer_id;
            previousPeriod = step.period;
        }
        if (step.check)
            step.check();
    }
}

}  // namespace
