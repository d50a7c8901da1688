#include "announce.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "utf8text.h"

namespace {

/* The message being built and sent. Owner: the process's single thread; no lock. */
FeedDiscoveryMessage g_message;

void say(const char *what, const char *channel)
{
    char shown[UTF8_LOG_SIZE(SPOOL_TEXT_MAX)];
    utf8_log_text(channel, strlen(channel), shown, sizeof shown);
    fprintf(stderr, "feed_update: %s \"%s\"\n", what, shown);
}

FeedDiscoveryIds ids_of(const FeedAnnounce *a, const FeedMqttCall *c, const char *feed)
{
    return FeedDiscoveryIds{a->endpoint->discovery.prefix, a->endpoint->prefix, feed, c->clientId, a->expireAfterS};
}

/* Publishes g_message retained: 1 when the broker confirmed it, else 0 and no more discovery this call. */
int publish(FeedAnnounce *a, FeedMqttCall *c, long long deadlineMs)
{
    FeedMqttMessage m = {(const uint8_t *)g_message.topic, g_message.topicSize, (const uint8_t *)g_message.payload,
                         g_message.payloadSize};
    int confirmed = 0;
    if (feed_mqtt_call_publish(c, &m, 1, 1, deadlineMs, &confirmed) == FEED_MQTT_OK && confirmed == 1)
        return 1;
    a->off = 1;
    return 0;
}

/* The config of p's channel, when it is owed (a failure turns discovery off for the call). */
void announce_channel(FeedAnnounce *a, FeedMqttCall *c, const SpoolPoint *p, long long deadlineMs)
{
    const char *channel = p->channel;
    FeedChannelMemo *memo = feed_channels_get(&a->memory, channel);
    FeedDiscoveryIds ids = ids_of(a, c, p->feed);
    int built = feed_discovery_config(&ids, channel, memo->code, &g_message);
    uint32_t hash = built == 0 ? feed_discovery_hash(&g_message) : 1;
    if (built == 0 && hash == memo->published)
        return;
    size_t size = built == 0 ? feed_discovery_packet_size(&g_message) : SIZE_MAX;
    uint32_t brokerMax = c->session.maximumPacketSize;
    if (size > MQTT_PACKET_MAX || (brokerMax != 0 && size > brokerMax)) {
        if (memo->unfitSaid != hash) {
            say("the Home Assistant config does not fit one MQTT message, not sent: channel", channel);
            memo->unfitSaid = hash;
            feed_channels_touch(&a->memory, memo);
        }
        return;
    }
    if (!publish(a, c, deadlineMs))
        return;
    memo->published = hash;
    feed_channels_touch(&a->memory, memo);
}

int seen_before(const FeedOutPoint *points, int i)
{
    for (int j = 0; j < i; j++)
        if (strcmp(points[j].point->channel, points[i].point->channel) == 0)
            return 1;
    return 0;
}

void save(FeedAnnounce *a)
{
    if (feed_channels_save(a->dirFd, &a->memory) != 0)
        fprintf(stderr, "feed_update: cannot write the channels' memory in the spool: %s\n", strerror(errno));
}

} // namespace

void feed_announce_begin(FeedAnnounce *a, const FeedMqttEndpoint *endpoint, int dirFd, const char *feed,
                         const char *channel, int32_t code, unsigned expireAfterS, const char *at)
{
    *a = FeedAnnounce{};
    snprintf(a->feed, sizeof a->feed, "%s", feed);
    a->endpoint = endpoint != nullptr && endpoint->discovery.on ? endpoint : nullptr;
    a->dirFd = dirFd;
    a->expireAfterS = expireAfterS;
    snprintf(a->at, sizeof a->at, "%s", at);
    if (a->endpoint == nullptr && code < 0)
        return;
    feed_channels_load(dirFd, &a->memory);
    if (code < 0)
        return;
    FeedChannelMemo *memo = feed_channels_get(&a->memory, channel);
    if (memo->code != code) {
        memo->code = code;
        feed_channels_touch(&a->memory, memo);
    }
    save(a);
}

int feed_announce_before(FeedAnnounce *a, FeedMqttCall *c, const FeedOutPoint *points, int count, long long deadlineMs,
                         FeedSendResult *r)
{
    if (a->endpoint == nullptr || a->off)
        return 0;
    if (!c->connected) {
        a->statusSent = 0;
        feed_mqtt_call_send(c, nullptr, 0, deadlineMs, r);
        if (r->kind != FEED_SEND_OK)
            return -1;
    }
    FeedDiscoveryIds ids = ids_of(a, c, a->feed);
    if (!a->statusSent) {
        if (feed_discovery_status(&ids, a->at, &g_message) != 0 || !publish(a, c, deadlineMs))
            return 0;
        a->statusSent = 1;
    }
    for (int i = 0; i < count && !a->off; i++)
        if (!seen_before(points, i))
            announce_channel(a, c, points[i].point, deadlineMs);
    save(a);
    return 0;
}
