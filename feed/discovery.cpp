#include "discovery.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "textout.h"
#include "utf8text.h"

namespace {

const char kDefaultPrefix[] = "homeassistant";
const char kPrefixBytes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~-/";
const char kObjectIdBytes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

/* Unit, device class and state class of a parameter code; nullptr unit: none of the three. */
struct CodeRow {
    int32_t code;
    const char *unit;
    const char *deviceClass;
};

const CodeRow kCodes[] = {
    {FEED_CODE_HUMIDITY, "%", "humidity"},
    {FEED_CODE_LUX, "lx", "illuminance"},
    {FEED_CODE_CELSIUS, "\xc2\xb0" "C", "temperature"},
    {FEED_CODE_FAHRENHEIT, "\xc2\xb0" "F", "temperature"},
};

const CodeRow *code_row(int32_t code)
{
    for (const CodeRow &row : kCodes)
        if (row.code == code)
            return &row;
    return nullptr;
}


/* Scratch for one JSON string body. Owner: the process's single thread; no lock. */
char g_jsonScratch[UTF8_JSON_SIZE(FEED_DISCOVERY_TEXT_MAX)];

/* "src" as a JSON string, quotes included. */
void add_string(TextOut *o, const char *src, size_t n)
{
    if (n > FEED_DISCOVERY_TEXT_MAX) {
        o->full = true;
        return;
    }
    size_t length = utf8_json_string(src, n, g_jsonScratch, sizeof g_jsonScratch);
    text_put(o, "\"", 1);
    text_put(o, g_jsonScratch, length);
    text_put(o, "\"", 1);
}

/* ,"key":"value" (no comma for the first member: the caller opens with "{"). */
void member(TextOut *o, const char *key, const char *value, size_t n)
{
    if (o->used > 0 && o->text[o->used - 1] != '{')
        text_put(o, ",", 1);
    add_string(o, key, strlen(key));
    text_put(o, ":", 1);
    add_string(o, value, n);
}

void member_text(TextOut *o, const char *key, const char *value) { member(o, key, value, strlen(value)); }

void add_level(TextOut *o, const char *text)
{
    char level[UTF8_TOPIC_SIZE(SPOOL_TEXT_MAX)];
    size_t n = strlen(text);
    if (n > SPOOL_TEXT_MAX) {
        o->full = true;
        return;
    }
    text_put(o, level, utf8_topic_text(text, n, level, sizeof level));
}

/* PREFIX/FEEDID/ then last: the points' topic (last the channel) or the status topic. */
void feed_topic(const FeedDiscoveryIds *d, const char *last, bool lastIsLevel, TextOut *o)
{
    text_put_str(o, d->prefix);
    add_level(o, d->feed);
    text_put(o, "/", 1);
    if (lastIsLevel)
        add_level(o, last);
    else
        text_put_str(o, last);
}

void availability(const FeedDiscoveryIds *d, TextOut *o, char *topic, size_t topicSize)
{
    TextOut t = text_out(topic, topicSize);
    feed_topic(d, "status", false, &t);
    if (t.full) {
        o->full = true;
        return;
    }
    member(o, "availability_topic", topic, t.used);
    member_text(o, "availability_template", "{{ value_json.state }}");
    member_text(o, "payload_available", "online");
    member_text(o, "payload_not_available", "offline");
}

void device(const FeedDiscoveryIds *d, TextOut *o)
{
    char name[SPOOL_TEXT_MAX + 16];
    snprintf(name, sizeof name, "Ombrelle %.*s", SPOOL_TEXT_MAX, d->feed);
    text_put(o, ",\"device\":{\"identifiers\":[", 26);
    add_string(o, d->clientId, strlen(d->clientId));
    text_put(o, "]", 1);
    member_text(o, "name", name);
    member_text(o, "model", "Ombrelle");
    text_put(o, "}", 1);
}

/* The memory file: a header, the memos, a checksum of all before it. */
const uint32_t kMemoryMagic = 0x4e484346; /* "FCHN" */
const uint32_t kMemoryVersion = 1;
enum { kMemoryHeader = 16 };

struct MemoryFile {
    unsigned char bytes[kMemoryHeader + sizeof(FeedChannelMemo) * FEED_DISCOVERY_CHANNELS + 4];
};

/* The file being read or written. Owner: the process's single thread; no lock. */
MemoryFile g_memoryFile;

uint32_t fnv1a(const void *data, size_t length, uint32_t h)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

void put32(unsigned char *p, uint32_t v) { memcpy(p, &v, 4); }
uint32_t get32(const unsigned char *p) { uint32_t v; memcpy(&v, p, 4); return v; }

int fail_closing(int fd)
{
    int saved = errno;
    g_spoolFs->close(fd);
    errno = saved;
    return -1;
}

/* A spool file of ours, never followed or blocked on: a regular file, or -1. */
int decode_memory(const unsigned char *b, size_t n, FeedChannelMemory *m)
{
    if (n < kMemoryHeader + 4 || get32(b) != kMemoryMagic || get32(b + 4) != kMemoryVersion)
        return -1;
    uint32_t count = get32(b + 12);
    if (count > FEED_DISCOVERY_CHANNELS || n != kMemoryHeader + count * sizeof(FeedChannelMemo) + 4
        || get32(b + n - 4) != fnv1a(b, n - 4, 2166136261u))
        return -1;
    m->changes = get32(b + 8);
    m->count = (int)count;
    memcpy(m->memo, b + kMemoryHeader, count * sizeof(FeedChannelMemo));
    for (int i = 0; i < m->count; i++)
        m->memo[i].channel[SPOOL_TEXT_MAX] = '\0';
    return 0;
}

} // namespace

void feed_discovery_url_defaults(FeedDiscoveryUrl *u)
{
    u->on = 0;
    snprintf(u->prefix, sizeof u->prefix, "%s", kDefaultPrefix);
}

int feed_discovery_url_param(const char *param, FeedDiscoveryUrl *u, char *why, size_t whySize)
{
    if (strncmp(param, "discovery=", 10) == 0) {
        if (strcmp(param + 10, "homeassistant") != 0) {
            snprintf(why, whySize, "discovery is only \"homeassistant\"");
            return -1;
        }
        u->on = 1;
        return 1;
    }
    if (strncmp(param, "discovery_prefix=", 17) != 0)
        return 0;
    const char *prefix = param + 17;
    size_t n = strlen(prefix);
    while (n > 0 && prefix[n - 1] == '/')
        n--;
    if (n == 0 || prefix[0] == '/' || strspn(prefix, kPrefixBytes) < n || n >= sizeof u->prefix) {
        snprintf(why, whySize, "the discovery prefix is not up to %d letters, digits and \"._~-/\"",
                 FEED_DISCOVERY_PREFIX_MAX - 1);
        return -1;
    }
    memcpy(u->prefix, prefix, n);
    u->prefix[n] = '\0';
    return 1;
}

size_t feed_discovery_object_id(const char *clientId, const char *channel, char *out, size_t size)
{
    int n = snprintf(out, size, "%s_%s", clientId, channel);
    size_t length = n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
    for (size_t i = 0; i < length; i++)
        if (strchr(kObjectIdBytes, out[i]) == nullptr)
            out[i] = '_';
    return length;
}

int feed_discovery_config(const FeedDiscoveryIds *d, const char *channel, int32_t code, FeedDiscoveryMessage *m)
{
    char objectId[64 + SPOOL_TEXT_MAX + 2];
    size_t idLength = feed_discovery_object_id(d->clientId, channel, objectId, sizeof objectId);
    TextOut t = text_out(m->topic, sizeof m->topic);
    text_put_str(&t, d->discoveryPrefix);
    text_put_str(&t, "/sensor/");
    text_put(&t, objectId, idLength);
    text_put_str(&t, "/config");
    m->topicSize = t.used;

    /* The points' topic, then the status topic, in turn. Owner: the process's single thread; no lock. */
    static char topic[FEED_DISCOVERY_TEXT_MAX];
    TextOut state = text_out(topic, sizeof topic);
    feed_topic(d, channel, true, &state);
    TextOut o = text_out(m->payload, sizeof m->payload);
    text_put(&o, "{", 1);
    member_text(&o, "name", channel);
    member(&o, "unique_id", objectId, idLength);
    member(&o, "state_topic", topic, state.used);
    member_text(&o, "value_template", "{{ value_json.value }}");
    member(&o, "json_attributes_topic", topic, state.used);
    member_text(&o, "json_attributes_template", "{{ {'taken': value_json.at | default('')} | tojson }}");
    const CodeRow *row = code_row(code);
    if (row != nullptr) {
        member_text(&o, "unit_of_measurement", row->unit);
        member_text(&o, "device_class", row->deviceClass);
        member_text(&o, "state_class", "measurement");
    }
    char expire[32];
    int n = snprintf(expire, sizeof expire, ",\"expire_after\":%u", d->expireAfterS);
    text_put(&o, expire, (size_t)n);
    availability(d, &o, topic, sizeof topic);
    device(d, &o);
    text_put(&o, "}", 1);
    m->payloadSize = o.used;
    return t.full || state.full || o.full ? -1 : 0;
}

int feed_discovery_status(const FeedDiscoveryIds *d, const char *at, FeedDiscoveryMessage *m)
{
    TextOut t = text_out(m->topic, sizeof m->topic);
    feed_topic(d, "status", false, &t);
    m->topicSize = t.used;
    TextOut o = text_out(m->payload, sizeof m->payload);
    text_put(&o, "{", 1);
    member_text(&o, "state", "online");
    if (at[0] != '\0')
        member_text(&o, "last", at);
    text_put(&o, "}", 1);
    m->payloadSize = o.used;
    return t.full || o.full ? -1 : 0;
}

uint32_t feed_discovery_hash(const FeedDiscoveryMessage *m)
{
    uint32_t h = fnv1a(m->topic, m->topicSize, 2166136261u);
    h = fnv1a("\n", 1, h);
    h = fnv1a(m->payload, m->payloadSize, h);
    return h != 0 ? h : 1;
}

size_t feed_discovery_packet_size(const FeedDiscoveryMessage *m)
{
    size_t remaining = 2 + m->topicSize + 2 + m->payloadSize;
    size_t lengthBytes = remaining < 128 ? 1 : remaining < 16384 ? 2 : remaining < 2097152 ? 3 : 4;
    return 1 + lengthBytes + remaining;
}

void feed_channels_load(int dirFd, FeedChannelMemory *m)
{
    *m = FeedChannelMemory{};
    int fd = spool_open_file(dirFd, "channels", O_RDONLY);
    if (fd < 0)
        return;
    ssize_t n = g_spoolFs->pread(fd, g_memoryFile.bytes, sizeof g_memoryFile.bytes, 0);
    g_spoolFs->close(fd);
    if (n <= 0 || decode_memory(g_memoryFile.bytes, (size_t)n, m) != 0)
        *m = FeedChannelMemory{};
}

const FeedChannelMemo *feed_channels_find(const FeedChannelMemory *m, const char *channel)
{
    for (int i = 0; i < m->count; i++)
        if (strcmp(m->memo[i].channel, channel) == 0)
            return &m->memo[i];
    return nullptr;
}

FeedChannelMemo *feed_channels_get(FeedChannelMemory *m, const char *channel)
{
    const FeedChannelMemo *found = feed_channels_find(m, channel);
    if (found != nullptr)
        return &m->memo[found - m->memo];
    int slot = m->count;
    if (slot == FEED_DISCOVERY_CHANNELS) {
        slot = 0;
        for (int i = 1; i < m->count; i++)
            if (m->changes - m->memo[i].changed > m->changes - m->memo[slot].changed)
                slot = i;
    } else {
        m->count++;
    }
    FeedChannelMemo *memo = &m->memo[slot];
    *memo = FeedChannelMemo{};
    snprintf(memo->channel, sizeof memo->channel, "%.*s", SPOOL_TEXT_MAX, channel);
    feed_channels_touch(m, memo);
    return memo;
}

void feed_channels_touch(FeedChannelMemory *m, FeedChannelMemo *memo)
{
    memo->changed = ++m->changes;
    m->dirty = 1;
}

int feed_channels_save(int dirFd, FeedChannelMemory *m)
{
    if (!m->dirty)
        return 0;
    unsigned char *b = g_memoryFile.bytes;
    size_t memos = (size_t)m->count * sizeof(FeedChannelMemo);
    put32(b, kMemoryMagic);
    put32(b + 4, kMemoryVersion);
    put32(b + 8, m->changes);
    put32(b + 12, (uint32_t)m->count);
    memcpy(b + kMemoryHeader, m->memo, memos);
    size_t n = kMemoryHeader + memos;
    put32(b + n, fnv1a(b, n, 2166136261u));
    n += 4;
    int fd = spool_open_file(dirFd, "channels.new", O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return -1;
    ssize_t written = g_spoolFs->pwrite(fd, b, n, 0);
    if (written != (ssize_t)n) {
        if (written >= 0)
            errno = ENOSPC;
        return fail_closing(fd);
    }
    if (g_spoolFs->fdatasync(fd) != 0)
        return fail_closing(fd);
    if (g_spoolFs->close(fd) != 0 || g_spoolFs->renameat(dirFd, "channels.new", dirFd, "channels") != 0)
        return -1;
    g_spoolFs->fsync(dirFd);
    m->dirty = 0;
    return 0;
}
