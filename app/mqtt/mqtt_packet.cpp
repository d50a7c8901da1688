#include "mqtt_packet.h"

#include <string.h>

/* The variable header of CONNECT: protocol name "MQTT", level 4, flags, keep-alive. */
static const uint8_t CONNECT_PROTOCOL[] = {0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04};
enum { CONNECT_VARIABLE_HEADER_SIZE = sizeof CONNECT_PROTOCOL + 1 + 2 };

enum {
    CONNECT_FLAG_USER = 0x80,
    CONNECT_FLAG_PASSWORD = 0x40,
    CONNECT_FLAG_CLEAN_SESSION = 0x02
};

enum {
    PUBLISH_FLAG_DUP = 0x08,
    PUBLISH_QOS_SHIFT = 1,
    PUBLISH_QOS_MASK = 0x06,
    PUBLISH_FLAG_RETAIN = 0x01
};

/* PUBREL is the one acknowledgement with flags: 0010. */
enum { PUBREL_FLAGS = 0x02 };

enum { CONNACK_SESSION_PRESENT = 0x01, CONNACK_SIZE = 2, PACKET_ID_SIZE = 2, STRING_PREFIX_SIZE = 2 };

enum { LENGTH_DIGIT_BITS = 7, LENGTH_DIGIT_MASK = 0x7f, LENGTH_CONTINUES = 0x80 };

/* SUBACK return codes: the granted QoS, or the failure mark. */
enum { SUBACK_FAILURE = 0x80 };

int mqtt_encode_remaining_length(uint32_t value, uint8_t *out, size_t size)
{
    if (value > MQTT_REMAINING_LENGTH_MAX)
        return -1;
    size_t used = 0;
    do {
        if (used == size)
            return -1;
        uint8_t digit = value & LENGTH_DIGIT_MASK;
        value >>= LENGTH_DIGIT_BITS;
        out[used++] = value > 0 ? (uint8_t)(digit | LENGTH_CONTINUES) : digit;
    } while (value > 0);
    return (int)used;
}

int mqtt_decode_remaining_length(const uint8_t *in, size_t size, uint32_t *value, size_t *used)
{
    uint32_t result = 0;
    for (size_t i = 0; i < MQTT_REMAINING_LENGTH_BYTES; ++i) {
        if (i == size)
            return MQTT_DECODE_INCOMPLETE;
        result |= (uint32_t)(in[i] & LENGTH_DIGIT_MASK) << (LENGTH_DIGIT_BITS * i);
        if ((in[i] & LENGTH_CONTINUES) == 0) {
            *value = result;
            *used = i + 1;
            return MQTT_DECODE_OK;
        }
    }
    return MQTT_DECODE_MALFORMED;
}

/* ---- strings ---- */

/*
 * Length of the UTF-8 sequence at text[0..size) and its code point, or 0
 * when it is not a well-formed sequence: a stray continuation byte, a cut or
 * overlong sequence, a surrogate, or a value past U+10FFFF.
 */
static size_t utf8_sequence(const uint8_t *text, size_t size, uint32_t *codepoint)
{
    uint8_t lead = text[0];
    size_t length;
    uint32_t smallest;
    if (lead < 0x80) {
        *codepoint = lead;
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        smallest = 0x80;
        *codepoint = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        smallest = 0x800;
        *codepoint = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        smallest = 0x10000;
        *codepoint = lead & 0x07;
    } else {
        return 0;
    }
    if (length > size)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xc0) != 0x80)
            return 0;
        *codepoint = (*codepoint << 6) | (text[i] & 0x3f);
    }
    if (*codepoint < smallest || *codepoint > 0x10ffff)
        return 0;
    if (*codepoint >= 0xd800 && *codepoint <= 0xdfff)
        return 0;
    return length;
}

static int character_allowed(uint32_t codepoint)
{
    if (codepoint <= 0x1f || (codepoint >= 0x7f && codepoint <= 0x9f))
        return 0;
    if (codepoint >= 0xfdd0 && codepoint <= 0xfdef)
        return 0;
    if ((codepoint & 0xfffe) == 0xfffe)
        return 0;
    return 1;
}

int mqtt_utf8_valid(const uint8_t *text, size_t size)
{
    for (size_t at = 0; at < size;) {
        uint32_t codepoint = 0;
        size_t length = utf8_sequence(text + at, size - at, &codepoint);
        if (length == 0 || !character_allowed(codepoint))
            return 0;
        at += length;
    }
    return 1;
}

int mqtt_topic_name_valid(const uint8_t *topic, size_t size)
{
    if (size == 0 || size > MQTT_STRING_MAX)
        return 0;
    if (memchr(topic, '+', size) != NULL || memchr(topic, '#', size) != NULL)
        return 0;
    return mqtt_utf8_valid(topic, size);
}

/* ---- encoders ---- */

static uint8_t *put_u16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)(value & 0xff);
    return at + 2;
}

static uint8_t *put_bytes(uint8_t *at, const void *bytes, size_t size)
{
    if (size > 0)
        memcpy(at, bytes, size);
    return at + size;
}

static uint8_t *put_string(uint8_t *at, const void *bytes, size_t size)
{
    return put_bytes(put_u16(at, (uint16_t)size), bytes, size);
}

/*
 * Writes the fixed header for a packet whose rest is `remaining` bytes, once
 * the whole packet is known to fit both out[size] and MQTT_PACKET_MAX.
 * Returns the header's end, or null.
 */
static uint8_t *put_fixed_header(uint8_t first, size_t remaining, uint8_t *out, size_t size)
{
    uint8_t length[MQTT_REMAINING_LENGTH_BYTES];
    if (remaining > MQTT_REMAINING_LENGTH_MAX)
        return NULL;
    int lengthSize = mqtt_encode_remaining_length((uint32_t)remaining, length, sizeof length);
    if (lengthSize < 0)
        return NULL;
    size_t total = 1 + (size_t)lengthSize + remaining;
    if (total > size || total > MQTT_PACKET_MAX)
        return NULL;
    out[0] = first;
    return put_bytes(out + 1, length, (size_t)lengthSize);
}

static int utf8_string_valid(const char *text, size_t *size)
{
    *size = strlen(text);
    return *size <= MQTT_STRING_MAX && mqtt_utf8_valid((const uint8_t *)text, *size);
}

/* CONNECT of either level: the 7 bytes of protocol name and level, then the properties (none in 3.1.1). */
static int encode_connect(const MqttConnect *connect, const uint8_t *protocol, const uint8_t *properties,
                          size_t properties_size, uint8_t *out, size_t size)
{
    size_t idSize = 0, userSize = 0, passwordSize = 0;
    if (connect->client_id == NULL || !utf8_string_valid(connect->client_id, &idSize) || idSize == 0)
        return -1;
    if (connect->user != NULL && !utf8_string_valid(connect->user, &userSize))
        return -1;
    if (connect->password != NULL) {
        passwordSize = strlen(connect->password);
        if (connect->user == NULL || passwordSize > MQTT_STRING_MAX)
            return -1;
    }

    uint8_t flags = connect->clean_session ? CONNECT_FLAG_CLEAN_SESSION : 0;
    size_t remaining = CONNECT_VARIABLE_HEADER_SIZE + properties_size + STRING_PREFIX_SIZE + idSize;
    if (connect->user != NULL) {
        flags |= CONNECT_FLAG_USER;
        remaining += STRING_PREFIX_SIZE + userSize;
    }
    if (connect->password != NULL) {
        flags |= CONNECT_FLAG_PASSWORD;
        remaining += STRING_PREFIX_SIZE + passwordSize;
    }

    uint8_t *at = put_fixed_header(MQTT_CONNECT << 4, remaining, out, size);
    if (at == NULL)
        return -1;
    at = put_bytes(at, protocol, sizeof CONNECT_PROTOCOL);
    *at++ = flags;
    at = put_u16(at, connect->keepalive_s);
    if (properties_size > 0)
        at = put_bytes(at, properties, properties_size);
    at = put_string(at, connect->client_id, idSize);
    if (connect->user != NULL)
        at = put_string(at, connect->user, userSize);
    if (connect->password != NULL)
        at = put_string(at, connect->password, passwordSize);
    return (int)(at - out);
}

int mqtt_encode_connect(const MqttConnect *connect, uint8_t *out, size_t size)
{
    return encode_connect(connect, CONNECT_PROTOCOL, NULL, 0, out, size);
}

/* PUBLISH of either level: MQTT 5 puts its properties between packet identifier and payload. */
static int encode_publish(const MqttPublish *publish, const uint8_t *properties, size_t properties_size,
                          uint8_t *out, size_t size)
{
    if (!mqtt_topic_name_valid(publish->topic, publish->topic_size))
        return -1;
    if (publish->qos < 0 || publish->qos > 2)
        return -1;
    if (publish->qos == 0 && publish->dup)
        return -1;
    if (publish->qos > 0 && publish->packet_id == 0)
        return -1;
    if (publish->payload_size > MQTT_REMAINING_LENGTH_MAX)
        return -1;

    uint8_t first = (uint8_t)(MQTT_PUBLISH << 4 | publish->qos << PUBLISH_QOS_SHIFT);
    if (publish->dup)
        first |= PUBLISH_FLAG_DUP;
    if (publish->retain)
        first |= PUBLISH_FLAG_RETAIN;
    size_t remaining = STRING_PREFIX_SIZE + publish->topic_size + properties_size + publish->payload_size;
    if (publish->qos > 0)
        remaining += PACKET_ID_SIZE;

    uint8_t *at = put_fixed_header(first, remaining, out, size);
    if (at == NULL)
        return -1;
    at = put_string(at, publish->topic, publish->topic_size);
    if (publish->qos > 0)
        at = put_u16(at, publish->packet_id);
    if (properties_size > 0)
        at = put_bytes(at, properties, properties_size);
    at = put_bytes(at, publish->payload, publish->payload_size);
    return (int)(at - out);
}

int mqtt_encode_publish(const MqttPublish *publish, uint8_t *out, size_t size)
{
    return encode_publish(publish, NULL, 0, out, size);
}

static int encode_empty(int type, uint8_t *out, size_t size)
{
    uint8_t *at = put_fixed_header((uint8_t)(type << 4), 0, out, size);
    return at == NULL ? -1 : (int)(at - out);
}

int mqtt_encode_pingreq(uint8_t *out, size_t size)
{
    return encode_empty(MQTT_PINGREQ, out, size);
}

int mqtt_encode_disconnect(uint8_t *out, size_t size)
{
    return encode_empty(MQTT_DISCONNECT, out, size);
}

/* ---- decoder ---- */

static uint16_t get_u16(const uint8_t *at)
{
    return (uint16_t)(at[0] << 8 | at[1]);
}

/* The first byte alone: a type that a server sends, with its flags. */
static int first_byte_valid(int type, int flags)
{
    switch (type) {
    case MQTT_PUBLISH: {
        int qos = (flags & PUBLISH_QOS_MASK) >> PUBLISH_QOS_SHIFT;
        return qos != 3 && !(qos == 0 && (flags & PUBLISH_FLAG_DUP));
    }
    case MQTT_PUBREL:
        return flags == PUBREL_FLAGS;
    case MQTT_CONNACK:
    case MQTT_PUBACK:
    case MQTT_PUBREC:
    case MQTT_PUBCOMP:
    case MQTT_SUBACK:
    case MQTT_UNSUBACK:
    case MQTT_PINGRESP:
        return flags == 0;
    default:
        return 0;
    }
}

/* A size the type can have. Checked before the body is waited for. */
static int remaining_valid(int type, int flags, uint32_t remaining)
{
    switch (type) {
    case MQTT_CONNACK:
        return remaining == CONNACK_SIZE;
    case MQTT_PUBLISH: {
        int qos = (flags & PUBLISH_QOS_MASK) >> PUBLISH_QOS_SHIFT;
        return remaining >= STRING_PREFIX_SIZE + (qos > 0 ? PACKET_ID_SIZE : 0);
    }
    case MQTT_SUBACK:
        return remaining > PACKET_ID_SIZE;
    case MQTT_PINGRESP:
        return remaining == 0;
    default: /* PUBACK, PUBREC, PUBREL, PUBCOMP, UNSUBACK */
        return remaining == PACKET_ID_SIZE;
    }
}

static int decode_connack(const uint8_t *body, MqttPacket *packet)
{
    if ((body[0] & ~CONNACK_SESSION_PRESENT) != 0)
        return MQTT_DECODE_MALFORMED;
    packet->session_present = body[0] & CONNACK_SESSION_PRESENT;
    packet->return_code = body[1];
    /* A refusal never comes with a session. */
    if (packet->session_present && packet->return_code != MQTT_CONNACK_ACCEPTED)
        return MQTT_DECODE_MALFORMED;
    return MQTT_DECODE_OK;
}

static int decode_packet_id(const uint8_t *at, MqttPacket *packet)
{
    packet->packet_id = get_u16(at);
    return packet->packet_id == 0 ? MQTT_DECODE_MALFORMED : MQTT_DECODE_OK;
}

static int decode_publish(const uint8_t *body, uint32_t remaining, MqttPacket *packet)
{
    int qos = (packet->flags & PUBLISH_QOS_MASK) >> PUBLISH_QOS_SHIFT;
    size_t topicSize = get_u16(body);
    size_t needed = STRING_PREFIX_SIZE + topicSize + (qos > 0 ? PACKET_ID_SIZE : 0);
    if (needed > remaining || !mqtt_topic_name_valid(body + STRING_PREFIX_SIZE, topicSize))
        return MQTT_DECODE_MALFORMED;
    if (qos == 0)
        return MQTT_DECODE_OK;
    return decode_packet_id(body + STRING_PREFIX_SIZE + topicSize, packet);
}

static int decode_suback(const uint8_t *body, uint32_t remaining, MqttPacket *packet)
{
    for (uint32_t i = PACKET_ID_SIZE; i < remaining; ++i) {
        if (body[i] > 2 && body[i] != SUBACK_FAILURE)
            return MQTT_DECODE_MALFORMED;
    }
    return decode_packet_id(body, packet);
}

static int decode_body(const uint8_t *body, uint32_t remaining, MqttPacket *packet)
{
    switch (packet->type) {
    case MQTT_CONNACK:
        return decode_connack(body, packet);
    case MQTT_PUBLISH:
        return decode_publish(body, remaining, packet);
    case MQTT_SUBACK:
        return decode_suback(body, remaining, packet);
    case MQTT_PINGRESP:
        return MQTT_DECODE_OK;
    default: /* PUBACK, PUBREC, PUBREL, PUBCOMP, UNSUBACK */
        return decode_packet_id(body, packet);
    }
}

int mqtt_decode(const uint8_t *in, size_t size, MqttPacket *packet)
{
    memset(packet, 0, sizeof *packet);
    if (size == 0)
        return MQTT_DECODE_INCOMPLETE;
    int type = in[0] >> 4;
    int flags = in[0] & 0x0f;
    if (!first_byte_valid(type, flags))
        return MQTT_DECODE_MALFORMED;

    uint32_t remaining = 0;
    size_t lengthSize = 0;
    int status = mqtt_decode_remaining_length(in + 1, size - 1, &remaining, &lengthSize);
    if (status != MQTT_DECODE_OK)
        return status;
    if (!remaining_valid(type, flags, remaining))
        return MQTT_DECODE_MALFORMED;
    size_t total = 1 + lengthSize + remaining;
    if (total > MQTT_PACKET_MAX)
        return MQTT_DECODE_TOO_LARGE;
    if (size < total)
        return MQTT_DECODE_INCOMPLETE;

    packet->type = type;
    packet->flags = flags;
    packet->size = total;
    return decode_body(in + 1 + lengthSize, remaining, packet);
}

/* ---- MQTT 5 ---- */

static const uint8_t CONNECT5_PROTOCOL[] = {0x00, 0x04, 'M', 'Q', 'T', 'T', MQTT5_PROTOCOL_LEVEL};
static_assert(sizeof CONNECT5_PROTOCOL == sizeof CONNECT_PROTOCOL, "encode_connect writes one protocol size");

/* Property identifiers. */
enum {
    PROP_PAYLOAD_FORMAT = 0x01,
    PROP_MESSAGE_EXPIRY = 0x02,
    PROP_CONTENT_TYPE = 0x03,
    PROP_RESPONSE_TOPIC = 0x08,
    PROP_CORRELATION_DATA = 0x09,
    PROP_SUBSCRIPTION_ID = 0x0b,
    PROP_SESSION_EXPIRY = 0x11,
    PROP_ASSIGNED_CLIENT_ID = 0x12,
    PROP_SERVER_KEEPALIVE = 0x13,
    PROP_AUTH_METHOD = 0x15,
    PROP_AUTH_DATA = 0x16,
    PROP_RESPONSE_INFO = 0x1a,
    PROP_SERVER_REFERENCE = 0x1c,
    PROP_REASON_STRING = 0x1f,
    PROP_RECEIVE_MAXIMUM = 0x21,
    PROP_TOPIC_ALIAS_MAXIMUM = 0x22,
    PROP_MAXIMUM_QOS = 0x24,
    PROP_RETAIN_AVAILABLE = 0x25,
    PROP_USER = 0x26,
    PROP_MAXIMUM_PACKET_SIZE = 0x27,
    PROP_WILDCARD_AVAILABLE = 0x28,
    PROP_SUBSCRIPTION_ID_AVAILABLE = 0x29,
    PROP_SHARED_AVAILABLE = 0x2a,
    PROP_ID_LIMIT = 0x2b
};

/* How a property's value is laid out. */
enum { VALUE_BYTE, VALUE_U16, VALUE_U32, VALUE_VARINT, VALUE_STRING, VALUE_BINARY, VALUE_PAIR };

/* The packets a property may come in (bits of a mask). */
enum { IN_CONNACK = 1, IN_ACK = 2, IN_DISCONNECT = 4 };

typedef struct {
    uint8_t id;
    uint8_t value;
    uint8_t packets;
} PropertyRule;

/* The properties a server may send in the packets decoded here; the rest are refused. */
static const PropertyRule PROPERTY_RULES[] = {
    {PROP_SESSION_EXPIRY, VALUE_U32, IN_CONNACK}, /* a server never sends it in DISCONNECT */
    {PROP_ASSIGNED_CLIENT_ID, VALUE_STRING, IN_CONNACK},
    {PROP_SERVER_KEEPALIVE, VALUE_U16, IN_CONNACK},
    {PROP_AUTH_METHOD, VALUE_STRING, IN_CONNACK},
    {PROP_AUTH_DATA, VALUE_BINARY, IN_CONNACK},
    {PROP_RESPONSE_INFO, VALUE_STRING, IN_CONNACK},
    {PROP_SERVER_REFERENCE, VALUE_STRING, IN_CONNACK | IN_DISCONNECT},
    {PROP_REASON_STRING, VALUE_STRING, IN_CONNACK | IN_ACK | IN_DISCONNECT},
    {PROP_RECEIVE_MAXIMUM, VALUE_U16, IN_CONNACK},
    {PROP_TOPIC_ALIAS_MAXIMUM, VALUE_U16, IN_CONNACK},
    {PROP_MAXIMUM_QOS, VALUE_BYTE, IN_CONNACK},
    {PROP_RETAIN_AVAILABLE, VALUE_BYTE, IN_CONNACK},
    {PROP_USER, VALUE_PAIR, IN_CONNACK | IN_ACK | IN_DISCONNECT},
    {PROP_MAXIMUM_PACKET_SIZE, VALUE_U32, IN_CONNACK},
    {PROP_WILDCARD_AVAILABLE, VALUE_BYTE, IN_CONNACK},
    {PROP_SUBSCRIPTION_ID_AVAILABLE, VALUE_BYTE, IN_CONNACK},
    {PROP_SHARED_AVAILABLE, VALUE_BYTE, IN_CONNACK},
};

/* Reason codes each packet may carry. */
static const uint8_t CONNACK_REASONS[] = {0x00, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
                                          0x8a, 0x8c, 0x90, 0x95, 0x97, 0x99, 0x9a, 0x9b, 0x9c, 0x9d, 0x9f};
static const uint8_t PUBACK_REASONS[] = {0x00, 0x10, 0x80, 0x83, 0x87, 0x90, 0x91, 0x97, 0x99};
static const uint8_t PUBREL_REASONS[] = {0x00, 0x92};
static const uint8_t DISCONNECT_REASONS[] = {0x00, 0x80, 0x81, 0x82, 0x83, 0x87, 0x89, 0x8b, 0x8d, 0x8e,
                                             0x8f, 0x90, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
                                             0x9b, 0x9c, 0x9d, 0x9e, 0x9f, 0xa0, 0xa1, 0xa2};

enum { RECEIVE_MAXIMUM_DEFAULT = 65535, QOS_MAXIMUM_DEFAULT = 2, CONNACK5_MIN_SIZE = 3 };

static int reason_allowed(const uint8_t *reasons, size_t count, int code)
{
    for (size_t i = 0; i < count; ++i) {
        if (reasons[i] == code)
            return 1;
    }
    return 0;
}

int mqtt5_encode_connect(const MqttConnect *connect, uint8_t *out, size_t size)
{
    /* Properties: Maximum Packet Size, four bytes. */
    static const uint8_t PROPERTIES[] = {5, PROP_MAXIMUM_PACKET_SIZE, 0, 0, MQTT_PACKET_MAX >> 8, MQTT_PACKET_MAX & 0xff};
    return encode_connect(connect, CONNECT5_PROTOCOL, PROPERTIES, sizeof PROPERTIES, out, size);
}

int mqtt5_encode_publish(const MqttPublish *publish, uint8_t *out, size_t size)
{
    /* The one byte of an empty property length. */
    static const uint8_t NO_PROPERTIES[] = {0};
    return encode_publish(publish, NO_PROPERTIES, sizeof NO_PROPERTIES, out, size);
}

static uint32_t get_u32(const uint8_t *at)
{
    return (uint32_t)at[0] << 24 | (uint32_t)at[1] << 16 | (uint32_t)at[2] << 8 | at[3];
}

static const PropertyRule *property_rule(int id)
{
    for (size_t i = 0; i < sizeof PROPERTY_RULES / sizeof PROPERTY_RULES[0]; ++i) {
        if (PROPERTY_RULES[i].id == id)
            return &PROPERTY_RULES[i];
    }
    return NULL;
}

/* A string or binary field at in[0..size): its whole size with the prefix, or 0 when cut or invalid. */
static size_t field_size(const uint8_t *in, size_t size, int utf8)
{
    if (size < STRING_PREFIX_SIZE)
        return 0;
    size_t length = get_u16(in);
    if (length > size - STRING_PREFIX_SIZE)
        return 0;
    if (utf8 && !mqtt_utf8_valid(in + STRING_PREFIX_SIZE, length))
        return 0;
    return STRING_PREFIX_SIZE + length;
}

/* The bytes the value takes at in[0..size), or 0 when it does not fit or is invalid. */
static size_t value_size(int kind, const uint8_t *in, size_t size)
{
    static const uint8_t FIXED[] = {1, 2, 4};
    if (kind <= VALUE_U32)
        return size >= FIXED[kind] ? FIXED[kind] : 0;
    if (kind == VALUE_VARINT) {
        uint32_t ignored = 0;
        size_t used = 0;
        return mqtt_decode_remaining_length(in, size, &ignored, &used) == MQTT_DECODE_OK ? used : 0;
    }
    if (kind != VALUE_PAIR)
        return field_size(in, size, kind == VALUE_STRING);
    size_t name = field_size(in, size, 1);
    if (name == 0)
        return 0;
    size_t value = field_size(in + name, size - name, 1);
    return value == 0 ? 0 : name + value;
}

/* Stores a CONNACK or DISCONNECT property in the packet; 0, or -1 for a value out of range. */
static int keep_property(int id, const uint8_t *value, Mqtt5Packet *packet)
{
    switch (id) {
    case PROP_SESSION_EXPIRY:
        packet->session_expiry_s = get_u32(value);
        return 0;
    case PROP_ASSIGNED_CLIENT_ID:
        packet->assigned_client_id_size = get_u16(value);
        return 0;
    case PROP_SERVER_KEEPALIVE:
        packet->server_keepalive_s = get_u16(value);
        return 0;
    case PROP_RECEIVE_MAXIMUM:
        packet->receive_maximum = get_u16(value);
        return packet->receive_maximum == 0 ? -1 : 0;
    case PROP_MAXIMUM_PACKET_SIZE:
        packet->maximum_packet_size = get_u32(value);
        return packet->maximum_packet_size == 0 ? -1 : 0;
    case PROP_MAXIMUM_QOS:
        packet->maximum_qos = value[0];
        return value[0] > 1 ? -1 : 0;
    case PROP_RETAIN_AVAILABLE:
        packet->retain_available = value[0];
        return value[0] > 1 ? -1 : 0;
    case PROP_WILDCARD_AVAILABLE:
    case PROP_SUBSCRIPTION_ID_AVAILABLE:
    case PROP_SHARED_AVAILABLE:
        return value[0] > 1 ? -1 : 0;
    default:
        return 0;
    }
}

/* The property block at in[0..size), which must end exactly with the packet. */
static int decode_properties(const uint8_t *in, size_t size, int where, Mqtt5Packet *packet)
{
    uint32_t length = 0;
    size_t used = 0;
    if (mqtt_decode_remaining_length(in, size, &length, &used) != MQTT_DECODE_OK || length != size - used)
        return MQTT_DECODE_MALFORMED;
    uint64_t seen = 0;
    for (size_t at = used; at < size;) {
        /* Identifiers are one-byte variable integers: none reaches 0x80. */
        int id = in[at++];
        const PropertyRule *rule = id < PROP_ID_LIMIT ? property_rule(id) : NULL;
        if (rule == NULL || (rule->packets & where) == 0)
            return MQTT_DECODE_MALFORMED;
        if (id != PROP_USER && (seen & ((uint64_t)1 << id)) != 0)
            return MQTT_DECODE_MALFORMED;
        seen |= (uint64_t)1 << id;
        size_t taken = value_size(rule->value, in + at, size - at);
        if (taken == 0 || keep_property(id, in + at, packet) != 0)
            return MQTT_DECODE_MALFORMED;
        at += taken;
    }
    return MQTT_DECODE_OK;
}

static int decode5_connack(const uint8_t *body, uint32_t remaining, Mqtt5Packet *packet)
{
    if ((body[0] & ~CONNACK_SESSION_PRESENT) != 0)
        return MQTT_DECODE_MALFORMED;
    packet->session_present = body[0] & CONNACK_SESSION_PRESENT;
    packet->reason_code = body[1];
    if (packet->session_present && packet->reason_code != MQTT5_SUCCESS)
        return MQTT_DECODE_MALFORMED;
    if (remaining == CONNACK_SIZE) {
        /* A 3.1.1 server's answer. Codes past 5 are reserved, yet aedes refuses a keep-alive over its
           limit with 6: a refusal with its code, as the 3.1.1 decoder reads it too. */
        packet->v311 = 1;
        return MQTT_DECODE_OK;
    }
    if (!reason_allowed(CONNACK_REASONS, sizeof CONNACK_REASONS, packet->reason_code))
        return MQTT_DECODE_MALFORMED;
    packet->receive_maximum = RECEIVE_MAXIMUM_DEFAULT;
    packet->server_keepalive_s = -1;
    packet->maximum_qos = QOS_MAXIMUM_DEFAULT;
    packet->retain_available = 1;
    return decode_properties(body + CONNACK_SIZE, remaining - CONNACK_SIZE, IN_CONNACK, packet);
}

/* PUBACK, PUBREC, PUBREL, PUBCOMP: a packet id, then an optional reason code and properties. */
static int decode5_ack(const uint8_t *body, uint32_t remaining, Mqtt5Packet *packet)
{
    packet->packet_id = get_u16(body);
    if (packet->packet_id == 0)
        return MQTT_DECODE_MALFORMED;
    if (remaining == PACKET_ID_SIZE)
        return MQTT_DECODE_OK;
    packet->reason_code = body[PACKET_ID_SIZE];
    int ok = packet->type == MQTT_PUBACK || packet->type == MQTT_PUBREC
                 ? reason_allowed(PUBACK_REASONS, sizeof PUBACK_REASONS, packet->reason_code)
                 : reason_allowed(PUBREL_REASONS, sizeof PUBREL_REASONS, packet->reason_code);
    if (!ok)
        return MQTT_DECODE_MALFORMED;
    if (remaining == PACKET_ID_SIZE + 1)
        return MQTT_DECODE_OK;
    return decode_properties(body + PACKET_ID_SIZE + 1, remaining - PACKET_ID_SIZE - 1, IN_ACK, packet);
}

static int decode5_disconnect(const uint8_t *body, uint32_t remaining, Mqtt5Packet *packet)
{
    if (remaining == 0)
        return MQTT_DECODE_OK;
    packet->reason_code = body[0];
    if (!reason_allowed(DISCONNECT_REASONS, sizeof DISCONNECT_REASONS, packet->reason_code))
        return MQTT_DECODE_MALFORMED;
    if (remaining == 1)
        return MQTT_DECODE_OK;
    return decode_properties(body + 1, remaining - 1, IN_DISCONNECT, packet);
}

/* The first byte alone: a type decoded here, with its flags. */
static int first_byte5_valid(int type, int flags)
{
    switch (type) {
    case MQTT_PUBREL:
        return flags == PUBREL_FLAGS;
    case MQTT_CONNACK:
    case MQTT_PUBACK:
    case MQTT_PUBREC:
    case MQTT_PUBCOMP:
    case MQTT_PINGRESP:
    case MQTT_DISCONNECT:
        return flags == 0;
    default:
        return 0;
    }
}

/* A size the type can have, checked before the body is waited for. */
static int remaining5_valid(int type, uint32_t remaining)
{
    switch (type) {
    case MQTT_CONNACK:
        return remaining >= CONNACK_SIZE;
    case MQTT_PINGRESP:
        return remaining == 0;
    case MQTT_DISCONNECT:
        return 1;
    default: /* PUBACK, PUBREC, PUBREL, PUBCOMP */
        return remaining >= PACKET_ID_SIZE;
    }
}

int mqtt5_decode(const uint8_t *in, size_t size, Mqtt5Packet *packet)
{
    memset(packet, 0, sizeof *packet);
    if (size == 0)
        return MQTT_DECODE_INCOMPLETE;
    int type = in[0] >> 4;
    int flags = in[0] & 0x0f;
    if (!first_byte5_valid(type, flags))
        return MQTT_DECODE_MALFORMED;

    uint32_t remaining = 0;
    size_t lengthSize = 0;
    int status = mqtt_decode_remaining_length(in + 1, size - 1, &remaining, &lengthSize);
    if (status != MQTT_DECODE_OK)
        return status;
    if (!remaining5_valid(type, remaining))
        return MQTT_DECODE_MALFORMED;
    size_t total = 1 + lengthSize + remaining;
    if (total > MQTT_PACKET_MAX)
        return MQTT_DECODE_TOO_LARGE;
    if (size < total)
        return MQTT_DECODE_INCOMPLETE;

    packet->type = type;
    packet->flags = flags;
    packet->size = total;
    const uint8_t *body = in + 1 + lengthSize;
    switch (type) {
    case MQTT_CONNACK:
        return decode5_connack(body, remaining, packet);
    case MQTT_DISCONNECT:
        return decode5_disconnect(body, remaining, packet);
    case MQTT_PINGRESP:
        return MQTT_DECODE_OK;
    default:
        return decode5_ack(body, remaining, packet);
    }
}

int mqtt5_connack_wants_v311(const Mqtt5Packet *packet)
{
    if (packet->type != MQTT_CONNACK)
        return 0;
    if (packet->v311)
        return packet->reason_code == MQTT_CONNACK_BAD_PROTOCOL;
    return packet->reason_code == MQTT5_UNSUPPORTED_PROTOCOL_VERSION;
}
