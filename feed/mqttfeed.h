/*
 * mqttfeed.h - delivery to an MQTT broker in the process: one connection a
 * call, each point one QoS 1 message, confirmed by its PUBACK.
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
};

/* The client identifier for feed into out[size] (at least FEED_CLIENT_ID_SIZE). */
void feed_client_id(const char *feed, char *out, size_t size);

/* Bytes of the PUBLISH packet of point p with the time text at ("" for none) under endpoint e. */
size_t feed_mqtt_packet_size(const FeedMqttEndpoint *e, const SpoolPoint *p, const char *at);

/* Ready to send for feed: nothing is connected yet. */
void feed_mqtt_call_begin(FeedMqttCall *c, const FeedMqttEndpoint *e, const char *feed);

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
