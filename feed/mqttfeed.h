/*
 * mqttfeed.h - delivery to an MQTT broker in the process: one connection a
 * call, each point one QoS 1 message, confirmed by its PUBACK.
 *
 * mqtts:// runs the session over feed_tls (feed_tls.h): the broker's chain
 * and name are verified, against the wall clock of g_feedClock. A failed
 * handshake is a failed connection (FEED_SEND_FAILED, the points kept) whose
 * error is feed_tls_open's line naming the cause.
 *
 * Topic PREFIX/FEEDID/CHANNEL (FEEDID/CHANNEL without a prefix), each level
 * made a topic level by utf8_topic_text; payload {"value":"VALUE","at":"AT"}
 * ({"value":"VALUE"} when the time is not known), the value as a JSON string.
 *
 * Client identifier: "ombrelle" and 15 hex digits of a hash of the camera
 * and the feed: up to 23 letters and digits, which every broker must accept.
 * The camera is the first non-zero MAC address in /sys/class/net (images
 * cloned to many cameras share /etc/machine-id), else /etc/machine-id, else
 * the host name.
 *
 * Protocol: MQTT 5 first. A broker that refuses that level (or closes before
 * its CONNACK) is spoken to in 3.1.1 at once, on a new connection; the
 * caller remembers that (fellBack) and asks for 3.1.1 from the start for a
 * while. In MQTT 5 a PUBACK reason code of 0x80 or more refuses that point:
 * FEED_SEND_POINT_REFUSED with the code in the reason ("PUBACK 0x87 not
 * authorised"), the connection kept.
 *
 * A broker that closes the connection on a message while it took the
 * connection is taken as refusing what it got (mosquitto's max_packet_size,
 * an ACL that closes): FEED_SEND_POINT_REFUSED, which the caller narrows to
 * the message at the head by sending it alone.
 */
#pragma once

#include <stddef.h>

#include "endpoint.h"
#include "mqtt_session.h"
#include "send.h"

enum { FEED_CLIENT_ID_SIZE = 24 };

struct FeedMqttCall {
    const FeedMqttEndpoint *endpoint;
    char clientId[FEED_CLIENT_ID_SIZE];
    int connected;
    FeedTransport transport;
    FeedMqttSession session;
    uint16_t nextId;
    int v311;           /* speak 3.1.1: asked for, or fallen back to in this call */
    int v311Remembered; /* asked for by the caller */
    int fellBack;       /* this call found that the broker speaks 3.1.1 only */
};

/* The client identifier for feed into out[size] (at least FEED_CLIENT_ID_SIZE). */
void feed_client_id(const char *feed, char *out, size_t size);

/* Bytes of the PUBLISH packet of point p with the time text at ("" for none) under endpoint e. */
size_t feed_mqtt_packet_size(const FeedMqttEndpoint *e, const SpoolPoint *p, const char *at);

/* Ready to send for feed, in 3.1.1 from the start when v311: nothing is connected yet. */
void feed_mqtt_call_begin(FeedMqttCall *c, const FeedMqttEndpoint *e, const char *feed, int v311);

/* Publishes points[0..count), connecting first when needed, by the deadline. */
void feed_mqtt_call_send(FeedMqttCall *c, const FeedOutPoint *points, int count, long long deadlineMs,
                         FeedSendResult *r);

/*
 * Publishes messages[0..count) (at most FEED_MQTT_BATCH_MAX) on the open
 * connection: FEED_MQTT_OK when all were confirmed, else the connection is
 * closed. *confirmed as feed_mqtt_publish says.
 */
FeedMqttResult feed_mqtt_call_publish(FeedMqttCall *c, const FeedMqttMessage *messages, int count, int retain,
                                      long long deadlineMs, int *confirmed);

/* Disconnects (best effort) and closes the connection. */
void feed_mqtt_call_end(FeedMqttCall *c, long long deadlineMs);
