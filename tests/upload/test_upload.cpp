/* The upload tick in-process: sampling per sensor type, publishing, jump events, uploads, the file. */
#include "upload.h"

#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "appconfig.h"
#include "feed_support.h"
#include "harness.h"
#include "ombrelle.h"
#include "serial.h"
#include "shellcmd.h"
#include "triggers.h"
#include "tsdk.h"
#include "uploadtimer.h"

namespace {

using feedtest::Bytes;
using feedtest::FeedChannel;
using feedtest::Words;

/*
 * Records "H=.. L=.." in probe_args; copies probe_out, when there is one, to the
 * probe's output file; with a file "hold" it waits for "release" first.
 */
const char kCoreprobeScript[] =
    "#!/bin/sh\nhome=\"$(dirname \"$0\")\"\n"
    "printf 'H=%s L=%s\\n' \"$H\" \"$L\" >> \"$home/probe_args\"\n"
    "if [ -f \"$home/hold\" ]; then while [ ! -f \"$home/release\" ]; do sleep 0.05; done; fi\n"
    "if [ -f \"$home/probe_out\" ]; then cat \"$home/probe_out\" > \"$OMBRELLE_ROOT/var/log/InternalTemp.log\"; fi\n";

const char kEmptyDocument[] = "{\"datastreams\":[]}";
const char kSamplingError[] = "ERROR [Ombrelle]Error Getting Sensor data \n";
const int kPeerWaitMs = 20000;

using Slot = std::vector<uint8_t>;

Slot Num(double v)
{
    Slot s(CHANNEL_VALUE_SIZE);
    memcpy(s.data(), &v, sizeof v);
    return s;
}

/* Up to 8 characters, zero bytes after them. */
Slot Text(const char *chars)
{
    Slot s(CHANNEL_VALUE_SIZE, 0);
    memcpy(s.data(), chars, strnlen(chars, CHANNEL_VALUE_SIZE));
    return s;
}

std::string F81(double v)
{
    char text[400];
    snprintf(text, sizeof text, "%8.1f", v);
    return text;
}

/* The word a "%8.1f" value becomes on the command line. */
std::string Word(double v)
{
    std::string s = F81(v);
    return s.substr(s.find_first_not_of(' '));
}

std::string Entry(const std::string &value, const std::string &id)
{
    return "{\"current_value\":\"" + value + "\",\"id\":\"" + id + "\"}";
}

std::string Document(const std::vector<std::string> &entries)
{
    std::string doc = "{\"datastreams\":[";
    for (size_t i = 0; i < entries.size(); ++i)
        doc += (i > 0 ? "," : "") + entries[i];
    return doc + "]}";
}

std::string SensorEvents(int count)
{
    std::string one = "event 0 " + std::to_string(SENSOR_OUTPUT_PAYLOAD_LEN) + "\n" +
                      std::string(SENSOR_OUTPUT_PAYLOAD, SENSOR_OUTPUT_PAYLOAD_LEN) + "\n";
    std::string all;
    for (int i = 0; i < count; ++i)
        all += one;
    return all;
}

/* A feed_update call as the script records it: key, feed, channel, value. */
Words Upload(const std::string &name, const std::string &value)
{
    return {"KEY", "FEED", name, value};
}

class TickTest : public feedtest::FeedFixture {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(FeedFixture::SetUp());
        harness::WriteFile(home_ + "/coreprobe", kCoreprobeScript, 0755);
        upload_probe_settle_s = 0;
        memset(&Serial_data, 0, sizeof Serial_data);
        memset(&prev_sensor_data, 0, sizeof prev_sensor_data);
    }

    void TearDown() override
    {
        upload_timer_destroy();
        OutputFreeMemory(&AppContext);
        FeedFixture::TearDown();
    }

    /* The feed settings of a full application; number 0 means one per channel given. */
    void Configure(int type, int param, const std::vector<FeedChannel> &channels, int number = 0)
    {
        AppContext_lock();
        AppContext.XivelyEnabled = 1;
        AppContext.SensorType = type;
        AppContext.SensorParam = param;
        AppContext.ChannelNumber = number > 0 ? number : (int)channels.size();
        SetText(&AppContext.Apikey, APIKEY_SIZE, "KEY");
        SetText(&AppContext.FeedID, FEEDID_SIZE, "FEED");
        for (size_t i = 0; i < channels.size(); ++i) {
            AppContext.ChannelEnabled[i] = channels[i].enabled;
            AppContext.ChannelParam[i] = channels[i].param;
            SetText(&AppContext.ChannelName[i], CHANNEL_NAME_SIZE, channels[i].name.c_str());
        }
        AppContext_unlock();
    }

    static void SetText(char **text, size_t size, const char *value)
    {
        if (*text == nullptr)
            *text = static_cast<char *>(calloc(1, size));
        snprintf(*text, size, "%s", value);
    }

    void SetChannelValue(int i, const Slot &slot)
    {
        memcpy(AppContext.ChannelValue[i], slot.data(), CHANNEL_VALUE_SIZE);
    }
    Slot ChannelValue(int i) const
    {
        return Slot(AppContext.ChannelValue[i], AppContext.ChannelValue[i] + CHANNEL_VALUE_SIZE);
    }

    void Tick()
    {
        union sigval none;
        none.sival_int = 0;
        xively_timer_proc(none);
    }

    std::string File() const { return harness::ReadFile(PIPE_FILE); }
    std::string Events() const { return harness::ReadFile(sim_ + "/events"); }
    std::vector<Words> Calls() const { return feedtest::ScriptCalls(harness::ReadFile(home_ + "/args")); }
    std::string ProbeArgs() const { return harness::ReadFile(home_ + "/probe_args"); }
    std::string ProbeFile() const { return root_ + "/var/log/InternalTemp.log"; }
};

/* ---- the record source (type 3): publishing, jumps, uploads and the file ---- */

struct TickCase {
    const char *name;
    std::vector<FeedChannel> channels;
    std::vector<Slot> frame;     /* Serial_data's value slots */
    std::vector<double> prev;    /* prev_sensor_data's values */
    bool sampled;                /* the record is read: at least one channel enabled */
    int events;
    std::vector<Words> calls;
    std::string file;
    std::vector<std::string> log;
    int number = 0;              /* ChannelNumber, 0: one per channel given */
};

void PrintTo(const TickCase &c, std::ostream *os)
{
    *os << c.name;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kHuge = 1e300;

std::vector<TickCase> RecordCases()
{
    const FeedChannel a{1, "A", 30}, b{1, "B", 30}, c{1, "C", 30};
    return {
        {"NoChannelEnabledReadsNothing", {{0, "A", 30}, {0, "B", 1}}, {Num(600), Text("x")}, {}, false, 0, {},
         kEmptyDocument, {}},
        {"BeforeAnyFrameNothingIsUploaded", {a, {1, "T", 1}}, {}, {}, true, 0, {}, kEmptyDocument, {}},
        {"ZeroMiddleChannelSkippedWithOneComma", {a, b, c}, {Num(21.5), Num(0.0), Num(40)}, {}, true, 0,
         {Upload("A", "21.5"), Upload("C", "40.0")}, Document({Entry("    21.5", "A"), Entry("    40.0", "C")}),
         {"[Ombrelle]Channel1 Name   = A \n[Ombrelle]Channel1 Value  =     21.5 \n",
          "[Ombrelle]Channel3 Name   = C \n[Ombrelle]Channel3 Value  =     40.0 \n"}},
        {"ZeroLastChannelLeavesNoTrailingComma", {a, b, c}, {Num(21.5), Num(40), Num(0.0)}, {}, true, 0,
         {Upload("A", "21.5"), Upload("B", "40.0")}, Document({Entry("    21.5", "A"), Entry("    40.0", "B")}), {}},
        {"OnlyChannelNumberChannelsTakePart", {a, b}, {Num(1), Num(2)}, {}, true, 0, {Upload("A", "1.0")},
         Document({Entry("     1.0", "A")}), {}, 1},
        {"FirstTickJumpOf501", {a}, {Num(501.0)}, {}, true, 1, {Upload("A", "501.0")},
         Document({Entry("   501.0", "A")}), {}},
        {"JumpOf500Point9TruncatesTo500", {a}, {Num(500.9)}, {}, true, 0, {Upload("A", "500.9")},
         Document({Entry("   500.9", "A")}), {}},
        {"JumpOfMinus501", {a}, {Num(-501.0)}, {}, true, 1, {Upload("A", "-501.0")},
         Document({Entry("  -501.0", "A")}), {}},
        {"JumpAgainstThePreviousTick", {a, b}, {Num(601.5), Num(600.9)}, {100, 100}, true, 1,
         {Upload("A", "601.5"), Upload("B", "600.9")}, Document({Entry("   601.5", "A"), Entry("   600.9", "B")}), {}},
        {"EachJumpingChannelSendsItsOwnEvent", {a, b, c}, {Num(600), Num(-700), Num(900)}, {}, true, 3,
         {Upload("A", "600.0"), Upload("B", "-700.0"), Upload("C", "900.0")},
         Document({Entry("   600.0", "A"), Entry("  -700.0", "B"), Entry("   900.0", "C")}), {}},
        {"DisabledChannelNeverJumpsNorUploads", {{0, "A", 30}, b}, {Num(900), Num(10)}, {}, true, 0,
         {Upload("B", "10.0")}, Document({Entry("    10.0", "B")}), {}},
        {"TextChannel", {{1, "Outside", 1}}, {Text("21.5C")}, {}, true, 0, {Upload("Outside", "21.5C")},
         Document({Entry("21.5C", "Outside")}), {"[Ombrelle]Channel1 Value  = 21.5C \n"}},
        {"EightByteTextHasNoTerminatorAndJumpsAsADouble", {{1, "T", 1}, b}, {Text("ABCDEFGH"), Num(2)}, {}, true, 1,
         {Upload("T", "ABCDEFGH"), Upload("B", "2.0")}, Document({Entry("ABCDEFGH", "T"), Entry("     2.0", "B")}),
         {"[Ombrelle]Channel1 Value  = ABCDEFGH \n"}},
        {"TextReachesTheScriptAsLiteralWords", {{1, "T", 1}}, {Text("$(>p);x")}, {}, true, 0, {Upload("T", "$(>p);x")},
         Document({Entry("$(>p);x", "T")}), {}},
        {"BlanksTabsAndQuotesStayInsideTheirWord", {{1, "Outside", 1}, {1, " Front 'door' ", 1}},
         {Text(" 21.5 C"), Text("a\tb\"c ")}, {}, true, 0, {Upload("Outside", "21.5 C"), Upload("Front 'door'", "a\tb\"c")},
         Document({Entry(" 21.5 C", "Outside"), Entry("a\\u0009b\\\"c ", " Front 'door' ")}), {}},
        {"NaNNeverJumpsAndIsSentAsNan", {a}, {Num(kNaN)}, {}, true, 0, {Upload("A", "nan")},
         Document({Entry("     nan", "A")}), {"[Ombrelle]Channel1 Value  =      nan \n"}},
        {"InfinityJumps", {a}, {Num(kInf)}, {}, true, 1, {Upload("A", "inf")}, Document({Entry("     inf", "A")}), {}},
        {"HugeValueJumpsAndItsCommandIsRefusedNotCut", {a}, {Num(kHuge)}, {}, true, 1, {},
         Document({Entry(F81(kHuge), "A")}),
         {" bytes does not fit in 255, not run\n"}},
    };
}

class RecordTick : public TickTest, public testing::WithParamInterface<TickCase> {};

TEST_P(RecordTick, PublishesJumpsUploadsAndWritesTheFile)
{
    const TickCase &c = GetParam();
    Configure(3, 0, c.channels, c.number);
    for (size_t i = 0; i < c.frame.size(); ++i) {
        memcpy(&Serial_data.value[i], c.frame[i].data(), CHANNEL_VALUE_SIZE);
        Serial_data.param[i] = 77;  // the record's own params, copied along with the values
    }
    for (size_t i = 0; i < c.prev.size(); ++i)
        prev_sensor_data.value[i] = c.prev[i];

    Tick();

    SensorRecord zero;
    memset(&zero, 0, sizeof zero);
    const SensorRecord &expected = c.sampled ? Serial_data : zero;
    for (int i = 0; i < AppContext.ChannelNumber; ++i) {
        SCOPED_TRACE("channel " + std::to_string(i + 1));
        EXPECT_EQ(0, memcmp(&expected.value[i], AppContext.ChannelValue[i], CHANNEL_VALUE_SIZE));
    }
    EXPECT_EQ(0, memcmp(&expected, &prev_sensor_data, sizeof expected)) << "the whole record is the next base";
    EXPECT_EQ(SensorEvents(c.events), Events());
    std::vector<Words> calls = Calls();
    EXPECT_EQ(c.calls, calls);
    EXPECT_EQ(c.file, File());
    std::string log = Log();
    for (const std::string &line : c.log)
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\nin:\n" << log;
    EXPECT_EQ(std::string::npos, log.find("ERROR [Ombrelle]Error Getting")) << log;
    EXPECT_FALSE(harness::FileExists(std::string(PIPE_FILE) + ".new"));
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordTick, testing::ValuesIn(RecordCases()),
                         [](const testing::TestParamInfo<TickCase> &info) { return std::string(info.param.name); });

/* feed_update's exit status: a point it lost is one error line for its channel; delivered or kept is not. */
TEST_F(TickTest, EachChannelUploadThatFeedUpdateLostIsOneErrorLine)
{
    const struct {
        int status;
        bool lost;
        const char *meaning;
    } cases[] = {
        {0, false, ""}, {3, false, ""}, {4, false, ""},
        {2, true, "the words were refused"}, {5, true, "the spool cannot be written"},
        {-1, true, "ended by a signal"},
    };
    Configure(3, 0, {{1, "A", 30}, {1, "T", 1}});
    const std::string script = feedtest::kFeedUpdateScript;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        std::string end = c.status < 0 ? "kill -9 $$" : "exit " + std::to_string(c.status);
        harness::WriteFile(home_ + "/feed_update", script + end + "\n", 0755);
        memcpy(&Serial_data.value[0], Num(21.5).data(), CHANNEL_VALUE_SIZE);
        memcpy(&Serial_data.value[1], Text("hi").data(), CHANNEL_VALUE_SIZE);
        unlink((home_ + "/args").c_str());
        std::string before = Log();

        Tick();

        std::string log = Log().substr(before.size());
        EXPECT_EQ((std::vector<Words>{Upload("A", "21.5"), Upload("T", "hi")}), Calls());
        for (int channel = 1; channel <= 2; ++channel) {
            std::string line = "ERROR [Ombrelle]Channel" + std::to_string(channel) + " upload lost: feed_update exit " +
                               std::to_string(c.status) + " (" + c.meaning + ")\n";
            EXPECT_EQ(c.lost ? 1u : 0u, harness::CountOccurrences(log, line)) << log;
            EXPECT_NE(std::string::npos, log.find("[Ombrelle]Channel" + std::to_string(channel) + " Name   = "));
        }
        EXPECT_EQ(std::string::npos, log.find(c.lost ? "Channel3" : "upload lost")) << log;
    }
}

/* Each channel's parameter code goes to feed_update in its environment, beside the four words. */
TEST_F(TickTest, EachUploadHandsTheChannelsParameterCodeInTheEnvironment)
{
    Configure(3, 0, {{1, "A", 30}, {1, "T", 1}, {1, "H", 10}, {1, "X", 99}});
    harness::WriteFile(home_ + "/feed_update",
                       "#!/bin/sh\nprintf '%s\\n' \"${FEED_PARAMETER-unset}\" >> \"$(dirname \"$0\")/args\"\n" +
                           std::string(feedtest::kFeedUpdateScript).substr(strlen("#!/bin/sh\n")),
                       0755);
    memcpy(&Serial_data.value[0], Num(21.5).data(), CHANNEL_VALUE_SIZE);
    memcpy(&Serial_data.value[1], Text("hi").data(), CHANNEL_VALUE_SIZE);
    memcpy(&Serial_data.value[2], Num(40).data(), CHANNEL_VALUE_SIZE);
    memcpy(&Serial_data.value[3], Num(7).data(), CHANNEL_VALUE_SIZE);

    Tick();

    EXPECT_EQ((std::vector<Words>{{"30", "KEY", "FEED", "A", "21.5"}, {"1", "KEY", "FEED", "T", "hi"},
                                  {"10", "KEY", "FEED", "H", "40.0"}, {"99", "KEY", "FEED", "X", "7.0"}}),
              Calls());
}

/* A datastream file that cannot be written is one error line per change of state; a removed folder is made again. */
TEST_F(TickTest, DatastreamFileFailuresAreLoggedOncePerChangeAndItsFolderIsMadeAgain)
{
    Configure(3, 0, {{1, "A", 30}});
    memcpy(&Serial_data.value[0], Num(21.5).data(), CHANNEL_VALUE_SIZE);
    const std::string failing = std::string("ERROR [Ombrelle]Error writing file ") + PIPE_FILE + ": Is a directory\n";
    const std::string again = std::string("[Ombrelle]File ") + PIPE_FILE + " written again\n";
    const std::string document = Document({Entry("    21.5", "A")});
    Tick();
    EXPECT_EQ(document, File());

    ASSERT_EQ(0, unlink(PIPE_FILE));
    ASSERT_EQ(0, mkdir(PIPE_FILE, 0755));
    Tick();
    Tick();
    EXPECT_EQ(1u, harness::CountOccurrences(Log(), failing)) << Log();
    EXPECT_EQ(0u, harness::CountOccurrences(Log(), again));
    EXPECT_FALSE(harness::FileExists(std::string(PIPE_FILE) + ".new"));

    ASSERT_EQ(0, rmdir(PIPE_FILE));
    Tick();
    Tick();
    EXPECT_EQ(document, File());
    EXPECT_EQ(1u, harness::CountOccurrences(Log(), again)) << Log();

    ASSERT_EQ(0, unlink(PIPE_FILE));
    ASSERT_EQ(0, rmdir(PIPE_DIR));
    Tick();
    EXPECT_EQ(document, File());
    EXPECT_EQ(1u, harness::CountOccurrences(Log(), failing)) << Log();
}

TEST_F(TickTest, FeedOffSamplesNothingAndUploadsTheHeldValuesAgain)
{
    Configure(3, 0, {{1, "A", 30}, {1, "T", 1}});
    AppContext.XivelyEnabled = 0;
    SetChannelValue(0, Num(900));
    SetChannelValue(1, Text("hi"));
    Serial_data.value[0] = 5;
    prev_sensor_data.value[0] = 7;

    Tick();

    EXPECT_EQ(Num(900), ChannelValue(0));
    EXPECT_EQ(7, prev_sensor_data.value[0]);
    EXPECT_EQ("", Events());
    EXPECT_EQ((std::vector<Words>{Upload("A", "900.0"), Upload("T", "hi")}), Calls());
    EXPECT_EQ(Document({Entry("   900.0", "A"), Entry("hi", "T")}), File());
}

/* Empty texts are absent ones: no command with a missing word, no entry without an id. */
TEST_F(TickTest, EmptyFeedTextsUploadNothingAndAnUnnamedChannelHasNoEntry)
{
    const std::string both = Document({Entry("    42.0", "A"), Entry("    43.0", "B")});
    const struct {
        const char *name, *key, *feed, *first;
        std::vector<Words> calls;
        std::string file;
    } cases[] = {
        {"EmptyKey", "", "FEED", "A", {}, both},
        {"EmptyFeedId", "KEY", "", "A", {}, both},
        {"EmptyChannelName", "KEY", "FEED", "", {Upload("B", "43.0")}, Document({Entry("    43.0", "B")})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink((home_ + "/args").c_str());
        Configure(3, 0, {{1, c.first, 30}, {1, "B", 30}});
        SetText(&AppContext.Apikey, APIKEY_SIZE, c.key);
        SetText(&AppContext.FeedID, FEEDID_SIZE, c.feed);
        Serial_data.value[0] = 42;
        Serial_data.value[1] = 43;

        Tick();

        EXPECT_EQ(c.calls, Calls());
        EXPECT_EQ(c.file, File());
    }
}

TEST_F(TickTest, UnsupportedTypePublishesZerosAndKeepsTheFile)
{
    for (int type : {4, -1}) {
        SCOPED_TRACE("type " + std::to_string(type));
        Configure(type, 0, {{1, "A", 30}, {1, "B", 30}});
        SetChannelValue(0, Num(12));
        SetChannelValue(1, Num(34));
        prev_sensor_data.value[0] = 600;
        harness::WriteFile(PIPE_FILE, "old");
        std::string logBefore = Log();

        Tick();

        EXPECT_EQ(Num(0), ChannelValue(0));
        EXPECT_EQ(Num(0), ChannelValue(1));
        EXPECT_EQ(0, prev_sensor_data.value[0]);
        EXPECT_EQ(SensorEvents(1), Events()) << "600 down to the published zero is a jump";
        harness::WriteFile(sim_ + "/events", "");
        EXPECT_TRUE(Calls().empty());
        EXPECT_EQ("old", File());
        EXPECT_EQ(logBefore + "ERROR [Ombrelle]Not supported Sensor type!\n" + kSamplingError, Log());
    }
}

/* ---- the radio module (type 0) ---- */

TEST_F(TickTest, RadioModuleChannelsByParamAndTheFirstTickJump)
{
    feedtest::SerialPeer peer(root_);
    Configure(0, 0, {{1, "Hum", 10}, {1, "Lux", 20}, {1, "C", 30}, {1, "F", 31}, {1, "Bad", 99}, {0, "Off", 20}});
    std::thread module([&] {
        ASSERT_TRUE(peer.WaitForCflag(CRTSCTS, kPeerWaitMs));
        peer.Send(feedtest::RadioFrame(1023, 639, 500));
    });
    Tick();
    module.join();

    double lux = radio_lux(1023), f = radio_fahrenheit(639), rh = radio_humidity(500);
    double c = (f - 32.0) * 5.0 / 9.0;
    EXPECT_EQ(Num(rh), ChannelValue(0));
    EXPECT_EQ(Num(lux), ChannelValue(1));
    EXPECT_EQ(Num(c), ChannelValue(2));
    EXPECT_EQ(Num(f), ChannelValue(3));
    EXPECT_EQ(Num(0), ChannelValue(4));
    EXPECT_EQ(Num(0), ChannelValue(5));
    EXPECT_EQ(SensorEvents(1), Events()) << "1200 lux against the zeros of the start";
    EXPECT_EQ((std::vector<Words>{Upload("Hum", Word(rh)), Upload("Lux", "1200.0"), Upload("C", Word(c)),
                                  Upload("F", Word(f))}),
              Calls());
    std::string log = Log();
    EXPECT_EQ(2u, harness::CountOccurrences(log, "[Ombrelle]Invalid channel param! \n"));
    EXPECT_NE(std::string::npos, log.find("[Ombrelle]Lux = " + F81(lux) + ", Temperature  = " + F81(f) +
                                          " F, Humidity = " + F81(rh) + " \n"));
}

/*
 * A module that sends a frame every 10 s, not on request: each tick that runs
 * waits for the next frame and gets a sample; ticks that come meanwhile are
 * skipped.
 */
TEST_F(TickTest, SlowRadioModuleGivesASampleOnEveryTickThatRuns)
{
    feedtest::SerialPeer peer(root_);
    Configure(0, 0, {{1, "Lux", 20}});
    const Bytes frame = feedtest::RadioFrame(1023, 639, 500);
    std::atomic<bool> stop{false};
    std::thread module([&] {
        if (!peer.WaitForCflag(CRTSCTS, kPeerWaitMs))
            return;
        while (!stop.load()) {
            peer.SendIfRoom(frame);
            for (int i = 0; i < 100 && !stop.load(); ++i)
                usleep(100 * 1000);
        }
    });
    ASSERT_EQ(0, upload_timer_create());
    ASSERT_EQ(0, upload_timer_arm(1));
    sleep(21);
    upload_timer_destroy();  // the tick under way ends with the next frame
    stop = true;
    module.join();

    std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find(kSamplingError)) << log;
    EXPECT_GE(harness::CountOccurrences(log, "[Ombrelle]Lux =   1200.0, "), 3u) << log;
    EXPECT_EQ(SensorEvents(1), Events()) << "only the first sample jumps, from the zeros of the start";
}

/* ---- the RS-485 sensor (type 1) ---- */

/* Small enough that no channel jumps. */
const std::vector<unsigned> kRaw = {0x0101, 0x0102, 0x0103, 0x0104, 0x0105, 0x01F3};

struct Rs485Case {
    const char *name;
    std::vector<FeedChannel> channels;
    std::vector<double> values;
};

void PrintTo(const Rs485Case &c, std::ostream *os)
{
    *os << c.name;
}

std::vector<Rs485Case> Rs485Cases()
{
    return {
        {"HumidityThenCelsius", {{1, "H", 10}, {1, "T", 30}}, {50.0, 25.5}},
        {"HumidityThenFahrenheit", {{1, "H", 10}, {1, "T", 31}}, {50.0, 77.0}},
        {"CelsiusThenHumidity", {{1, "T", 30}, {1, "H", 10}}, {25.5, 50.0}},
        {"OtherFirstParamGivesWholeFahrenheit", {{1, "T", 20}, {1, "H", 10}}, {77.0, 50.0}},
        {"DisabledFirstChannelCountsAsParamZero", {{0, "T", 10}, {1, "H", 30}}, {77.0, 50.0}},
        {"FiveChannelsTakeTheRawWords", {{1, "H", 10}, {1, "T", 30}, {1, "R1", 20}, {1, "R2", 20}, {1, "R3", 20}},
         {50.0, 25.5, 0x0101, 0x0102, 0x0103}},
    };
}

class Rs485Tick : public TickTest, public testing::WithParamInterface<Rs485Case> {};

TEST_P(Rs485Tick, MapsTheReplyOntoTheChannels)
{
    const Rs485Case &c = GetParam();
    feedtest::SerialPeer peer(root_);
    Configure(1, 0xE0, c.channels);
    Bytes query;
    std::thread sensor([&] {
        query = peer.Receive(6, kPeerWaitMs);
        peer.Send(feedtest::Rs485Reply(0x01F4, 0x00FF, kRaw));
    });
    Tick();
    sensor.join();

    EXPECT_EQ((Bytes{0x55, 0xAA, 0xE0, 0x00, 0x21, 0x00}), query);
    std::vector<Words> expectedCalls;
    for (size_t i = 0; i < c.values.size(); ++i) {
        SCOPED_TRACE("channel " + std::to_string(i + 1));
        EXPECT_EQ(Num(c.values[i]), ChannelValue((int)i));
        if (c.channels[i].enabled)
            expectedCalls.push_back(Upload(c.channels[i].name, Word(c.values[i])));
    }
    EXPECT_EQ(expectedCalls, Calls());
    EXPECT_EQ("", Events());
    EXPECT_NE(std::string::npos, Log().find("[Ombrelle]Temperature  = 77 F, Humidity = 50 \n"));
}

INSTANTIATE_TEST_SUITE_P(Cases, Rs485Tick, testing::ValuesIn(Rs485Cases()),
                         [](const testing::TestParamInfo<Rs485Case> &info) { return std::string(info.param.name); });

TEST_F(TickTest, Rs485SensorThatDoesNotAnswerIsAFailedSampling)
{
    feedtest::SerialPeer peer(root_);
    Configure(1, 0xE0, {{1, "H", 10}, {1, "T", 30}});
    SetChannelValue(0, Num(40));
    SetChannelValue(1, Num(20));
    prev_sensor_data.value[0] = 40;
    harness::WriteFile(PIPE_FILE, "old");

    Tick();

    EXPECT_EQ(6u, peer.Receive(6, kPeerWaitMs).size()) << "the query went out";
    EXPECT_EQ(Num(0), ChannelValue(0));
    EXPECT_EQ(Num(0), ChannelValue(1));
    EXPECT_EQ(0, prev_sensor_data.value[0]);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ("old", File());
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(kSamplingError));
    EXPECT_EQ(std::string::npos, log.find("[Ombrelle]Temperature")) << "no reading was logged";
}

/* ---- the internal temperature (type 2) ---- */

struct ProbeCase {
    const char *name;
    int param;
    const char *output;
    double value;
    bool uploaded;
};

void PrintTo(const ProbeCase &c, std::ostream *os)
{
    *os << c.name;
}

const ProbeCase kProbeCases[] = {
    {"CelsiusChannel", 30, "   23.50", 23.5, true},
    {"AnyOtherParamGivesFahrenheit", 10, "   23.50", 23.5 * 1.8 + 32.0, true},
    {"OnlyTheFirstEightBytesAreRead", 30, "12345678.9", 12345678.0, true},
    {"NoNumberReadsAsZeroCelsius", 30, "none", 0.0, false},
    {"NoNumberReadsAsFreezingFahrenheit", 31, "none", 32.0, true},
};

class ProbeTick : public TickTest, public testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTick, RunsTheProbeAndReadsItsFile)
{
    const ProbeCase &c = GetParam();
    Configure(2, 40, {{1, "Core", c.param}, {1, "Other", 30}});
    harness::WriteFile(home_ + "/probe_out", c.output);

    Tick();

    EXPECT_EQ("H=45 L=40\n", ProbeArgs());
    EXPECT_EQ(Num(c.value), ChannelValue(0));
    EXPECT_EQ(Num(0), ChannelValue(1)) << "no other channel gets a value";
    std::vector<Words> calls = Calls();
    if (c.uploaded) {
        EXPECT_EQ(std::vector<Words>{Upload("Core", Word(c.value))}, calls);
        EXPECT_EQ(Document({Entry(F81(c.value), "Core")}), File());
    } else {
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(kEmptyDocument, File());
    }
    double celsius = c.param == 30 ? c.value : (c.value - 32.0) / 1.8;
    EXPECT_NE(std::string::npos, Log().find("[Ombrelle]Temperature  = " + F81(celsius) + " C\n")) << Log();
}

INSTANTIATE_TEST_SUITE_P(Cases, ProbeTick, testing::ValuesIn(kProbeCases),
                         [](const testing::TestParamInfo<ProbeCase> &info) { return std::string(info.param.name); });

TEST_F(TickTest, ProbeThatLeavesNoFreshReadingIsAFailedSampling)
{
    struct {
        const char *name;
        bool stale;
    } cases[] = {{"NoFile", false}, {"StaleFileOfAnEarlierRun", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Configure(2, 40, {{1, "Core", 30}, {1, "Other", 30}});
        SetChannelValue(0, Num(23.5));
        SetChannelValue(1, Num(1));
        prev_sensor_data.value[0] = 23.5;
        harness::WriteFile(PIPE_FILE, "old");
        unlink((home_ + "/probe_out").c_str());
        if (c.stale)
            harness::WriteFile(ProbeFile(), "   99.00");
        std::string logBefore = Log();

        Tick();

        EXPECT_EQ(Num(0), ChannelValue(0));
        EXPECT_EQ(Num(0), ChannelValue(1));
        EXPECT_EQ(0, prev_sensor_data.value[0]);
        EXPECT_TRUE(Calls().empty());
        EXPECT_EQ("old", File());
        std::string log = Log().substr(logBefore.size());
        EXPECT_NE(std::string::npos,
                  log.find(std::string("ERROR [Ombrelle]No internal sensor data available\n") + kSamplingError))
            << log;
    }
    /* The next good tick compares with the published zeros. */
    harness::WriteFile(home_ + "/probe_out", "  600.00");
    Tick();
    EXPECT_EQ(Num(600), ChannelValue(0));
    EXPECT_EQ(SensorEvents(1), Events());
}

/* ---- hostile texts: the datastream file stays strict JSON, log lines stay whole ---- */

/*
 * Reads the file as strict UTF-8 JSON: no raw control character in a string, no
 * duplicate key, no NaN or Infinity, one list of two-key entries. Prints the
 * entries as [[value, id], ...] in ASCII, or INVALID and the reason.
 */
const char kStrictJsonCheck[] =
    "import json, sys\n"
    "def pairs(items):\n"
    "    keys = [k for k, _ in items]\n"
    "    if len(keys) != len(set(keys)): raise ValueError('duplicate key')\n"
    "    return dict(items)\n"
    "def constant(name): raise ValueError('constant ' + name)\n"
    "try:\n"
    "    text = open(sys.argv[1], 'rb').read().decode('utf-8')\n"
    "    doc = json.loads(text, object_pairs_hook=pairs, parse_constant=constant)\n"
    "    assert list(doc) == ['datastreams'], 'top level'\n"
    "    assert all(sorted(e) == ['current_value', 'id'] for e in doc['datastreams']), 'entry keys'\n"
    "    print(json.dumps([[e['current_value'], e['id']] for e in doc['datastreams']]))\n"
    "except Exception as e:\n"
    "    print('INVALID: %r' % e)\n";

/* Every line starts with the program's mark and the whole log is UTF-8: nothing a peer wrote began a line. */
const char kLogCheck[] =
    "import sys\n"
    "text = open(sys.argv[1], 'rb').read().decode('utf-8')\n"
    "bad = [l for l in text.split('\\n')[:-1] if not l.startswith(('[Ombrelle]', 'ERROR [Ombrelle]'))]\n"
    "print('ok' if not bad else 'FORGED: %r' % bad)\n";

/* The host's python3, which a cross-built test can start too. */
std::string RunPython(const std::string &dir, const char *script, const std::string &arg)
{
    std::string path = dir + "/check.py";
    harness::WriteFile(path, script);
    FILE *p = popen(("python3 '" + path + "' '" + arg + "' 2>&1").c_str(), "r");
    if (p == nullptr)
        return "popen failed";
    std::string out;
    char buf[256];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    pclose(p);
    return out;
}

Slot Bytes8(std::initializer_list<uint8_t> bytes)
{
    Slot s(CHANNEL_VALUE_SIZE, 0);
    std::copy(bytes.begin(), bytes.end(), s.begin());
    return s;
}

struct HostileCase {
    const char *name;
    Slot slot;
    std::string id;
    std::string entries;    /* what the strict parser reads, in Python's ASCII notation */
    std::string valueLine;  /* the text after "Channel1 Value  = " */
    std::string nameLine;   /* the text after "Channel1 Name   = " */
};

void PrintTo(const HostileCase &c, std::ostream *os)
{
    *os << c.name;
}

std::vector<HostileCase> HostileCases()
{
    const std::string a30(30, 'a');
    return {
        {"QuoteBackslashControlAndStrayByte", Bytes8({0x61, 0x22, 0x62, 0x5C, 0x63, 0x01, 0xFF}), "T",
         "[[\"a\\\"b\\\\c\\u0001\\ufffd\", \"T\"]]", "a\"b\\\\c\\x01\\xff", "T"},
        {"LineFeedStartingAForgedLine", Text("x\nFORGED"), "T", "[[\"x\\nFORGED\", \"T\"]]", "x\\x0aFORGED", "T"},
        {"TerminalEscape", Text("\x1B[31mX"), "T", "[[\"\\u001b[31mX\", \"T\"]]", "\\x1b[31mX", "T"},
        {"C1NextLine", Text("\xC2\x85NEXT"), "T", "[[\"\\u0085NEXT\", \"T\"]]", "\\xc2\\x85NEXT", "T"},
        {"SlotEndingInsideACharacter", Text("abcdefg\xC3"), "T", "[[\"abcdefg\\ufffd\", \"T\"]]", "abcdefg\\xc3", "T"},
        {"WellFormedCharactersStay", Text("\xC3\xA9t\xC3\xA9"), "\xE2\x82\xAC", "[[\"\\u00e9t\\u00e9\", \"\\u20ac\"]]",
         "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC"},
        {"NameEndingInsideACharacter", Text("ok"), a30 + "\xC3", "[[\"ok\", \"" + a30 + "\\ufffd\"]]", "ok",
         a30 + "\\xc3"},
        {"NameWithQuoteControlAndBackslash", Text("ok"), "n\"\x01\\", "[[\"ok\", \"n\\\"\\u0001\\\\\"]]", "ok",
         "n\"\\x01\\\\"},
        {"NameOfStrayBytes", Text("ok"), "\xFF\xFE\xFD", "[[\"ok\", \"\\ufffd\\ufffd\\ufffd\"]]", "ok",
         "\\xff\\xfe\\xfd"},
        {"NameWithALineFeed", Text("ok"), "n\nFORGED", "[[\"ok\", \"n\\nFORGED\"]]", "ok", "n\\x0aFORGED"},
    };
}

class HostileTick : public TickTest, public testing::WithParamInterface<HostileCase> {};

TEST_P(HostileTick, FileIsStrictJsonAndLogLinesShowTheBytesEscaped)
{
    const HostileCase &c = GetParam();
    Configure(3, 0, {{1, c.id, 1}});
    memcpy(&Serial_data.value[0], c.slot.data(), CHANNEL_VALUE_SIZE);

    Tick();

    EXPECT_EQ(c.entries + "\n", RunPython(dir_.path(), kStrictJsonCheck, PIPE_FILE)) << File();
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[Ombrelle]Channel1 Name   = " + c.nameLine + " \n")) << log;
    EXPECT_NE(std::string::npos, log.find("[Ombrelle]Channel1 Value  = " + c.valueLine + " \n")) << log;
    EXPECT_EQ("ok\n", RunPython(dir_.path(), kLogCheck, logPath_));
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileTick, testing::ValuesIn(HostileCases()),
                         [](const testing::TestParamInfo<HostileCase> &info) { return std::string(info.param.name); });

/* ---- the upload timer: ticks on one thread of ours, never two at once ---- */

size_t ProbeRuns(const std::string &args)
{
    return harness::CountOccurrences(args, "H=45 L=40\n");
}

/* A stuck tick must not flood the log: its run of skips is one line, with the count, when it ends. */
TEST_F(TickTest, ExpiriesWhileATickRunsAreSkippedAndCountedOnceAndDestroyWaitsForTheTick)
{
    Configure(2, 40, {{1, "Core", 30}});
    harness::WriteFile(home_ + "/probe_out", "   21.00");
    harness::WriteFile(home_ + "/hold", "");
    ASSERT_EQ(0, upload_timer_create());
    long armedAt = harness::NowMs();
    ASSERT_EQ(0, upload_timer_arm(1));
    struct itimerspec spec;
    ASSERT_EQ(0, upload_timer_gettime(&spec));
    EXPECT_EQ(1, (long)spec.it_interval.tv_sec);

    ASSERT_TRUE(harness::WaitFor([&] { return ProbeRuns(ProbeArgs()) == 1; }, kPeerWaitMs));
    long heldAt = harness::NowMs();
    EXPECT_GE(heldAt - armedAt, 900) << "the first expiry comes one period after arming";
    usleep(2500 * 1000);
    EXPECT_EQ(std::string::npos, Log().find("skipped")) << "not while the run of skips goes on";
    EXPECT_EQ(1u, ProbeRuns(ProbeArgs())) << "no second tick while one runs";
    long heldMs = harness::NowMs() - heldAt;
    harness::WriteFile(home_ + "/release", "");

    ASSERT_TRUE(harness::WaitFor([&] { return ProbeRuns(ProbeArgs()) >= 2; }, kPeerWaitMs)) << "ticks go on";
    std::string log = Log();
    EXPECT_EQ(1u, harness::CountOccurrences(log, "skipped")) << log;
    const std::string line = "[Ombrelle]Upload ticks skipped while the previous tick ran: ";
    size_t at = log.find(line);
    ASSERT_NE(std::string::npos, at) << log;
    long skipped = strtol(log.c_str() + at + line.size(), nullptr, 10);
    EXPECT_GE(skipped, 2);
    EXPECT_LE(skipped, heldMs / 1000 + 2);
    EXPECT_EQ(Document({Entry("    21.0", "Core")}), File());

    /* Destroying waits for the tick under way; after it no tick runs. */
    unlink((home_ + "/release").c_str());
    size_t runs = ProbeRuns(ProbeArgs());
    ASSERT_TRUE(harness::WaitFor([&] { return ProbeRuns(ProbeArgs()) > runs; }, kPeerWaitMs));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        upload_timer_destroy();
        destroyed = true;
    });
    usleep(300 * 1000);
    EXPECT_FALSE(destroyed.load()) << "destroy returned while a tick was running";
    harness::WriteFile(home_ + "/release", "");
    destroyer.join();
    EXPECT_FALSE(upload_timer_exists());
    runs = ProbeRuns(ProbeArgs());
    usleep(1500 * 1000);
    EXPECT_EQ(runs, ProbeRuns(ProbeArgs())) << "no tick after the timer is gone";
}

}  // namespace
