/* The RS-485 query and the radio sample, against a pty that plays the sensor. */
#include "serial.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pty_link.h"
#include "serialport.h"

namespace {

const char kRule[] = "=========================================================\n";
const int kPeerWaitMs = 20000;

std::string OneDecimal(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string HexLines(const Bytes &bytes)
{
    std::string text;
    for (uint8_t b : bytes) {
        char line[8];
        snprintf(line, sizeof line, "0x%x\n", b);
        text += line;
    }
    return text;
}

std::string Repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

/* ---- RS-485 query ---- */

/* A 25-byte reply: some header bytes, the two words, then the six raw words. */
Bytes Reply(unsigned humidity, unsigned temperature, const std::vector<unsigned> &raw = {0x0102, 0x0304, 0x0506,
                                                                                       0x0708, 0x090A, 0x0B0C})
{
    Bytes r{0xAA, 0x55, 0xE0, 0x13, 0x21, 0x07, 0x99};
    for (unsigned w : {humidity, temperature, 0x7777u})
        r.insert(r.end(), {(uint8_t)(w >> 8), (uint8_t)w});
    for (unsigned w : raw)
        r.insert(r.end(), {(uint8_t)(w >> 8), (uint8_t)w});
    return r;
}

struct Chunk {
    int delayMs;
    Bytes bytes;
};

struct QueryCase {
    const char *name;
    int address;
    std::vector<Chunk> reply;
    Bytes query;
    int result;
    int humidity, celsius, fahrenheit;
    const char *tenths;
    std::vector<int> raw;
    std::vector<std::string> lines;
};

void PrintTo(const QueryCase &c, std::ostream *os)
{
    *os << c.name;
}

const std::vector<int> kRaw = {0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C};
const std::vector<int> kNoRaw = {0, 0, 0, 0, 0, 0};

std::vector<QueryCase> QueryCases()
{
    Bytes full = Reply(0x01F4, 0x00FA);
    return {
        {"AddressE0", 0xE0, {{0, full}}, {0x55, 0xAA, 0xE0, 0x00, 0x21, 0x00}, 0, 50, 25, 77, "25.0", kRaw,
         {"address: e0\n", "Read 25 bytes\n", "Humidity    : 50% \n", "Temperature : 25 C / 77 F \n",
          "HUM:50:TEM:77\n"}},
        {"TenthsDroppedBeforeFahrenheit", 1, {{0, Reply(0x01F4, 0x00FF)}}, {0x55, 0xAA, 0x01, 0x00, 0x21, 0x21}, 0,
         50, 25, 77, "25.5", kRaw,
         {"address: 1\n", "Device address 1 | framelen 0 |  commandword 21, checksum 21 \n",
          "temperatureLow = ff, temperatureHigh = 0, temperature =ff 255\n", "Temperature : 25 C / 77 F \n"}},
        {"AddressLowByteOnly", 0x1FF, {{0, Reply(0x0000, 0x0190)}}, {0x55, 0xAA, 0xFF, 0x00, 0x21, 0x1F}, 0, 0, 40,
         104, "40.0", kRaw,
         {"address: 1ff\n", "Device address ff | framelen 0 |  commandword 21, checksum 1f \n",
          "Humidity    :  0% \n", "Temperature : 40 C / 104 F \n", "HUM: 0:TEM:104\n"}},
        {"ReplyInTwoPieces", 0xE0, {{0, Bytes(full.begin(), full.begin() + 10)}, {100, Bytes(full.begin() + 10, full.end())}},
         {0x55, 0xAA, 0xE0, 0x00, 0x21, 0x00}, 0, 50, 25, 77, "25.0", kRaw,
         {"Starting Read..\nRead 25 bytes\n0xaa\n"}},
        {"ShortReplyReadsMissingBytesAsZero", 0xE0, {{0, Bytes(full.begin(), full.begin() + 11)}},
         {0x55, 0xAA, 0xE0, 0x00, 0x21, 0x00}, 0, 50, 25, 77, "25.0", kNoRaw,
         {"Starting Read..\nRead 11 bytes\n" + Repeat("Read 0 bytes\n", 4) + HexLines(Bytes(full.begin(), full.begin() + 11)) +
          "humidtyLow"}},
        {"NoReplyIsAFailedSampling", 0xE0, {}, {0x55, 0xAA, 0xE0, 0x00, 0x21, 0x00}, -1, 0, 0, 32, "0.0", kNoRaw,
         {"Starting Read..\n" + Repeat("Read 0 bytes\n", 5) + "humidtyLow = 0, humidtyHigh = 0, humidity =0 0\n",
          "Humidity    :  0% \n", "Temperature :  0 C / 32 F \n", "HUM: 0:TEM:32\n"}},
    };
}

class RS485QueryTest : public testing::Test {
protected:
    /* Plays the sensor: takes the 6 query bytes, notes the settings, then replies. */
    int Run(int address, const std::vector<Chunk> &reply, RS485Reading *reading)
    {
        link_.Preload(Bytes(30, 0xEE));  // stale input: the exchange flushes it
        std::thread peer([&] {
            sent_ = link_.Receive(6, kPeerWaitMs);
            during_ = link_.Seen();
            for (const Chunk &chunk : reply) {
                usleep((useconds_t)chunk.delayMs * 1000);
                link_.Send(chunk.bytes);
            }
        });
        int result;
        {
            StderrCapture capture(link_.root().sub("stderr"));
            result = query_rs485_sensor(address, reading);
            stderr_ = capture.Text();
        }
        peer.join();
        return result;
    }

    PtyLink link_;
    Bytes sent_;
    struct termios during_ {};
    std::string stderr_;
};

class RS485QueryCaseTest : public RS485QueryTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(RS485QueryCaseTest, SendsTheQueryAndDecodesTheReply)
{
    const QueryCase &c = GetParam();
    RS485Reading r;
    long start = harness::NowMs();
    EXPECT_EQ(c.result, Run(c.address, c.reply, &r));
    EXPECT_LT(harness::NowMs() - start, SERIAL_QUERY_BOUND_MS + 3000);
    EXPECT_EQ(c.query, sent_);
    ExpectProfile(during_, IGNPAR, 0x08BD | link_.KeptDriverBit(), 25);
    ExpectSameSettings(link_.original, link_.Seen());
    EXPECT_EQ(c.humidity, r.humidity);
    EXPECT_EQ(c.celsius, r.celsius);
    EXPECT_EQ(c.fahrenheit, r.fahrenheit);
    EXPECT_EQ(c.tenths, OneDecimal(r.celsius_tenths));
    EXPECT_EQ(c.raw, std::vector<int>(r.raw, r.raw + RS485_RAW_READINGS));
    harness::ExpectInOrder(stderr_, c.lines);
}

INSTANTIATE_TEST_SUITE_P(RS485Replies, RS485QueryCaseTest, testing::ValuesIn(QueryCases()),
                         [](const testing::TestParamInfo<QueryCase> &info) { return std::string(info.param.name); });

TEST_F(RS485QueryTest, WritesItsDiagnosticsVerbatim)
{
    Bytes reply = Reply(0x01F4, 0x00FA);
    RS485Reading r;
    ASSERT_EQ(0, Run(0xE0, {{0, reply}}, &r));
    std::string expected = std::string(kRule) +
        "Retrieve data from sensors RS-485 interface address: e0\n"
        "Sending Command :Header  55  aa | Device address e0 | framelen 0 |  commandword 21, checksum 0 \n";
    for (const char *byte : {"55", "aa", "e0", "0", "21", "0"})
        expected += std::string("Sending cmd ") + byte + ", size 1 \nResult: Bytes senti : 1 \n";
    expected += "Starting Read..\nRead 25 bytes\n" + HexLines(reply) +
        "humidtyLow = f4, humidtyHigh = 1, humidity =1f4 500\n"
        "temperatureLow = fa, temperatureHigh = 0, temperature =fa 250\n"
        "Sensor Data ..\n"
        "Humidity    : 50% \n"
        "Temperature : 25 C / 77 F \n"
        "HUM:50:TEM:77\n" + kRule;
    EXPECT_EQ(expected, stderr_);
}

/* ---- radio sample ---- */

Bytes RadioFrame(uint8_t start, uint8_t type, unsigned lraw, unsigned traw, unsigned hraw)
{
    Bytes f(28);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = (uint8_t)(0x40 + i);
    f[0] = start;
    f[3] = type;
    const unsigned words[3] = {lraw, traw, hraw};
    for (int k = 0; k < 3; ++k) {
        f[21 + 2 * k] = (uint8_t)(words[k] >> 8);
        f[22 + 2 * k] = (uint8_t)words[k];
    }
    return f;
}

const Bytes kInvalid1 = RadioFrame(0x00, 0x00, 0x0100, 0x0100, 0x0100);
const Bytes kInvalid2 = RadioFrame(0x7D, 0x91, 0x0200, 0x0200, 0x0200);

struct RadioCase {
    const char *name;
    std::vector<Bytes> frames;   /* sent one at a time, each once the last was judged */
    int result;
    const char *lux, *fahrenheit, *humidity;
    int invalid;                 /* "Invalid data" lines */
    std::vector<std::string> lines;
};

void PrintTo(const RadioCase &c, std::ostream *os)
{
    *os << c.name;
}

std::vector<RadioCase> RadioCases()
{
    return {
        {"StartAndTypeByte", {RadioFrame(0x7E, 0x92, 1023, 639, 500)}, 0, "1200.0", "76.9", "35.9", 0,
         {"Lux  is  :   1200.0 Lux \n", "Temperature :     76.9 F \n", "Humidity    :     35.9 RH \n"}},
        {"StartByteAlone", {RadioFrame(0x7E, 0x00, 512, 426, 1023)}, 0, "600.6", "31.9", "100.3", 0, {}},
        {"FrameTypeAlone", {RadioFrame(0x00, 0x92, 200, 300, 250)}, 0, "234.6", "5.3", "5.0", 0, {}},
        {"AllZeroSamples", {RadioFrame(0x7E, 0x92, 0, 0, 0)}, 0, "0.0", "-58.0", "-25.8", 0,
         {"Lux  is  :      0.0 Lux \n", "Temperature :    -58.0 F \n", "Humidity    :    -25.8 RH \n"}},
        {"InvalidFramesSkipped", {kInvalid1, kInvalid2, RadioFrame(0x7E, 0x92, 1023, 639, 500)}, 0, "1200.0", "76.9",
         "35.9", 2, {"Invalid data\n" + HexLines(kInvalid1), "Invalid data\n" + HexLines(kInvalid2)}},
        {"FifthInvalidFrameDecoded",
         {kInvalid1, kInvalid2, kInvalid1, kInvalid2, RadioFrame(0x01, 0x02, 1023, 639, 500)}, 0, "1200.0", "76.9",
         "35.9", 5, {"Invalid data\n" + HexLines(RadioFrame(0x01, 0x02, 1023, 639, 500)) + "LuxHigh = 3,  LuxLow = ff "}},
        {"ShortFrameIsAFailedSampling", {Bytes(20, 0x7E)}, -1, "0.0", "0.0", "0.0", 0,
         {std::string(kRule) + "Starting Read..\nRead 20 bytes\nRead 0 bytes\n"}},
        {"SilentModuleIsAFailedSampling", {}, -1, "0.0", "0.0", "0.0", 0,
         {std::string(kRule) + "Starting Read..\nRead 0 bytes\n"}},
    };
}

class RadioTest : public testing::Test {
protected:
    /* Plays the module: waits for the radio profile, then sends the frames one by one. */
    int Run(const std::vector<Bytes> &frames, RadioSample *sample)
    {
        link_.Preload(RadioFrame(0x7E, 0x92, 1, 1, 1));  // stale input: the exchange flushes it
        std::string err = link_.root().sub("stderr");
        std::thread peer([&] {
            harness::WaitFor([&] { return (link_.Seen().c_cflag & CRTSCTS) != 0; }, kPeerWaitMs);
            during_ = link_.Seen();
            for (size_t i = 0; i < frames.size(); ++i) {
                link_.Send(frames[i]);
                if (i + 1 < frames.size())
                    harness::WaitFor([&] {
                        return harness::CountOccurrences(harness::ReadFile(err), "Invalid data\n") > i;
                    }, kPeerWaitMs);
            }
        });
        int result;
        {
            StderrCapture capture(err);
            result = read_radio_sample(sample);
            stderr_ = capture.Text();
        }
        peer.join();
        return result;
    }

    PtyLink link_;
    struct termios during_ {};
    std::string stderr_;
};

class RadioCaseTest : public RadioTest, public testing::WithParamInterface<RadioCase> {};

TEST_P(RadioCaseTest, GathersAndDecodesOneSample)
{
    const RadioCase &c = GetParam();
    RadioSample s;
    long start = harness::NowMs();
    EXPECT_EQ(c.result, Run(c.frames, &s));
    EXPECT_LT(harness::NowMs() - start, SERIAL_RADIO_BOUND_MS + 3000);
    ExpectProfile(during_, IGNPAR, 0x800008BD, 1);
    ExpectSameSettings(link_.original, link_.Seen());
    EXPECT_EQ(c.lux, OneDecimal(s.lux));
    EXPECT_EQ(c.fahrenheit, OneDecimal(s.fahrenheit));
    EXPECT_EQ(c.humidity, OneDecimal(s.humidity));
    EXPECT_EQ((size_t)c.invalid, harness::CountOccurrences(stderr_, "Invalid data\n"));
    harness::ExpectInOrder(stderr_, c.lines);
    if (c.result != 0)
        EXPECT_EQ(std::string::npos, stderr_.find("Sensor Data"));
}

INSTANTIATE_TEST_SUITE_P(RadioFrames, RadioCaseTest, testing::ValuesIn(RadioCases()),
                         [](const testing::TestParamInfo<RadioCase> &info) { return std::string(info.param.name); });

TEST_F(RadioTest, WritesItsDiagnosticsVerbatim)
{
    Bytes frame = RadioFrame(0x7E, 0x92, 1023, 639, 500);
    RadioSample s;
    ASSERT_EQ(0, Run({frame}, &s));
    std::string expected = std::string(kRule) + "Starting Read..\nRead 28 bytes\n" + HexLines(frame) +
        "LuxHigh = 3,  LuxLow = ff Lux =0x3ff 1023\n"
        "humidtyHigh = 1, humidtyLow = f4 humidity =0x1f4 500\n"
        "temperatureHigh = 2, temperatureLow = 7f temperature =0x27f 639\n"
        "temperatureHigh =0x2 27f\n"
        "Sensor Data ..\n"
        "Lux  is  :   1200.0 Lux \n"
        "Temperature :     76.9 F \n"
        "Humidity    :     35.9 RH \n" + kRule;
    EXPECT_EQ(expected, stderr_);
}

struct ConversionCase {
    int lraw, traw, hraw;
    const char *lux, *fahrenheit, *humidity;
};

TEST(RadioConversion, GivesTheDocumentedValuesToOneDecimal)
{
    const ConversionCase cases[] = {
        {1023, 639, 500, "1200.0", "76.9", "35.9"},
        {0, 0, 0, "0.0", "-58.0", "-25.8"},
        {512, 426, 1023, "600.6", "31.9", "100.3"},
        /* The raw count times 1200 still fits an int at the top of the range. */
        {65535, 65535, 65535, "76873.9", "13779.3", "8056.0"},
    };
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE(c.lraw);
        EXPECT_EQ(c.lux, OneDecimal(radio_lux(c.lraw)));
        EXPECT_EQ(c.fahrenheit, OneDecimal(radio_fahrenheit(c.traw)));
        EXPECT_EQ(c.humidity, OneDecimal(radio_humidity(c.hraw)));
    }
}

/* ---- an abort at shutdown ---- */

struct AbortCase {
    const char *name;
    bool radio;             /* else the RS-485 query */
};

void PrintTo(const AbortCase &c, std::ostream *os)
{
    *os << c.name;
}

const AbortCase kAbortCases[] = {{"RadioRead", true}, {"Query", false}};

class ExchangeAbortTest : public testing::TestWithParam<AbortCase> {
protected:
    void TearDown() override { serialport_resume(); }

    int Exchange(bool radio)
    {
        RadioSample sample;
        RS485Reading reading;
        return radio ? read_radio_sample(&sample) : query_rs485_sensor(0xE0, &reading);
    }

    PtyLink link_;
};

/* A silent peer: the abort ends the wait long before its bound, and later exchanges never touch the port. */
TEST_P(ExchangeAbortTest, EndsTheExchangeUnderWayAndRefusesLaterOnes)
{
    const AbortCase &c = GetParam();
    std::string err = link_.root().sub("stderr");
    int result = 0;
    long ended = 0;
    StderrCapture capture(err);
    std::thread exchange([&] {
        result = Exchange(c.radio);
        ended = harness::NowMs();
    });
    ASSERT_TRUE(harness::WaitFor([&] { return harness::ReadFile(err).find("Starting Read..") != std::string::npos; },
                                 kPeerWaitMs));
    usleep(100 * 1000);
    long aborted = harness::NowMs();
    serialport_abort();
    exchange.join();
    EXPECT_EQ(SERIAL_ABORTED, result);
    EXPECT_LT(ended - aborted, 1000);
    EXPECT_EQ(std::string::npos, capture.Text().find("Sensor Data")) << "an abort decodes nothing";
    ExpectSameSettings(link_.original, link_.Seen());

    link_.Receive(64, 100);  // the query that went out
    for (bool radio : {true, false}) {
        SCOPED_TRACE(radio ? "radio read after the abort" : "query after the abort");
        EXPECT_EQ(SERIAL_ABORTED, Exchange(radio));
    }
    EXPECT_TRUE(link_.Receive(1, 200).empty()) << "nothing was sent";
    ExpectSameSettings(link_.original, link_.Seen());
}

INSTANTIATE_TEST_SUITE_P(Exchanges, ExchangeAbortTest, testing::ValuesIn(kAbortCases),
                         [](const testing::TestParamInfo<AbortCase> &info) { return std::string(info.param.name); });

/* ---- a port that cannot be opened ---- */

class SerialOpenFailureTest : public testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "fast");  // no re-exec: works under the emulator
        setenv("OMBRELLE_ROOT", root_.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("OMBRELLE_ROOT"); }

    harness::TempDir root_;
};

TEST_F(SerialOpenFailureTest, ReaderThreadEndsTheProcessWith255)
{
    EXPECT_EXIT(serial_proc(nullptr), testing::ExitedWithCode(255),
                "^\\[Ombrelle\\]=+\n/dev/ttyS1: No such file or directory\n$");
}

TEST_F(SerialOpenFailureTest, QueryEndsTheProcessWith255)
{
    RS485Reading r;
    EXPECT_EXIT(query_rs485_sensor(0x1FF, &r), testing::ExitedWithCode(255),
                "^=+\nRetrieve data from sensors RS-485 interface address: 1ff\n"
                "/dev/ttyS1: No such file or directory\n$");
}

TEST_F(SerialOpenFailureTest, RadioReadEndsTheProcessWith255)
{
    RadioSample s;
    EXPECT_EXIT(read_radio_sample(&s), testing::ExitedWithCode(255),
                "^=+\n/dev/ttyS1: No such file or directory\n$");
}

}  // namespace
