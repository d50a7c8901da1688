#include "words.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

const char kDefaultUrl[] = "https://api.xively.com/v2";

struct SettingRow {
    const char *name;
    unsigned FeedSettings::*field;
    unsigned fallback, min, max;
    const char *meaning;
};

const SettingRow kFeedSettings[] = {
    {"FEED_SPOOL_MAX", &FeedSettings::spoolMax, 4608, 1, 1000000,
     "points the spool holds (4608: two days of 8 channels every 5 minutes)"},
    {"FEED_TIMEOUT_S", &FeedSettings::timeoutS, 5, 1, 5, "longest call that tries the network, seconds"},
    {"FEED_RETRY_MIN_S", &FeedSettings::retryMinS, 30, 0, 86400, "first wait once the endpoint is down, seconds"},
    {"FEED_RETRY_MAX_S", &FeedSettings::retryMaxS, 600, 0, 86400, "cap of the jittered wait between tries"},
    {"FEED_BATCH_MAX", &FeedSettings::batchMax, 200, 1, FEED_BATCH_TOP, "points per request"},
    {"FEED_DRAIN_MS", &FeedSettings::drainMs, 500, 0, 5000, "no further request starts later than this into a call"},
    {"FEED_EXPIRE_AFTER_S", &FeedSettings::expireAfterS, 1800, 60, 604800,
     "discovery's expire_after: silence before a channel shows unavailable, seconds"},
};

unsigned setting(const SettingRow &row)
{
    const char *text = getenv(row.name);
    if (text == nullptr || *text == '\0' || strspn(text, "0123456789") != strlen(text))
        return row.fallback;
    errno = 0;
    unsigned long long v = strtoull(text, nullptr, 10);
    if (errno != 0 || v > row.max)
        return row.max;
    return v < row.min ? row.min : (unsigned)v;
}

/* A parameter code from 0 to 9999, or -1 for none or anything else: a bad code must not cost the point. */
int parameter_code(const char *text)
{
    size_t n = text != nullptr ? strlen(text) : 0;
    if (n == 0 || n > 4 || strspn(text, "0123456789") != n)
        return -1;
    return atoi(text);
}

int refuse(char *error, size_t size, const char *text)
{
    snprintf(error, size, "%s", text);
    return -1;
}

bool feed_id_valid(const char *feed)
{
    return *feed != '\0' && strspn(feed, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~-")
        == strlen(feed);
}

bool key_valid(const char *key)
{
    if (*key == '\0')
        return false;
    for (const unsigned char *p = (const unsigned char *)key; *p != '\0'; p++)
        if (*p < 0x20 || *p > 0x7E)
            return false;
    return true;
}

/* Copies text into out[SPOOL_TEXT_MAX + 1]: 0, or -1 when it is longer. */
int copy_text(char *out, const char *text)
{
    size_t n = strlen(text);
    if (n > SPOOL_TEXT_MAX)
        return -1;
    memcpy(out, text, n + 1);
    return 0;
}

/* The channel name: argv[from..to) joined by one blank, or -1 when longer than SPOOL_TEXT_MAX. */
int join_channel(char **argv, int from, int to, char *out)
{
    size_t used = 0;
    for (int i = from; i < to; i++) {
        size_t n = strlen(argv[i]);
        size_t blank = i > from ? 1 : 0;
        if (used + blank + n > SPOOL_TEXT_MAX)
            return -1;
        if (blank)
            out[used++] = ' ';
        memcpy(out + used, argv[i], n);
        used += n;
    }
    out[used] = '\0';
    return 0;
}

void trim(char *text)
{
    size_t lead = strspn(text, " \t\r\n\v\f");
    size_t n = strlen(text + lead);
    memmove(text, text + lead, n + 1);
    while (n > 0 && strchr(" \t\r\n\v\f", text[n - 1]) != nullptr)
        text[--n] = '\0';
}

int home_of(const char *argv0, char *out, size_t size)
{
    const char *slash = strrchr(argv0, '/');
    if (slash != nullptr) {
        size_t n = slash == argv0 ? 1 : (size_t)(slash - argv0);
        if (n >= size)
            return -1;
        memcpy(out, argv0, n);
        out[n] = '\0';
        return 0;
    }
    /* Started through PATH: the folder of the executable itself. */
    char exe[FEED_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        snprintf(out, size, ".");
        return 0;
    }
    exe[n] = '\0';
    *strrchr(exe, '/') = '\0';
    return snprintf(out, size, "%s", exe[0] != '\0' ? exe : "/") < (int)size ? 0 : -1;
}

} // namespace

int feed_words_parse(int argc, char **argv, FeedWords *out, char *error, size_t size)
{
    *out = FeedWords{};
    if (argc < 5)
        return refuse(error, size, "usage: feed_update APIKEY FEEDID CHANNEL VALUE");
    out->key = argv[1];
    if (copy_text(out->feed, argv[2]) != 0 || !feed_id_valid(out->feed))
        return refuse(error, size, "invalid feed identifier");
    /* All zeros is the placeholder of the default configuration. */
    if (strspn(out->feed, "0") == strlen(out->feed)) {
        snprintf(error, size, "feed identifier %s is the unset placeholder", out->feed);
        return -1;
    }
    if (!key_valid(out->key))
        return refuse(error, size, "invalid API key");
    if (join_channel(argv, 3, argc - 1, out->channel) != 0)
        return refuse(error, size, "channel name longer than 255 bytes");
    if (out->channel[0] == '\0')
        return refuse(error, size, "empty channel name");
    const char *value = argv[argc - 1] + strspn(argv[argc - 1], " ");
    if (copy_text(out->value, value) != 0)
        return refuse(error, size, "value longer than 255 bytes");
    return 0;
}

int feed_settings_load(const char *argv0, FeedSettings *out, char *error, size_t size)
{
    *out = FeedSettings{};
    for (const SettingRow &row : kFeedSettings)
        out->*row.field = setting(row);
    if (out->retryMinS > out->retryMaxS)
        out->retryMinS = out->retryMaxS;
    const char *keep = getenv("FEED_KEEP_ONLY");
    out->keepOnly = keep != nullptr && strcmp(keep, "1") == 0;
    out->parameter = parameter_code(getenv("FEED_PARAMETER"));
    if (home_of(argv0, out->home, sizeof out->home) != 0)
        return refuse(error, size, "the path of feed_update is too long");
    const char *spool = getenv("FEED_SPOOL_DIR");
    int n = spool != nullptr && *spool != '\0' ? snprintf(out->spool, sizeof out->spool, "%s", spool)
                                               : snprintf(out->spool, sizeof out->spool, "%s/spool", out->home);
    if (n < 0 || (size_t)n >= sizeof out->spool)
        return refuse(error, size, "the spool path is too long");
    const char *cafile = getenv("FEED_CAFILE");
    if (cafile != nullptr && snprintf(out->cafile, sizeof out->cafile, "%s", cafile) >= (int)sizeof out->cafile)
        return refuse(error, size, "the FEED_CAFILE path is too long");
    const char *url = getenv("FEED_API_URL");
    if (url != nullptr && *url != '\0') {
        if (strlen(url) >= sizeof out->url)
            return refuse(error, size, "the feed URL is too long");
        memcpy(out->url, url, strlen(url) + 1);
    } else {
        char path[FEED_PATH_MAX + 16];
        snprintf(path, sizeof path, "%s/feed_url", out->home);
        feed_first_line(path, out->url, sizeof out->url);
    }
    trim(out->url);
    if (out->url[0] == '\0')
        snprintf(out->url, sizeof out->url, "%s", kDefaultUrl);
    size_t length = strlen(out->url);
    if (length > 0 && out->url[length - 1] == '/')
        out->url[length - 1] = '\0';
    return 0;
}

void feed_first_line(const char *path, char *out, size_t size)
{
    out[0] = '\0';
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return;
    if (fgets(out, (int)size, f) == nullptr)
        out[0] = '\0';
    fclose(f);
    out[strcspn(out, "\r\n")] = '\0';
}

void feed_usage(FILE *out)
{
    fputs("usage: feed_update APIKEY FEEDID CHANNEL... VALUE\n"
          "       feed_update --status\n"
          "\n"
          "Sends one reading or trigger message to the feed (HTTP through curl, or MQTT\n"
          "in the process), keeping every point the endpoint has not confirmed in the\n"
          "spool, to deliver it later, oldest first, with the time it was taken.\n"
          "With more than four words, the value is the last word and the channel name\n"
          "the words between the feed identifier and the value, joined by one blank.\n"
          "\n"
          "Exit status:\n"
          "  0  this point was delivered now\n"
          "  2  refused: bad words or an unusable feed identifier; nothing kept or sent\n"
          "  3  kept in the spool for a later call (endpoint down or refusing, backlog\n"
          "     still draining, another run holding the spool, FEED_KEEP_ONLY=1)\n"
          "  4  kept, but older points were dropped: the spool was full, or its log was\n"
          "     found missing or cut short (counted as lost)\n"
          "  5  neither delivered nor kept: this point is lost\n"
          "\n"
          "MQTT URLs:\n"
          "  mqtt://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX][?retain=0|1&keepalive=N]\n"
          "  mqtts://... the same over TLS 1.2, port 8883 by default, with also\n"
          "     cafile=PATH          CA bundle the broker's certificate must chain to\n"
          "     cert=PATH&key=PATH   client certificate and its key; a key file that\n"
          "                          others may read is refused\n"
          "  The broker's certificate must be valid now and name HOST; there is no\n"
          "  way to turn that off. A failed check keeps the points, like an endpoint down.\n"
          "  The clock must be set (NTP): a clock before the build date is refused.\n"
          "\n"
          "Environment (defaults in brackets):\n"
          "  FEED_API_URL      http(s)://..., mqtt://... or mqtts://... [first line of\n"
          "                    feed_url beside feed_update, else https://api.xively.com/v2]\n"
          "  FEED_CAFILE       CA bundle (PEM) for https:// and for mqtts:// without\n"
          "                    cafile= [/etc/ssl/certs/ca-certificates.crt; for https://\n"
          "                    curl's own when that file is missing]\n"
          "  FEED_SPOOL_DIR    the spool [spool/ beside feed_update]\n"
          "  FEED_KEEP_ONLY    1: keep the point, try no network (for a stopping caller)\n"
          "  FEED_PARAMETER    the channel's parameter code, remembered per channel in the\n"
          "                    spool for discovery: 10 humidity %, 20 illuminance lx,\n"
          "                    30 temperature \xc2\xb0" "C, 31 temperature \xc2\xb0" "F, 1 text (no unit);\n"
          "                    anything but a number up to 9999 is ignored\n",
          out);
    for (const SettingRow &row : kFeedSettings)
        fprintf(out, "  %-17s %s, %u to %u [%u]\n", row.name, row.meaning, row.min, row.max, row.fallback);
    fputs("\n"
          "MQTT URL: mqtt://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX][?OPTION&...]\n"
          "  retain=0|1        publish the points retained [0]\n"
          "  keepalive=N       the keep-alive, 1 to 65535 s [30]\n"
          "  discovery=homeassistant\n"
          "                    on each connection, before the points, the retained\n"
          "                    PREFIX/FEEDID/status {\"state\":\"online\",\"last\":\"TIME\"}, and\n"
          "                    once per channel (again when it changes) its retained\n"
          "                    config DISCOVERY_PREFIX/sensor/CLIENTID_CHANNEL/config\n"
          "  discovery_prefix=P  the discovery prefix [homeassistant]\n",
          out);
}
