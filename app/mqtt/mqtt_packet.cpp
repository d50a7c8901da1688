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

int mqtt_encode_connect(const MqttConnect *connect, uint8_t *out, size_t size)
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
    size_t remaining = CONNECT_VARIABLE_HEADER_SIZE + STRING_PREFIX_SIZE + idSize;
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
    at = put_bytes(at, CONNECT_PROTOCOL, sizeof CONNECT_PROTOCOL);
    *at++ = flags;
    at = put_u16(at, connect->keepalive_s);
    at = put_string(at, connect->client_id, idSize);
    if (connect->user != NULL)
        at = put_string(at, connect->user, userSize);
    if (connect->password != NULL)
        at = put_string(at, connect->password, passwordSize);
    return (int)(at - out);
}

int mqtt_encode_publish(const MqttPublish *publish, uint8_t *out, size_t size)
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
    size_t remaining = STRING_PREFIX_SIZE + publish->topic_size + publish->payload_size;
    if (publish->qos > 0)
        remaining += PACKET_ID_SIZE;

    uint8_t *at = put_fixed_header(first, remaining, out, size);
    if (at == NULL)
        return -1;
    at = put_string(at, publish->topic, publish->topic_size);
    if (publish->qos > 0)
        at = put_u16(at, publish->packet_id);
    at = put_bytes(at, publish->payload, publish->payload_size);
    return (int)(at - out);
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
