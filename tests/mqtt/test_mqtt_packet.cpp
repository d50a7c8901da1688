/*
 * The packet module: size fields, the packets a publisher sends byte for
 * byte, and the decoder on valid, malformed, cut and oversized input. Every
 * decode runs on a heap copy of exactly the bytes given, so a read past them
 * is caught under AddressSanitizer.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "mqtt_packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Hex(const Bytes &bytes)
{
    std::string out;
    char digits[4];
    for (uint8_t b : bytes) {
        snprintf(digits, sizeof digits, "%02x ", b);
        out += digits;
    }
    return out;
}

/* Decodes a copy of exactly `bytes`. */
int Decode(const Bytes &bytes, MqttPacket *packet)
{
    uint8_t *copy = new uint8_t[bytes.size()];
    if (!bytes.empty())
        memcpy(copy, bytes.data(), bytes.size());
    int status = mqtt_decode(bytes.empty() ? nullptr : copy, bytes.size(), packet);
    delete[] copy;
    return status;
}

/* ---- size field ---- */

struct LengthCase {
    uint32_t value;
    Bytes encoded;
};

const LengthCase kLengths[] = {
    {0, {0x00}},
    {1, {0x01}},
    {127, {0x7f}},
    {128, {0x80, 0x01}},
    {321, {0xc1, 0x02}},
    {16383, {0xff, 0x7f}},
    {16384, {0x80, 0x80, 0x01}},
    {2097151, {0xff, 0xff, 0x7f}},
    {2097152, {0x80, 0x80, 0x80, 0x01}},
    {268435455, {0xff, 0xff, 0xff, 0x7f}},
};

TEST(MqttRemainingLength, EncodesAndDecodesTheBoundaries)
{
    for (const LengthCase &c : kLengths) {
        SCOPED_TRACE(c.value);
        uint8_t out[MQTT_REMAINING_LENGTH_BYTES];
        int used = mqtt_encode_remaining_length(c.value, out, sizeof out);
        ASSERT_EQ(used, (int)c.encoded.size());
        EXPECT_EQ(Bytes(out, out + used), c.encoded);

        uint32_t value = 0;
        size_t decodedSize = 0;
        EXPECT_EQ(mqtt_decode_remaining_length(c.encoded.data(), c.encoded.size(), &value, &decodedSize),
                  MQTT_DECODE_OK);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(decodedSize, c.encoded.size());

        /* One byte short of room: refused, nothing past the room written. */
        uint8_t small[MQTT_REMAINING_LENGTH_BYTES + 1];
        memset(small, 0xee, sizeof small);
        EXPECT_EQ(mqtt_encode_remaining_length(c.value, small, c.encoded.size() - 1), -1);
        EXPECT_EQ(small[c.encoded.size() - 1], 0xee);

        /* Cut anywhere inside: more bytes needed. */
        for (size_t cut = 0; cut < c.encoded.size(); ++cut)
            EXPECT_EQ(mqtt_decode_remaining_length(c.encoded.data(), cut, &value, &decodedSize),
                      MQTT_DECODE_INCOMPLETE);
    }
}

TEST(MqttRemainingLength, RefusesWhatFourBytesCannotHold)
{
    uint8_t out[8];
    EXPECT_EQ(mqtt_encode_remaining_length(268435456u, out, sizeof out), -1);
    EXPECT_EQ(mqtt_encode_remaining_length(0xffffffffu, out, sizeof out), -1);

    const uint8_t fifth[] = {0xff, 0xff, 0xff, 0xff, 0x01};
    const uint8_t fourthContinues[] = {0x80, 0x80, 0x80, 0x80};
    uint32_t value = 0;
    size_t used = 0;
    EXPECT_EQ(mqtt_decode_remaining_length(fifth, sizeof fifth, &value, &used), MQTT_DECODE_MALFORMED);
    EXPECT_EQ(mqtt_decode_remaining_length(fourthContinues, sizeof fourthContinues, &value, &used),
              MQTT_DECODE_MALFORMED);
}

TEST(MqttRemainingLength, ReadsLongerThanNeededEncodings)
{
    const uint8_t zeroInTwo[] = {0x80, 0x00};
    uint32_t value = 99;
    size_t used = 0;
    EXPECT_EQ(mqtt_decode_remaining_length(zeroInTwo, sizeof zeroInTwo, &value, &used), MQTT_DECODE_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(used, 2u);
}

/* ---- encoders ---- */

/* Every size of buffer below the packet is refused; the exact size is enough. */
template <typename Encode>
void ExpectNeedsExactly(const Bytes &expected, Encode encode)
{
    uint8_t out[MQTT_PACKET_MAX + 16];
    for (size_t room = 0; room < expected.size(); ++room)
        EXPECT_EQ(encode(out, room), -1) << "room " << room;
    memset(out, 0, sizeof out);
    int size = encode(out, expected.size());
    ASSERT_EQ(size, (int)expected.size());
    EXPECT_EQ(Hex(Bytes(out, out + size)), Hex(expected));
}

TEST(MqttEncode, ConnectWithoutCredentials)
{
    MqttConnect connect = {"cam", nullptr, nullptr, 60, 1};
    Bytes expected = Cat({0x10, 0x0f, 0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04, 0x02, 0x00, 0x3c, 0x00, 0x03}, B("cam"));
    ExpectNeedsExactly(expected, [&](uint8_t *out, size_t size) { return mqtt_encode_connect(&connect, out, size); });
}

TEST(MqttEncode, ConnectWithUserAndPassword)
{
    MqttConnect connect = {"cam-1", "user", "pa ss", 300, 1};
    Bytes expected = Cat(Cat(Cat({0x10, 0x1e, 0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04, 0xc2, 0x01, 0x2c, 0x00, 0x05},
                                 B("cam-1")),
                             Cat({0x00, 0x04}, B("user"))),
                         Cat({0x00, 0x05}, B("pa ss")));
    ExpectNeedsExactly(expected, [&](uint8_t *out, size_t size) { return mqtt_encode_connect(&connect, out, size); });

    MqttConnect userOnly = {"c", "u", nullptr, 0, 0};
    uint8_t out[64];
    ASSERT_GT(mqtt_encode_connect(&userOnly, out, sizeof out), 0);
    EXPECT_EQ(out[9], 0x80);
}

TEST(MqttEncode, ConnectRefusesInvalidRecords)
{
    std::string huge(MQTT_PACKET_MAX, 'x');
    const MqttConnect bad[] = {
        {nullptr, nullptr, nullptr, 60, 1},
        {"", nullptr, nullptr, 60, 1},
        {"bad\xc3", nullptr, nullptr, 60, 1},     /* cut UTF-8 */
        {"tab\tid", nullptr, nullptr, 60, 1},     /* control character */
        {"cam", "us\xff", nullptr, 60, 1},        /* user not UTF-8 */
        {"cam", nullptr, "secret", 60, 1},        /* a password needs a user name */
        {huge.c_str(), nullptr, nullptr, 60, 1},  /* over MQTT_PACKET_MAX */
        {"cam", "u", huge.c_str(), 60, 1},
    };
    uint8_t out[4 * MQTT_PACKET_MAX];
    for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i)
        EXPECT_EQ(mqtt_encode_connect(&bad[i], out, sizeof out), -1) << "case " << i;
}

/* The record points into topic and payload, which must outlive it. */
MqttPublish Publish(const std::string &topic, const std::string &payload, int qos, int retain, int dup,
                    uint16_t id)
{
    return MqttPublish{(const uint8_t *)topic.data(), topic.size(), (const uint8_t *)payload.data(),
                       payload.size(), qos, retain, dup, id};
}

TEST(MqttEncode, PublishFlagsAndLayout)
{
    struct Case {
        int qos, retain, dup;
        uint16_t id;
        Bytes expected;
    };
    const std::string topic = "a/b", payload = "hi";
    const Case cases[] = {
        {0, 0, 0, 7, Cat(Cat({0x30, 0x07, 0x00, 0x03}, B("a/b")), B("hi"))},
        {0, 1, 0, 0, Cat(Cat({0x31, 0x07, 0x00, 0x03}, B("a/b")), B("hi"))},
        {1, 0, 0, 10, Cat(Cat({0x32, 0x09, 0x00, 0x03}, B("a/b")), Cat({0x00, 0x0a}, B("hi")))},
        {1, 1, 0, 0x1234, Cat(Cat({0x33, 0x09, 0x00, 0x03}, B("a/b")), Cat({0x12, 0x34}, B("hi")))},
        {1, 0, 1, 65535, Cat(Cat({0x3a, 0x09, 0x00, 0x03}, B("a/b")), Cat({0xff, 0xff}, B("hi")))},
        {2, 0, 0, 1, Cat(Cat({0x34, 0x09, 0x00, 0x03}, B("a/b")), Cat({0x00, 0x01}, B("hi")))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Hex(c.expected));
        MqttPublish publish = Publish(topic, payload, c.qos, c.retain, c.dup, c.id);
        ExpectNeedsExactly(c.expected,
                           [&](uint8_t *out, size_t size) { return mqtt_encode_publish(&publish, out, size); });
    }
}

TEST(MqttEncode, PublishEmptyPayloadAndTwoByteSize)
{
    const std::string topic = "t", none;
    MqttPublish empty = Publish(topic, none, 1, 0, 0, 1);
    ExpectNeedsExactly({0x32, 0x05, 0x00, 0x01, 't', 0x00, 0x01},
                       [&](uint8_t *out, size_t size) { return mqtt_encode_publish(&empty, out, size); });

    /* Remaining length 128: the first size that takes two bytes. */
    const std::string payload(128 - 2 - 1 - 2, 'p');
    MqttPublish publish = Publish(topic, payload, 1, 0, 0, 1);
    uint8_t out[256];
    ASSERT_EQ(mqtt_encode_publish(&publish, out, sizeof out), 1 + 2 + 128);
    EXPECT_EQ(out[1], 0x80);
    EXPECT_EQ(out[2], 0x01);
}

TEST(MqttEncode, PublishUpToTheMaximumPacket)
{
    /* 1 type byte, 2 size bytes, 2 + 1 topic, 2 packet identifier. */
    const std::string topic = "t", fits(MQTT_PACKET_MAX - 1 - 2 - 3 - 2, 'v'), over = fits + "v";
    uint8_t out[MQTT_PACKET_MAX + 8];
    MqttPublish largest = Publish(topic, fits, 1, 0, 0, 1);
    EXPECT_EQ(mqtt_encode_publish(&largest, out, sizeof out), MQTT_PACKET_MAX);
    MqttPublish tooLarge = Publish(topic, over, 1, 0, 0, 1);
    EXPECT_EQ(mqtt_encode_publish(&tooLarge, out, sizeof out), -1);
}

TEST(MqttEncode, PublishRefusesInvalidRecords)
{
    struct Case {
        std::string topic;
        int qos, dup;
        uint16_t id;
    };
    const Case bad[] = {
        {"", 1, 0, 1},      /* empty topic */
        {"a/+", 1, 0, 1},   /* wildcards are for subscribing */
        {"a/#", 1, 0, 1},
        {"a\x01", 1, 0, 1}, /* control character */
        {"\xff", 1, 0, 1},  /* not UTF-8 */
        {"t", 3, 0, 1},     /* no QoS 3 */
        {"t", -1, 0, 1},
        {"t", 1, 0, 0},     /* QoS 1 needs a packet identifier */
        {"t", 0, 1, 0},     /* no redelivery at QoS 0 */
    };
    const std::string payload = "x";
    uint8_t out[64];
    for (const Case &c : bad) {
        SCOPED_TRACE(Hex(B(c.topic)) + " qos " + std::to_string(c.qos));
        MqttPublish publish = Publish(c.topic, payload, c.qos, 0, c.dup, c.id);
        EXPECT_EQ(mqtt_encode_publish(&publish, out, sizeof out), -1);
    }
}

TEST(MqttEncode, PingreqAndDisconnect)
{
    ExpectNeedsExactly({0xc0, 0x00}, [](uint8_t *out, size_t size) { return mqtt_encode_pingreq(out, size); });
    ExpectNeedsExactly({0xe0, 0x00}, [](uint8_t *out, size_t size) { return mqtt_encode_disconnect(out, size); });
}

/* ---- decoder ---- */

struct ValidCase {
    Bytes bytes;
    int type;
    uint16_t packet_id;
    int session_present;
    int return_code;
};

const ValidCase kValid[] = {
    {{0x20, 0x02, 0x00, 0x00}, MQTT_CONNACK, 0, 0, MQTT_CONNACK_ACCEPTED},
    {{0x20, 0x02, 0x01, 0x00}, MQTT_CONNACK, 0, 1, MQTT_CONNACK_ACCEPTED},
    {{0x20, 0x02, 0x00, 0x01}, MQTT_CONNACK, 0, 0, MQTT_CONNACK_BAD_PROTOCOL},
    {{0x20, 0x02, 0x00, 0x02}, MQTT_CONNACK, 0, 0, MQTT_CONNACK_ID_REJECTED},
    {{0x20, 0x02, 0x00, 0x03}, MQTT_CONNACK, 0, 0, MQTT_CONNACK_SERVER_UNAVAILABLE},
    {{0x20, 0x02, 0x00, 0x04}, MQTT_CONNACK, 0, 0, MQTT_CONNACK_BAD_CREDENTIALS},
    {{0x20, 0x02, 0x00, 0x05}, MQTT_CONNACK, 0, 0, MQTT_CONNACK_NOT_AUTHORISED},
    {{0x20, 0x02, 0x00, 0x06}, MQTT_CONNACK, 0, 0, 6},
    {{0x20, 0x02, 0x00, 0xff}, MQTT_CONNACK, 0, 0, 255},
    {{0x40, 0x02, 0x00, 0x01}, MQTT_PUBACK, 1, 0, 0},
    {{0x40, 0x02, 0x12, 0x34}, MQTT_PUBACK, 0x1234, 0, 0},
    {{0x40, 0x02, 0xff, 0xff}, MQTT_PUBACK, 0xffff, 0, 0},
    {{0x50, 0x02, 0x00, 0x07}, MQTT_PUBREC, 7, 0, 0},
    {{0x62, 0x02, 0x00, 0x08}, MQTT_PUBREL, 8, 0, 0},
    {{0x70, 0x02, 0x01, 0x00}, MQTT_PUBCOMP, 256, 0, 0},
    {{0x90, 0x03, 0x00, 0x09, 0x01}, MQTT_SUBACK, 9, 0, 0},
    {{0x90, 0x06, 0x00, 0x09, 0x00, 0x01, 0x02, 0x80}, MQTT_SUBACK, 9, 0, 0},
    {{0xb0, 0x02, 0x00, 0x0a}, MQTT_UNSUBACK, 10, 0, 0},
    {{0xd0, 0x00}, MQTT_PINGRESP, 0, 0, 0},
    {{0x30, 0x05, 0x00, 0x01, 'a', 'h', 'i'}, MQTT_PUBLISH, 0, 0, 0},
    {{0x31, 0x03, 0x00, 0x01, 'a'}, MQTT_PUBLISH, 0, 0, 0},
    {{0x32, 0x07, 0x00, 0x01, 'a', 0x00, 0x05, 'h', 'i'}, MQTT_PUBLISH, 5, 0, 0},
    {{0x3c, 0x05, 0x00, 0x01, 'a', 0x00, 0x05}, MQTT_PUBLISH, 5, 0, 0},
    /* The size field in more bytes than needed. */
    {{0x40, 0x82, 0x00, 0x00, 0x03}, MQTT_PUBACK, 3, 0, 0},
};

TEST(MqttDecode, ValidPacketsAndTheirFields)
{
    for (const ValidCase &c : kValid) {
        SCOPED_TRACE(Hex(c.bytes));
        MqttPacket packet;
        ASSERT_EQ(Decode(c.bytes, &packet), MQTT_DECODE_OK);
        EXPECT_EQ(packet.type, c.type);
        EXPECT_EQ(packet.flags, c.bytes[0] & 0x0f);
        EXPECT_EQ(packet.size, c.bytes.size());
        EXPECT_EQ(packet.packet_id, c.packet_id);
        EXPECT_EQ(packet.session_present, c.session_present);
        EXPECT_EQ(packet.return_code, c.return_code);
    }
}

TEST(MqttDecode, EveryCutOfAValidPacketAsksForMore)
{
    for (const ValidCase &c : kValid) {
        SCOPED_TRACE(Hex(c.bytes));
        for (size_t cut = 0; cut < c.bytes.size(); ++cut) {
            MqttPacket packet;
            EXPECT_EQ(Decode(Bytes(c.bytes.begin(), c.bytes.begin() + cut), &packet), MQTT_DECODE_INCOMPLETE)
                << "cut at " << cut;
        }
    }
}

TEST(MqttDecode, StopsAtThePacketEnd)
{
    /* A CONNACK, two PUBACKs and the start of a third in one read. */
    Bytes stream = {0x20, 0x02, 0x00, 0x00, 0x40, 0x02, 0x00, 0x01, 0x40, 0x02, 0x00, 0x02, 0x40, 0x02};
    std::vector<int> types;
    std::vector<int> ids;
    size_t at = 0;
    for (;;) {
        MqttPacket packet;
        int status = Decode(Bytes(stream.begin() + at, stream.end()), &packet);
        if (status != MQTT_DECODE_OK) {
            EXPECT_EQ(status, MQTT_DECODE_INCOMPLETE);
            break;
        }
        types.push_back(packet.type);
        ids.push_back(packet.packet_id);
        at += packet.size;
    }
    EXPECT_EQ(types, (std::vector<int>{MQTT_CONNACK, MQTT_PUBACK, MQTT_PUBACK}));
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(at, 12u);
}

TEST(MqttDecode, MalformedPackets)
{
    const Bytes cases[] = {
        /* Types a server never sends, and the two reserved ones. */
        {0x10, 0x00},
        {0x82, 0x00},
        {0xa2, 0x00},
        {0xc0, 0x00},
        {0xe0, 0x00},
        {0x00, 0x00},
        {0xf0, 0x00},
        /* Wrong flags. */
        {0x21, 0x02, 0x00, 0x00},
        {0x42, 0x02, 0x00, 0x01},
        {0x60, 0x02, 0x00, 0x01},
        {0x92, 0x03, 0x00, 0x01, 0x00},
        {0xd1, 0x00},
        {0x36, 0x03, 0x00, 0x01, 'a'},       /* QoS 3 */
        {0x38, 0x03, 0x00, 0x01, 'a'},       /* redelivery at QoS 0 */
        /* Sizes that do not match the type. */
        {0x20, 0x03, 0x00, 0x00, 0x00},
        {0x20, 0x01, 0x00},
        {0x40, 0x03, 0x00, 0x01, 0x00},
        {0x40, 0x00},
        {0xd0, 0x01, 0x00},
        {0x90, 0x02, 0x00, 0x01},
        {0x30, 0x01, 0x00},
        {0x32, 0x03, 0x00, 0x01, 'a'},
        /* Contents. */
        {0x20, 0x02, 0x02, 0x00},            /* reserved acknowledge flag */
        {0x20, 0x02, 0x01, 0x04},            /* a refusal with a session */
        {0x40, 0x02, 0x00, 0x00},            /* packet identifier 0 */
        {0x62, 0x02, 0x00, 0x00},
        {0x90, 0x03, 0x00, 0x00, 0x00},
        {0x90, 0x03, 0x00, 0x01, 0x03},      /* no such granted QoS */
        {0x30, 0x03, 0x00, 0x05, 'a'},       /* topic runs past the packet */
        {0x32, 0x05, 0x00, 0x01, 'a', 0x00, 0x00},
        {0x32, 0x04, 0x00, 0x01, 'a', 0x00}, /* packet identifier cut by the size */
        {0x30, 0x04, 0x00, 0x02, 'a', '#'},
        {0x30, 0x02, 0x00, 0x00},            /* empty topic */
        {0x30, 0x04, 0x00, 0x02, 0xc3, 0x28},
        /* A size field with a fifth byte. */
        {0x30, 0xff, 0xff, 0xff, 0xff, 0x01},
    };
    for (const Bytes &bytes : cases) {
        SCOPED_TRACE(Hex(bytes));
        MqttPacket packet;
        EXPECT_EQ(Decode(bytes, &packet), MQTT_DECODE_MALFORMED);
    }
}

TEST(MqttDecode, RefusesBrokenHeadersBeforeTheirBody)
{
    const Bytes cases[] = {{0x10}, {0xe0}, {0x00}, {0x42}, {0x36}, {0x20, 0x03}, {0x40, 0x05}, {0xd0, 0x01},
                           {0x30, 0xff, 0xff, 0xff, 0xff}};
    for (const Bytes &bytes : cases) {
        SCOPED_TRACE(Hex(bytes));
        MqttPacket packet;
        EXPECT_EQ(Decode(bytes, &packet), MQTT_DECODE_MALFORMED);
    }
}

TEST(MqttDecode, PacketSizeBound)
{
    /* Announced size over the bound: refused at once, without waiting for the body. */
    const Bytes cases[] = {{0x30, 0xff, 0x7f}, {0x30, 0xff, 0xff, 0xff, 0x7f}, {0x90, 0x80, 0x80, 0x01}};
    for (const Bytes &bytes : cases) {
        SCOPED_TRACE(Hex(bytes));
        MqttPacket packet;
        EXPECT_EQ(Decode(bytes, &packet), MQTT_DECODE_TOO_LARGE);
    }

    /* A PUBLISH of exactly MQTT_PACKET_MAX bytes is taken, one byte more is not. */
    size_t remaining = MQTT_PACKET_MAX - 3;
    Bytes largest = {0x30, (uint8_t)(0x80 | (remaining & 0x7f)), (uint8_t)(remaining >> 7), 0x00, 0x01, 't'};
    largest.resize(MQTT_PACKET_MAX, 'p');
    MqttPacket packet;
    EXPECT_EQ(Decode(largest, &packet), MQTT_DECODE_OK);
    EXPECT_EQ(packet.size, (size_t)MQTT_PACKET_MAX);
    ++remaining;
    Bytes over = {0x30, (uint8_t)(0x80 | (remaining & 0x7f)), (uint8_t)(remaining >> 7)};
    EXPECT_EQ(Decode(over, &packet), MQTT_DECODE_TOO_LARGE);
}

TEST(MqttDecode, DecodesWhatTheEncoderMakes)
{
    const std::string topic = "feed 1/Front door", payload = "{\"value\":\"21.5\"}";
    MqttPublish publish = Publish(topic, payload, 1, 1, 0, 4242);
    uint8_t out[MQTT_PACKET_MAX];
    int size = mqtt_encode_publish(&publish, out, sizeof out);
    ASSERT_GT(size, 0);
    MqttPacket packet;
    ASSERT_EQ(Decode(Bytes(out, out + size), &packet), MQTT_DECODE_OK);
    EXPECT_EQ(packet.type, MQTT_PUBLISH);
    EXPECT_EQ(packet.flags, 0x03);
    EXPECT_EQ(packet.packet_id, 4242);
    EXPECT_EQ(packet.size, (size_t)size);
}

/* ---- strings ---- */

TEST(MqttStrings, Utf8Rules)
{
    struct Case {
        std::string text;
        int valid;
    };
    const Case cases[] = {
        {"", 1},
        {"Front door", 1},
        {"temp\xc3\xa9rature", 1},           /* é */
        {"\xe2\x82\xac", 1},                 /* € */
        {"\xf0\x9f\x98\x80", 1},             /* U+1F600 */
        {"\xf4\x8f\xbf\xbd", 1},             /* U+10FFFD */
        {"\xc2\xa0", 1},                     /* U+00A0, first after the C1 controls */
        {"\xef\xbf\xbd", 1},                 /* U+FFFD */
        {"\xef\xb7\xb0", 1},                 /* U+FDF0, first after the non-characters */
        {"~", 1},
        {std::string("a\0b", 3), 0},         /* U+0000 */
        {"\x01", 0},
        {"\t", 0},
        {"\x1f", 0},
        {"\x7f", 0},
        {"\xc2\x80", 0},                     /* U+0080 */
        {"\xc2\x9f", 0},                     /* U+009F */
        {"\xc0\x80", 0},                     /* overlong U+0000 */
        {"\xc1\xbf", 0},                     /* overlong U+007F */
        {"\xe0\x80\xaf", 0},                 /* overlong "/" */
        {"\xf0\x80\x80\xaf", 0},
        {"\xed\xa0\x80", 0},                 /* surrogate U+D800 */
        {"\xed\xbf\xbf", 0},                 /* surrogate U+DFFF */
        {"\xf4\x90\x80\x80", 0},             /* U+110000 */
        {"\xf5\x80\x80\x80", 0},
        {"\xff", 0},
        {"\x80", 0},                         /* stray continuation */
        {"\xe2\x82", 0},                     /* cut */
        {"a\xe2\x82", 0},
        {"\xe2\x28\xac", 0},                 /* continuation missing */
        {"\xef\xb7\x90", 0},                 /* U+FDD0 */
        {"\xef\xb7\xaf", 0},                 /* U+FDEF */
        {"\xef\xbf\xbe", 0},                 /* U+FFFE */
        {"\xef\xbf\xbf", 0},                 /* U+FFFF */
        {"\xf0\x9f\xbf\xbf", 0},             /* U+1FFFF */
        {"\xf4\x8f\xbf\xbe", 0},             /* U+10FFFE */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Hex(B(c.text)));
        Bytes bytes = B(c.text);
        EXPECT_EQ(mqtt_utf8_valid(bytes.data(), bytes.size()), c.valid);
    }
}

TEST(MqttStrings, TopicNames)
{
    struct Case {
        std::string topic;
        int valid;
    };
    const Case cases[] = {
        {"a/b", 1},         {"/", 1},          {"feed 1/Front door", 1}, {"caf\xc3\xa9", 1},
        {std::string(MQTT_STRING_MAX, 't'), 1}, {"", 0}, {"+", 0}, {"a/+/b", 0}, {"#", 0},
        {"a/#", 0},         {"a\nb", 0},       {"\xc3", 0},             {std::string(MQTT_STRING_MAX + 1, 't'), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic.size() > 32 ? std::to_string(c.topic.size()) + " bytes" : c.topic);
        EXPECT_EQ(mqtt_topic_name_valid((const uint8_t *)c.topic.data(), c.topic.size()), c.valid);
    }
}

/* ---- MQTT 5 ---- */

int Decode5(const Bytes &bytes, Mqtt5Packet *packet)
{
    uint8_t *copy = new uint8_t[bytes.size()];
    if (!bytes.empty())
        memcpy(copy, bytes.data(), bytes.size());
    int status = mqtt5_decode(bytes.empty() ? nullptr : copy, bytes.size(), packet);
    delete[] copy;
    return status;
}

TEST(Mqtt5Encode, ConnectCarriesLevelFiveAndTheMaximumPacketSize)
{
    MqttConnect connect = {"cam", "u", "pw", 60, 1};
    Bytes expected = Cat(Cat(Cat({0x10, 0x1c, 0x00, 0x04, 'M', 'Q', 'T', 'T', 0x05, 0xc2, 0x00, 0x3c,
                                  /* properties: Maximum Packet Size 2048 */ 0x05, 0x27, 0x00, 0x00, 0x08, 0x00,
                                  0x00, 0x03},
                                 B("cam")),
                             Cat({0x00, 0x01}, B("u"))),
                         Cat({0x00, 0x02}, B("pw")));
    ExpectNeedsExactly(expected, [&](uint8_t *out, size_t size) { return mqtt5_encode_connect(&connect, out, size); });

    uint8_t out[64];
    MqttConnect noId = {"", nullptr, nullptr, 60, 1};
    MqttConnect passwordOnly = {"c", nullptr, "pw", 60, 1};
    EXPECT_EQ(mqtt5_encode_connect(&noId, out, sizeof out), -1);
    EXPECT_EQ(mqtt5_encode_connect(&passwordOnly, out, sizeof out), -1);
}

TEST(Mqtt5Encode, PublishHasAnEmptyPropertyBlock)
{
    const std::string topic = "t/1";
    const std::string payload = "21.5";
    MqttPublish qos1 = {(const uint8_t *)topic.data(), topic.size(), (const uint8_t *)payload.data(),
                        payload.size(), 1, 1, 0, 0x0102};
    Bytes expected = Cat(Cat(Cat({0x33, 0x0c, 0x00, 0x03}, B("t/1")), {0x01, 0x02, 0x00}), B("21.5"));
    ExpectNeedsExactly(expected, [&](uint8_t *out, size_t size) { return mqtt5_encode_publish(&qos1, out, size); });

    MqttPublish qos0 = {(const uint8_t *)topic.data(), topic.size(), nullptr, 0, 0, 0, 0, 0};
    Bytes expected0 = Cat(Cat({0x30, 0x06, 0x00, 0x03}, B("t/1")), {0x00});
    ExpectNeedsExactly(expected0, [&](uint8_t *out, size_t size) { return mqtt5_encode_publish(&qos0, out, size); });

    uint8_t out[64];
    MqttPublish noId = qos1;
    noId.packet_id = 0;
    MqttPublish wildcard = qos0;
    wildcard.topic = (const uint8_t *)"t/#";
    EXPECT_EQ(mqtt5_encode_publish(&noId, out, sizeof out), -1);
    EXPECT_EQ(mqtt5_encode_publish(&wildcard, out, sizeof out), -1);
}

struct Valid5Case {
    const char *what;
    Bytes bytes;
    int type;
    uint16_t packet_id;
    int reason_code;
    int v311;
    uint32_t maximum_packet_size;
    uint16_t receive_maximum;
    int server_keepalive_s;
    size_t assigned_client_id_size;
};

const Valid5Case kValid5[] = {
    {"CONNACK, no properties", {0x20, 0x03, 0x00, 0x00, 0x00}, MQTT_CONNACK, 0, 0, 0, 0, 65535, -1, 0},
    {"CONNACK with limits",
     {0x20, 0x0e, 0x00, 0x00, 0x0b, 0x27, 0x00, 0x00, 0x04, 0x00, 0x21, 0x00, 0x0a, 0x13, 0x00, 0x1e},
     MQTT_CONNACK, 0, 0, 0, 1024, 10, 30, 0},
    {"CONNACK, assigned id and user properties",
     {0x20, 0x15, 0x00, 0x00, 0x12, 0x12, 0x00, 0x03, 'a', 'b', 'c', 0x26, 0x00, 0x01, 'k', 0x00, 0x01, 'v',
      0x26, 0x00, 0x00, 0x00, 0x00},
     MQTT_CONNACK, 0, 0, 0, 0, 65535, -1, 3},
    {"CONNACK not authorised, reason string",
     {0x20, 0x08, 0x00, 0x87, 0x05, 0x1f, 0x00, 0x02, 'n', 'o'}, MQTT_CONNACK, 0, 0x87, 0, 0, 65535, -1, 0},
    {"CONNACK unsupported protocol version", {0x20, 0x03, 0x00, 0x84, 0x00}, MQTT_CONNACK, 0, 0x84, 0, 0, 65535, -1, 0},
    {"3.1.1 CONNACK: unacceptable protocol version", {0x20, 0x02, 0x00, 0x01}, MQTT_CONNACK, 0, 1, 1, 0, 0, 0, 0},
    {"3.1.1 CONNACK accepted", {0x20, 0x02, 0x00, 0x00}, MQTT_CONNACK, 0, 0, 1, 0, 0, 0, 0},
    {"3.1.1 CONNACK with a reserved code (aedes: keep-alive over its limit)", {0x20, 0x02, 0x00, 0x06}, MQTT_CONNACK,
     0, 6, 1, 0, 0, 0, 0},
    {"PUBACK short form: success", {0x40, 0x02, 0x00, 0x07}, MQTT_PUBACK, 7, 0, 0, 0, 0, 0, 0},
    {"PUBACK not authorised", {0x40, 0x03, 0x00, 0x07, 0x87}, MQTT_PUBACK, 7, 0x87, 0, 0, 0, 0, 0},
    {"PUBACK quota exceeded, empty properties", {0x40, 0x04, 0x00, 0x07, 0x97, 0x00}, MQTT_PUBACK, 7, 0x97, 0, 0,
     0, 0, 0},
    {"PUBACK payload format invalid, reason string",
     {0x40, 0x08, 0x00, 0x07, 0x99, 0x04, 0x1f, 0x00, 0x01, 'x'}, MQTT_PUBACK, 7, 0x99, 0, 0, 0, 0, 0},
    {"PUBACK no matching subscribers", {0x40, 0x03, 0x12, 0x34, 0x10}, MQTT_PUBACK, 0x1234, 0x10, 0, 0, 0, 0, 0},
    {"PUBREC", {0x50, 0x03, 0x00, 0x02, 0x00}, MQTT_PUBREC, 2, 0, 0, 0, 0, 0, 0},
    {"PUBREL packet id not found", {0x62, 0x03, 0x00, 0x02, 0x92}, MQTT_PUBREL, 2, 0x92, 0, 0, 0, 0, 0},
    {"PUBCOMP", {0x70, 0x02, 0x00, 0x02}, MQTT_PUBCOMP, 2, 0, 0, 0, 0, 0, 0},
    {"PINGRESP", {0xd0, 0x00}, MQTT_PINGRESP, 0, 0, 0, 0, 0, 0, 0},
    {"DISCONNECT, normal", {0xe0, 0x00}, MQTT_DISCONNECT, 0, 0, 0, 0, 0, 0, 0},
    {"DISCONNECT, packet too large", {0xe0, 0x01, 0x95}, MQTT_DISCONNECT, 0, 0x95, 0, 0, 0, 0, 0},
    {"DISCONNECT, server moved",
     {0xe0, 0x07, 0x9d, 0x05, 0x1c, 0x00, 0x02, 'h', '2'}, MQTT_DISCONNECT, 0, 0x9d, 0, 0, 0, 0, 0},
};

TEST(Mqtt5Decode, ValidPacketsAndTheirFields)
{
    for (const Valid5Case &c : kValid5) {
        SCOPED_TRACE(c.what);
        Mqtt5Packet packet;
        ASSERT_EQ(Decode5(c.bytes, &packet), MQTT_DECODE_OK) << Hex(c.bytes);
        EXPECT_EQ(packet.type, c.type);
        EXPECT_EQ(packet.size, c.bytes.size());
        EXPECT_EQ(packet.packet_id, c.packet_id);
        EXPECT_EQ(packet.reason_code, c.reason_code);
        EXPECT_EQ(packet.v311, c.v311);
        EXPECT_EQ(packet.maximum_packet_size, c.maximum_packet_size);
        EXPECT_EQ(packet.receive_maximum, c.receive_maximum);
        EXPECT_EQ(packet.server_keepalive_s, c.server_keepalive_s);
        EXPECT_EQ(packet.assigned_client_id_size, c.assigned_client_id_size);
        for (size_t cut = 0; cut < c.bytes.size(); ++cut)
            EXPECT_EQ(Decode5(Bytes(c.bytes.begin(), c.bytes.begin() + cut), &packet), MQTT_DECODE_INCOMPLETE)
                << "cut at " << cut;
    }
}

TEST(Mqtt5Decode, TheFallbackIsRecognised)
{
    struct {
        Bytes bytes;
        int wants311;
    } cases[] = {
        {{0x20, 0x02, 0x00, 0x01}, 1},       /* 3.1.1: unacceptable protocol version */
        {{0x20, 0x03, 0x00, 0x84, 0x00}, 1}, /* 5: unsupported protocol version */
        {{0x20, 0x02, 0x00, 0x05}, 0},       /* 3.1.1: not authorised is no reason to change */
        {{0x20, 0x03, 0x00, 0x00, 0x00}, 0},
        {{0x40, 0x03, 0x00, 0x01, 0x80}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Hex(c.bytes));
        Mqtt5Packet packet;
        ASSERT_EQ(Decode5(c.bytes, &packet), MQTT_DECODE_OK);
        EXPECT_EQ(mqtt5_connack_wants_v311(&packet), c.wants311);
    }
}

const Bytes kMalformed5[] = {
    {0x10, 0x00},                                     /* CONNECT */
    {0x30, 0x04, 0x00, 0x01, 'a', 0x00},              /* PUBLISH: never subscribed */
    {0x90, 0x04, 0x00, 0x01, 0x00, 0x00},             /* SUBACK */
    {0xf0, 0x00},                                     /* AUTH */
    {0x21, 0x03, 0x00, 0x00, 0x00},                   /* CONNACK flags */
    {0x20, 0x01, 0x00},                               /* CONNACK too short */
    {0x20, 0x03, 0x02, 0x00, 0x00},                   /* reserved acknowledge flag */
    {0x20, 0x03, 0x01, 0x87, 0x00},                   /* a session with a refusal */
    {0x20, 0x03, 0x00, 0x10, 0x00},                   /* 0x10 is no CONNACK reason */
    {0x20, 0x03, 0x00, 0x00, 0x01},                   /* property length past the packet */
    {0x20, 0x04, 0x00, 0x00, 0x00, 0x00},             /* bytes after the properties */
    {0x20, 0x05, 0x00, 0x00, 0x02, 0x01, 0x00},       /* Payload Format: not in CONNACK */
    {0x20, 0x05, 0x00, 0x00, 0x02, 0x7f, 0x00},       /* unknown property */
    {0x20, 0x04, 0x00, 0x00, 0x01, 0x80},             /* an identifier of two bytes */
    {0x20, 0x09, 0x00, 0x00, 0x06, 0x13, 0x00, 0x05, 0x13, 0x00, 0x06}, /* Server Keep Alive twice */
    {0x20, 0x06, 0x00, 0x00, 0x03, 0x21, 0x00, 0x00}, /* Receive Maximum 0 */
    {0x20, 0x08, 0x00, 0x00, 0x05, 0x27, 0x00, 0x00, 0x00, 0x00}, /* Maximum Packet Size 0 */
    {0x20, 0x05, 0x00, 0x00, 0x02, 0x24, 0x02},       /* Maximum QoS 2 */
    {0x20, 0x05, 0x00, 0x00, 0x02, 0x25, 0x02},       /* Retain Available 2 */
    {0x20, 0x05, 0x00, 0x00, 0x02, 0x21, 0x00},       /* a value cut by the property length */
    {0x20, 0x08, 0x00, 0x00, 0x05, 0x12, 0x00, 0x03, 'a', 'b'}, /* a string cut */
    {0x20, 0x07, 0x00, 0x00, 0x04, 0x12, 0x00, 0x01, 0x00},     /* U+0000 in a string */
    {0x20, 0x08, 0x00, 0x00, 0x05, 0x26, 0x00, 0x01, 'k', 0x00}, /* a user property without its value */
    {0x40, 0x03, 0x00, 0x00, 0x00},                   /* packet id 0 */
    {0x40, 0x03, 0x00, 0x01, 0x84},                   /* 0x84 is no PUBACK reason */
    {0x40, 0x05, 0x00, 0x01, 0x00, 0x02, 0x27},       /* Maximum Packet Size in a PUBACK */
    {0x40, 0x01, 0x00},                               /* PUBACK too short */
    {0x41, 0x02, 0x00, 0x01},                         /* PUBACK flags */
    {0x60, 0x02, 0x00, 0x01},                         /* PUBREL without its flags */
    {0x62, 0x03, 0x00, 0x01, 0x87},                   /* 0x87 is no PUBREL reason */
    {0xd0, 0x01, 0x00},                               /* PINGRESP with a body */
    {0xe0, 0x01, 0x04},                               /* 0x04 is sent by clients only */
    {0xe0, 0x07, 0x00, 0x05, 0x11, 0x00, 0x00, 0x00, 0x01}, /* Session Expiry from a server */
};

TEST(Mqtt5Decode, MalformedPackets)
{
    for (const Bytes &bytes : kMalformed5) {
        SCOPED_TRACE(Hex(bytes));
        Mqtt5Packet packet;
        EXPECT_EQ(Decode5(bytes, &packet), MQTT_DECODE_MALFORMED);
    }
}

TEST(Mqtt5Decode, PacketSizeBoundAndWhatFollows)
{
    Mqtt5Packet packet;
    /* 2046 bytes of properties after a 3-byte head: one past the bound. */
    EXPECT_EQ(Decode5({0x40, 0xfe, 0x0f}, &packet), MQTT_DECODE_TOO_LARGE);
    EXPECT_EQ(Decode5({0x40, 0xfc, 0x0f}, &packet), MQTT_DECODE_INCOMPLETE);

    Bytes two = Cat({0x40, 0x03, 0x00, 0x01, 0x87}, {0xd0, 0x00});
    ASSERT_EQ(Decode5(two, &packet), MQTT_DECODE_OK);
    EXPECT_EQ(packet.size, 5u);
    ASSERT_EQ(Decode5(Bytes(two.begin() + 5, two.end()), &packet), MQTT_DECODE_OK);
    EXPECT_EQ(packet.type, MQTT_PINGRESP);
}

}  // namespace
