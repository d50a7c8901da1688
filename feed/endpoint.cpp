#include "endpoint.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct SchemeName {
    const char *prefix;
    FeedScheme scheme;
};

const SchemeName kSchemes[] = {
    {"http://", FEED_SCHEME_HTTP},
    {"https://", FEED_SCHEME_HTTPS},
    {"mqtt://", FEED_SCHEME_MQTT},
    {"mqtts://", FEED_SCHEME_MQTTS},
};

size_t scheme_length(const char *url)
{
    for (const SchemeName &s : kSchemes)
        if (strncmp(url, s.prefix, strlen(s.prefix)) == 0)
            return strlen(s.prefix);
    return 0;
}

/* The end of the authority: the first "/", "?" or "#" after the scheme, or the end. */
const char *authority_end(const char *authority)
{
    return authority + strcspn(authority, "/?#");
}

/* The userinfo's "@": the last one in the authority, or nullptr. */
const char *userinfo_at(const char *authority, const char *end)
{
    const char *at = nullptr;
    for (const char *p = authority; p < end; p++)
        if (*p == '@')
            at = p;
    return at;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Percent-decodes text[0..length) into out[size]: 0, or -1 on a bad or NUL escape, or no room. */
int pct_decode(const char *text, size_t length, char *out, size_t size)
{
    size_t n = 0;
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= length)
                return -1;
            int h = hex_value(text[i + 1]);
            int l = hex_value(text[i + 2]);
            if (h < 0 || l < 0 || (h == 0 && l == 0))
                return -1;
            c = (char)(h * 16 + l);
            i += 2;
        }
        if (n + 1 >= size)
            return -1;
        out[n++] = c;
    }
    out[n] = '\0';
    return 0;
}

int fail(char *error, size_t errorSize, const char *shown, const char *why)
{
    snprintf(error, errorSize, "invalid MQTT URL %s: %s", shown, why);
    return -1;
}

int host_valid(const char *host, size_t length, int bracketed)
{
    if (length == 0)
        return 0;
    const char *allowed = bracketed ? "0123456789abcdefABCDEF:." : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";
    return strspn(host, allowed) >= length;
}

/* Whole decimal number text[0..length) from 1 to max into *value: 0, or -1. */
int parse_number(const char *text, size_t length, unsigned long max, unsigned *value)
{
    if (length == 0 || length > 10)
        return -1;
    unsigned long v = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        v = v * 10 + (unsigned long)(text[i] - '0');
    }
    if (v < 1 || v > max)
        return -1;
    *value = (unsigned)v;
    return 0;
}

int parse_userinfo(const char *info, size_t length, FeedMqttEndpoint *out)
{
    const char *colon = static_cast<const char *>(memchr(info, ':', length));
    size_t userLength = colon != nullptr ? (size_t)(colon - info) : length;
    out->hasUser = 1;
    if (pct_decode(info, userLength, out->user, sizeof out->user) != 0)
        return -1;
    if (colon == nullptr)
        return 0;
    out->hasPassword = 1;
    return pct_decode(colon + 1, length - userLength - 1, out->password, sizeof out->password);
}

int parse_hostport(const char *hp, size_t length, unsigned defaultPort, FeedMqttEndpoint *out)
{
    const char *host = hp;
    size_t hostLength = length;
    const char *port = nullptr;
    int bracketed = hp[0] == '[';
    if (bracketed) {
        const char *close = static_cast<const char *>(memchr(hp, ']', length));
        if (close == nullptr)
            return -1;
        host = hp + 1;
        hostLength = (size_t)(close - host);
        if (close + 1 < hp + length) {
            if (close[1] != ':')
                return -1;
            port = close + 2;
        }
    } else {
        const char *colon = static_cast<const char *>(memchr(hp, ':', length));
        if (colon != nullptr) {
            hostLength = (size_t)(colon - hp);
            port = colon + 1;
        }
    }
    if (hostLength >= sizeof out->host)
        return -1;
    memcpy(out->host, host, hostLength);
    out->host[hostLength] = '\0';
    if (!host_valid(out->host, hostLength, bracketed))
        return -1;
    out->port = defaultPort;
    if (port == nullptr)
        return 0;
    return parse_number(port, (size_t)(hp + length - port), 65535, &out->port) == 0 ? 0 : -2;
}

const char kParameters[] = "only retain=0|1, keepalive=N, discovery=homeassistant, discovery_prefix=P, and for "
                           "mqtts:// cafile=PATH, cert=PATH and key=PATH";

/* The parameters that name a file, percent-decoded into their field. */
struct PathParameter {
    const char *name;
    char (FeedMqttEndpoint::*field)[FEED_TLS_PATH_MAX];
};

const PathParameter kPathParameters[] = {
    {"cafile", &FeedMqttEndpoint::cafile},
    {"cert", &FeedMqttEndpoint::certfile},
    {"key", &FeedMqttEndpoint::keyfile},
};

/* One parameter name=value (value may be null for a bare name): 0, or -1 with the error written. */
int parse_parameter(const char *name, size_t nameLength, const char *value, size_t valueLength,
                    FeedMqttEndpoint *out, char *error, size_t errorSize, const char *shown)
{
    char why[256];
    if (value != nullptr && nameLength == 6 && strncmp(name, "retain", 6) == 0 && valueLength == 1
        && (*value == '0' || *value == '1')) {
        out->retain = *value == '1';
        return 0;
    }
    if (value != nullptr && nameLength == 9 && strncmp(name, "keepalive", 9) == 0) {
        if (parse_number(value, valueLength, 65535, &out->keepaliveS) != 0)
            return fail(error, errorSize, shown, "the keep-alive is not a number of seconds from 1 to 65535");
        return 0;
    }
    for (const PathParameter &p : kPathParameters) {
        if (value == nullptr || nameLength != strlen(p.name) || strncmp(name, p.name, nameLength) != 0)
            continue;
        if (!out->tls) {
            snprintf(why, sizeof why, "%s= is for mqtts:// only: this URL would connect in clear", p.name);
            return fail(error, errorSize, shown, why);
        }
        char *field = out->*p.field;
        if (valueLength == 0 || pct_decode(value, valueLength, field, FEED_TLS_PATH_MAX) != 0) {
            snprintf(why, sizeof why, "%s= is not a path of 1 to %d bytes (percent-encoded)", p.name,
                     FEED_TLS_PATH_MAX - 1);
            return fail(error, errorSize, shown, why);
        }
        return 0;
    }
    size_t length = value != nullptr ? (size_t)(value + valueLength - name) : nameLength;
    char param[64 + FEED_DISCOVERY_PREFIX_MAX];
    if (length < sizeof param) {
        memcpy(param, name, length);
        param[length] = '\0';
        int d = feed_discovery_url_param(param, &out->discovery, why, sizeof why);
        if (d > 0)
            return 0;
        if (d < 0)
            return fail(error, errorSize, shown, why);
    }
    snprintf(why, sizeof why, "unknown parameter \"%.*s\" (%s)", length > 32 ? 32 : (int)length, name, kParameters);
    return fail(error, errorSize, shown, why);
}

int parse_query(const char *query, FeedMqttEndpoint *out, char *error, size_t errorSize, const char *shown)
{
    while (*query != '\0') {
        size_t length = strcspn(query, "&");
        const char *equals = static_cast<const char *>(memchr(query, '=', length));
        size_t nameLength = equals != nullptr ? (size_t)(equals - query) : length;
        if (length > 0) {
            const char *value = equals != nullptr ? equals + 1 : nullptr;
            size_t valueLength = equals != nullptr ? length - nameLength - 1 : 0;
            if (parse_parameter(query, nameLength, value, valueLength, out, error, errorSize, shown) != 0)
                return -1;
        }
        query += length;
        if (*query == '&')
            query++;
    }
    if ((out->certfile[0] == '\0') != (out->keyfile[0] == '\0'))
        return fail(error, errorSize, shown, "a client certificate comes with its key: give both cert= and key=");
    return 0;
}

int parse_prefix(const char *path, size_t length, FeedMqttEndpoint *out)
{
    while (length > 0 && path[length - 1] == '/')
        length--;
    if (pct_decode(path, length, out->prefix, sizeof out->prefix - 1) != 0)
        return -1;
    for (const char *p = out->prefix; *p != '\0'; p++)
        if (*p == '+' || *p == '#' || (unsigned char)*p < 0x20 || *p == 0x7f)
            return -2;
    size_t n = strlen(out->prefix);
    if (n > 0) {
        out->prefix[n] = '/';
        out->prefix[n + 1] = '\0';
    }
    return 0;
}

} // namespace

FeedScheme feed_url_scheme(const char *url)
{
    for (const SchemeName &s : kSchemes)
        if (strncmp(url, s.prefix, strlen(s.prefix)) == 0)
            return s.scheme;
    return FEED_SCHEME_UNKNOWN;
}

int feed_url_shown(const char *url, char *out, size_t size)
{
    size_t schemeLength = scheme_length(url);
    int n;
    if (schemeLength == 0) {
        n = snprintf(out, size, "%s", "(unsupported scheme)");
    } else {
        const char *authority = url + schemeLength;
        const char *end = authority_end(authority);
        const char *at = userinfo_at(authority, end);
        /* An "@" further on: most likely a password with "/" or "?" unencoded; mask up to it. */
        const char *late = strrchr(end, '@');
        if (late != nullptr)
            at = late;
        if (at == nullptr)
            n = snprintf(out, size, "%s", url);
        else
            n = snprintf(out, size, "%.*s***%s", (int)schemeLength, url, at);
    }
    if (n >= 0 && (size_t)n < size)
        return 0;
    snprintf(out, size, "%s", "(too long)");
    return -1;
}

int feed_mqtt_parse(const char *url, FeedMqttEndpoint *out, char *error, size_t errorSize)
{
    char shown[FEED_URL_MAX];
    feed_url_shown(url, shown, sizeof shown);
    *out = FeedMqttEndpoint{};
    out->keepaliveS = FEED_MQTT_KEEPALIVE_DEFAULT_S;
    feed_discovery_url_defaults(&out->discovery);
    FeedScheme scheme = feed_url_scheme(url);
    if (scheme != FEED_SCHEME_MQTT && scheme != FEED_SCHEME_MQTTS)
        return fail(error, errorSize, shown, "not an mqtt:// or mqtts:// URL");
    out->tls = scheme == FEED_SCHEME_MQTTS;
    for (const char *p = url; *p != '\0'; p++)
        if ((unsigned char)*p <= 0x20 || *p == 0x7f)
            return fail(error, errorSize, shown, "blanks and control characters must be percent-encoded");
    const char *authority = url + scheme_length(url);
    const char *end = authority_end(authority);
    if (strchr(end, '@') != nullptr)
        return fail(error, errorSize, shown, "an \"@\" after the host: percent-encode \"/\", \"?\" and \"@\" in the password");
    const char *at = userinfo_at(authority, end);
    const char *hostport = authority;
    if (at != nullptr) {
        if (parse_userinfo(authority, (size_t)(at - authority), out) != 0)
            return fail(error, errorSize, shown, "a \"%\" in the user or password is not followed by two hex digits");
        hostport = at + 1;
    }
    int r = parse_hostport(hostport, (size_t)(end - hostport), out->tls ? FEED_MQTTS_DEFAULT_PORT : FEED_MQTT_DEFAULT_PORT,
                           out);
    if (r == -1)
        return fail(error, errorSize, shown, "no usable host name or address");
    if (r == -2)
        return fail(error, errorSize, shown, "the port is not a number from 1 to 65535");
    const char *path = *end == '/' ? end + 1 : end;
    const char *query = strchr(path, '?');
    size_t pathLength = query != nullptr ? (size_t)(query - path) : strcspn(path, "#");
    r = parse_prefix(path, pathLength, out);
    if (r == -1)
        return fail(error, errorSize, shown, "a \"%\" in the prefix is not followed by two hex digits");
    if (r == -2)
        return fail(error, errorSize, shown, "the prefix holds \"+\", \"#\" or a control character");
    return parse_query(query != nullptr ? query + 1 : "", out, error, errorSize, shown);
}
