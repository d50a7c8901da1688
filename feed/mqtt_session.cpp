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
    return t->write_all(t->ctx, packet, (size_t)length, deadlineMs) == 0 ? FEED_MQTT_OK : FEED_MQTT_FAILED;
}

/* The next packet from the server into *p: FEED_MQTT_OK, or FEED_MQTT_FAILED. */
FeedMqttResult next_packet(FeedMqttSession *s, MqttPacket *p, long long deadlineMs)
{
    for (;;) {
        int r = mqtt_decode(s->in, s->inLength, p);
        if (r == MQTT_DECODE_OK) {
            s->inLength -= p->size;
            memmove(s->in, s->in + p->size, s->inLength);
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

FeedMqttResult feed_mqtt_connect(FeedMqttSession *s, FeedTransport *t, const MqttConnect *c, long long deadlineMs)
{
    s->transport = t;
    s->returnCode = -1;
    s->inLength = 0;
    uint8_t packet[MQTT_PACKET_MAX];
    if (send_packet(s, packet, mqtt_encode_connect(c, packet, sizeof packet), deadlineMs) != FEED_MQTT_OK)
        return FEED_MQTT_FAILED;
    MqttPacket p;
    if (next_packet(s, &p, deadlineMs) != FEED_MQTT_OK)
        return FEED_MQTT_FAILED;
    if (p.type != MQTT_CONNACK) {
        errno = EPROTO;
        return FEED_MQTT_FAILED;
    }
    s->returnCode = p.return_code;
    if (p.return_code == MQTT_CONNACK_ACCEPTED)
        return FEED_MQTT_OK;
    if (p.return_code == MQTT_CONNACK_BAD_CREDENTIALS || p.return_code == MQTT_CONNACK_NOT_AUTHORISED)
        return FEED_MQTT_CREDENTIALS;
    return FEED_MQTT_REFUSED;
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
    for (; sent < count; sent++) {
        MqttPublish p = {messages[sent].topic, messages[sent].topicSize, messages[sent].payload,
                         messages[sent].payloadSize, 1, retain, 0, packet_id(firstId, sent)};
        if (send_packet(s, packet, mqtt_encode_publish(&p, packet, sizeof packet), deadlineMs) != FEED_MQTT_OK) {
            writeError = errno;
            break;
        }
    }
    /* A broker that closes on one message may have confirmed those before it:
       their PUBACKs are still to be read, even after a failed write. */
    bool acked[FEED_MQTT_BATCH_MAX] = {};
    int waiting = sent;
    while (waiting > 0) {
        MqttPacket p;
        if (next_packet(s, &p, deadlineMs) != FEED_MQTT_OK)
            break;
        if (p.type != MQTT_PUBACK)
            continue;
        int index = (int)((p.packet_id + 65535u - firstId) % 65535u);
        if (index < count && !acked[index]) {
            acked[index] = true;
            waiting--;
        }
    }
    while (*confirmed < sent && acked[*confirmed])
        (*confirmed)++;
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
