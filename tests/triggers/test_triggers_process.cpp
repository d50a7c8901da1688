/* Ombrelle in a simulated camera: triggers reported end to end, all removed at shutdown. */
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "feed_support.h"
#include "harness.h"
#include "sim_camera.h"
#include "trigger_texts.h"

namespace {

const char kConfigEnded[] = "[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========\n";
const char kConfigRead[] = "[Ombrelle]Parsing XML file";
const char kInputSubscribed[] = "[Ombrelle]****Input Report Subscribed****\n";

const char kConfigParams[] =
    "<ConfigParams><Input1Enabled>1</Input1Enabled><Input1Name>Door</Input1Name>"
    "<MotionDetectionEnabled>1</MotionDetectionEnabled><MotionDetectionName>Hall</MotionDetectionName>"
    "<DayNightEnabled>1</DayNightEnabled><DayNightName>Light</DayNightName><RS485Enabled>0</RS485Enabled>"
    "<XivelyEnabled>1</XivelyEnabled><AppEnabled>1</AppEnabled><Ext_thread>0</Ext_thread></ConfigParams>\n";
/* One disabled channel: the upload tick, if it runs, sends nothing. */
const char kXivelyConfig[] =
    "<XivelyConfigParams><Apikey>KEY123</Apikey><FeedID>FEED42</FeedID><SensorType>3</SensorType>"
    "<SensorParam>0</SensorParam><IntervalinMin>60</IntervalinMin><ChannelNumber>1</ChannelNumber>"
    "<ChannelEnabled>0</ChannelEnabled><ChannelName>c1</ChannelName><ChannelParam>30</ChannelParam>"
    "</XivelyConfigParams>\n";

/* Position of `line` at or after `from` in `text`, npos when absent. */
size_t LineAt(const std::string &text, const std::string &line, size_t from)
{
    return from == std::string::npos ? std::string::npos : text.find(line, from);
}

TEST(OmbrelleTriggers, ReportsInjectedTriggersAndRemovesEverySubscriptionAtShutdown)
{
    SimCamera camera;
    harness::WriteFile(camera.home() + "/html/configparams.xml", kConfigParams);
    harness::WriteFile(camera.home() + "/html/xivelyconfig.xml", kXivelyConfig);
    harness::WriteFile(camera.home() + "/feed_update", feedtest::kFeedUpdateScript, 0755);
    camera.Start();
    ASSERT_TRUE(camera.WaitLog(kConfigEnded));
    if (camera.Log().find(kConfigRead) == std::string::npos) {
        camera.Signal(SIGTERM);
        camera.WaitExit();
        GTEST_SKIP() << "the configuration is not applied yet";
    }
    ASSERT_TRUE(camera.WaitLog(kInputSubscribed));

    ASSERT_TRUE(camera.Inject("input1 2"));
    ASSERT_TRUE(camera.Inject("input1-size 11 2"));
    ASSERT_TRUE(camera.Inject("motion 0x100"));
    ASSERT_TRUE(camera.Inject("daynight 1"));
    /* The feed messages follow their events, in order. */
    const std::string messages = "KEY123\nFEED42\nDoor\nClosed\n==\n"
                                 "KEY123\nFEED42\nHall\n0\n==\n"
                                 "KEY123\nFEED42\nLight\nDay\n==\n";
    harness::WaitFor([&] { return harness::ReadFile(camera.home() + "/args").size() >= messages.size(); }, 20000);
    EXPECT_EQ(messages, harness::ReadFile(camera.home() + "/args"));
    EXPECT_EQ(Event(0, Payload("Ombrelle Input1 trigger")) + Event(1, Payload("Ombrelle Motion trigger")) +
                  Event(0, Payload("Ombrelle Day/Night trigger")),
              camera.Events());

    size_t beforeStop = camera.Log().size();
    camera.Signal(SIGTERM);
    EXPECT_EQ(0, camera.WaitExit());
    std::string shutdown = camera.Log().substr(beforeStop);
    size_t at = 0;
    for (const char *line : {"[Ombrelle]****Day/Night Trigger Report UnSubscribed****\n",
                             "[Ombrelle]****Motion Trigger Report UnSubscribed****\n",
                             "[Ombrelle]****Input Report UnSubscribed****\n",
                             "[Ombrelle]****RS485 Report UnSubscribed****\n"}) {
        at = LineAt(shutdown, line, at);
        EXPECT_NE(std::string::npos, at) << line << shutdown;
    }

    std::string calls = camera.Calls();
    EXPECT_EQ(1u, harness::CountOccurrences(calls, "tsdk_motion_subscribe\n"));
    EXPECT_EQ(1u, harness::CountOccurrences(calls, "tsdk_trigger_subscribe tarvane.input1\n"));
    size_t last = calls.rfind("tsdk_settings_init\n");
    ASSERT_NE(std::string::npos, last);
    at = last;
    for (const char *line : {"tsdk_settings_deinit\n", "tsdk_motion_unsubscribe\n", "tsdk_trigger_unsubscribe\n",
                             "tsdk_deinit\n"}) {
        at = LineAt(calls, line, at);
        EXPECT_NE(std::string::npos, at) << line << calls;
    }
}

}  // namespace
