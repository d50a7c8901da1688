/* Trigger reporting against the stand-in SDK: subscriptions, handlers, feed messages, events. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "appconfig.h"
#include "feed_support.h"
#include "harness.h"
#include "shellcmd.h"
#include "trigger_texts.h"
#include "triggers.h"
#include "tsdk.h"

namespace {

const char kCallEnd[] = "==\n";

const std::string kInputPayload = Payload("Ombrelle Input1 trigger");
const std::string kMotionPayload = Payload("Ombrelle Motion trigger");
const std::string kDayNightPayload = Payload("Ombrelle Day/Night trigger");

std::string Call(const std::vector<std::string> &words)
{
    std::string out;
    for (const std::string &w : words)
        out += w + "\n";
    return out + kCallEnd;
}

std::string SendingEvent(const std::string &payload)
{
    return "[Ombrelle]Sending Event " + payload + "\n";
}

std::string TriggerValue(const std::string &message)
{
    return "[Ombrelle]Trigger Value  = " + message + " \n";
}

const std::string kDayOn = "[Ombrelle]***********Day/Night Settings************\n"
                           "[Ombrelle]Current Day/Night mode is day\n"
                           "[Ombrelle]*****************************************\n"
                           "[Ombrelle]****Day/Night Trigger Report Subscribed****\n";
const std::string kDayOff = "[Ombrelle]****Day/Night Trigger Report UnSubscribed****\n";
const std::string kMotionOn = "[Ombrelle]Subscribed to tarvane.motion.\n"
                              "[Ombrelle]****Motion Trigger Report Subscribed****\n";
const std::string kMotionOff = "[Ombrelle]****Motion Trigger Report UnSubscribed****\n";
const std::string kInputOn = "[Ombrelle]****Input Report Subscribed****\n";
const std::string kInputOff = "[Ombrelle]****Input Report UnSubscribed****\n";
const std::string kRs485Off = "[Ombrelle]****RS485 Report UnSubscribed****\n";
const std::string kRs485Failed = "ERROR [Ombrelle]Subscription to RS485 failed\n";
const std::string kAllOff = kDayOff + kMotionOff + kInputOff + kRs485Off;

const std::string kSubscribeAll = "tsdk_settings_init\ntsdk_motion_subscribe\ntsdk_trigger_subscribe tarvane.input1\n";

void SetText(char *AppContext_t::*field, size_t size, const char *value)
{
    AppContext_lock();
    char *&text = AppContext.*field;
    if (value == nullptr) {
        free(text);
        text = nullptr;
    } else {
        if (text == nullptr)
            text = static_cast<char *>(calloc(1, size));
        snprintf(text, size, "%s", value);
    }
    AppContext_unlock();
}

void SetFlags(int day, int motion, int input, int rs485, int feed, int app)
{
    AppContext_lock();
    AppContext.DayNightEnabled = day;
    AppContext.MotionDetectionEnabled = motion;
    AppContext.Input1Enabled = input;
    AppContext.RS485Enabled = rs485;
    AppContext.XivelyEnabled = feed;
    AppContext.AppEnabled = app;
    AppContext_unlock();
}

/* A 12-byte record starting one byte off alignment, its state word little-endian. */
struct Record {
    unsigned char bytes[1 + 16] = {};
    const unsigned char *data() const { return bytes + 1; }
    explicit Record(uint32_t word)
    {
        for (int i = 0; i < 4; ++i)
            bytes[1 + i] = static_cast<unsigned char>(word >> (8 * i));
    }
};

std::string SdkText(char *text)
{
    std::string out = text != nullptr ? text : "(null)";
    free(text);
    return out;
}

class TriggerTest : public testing::Test {
protected:
    void SetUp() override
    {
        home_ = dir_.sub("home");
        sim_ = dir_.sub("sim");
        harness::MakeDirs(home_);
        harness::MakeDirs(sim_);
        harness::MakeDirs(dir_.sub("root"));
        harness::WriteFile(home_ + "/feed_update", feedtest::kFeedUpdateScript, 0755);
        setenv("OMBRELLE_ROOT", dir_.sub("root").c_str(), 1);
        setenv("TS_APP_HOME", home_.c_str(), 1);
        setenv("TSDK_SIM_DIR", sim_.c_str(), 1);
        unsetenv("TSDK_SIM_FAIL");
        logPath_ = dir_.sub("Ombrelle.log");
        tsdk_settings = tsdk_settings_t{};
        tsdk_settings.log_path = logPath_.c_str();
        memset(&AppContext, 0, sizeof AppContext);
    }

    /* Starts the SDK with the given simulated faults, and the command runner. */
    void Start(const char *faults = "")
    {
        setenv("TSDK_SIM_FAIL", faults, 1);
        ASSERT_EQ(0, tsdk_init());
        started_ = true;
        ASSERT_EQ(0, shellcmd_init());
        /* The SDK keeps its mode from an earlier test of this process; no callback is set yet. */
        ASSERT_TRUE(Inject("daynight 1"));
        NewCalls();
        NewLog();
    }

    /* As at shutdown: every report off removes every subscription. */
    void TearDown() override
    {
        if (started_) {
            AppContext_ClearSettings(&AppContext);
            setup_triggers();
            trigger_feed_stop();
            OutputFreeMemory(&AppContext);
            shellcmd_release();
            tsdk_deinit();
        }
        tsdk_settings = tsdk_settings_t{};
        tsdk.settings = nullptr;
        unsetenv("TSDK_SIM_FAIL");
        unsetenv("TSDK_SIM_DIR");
        unsetenv("TS_APP_HOME");
        unsetenv("OMBRELLE_ROOT");
    }

    void FeedTexts()
    {
        SetText(&AppContext_t::Apikey, APIKEY_SIZE, "KEY123");
        SetText(&AppContext_t::FeedID, FEEDID_SIZE, "FEED42");
        SetText(&AppContext_t::Input1Name, CHANNEL_NAME_SIZE, "Door");
        SetText(&AppContext_t::MotionDetectionName, CHANNEL_NAME_SIZE, "Hall");
        SetText(&AppContext_t::DayNightName, CHANNEL_NAME_SIZE, "Light");
    }

    /* What was appended to a file since the last look. */
    std::string Since(const std::string &path, size_t *mark)
    {
        std::string all = harness::ReadFile(path);
        std::string fresh = all.size() >= *mark ? all.substr(*mark) : all;
        *mark = all.size();
        return fresh;
    }
    /* The log and the script's calls once the feed messages queued so far have been run. */
    std::string NewCalls() { return Since(sim_ + "/calls", &callsMark_); }
    std::string NewLog()
    {
        trigger_feed_wait_idle();
        fflush(tsdk.log);
        return Since(logPath_, &logMark_);
    }
    std::string NewEvents() { return Since(sim_ + "/events", &eventsMark_); }
    std::string NewArgs()
    {
        trigger_feed_wait_idle();
        return Since(home_ + "/args", &argsMark_);
    }

    /* Writes one command to the SDK's control FIFO and waits until it was handled. */
    bool Inject(const std::string &command)
    {
        std::string handled = sim_ + "/handled", line = command + "\n";
        size_t before = harness::CountOccurrences(harness::ReadFile(handled), line);
        int fd = open((sim_ + "/control").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            return false;
        bool written = write(fd, line.data(), line.size()) == (ssize_t)line.size();
        close(fd);
        return written && harness::WaitFor([&] {
                   return harness::CountOccurrences(harness::ReadFile(handled), line) > before;
               }, 20000);
    }

    harness::TempDir dir_;
    std::string home_, sim_, logPath_;
    size_t callsMark_ = 0, logMark_ = 0, eventsMark_ = 0, argsMark_ = 0;
    bool started_ = false;
};

/* ---- payloads ---- */

TEST(TriggerPayload, SensorOutputPayloadHasTheSharedLayoutAndItsLength)
{
    std::string expected = Payload("Ombrelle Sensor output trigger");
    EXPECT_EQ(expected.size(), SENSOR_OUTPUT_PAYLOAD_LEN);
    EXPECT_EQ(strlen(SENSOR_OUTPUT_PAYLOAD), SENSOR_OUTPUT_PAYLOAD_LEN);
    EXPECT_EQ(expected, std::string(SENSOR_OUTPUT_PAYLOAD, SENSOR_OUTPUT_PAYLOAD_LEN));
}

TEST(TriggerPayload, DayNightModeNames)
{
    EXPECT_STREQ("day", get_daynight_mode(1));
    EXPECT_STREQ("night", get_daynight_mode(2));
    for (int mode : {0, 3, 7, -1})
        EXPECT_STREQ("unknown", get_daynight_mode(mode)) << mode;
}

/* ---- setup_triggers, one pass ---- */

struct SetupCase {
    const char *name;
    int day, motion, input, rs485;
    const char *faults;
    int result;
    std::string calls;
    std::string log;
    bool motionHeld, inputHeld;
};

void PrintTo(const SetupCase &c, std::ostream *os)
{
    *os << c.name;
}

const std::vector<SetupCase> kSetupCases = {
    {"AllOn", 1, 1, 1, 0, "", 0, kSubscribeAll, kDayOn + kMotionOn + kInputOn + kRs485Off, true, true},
    {"AllOff", 0, 0, 0, 0, "", 0, "tsdk_settings_deinit\n", kAllOff, false, false},
    {"SettingsFail", 1, 1, 1, 0, "settings", -1, "tsdk_settings_init\n",
     "ERROR [Ombrelle]Day/Night cb setting failed!\n", false, false},
    {"Settings26IsSuccess", 1, 1, 1, 0, "settings26", 0, kSubscribeAll, kDayOn + kMotionOn + kInputOn + kRs485Off,
     true, true},
    {"MotionFail", 1, 1, 1, 0, "motion", -1, "tsdk_settings_init\ntsdk_motion_subscribe\n",
     kDayOn + "ERROR [Ombrelle]Subscription to tarvane.motion failed\n", false, false},
    {"MotionFailDayOff", 0, 1, 1, 0, "motion", -1, "tsdk_settings_deinit\ntsdk_motion_subscribe\n",
     kDayOff + "ERROR [Ombrelle]Subscription to tarvane.motion failed\n", false, false},
    {"InputFail", 1, 1, 1, 0, "input", -1, kSubscribeAll,
     kDayOn + kMotionOn + "ERROR [Ombrelle]Subscription to tarvane.input1 failed\n", true, false},
    {"Rs485AfterEverythingElse", 1, 1, 1, 1, "", -1, kSubscribeAll, kDayOn + kMotionOn + kInputOn + kRs485Failed,
     true, true},
    {"Rs485Alone", 0, 0, 0, 1, "", -1, "tsdk_settings_deinit\n", kDayOff + kMotionOff + kInputOff + kRs485Failed,
     false, false},
    {"InputOnly", 0, 0, 1, 0, "", 0, "tsdk_settings_deinit\ntsdk_trigger_subscribe tarvane.input1\n",
     kDayOff + kMotionOff + kInputOn + kRs485Off, false, true},
};

class SetupPass : public TriggerTest, public testing::WithParamInterface<SetupCase> {};

TEST_P(SetupPass, CallsLogAndResult)
{
    const SetupCase &c = GetParam();
    Start(c.faults);
    SetFlags(c.day, c.motion, c.input, c.rs485, 1, 1);
    EXPECT_EQ(c.result, setup_triggers());
    EXPECT_EQ(c.calls, NewCalls());
    EXPECT_EQ(c.log, NewLog());
    EXPECT_EQ(c.motionHeld, mtrigger != nullptr);
    EXPECT_EQ(c.inputHeld, in_trigger != nullptr);
    EXPECT_EQ(c.day != 0 ? daynight_json_cb : nullptr, tsdk_settings.daynight_cb);
    EXPECT_EQ(c.day != 0 ? 1 : 0, tsdk_settings.daynight_flag);
}

INSTANTIATE_TEST_SUITE_P(Flags, SetupPass, testing::ValuesIn(kSetupCases),
                         [](const testing::TestParamInfo<SetupCase> &info) { return std::string(info.param.name); });

/* ---- setup_triggers, several passes ---- */

TEST_F(TriggerTest, HeldSubscriptionsLastWhileDayNightIsInitialisedOnEveryPass)
{
    Start();
    SetFlags(1, 1, 1, 0, 1, 1);
    EXPECT_EQ(0, setup_triggers());
    EXPECT_EQ(0, setup_triggers());
    EXPECT_EQ(kSubscribeAll + "tsdk_settings_init\n", NewCalls());
    std::string pass = kDayOn + kMotionOn + kInputOn + kRs485Off;
    EXPECT_EQ(pass + pass, NewLog());
}

TEST_F(TriggerTest, AFailedPassLeavesTheLaterReportsAsTheyWereUntilShutdown)
{
    Start("motion");
    FeedTexts();
    SetFlags(0, 0, 1, 0, 0, 1);
    ASSERT_EQ(0, setup_triggers());
    SetFlags(0, 1, 0, 0, 0, 1);
    EXPECT_EQ(-1, setup_triggers());
    EXPECT_NE(nullptr, in_trigger);
    NewCalls();
    ASSERT_TRUE(Inject("input1 2"));
    EXPECT_EQ(Event(0, kInputPayload), NewEvents());

    AppContext_ClearSettings(&AppContext);
    EXPECT_EQ(0, setup_triggers());
    EXPECT_EQ("tsdk_settings_deinit\ntsdk_trigger_unsubscribe\n", NewCalls());
    EXPECT_EQ(nullptr, in_trigger);
    ASSERT_TRUE(Inject("input1 2"));
    EXPECT_EQ("", NewEvents());
}

TEST_F(TriggerTest, DeliveredTriggersAreReportedAndShutdownRemovesEverySubscription)
{
    Start();
    FeedTexts();
    SetFlags(1, 1, 1, 0, 1, 1);
    ASSERT_EQ(0, setup_triggers());
    ASSERT_TRUE(Inject("input1 2"));
    ASSERT_TRUE(Inject("motion 1"));
    ASSERT_TRUE(Inject("daynight 2"));
    EXPECT_EQ(Call({"KEY123", "FEED42", "Door", "Closed"}) + Call({"KEY123", "FEED42", "Hall", "0"}) +
                  Call({"KEY123", "FEED42", "Light", "Night"}),
              NewArgs());
    EXPECT_EQ(Event(0, kInputPayload) + Event(1, kMotionPayload) + Event(0, kDayNightPayload), NewEvents());

    NewCalls();
    NewLog();
    AppContext_ClearSettings(&AppContext);
    EXPECT_EQ(0, setup_triggers());
    EXPECT_EQ("tsdk_settings_deinit\ntsdk_motion_unsubscribe\ntsdk_trigger_unsubscribe\n", NewCalls());
    EXPECT_EQ(kAllOff, NewLog());
    EXPECT_EQ(nullptr, mtrigger);
    EXPECT_EQ(nullptr, in_trigger);
    EXPECT_EQ(nullptr, tsdk_settings.daynight_cb);
    EXPECT_EQ(0, tsdk_settings.daynight_flag);
    for (const char *command : {"input1 2", "motion 1", "daynight 1"})
        ASSERT_TRUE(Inject(command));
    EXPECT_EQ("", NewEvents());
    EXPECT_EQ("", NewArgs());
}

/* ---- handlers ---- */

struct Switches {
    int report, feed, app;
};

const Switches kSwitchCases[] = {{1, 1, 1}, {1, 0, 1}, {1, 1, 0}, {0, 1, 1}, {0, 0, 0}};

std::string SwitchTrace(const Switches &s)
{
    return "report " + std::to_string(s.report) + " feed " + std::to_string(s.feed) + " app " +
           std::to_string(s.app);
}

TEST_F(TriggerTest, InputHandlerOnlyActsOnTwelveByteRecords)
{
    Start();
    FeedTexts();
    SetFlags(0, 0, 1, 0, 1, 1);
    Record record(2);
    for (size_t size : {0u, 11u, 13u, 64u}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(-1, input_trigger_json_handler(nullptr, record.data(), size));
    }
    EXPECT_EQ("", NewLog());
    EXPECT_EQ("", NewArgs());
    EXPECT_EQ("", NewEvents());
}

TEST_F(TriggerTest, InputHandlerStatesAndSwitches)
{
    struct Word {
        uint32_t word;
        const char *text;
    } words[] = {{0, "Open"}, {1, "Open"}, {2, "Closed"}, {3, "Open"}, {0x0102, "Open"}, {0x02000000, "Open"}};
    Start();
    FeedTexts();
    for (const Switches &s : kSwitchCases) {
        SetFlags(0, 0, s.report, 0, s.feed, s.app);
        for (const Word &w : words) {
            SCOPED_TRACE(SwitchTrace(s) + " word " + std::to_string(w.word));
            Record record(w.word);
            EXPECT_EQ(0, input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
            bool feed = s.report != 0 && s.feed != 0;
            std::string message = std::string("Door ") + w.text;
            EXPECT_EQ("[Ombrelle]" + SdkText(tsdk_in_trigger_str(1, record.data())) + "\n" +
                          (s.app ? SendingEvent(kInputPayload) : "") + (feed ? TriggerValue(message) : ""),
                      NewLog());
            EXPECT_EQ(feed ? Call({"KEY123", "FEED42", "Door", w.text}) : "", NewArgs());
            EXPECT_EQ(s.app ? Event(0, kInputPayload) : "", NewEvents());
        }
    }
}

TEST_F(TriggerTest, MotionHandlerSendsTheOppositeOfTheStateToTheFeed)
{
    struct Word {
        uint32_t word;
        int state;
    } words[] = {{0, 0}, {1, 1}, {0x100, 1}, {0x80000000u, 1}};
    Start();
    FeedTexts();
    for (const Switches &s : kSwitchCases) {
        SetFlags(0, s.report, 0, 0, s.feed, s.app);
        for (const Word &w : words) {
            SCOPED_TRACE(SwitchTrace(s) + " word " + std::to_string(w.word));
            Record record(w.word);
            EXPECT_EQ(0, motion_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
            bool feed = s.report != 0 && s.feed != 0;
            std::string feedState = w.state != 0 ? "0" : "1";
            EXPECT_EQ("[Ombrelle]" + SdkText(tsdk_motion_str(record.data())) + "\n" +
                          "[Ombrelle]Motion Alert:State = " + std::to_string(w.state) + "\n" +
                          (s.app ? SendingEvent(kMotionPayload) : "") + (feed ? TriggerValue("Hall " + feedState) : ""),
                      NewLog());
            EXPECT_EQ(feed ? Call({"KEY123", "FEED42", "Hall", feedState}) : "", NewArgs());
            EXPECT_EQ(s.app ? Event(w.state, kMotionPayload) : "", NewEvents());
        }
    }
}

TEST_F(TriggerTest, MotionHandlerRefusesARecordItCannotRead)
{
    Start("motionstr");
    FeedTexts();
    SetFlags(0, 1, 0, 0, 1, 1);
    Record record(1);
    EXPECT_EQ(-1, motion_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
    EXPECT_EQ(-1, motion_trigger_json_handler(nullptr, record.data(), 3));
    EXPECT_EQ(-1, motion_trigger_json_handler(nullptr, nullptr, INPUT_RECORD_SIZE));
    std::string line = "ERROR [Ombrelle]Cannot parse motion data\n";
    EXPECT_EQ(line + line + line, NewLog());
    EXPECT_EQ("", NewArgs());
    EXPECT_EQ("", NewEvents());
}

TEST_F(TriggerTest, DayNightCallbackModesAndSwitches)
{
    struct Mode {
        int mode;
        const char *logName, *text;
    } modes[] = {{1, "day", "Day"}, {2, "night", "Night"}, {7, "unknown", "Night"}, {0, "unknown", "Night"}};
    Start();
    FeedTexts();
    for (const Switches &s : kSwitchCases) {
        SetFlags(s.report, 0, 0, 0, s.feed, s.app);
        for (const Mode &m : modes) {
            SCOPED_TRACE(SwitchTrace(s) + " mode " + std::to_string(m.mode));
            daynight_json_cb(m.mode);
            bool feed = s.report != 0 && s.feed != 0;
            std::string message = std::string("Light ") + m.text;
            EXPECT_EQ(std::string("[Ombrelle]Day/Night mode changed to ") + m.logName + "\n" +
                          (s.app ? SendingEvent(kDayNightPayload) : "") + (feed ? TriggerValue(message) : ""),
                      NewLog());
            EXPECT_EQ(feed ? Call({"KEY123", "FEED42", "Light", m.text}) : "", NewArgs());
            EXPECT_EQ(s.app ? Event(0, kDayNightPayload) : "", NewEvents());
        }
    }
}

TEST_F(TriggerTest, AFailedEventIsReportedAndOnlyTheInputHandlerStillLogsIt)
{
    Start("event");
    FeedTexts();
    SetFlags(1, 1, 1, 0, 1, 1);
    Record record(2);
    const std::string failed = "ERROR [Ombrelle]Error sending APP event: ";

    EXPECT_EQ(0, input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
    std::string log = NewLog();
    size_t error = log.find(failed), sending = log.find(SendingEvent(kInputPayload));
    EXPECT_NE(std::string::npos, error);
    EXPECT_NE(std::string::npos, sending);
    EXPECT_LT(error, sending);

    EXPECT_EQ(0, motion_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
    daynight_json_cb(1);
    log = NewLog();
    EXPECT_EQ(2u, harness::CountOccurrences(log, failed));
    EXPECT_EQ(std::string::npos, log.find("Sending Event"));
    EXPECT_EQ(3u, harness::CountOccurrences(NewArgs(), kCallEnd));
    EXPECT_EQ("", NewEvents());
}

/* An empty text counts as absent: a message with a missing word is never sent. */
TEST_F(TriggerTest, AbsentOrEmptyFeedTextsSendNoMessageButTheEventStillGoes)
{
    char *AppContext_t::*texts[] = {&AppContext_t::Apikey, &AppContext_t::FeedID, &AppContext_t::Input1Name,
                                    &AppContext_t::MotionDetectionName, &AppContext_t::DayNightName};
    Start();
    SetFlags(1, 1, 1, 0, 1, 1);
    for (size_t i = 0; i < 2 * sizeof texts / sizeof texts[0]; ++i) {
        char *AppContext_t::*absent = texts[i / 2];
        const char *value = i % 2 == 0 ? nullptr : "";
        SCOPED_TRACE(testing::Message() << (value == nullptr ? "absent" : "empty") << " text " << i / 2);
        FeedTexts();
        SetText(absent, absent == &AppContext_t::Apikey ? APIKEY_SIZE : CHANNEL_NAME_SIZE, value);
        Record record(2);
        EXPECT_EQ(0, input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
        EXPECT_EQ(0, motion_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
        daynight_json_cb(1);
        std::string args = NewArgs(), log = NewLog();
        bool keyAbsent = absent == &AppContext_t::Apikey || absent == &AppContext_t::FeedID;
        EXPECT_EQ(keyAbsent ? 0u : 2u, harness::CountOccurrences(args, kCallEnd));
        EXPECT_EQ(std::string::npos, log.find("ERROR"));
        EXPECT_EQ(Event(0, kInputPayload) + Event(1, kMotionPayload) + Event(0, kDayNightPayload), NewEvents());
    }
}

/* ---- feed messages ---- */

TEST_F(TriggerTest, FeedMessageNeedsAMessageTheFeedAndAHome)
{
    Start();
    FeedTexts();
    SetFlags(0, 0, 0, 0, 1, 0);
    EXPECT_EQ(-1, xively_send_trigger_message(nullptr));
    EXPECT_EQ("[Ombrelle]Message NULL Error!\n", NewLog());

    EXPECT_EQ(0, xively_send_trigger_message("Door Closed"));
    EXPECT_EQ(Call({"KEY123", "FEED42", "Door", "Closed"}), NewArgs());
    EXPECT_EQ(TriggerValue("Door Closed"), NewLog());

    SetFlags(0, 0, 0, 0, 0, 0);
    EXPECT_EQ(0, xively_send_trigger_message("Door Closed"));
    SetFlags(0, 0, 0, 0, 1, 0);
    unsetenv("TS_APP_HOME");
    EXPECT_EQ(-1, xively_send_trigger_message("Door Closed"));
    EXPECT_EQ("", NewArgs());
    EXPECT_EQ("", NewLog());
}

TEST_F(TriggerTest, ACommandTooLongForTheBufferIsNotRunAndIsReported)
{
    std::string longHome = home_ + "/" + std::string(100, 'h');
    harness::WriteFile(longHome + "/feed_update", feedtest::kFeedUpdateScript, 0755);
    setenv("TS_APP_HOME", longHome.c_str(), 1);
    Start();
    FeedTexts();
    SetText(&AppContext_t::Apikey, APIKEY_SIZE, std::string(127, 'k').c_str());
    SetText(&AppContext_t::FeedID, FEEDID_SIZE, std::string(31, 'f').c_str());
    SetFlags(0, 0, 1, 0, 1, 1);
    Record record(2);
    EXPECT_EQ(0, input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
    std::string log = NewLog();
    EXPECT_NE(std::string::npos, log.find("ERROR [Ombrelle]Command of ")) << log;
    EXPECT_NE(std::string::npos, log.find("ERROR [Ombrelle]Error sending message packet: -1\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Trigger Value"));
    EXPECT_FALSE(harness::FileExists(longHome + "/args"));
    EXPECT_EQ(Event(0, kInputPayload), NewEvents());
}

/* A message counts as sent only when the script ran to its end; what kept it from running is logged once. */
TEST_F(TriggerTest, AScriptThatCouldNotRunIsNotReportedAsSent)
{
    const std::string script = feedtest::kFeedUpdateScript;
    const struct {
        const char *name;
        std::string text;       /* "" for no script at all */
        mode_t mode;
        std::string error;      /* the runner's line, "" when the script ran */
        int runs;               /* a run killed at its bound is run once more */
    } cases[] = {
        {"missing", "", 0, "could not be started: No such file or directory", 1},
        {"not executable", script, 0644, "could not be started: Permission denied", 1},
        {"runs past its bound", "#!/bin/sh\nexec sleep 30\n", 0755, "did not end within 300 ms, killed", 2},
        {"without a shebang line", script.substr(script.find('\n') + 1), 0755, "", 1},
    };
    Start();
    FeedTexts();
    SetFlags(0, 0, 1, 0, 1, 1);
    shellcmd_run_bound_ms = 300;
    const std::string program = home_ + "/feed_update";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(program.c_str());
        if (!c.text.empty())
            harness::WriteFile(program, c.text, c.mode);
        Record record(2);
        EXPECT_EQ(0, input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
        std::string runner;
        for (int run = 0; run < c.runs; ++run)
            runner += "ERROR [Ombrelle]Command " + program + " " + c.error + "\n";
        std::string sent = c.error.empty() ? TriggerValue("Door Closed")
                                           : runner + "ERROR [Ombrelle]Error sending message packet: -1\n";
        EXPECT_EQ("[Ombrelle]" + SdkText(tsdk_in_trigger_str(1, record.data())) + "\n" +
                      SendingEvent(kInputPayload) + sent,
                  NewLog());
        EXPECT_EQ(c.error.empty() ? Call({"KEY123", "FEED42", "Door", "Closed"}) : "", NewArgs());
        EXPECT_EQ(Event(0, kInputPayload), NewEvents());
    }
    shellcmd_run_bound_ms = SHELLCMD_RUN_BOUND_S * 1000u;
}

/* A run that a signal ended may not have kept the message: it runs once more, and only a second such end is a loss. */
TEST_F(TriggerTest, AMessageWhoseRunASignalEndedIsRunOnceMore)
{
    const std::string script = feedtest::kFeedUpdateScript;
    const std::string program = home_ + "/feed_update";
    const struct {
        const char *name;
        std::string end;
        std::string line;
    } cases[] = {
        {"the first run only", "[ -e \"${0%/*}/once\" ] || { : > \"${0%/*}/once\"; kill -9 $$; }\nexit 0\n",
         TriggerValue("Door Closed")},
        {"both runs", "kill -9 $$\n", "ERROR [Ombrelle]Feed message lost: feed_update exit -1 (ended by a signal)\n"},
    };
    Start();
    FeedTexts();
    SetFlags(0, 0, 1, 0, 1, 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink((home_ + "/once").c_str());
        harness::WriteFile(program, script + c.end, 0755);
        Record record(2);
        EXPECT_EQ(0, input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
        std::string log = NewLog();
        EXPECT_EQ(1u, harness::CountOccurrences(log, c.line)) << log;
        EXPECT_EQ(std::string::npos, log.find("Error sending message packet")) << log;
        const std::string call = Call({"KEY123", "FEED42", "Door", "Closed"});
        EXPECT_EQ(call + call, NewArgs());
    }
}

TEST_F(TriggerTest, ConfiguredTextsReachTheScriptAsLiteralWords)
{
    struct Case {
        const char *apikey, *feedid, *name;
        std::vector<std::string> words;
    } cases[] = {
        {"KEY", "FEED", "x;touch INJ", {"KEY", "FEED", "x;touch INJ", "Closed"}},
        {"KEY", "FEED", "$(touch INJ)", {"KEY", "FEED", "$(touch INJ)", "Closed"}},
        {"KEY", "FEED", "`touch${IFS}INJ`", {"KEY", "FEED", "`touch${IFS}INJ`", "Closed"}},
        {"KEY", "FEED", "'a b'\"c\"", {"KEY", "FEED", "'a b'\"c\"", "Closed"}},
        {"KEY", "FEED", "Front door", {"KEY", "FEED", "Front door", "Closed"}},
        {"KEY", "FEED", " \tBack\tgate  ", {"KEY", "FEED", "Back\tgate", "Closed"}},
        {"KEY", "FEED", "*", {"KEY", "FEED", "*", "Closed"}},
        {"KEY", "FEED", ">INJ", {"KEY", "FEED", ">INJ", "Closed"}},
        {"k$(touch${IFS}INJ)", "f;touch${IFS}INJ|x&", "a&&touch>INJ", {"k$(touch${IFS}INJ)", "f;touch${IFS}INJ|x&",
                                                                       "a&&touch>INJ", "Closed"}},
    };
    std::string work = dir_.sub("work");
    harness::MakeDirs(work);
    harness::WriteFile(work + "/present", "");
    char previous[4096];
    ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
    ASSERT_EQ(0, chdir(work.c_str()));
    Start();
    SetFlags(0, 0, 1, 0, 1, 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetText(&AppContext_t::Apikey, APIKEY_SIZE, c.apikey);
        SetText(&AppContext_t::FeedID, FEEDID_SIZE, c.feedid);
        SetText(&AppContext_t::Input1Name, CHANNEL_NAME_SIZE, c.name);
        Record record(2);
        EXPECT_EQ(0, input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE));
        EXPECT_EQ(Call(c.words), NewArgs());
        EXPECT_FALSE(harness::FileExists(work + "/INJ"));
        EXPECT_FALSE(harness::FileExists(home_ + "/INJ"));
    }
    EXPECT_EQ(0, chdir(previous));
}

/* A whole message from the SDK splits at its last blank: the name keeps its blanks, the state is the last word. */
TEST_F(TriggerTest, AWholeMessageReachesTheScriptAsNameAndState)
{
    const struct {
        const char *message;
        std::vector<std::string> words;
    } cases[] = {
        {"Door Closed", {"KEY123", "FEED42", "Door", "Closed"}},
        {"Front door  Open ", {"KEY123", "FEED42", "Front door", "Open"}},
        {"Alone", {"KEY123", "FEED42", "Alone", ""}},
    };
    Start();
    FeedTexts();
    SetFlags(0, 0, 0, 0, 1, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(0, xively_send_trigger_message(c.message));
        EXPECT_EQ(Call(c.words), NewArgs());
    }
}

/* feed_update's exit status: a lost point is an error line in place of "Trigger Value", and no second run. */
TEST_F(TriggerTest, AMessageFeedUpdateLostIsNotReportedAsSent)
{
    const struct {
        const char *end; /* how the script ends */
        std::string line;
    } cases[] = {
        {"exit 0", TriggerValue("Door Closed")},
        {"exit 3", TriggerValue("Door Closed")},
        {"exit 4", TriggerValue("Door Closed")},
        {"exit 2", "ERROR [Ombrelle]Feed message lost: feed_update exit 2 (the words were refused)\n"},
        {"exit 5", "ERROR [Ombrelle]Feed message lost: feed_update exit 5 (the spool cannot be written)\n"},
        {"kill -9 $$", "ERROR [Ombrelle]Feed message lost: feed_update exit -1 (ended by a signal)\n"},
    };
    Start();
    FeedTexts();
    SetFlags(0, 0, 1, 0, 1, 0);
    const std::string script = feedtest::kFeedUpdateScript;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.end);
        harness::WriteFile(home_ + "/feed_update", script + c.end + "\n", 0755);
        bool sent = c.line == TriggerValue("Door Closed");
        EXPECT_EQ(sent ? 0 : -1, xively_send_trigger_message("Door Closed"));
        EXPECT_EQ(c.line, NewLog());
        EXPECT_EQ(Call({"KEY123", "FEED42", "Door", "Closed"}), NewArgs());
    }
}

/* ---- the feed sender ---- */

/* A feed_update that waits for the file "go" beside it, then records its words. */
std::string HeldScript()
{
    const std::string script = feedtest::kFeedUpdateScript;
    return "#!/bin/sh\nwhile [ ! -e \"$(dirname \"$0\")/go\" ]; do sleep 0.02; done\n" +
           script.substr(script.find('\n') + 1);
}

std::string LogSoFar(const std::string &path)
{
    fflush(tsdk.log);
    return harness::ReadFile(path);
}

/* The event goes while feed_update is still held; the message follows once the script may end. */
TEST_F(TriggerTest, EventsDoNotWaitForTheFeed)
{
    harness::WriteFile(home_ + "/feed_update", HeldScript(), 0755);
    Start();
    FeedTexts();
    SetFlags(1, 1, 1, 0, 1, 1);
    std::atomic<int> returned{0};
    std::thread handlers([&] {
        Record closed(2), moving(1);
        input_trigger_json_handler(nullptr, closed.data(), INPUT_RECORD_SIZE);
        ++returned;
        motion_trigger_json_handler(nullptr, moving.data(), INPUT_RECORD_SIZE);
        ++returned;
        daynight_json_cb(2);
        ++returned;
    });
    bool all = harness::WaitFor([&] { return returned.load() == 3; }, 20000);
    std::string events = harness::ReadFile(sim_ + "/events");
    std::string early = LogSoFar(logPath_);
    harness::WriteFile(home_ + "/go", "");
    handlers.join();
    ASSERT_TRUE(all) << "a handler waited for feed_update";
    EXPECT_EQ(Event(0, kInputPayload) + Event(1, kMotionPayload) + Event(0, kDayNightPayload), events);
    EXPECT_EQ(std::string::npos, early.find("Trigger Value")) << early;
    EXPECT_EQ(Call({"KEY123", "FEED42", "Door", "Closed"}) + Call({"KEY123", "FEED42", "Hall", "0"}) +
                  Call({"KEY123", "FEED42", "Light", "Night"}),
              NewArgs());
    std::string log = NewLog();
    size_t at = 0;
    for (const std::string &line : {SendingEvent(kInputPayload), SendingEvent(kMotionPayload),
                                    SendingEvent(kDayNightPayload), TriggerValue("Door Closed"),
                                    TriggerValue("Hall 0"), TriggerValue("Light Night")}) {
        at = log.find(line, at);
        ASSERT_NE(std::string::npos, at) << line << log;
    }
}

/* Behind a held script the queue fills; the next handler waits for room, and every message goes, in order. */
TEST_F(TriggerTest, AFullQueueHoldsTheNextTriggerAndLosesNoMessage)
{
    enum { MESSAGES = TRIGGER_FEED_QUEUE_SIZE + 2 };  /* one taken by the sender, a full queue, one waiting */
    harness::WriteFile(home_ + "/feed_update", HeldScript(), 0755);
    Start();
    FeedTexts();
    SetFlags(0, 0, 1, 0, 1, 0);
    std::atomic<int> returned{0};
    std::thread handlers([&] {
        for (int i = 0; i < MESSAGES; ++i) {
            Record record(i % 2 == 0 ? 2 : 0);
            input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE);
            ++returned;
        }
    });
    const std::string full = "ERROR [Ombrelle]Feed messages: " + std::to_string(TRIGGER_FEED_QUEUE_SIZE) +
                             " waiting, the next trigger waits for room\n";
    bool reported = harness::WaitFor([&] { return LogSoFar(logPath_).find(full) != std::string::npos; }, 20000);
    bool held = harness::WaitFor([&] { return returned.load() == MESSAGES - 1; }, 20000);
    usleep(100 * 1000);
    int whileFull = returned.load();
    harness::WriteFile(home_ + "/go", "");
    handlers.join();
    EXPECT_TRUE(reported);
    EXPECT_TRUE(held);
    EXPECT_EQ(MESSAGES - 1, whileFull) << "the last handler must wait for room";
    std::vector<std::string> expected;
    for (int i = 0; i < MESSAGES; ++i)
        expected.push_back(Call({"KEY123", "FEED42", "Door", i % 2 == 0 ? "Closed" : "Open"}));
    std::string args = NewArgs();
    std::string all;
    for (const std::string &call : expected)
        all += call;
    EXPECT_EQ(all, args);
    std::string log = NewLog();
    EXPECT_EQ(1u, harness::CountOccurrences(log, full));
    EXPECT_EQ((size_t)MESSAGES, harness::CountOccurrences(log, "[Ombrelle]Trigger Value  = Door "));
}

/*
 * A feed_update that, with FEED_KEEP_ONLY=1, appends its words to "kept"
 * beside itself and then does `keep` (its exit or its hang); without it, it
 * waits for "go" as HeldScript does.
 */
std::string KeepOnlyScript(const std::string &keep)
{
    const std::string held = HeldScript();
    return "#!/bin/sh\nif [ \"$FEED_KEEP_ONLY\" = 1 ]; then\n"
           "  for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$(dirname \"$0\")/kept\"; done\n"
           "  printf '%s\\n' '==' >> \"$(dirname \"$0\")/kept\"\n" +
           keep + "\nfi\n" + held.substr(held.find('\n') + 1);
}

struct StopKeepCase {
    const char *name;
    const char *keep;     /* what the script does in keep-only mode */
    int kept, lost;
    bool recorded;        /* every message reached the keep-only script, in order */
};

void PrintTo(const StopKeepCase &c, std::ostream *os)
{
    *os << c.name;
}

const StopKeepCase kStopKeepCases[] = {
    {"AllKept", "  [ \"$4\" = Open ] && exit 4\n  exit 3", 5, 0, true},
    {"OpenOnesLost", "  [ \"$4\" = Open ] && exit 5\n  exit 3", 3, 2, true},
    {"KeepOnlyHangs", "  trap '' TERM\n  while :; do sleep 1; done", 0, 5, false},
};

class StopKeepTest : public TriggerTest, public testing::WithParamInterface<StopKeepCase> {};

/*
 * A stop sends nothing more: the run under way is ended, and it and every
 * message still queued go to feed_update's spool with FEED_KEEP_ONLY=1 in that
 * child's environment alone. What the spool did not take is counted lost, and
 * the keep-only runs stay within their bound whatever the script does.
 */
TEST_P(StopKeepTest, AStopKeepsTheQueuedMessagesAndCountsWhatItLost)
{
    const StopKeepCase &c = GetParam();
    harness::WriteFile(home_ + "/feed_update", KeepOnlyScript(c.keep), 0755);
    Start();
    FeedTexts();
    SetFlags(0, 0, 1, 0, 1, 0);
    std::vector<std::string> expected;
    for (int i = 0; i < 5; ++i) {
        Record record(i % 2 == 0 ? 2 : 0);
        input_trigger_json_handler(nullptr, record.data(), INPUT_RECORD_SIZE);
        expected.push_back(Call({"KEY123", "FEED42", "Door", i % 2 == 0 ? "Closed" : "Open"}));
    }
    /* Whether the sender has taken the first one or not, none of the five is sent now. */
    shellcmd_abort();
    long started = harness::NowMs();
    trigger_feed_stop();
    long took = harness::NowMs() - started;
    printf("[ figure ] %s: keep-only runs of the stop took %ld ms\n", c.name, took);
    EXPECT_LT(took, TRIGGER_STOP_KEEP_MS + 2000L);

    std::string log = LogSoFar(logPath_);
    const std::string keptLine =
        "[Ombrelle]Kept " + std::to_string(c.kept) + " queued feed messages for later delivery\n";
    const std::string lostLine = "ERROR [Ombrelle]Lost " + std::to_string(c.lost) + " queued feed messages\n";
    EXPECT_EQ(c.kept > 0 ? 1u : 0u, harness::CountOccurrences(log, keptLine)) << log;
    EXPECT_EQ(c.lost > 0 ? 1u : 0u, harness::CountOccurrences(log, lostLine)) << log;
    EXPECT_EQ(c.kept > 0 ? 1u : 0u, harness::CountOccurrences(log, "[Ombrelle]Kept ")) << log;
    EXPECT_EQ(c.lost > 0 ? 1u : 0u, harness::CountOccurrences(log, "[Ombrelle]Lost ")) << log;
    EXPECT_EQ(std::string::npos, log.find("Trigger Value")) << log;
    EXPECT_FALSE(harness::FileExists(home_ + "/args")) << "nothing went to the network";
    EXPECT_EQ(nullptr, getenv("FEED_KEEP_ONLY")) << "only the child's environment has the switch";
    if (c.recorded) {
        std::string all;
        for (const std::string &call : expected)
            all += call;
        EXPECT_EQ(all, harness::ReadFile(home_ + "/kept"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StopKeepTest, testing::ValuesIn(kStopKeepCases),
                         [](const testing::TestParamInfo<StopKeepCase> &info) { return std::string(info.param.name); });

/* ---- threads ---- */

TEST_F(TriggerTest, ReconfiguringWhileTriggersFireNeverBlocksNorReadsReleasedTexts)
{
    enum { INJECTIONS = 30, PASSES_PER_SETUP = 16 };
    Start();
    FeedTexts();
    SetFlags(1, 1, 1, 0, 1, 1);
    ASSERT_EQ(0, setup_triggers());
    std::atomic<bool> done{false};
    std::atomic<int> injected{0};
    std::thread injector([&] {
        const char *commands[] = {"input1 2", "motion 1", "daynight 2"};
        for (int i = 0; i < INJECTIONS; ++i)
            injected += Inject(commands[i % 3]) ? 1 : 0;
        done = true;
    });
    /*
     * The texts are released and refilled while handlers run; now and then a
     * pass drops and restores the input subscription, which waits for a
     * handler in flight.
     */
    const char *names[] = {"Door", "Gate"};
    for (int pass = 0; !done; ++pass) {
        OutputFreeMemory(&AppContext);
        SetText(&AppContext_t::Apikey, APIKEY_SIZE, "KEY123");
        SetText(&AppContext_t::FeedID, FEEDID_SIZE, "FEED42");
        SetText(&AppContext_t::Input1Name, CHANNEL_NAME_SIZE, names[pass % 2]);
        SetText(&AppContext_t::MotionDetectionName, CHANNEL_NAME_SIZE, names[pass % 2]);
        SetText(&AppContext_t::DayNightName, CHANNEL_NAME_SIZE, names[pass % 2]);
        if (pass % PASSES_PER_SETUP == 0) {
            SetFlags(1, 1, pass % (2 * PASSES_PER_SETUP) == 0 ? 0 : 1, 0, 1, 1);
            setup_triggers();
        }
    }
    injector.join();
    EXPECT_EQ(INJECTIONS, injected.load());
    EXPECT_LE(2 * INJECTIONS / 3, (int)harness::CountOccurrences(NewEvents(), "event "));
    std::string args = NewArgs();
    for (size_t pos = 0; pos < args.size();) {
        size_t end = args.find(kCallEnd, pos);
        ASSERT_NE(std::string::npos, end);
        std::string call = args.substr(pos, end - pos);
        EXPECT_TRUE(call.rfind("KEY123\nFEED42\nDoor\n", 0) == 0 || call.rfind("KEY123\nFEED42\nGate\n", 0) == 0)
            << call;
        pos = end + strlen(kCallEnd);
    }
}

}  // namespace
