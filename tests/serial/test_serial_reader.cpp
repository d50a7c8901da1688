/* The record frame reader thread, against a pty that plays the RS-485 peer. */
#include "serial.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ombrelle.h"
#include "pty_link.h"
#include "serialport.h"
#include "tsdk.h"

namespace {

const std::string kRule = "[Ombrelle]=========================================================\n";
const std::string kSize = "[Ombrelle]Receiving size... \n";
const std::string kData = "[Ombrelle]Receiving 96 data... \n";
const std::string kChksum = "[Ombrelle]Receiving chksum \n";
/* Lines of a pass that stored its frame. */
const std::string kGoodPass = kRule + kSize + kData + kChksum;

const int kWaitMs = 20000;

Bytes Frame(const Bytes &payload, int checksum)
{
    Bytes frame{0x62};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back((uint8_t)checksum);
    return frame;
}

uint8_t Sum(const Bytes &payload)
{
    return (uint8_t)std::accumulate(payload.begin(), payload.end(), 0u);
}

Bytes GoodFrame(const Bytes &payload)
{
    return Frame(payload, Sum(payload));
}

void PutLE(Bytes &out, uint64_t v, int size)
{
    for (int i = 0; i < size; ++i)
        out.push_back((uint8_t)(v >> (8 * i)));
}

/* A record written byte by byte: 21.5, -3.25, 1.0, 0.1, then zeros; params 30, 31, -1, 0x12345678, 0... */
Bytes SeedPayload()
{
    Bytes p;
    const uint64_t values[8] = {0x4035800000000000ull, 0xC00A000000000000ull, 0x3FF0000000000000ull,
                                0x3FB999999999999Aull, 0, 0, 0, 0};
    const uint32_t params[8] = {30, 31, 0xFFFFFFFFu, 0x12345678u, 0, 0, 0, 0};
    for (uint64_t v : values)
        PutLE(p, v, 8);
    for (uint32_t v : params)
        PutLE(p, v, 4);
    return p;
}

SensorRecord RecordOf(const Bytes &payload)
{
    SensorRecord r;
    memcpy(&r, payload.data(), sizeof r);
    return r;
}

bool SameRecord(const SensorRecord &a, const SensorRecord &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

SensorRecord CopyOfSerialData()
{
    SensorRecord r;
    Serial_data_copy(&r);
    return r;
}

class RecordReaderTest : public testing::Test {
protected:
    void SetUp() override
    {
        log_ = link_.root().sub("Ombrelle.log");
        tsdk_settings.log_path = log_.c_str();
        ASSERT_EQ(0, tsdk_init());
        wait_updates.store(1);
    }

    void TearDown() override
    {
        if (running_)
            Stop();
        tsdk_deinit();
        tsdk_settings.log_path = nullptr;
        wait_updates.store(1);
    }

    void Start()
    {
        ASSERT_EQ(0, pthread_create(&thread_, nullptr, serial_proc, nullptr));
        running_ = true;
    }

    void Stop()
    {
        serial_proc_stop(thread_);
        running_ = false;
    }

    std::string Log() const { return harness::ReadFile(log_); }

    /* Waits until pass n has applied its profile and waits for its length byte. */
    bool AwaitPass(size_t n)
    {
        return harness::WaitFor([&] { return harness::CountOccurrences(Log(), kSize) >= n; }, kWaitMs);
    }

    bool AwaitLine(const std::string &line, size_t n = 1)
    {
        return harness::WaitFor([&] { return harness::CountOccurrences(Log(), line) >= n; }, kWaitMs);
    }

    /* Sends a good seed frame in pass 1 and waits for pass 2: Serial_data is then the seed. */
    void Seed()
    {
        ASSERT_TRUE(AwaitPass(1));
        link_.Send(GoodFrame(SeedPayload()));
        ASSERT_TRUE(AwaitPass(2));
    }

    PtyLink link_;
    std::string log_;
    pthread_t thread_{};
    bool running_ = false;
};

TEST_F(RecordReaderTest, StoresTheLittleEndianRecordAndUsesTheRecordProfile)
{
    Start();
    ASSERT_TRUE(AwaitPass(1));
    ExpectProfile(link_.Seen(), IGNPAR, 0x08BD | link_.KeptDriverBit(), 1);
    link_.Send(GoodFrame(SeedPayload()));
    ASSERT_TRUE(AwaitPass(2));
    SensorRecord r = CopyOfSerialData();
    EXPECT_EQ(21.5, r.value[0]);
    EXPECT_EQ(-3.25, r.value[1]);
    EXPECT_EQ(1.0, r.value[2]);
    EXPECT_EQ(0.1, r.value[3]);
    EXPECT_EQ(30, r.param[0]);
    EXPECT_EQ(31, r.param[1]);
    EXPECT_EQ(-1, r.param[2]);
    EXPECT_EQ(0x12345678, r.param[3]);
    Stop();
    ExpectSameSettings(link_.original, link_.Seen());
    EXPECT_EQ(kGoodPass + kRule + kSize, Log());
}

struct FrameCase {
    const char *name;
    Bytes bytes;
    bool stored;            /* else Serial_data keeps the seed */
    std::string lines;      /* the log of the case's pass */
};

void PrintTo(const FrameCase &c, std::ostream *os)
{
    *os << c.name;
}

std::vector<FrameCase> FrameCases()
{
    Bytes ones(96, 0x01);
    Bytes length97 = Frame(ones, 0x60);
    length97[0] = 0x61;
    return {
        {"FirstByteZero", {0x00}, false, kRule + kSize + "[Ombrelle]Error: tmp_size 0, should be 98\n"},
        {"LengthOneShort", length97, false, kRule + kSize + "[Ombrelle]Error: tmp_size 97, should be 98\n"},
        {"OnesChecksum60", Frame(ones, 0x60), true, kGoodPass},
        {"OnesChecksum61", Frame(ones, 0x61), false, kGoodPass + "[Ombrelle]Error: rchksum 96, should be 97\n"},
        {"AllZero", Frame(Bytes(96, 0), 0x00), true, kGoodPass},
        {"HighBytesWrapTheSum", Frame(Bytes(96, 0xFF), 0xA0), true, kGoodPass},
    };
}

class RecordFrameTest : public RecordReaderTest, public testing::WithParamInterface<FrameCase> {};

TEST_P(RecordFrameTest, ChecksTheFrame)
{
    const FrameCase &c = GetParam();
    Start();
    Seed();
    link_.Send(c.bytes);
    ASSERT_TRUE(AwaitPass(3));
    SensorRecord expected = RecordOf(c.stored ? Bytes(c.bytes.begin() + 1, c.bytes.begin() + 97) : SeedPayload());
    EXPECT_TRUE(SameRecord(expected, CopyOfSerialData()));
    Stop();
    EXPECT_EQ(kGoodPass + c.lines + kRule + kSize, Log());
}

INSTANTIATE_TEST_SUITE_P(RecordFrames, RecordFrameTest, testing::ValuesIn(FrameCases()),
                         [](const testing::TestParamInfo<FrameCase> &info) { return std::string(info.param.name); });

/* What came after a bad length byte is thrown away; the next byte to arrive is a length byte. */
TEST_F(RecordReaderTest, ResynchronisesAfterABadLengthByte)
{
    Start();
    Seed();
    Bytes broken{0x00};
    broken.insert(broken.end(), 97, 0x62);
    link_.Send(broken);
    ASSERT_TRUE(AwaitPass(3));
    Bytes next(96, 0x07);
    link_.Send(GoodFrame(next));
    ASSERT_TRUE(AwaitPass(4));
    EXPECT_TRUE(SameRecord(RecordOf(next), CopyOfSerialData()));
    Stop();
    EXPECT_EQ(kGoodPass + kRule + kSize + "[Ombrelle]Error: tmp_size 0, should be 98\n" + kGoodPass + kRule + kSize,
              Log());
}

void Ignore(int) {}

/* A signal that interrupts a byte read must not cost the byte. */
TEST_F(RecordReaderTest, KeepsTheFrameWhenASignalInterruptsARead)
{
    struct sigaction action, previous;
    memset(&action, 0, sizeof action);
    action.sa_handler = Ignore;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    Start();
    ASSERT_TRUE(AwaitPass(1));
    Bytes payload(96);
    std::iota(payload.begin(), payload.end(), 1);
    Bytes frame = GoodFrame(payload);
    link_.Send(Bytes(frame.begin(), frame.begin() + 41));
    ASSERT_TRUE(AwaitLine(kData));
    usleep(50000);
    EXPECT_EQ(0, pthread_kill(thread_, SIGUSR1));
    usleep(50000);
    link_.Send(Bytes(frame.begin() + 41, frame.end()));
    ASSERT_TRUE(AwaitPass(2));
    EXPECT_TRUE(SameRecord(RecordOf(payload), CopyOfSerialData()));
    Stop();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(kGoodPass + kRule + kSize, Log());
}

/* A pty of the test's own, linked in place of ROOT/dev/ttyS1 at once (the path never vanishes). */
struct OwnPty {
    int master = -1, slave = -1;
    explicit OwnPty(const std::string &root)
    {
        char name[64] = "";
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_LE(0, master);
        EXPECT_EQ(0, grantpt(master));
        EXPECT_EQ(0, unlockpt(master));
        EXPECT_EQ(0, ptsname_r(master, name, sizeof name));
        slave = open(name, O_RDWR | O_NOCTTY);
        EXPECT_LE(0, slave);
        struct termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        std::string link = root + "/dev/ttyS1";
        EXPECT_EQ(0, symlink(name, (link + ".new").c_str()));
        EXPECT_EQ(0, rename((link + ".new").c_str(), link.c_str()));
    }
    void Close()
    {
        close(master);
        close(slave);
        master = slave = -1;
    }
    ~OwnPty()
    {
        if (master >= 0)
            Close();
    }
};

/*
 * The peer closes its end in the middle of a frame. The bytes held after its
 * last one are the previous frame's: even when they add up to a checksum of 0
 * (the value an unread checksum byte keeps), no record is made of them. The
 * reader waits before it opens the port again, then reads the new line.
 */
TEST_F(RecordReaderTest, AHangUpInAFrameDropsItAndTheReaderWaitsBeforeOpeningAgain)
{
    auto first = std::make_unique<OwnPty>(link_.root().path());
    Start();
    ASSERT_TRUE(AwaitPass(1));
    Bytes seed = SeedPayload();
    ASSERT_EQ((ssize_t)98, write(first->master, GoodFrame(seed).data(), 98));
    ASSERT_TRUE(AwaitPass(2));
    /* Two new bytes that, with the 94 held from the seed, add up to 0 modulo 256. */
    uint8_t a = (uint8_t)(seed[0] + 1);
    uint8_t b = (uint8_t)(0u - Sum(Bytes(seed.begin() + 2, seed.end())) - a);
    const uint8_t head[] = {0x62, a, b};
    ASSERT_EQ((ssize_t)sizeof head, write(first->master, head, sizeof head));
    ASSERT_TRUE(AwaitLine(kData, 2));
    ASSERT_TRUE(harness::WaitFor([&] {
        int queued = -1;
        return ioctl(first->slave, FIONREAD, &queued) == 0 && queued == 0;
    }, kWaitMs));
    usleep(50000);
    OwnPty second(link_.root().path());
    struct timespec since;
    clock_gettime(CLOCK_MONOTONIC, &since);
    first->Close();
    ASSERT_TRUE(AwaitPass(3));
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long waitedMs = (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
    EXPECT_GE(waitedMs, READER_HANGUP_WAIT_MS - 100) << "the reader opened the port again at once";
    EXPECT_TRUE(SameRecord(RecordOf(seed), CopyOfSerialData())) << "a record was made of stale bytes";

    Bytes next(96, 3);
    ASSERT_EQ((ssize_t)98, write(second.master, GoodFrame(next).data(), 98));
    ASSERT_TRUE(AwaitPass(4));
    EXPECT_TRUE(SameRecord(RecordOf(next), CopyOfSerialData()));
    Stop();
    EXPECT_EQ(1u, harness::CountOccurrences(Log(), "[Ombrelle]Error: serial line hung up, frame dropped\n"));
}

TEST_F(RecordReaderTest, EndsByItselfAfterAPassOnceWaitUpdatesIsClear)
{
    wait_updates.store(0);
    Start();
    ASSERT_TRUE(AwaitPass(1));
    link_.Send(GoodFrame(SeedPayload()));
    struct timespec bound;
    clock_gettime(CLOCK_REALTIME, &bound);
    bound.tv_sec += kWaitMs / 1000;
    ASSERT_EQ(0, pthread_timedjoin_np(thread_, nullptr, &bound));
    running_ = false;
    EXPECT_EQ(kGoodPass, Log());
    EXPECT_TRUE(SameRecord(RecordOf(SeedPayload()), CopyOfSerialData()));
    ExpectSameSettings(link_.original, link_.Seen());
}

/* 9600 baud, 8N1: ten bits a byte. */
const long kByteAtLineRateNs = 1000000000L / 960;
const int kFloodSeconds = 3;

/* Single bytes paced at line rate for `seconds`, never a length byte; the bytes sent. */
long FloodAtLineRate(const PtyLink &link, int seconds)
{
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    long end = harness::NowMs() + seconds * 1000L;
    long sent = 0;
    for (uint8_t b = 0; harness::NowMs() < end; ++b) {
        if (b == 0x62)
            continue;
        link.Send({b});
        ++sent;
        next.tv_nsec += kByteAtLineRateNs;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_sec += 1;
            next.tv_nsec -= 1000000000L;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    return sent;
}

/*
 * A peer that sends single bytes at line rate: every line of the first failed
 * passes, then nothing but the count, and the next good frame logs its lines
 * as always. Prints the log rate an hour of it would write.
 */
TEST_F(RecordReaderTest, ASingleByteFloodLogsItsFirstPassesThenACountAndAGoodFrameLogsAsAlways)
{
    Start();
    ASSERT_TRUE(AwaitPass(1));
    size_t before = Log().size();
    long started = harness::NowMs();
    long sent = FloodAtLineRate(link_, kFloodSeconds);
    double seconds = (harness::NowMs() - started) / 1000.0;
    size_t flooded = Log().size() - before;
    usleep(100 * 1000);
    size_t settled = Log().size();
    link_.Send(GoodFrame(SeedPayload()));
    ASSERT_TRUE(harness::WaitFor([] { return SameRecord(RecordOf(SeedPayload()), CopyOfSerialData()); }, kWaitMs));
    ASSERT_TRUE(AwaitLine(kSize, READER_FULL_FAILED_PASSES + 2));
    Stop();
    std::string log = Log();
    printf("[ figure ] single-byte flood at 9600 baud: %ld bytes in %.1f s, %zu bytes of log: %.2f MB of log an "
           "hour\n", sent, seconds, flooded, flooded / seconds * 3600 / 1e6);

    /* Up to the good frame: the allowance's passes in full, nothing of the passes after them. */
    std::string flood = log.substr(0, settled);
    EXPECT_EQ((size_t)READER_FULL_FAILED_PASSES, harness::CountOccurrences(flood, kRule)) << flood;
    EXPECT_EQ((size_t)READER_FULL_FAILED_PASSES, harness::CountOccurrences(flood, kSize));
    EXPECT_EQ((size_t)READER_FULL_FAILED_PASSES, harness::CountOccurrences(flood, "[Ombrelle]Error: tmp_size "));
    EXPECT_EQ((size_t)READER_FULL_FAILED_PASSES * 3, harness::CountOccurrences(flood, "\n")) << flood;

    /* The good frame's lines, the next pass's, and at the stop the count of the passes not logged. */
    const std::string summary = "[Ombrelle]Error: tmp_size lines repeated ";
    size_t at = log.rfind(summary);
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_EQ(kGoodPass + kRule + kSize, log.substr(at - (kGoodPass + kRule + kSize).size(),
                                                    (kGoodPass + kRule + kSize).size()));
    unsigned repeated = 0;
    ASSERT_EQ(1, sscanf(log.c_str() + at + summary.size(), "%u times\n", &repeated)) << log.substr(at);
    printf("[ figure ] passes summarised: %u\n", repeated);
    EXPECT_GE(repeated, 50u) << "a pass per byte, but for those a pass's flush threw away";
    EXPECT_LE((long)repeated + READER_FULL_FAILED_PASSES, sent);
    EXPECT_EQ(log.size(), at + summary.size() + std::to_string(repeated).size() + strlen(" times\n"));
}

struct StopCase {
    const char *name;
    size_t sent;               /* bytes of a good frame sent before the stop */
    std::string awaited;       /* the line that shows the thread got that far */
};

void PrintTo(const StopCase &c, std::ostream *os)
{
    *os << c.name;
}

const StopCase kStopCases[] = {
    {"AwaitingLength", 0, kSize},
    {"InPayload", 40, kData},
    {"AwaitingChecksum", 97, kChksum},
};

class ReaderStopTest : public RecordReaderTest, public testing::WithParamInterface<StopCase> {};

TEST_P(ReaderStopTest, RestoresTheLineAndHoldsNoLock)
{
    const StopCase &c = GetParam();
    Start();
    Seed();
    int fds = FdCount();
    Bytes payload(96, 0x33);
    Bytes frame = GoodFrame(payload);
    link_.Send(Bytes(frame.begin(), frame.begin() + c.sent));
    ASSERT_TRUE(AwaitLine(c.awaited, c.awaited == kSize ? 2 : 1));
    usleep(50000);
    Stop();
    ExpectSameSettings(link_.original, link_.Seen());
    EXPECT_EQ(fds - 2, FdCount());  // the pass had the port and the stop descriptor open
    /* Would hang if the stop had left the lock taken. */
    EXPECT_TRUE(SameRecord(RecordOf(SeedPayload()), CopyOfSerialData()));
}

INSTANTIATE_TEST_SUITE_P(ReaderStop, ReaderStopTest, testing::ValuesIn(kStopCases),
                         [](const testing::TestParamInfo<StopCase> &info) { return std::string(info.param.name); });

/* Start and stop at any moment, frames arriving or not: no descriptor stays behind. */
TEST_F(RecordReaderTest, LeaksNothingOverManyStartStopCycles)
{
    int fds = FdCount();
    Bytes frame = GoodFrame(Bytes(96, 0x05));
    for (int cycle = 0; cycle < 60; ++cycle) {
        SCOPED_TRACE(cycle);
        Start();
        if (cycle % 3 == 1)
            link_.Send(Bytes(frame.begin(), frame.begin() + cycle));
        usleep((useconds_t)(cycle % 5) * 1000);
        Stop();
        ExpectSameSettings(link_.original, link_.Seen());
        tcflush(link_.slave(), TCIOFLUSH);
    }
    EXPECT_EQ(fds, FdCount());
}

/* ---- the stop: bounded whatever the line does, and no wake-up while it is silent ---- */

/* A line whose open waits for carrier, as a blocking open of a modem line does, until the test lets it go. */
std::atomic<bool> g_carrier{false};

int OpenWaitingForCarrier(const char *path, int flags)
{
    while ((flags & O_NONBLOCK) == 0 && !g_carrier.load())
        usleep(1000);
    return open(path, flags);
}

TEST_F(RecordReaderTest, StopsAtOnceOnALineWhoseOpenWaitsForCarrier)
{
    g_carrier = false;
    int (*const kernel)(const char *, int) = serialport_sys_open;
    serialport_sys_open = OpenWaitingForCarrier;
    Start();
    std::atomic<bool> stopped{false};
    long asked = harness::NowMs();
    std::thread stopper([&] {
        Stop();
        stopped = true;
    });
    bool inTime = harness::WaitFor([&] { return stopped.load(); }, 2000);
    long took = harness::NowMs() - asked;
    g_carrier = true;  // a reader held in its open goes on, so the test ends either way
    stopper.join();
    serialport_sys_open = kernel;
    EXPECT_TRUE(inTime) << "the stop waited for the line's open";
    EXPECT_LT(took, 1000);
    ExpectSameSettings(link_.original, link_.Seen());
}

std::set<std::string> Tasks()
{
    std::set<std::string> tasks;
    DIR *dir = opendir("/proc/self/task");
    for (struct dirent *e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
        if (e->d_name[0] != '.')
            tasks.insert(e->d_name);
    }
    if (dir != nullptr)
        closedir(dir);
    return tasks;
}

long VoluntarySwitches(const std::string &task)
{
    std::string status = harness::ReadFile("/proc/self/task/" + task + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    size_t at = status.find(key);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + key.size());
}

/* The reader sleeps in one wait with no time limit: a silent line costs no wake-up at all. */
TEST_F(RecordReaderTest, ASilentLineNeverWakesTheReader)
{
    std::thread([] {}).join();  // a sanitizer starts its helper thread with the first thread
    std::set<std::string> before = Tasks();
    Start();
    ASSERT_TRUE(AwaitPass(1));
    std::vector<std::string> started;
    for (const std::string &task : Tasks()) {
        if (before.count(task) == 0)
            started.push_back(task);
    }
    ASSERT_EQ(1u, started.size()) << "the reader's own thread";
    usleep(200 * 1000);
    long first = VoluntarySwitches(started[0]);
    sleep(2);
    long second = VoluntarySwitches(started[0]);
    ASSERT_GE(first, 0);
    EXPECT_EQ(first, second) << "woken while the line was silent";
}

/* A copy is one whole record while the reader keeps replacing it. */
TEST_F(RecordReaderTest, CopiesNeverMixTwoRecords)
{
    Bytes a(96), b(96);
    for (int i = 0; i < 96; ++i) {
        a[i] = (uint8_t)(0x10 + i);
        b[i] = (uint8_t)(0xA0 ^ i);
    }
    const SensorRecord ra = RecordOf(a), rb = RecordOf(b), zero = RecordOf(Bytes(96, 0)), seed = RecordOf(SeedPayload());
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0}, copies{0};
    Start();
    Seed();
    std::thread copier([&] {
        while (!done.load()) {
            SensorRecord r = CopyOfSerialData();
            if (!SameRecord(r, ra) && !SameRecord(r, rb) && !SameRecord(r, seed) && !SameRecord(r, zero))
                mixed.fetch_add(1);
            copies.fetch_add(1);
        }
    });
    const int frames = 40;
    for (int i = 0; i < frames; ++i) {
        link_.Send(GoodFrame(i % 2 ? b : a));
        ASSERT_TRUE(AwaitPass(3 + (size_t)i));
    }
    done.store(true);
    copier.join();
    EXPECT_EQ(0, mixed.load());
    EXPECT_GT(copies.load(), 0);
    EXPECT_TRUE(SameRecord(rb, CopyOfSerialData()));
    Stop();
}

}  // namespace
