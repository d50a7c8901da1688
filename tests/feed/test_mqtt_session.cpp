/* The in-process MQTT session against a scripted broker behind the transport seam. */
#include "mqtt_session.h"

#include <algorithm>
#include <errno.h>
#include <string.h>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

/* A broker that answers with the bytes of its script, then ends the stream (or times out). */
struct ScriptedBroker {
    std::vector<uint8_t> script;
    size_t at = 0;
    bool timeoutAtEnd = false;
    int writesLeft = -1; /* after this many writes the stream breaks (EPIPE); -1: never */
    size_t pauseAt = SIZE_MAX; /* at this byte of the script the broker is silent for pauseMs */
    long long pauseMs = 0;
    long long pauseEnd = 0;
    std::vector<uint8_t> received;
};

int fake_write(void *ctx, const unsigned char *buf, size_t len, long long)
{
    auto *b = static_cast<ScriptedBroker *>(ctx);
    if (b->writesLeft == 0) {
        errno = EPIPE;
        return -1;
    }
    if (b->writesLeft > 0)
        b->writesLeft--;
    b->received.insert(b->received.end(), buf, buf + len);
    return 0;
}

void sleep_until(long long ms)
{
    long long left = ms - feed_transport_now_ms();
    if (left > 0)
        usleep((useconds_t)(left * 1000));
}

long fake_read(void *ctx, unsigned char *buf, size_t size, long long deadlineMs)
{
    auto *b = static_cast<ScriptedBroker *>(ctx);
    if (b->at == b->pauseAt && b->pauseMs > 0) {
        if (b->pauseEnd == 0)
            b->pauseEnd = feed_transport_now_ms() + b->pauseMs;
        if (deadlineMs < b->pauseEnd) {
            sleep_until(deadlineMs);
            errno = ETIMEDOUT;
            return -1;
        }
        sleep_until(b->pauseEnd);
        b->pauseMs = 0;
    }
    if (b->at == b->script.size()) {
        if (!b->timeoutAtEnd)
            return 0;
        errno = ETIMEDOUT;
        return -1;
    }
    /* One byte at a time: the session must put packets together itself. */
    (void)size;
    buf[0] = b->script[b->at++];
    return 1;
}

void fake_close(void *) {}

std::vector<uint8_t> connack(int code) { return {0x20, 0x02, 0x00, (uint8_t)code}; }
std::vector<uint8_t> puback(uint16_t id) { return {0x40, 0x02, (uint8_t)(id >> 8), (uint8_t)id}; }

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const MqttConnect kConnect = {"ombrelle0123456789abcde", "cam", "pw", 30, 1};
const uint8_t kTopic[] = "1234/Front door";
const uint8_t kPayload[] = "{\"value\":\"Closed\"}";
const FeedMqttMessage kMessage = {kTopic, sizeof kTopic - 1, kPayload, sizeof kPayload - 1};

TEST(FeedMqttSession, ConnackCodesSayWhatToDo)
{
    const struct {
        int code;
        FeedMqttResult result;
    } cases[] = {
        {0, FEED_MQTT_OK},
        {4, FEED_MQTT_CREDENTIALS},
        {5, FEED_MQTT_CREDENTIALS},
        {2, FEED_MQTT_REFUSED},
        {6, FEED_MQTT_REFUSED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        ScriptedBroker b;
        b.script = connack(c.code);
        FeedTransport t = {&b, fake_write, fake_read, fake_close};
        FeedMqttSession s;
        EXPECT_EQ(c.result, feed_mqtt_connect(&s, &t, &kConnect, 0, 0));
        EXPECT_EQ(c.code, s.returnCode);
        ASSERT_GE(b.received.size(), 2u);
        EXPECT_EQ(0x10, b.received[0]);
    }
    for (const std::vector<uint8_t> &script : {std::vector<uint8_t>{}, puback(1), std::vector<uint8_t>{0x20, 0x03}}) {
        ScriptedBroker b;
        b.script = script;
        FeedTransport t = {&b, fake_write, fake_read, fake_close};
        FeedMqttSession s;
        EXPECT_EQ(FEED_MQTT_FAILED, feed_mqtt_connect(&s, &t, &kConnect, 0, 0));
    }
}

TEST(FeedMqttSession, Mqtt5ConnackSaysWhatToDoAndA311BrokerIsToldApart)
{
    const struct {
        const char *name;
        std::vector<uint8_t> script;
        FeedMqttResult result;
        int v5; /* the session speaks MQTT 5 afterwards */
    } cases[] = {
        {"accepted", {0x20, 0x03, 0x00, 0x00, 0x00}, FEED_MQTT_OK, 1},
        {"accepted, Receive Maximum 20", {0x20, 0x06, 0x00, 0x00, 0x03, 0x21, 0x00, 0x14}, FEED_MQTT_OK, 1},
        {"bad user name or password", {0x20, 0x03, 0x00, 0x86, 0x00}, FEED_MQTT_CREDENTIALS, 1},
        {"not authorised", {0x20, 0x03, 0x00, 0x87, 0x00}, FEED_MQTT_CREDENTIALS, 1},
        {"server unavailable", {0x20, 0x03, 0x00, 0x88, 0x00}, FEED_MQTT_REFUSED, 1},
        {"unsupported protocol version", {0x20, 0x03, 0x00, 0x84, 0x00}, FEED_MQTT_WANTS_V311, 1},
        {"a 3.1.1 broker: unacceptable protocol version", connack(1), FEED_MQTT_WANTS_V311, 1},
        {"a 3.1.1 broker accepting a level it cannot read", connack(0), FEED_MQTT_WANTS_V311, 1},
        {"a 3.1.1 broker refusing the credentials", connack(5), FEED_MQTT_CREDENTIALS, 0},
        {"closed before a CONNACK", {}, FEED_MQTT_WANTS_V311, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBroker b;
        b.script = c.script;
        FeedTransport t = {&b, fake_write, fake_read, fake_close};
        FeedMqttSession s;
        EXPECT_EQ(c.result, feed_mqtt_connect(&s, &t, &kConnect, 1, 0));
        EXPECT_EQ(c.v5, s.v5);
        EXPECT_EQ(c.script.size() == 8 ? 20 : 65535, s.receiveMaximum);
        ASSERT_GE(b.received.size(), 9u);
        EXPECT_EQ(MQTT5_PROTOCOL_LEVEL, b.received[8]);
    }
}

TEST(FeedMqttSession, Mqtt5PubackRefusesThatMessageAlone)
{
    auto puback5 = [](uint16_t id, uint8_t reason) {
        return std::vector<uint8_t>{0x40, 0x03, (uint8_t)(id >> 8), (uint8_t)id, reason};
    };
    const struct {
        const char *name;
        std::vector<uint8_t> acks;
        FeedMqttResult result;
        int confirmed;
        int refusedCode;
    } cases[] = {
        {"no matching subscribers is a success", join({puback(1), puback5(2, 0x10), puback(3)}), FEED_MQTT_OK, 3, 0},
        {"the second not authorised", join({puback(1), puback5(2, 0x87), puback(3)}), FEED_MQTT_POINT_REFUSED, 1,
         0x87},
        {"the first over quota", join({puback5(1, 0x97), puback(2), puback(3)}), FEED_MQTT_POINT_REFUSED, 0, 0x97},
        {"a refusal whose later acks never come", join({puback5(1, 0x99)}), FEED_MQTT_FAILED, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBroker b;
        b.script = join({{0x20, 0x03, 0x00, 0x00, 0x00}, c.acks});
        FeedTransport t = {&b, fake_write, fake_read, fake_close};
        FeedMqttSession s;
        ASSERT_EQ(FEED_MQTT_OK, feed_mqtt_connect(&s, &t, &kConnect, 1, 0));
        size_t connectBytes = b.received.size();
        const FeedMqttMessage messages[] = {kMessage, kMessage, kMessage};
        int confirmed = -1;
        EXPECT_EQ(c.result, feed_mqtt_publish(&s, messages, 3, 0, 1, 0, &confirmed));
        EXPECT_EQ(c.confirmed, confirmed);
        if (c.result == FEED_MQTT_POINT_REFUSED)
            EXPECT_EQ(c.refusedCode, s.refusedCode);
        /* MQTT 5 PUBLISH: an empty property list after the packet identifier. */
        const size_t topicEnd = connectBytes + 2 + 2 + (sizeof kTopic - 1);
        EXPECT_EQ(0x00, b.received[topicEnd + 2]);
        EXPECT_EQ(0, memcmp(&b.received[topicEnd + 3], kPayload, sizeof kPayload - 1));
    }
}

TEST(FeedMqttSession, Mqtt5MessageOverTheBrokersMaximumPacketSizeIsRefusedUnsent)
{
    ScriptedBroker b;
    /* CONNACK with Maximum Packet Size 64, then the PUBACK of the first message. */
    b.script = join({{0x20, 0x08, 0x00, 0x00, 0x05, 0x27, 0x00, 0x00, 0x00, 0x40}, puback(1)});
    FeedTransport t = {&b, fake_write, fake_read, fake_close};
    FeedMqttSession s;
    ASSERT_EQ(FEED_MQTT_OK, feed_mqtt_connect(&s, &t, &kConnect, 1, 0));
    EXPECT_EQ(64u, s.maximumPacketSize);
    size_t connectBytes = b.received.size();
    const std::string big(100, 'x');
    const FeedMqttMessage messages[] = {
        kMessage, {kTopic, sizeof kTopic - 1, (const uint8_t *)big.data(), big.size()}, kMessage};
    int confirmed = -1;
    EXPECT_EQ(FEED_MQTT_POINT_REFUSED, feed_mqtt_publish(&s, messages, 3, 0, 1, 0, &confirmed));
    EXPECT_EQ(1, confirmed);
    EXPECT_EQ(MQTT5_PACKET_TOO_LARGE, s.refusedCode);
    const size_t packet = 2 + 2 + (sizeof kTopic - 1) + 2 + 1 + (sizeof kPayload - 1);
    EXPECT_EQ(connectBytes + packet, b.received.size()) << "only the first message went out";
}

TEST(FeedMqttSession, PipelinedPublishesConfirmTheLeadingAckedMessages)
{
    const struct {
        const char *name;
        uint16_t firstId;
        std::vector<uint8_t> acks;
        bool timeout;
        FeedMqttResult result;
        int confirmed;
    } cases[] = {
        {"acks in order", 7, join({puback(7), puback(8), puback(9)}), false, FEED_MQTT_OK, 3},
        {"acks out of order", 7, join({puback(9), puback(7), puback(8)}), false, FEED_MQTT_OK, 3},
        {"identifiers wrap past 65535", 65535, join({puback(1), puback(65535), puback(2)}), false, FEED_MQTT_OK, 3},
        {"the middle one refused: the broker drops the connection", 7, join({puback(7), puback(9)}), false,
         FEED_MQTT_FAILED, 1},
        {"a slow broker: the deadline comes first", 7, puback(7), true, FEED_MQTT_FAILED, 1},
        {"stray and repeated acks count once", 7, join({puback(7), puback(7), puback(100), puback(8)}), false,
         FEED_MQTT_FAILED, 2},
        {"nothing acked", 7, {}, false, FEED_MQTT_FAILED, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBroker b;
        b.script = join({connack(0), c.acks});
        b.timeoutAtEnd = c.timeout;
        FeedTransport t = {&b, fake_write, fake_read, fake_close};
        FeedMqttSession s;
        ASSERT_EQ(FEED_MQTT_OK, feed_mqtt_connect(&s, &t, &kConnect, 0, 0));
        size_t connectBytes = b.received.size();
        const FeedMqttMessage messages[] = {kMessage, kMessage, kMessage};
        int confirmed = -1;
        EXPECT_EQ(c.result, feed_mqtt_publish(&s, messages, 3, 0, c.firstId, 0, &confirmed));
        EXPECT_EQ(c.confirmed, confirmed);
        /* All three went out before any PUBACK was read: QoS 1, topic and payload as given. */
        const size_t packet = 2 + 2 + (sizeof kTopic - 1) + 2 + (sizeof kPayload - 1);
        ASSERT_EQ(connectBytes + 3 * packet, b.received.size());
        EXPECT_EQ(0x32, b.received[connectBytes]);
        EXPECT_EQ(0, memcmp(&b.received[connectBytes + 4], kTopic, sizeof kTopic - 1));
    }
}

TEST(FeedMqttSession, RetainFlagAndDisconnect)
{
    ScriptedBroker b;
    b.script = join({connack(0), puback(1)});
    FeedTransport t = {&b, fake_write, fake_read, fake_close};
    FeedMqttSession s;
    ASSERT_EQ(FEED_MQTT_OK, feed_mqtt_connect(&s, &t, &kConnect, 0, 0));
    size_t at = b.received.size();
    int confirmed = 0;
    ASSERT_EQ(FEED_MQTT_OK, feed_mqtt_publish(&s, &kMessage, 1, 1, 1, 0, &confirmed));
    EXPECT_EQ(0x33, b.received[at]);
    feed_mqtt_disconnect(&s, 0);
    EXPECT_EQ(0xE0, b.received[b.received.size() - 2]);
    EXPECT_EQ(0x00, b.received.back());
    EXPECT_EQ(FEED_MQTT_FAILED, feed_mqtt_publish(&s, &kMessage, FEED_MQTT_BATCH_MAX + 1, 0, 1, 0, &confirmed));
    EXPECT_EQ(FEED_MQTT_FAILED, feed_mqtt_publish(&s, &kMessage, 1, 0, 0, 0, &confirmed));
}

TEST(FeedMqttSession, AcksSentBeforeTheBrokerClosedCountEvenWhenALaterWriteFails)
{
    ScriptedBroker b;
    b.script = join({connack(0), puback(1)});
    b.writesLeft = 3; /* CONNECT and two PUBLISH; the broker closed on the second */
    FeedTransport t = {&b, fake_write, fake_read, fake_close};
    FeedMqttSession s;
    ASSERT_EQ(FEED_MQTT_OK, feed_mqtt_connect(&s, &t, &kConnect, 0, 0));
    const FeedMqttMessage messages[] = {kMessage, kMessage, kMessage};
    int confirmed = -1;
    EXPECT_EQ(FEED_MQTT_FAILED, feed_mqtt_publish(&s, messages, 3, 0, 1, 0, &confirmed));
    EXPECT_EQ(EPIPE, errno);
    EXPECT_EQ(1, confirmed);
}

/* A wait for PUBACKs longer than the keep-alive in force (the broker's Server Keep Alive, else ours) sends PINGREQ. */
TEST(FeedMqttSession, AWaitPastTheKeepAliveInForceSendsAPing)
{
    const struct {
        const char *name;
        int v5;
        uint16_t ours;
        std::vector<uint8_t> connack;
        bool ping;
    } cases[] = {
        {"MQTT 5: the broker's Server Keep Alive of 1 s", 1, 30,
         {0x20, 0x06, 0x00, 0x00, 0x03, 0x13, 0x00, 0x01}, true},
        {"MQTT 5: the broker's 0 turns it off", 1, 1, {0x20, 0x06, 0x00, 0x00, 0x03, 0x13, 0x00, 0x00}, false},
        {"3.1.1: our own 1 s", 0, 1, connack(0), true},
        {"3.1.1: our own 30 s", 0, 30, connack(0), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBroker b;
        b.script = join({c.connack, puback(1)});
        b.pauseAt = c.connack.size();
        b.pauseMs = 1300;
        FeedTransport t = {&b, fake_write, fake_read, fake_close};
        FeedMqttSession s;
        MqttConnect connect = kConnect;
        connect.keepalive_s = c.ours;
        ASSERT_EQ(FEED_MQTT_OK, feed_mqtt_connect(&s, &t, &connect, c.v5, 0));
        size_t at = b.received.size();
        int confirmed = 0;
        EXPECT_EQ(FEED_MQTT_OK, feed_mqtt_publish(&s, &kMessage, 1, 0, 1, feed_transport_now_ms() + 5000, &confirmed));
        EXPECT_EQ(1, confirmed);
        const std::vector<uint8_t> after(b.received.begin() + (long)at, b.received.end());
        const std::vector<uint8_t> pingreq = {0xC0, 0x00};
        bool pinged = after.size() >= 2 && std::equal(pingreq.begin(), pingreq.end(), after.end() - 2);
        EXPECT_EQ(c.ping, pinged);
    }
}

} // namespace
