/*
 * mqtt_session.h - one MQTT 3.1.1 publishing session in the process: CONNECT,
 * a batch of QoS 1 PUBLISH packets sent back to back, their PUBACKs matched by
 * packet identifier, DISCONNECT.
 *
 * The session talks only through a FeedTransport, so a TLS layer can take the
 * socket's place. It holds no state beyond the caller's FeedMqttSession.
 *
 * Results: FEED_MQTT_OK, or why not. A refusal of the credentials (CONNACK 4
 * or 5) is told apart from other refusals, so the caller keeps everything
 * then; every other failure ends the session (the caller closes the transport).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "mqtt_packet.h"
#include "transport.h"

enum FeedMqttResult {
    FEED_MQTT_OK,
    FEED_MQTT_CREDENTIALS, /* CONNACK 4 or 5: user name, password or authorisation refused */
    FEED_MQTT_REFUSED,     /* another CONNACK code: see returnCode */
    FEED_MQTT_FAILED,      /* the stream ended, broke or timed out: errno says which where it can */
};

struct FeedMqttSession {
    FeedTransport *transport;
    int returnCode;                       /* the CONNACK code, once one came */
    uint8_t in[2 * MQTT_PACKET_MAX];      /* bytes read and not yet decoded */
    size_t inLength;
};

struct FeedMqttMessage {
    const uint8_t *topic;
    size_t topicSize;
    const uint8_t *payload;
    size_t payloadSize;
};

/* The most messages one batch sends before it waits for their PUBACKs. */
enum { FEED_MQTT_BATCH_MAX = 256 };

/* Sends CONNECT and waits for the CONNACK until the deadline. */
FeedMqttResult feed_mqtt_connect(FeedMqttSession *s, FeedTransport *t, const MqttConnect *c, long long deadlineMs);

/*
 * Publishes messages[0..count) (count at most FEED_MQTT_BATCH_MAX) at QoS 1
 * with identifiers firstId, firstId + 1, ... (wrapping past 65535 to 1), and
 * waits for their PUBACKs until the deadline, in any order. *confirmed is the
 * number of leading messages whose PUBACK came: those and only those are
 * delivered. FEED_MQTT_OK when all came.
 */
FeedMqttResult feed_mqtt_publish(FeedMqttSession *s, const FeedMqttMessage *messages, int count, int retain,
                                 uint16_t firstId, long long deadlineMs, int *confirmed);

/* Sends DISCONNECT (best effort: the messages are confirmed already). */
void feed_mqtt_disconnect(FeedMqttSession *s, long long deadlineMs);
