/* Applying the configuration in-process: pairs of files applied in sequence, and what each leaves. */
#include "reconfig.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "appconfig.h"
#include "applog.h"
#include "feed_support.h"
#include "harness.h"
#include "ombrelle.h"
#include "shellcmd.h"
#include "triggers.h"
#include "tsdk.h"
#include "upload.h"
#include "uploadtimer.h"

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
    int64_t period;            /* seconds, while a timer exists */
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

/* Past 2^31 seconds: what a 32-bit time_t cannot hold. */
const int64_t kPeriodBeyond32Bits = 50000000LL * 60;
/* INT32_MAX minutes is clamped to half the kernel's timer range (INT64_MAX nanoseconds), about 146 years. */
const int64_t kClampedPeriod = INT64_MAX / 1000000000 / 2;

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
        {"IntervalBeyond32BitsIsKept", Config(Flags(0)), Feed(3, 50000000), 1, kNewTimer, kPeriodBeyond32Bits,
         false, {"[Ombrelle]IntervalinMin  = 50000000\n", kTimerUpdated}, {"Timer setting error"}},
        {"IntervalBeyondTheKernelsTimersIsClamped", Config(Flags(0)), Feed(3, 2147483647), 1, kNewTimer,
         kClampedPeriod, false, {"[Ombrelle]IntervalinMin  = 2147483647\n", kTimerUpdated}, {"Timer setting error"}},
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
             EXPECT_STREQ("KEY", AppContext.Apikey) << "the last feed file that parsed";
             EXPECT_EQ(-1, AppContext.SensorType);
             EXPECT_EQ(1, AppContext.Input1Enabled) << "the new first file";
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
        {"FeedOnAgain", Config(Flags(0)), Feed(3, 4), 1, kNewTimer, 240, true, {kTimerUpdated, kEnded}, {}},
        {"FeedOffOnceMore", Config(Flags(0, 0)), Feed(3, 4), 0, kNoTimer, 0, true, {kTimerDeleted}, {}},
        {"AFeedRestoredAfterFeedOffGetsItsTimerBack", Config(Flags(0)), "", 0, kNewTimer, 240, true,
         {"ERROR [Ombrelle]Error Parsing Output configuration xml file \n", kTimerUpdated}, {kEnded}},
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
    int64_t previousPeriod = 0;
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
        EXPECT_EQ(step.reader, serial_thread_held);
        EXPECT_EQ(step.timer != kNoTimer, upload_timer_exists());
        if (step.timer != kNoTimer && upload_timer_exists()) {
            struct itimerspec spec;
            ASSERT_EQ(0, upload_timer_gettime(&spec));
            EXPECT_EQ(step.period, (int64_t)spec.it_interval.tv_sec);
            EXPECT_LE((int64_t)spec.it_value.tv_sec, step.period);
            if (step.timer == kNewTimer)
                EXPECT_GE((int64_t)spec.it_value.tv_sec, step.period - 30) << "armed afresh";
            if (step.timer == kKeptTimer)
                EXPECT_EQ(previousPeriod, step.period);
            previousPeriod = step.period;
        }
        if (step.check)
            step.check();
    }
}

/* ---- what other threads see while a configuration is applied ---- */

const char kTriggerRecord[INPUT_RECORD_SIZE] = {2};

FeedSettings Named(const std::string &tag)
{
    FeedSettings s;
    s.apikey = "KEY" + tag;
    s.feedid = "FEED" + tag;
    s.interval = 10;
    s.channels = {{1, "Ch" + tag, 30}};
    return s;
}

/* A tick's or a message's words belong to one whole configuration, never to a half-applied one. */
bool WholeCall(const feedtest::Words &call)
{
    for (const char *tag : {"A", "B"}) {
        std::string t = tag;
        if (call == feedtest::Words{"KEY" + t, "FEED" + t, "Ch" + t, "42.0"} ||
            call == feedtest::Words{"KEY" + t, "FEED" + t, "Door", "Closed"})
            return true;
    }
    return false;
}

TEST_F(ReconfigTest, TicksAndHandlersSeeTheWholeConfigurationBeforeOrAfterAnApplication)
{
    enum { APPLICATIONS = 20 };
    ConfigFlags flags = Flags(0);
    flags.input1 = 1;
    Place("configparams.xml", Config(flags));
    Place("xivelyconfig.xml", feedtest::XivelyConfigXml(Named("A")));
    ASSERT_EQ(1, Update_App_Configurations());
    memset(&Serial_data, 0, sizeof Serial_data);
    Serial_data.value[0] = 42.0;
    Serial_data.param[0] = 30;

    std::atomic<bool> done{false};
    std::atomic<int> bad_files{0};
    auto ticks = std::thread([&] {
        union sigval none;
        none.sival_int = 0;
        while (!done.load()) {
            xively_timer_proc(none);
            if (harness::ReadFile(PIPE_FILE).find("\"id\":\"\"") != std::string::npos)
                ++bad_files;
        }
    });
    auto handler = std::thread([&] {
        while (!done.load())
            input_trigger_json_handler(nullptr, kTriggerRecord, sizeof kTriggerRecord);
    });
    /* Copies as the ticks and handlers do, many times per application. */
    std::atomic<long> copies{0}, mixed{0};
    auto watcher = std::thread([&] {
        while (!done.load()) {
            char key[APIKEY_SIZE], feed[FEEDID_SIZE], channel[CHANNEL_NAME_SIZE];
            AppContext_lock();
            copy_text(key, sizeof key, AppContext.Apikey);
            copy_text(feed, sizeof feed, AppContext.FeedID);
            copy_text(channel, sizeof channel, AppContext.ChannelName[0]);
            AppContext_unlock();
            std::string tag = key[0] != '\0' ? key + 3 : "?";
            if (feed != "FEED" + tag || channel != "Ch" + tag)
                ++mixed;
            ++copies;
        }
    });
    for (int i = 0; i < APPLICATIONS; ++i) {
        Place("xivelyconfig.xml", feedtest::XivelyConfigXml(Named(i % 2 == 0 ? "B" : "A")));
        EXPECT_EQ(1, Update_App_Configurations());
    }
    done = true;
    ticks.join();
    handler.join();
    watcher.join();
    EXPECT_GT(copies.load(), 0);
    EXPECT_EQ(0, mixed.load()) << "copies of a half-applied configuration";

    std::vector<feedtest::Words> calls = feedtest::ScriptCalls(harness::ReadFile(home_ + "/args"));
    EXPECT_GT(calls.size(), 0u);
    for (const feedtest::Words &call : calls)
        EXPECT_TRUE(WholeCall(call)) << testing::PrintToString(call);
    EXPECT_EQ(0, bad_files.load());
}

/*
 * A feed file that fails to parse (half-written, unreadable) publishes the new
 * first file with the last feed file that parsed, whole: the uploads go on.
 */
TEST_F(ReconfigTest, AFailedFeedFileKeepsTheLastGoodFeedSettingsAndTheUploadsGoOn)
{
    feedtest::SerialPeer peer(root_);  // the new first file starts the reader: it needs a line to open
    Place("configparams.xml", Config(Flags(0)));
    Place("xivelyconfig.xml", feedtest::XivelyConfigXml(Named("A")));
    ASSERT_EQ(1, Update_App_Configurations());
    memset(&Serial_data, 0, sizeof Serial_data);
    Serial_data.value[0] = 42.0;
    std::string whole = feedtest::XivelyConfigXml(Named("B"));
    const std::string broken[] = {"", whole.substr(0, whole.size() / 2), "<XivelyConfigParams><Apikey>X"};
    union sigval none;
    none.sival_int = 0;
    for (const std::string &feed : broken) {
        SCOPED_TRACE(feed);
        Place("configparams.xml", Config(Flags(1)));
        Place("xivelyconfig.xml", feed);
        unlink((home_ + "/args").c_str());
        NewLog();
        EXPECT_EQ(0, Update_App_Configurations());
        EXPECT_NE(std::string::npos, NewLog().find("ERROR [Ombrelle]Error Parsing Output configuration xml file \n"));
        EXPECT_EQ(1, AppContext.Ext_thread) << "the new first file is published";
        EXPECT_STREQ("KEYA", AppContext.Apikey);
        EXPECT_STREQ("FEEDA", AppContext.FeedID);
        EXPECT_STREQ("ChA", AppContext.ChannelName[0]);
        EXPECT_EQ(1, AppContext.ChannelEnabled[0]);

        xively_timer_proc(none);
        EXPECT_EQ((std::vector<feedtest::Words>{{"KEYA", "FEEDA", "ChA", "42.0"}}),
                  feedtest::ScriptCalls(harness::ReadFile(home_ + "/args")));
        EXPECT_EQ("{\"datastreams\":[{\"current_value\":\"    42.0\",\"id\":\"ChA\"}]}", harness::ReadFile(PIPE_FILE));
    }
    Place("xivelyconfig.xml", whole);
    EXPECT_EQ(1, Update_App_Configurations());
    EXPECT_STREQ("ChB", AppContext.ChannelName[0]) << "a file that parses again replaces the kept settings";
    serial_reader_stop();  // while the peer's line is still there
}

/* ---- stopping the ticks ---- */

/* Holds each run until "release" exists beside it. */
const char kHeldProbe[] =
    "#!/bin/sh\nhome=\"$(dirname \"$0\")\"\n"
    "echo run >> \"$home/probe_runs\"\n"
    "while [ ! -f \"$home/release\" ]; do sleep 0.05; done\n";

int FailTimerfdCreate(int, int)
{
    errno = EMFILE;
    return -1;
}

int FailTimerfdSettime(int, int, const struct itimerspec *, struct itimerspec *)
{
    errno = EINVAL;
    return -1;
}

TEST_F(ReconfigTest, TimerErrorsAreReportedAndTheApplicationGoesOn)
{
    const struct {
        const char *name;
        int (*create)(int, int);
        int (*settime)(int, int, const struct itimerspec *, struct itimerspec *);
        const char *error;
        bool exists;
    } cases[] = {
        {"CreationFails", FailTimerfdCreate, timerfd_settime, "Timer creation error\n", false},
        {"SettingFails", timerfd_create, FailTimerfdSettime, "Timer setting error\n", true},
    };
    Place("configparams.xml", Config(Flags(0)));
    Place("xivelyconfig.xml", Feed(3, 0));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        upload_timerfd_create = c.create;
        upload_timerfd_settime = c.settime;
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, Update_App_Configurations());
        std::string err = testing::internal::GetCapturedStderr();
        upload_timerfd_create = timerfd_create;
        upload_timerfd_settime = timerfd_settime;
        EXPECT_EQ(c.error, err);
        std::string log = NewLog();
        harness::ExpectInOrder(log, {kTimerUpdated, kEnded});
        EXPECT_EQ(c.exists, upload_timer_exists());
        unlink(PIPE_FILE);
        usleep(1500 * 1000);
        EXPECT_FALSE(harness::FileExists(PIPE_FILE)) << "no tick without an armed timer";
        upload_timer_delete();
        EXPECT_EQ(c.exists ? 1u : 0u, harness::CountOccurrences(NewLog(), kTimerDeleted));
    }
}

TEST_F(ReconfigTest, DeletingTheTimerWaitsForARunningTickAndAReapplicationDoesNot)
{
    harness::WriteFile(home_ + "/coreprobe", kHeldProbe, 0755);
    upload_probe_settle_s = 0;
    FeedSettings probe = Named("A");
    probe.type = 2;
    probe.interval = 0;
    Place("configparams.xml", Config(Flags(0)));
    Place("xivelyconfig.xml", feedtest::XivelyConfigXml(probe));
    ASSERT_EQ(1, Update_App_Configurations());
    ASSERT_TRUE(harness::WaitFor([&] { return harness::FileExists(home_ + "/probe_runs"); }, 20000));

    /* Re-armed while the tick is held: the application does not wait for it. */
    EXPECT_EQ(1, Update_App_Configurations());
    EXPECT_NE(std::string::npos, NewLog().find(kTimerUpdated));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        upload_timer_delete();
        stopped = true;
    });
    usleep(300 * 1000);
    EXPECT_FALSE(stopped.load()) << "the delete returned while a tick was running";
    harness::WriteFile(home_ + "/release", "");
    stopper.join();
    EXPECT_FALSE(upload_timer_exists());
    EXPECT_NE(std::string::npos, NewLog().find(kTimerDeleted));
}

/* ---- the log helper ---- */

TEST_F(ReconfigTest, ALogLineTooLongForTheHelperIsCutAndStillWritten)
{
    NewLog();
    std::string longText(2 * APP_LOG_LINE_SIZE, 'x');
    app_log("[Ombrelle]%s\n", longText.c_str());
    std::string line = NewLog();
    ASSERT_EQ((size_t)APP_LOG_LINE_SIZE - 1, line.size());
    EXPECT_EQ(0u, line.rfind("[Ombrelle]xxx", 0));
    EXPECT_EQ("x...\n", line.substr(line.size() - 5));
}

}  // namespace
