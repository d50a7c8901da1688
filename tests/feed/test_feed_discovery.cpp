/* Home Assistant discovery: the config and availability messages, the object id, the memory in the spool. */
#include "discovery.h"

#include <fcntl.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "mqtt_packet.h"

using harness::FileExists;
using harness::ReadFile;
using harness::TempDir;
using harness::WriteFile;

namespace {

const char kClient[] = "ombrelle0123456789abcde";

FeedDiscoveryIds ids(const char *prefix = "site/")
{
    return FeedDiscoveryIds{"homeassistant", prefix, "4711", kClient, 1800};
}

std::string payload(const FeedDiscoveryMessage &m) { return std::string(m.payload, m.payloadSize); }
std::string topic(const FeedDiscoveryMessage &m) { return std::string(m.topic, m.topicSize); }

TEST(FeedDiscovery, ConfigCarriesUnitAndClassOfEachCode)
{
    const std::string head = "{\"name\":\"Temp\",\"unique_id\":\"ombrelle0123456789abcde_Temp\","
                             "\"state_topic\":\"site/4711/Temp\",\"value_template\":\"{{ value_json.value }}\","
                             "\"json_attributes_topic\":\"site/4711/Temp\","
                             "\"json_attributes_template\":\"{{ {'taken': value_json.at | default('')} | tojson }}\",";
    const std::string tail = "\"expire_after\":1800,\"availability_topic\":\"site/4711/status\","
                             "\"availability_template\":\"{{ value_json.state }}\",\"payload_available\":\"online\","
                             "\"payload_not_available\":\"offline\",\"device\":{\"identifiers\":"
                             "[\"ombrelle0123456789abcde\"],\"name\":\"Ombrelle 4711\",\"model\":\"Ombrelle\"}}";
    const struct {
        int32_t code;
        const char *units;
    } cases[] = {
        {FEED_CODE_HUMIDITY, "\"unit_of_measurement\":\"%\",\"device_class\":\"humidity\",\"state_class\":\"measurement\","},
        {FEED_CODE_LUX, "\"unit_of_measurement\":\"lx\",\"device_class\":\"illuminance\",\"state_class\":\"measurement\","},
        {FEED_CODE_CELSIUS,
         "\"unit_of_measurement\":\"\xc2\xb0" "C\",\"device_class\":\"temperature\",\"state_class\":\"measurement\","},
        {FEED_CODE_FAHRENHEIT,
         "\"unit_of_measurement\":\"\xc2\xb0" "F\",\"device_class\":\"temperature\",\"state_class\":\"measurement\","},
        {FEED_CODE_TEXT, ""},
        {FEED_CODE_UNKNOWN, ""},
        {99, ""},
    };
    FeedDiscoveryIds d = ids();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        static FeedDiscoveryMessage m;
        ASSERT_EQ(0, feed_discovery_config(&d, "Temp", c.code, &m));
        EXPECT_EQ("homeassistant/sensor/ombrelle0123456789abcde_Temp/config", topic(m));
        EXPECT_EQ(head + c.units + tail, payload(m));
    }
}

TEST(FeedDiscovery, HostileNamesStayValidJsonAndTopics)
{
    const struct {
        const char *channel;
        const char *name;     /* as a JSON string */
        const char *objectId; /* after the client id and "_" */
        const char *state;    /* the state topic as a JSON string */
    } cases[] = {
        {"a\"b\\c", "\"a\\\"b\\\\c\"", "a_b_c", "\"4711/a\\\"b\\\\c\""},
        {"x\x01y\x7f", "\"x\\u0001y\\u007f\"", "x_y_", "\"4711/x_y_\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\"", "caf__", "\"4711/caf\xc3\xa9\""},
        {"bad\xff", "\"bad\xef\xbf\xbd\"", "bad_", "\"4711/bad\xef\xbf\xbd\""},
        {"Zone 1/+#", "\"Zone 1/+#\"", "Zone_1___", "\"4711/Zone 1___\""},
        {"ok-_9", "\"ok-_9\"", "ok-_9", "\"4711/ok-_9\""},
    };
    FeedDiscoveryIds d = ids("");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.channel);
        static FeedDiscoveryMessage m;
        ASSERT_EQ(0, feed_discovery_config(&d, c.channel, FEED_CODE_TEXT, &m));
        std::string oid = std::string(kClient) + "_" + c.objectId;
        EXPECT_EQ("homeassistant/sensor/" + oid + "/config", topic(m));
        std::string p = payload(m);
        EXPECT_EQ(0u, p.find(std::string("{\"name\":") + c.name + ",\"unique_id\":\"" + oid + "\",\"state_topic\":"
                             + c.state + ","))
            << p;
        char id[512];
        EXPECT_EQ(oid.size(), feed_discovery_object_id(kClient, c.channel, id, sizeof id));
        EXPECT_EQ(oid, id);
    }
}

TEST(FeedDiscovery, LongestNamesMayPassThePacketLimitButAreNeverCut)
{
    std::string controls(SPOOL_TEXT_MAX, '\x01');
    FeedDiscoveryIds d = ids();
    static FeedDiscoveryMessage m;
    ASSERT_EQ(0, feed_discovery_config(&d, controls.c_str(), FEED_CODE_CELSIUS, &m));
    EXPECT_GT(feed_discovery_packet_size(&m), (size_t)MQTT_PACKET_MAX);
    EXPECT_EQ('}', m.payload[m.payloadSize - 1]);
    EXPECT_EQ(m.payloadSize, strlen(m.payload));
    char small[8];
    EXPECT_EQ(7u, feed_discovery_object_id(kClient, "x", small, sizeof small));
    EXPECT_STREQ("ombrell", small);
}

TEST(FeedDiscovery, AvailabilityMessage)
{
    FeedDiscoveryIds d = ids();
    static FeedDiscoveryMessage m;
    ASSERT_EQ(0, feed_discovery_status(&d, "2026-12-10T20:30:00Z", &m));
    EXPECT_EQ("site/4711/status", topic(m));
    EXPECT_EQ("{\"state\":\"online\",\"last\":\"2026-12-10T20:30:00Z\"}", payload(m));
    ASSERT_EQ(0, feed_discovery_status(&d, "", &m));
    EXPECT_EQ("{\"state\":\"online\"}", payload(m));
}

TEST(FeedDiscovery, HashFollowsEveryByteOfTopicAndPayload)
{
    FeedDiscoveryIds d = ids();
    static FeedDiscoveryMessage a, b;
    ASSERT_EQ(0, feed_discovery_config(&d, "T", FEED_CODE_CELSIUS, &a));
    ASSERT_EQ(0, feed_discovery_config(&d, "T", FEED_CODE_CELSIUS, &b));
    EXPECT_EQ(feed_discovery_hash(&a), feed_discovery_hash(&b));
    ASSERT_EQ(0, feed_discovery_config(&d, "T", FEED_CODE_FAHRENHEIT, &b));
    EXPECT_NE(feed_discovery_hash(&a), feed_discovery_hash(&b));
    d.discoveryPrefix = "ha";
    ASSERT_EQ(0, feed_discovery_config(&d, "T", FEED_CODE_CELSIUS, &b));
    EXPECT_NE(feed_discovery_hash(&a), feed_discovery_hash(&b));
}

int open_dir(const std::string &path)
{
    return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

TEST(FeedChannelMemory, KeptAcrossRunsAndOnlyWrittenWhenChanged)
{
    TempDir t;
    int dir = open_dir(t.path());
    ASSERT_GE(dir, 0);
    static FeedChannelMemory m;
    feed_channels_load(dir, &m);
    EXPECT_EQ(0, m.count);
    EXPECT_EQ(0, feed_channels_save(dir, &m));
    EXPECT_FALSE(FileExists(t.sub("channels")));

    FeedChannelMemo *temp = feed_channels_get(&m, "Temp");
    temp->code = FEED_CODE_CELSIUS;
    temp->published = 77;
    feed_channels_get(&m, "Door")->code = FEED_CODE_TEXT;
    ASSERT_EQ(0, feed_channels_save(dir, &m));
    struct stat st;
    ASSERT_EQ(0, stat(t.sub("channels").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_FALSE(FileExists(t.sub("channels.new")));

    static FeedChannelMemory again;
    feed_channels_load(dir, &again);
    ASSERT_EQ(2, again.count);
    const FeedChannelMemo *found = feed_channels_find(&again, "Temp");
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(FEED_CODE_CELSIUS, found->code);
    EXPECT_EQ(77u, found->published);
    EXPECT_EQ(FEED_CODE_TEXT, feed_channels_find(&again, "Door")->code);
    EXPECT_EQ(nullptr, feed_channels_find(&again, "Hum"));
    EXPECT_FALSE(again.dirty);
    close(dir);
}

TEST(FeedChannelMemory, DamagedOrPlantedFilesAreAnEmptyMemory)
{
    TempDir t;
    int dir = open_dir(t.path());
    ASSERT_GE(dir, 0);
    static FeedChannelMemory m;
    feed_channels_get(&m, "Temp")->code = FEED_CODE_LUX;
    ASSERT_EQ(0, feed_channels_save(dir, &m));
    std::string good = ReadFile(t.sub("channels"));
    const struct {
        const char *what;
        std::string content;
    } cases[] = {
        {"cut short", good.substr(0, good.size() - 1)},
        {"a flipped byte", std::string(good).replace(20, 1, "X")},
        {"empty", ""},
        {"longer", good + "x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(t.sub("channels"), c.content, 0600);
        static FeedChannelMemory loaded;
        feed_channels_load(dir, &loaded);
        EXPECT_EQ(0, loaded.count);
    }
    /* A link planted in its place is neither followed on reading nor written through. */
    WriteFile(t.sub("elsewhere"), good, 0600);
    unlink(t.sub("channels").c_str());
    ASSERT_EQ(0, symlink(t.sub("elsewhere").c_str(), t.sub("channels").c_str()));
    static FeedChannelMemory linked;
    feed_channels_load(dir, &linked);
    EXPECT_EQ(0, linked.count);
    feed_channels_get(&linked, "Other")->code = FEED_CODE_HUMIDITY;
    ASSERT_EQ(0, feed_channels_save(dir, &linked));
    EXPECT_EQ(good, ReadFile(t.sub("elsewhere")));
    close(dir);
}

TEST(FeedChannelMemory, FullForgetsTheChannelChangedLongestAgo)
{
    static FeedChannelMemory m;
    m = FeedChannelMemory{};
    for (int i = 0; i < FEED_DISCOVERY_CHANNELS; i++)
        feed_channels_get(&m, ("C" + std::to_string(i)).c_str());
    feed_channels_touch(&m, feed_channels_get(&m, "C0"));
    feed_channels_get(&m, "New");
    EXPECT_EQ(FEED_DISCOVERY_CHANNELS, m.count);
    EXPECT_NE(nullptr, feed_channels_find(&m, "C0"));
    EXPECT_EQ(nullptr, feed_channels_find(&m, "C1"));
    EXPECT_NE(nullptr, feed_channels_find(&m, "C2"));
    EXPECT_NE(nullptr, feed_channels_find(&m, "New"));
}

} // namespace
