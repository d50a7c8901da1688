#include "mqtt_session.h"

#include <errno.h>
#include <string.h>

namespace {

FeedMqttResult send_packet(FeedMqttSession *s, const uint8_t *packet, int length, long long deadlineMs)
{
    if (length < 0) {
        errno = EMSGSIZE;
        return FEED_MQTT_FAILED;
    }
    FeedTransport *t = s->transport;
    if (t->write_all(t->ctx, packet, (size_t)length, deadlineMs) != 0)
        return FEED_MQTT_FAILED;
    s->lastSentMs = feed_transport_now_ms();
    return FEED_MQTT_OK;
}

/* What a publishing client reads of a packet, in either protocol. */
struct Incoming {
    int type;
    uint16_t packetId;
    int code;  /* CONNACK's return or reason code, PUBACK's reason code (0: success) */
    int v311;  /* a CONNACK of 3.1.1's form */
    uint16_t receiveMaximum; /* CONNACK: 65535 unless an MQTT 5 broker said less */
    uint32_t maximumPacketSize; /* CONNACK: 0 unless an MQTT 5 broker said one */
    int serverKeepaliveS;       /* CONNACK: -1 unless an MQTT 5 broker said one */
};

/* Decodes the first packet in s->in as the session's protocol reads it: MQTT_DECODE_*, *size its bytes. */
int decode(const FeedMqttSession *s, Incoming *in, size_t *size)
{
    if (s->v5) {
        Mqtt5Packet p;
        int r = mqtt5_decode(s->in, s->inLength, &p);
        *in = Incoming{p.type, p.packet_id, p.reason_code, p.v311, p.v311 ? (uint16_t)65535 : p.receive_maximum,
                       p.v311 ? 0 : p.maximum_packet_size, p.v311 ? -1 : p.server_keepalive_s};
        *size = p.size;
        return r;
    }
    MqttPacket p;
    int r = mqtt_decode(s->in, s->inLength, &p);
    *in = Incoming{p.type, p.packet_id, p.return_code, 0, 65535, 0, -1};
    *size = p.size;
    return r;
}

/* The next packet from the server into *p: FEED_MQTT_OK, or FEED_MQTT_FAILED. */
FeedMqttResult next_packet(FeedMqttSession *s, Incoming *p, long long deadlineMs)
{
    for (;;) {
        size_t size = 0;
        int r = decode(s, p, &size);
        if (r == MQTT_DECODE_OK) {
            s->inLength -= size;
            memmove(s->in, s->in + size, s->inLength);
            return FEED_MQTT_OK;
        }
        if (r != MQTT_DECODE_INCOMPLETE) {
            errno = EPROTO;
            return FEED_MQTT_FAILED;
        }
        FeedTransport *t = s->transport;
        long n = t->read_some(t->ctx, s->in + s->inLength, sizeof s->in - s->inLength, deadlineMs);
        if (n == 0)
            errno = ECONNRESET;
        if (n <= 0)
            return FEED_MQTT_FAILED;
        s->inLength += (size_t)n;
    }
}

uint16_t packet_id(uint16_t firstId, int index)
{
    return (uint16_t)((firstId - 1 + (unsigned)index) % 65535 + 1);
}

} // namespace

FeedMqttResult feed_mqtt_connect(FeedMqttSession *s, FeedTransport *t, const MqttConnect *c, int v5,
                                 long long deadlineMs)
{
    s->transport = t;
    s->v5 = v5 != 0;
    s->refusedCode = 0;
    s->receiveMaximum = 65535;
    s->maximumPacketSize = 0;
    s->keepaliveS = c->keepalive_s;
    s->returnCode = -1;
    s->inLength = 0;
    uint8_t packet[MQTT_PACKET_MAX];
    int length = s->v5 ? mqtt5_encode_connect(c, packet, sizeof packet) : mqtt_encode_connect(c, packet, sizeof packet);
    if (send_packet(s, packet, length, deadlineMs) != FEED_MQTT_OK)
        return FEED_MQTT_FAILED;
    Incoming p;
    if (next_packet(s, &p, deadlineMs) != FEED_MQTT_OK)
        return s->v5 && errno == ECONNRESET ? FEED_MQTT_WANTS_V311 : FEED_MQTT_FAILED;
    if (p.type != MQTT_CONNACK) {
        errno = EPROTO;
        return FEED_MQTT_FAILED;
    }
    s->returnCode = p.code;
    s->receiveMaximum = p.receiveMaximum;
    s->maximumPacketSize = p.maximumPacketSize;
    if (p.serverKeepaliveS >= 0)
        s->keepaliveS = (unsigned)p.serverKeepaliveS;
    if (s->v5 && p.v311) {
        /* A 3.1.1 broker: the protocol level is all it can refuse in our CONNECT. */
        if (p.code == MQTT_CONNACK_BAD_PROTOCOL || p.code == MQTT_CONNACK_ACCEPTED)
            return FEED_MQTT_WANTS_V311;
        s->v5 = 0;
    }
    if (p.code == MQTT_CONNACK_ACCEPTED)
        return FEED_MQTT_OK;
    if (!s->v5)
        return p.code == MQTT_CONNACK_BAD_CREDENTIALS || p.code == MQTT_CONNACK_NOT_AUTHORISED ? FEED_MQTT_CREDENTIALS
                                                                                              : FEED_MQTT_REFUSED;
    if (p.code == MQTT5_UNSUPPORTED_PROTOCOL_VERSION)
        return FEED_MQTT_WANTS_V311;
    return p.code == MQTT5_BAD_USER_NAME_OR_PASSWORD || p.code == MQTT5_NOT_AUTHORIZED ? FEED_MQTT_CREDENTIALS
                                                                                       : FEED_MQTT_REFUSED;
}

FeedMqttResult feed_mqtt_publish(FeedMqttSession *s, const FeedMqttMessage *messages, int count, int retain,
                                 uint16_t firstId, long long deadlineMs, int *confirmed)
{
    *confirmed = 0;
    if (count < 0 || count > FEED_MQTT_BATCH_MAX || firstId == 0) {
        errno = EINVAL;
        return FEED_MQTT_FAILED;
    }
    uint8_t packet[MQTT_PACKET_MAX];
    int sent = 0;
    int writeError = 0;
    bool tooLarge = false;
    for (; sent < count; sent++) {
        MqttPublish p = {messages[sent].topic, messages[sent].topicSize, messages[sent].payload,
                         messages[sent].payloadSize, 1, retain, 0, packet_id(firstId, sent)};
        int length = s->v5 ? mqtt5_encode_publish(&p, packet, sizeof packet) : mqtt_encode_publish(&p, packet, sizeof packet);
        /* The broker would end the session on it: it is refused here, and the rest waits. */
        if (length > 0 && s->maximumPacketSize != 0 && (uint32_t)length > s->maximumPacketSize) {
            tooLarge = true;
            break;
        }
        if (send_packet(s, packet, length, deadlineMs) != FEED_MQTT_OK) {
            writeError = errno;
            break;
        }
    }
    /* A broker that closes on one message may have confirmed those before it:
       their PUBACKs are still to be read, even after a failed write. */
    bool acked[FEED_MQTT_BATCH_MAX] = {};
    int codes[FEED_MQTT_BATCH_MAX] = {};
    int waiting = sent;
    while (waiting > 0) {
        long long ping = s->keepaliveS > 0 ? s->lastSentMs + (long long)s->keepaliveS * 1000 : deadlineMs;
        long long until = ping < deadlineMs ? ping : deadlineMs;
        Incoming p;
        if (next_packet(s, &p, until) != FEED_MQTT_OK) {
            uint8_t pingreq[2];
            if (until < deadlineMs && errno == ETIMEDOUT && writeError == 0
                && send_packet(s, pingreq, mqtt_encode_pingreq(pingreq, sizeof pingreq), deadlineMs) == FEED_MQTT_OK)
                continue;
            break;
        }
        if (p.type != MQTT_PUBACK)
            continue;
        int index = (int)((p.packetId + 65535u - firstId) % 65535u);
        if (index < count && !acked[index]) {
            acked[index] = true;
            codes[index] = p.code;
            waiting--;
        }
    }
    while (*confirmed < sent && acked[*confirmed] && codes[*confirmed] < MQTT5_UNSPECIFIED_ERROR)
        (*confirmed)++;
    if (*confirmed < sent && acked[*confirmed] && waiting == 0 && writeError == 0) {
        s->refusedCode = codes[*confirmed];
        return FEED_MQTT_POINT_REFUSED;
    }
    if (tooLarge && *confirmed == sent) {
        s->refusedCode = MQTT5_PACKET_TOO_LARGE;
        return FEED_MQTT_POINT_REFUSED;
    }
    if (writeError != 0) {
        errno = writeError;
        return FEED_MQTT_FAILED;
    }
    return waiting == 0 ? FEED_MQTT_OK : FEED_MQTT_FAILED;
}

void feed_mqtt_disconnect(FeedMqttSession *s, long long deadlineMs)
{
    uint8_t packet[4];
    send_packet(s, packet, mqtt_encode_disconnect(packet, sizeof packet), deadlineMs);
}
