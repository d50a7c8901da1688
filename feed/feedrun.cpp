#include "feedrun.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "announce.h"
#include "backoff.h"
#include "endpoint.h"
#include "feed_tls.h"
#include "http.h"
#include "mqttfeed.h"
#include "pointtime.h"
#include "rootpath.h"
#include "spool.h"
#include "transport.h"
#include "utf8text.h"
#include "words.h"

namespace {

/* Of FEED_TIMEOUT_S, what a call keeps for its own work around the network (ms). */
enum { kCallWorkMs = 300, kMinTryMs = 500 };
/* While all goes well, the time of the last success is written at most this often (s). */
enum { kSuccessWriteS = 600 };
/* A broker found to speak MQTT 3.1.1 only is asked for MQTT 5 again after this long (s). */
enum { kV311MemoryS = 86400 };

/* Where points go, as far as the URL tells. */
struct Target {
    FeedScheme scheme;
    char shown[FEED_URL_MAX];
    FeedMqttEndpoint mqtt;
    char cafile[ROOT_PATH_MAX]; /* https: the CA bundle handed to curl; "": curl's own */
    int ready;
    char notReady[SPOOL_ERROR_MAX];
    uint32_t hash;
};

/* Everything one call knows. Owner: the process's single thread. */
struct Call {
    FeedSettings settings;
    FeedWords words;
    Target target;
    FeedPointTime now;
    SpoolPoint point;
    FeedSpool spool;
    int lost;             /* the spool's log lost points it counted */
    uint64_t dropped;     /* points this call dropped for room */
    uint64_t delivered;   /* points this call delivered */
    int ownDelivered;     /* this call's point was delivered */
    long long startMs;
    FeedMqttCall mqtt;
    int mqttBegun;
    FeedAnnounce announce; /* discovery: only while the spool's lock is held */
    FeedSendResult last;  /* the last try that failed */
    int failed;
};

void say(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "feed_update: %s\n", line);
}

/* A text of the user's for a line: control characters and bad bytes shown as \xNN. */
const char *shown_text(const char *text, char *out, size_t size)
{
    utf8_log_text(text, strlen(text), out, size);
    return out;
}

uint32_t hash_text(const char *text, uint32_t h)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++)
        h = (h ^ *p) * 16777619u;
    return h;
}

int is_mqtt(const Target *t)
{
    return t->scheme == FEED_SCHEME_MQTT || t->scheme == FEED_SCHEME_MQTTS;
}

/*
 * curl's CA bundle for https: FEED_CAFILE, else the system's bundle under the
 * root prefix when it is there, else none, and curl keeps its own default.
 */
void https_cafile(const FeedSettings *settings, char *out, size_t size)
{
    out[0] = '\0';
    if (settings->cafile[0] != '\0')
        snprintf(out, size, "%s", settings->cafile);
    else if (root_path(FEED_TLS_DEFAULT_CAFILE, out, size) != 0 || access(out, R_OK) != 0)
        out[0] = '\0';
}

void target_load(Call *c)
{
    Target *t = &c->target;
    t->scheme = feed_url_scheme(c->settings.url);
    feed_url_shown(c->settings.url, t->shown, sizeof t->shown);
    t->hash = hash_text(c->words.feed, hash_text(" ", hash_text(t->shown, 2166136261u))) | 1u;
    t->ready = 1;
    switch (t->scheme) {
    case FEED_SCHEME_HTTP:
        return;
    case FEED_SCHEME_HTTPS:
        https_cafile(&c->settings, t->cafile, sizeof t->cafile);
        return;
    case FEED_SCHEME_MQTT:
    case FEED_SCHEME_MQTTS:
        if (feed_mqtt_parse(c->settings.url, &t->mqtt, t->notReady, sizeof t->notReady) != 0)
            t->ready = 0;
        else if (t->mqtt.tls && t->mqtt.cafile[0] == '\0')
            snprintf(t->mqtt.cafile, sizeof t->mqtt.cafile, "%s", c->settings.cafile);
        return;
    case FEED_SCHEME_UNKNOWN:
        snprintf(t->notReady, sizeof t->notReady, "unsupported feed URL: %.100s", t->shown);
        t->ready = 0;
        return;
    }
}

long long call_left_ms(const Call *c)
{
    return c->startMs + (long long)c->settings.timeoutS * 1000 - kCallWorkMs - feed_transport_now_ms();
}

long long try_deadline(const Call *c)
{
    long long left = call_left_ms(c);
    return feed_transport_now_ms() + (left < (long long)kMinTryMs ? (long long)kMinTryMs : left);
}

/* The time point p goes out with: 1 with out set ("" for none), 0 when it must wait for the clock. */
int judge_time(const Call *c, const SpoolPoint *p, char *out, size_t size)
{
    int64_t atS = 0;
    out[0] = '\0';
    switch (feed_point_date(&p->taken, &c->now, g_feedBuildEpoch, &atS)) {
    case FEED_DATED:
    case FEED_REDATED:
        feed_format_at(atS, out, size);
        return 1;
    case FEED_NOT_YET:
        return c->now.bootMs - p->taken.bootMs >= (int64_t)FEED_UNDATED_HOLD_MS;
    case FEED_UNDATED:
        return 1;
    }
    return 1;
}

/* 1 while the spool remembers the broker as speaking 3.1.1 only (a clock set back shortens it to a day). */
int v311_remembered(int64_t untilS, int64_t nowS)
{
    return untilS > nowS && untilS - nowS <= kV311MemoryS;
}

void send_points(Call *c, const FeedOutPoint *points, int count, int fresh, FeedSendResult *r)
{
    if (is_mqtt(&c->target)) {
        if (!c->mqttBegun)
            feed_mqtt_call_begin(&c->mqtt, &c->target.mqtt, c->words.feed,
                                 v311_remembered(c->spool.endpoint.v311UntilS, c->now.wallS));
        c->mqttBegun = 1;
        if (feed_announce_before(&c->announce, &c->mqtt, points, count, try_deadline(c), r) != 0)
            return;
        feed_mqtt_call_send(&c->mqtt, points, count, try_deadline(c), r);
        return;
    }
    const char *cafile = c->target.cafile[0] != '\0' ? c->target.cafile : nullptr;
    feed_http_send(c->settings.url, c->words.key, cafile, points, count, fresh, try_deadline(c), r);
}

void end_transport(Call *c)
{
    if (c->mqttBegun)
        feed_mqtt_call_end(&c->mqtt, feed_transport_now_ms() + 200);
    c->mqttBegun = 0;
}

/* This call's point, sent at once: 1 when delivered. */
int send_fresh(Call *c)
{
    FeedOutPoint out = {&c->point, ""};
    if (!judge_time(c, &c->point, out.at, sizeof out.at) && is_mqtt(&c->target))
        return 0;
    FeedSendResult r;
    send_points(c, &out, 1, 1, &r);
    if (r.kind == FEED_SEND_OK && r.confirmed == 1)
        return 1;
    c->last = r;
    c->failed = 1;
    return 0;
}

/* A kept point that no MQTT message can hold is dropped rather than holding up the rest. */
int drop_unfit(Call *c, const SpoolPoint *p, const char *at, uint64_t next)
{
    char channel[UTF8_LOG_SIZE(SPOOL_TEXT_MAX)];
    if (spool_confirm(&c->spool, next) != 0)
        return -1;
    c->spool.counters.dropped++;
    say("a kept point of channel \"%s\" taken at %s does not fit one MQTT message of %d bytes: dropped",
        shown_text(p->channel, channel, sizeof channel), at[0] != '\0' ? at : "an unknown time", MQTT_PACKET_MAX);
    return 0;
}

/* The head was refused by itself once more: a dead letter after FEED_REFUSALS_MAX. 1 when it moved on. */
int head_refused(Call *c, const FeedOutPoint *head, uint64_t next, const FeedSendResult *r)
{
    SpoolEndpoint *e = &c->spool.endpoint;
    e->headTries++;
    snprintf(e->headReason, sizeof e->headReason, "%s", r->reason);
    char channel[UTF8_LOG_SIZE(SPOOL_TEXT_MAX)];
    shown_text(head->point->channel, channel, sizeof channel);
    if (e->headTries < FEED_REFUSALS_MAX) {
        c->last = *r;
        snprintf(c->last.error, sizeof c->last.error, "a point of channel \"%.40s\" refused (%s), try %u of %d",
                 channel, r->reason, e->headTries, FEED_REFUSALS_MAX);
        c->failed = 1;
        return 0;
    }
    if (spool_dead_letter(&c->spool, head->point, next, head->at[0] != '\0' ? head->at : "-", r->reason) != 0) {
        c->failed = 1;
        snprintf(c->last.error, sizeof c->last.error, "cannot write the dead letters: %s", strerror(errno));
        return 0;
    }
    say("a kept point of channel \"%s\" taken at %s was refused %d times (%s): moved to %s/dead", channel,
        head->at[0] != '\0' ? head->at : "an unknown time", FEED_REFUSALS_MAX, r->reason, c->settings.spool);
    return 1;
}

/* The batch at the head: its points judged, cut before one that waits for the clock or does not fit. */
int next_batch(Call *c, SpoolPoint *points, uint64_t *ends, FeedOutPoint *out, int max, int *unfit)
{
    *unfit = 0;
    int n = spool_read_each(&c->spool, points, ends, max);
    for (int i = 0; i < n; i++) {
        out[i].point = &points[i];
        if (!judge_time(c, &points[i], out[i].at, sizeof out[i].at))
            return i;
        if (is_mqtt(&c->target)
            && feed_mqtt_packet_size(&c->target.mqtt, &points[i], out[i].at) > MQTT_PACKET_MAX) {
            *unfit = i == 0;
            return i == 0 ? 1 : i;
        }
    }
    return n;
}

/* Points of one request, and where they end in the log: static, as one call needs them once. */
SpoolPoint g_points[FEED_BATCH_TOP];
uint64_t g_ends[FEED_BATCH_TOP];
FeedOutPoint g_out[FEED_BATCH_TOP];

/* Delivers from the head until the log is done, a try fails, or the drain time is used. */
void drain(Call *c)
{
    int first = 1;
    int single = c->spool.endpoint.headTries > 0;
    while (c->spool.count > 0 && !c->failed) {
        long long elapsed = feed_transport_now_ms() - c->startMs;
        if (!first && (elapsed >= (long long)c->settings.drainMs || call_left_ms(c) < kMinTryMs))
            return;
        first = 0;
        int unfit = 0;
        int n = next_batch(c, g_points, g_ends, g_out, single ? 1 : (int)c->settings.batchMax, &unfit);
        if (n == 0)
            return;
        if (unfit) {
            if (drop_unfit(c, &g_points[0], g_out[0].at, g_ends[0]) != 0)
                return;
            continue;
        }
        FeedSendResult r;
        send_points(c, g_out, n, 0, &r);
        if (r.confirmed > 0) {
            for (int i = 0; i < r.confirmed; i++)
                c->spool.counters.undated += g_out[i].at[0] == '\0';
            if (spool_confirm(&c->spool, g_ends[r.confirmed - 1]) != 0) {
                c->failed = 1;
                snprintf(c->last.error, sizeof c->last.error, "cannot write the spool state: %s", strerror(errno));
                c->last.kind = FEED_SEND_FAILED;
                return;
            }
            c->delivered += (uint64_t)r.confirmed;
        }
        if (r.kind == FEED_SEND_OK)
            continue;
        if (r.kind == FEED_SEND_POINT_REFUSED && n > 1 && !single) {
            single = 1;
            continue;
        }
        if (r.kind == FEED_SEND_POINT_REFUSED && r.confirmed == 0 && head_refused(c, &g_out[0], g_ends[0], &r))
            continue;
        if (r.kind != FEED_SEND_POINT_REFUSED || r.confirmed > 0) {
            c->last = r;
            c->failed = 1;
        }
    }
}

void note_error(Call *c, const char *text)
{
    c->spool.endpoint.lastErrorS = c->now.wallS;
    snprintf(c->spool.endpoint.lastError, sizeof c->spool.endpoint.lastError, "%s", text);
}

/* Not servable here: kept, said once. */
void not_ready(Call *c)
{
    SpoolEndpoint *e = &c->spool.endpoint;
    note_error(c, c->target.notReady);
    if (e->downSinceS == 0) {
        e->downSinceS = c->now.wallS != 0 ? c->now.wallS : 1;
        say("endpoint down (%s); points kept in %s", c->target.notReady, c->settings.spool);
    }
    e->target = 0;
}

/* The endpoint state after a call that tried the network. */
void after_try(Call *c)
{
    SpoolEndpoint *e = &c->spool.endpoint;
    FeedBackoff *b = &c->spool.backoff;
    e->target = c->target.hash;
    if (c->mqtt.fellBack)
        e->v311UntilS = c->now.wallS + kV311MemoryS;
    if (c->delivered > 0 || c->ownDelivered) {
        e->lastSuccessS = c->now.wallS;
        if (e->downSinceS != 0 || b->waitS != 0) {
            if (c->spool.count > 0)
                say("endpoint back, %llu points delivered, %llu still kept", (unsigned long long)c->delivered,
                    (unsigned long long)c->spool.count);
            else
                say("endpoint back, %llu points delivered", (unsigned long long)c->delivered);
        }
        e->downSinceS = 0;
        feed_backoff_delivered(b);
    }
    if (c->failed)
        note_error(c, c->last.error);
    if (!c->failed || c->delivered > 0 || c->ownDelivered)
        return;
    /* No transport here (curl missing): no network was tried, so no wait; said once. */
    if (c->last.kind == FEED_SEND_NO_TRANSPORT) {
        snprintf(c->target.notReady, sizeof c->target.notReady, "%s", c->last.error);
        not_ready(c);
        return;
    }
    /* A refused key waits no longer than the first wait: a new one may come with the next call. */
    uint32_t cap = c->last.kind == FEED_SEND_CREDENTIALS ? c->settings.retryMinS : c->settings.retryMaxS;
    uint32_t wait = feed_backoff_failed(b, c->now.bootId, c->now.bootMs, c->settings.retryMinS, cap,
                                        feed_random_system);
    if (e->downSinceS == 0) {
        e->downSinceS = c->now.wallS != 0 ? c->now.wallS : 1;
        say("endpoint down (%s); points kept in %s, next try in %u s", c->last.error, c->settings.spool, wait);
    }
}

/* The bound: the oldest points go when the spool holds more than FEED_SPOOL_MAX. */
int bound(Call *c)
{
    if (c->spool.count <= c->settings.spoolMax)
        return 0;
    uint64_t n = c->spool.count - c->settings.spoolMax;
    if (spool_drop_oldest(&c->spool, n) != 0)
        return -1;
    if (c->spool.endpoint.fullDrops == 0)
        say("spool full (%u points): dropping the oldest points", c->settings.spoolMax);
    c->spool.endpoint.fullDrops += (uint32_t)n;
    c->dropped += n;
    return 0;
}

void full_over(Call *c)
{
    SpoolEndpoint *e = &c->spool.endpoint;
    if (e->fullDrops > 0 && c->spool.count < c->settings.spoolMax && (c->delivered > 0 || c->ownDelivered)) {
        say("%u points dropped because the spool was full", e->fullDrops);
        e->fullDrops = 0;
    }
}

int known_down(const Call *c)
{
    const SpoolEndpoint *e = &c->spool.endpoint;
    if (e->target != c->target.hash)
        return 0;
    return feed_backoff_known_down(&c->spool.backoff, c->now.bootId, c->now.bootMs, c->settings.retryMaxS);
}

int exit_status(const Call *c)
{
    if (c->lost || c->dropped > 0)
        return FEED_EXIT_DROPPED;
    return c->ownDelivered ? FEED_EXIT_DELIVERED : FEED_EXIT_KEPT;
}

/* No spool to keep the point in: sent at once unless the endpoint is known down. */
int without_spool(Call *c, const char *why, int knownDown)
{
    if (c->target.ready && !knownDown && !c->settings.keepOnly && send_fresh(c)) {
        end_transport(c);
        say("cannot keep points in %s: %s; this point was delivered directly", c->settings.spool, why);
        return FEED_EXIT_DELIVERED;
    }
    end_transport(c);
    say("cannot keep the point in %s: %s; the point is lost", c->settings.spool, why);
    return FEED_EXIT_LOST;
}

/* A spool that cannot be opened: its state is still read for the endpoint, if it can be. */
int spool_failed(Call *c)
{
    char why[128];
    snprintf(why, sizeof why, "%s", strerror(errno));
    FeedSpool peeked;
    SpoolPoint oldest;
    int hasOldest = 0;
    int knownDown = 0;
    if (spool_peek(c->settings.spool, &peeked, &oldest, &hasOldest) == 0) {
        c->spool = peeked;
        knownDown = known_down(c);
    }
    return without_spool(c, why, knownDown);
}

int busy(Call *c)
{
    if (spool_inbox_put(c->settings.spool, &c->point) == 0)
        return FEED_EXIT_KEPT;
    char why[128];
    snprintf(why, sizeof why, "another run holds it, and its inbox: %s", strerror(errno));
    return without_spool(c, why, 0);
}

int kept_state_saved(Call *c, int status)
{
    if (spool_compact(&c->spool) < 0)
        say("cannot compact the log in %s: %s", c->settings.spool, strerror(errno));
    if (spool_save(&c->spool) != 0 && status != FEED_EXIT_DELIVERED) {
        /* The point is on the flash; only the endpoint's state is lost, and the next call makes it anew. */
        say("cannot write the state in %s: %s", c->settings.spool, strerror(errno));
    }
    spool_close(&c->spool);
    return status;
}

/*
 * This call's point cannot be appended (a full flash): the kept points go
 * first, as they are older; then this one, directly.
 */
int not_kept(Call *c, int down)
{
    char why[128];
    snprintf(why, sizeof why, "%s", strerror(errno));
    if (!down && !c->failed && c->target.ready && !c->settings.keepOnly)
        drain(c);
    int drained = c->spool.count == 0 && !c->failed;
    after_try(c);
    kept_state_saved(c, FEED_EXIT_LOST);
    return without_spool(c, why, down || !drained);
}

void begin_announce(Call *c)
{
    char at[24] = "";
    if (c->now.wallS >= g_feedBuildEpoch && feed_format_at(c->now.wallS, at, sizeof at) != 0)
        at[0] = '\0';
    int mqtt = c->target.ready && is_mqtt(&c->target);
    feed_announce_begin(&c->announce, mqtt ? &c->target.mqtt : nullptr, c->spool.dirFd, c->words.feed,
                        c->words.channel, c->settings.parameter, c->settings.expireAfterS, at);
}

/* The spool holds the lock: keep, try, save. */
int with_spool(Call *c)
{
    if (c->lost)
        say("the log in %s did not hold the points its state counts: they are lost", c->settings.spool);
    if (spool_inbox_merge(&c->spool) < 0)
        say("cannot take the inbox of %s: %s", c->settings.spool, strerror(errno));
    begin_announce(c);
    int down = known_down(c);
    int direct = c->spool.count == 0 && c->spool.endpoint.headTries == 0 && c->target.ready && !down
        && !c->settings.keepOnly;
    if (direct && send_fresh(c)) {
        c->ownDelivered = 1;
        end_transport(c);
        int64_t since = c->now.wallS - c->spool.endpoint.lastSuccessS;
        int changed = c->lost || c->spool.endpoint.downSinceS != 0 || c->spool.backoff.waitS != 0
            || c->spool.endpoint.fullDrops != 0 || c->spool.endpoint.target != c->target.hash
            || c->mqtt.fellBack || since < 0 || since >= kSuccessWriteS;
        after_try(c);
        full_over(c);
        if (!changed) {
            spool_close(&c->spool);
            return exit_status(c);
        }
        return kept_state_saved(c, exit_status(c));
    }
    if (spool_append(&c->spool, &c->point) != 0)
        return not_kept(c, down);
    if (bound(c) != 0)
        say("cannot drop the oldest points in %s: %s", c->settings.spool, strerror(errno));
    if (c->settings.keepOnly)
        return kept_state_saved(c, exit_status(c));
    if (!c->target.ready) {
        not_ready(c);
        return kept_state_saved(c, exit_status(c));
    }
    if (down && !c->failed) {
        spool_close(&c->spool);
        return exit_status(c);
    }
    if (!c->failed)
        drain(c);
    end_transport(c);
    c->ownDelivered = c->spool.count == 0 && !c->failed;
    after_try(c);
    full_over(c);
    return kept_state_saved(c, exit_status(c));
}

int status_main(const FeedSettings *settings);

} // namespace

int feed_run(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    static Call call;
    Call *c = &call;
    c->startMs = feed_transport_now_ms();
    char error[256];
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        feed_usage(stdout);
        return 0;
    }
    if (feed_settings_load(argv[0], &c->settings, error, sizeof error) != 0) {
        say("%s", error);
        return FEED_EXIT_REFUSED;
    }
    if (argc == 2 && strcmp(argv[1], "--status") == 0)
        return status_main(&c->settings);
    if (feed_words_parse(argc, argv, &c->words, error, sizeof error) != 0) {
        say("%s", error);
        return FEED_EXIT_REFUSED;
    }
    target_load(c);
    feed_time_now(&c->now);
    c->point.taken = c->now;
    memcpy(c->point.feed, c->words.feed, sizeof c->point.feed);
    memcpy(c->point.channel, c->words.channel, sizeof c->point.channel);
    memcpy(c->point.value, c->words.value, sizeof c->point.value);
    if (c->target.ready && is_mqtt(&c->target)) {
        size_t size = feed_mqtt_packet_size(&c->target.mqtt, &c->point, "YYYY-MM-DDTHH:MM:SSZ");
        if (size > MQTT_PACKET_MAX) {
            say("channel name and value too long for one MQTT message (more than %d bytes)", MQTT_PACKET_MAX);
            return FEED_EXIT_REFUSED;
        }
    }
    switch (spool_open(c->settings.spool, &c->spool)) {
    case SPOOL_BUSY:
        return busy(c);
    case SPOOL_FAILED:
        return spool_failed(c);
    case SPOOL_OPENED_LOST:
        c->lost = 1;
        return with_spool(c);
    case SPOOL_OPENED:
        return with_spool(c);
    }
    return FEED_EXIT_LOST;
}

namespace {

/* A wall time of the state as the status shows it. */
const char *shown_at(int64_t wallS, char *out, size_t size)
{
    if (wallS < g_feedBuildEpoch || feed_format_at(wallS, out, size) != 0)
        snprintf(out, size, "(the clock was not set)");
    return out;
}

int status_main(const FeedSettings *settings)
{
    static FeedSpool s;
    static SpoolPoint oldest;
    int hasOldest = 0;
    if (spool_peek(settings->spool, &s, &oldest, &hasOldest) != 0) {
        s = FeedSpool{};
        hasOldest = 0;
    }
    FeedPointTime now;
    feed_time_now(&now);
    int waiting = spool_inbox_count(settings->spool);
    printf("spool         %s\n", settings->spool);
    printf("points kept   %llu\n", (unsigned long long)(s.count + (uint64_t)waiting));
    int64_t atS = 0;
    char at[32];
    FeedDating dating = hasOldest ? feed_point_date(&oldest.taken, &now, g_feedBuildEpoch, &atS) : FEED_UNDATED;
    if (hasOldest && (dating == FEED_DATED || dating == FEED_REDATED) && feed_format_at(atS, at, sizeof at) == 0)
        printf("oldest point  %s (%lld s ago)\n", at, (long long)(now.wallS - atS));
    else if (hasOldest)
        printf("oldest point  taken before the clock was set\n");
    else
        printf("oldest point  none\n");
    printf("dropped       %llu (the spool holds %u points)\n", (unsigned long long)s.counters.dropped,
           settings->spoolMax);
    char when[32];
    if (s.endpoint.lastSuccessS != 0)
        printf("last success  %s\n", shown_at(s.endpoint.lastSuccessS, when, sizeof when));
    else
        printf("last success  never\n");
    if (s.endpoint.lastErrorS != 0)
        printf("last error    %s %s\n", shown_at(s.endpoint.lastErrorS, when, sizeof when), s.endpoint.lastError);
    else
        printf("last error    none\n");
    if (s.endpoint.downSinceS == 0) {
        printf("endpoint      up\n");
    } else {
        char since[32];
        shown_at(s.endpoint.downSinceS, since, sizeof since);
        if (feed_backoff_known_down(&s.backoff, now.bootId, now.bootMs, settings->retryMaxS))
            printf("endpoint      down since %s, next try in %lld s\n", since,
                   (long long)((s.backoff.deadlineMs - now.bootMs + 999) / 1000));
        else
            printf("endpoint      down since %s, next try at the next call\n", since);
    }
    printf("lost          %llu (times the log was found missing or cut short)\n",
           (unsigned long long)s.counters.lost);
    printf("undated       %llu (sent without a time: taken before the clock was set, in an earlier boot)\n",
           (unsigned long long)s.counters.undated);
    printf("dead letters  %llu (refused by the endpoint, in %s/dead)\n", (unsigned long long)s.counters.dead,
           settings->spool);
    if (s.endpoint.headTries > 0)
        printf("refused head  %u of %d tries (%s)\n", s.endpoint.headTries, FEED_REFUSALS_MAX, s.endpoint.headReason);
    FeedScheme scheme = feed_url_scheme(settings->url);
    int mqtt = scheme == FEED_SCHEME_MQTT || scheme == FEED_SCHEME_MQTTS;
    if (mqtt && v311_remembered(s.endpoint.v311UntilS, now.wallS))
        printf("protocol      MQTT 3.1.1 until %s (the broker refused MQTT 5)\n",
               shown_at(s.endpoint.v311UntilS, when, sizeof when));
    else if (mqtt)
        printf("protocol      MQTT 5, else 3.1.1\n");
    char shown[FEED_URL_MAX];
    feed_url_shown(settings->url, shown, sizeof shown);
    printf("endpoint URL  %s\n", shown);
    return 0;
}

} // namespace
