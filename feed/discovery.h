/*
 * discovery.h - Home Assistant's MQTT discovery for the feed client: the URL
 * options that turn it on, the retained config of each channel, the retained
 * availability message, and the memory in the spool of what each channel is
 * and of the config last published for it.
 *
 * Config: topic DISCOVERY_PREFIX/sensor/OBJECTID/config, OBJECTID being
 * CLIENTID_CHANNEL with every byte outside [a-zA-Z0-9_-] made "_"; payload a
 * JSON object: name (the channel), unique_id (OBJECTID), state_topic and
 * json_attributes_topic (the points' topic), value_template reading "value",
 * json_attributes_template giving "taken" (the time the point was taken),
 * unit_of_measurement, device_class and state_class from the parameter code
 * (none of the three for text and unknown codes), expire_after,
 * availability_topic with its template and payload_available, and device
 * (identifiers [CLIENTID], name "Ombrelle FEEDID", model "Ombrelle").
 *
 * Availability: topic PREFIX/FEEDID/status, payload
 * {"state":"online","last":"AT"}: AT the wall time of the call that sends
 * it, as it started; left out while the clock is not set.
 *
 * Memory: the file "channels" in the spool directory, written whole as
 * "channels.new" (synced) and renamed over it through g_spoolFs, like every
 * spool file: up to FEED_DISCOVERY_CHANNELS channels, each with its last
 * parameter code and the hash of its config last confirmed by the broker; a
 * full memory forgets the channel changed longest ago. A missing or damaged
 * file is an empty memory: every config goes once more. Owner: the run that
 * holds the spool's lock (single thread); no lock of its own.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "spool.h"

/* Parameter codes a channel can have; 0 is "not known". */
enum { FEED_CODE_UNKNOWN = 0, FEED_CODE_TEXT = 1, FEED_CODE_HUMIDITY = 10, FEED_CODE_LUX = 20,
       FEED_CODE_CELSIUS = 30, FEED_CODE_FAHRENHEIT = 31 };

enum { FEED_DISCOVERY_PREFIX_MAX = 128, FEED_DISCOVERY_CHANNELS = 32 };

/* What the URL says of discovery (?discovery=homeassistant&discovery_prefix=P). */
struct FeedDiscoveryUrl {
    int on;
    char prefix[FEED_DISCOVERY_PREFIX_MAX]; /* without a trailing "/"; "homeassistant" unless given */
};

/* The defaults: off, prefix "homeassistant". */
void feed_discovery_url_defaults(FeedDiscoveryUrl *u);

/*
 * One URL parameter param (NUL-ended): 1 when it is a discovery one and good,
 * 0 when it is none of them, -1 with the reason in why[whySize] when it is one
 * and bad (discovery other than "homeassistant", a prefix empty or with bytes
 * other than letters, digits and "._~-/").
 */
int feed_discovery_url_param(const char *param, FeedDiscoveryUrl *u, char *why, size_t whySize);

/* What a config names besides the channel. */
struct FeedDiscoveryIds {
    const char *discoveryPrefix;
    const char *prefix;   /* the topic prefix, with its trailing "/" when not empty */
    const char *feed;
    const char *clientId;
    unsigned expireAfterS;
};

/* Bytes a topic or a payload of discovery may take: no MQTT packet is larger anyway. */
enum { FEED_DISCOVERY_TEXT_MAX = 4096 };

/* A message of discovery, built. */
struct FeedDiscoveryMessage {
    char topic[FEED_DISCOVERY_TEXT_MAX];
    size_t topicSize;
    char payload[FEED_DISCOVERY_TEXT_MAX];
    size_t payloadSize;
};

/* OBJECTID of channel into out[size]; returns its length (cut to fit, always NUL-ended). */
size_t feed_discovery_object_id(const char *clientId, const char *channel, char *out, size_t size);

/* The config of channel with code into *m: 0, or -1 when it does not fit FEED_DISCOVERY_TEXT_MAX. */
int feed_discovery_config(const FeedDiscoveryIds *d, const char *channel, int32_t code, FeedDiscoveryMessage *m);

/* The availability message, at the wall time text at ("" when not set): 0, or -1 when it does not fit. */
int feed_discovery_status(const FeedDiscoveryIds *d, const char *at, FeedDiscoveryMessage *m);

/* The hash the memory keeps of a built message: never 0. */
uint32_t feed_discovery_hash(const FeedDiscoveryMessage *m);

/* Bytes of the PUBLISH packet (QoS 1) that carries m. */
size_t feed_discovery_packet_size(const FeedDiscoveryMessage *m);

struct FeedChannelMemo {
    char channel[SPOOL_TEXT_MAX + 1];
    int32_t code;        /* FEED_CODE_UNKNOWN until one was given */
    uint32_t published;  /* hash of the config the broker confirmed; 0: none */
    uint32_t unfitSaid;  /* hash of a config said not to fit; 0: none */
    uint32_t changed;    /* the memory's change count when this one last changed */
};

struct FeedChannelMemory {
    uint32_t changes;
    int count;
    FeedChannelMemo memo[FEED_DISCOVERY_CHANNELS];
    int dirty;           /* changed since loaded or saved */
};

/* Reads the memory of the spool directory dirFd; missing or damaged: empty. */
void feed_channels_load(int dirFd, FeedChannelMemory *m);

/* The memo of channel, made (forgetting the one changed longest ago when full) when absent. */
FeedChannelMemo *feed_channels_get(FeedChannelMemory *m, const char *channel);

/* The memo of channel, or nullptr. */
const FeedChannelMemo *feed_channels_find(const FeedChannelMemory *m, const char *channel);

/* Marks memo as changed now (for the order of forgetting, and the next save). */
void feed_channels_touch(FeedChannelMemory *m, FeedChannelMemo *memo);

/* Writes the memory into dirFd when it changed: 0, or -1 (errno; the file then is as before). */
int feed_channels_save(int dirFd, FeedChannelMemory *m);
