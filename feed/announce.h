/*
 * announce.h - Home Assistant discovery on the MQTT connections of one call
 * (see discovery.h for the messages): on each connection, before its first
 * points, the retained availability message; before the points of a channel
 * whose config is new or changed since the broker last confirmed it, that
 * config, retained. A config that does not fit one MQTT packet is not sent
 * and is said once (per content). Discovery never holds points up: after a
 * discovery message the broker did not confirm, the call sends no more of
 * them and goes on with the points.
 *
 * The memory (each channel's parameter code, the configs confirmed) is read
 * from the spool directory and written back there when it changed, by the
 * run that holds the spool's lock. Owner of a FeedAnnounce: that run's single
 * thread; no lock.
 */
#pragma once

#include <stdint.h>

#include "discovery.h"
#include "endpoint.h"
#include "mqttfeed.h"
#include "send.h"

struct FeedAnnounce {
    const FeedMqttEndpoint *endpoint; /* nullptr: nothing is announced, the code is only remembered */
    int dirFd;                        /* the spool directory */
    char feed[SPOOL_TEXT_MAX + 1];    /* the call's feed: its status topic */
    FeedChannelMemory memory;
    unsigned expireAfterS;
    char at[24];                      /* the call's wall time, "" while the clock is not set */
    int statusSent;                   /* on the connection now open */
    int off;                          /* a discovery message failed in this call: no more */
};

/*
 * For a call of feed holding the spool in dirFd: reads the memory and notes code for
 * channel (code < 0: none was given), writing the memory back when that
 * changed it. endpoint nullptr, or without discovery: nothing is announced.
 */
void feed_announce_begin(FeedAnnounce *a, const FeedMqttEndpoint *endpoint, int dirFd, const char *feed,
                         const char *channel, int32_t code, unsigned expireAfterS, const char *at);

/*
 * Before points[0..count) go out on c: connects c when it is not, then sends
 * what discovery owes. Returns 0 (the points may go), or -1 with *r the
 * failed connection (the points are not to be sent now).
 */
int feed_announce_before(FeedAnnounce *a, FeedMqttCall *c, const FeedOutPoint *points, int count, long long deadlineMs,
                         FeedSendResult *r);
