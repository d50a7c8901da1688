/* The stand-in camera SDK: logging, subscriptions and the simulation interface. */
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "sdksim.h"
#include "tsdk.h"

namespace {

struct Delivery {
    std::string kind;
    std::vector<unsigned char> record;
    bool onCallerThread;
};

std::mutex g_mutex;
std::vector<Delivery> g_deliveries;
pthread_t g_testThread;

void Record(const std::string &kind, const void *data, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_deliveries.push_back({kind, std::vector<unsigned char>(bytes, bytes + size),
                            pthread_equal(pthread_self(), g_testThread) != 0});
}

int OnInput(void *, const void *data, size_t size)
{
    Record("input", data, size);
    return 0;
}

int OnMotion(void *, const void *data, size_t size)
{
    Record("motion", data, size);
    return 0;
}

void OnDayNight(int mode)
{
    unsigned char m = static_cast<unsigned char>(mode);
    Record("daynight", &m, 1);
}

std::vector<Delivery> Deliveries()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_deliveries;
}

class SdkSim : public testing::Test {
protected:
    void SetUp() override
    {
        g_testThread = pthread_self();
        g_deliveries.clear();
        logPath_ = dir_.sub("Ombrelle.log");
        sim_ = dir_.sub("sim");
        harness::MakeDirs(sim_);
        setenv("TSDK_SIM_DIR", sim_.c_str(), 1);
        unsetenv("TSDK_SIM_FAIL");
        tsdk_settings = tsdk_settings_t{};
        tsdk_settings.log_path = logPath_.c_str();
    }
    void TearDown() override
    {
        tsdk_deinit();
        unsetenv("TSDK_SIM_DIR");
        unsetenv("TSDK_SIM_FAIL");
    }

    /* Writes one command and waits until the SDK has acknowledged it. */
    void Send(const std::string &command)
    {
        std::string line = command + "\n";
        size_t before = harness::CountOccurrences(Handled(), line);
        int fd = open((sim_ + "/control").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(line.size()), write(fd, line.data(), line.size()));
        close(fd);
        ASSERT_TRUE(harness::WaitFor([&] { return harness::CountOccurrences(Handled(), line) > before; }, 10000))
            << command;
    }
    std::string Handled() const { return harness::ReadFile(sim_ + "/handled"); }
    std::string Log() const
    {
        fflush(tsdk.log);
        return harness::ReadFile(logPath_);
    }

    harness::TempDir dir_;
    std::string logPath_, sim_;
};

TEST_F(SdkSim, LogLinesAreVerbatimAndErrorLinesCarryTheirMark)
{
    ASSERT_EQ(0, tsdk_init());
    tsdk_log("[Ombrelle]value = %d \n", 42);
    tsdk_errlog("[Ombrelle]failed %s\n", "here");
    EXPECT_EQ("[Ombrelle]value = 42 \nERROR [Ombrelle]failed here\n", Log());
}

TEST_F(SdkSim, WithoutALogStreamLinesGoToStandardError)
{
    testing::internal::CaptureStderr();
    tsdk_log("before init\n");
    tsdk_errlog("an error\n");
    EXPECT_EQ("before init\nERROR an error\n", testing::internal::GetCapturedStderr());
}

TEST_F(SdkSim, InitFailsWhenAskedOrWhenTheLogCannotBeOpened)
{
    setenv("TSDK_SIM_FAIL", "event,init", 1);
    EXPECT_NE(0, tsdk_init());
    EXPECT_EQ(nullptr, tsdk.log);
    unsetenv("TSDK_SIM_FAIL");
    tsdk_settings.log_path = "/nonexistent-dir/x.log";
    EXPECT_NE(0, tsdk_init());
}

TEST_F(SdkSim, ControlThatIsNotAFifoIsRefusedWithItsName)
{
    harness::WriteFile(sim_ + "/control", "input1 2\n");
    EXPECT_EQ(-1, tsdk_init());
    EXPECT_EQ(nullptr, tsdk.log);
    std::string log = harness::ReadFile(logPath_);
    EXPECT_NE(std::string::npos, log.find("ERROR tsdk: " + sim_ + "/control exists and is not a FIFO\n")) << log;
    EXPECT_NE(std::string::npos, log.find("ERROR tsdk: simulation interface could not start\n")) << log;
}

/* A privileged program never takes a directory or faults from its caller's environment. */
TEST_F(SdkSim, PrivilegedProgramIgnoresTheSimulation)
{
    bool (*saved)(void) = sim_privileged;
    sim_privileged = [] { return true; };
    setenv("TSDK_SIM_FAIL", "init,event", 1);
    int rc = tsdk_init();
    int sent = tsdk_event_send("x", 0, 1);
    tsdk_deinit();
    sim_privileged = saved;
    EXPECT_EQ(0, rc);
    EXPECT_EQ(0, sent);
    EXPECT_FALSE(harness::FileExists(sim_ + "/control"));
    EXPECT_FALSE(harness::FileExists(sim_ + "/calls"));
    EXPECT_FALSE(harness::FileExists(sim_ + "/events"));
}

/* Another thread logs while the SDK closes its stream: every line goes whole to one place. */
TEST_F(SdkSim, LoggingWhileTheSdkClosesTheStream)
{
    testing::internal::CaptureStderr();
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(0, tsdk_init());
        std::atomic<bool> started{false}, stop{false};
        std::thread writer([&] {
            for (int i = 0; !stop.load() || i < 2; ++i) {
                tsdk_log("line %d\n", i);
                started.store(true);
            }
        });
        while (!started.load())
            std::this_thread::yield();
        tsdk_deinit();
        stop.store(true);
        writer.join();
    }
    std::string after = testing::internal::GetCapturedStderr();
    std::string log = harness::ReadFile(logPath_);
    ASSERT_FALSE(log.empty());
    for (const std::string &text : {log, after})
        EXPECT_TRUE(text.empty() || (text.back() == '\n' && text.find("\n\n") == std::string::npos)) << text;
}

TEST_F(SdkSim, TriggerRecordsReachTheSubscribersOnTheSdkThread)
{
    ASSERT_EQ(0, tsdk_init());
    struct stat st;
    ASSERT_EQ(0, stat((sim_ + "/control").c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    tsdk_handle input = tsdk_trigger_subscribe("tarvane.input1", OnInput, 1);
    tsdk_handle motion = tsdk_motion_subscribe(OnMotion);
    ASSERT_NE(nullptr, input);
    ASSERT_NE(nullptr, motion);

    Send("input1 2");
    Send("input1-size 13 0x01020304");
    Send("input1-size 0 7");
    Send("motion 0x100");
    std::vector<Delivery> got = Deliveries();
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ((std::vector<unsigned char>{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), got[0].record);
    EXPECT_EQ((std::vector<unsigned char>{4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), got[1].record);
    EXPECT_TRUE(got[2].record.empty());
    EXPECT_EQ("motion", got[3].kind);
    EXPECT_EQ(0x00, got[3].record[0]);
    EXPECT_EQ(0x01, got[3].record[1]);
    for (const Delivery &d : got)
        EXPECT_FALSE(d.onCallerThread);

    tsdk_trigger_unsubscribe(input);
    tsdk_motion_unsubscribe(motion);
    Send("input1 2");
    Send("motion 1");
    EXPECT_EQ(4u, Deliveries().size());
}

TEST_F(SdkSim, DayNightModeAndCallbackFollowTheSettingsHandle)
{
    tsdk_daynight_cb callback = OnDayNight;
    ASSERT_EQ(0, tsdk_init());
    EXPECT_EQ(1, tsdk_get_daynight_mode(nullptr));
    tsdk_settings_deinit(nullptr);
    tsdk_handle first = tsdk_settings_init(&callback);
    tsdk_handle second = tsdk_settings_init(&callback);
    EXPECT_NE(nullptr, first);
    EXPECT_NE(nullptr, second);
    Send("daynight 2");
    EXPECT_EQ(2, tsdk_get_daynight_mode(second));
    tsdk_settings_deinit(second);
    tsdk_settings_deinit(second);
    Send("daynight 7");
    EXPECT_EQ(7, tsdk_get_daynight_mode(second));
    std::vector<Delivery> got = Deliveries();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(2, got[0].record[0]);
}

TEST_F(SdkSim, FaultsComeFromTheEnvironmentAndFromCommands)
{
    tsdk_daynight_cb callback = OnDayNight;
    setenv("TSDK_SIM_FAIL", "motion,settings26", 1);
    ASSERT_EQ(0, tsdk_init());
    EXPECT_EQ(nullptr, tsdk_motion_subscribe(OnMotion));
    EXPECT_EQ(nullptr, tsdk_settings_init(&callback));
    EXPECT_EQ(TSDK_ERR_SETTINGS_BUSY, tsdk_errno);

    Send("heal settings26");
    Send("fail settings");
    EXPECT_EQ(nullptr, tsdk_settings_init(&callback));
    EXPECT_NE(TSDK_ERR_SETTINGS_BUSY, tsdk_errno);
    Send("fail input");
    EXPECT_EQ(nullptr, tsdk_trigger_subscribe("tarvane.input1", OnInput, 1));
    Send("heal input");
    EXPECT_NE(nullptr, tsdk_trigger_subscribe("tarvane.input1", OnInput, 1));

    unsigned char record[12] = {1};
    char *text = tsdk_motion_str(record);
    ASSERT_NE(nullptr, text);
    free(text);
    Send("fail motionstr");
    EXPECT_EQ(nullptr, tsdk_motion_str(record));
    Send("fail event");
    EXPECT_NE(0, tsdk_event_send("x", 0, 1));
}

TEST_F(SdkSim, EventsAndCallsAreRecordedExactly)
{
    ASSERT_EQ(0, tsdk_init());
    const char payload[] = "line one\n\tline two ";
    EXPECT_EQ(0, tsdk_event_send(payload, 1, strlen(payload)));
    EXPECT_EQ(0, tsdk_event_send("ab", 0, 2));
    EXPECT_EQ(std::string("event 1 19\n") + payload + "\nevent 0 2\nab\n", harness::ReadFile(sim_ + "/events"));

    tsdk_daynight_cb callback = OnDayNight;
    tsdk_handle h = tsdk_settings_init(&callback);
    tsdk_settings_deinit(h);
    tsdk_motion_unsubscribe(tsdk_motion_subscribe(OnMotion));
    tsdk_trigger_unsubscribe(tsdk_trigger_subscribe("tarvane.input1", OnInput, 1));
    tsdk_deinit();
    EXPECT_EQ("tsdk_init\ntsdk_settings_init\ntsdk_settings_deinit\ntsdk_motion_subscribe\n"
              "tsdk_motion_unsubscribe\ntsdk_trigger_subscribe tarvane.input1\ntsdk_trigger_unsubscribe\n"
              "tsdk_deinit\n",
              harness::ReadFile(sim_ + "/calls"));
}

TEST_F(SdkSim, UnknownAndMalformedCommandsAreAcknowledged)
{
    ASSERT_EQ(0, tsdk_init());
    Send("input1 2");  /* nobody subscribed */
    const char *malformed[] = {"bogus 1", "input1", "input1 zz", "input1-size 65 1", "daynight -1",
                               "fail nothing", "motion 0x1ffffffff", "input1 1 2"};
    for (const char *command : malformed)
        Send(command);
    std::string log = Log();
    for (const char *command : malformed)
        EXPECT_NE(std::string::npos, log.find(std::string("ERROR tsdk: malformed simulation command: ") + command + "\n"))
            << command;
    EXPECT_TRUE(Deliveries().empty());
}

TEST_F(SdkSim, TriggerTextsAreReadableAndOwnedByTheCaller)
{
    unsigned char record[12] = {2, 0, 0, 0};
    char *input = tsdk_in_trigger_str(1, record);
    char *motion = tsdk_motion_str(record);
    ASSERT_NE(nullptr, input);
    ASSERT_NE(nullptr, motion);
    EXPECT_NE(nullptr, strstr(input, "Input 1"));
    EXPECT_NE(nullptr, strstr(motion, "Motion"));
    free(input);
    free(motion);
}

}  // namespace
