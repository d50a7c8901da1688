/*
 * mqtt_session.h - one MQTT publishing session in the process (MQTT 5, or
 * 3.1.1): CONNECT, a batch of QoS 1 PUBLISH packets sent back to back, their
 * PUBACKs matched by packet identifier, DISCONNECT.
 *
 * In MQTT 5 a PUBACK carries a reason code: one of 0x80 or above refuses that
 * message alone (0x87 not authorised, 0x97 quota exceeded, ...). MQTT 3.1.1
 * has no such answer: a broker that denies a message either drops it after
 * its PUBACK (mosquitto's ACL: lost without a sign) or closes the connection.
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
    FEED_MQTT_CREDENTIALS,   /* CONNACK 4 or 5 (MQTT 5: 0x86, 0x87): user name, password or authorisation refused */
    FEED_MQTT_REFUSED,       /* another CONNACK code: see returnCode */
    FEED_MQTT_FAILED,        /* the stream ended, broke or timed out: errno says which where it can */
    FEED_MQTT_WANTS_V311,    /* MQTT 5 only: the broker refused the protocol level, or closed before a CONNACK */
    FEED_MQTT_POINT_REFUSED, /* MQTT 5 only: the message after the confirmed ones was refused: refusedCode */
};

struct FeedMqttSession {
    FeedTransport *transport;
    int v5;                               /* speaks MQTT 5 (feed_mqtt_connect sets it) */
    int returnCode;                       /* the CONNACK code (MQTT 5: its reason code), once one came */
    int refusedCode;                      /* of FEED_MQTT_POINT_REFUSED: its PUBACK's reason code, or
                                             MQTT5_PACKET_TOO_LARGE for one not sent as over maximumPacketSize */
    uint16_t receiveMaximum;              /* the broker's Receive Maximum (MQTT 5): most messages awaiting PUBACK */
    uint32_t maximumPacketSize;           /* the broker's Maximum Packet Size (MQTT 5); 0: none said */
    unsigned keepaliveS;                  /* in force: the broker's Server Keep Alive (MQTT 5), else ours; 0: none */
    long long lastSentMs;                 /* when a packet last went out, for the keep-alive */
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

/*
 * Sends CONNECT, at protocol level 5 when v5 is non-zero, else 4 (3.1.1), and
 * waits for the CONNACK until the deadline.
 */
FeedMqttResult feed_mqtt_connect(FeedMqttSession *s, FeedTransport *t, const MqttConnect *c, int v5,
                                 long long deadlineMs);

/*
 * Publishes messages[0..count) (count at most FEED_MQTT_BATCH_MAX) at QoS 1
 * with identifiers firstId, firstId + 1, ... (wrapping past 65535 to 1), and
 * waits for their PUBACKs until the deadline, in any order. *confirmed is the
 * number of leading messages whose PUBACK came: those and only those are
 * delivered. FEED_MQTT_OK when all came; FEED_MQTT_POINT_REFUSED when the
 * message after them was refused by its PUBACK, or is larger than the
 * broker's Maximum Packet Size (it and those after it are then not sent);
 * the session stays usable. A wait for PUBACKs longer than the keep-alive in
 * force sends PINGREQ, so a broker that set a short one keeps the session.
 */
FeedMqttResult feed_mqtt_publish(FeedMqttSession *s, const FeedMqttMessage *messages, int count, int retain,
                                 uint16_t firstId, long long deadlineMs, int *confirmed);

/* Sends DISCONNECT (best effort: the messages are confirmed already). */
void feed_mqtt_disconnect(FeedMqttSession *s, long long deadlineMs);
