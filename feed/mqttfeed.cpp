#include "mqttfeed.h"

#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "feed_tls.h"
#include "pointtime.h"
#include "rootpath.h"
#include "tcp.h"
#include "utf8text.h"
#include "words.h"

namespace {

/* Messages sent back to back before their PUBACKs are awaited. */
enum { kWindow = 64, kMessageMax = MQTT_PACKET_MAX };
/* An MQTT 5 reason code that mqtt_packet.h does not name. */
enum { kTopicNameInvalid = 0x90 };

struct Message {
    uint8_t topic[kMessageMax];
    size_t topicSize;
    uint8_t payload[kMessageMax];
    size_t payloadSize;
};

/* One window of messages: static, as a one-shot program needs it once. */
Message g_window[kWindow];

/* Appends src to out[size] at *used; false when it does not fit. */
bool add(uint8_t *out, size_t size, size_t *used, const char *src, size_t n)
{
    if (*used + n > size)
        return false;
    memcpy(out + *used, src, n);
    *used += n;
    return true;
}

bool add_level(uint8_t *out, size_t size, size_t *used, const char *text)
{
    char level[UTF8_TOPIC_SIZE(SPOOL_TEXT_MAX)];
    return add(out, size, used, level, utf8_topic_text(text, strlen(text), level, sizeof level));
}

/* The topic and payload of p: false when either does not fit a message. */
bool build(const FeedMqttEndpoint *e, const SpoolPoint *p, const char *at, Message *m)
{
    m->topicSize = m->payloadSize = 0;
    char json[UTF8_JSON_SIZE(SPOOL_TEXT_MAX)];
    size_t jsonLength = utf8_json_string(p->value, strlen(p->value), json, sizeof json);
    bool ok = add(m->topic, sizeof m->topic, &m->topicSize, e->prefix, strlen(e->prefix))
        && add_level(m->topic, sizeof m->topic, &m->topicSize, p->feed)
        && add(m->topic, sizeof m->topic, &m->topicSize, "/", 1)
        && add_level(m->topic, sizeof m->topic, &m->topicSize, p->channel)
        && add(m->payload, sizeof m->payload, &m->payloadSize, "{\"value\":\"", 10)
        && add(m->payload, sizeof m->payload, &m->payloadSize, json, jsonLength);
    if (ok && at[0] != '\0')
        ok = add(m->payload, sizeof m->payload, &m->payloadSize, "\",\"at\":\"", 8)
            && add(m->payload, sizeof m->payload, &m->payloadSize, at, strlen(at));
    return ok && add(m->payload, sizeof m->payload, &m->payloadSize, "\"}", 2);
}

uint64_t fnv1a(const char *text, uint64_t h)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++)
        h = (h ^ *p) * 1099511628211ull;
    return h;
}

/* The first line of a fixed platform file into out[size]; "" when absent. */
void read_line(const char *fixed, char *out, size_t size)
{
    out[0] = '\0';
    char path[ROOT_PATH_MAX];
    if (root_path(fixed, path, sizeof path) == 0)
        feed_first_line(path, out, size);
}

int by_name(const void *a, const void *b)
{
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

/* The first non-zero MAC address of the interfaces, in name order; "" when none. */
void first_mac(char *out, size_t size)
{
    out[0] = '\0';
    char dir[ROOT_PATH_MAX];
    if (root_path("/sys/class/net", dir, sizeof dir) != 0)
        return;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return;
    enum { kInterfaces = 32, kName = 32 };
    char names[kInterfaces][kName];
    int n = 0;
    for (struct dirent *e; n < kInterfaces && (e = readdir(d)) != nullptr;)
        if (e->d_name[0] != '.' && strlen(e->d_name) < kName)
            snprintf(names[n++], kName, "%.*s", kName - 1, e->d_name);
    closedir(d);
    qsort(names, (size_t)n, sizeof names[0], by_name);
    for (int i = 0; i < n && out[0] == '\0'; i++) {
        char fixed[96];
        snprintf(fixed, sizeof fixed, "/sys/class/net/%.*s/address", kName - 1, names[i]);
        read_line(fixed, out, size);
        if (strcmp(out, "00:00:00:00:00:00") == 0)
            out[0] = '\0';
    }
}

bool connection_closed(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN;
}

/* The wall clock the certificate dates are checked against: the program's own, test seam included. */
long long tls_wall_clock()
{
    return (long long)g_feedClock->wall_s();
}

int cannot_connect(const FeedMqttEndpoint *e, FeedSendResult *r)
{
    snprintf(r->error, sizeof r->error, "cannot connect to %.80s port %u: %s", e->host, e->port, strerror(errno));
    return -1;
}

/*
 * A plain or a TLS connection to the broker in c->transport: 0, or -1 with
 * r->error written (for TLS, the cause as feed_tls_open names it).
 */
int open_transport(FeedMqttCall *c, long long deadlineMs, FeedSendResult *r)
{
    const FeedMqttEndpoint *e = c->endpoint;
    if (!e->tls)
        return feed_tcp_open(e->host, e->port, deadlineMs, &c->transport) == 0 ? 0 : cannot_connect(e, r);
    int fd = feed_tcp_connect(e->host, e->port, deadlineMs);
    if (fd < 0)
        return cannot_connect(e, r);
    FeedTlsConfig config = {e->host, e->cafile[0] != '\0' ? e->cafile : nullptr,
                            e->certfile[0] != '\0' ? e->certfile : nullptr,
                            e->keyfile[0] != '\0' ? e->keyfile : nullptr, tls_wall_clock};
    if (feed_tls_open(&config, fd, deadlineMs, &c->transport, r->error, sizeof r->error) == 0)
        return 0;
    close(fd);
    return -1;
}

/* The CONNACK code as the protocol spoken writes it: MQTT 5 reason codes in hex. */
void connack_text(const FeedMqttSession *s, char *out, size_t size)
{
    snprintf(out, size, s->v5 ? "CONNACK 0x%02x" : "CONNACK %d", s->returnCode);
}

FeedSendKind connect_broker(FeedMqttCall *c, long long deadlineMs, FeedSendResult *r)
{
    const FeedMqttEndpoint *e = c->endpoint;
    if (open_transport(c, deadlineMs, r) != 0)
        return FEED_SEND_FAILED;
    MqttConnect connect = {c->clientId, e->hasUser ? e->user : nullptr,
                           e->hasUser && e->hasPassword ? e->password : nullptr, (uint16_t)e->keepaliveS, 1};
    FeedMqttResult result = feed_mqtt_connect(&c->session, &c->transport, &connect, !c->v311, deadlineMs);
    if (result == FEED_MQTT_OK) {
        c->connected = 1;
        c->fellBack = c->v311 && !c->v311Remembered;
        return FEED_SEND_OK;
    }
    int error = errno;
    c->transport.close(c->transport.ctx);
    if (result == FEED_MQTT_WANTS_V311) {
        /* Once: a 3.1.1 connection never answers so. */
        c->v311 = 1;
        return connect_broker(c, deadlineMs, r);
    }
    char code[24];
    connack_text(&c->session, code, sizeof code);
    if (result == FEED_MQTT_CREDENTIALS) {
        snprintf(r->error, sizeof r->error, "the broker refused the credentials (%s)", code);
        return FEED_SEND_CREDENTIALS;
    }
    if (result == FEED_MQTT_REFUSED)
        snprintf(r->error, sizeof r->error, "the broker refused the connection (%s)", code);
    else if (error == ETIMEDOUT)
        snprintf(r->error, sizeof r->error, "the broker sent no CONNACK in time");
    else
        snprintf(r->error, sizeof r->error, "the broker ended the connection: %s", strerror(error));
    return FEED_SEND_FAILED;
}

const char *reason_name(int code)
{
    switch (code) {
    case MQTT5_NOT_AUTHORIZED:
        return " not authorised";
    case MQTT5_QUOTA_EXCEEDED:
        return " quota exceeded";
    case MQTT5_PAYLOAD_FORMAT_INVALID:
        return " payload format invalid";
    case kTopicNameInvalid:
        return " topic name invalid";
    case MQTT5_UNSPECIFIED_ERROR:
        return " unspecified error";
    default:
        return "";
    }
}

void drop_connection(FeedMqttCall *c)
{
    if (c->connected)
        c->transport.close(c->transport.ctx);
    c->connected = 0;
}

} // namespace

void feed_client_id(const char *feed, char *out, size_t size)
{
    char camera[256];
    first_mac(camera, sizeof camera);
    if (camera[0] == '\0')
        read_line("/etc/machine-id", camera, sizeof camera);
    if (camera[0] == '\0')
        read_line("/proc/sys/kernel/hostname", camera, sizeof camera);
    uint64_t h = fnv1a(feed, fnv1a(" ", fnv1a(camera, 14695981039346656037ull)));
    snprintf(out, size, "ombrelle%015llx", (unsigned long long)(h & 0x0fffffffffffffffull));
}

size_t feed_mqtt_packet_size(const FeedMqttEndpoint *e, const SpoolPoint *p, const char *at)
{
    Message *m = &g_window[0];
    if (!build(e, p, at, m))
        return SIZE_MAX;
    size_t remaining = 2 + m->topicSize + 2 + m->payloadSize;
    return 1 + (remaining < 128 ? 1 : remaining < 16384 ? 2 : 3) + remaining;
}

void feed_mqtt_call_begin(FeedMqttCall *c, const FeedMqttEndpoint *e, const char *feed, int v311)
{
    *c = FeedMqttCall{};
    c->endpoint = e;
    c->v311 = c->v311Remembered = v311 != 0;
    c->nextId = 1;
    feed_client_id(feed, c->clientId, sizeof c->clientId);
}

void feed_mqtt_call_send(FeedMqttCall *c, const FeedOutPoint *points, int count, long long deadlineMs,
                         FeedSendResult *r)
{
    *r = FeedSendResult{};
    if (!c->connected && (r->kind = connect_broker(c, deadlineMs, r)) != FEED_SEND_OK)
        return;
    /* An MQTT 5 broker says how many messages may await their PUBACK at once. */
    int window = c->session.receiveMaximum < (int)kWindow ? (int)c->session.receiveMaximum : (int)kWindow;
    while (r->confirmed < count) {
        int n = count - r->confirmed < window ? count - r->confirmed : window;
        FeedMqttMessage messages[kWindow];
        for (int i = 0; i < n; i++) {
            const FeedOutPoint *o = &points[r->confirmed + i];
            build(c->endpoint, o->point, o->at, &g_window[i]);
            messages[i] = {g_window[i].topic, g_window[i].topicSize, g_window[i].payload, g_window[i].payloadSize};
        }
        int confirmed = 0;
        FeedMqttResult result =
            feed_mqtt_publish(&c->session, messages, n, c->endpoint->retain, c->nextId, deadlineMs, &confirmed);
        int error = errno;
        r->confirmed += confirmed;
        c->nextId = (uint16_t)((c->nextId - 1 + (unsigned)n) % 65535 + 1);
        if (result == FEED_MQTT_OK)
            continue;
        if (result == FEED_MQTT_POINT_REFUSED) {
            /* The session goes on: only that message was refused. */
            r->kind = FEED_SEND_POINT_REFUSED;
            if (c->session.refusedCode == MQTT5_PACKET_TOO_LARGE)
                snprintf(r->reason, sizeof r->reason, "over the broker's maximum of %u bytes",
                         (unsigned)c->session.maximumPacketSize);
            else
                snprintf(r->reason, sizeof r->reason, "PUBACK 0x%02x%s", c->session.refusedCode,
                         reason_name(c->session.refusedCode));
            snprintf(r->error, sizeof r->error, "the broker refused a message (%s)", r->reason);
            return;
        }
        drop_connection(c);
        r->kind = connection_closed(error) ? FEED_SEND_POINT_REFUSED : FEED_SEND_FAILED;
        snprintf(r->reason, sizeof r->reason, "the broker closed the connection on it");
        if (error == ETIMEDOUT)
            snprintf(r->error, sizeof r->error, "the broker confirmed %d of %d messages in time", r->confirmed,
                     count);
        else
            snprintf(r->error, sizeof r->error, "the broker ended the connection: %s", strerror(error));
        return;
    }
    r->kind = FEED_SEND_OK;
}

FeedMqttResult feed_mqtt_call_publish(FeedMqttCall *c, const FeedMqttMessage *messages, int count, int retain,
                                      long long deadlineMs, int *confirmed)
{
    *confirmed = 0;
    if (!c->connected)
        return FEED_MQTT_FAILED;
    FeedMqttResult result = feed_mqtt_publish(&c->session, messages, count, retain, c->nextId, deadlineMs, confirmed);
    c->nextId = (uint16_t)((c->nextId - 1 + (unsigned)count) % 65535 + 1);
    if (result != FEED_MQTT_OK)
        drop_connection(c);
    return result;
}

void feed_mqtt_call_end(FeedMqttCall *c, long long deadlineMs)
{
    if (c->connected)
        feed_mqtt_disconnect(&c->session, deadlineMs);
    drop_connection(c);
}
