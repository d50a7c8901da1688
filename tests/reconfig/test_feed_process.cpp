/* Ombrelle as the platform runs it, with an RS-485 peer that pushes record frames. */
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "feed_support.h"
#include "harness.h"
#include "serial.h"
#include "sim_camera.h"

namespace {

using feedtest::Bytes;
using feedtest::ConfigFlags;
using feedtest::FeedSettings;
using feedtest::Words;

const char kEnded[] = "[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========\n";
const char kReaderStarted[] = "[Ombrelle] Serial proc updated\n";
const int kWaitMs = 30000;

SensorRecord Record(double v0, double v1)
{
    SensorRecord r;
    memset(&r, 0, sizeof r);
    r.value[0] = v0;
    r.value[1] = v1;
    r.param[0] = 30;
    r.param[1] = 10;
    return r;
}

/* Sends the current frame every 100 ms while it lives; a full line drops frames. */
class FrameSender {
public:
    explicit FrameSender(const feedtest::SerialPeer &peer) : peer_(peer)
    {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                Bytes frame;
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    frame = frame_;
                }
                if (!frame.empty())
                    peer_.SendIfRoom(frame);
                usleep(100 * 1000);
            }
        });
    }
    ~FrameSender()
    {
        stop_ = true;
        thread_.join();
    }
    void Set(const Bytes &frame)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        frame_ = frame;
    }

private:
    const feedtest::SerialPeer &peer_;
    std::mutex mutex_;
    Bytes frame_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class FeedProcess : public testing::Test {
protected:
    void SetUp() override
    {
        harness::WriteFile(camera_.home() + "/feed_update", feedtest::kFeedUpdateScript, 0755);
    }

    void Configure(const ConfigFlags &flags, const FeedSettings &feed)
    {
        feedtest::ReplaceFile(camera_.home() + "/html/configparams.xml", feedtest::ConfigParamsXml(flags));
        feedtest::ReplaceFile(camera_.home() + "/html/xivelyconfig.xml", feedtest::XivelyConfigXml(feed));
    }

    std::vector<Words> Calls() const { return feedtest::ScriptCalls(harness::ReadFile(camera_.home() + "/args")); }
    size_t CountCalls(const Words &call) const
    {
        size_t n = 0;
        for (const Words &c : Calls())
            n += c == call ? 1 : 0;
        return n;
    }
    std::string DataFile() const { return harness::ReadFile(camera_.root() + "/var/extsensor/SensorData.txt"); }
    std::string SanitizerReport() const
    {
        std::string err = camera_.Stderr();
        for (const char *mark : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error"}) {
            if (err.find(mark) != std::string::npos)
                return err;
        }
        return "";
    }

    SimCamera camera_;
};

TEST_F(FeedProcess, UploadsEachGoodFrameEverySecondAndFollowsAChangedConfiguration)
{
    feedtest::SerialPeer peer(camera_.root());
    ConfigFlags flags;
    flags.ext = 1;
    FeedSettings feed;
    feed.interval = 0;
    feed.number = 2;
    feed.channels = {{1, "Outside", 30}, {0, "Humidity", 10}};
    Configure(flags, feed);
    camera_.Start();
    ASSERT_TRUE(camera_.WaitLog(kReaderStarted, kWaitMs));
    ASSERT_TRUE(camera_.WaitLog("[Ombrelle]Receiving size... \n", kWaitMs));

    /* A frame whose checksum does not match is never uploaded. */
    peer.Send(feedtest::RecordFrame(Record(999.0, 999.0), false));
    ASSERT_TRUE(camera_.WaitLog("[Ombrelle]Error: rchksum", kWaitMs));
    {
        FrameSender sender(peer);
        sender.Set(feedtest::RecordFrame(Record(21.5, 55.0)));
        const Words first = {"KEY", "FEED", "Outside", "21.5"};
        ASSERT_TRUE(harness::WaitFor([&] { return CountCalls(first) >= 1; }, kWaitMs)) << camera_.Log() << camera_.Stderr();
        long firstAt = harness::NowMs();
        ASSERT_TRUE(harness::WaitFor([&] { return CountCalls(first) >= 3; }, kWaitMs));
        EXPECT_GE(harness::NowMs() - firstAt, 1500) << "one upload a second, not a burst";
        EXPECT_EQ("{\"datastreams\":[{\"current_value\":\"    21.5\",\"id\":\"Outside\"}]}", DataFile());

        /* Ext_thread 2 leaves the reader running; the feed file renames and adds a channel. */
        flags.ext = 2;
        feed.channels = {{1, "Garden", 30}, {1, "Humidity", 10}};
        Configure(flags, feed);
        camera_.Signal(SIGUSR1);
        ASSERT_TRUE(camera_.WaitLogCount(kEnded, 2, kWaitMs));
        sender.Set(feedtest::RecordFrame(Record(22.0, 60.0)));
        ASSERT_TRUE(harness::WaitFor([&] {
            return CountCalls({"KEY", "FEED", "Garden", "22.0"}) >= 1 && CountCalls({"KEY", "FEED", "Humidity", "60.0"}) >= 1;
        }, kWaitMs));
        EXPECT_TRUE(harness::WaitFor([&] {
            return DataFile() == "{\"datastreams\":[{\"current_value\":\"    22.0\",\"id\":\"Garden\"},"
                                 "{\"current_value\":\"    60.0\",\"id\":\"Humidity\"}]}";
        }, kWaitMs)) << DataFile();
    }
    camera_.Signal(SIGTERM);
    EXPECT_EQ(0, camera_.WaitExit()) << camera_.Stderr();
    EXPECT_EQ("{\"datastreams\":[{\"current_value\":\"    22.0\",\"id\":\"Garden\"},"
              "{\"current_value\":\"    60.0\",\"id\":\"Humidity\"}]}",
              DataFile())
        << "the stop leaves the last values";
    for (const Words &call : Calls())
        EXPECT_NE("999.0", call.back());
    EXPECT_EQ(1u, harness::CountOccurrences(camera_.Log(), kReaderStarted));
    EXPECT_NE(std::string::npos, camera_.Log().find("[Ombrelle] Timer deleted\n"));
    EXPECT_EQ("", SanitizerReport());
}

/*
 * Everything at once: triggers handled on the SDK's thread, a tick every second,
 * frames on the line, configurations that toggle the reader and delete, keep and
 * re-create the timer, then a stop. Bounded to about ten seconds.
 */
TEST_F(FeedProcess, StressOfTriggersTicksAndReconfigurationsEndsCleanly)
{
    feedtest::SerialPeer peer(camera_.root());
    ConfigFlags on;
    on.input1 = on.motion = on.daynight = on.app = 1;
    on.ext = 1;
    ConfigFlags off = on;
    off.xively = 0;
    off.input1 = 0;
    FeedSettings feed;
    feed.interval = 0;
    feed.number = 3;
    feed.channels = {{1, "T", 30}, {1, "Txt", 1}, {1, "H", 10}};
    FeedSettings quiet = feed;
    quiet.channels = {{0, "T2", 30}, {0, "Txt2", 1}, {0, "H2", 10}};
    const std::vector<std::pair<ConfigFlags, FeedSettings>> rotation = {{off, feed}, {on, feed}, {on, quiet}};

    Configure(on, feed);
    camera_.Start();
    ASSERT_TRUE(camera_.WaitLog(kReaderStarted, kWaitMs));

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::string broken;
    std::thread watcher([&] {
        while (!stop.load()) {
            std::string text = DataFile();
            if (!text.empty()) {
                ++reads;
                if (!feedtest::IsCompleteDatastreams(text) && broken.empty())
                    broken = text;
            }
            usleep(10 * 1000);
        }
    });
    std::thread injector([&] {
        const char *commands[] = {"input1 2", "motion 1", "daynight 2", "input1 0", "motion 0", "daynight 1"};
        for (int i = 0; !stop.load(); ++i)
            camera_.Inject(commands[i % 6], 2000);
    });
    {
        FrameSender sender(peer);
        SensorRecord r = Record(0, 0);
        memcpy(&r.value[1], "21.5C\0\0", 8);
        r.param[1] = 1;
        for (int i = 0; i < 30; ++i) {
            r.value[0] = 10 + i * 100;  // jumps of 100 and, across a reconfiguration, more
            r.value[2] = 40 + i;
            sender.Set(feedtest::RecordFrame(r));
            if (i >= 6 && i % 2 == 0) {
                const auto &next = rotation[(size_t)(i / 2) % rotation.size()];
                Configure(next.first, next.second);
                camera_.Signal(SIGUSR1);
            }
            usleep(250 * 1000);
        }
        camera_.Signal(SIGTERM);
        EXPECT_EQ(0, camera_.WaitExit(kWaitMs)) << camera_.Stderr();
    }
    stop = true;
    injector.join();
    watcher.join();

    EXPECT_EQ("", SanitizerReport());
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ("", broken);
    std::string log = camera_.Log();
    EXPECT_GE(harness::CountOccurrences(log, "[Ombrelle]Handle Configuration Change\n"), 3u);
    EXPECT_GE(harness::CountOccurrences(log, "[Ombrelle] Timer deleted\n"), 1u);
    EXPECT_GE(harness::CountOccurrences(log, kReaderStarted), 2u);
    EXPECT_FALSE(feedtest::ScriptCalls(harness::ReadFile(camera_.home() + "/args")).empty());
}

}  // namespace
