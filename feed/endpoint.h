/*
 * endpoint.h - the feed URL: which transport serves it, where it points, and
 * how it may be shown.
 *
 * Shown form: what the status file and every printed line hold of a URL. The
 * userinfo (user and password) becomes "***", so no secret and nothing
 * derived from one is ever kept or printed; a URL of a scheme this client
 * does not serve is not echoed at all (it may be a mistyped secret).
 *
 * MQTT: mqtt://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX][?retain=0|1&keepalive=N
 *        &discovery=homeassistant&discovery_prefix=P]
 * USER, PASSWORD and PREFIX may be percent-encoded; the keep-alive is in
 * seconds, 1 to 65535, 30 when not given; the port 1883 when not given;
 * discovery and discovery_prefix as discovery.h says.
 *
 * MQTT over TLS: mqtts://... as above, port 8883 when not given, and three
 * more parameters, each a percent-encoded path: cafile=PATH (the CA bundle
 * the broker's certificate must chain to; none given: FEED_CAFILE, else the
 * system's bundle), cert=PATH and key=PATH (a client certificate and its
 * key, given both or neither). On mqtt:// these three are refused: a user
 * who names a CA expects TLS, and must not get a connection in clear.
 */
#pragma once

#include <stddef.h>

#include "discovery.h"

enum FeedScheme { FEED_SCHEME_UNKNOWN, FEED_SCHEME_HTTP, FEED_SCHEME_HTTPS, FEED_SCHEME_MQTT, FEED_SCHEME_MQTTS };

/* Room for a feed URL and for each of its decoded parts. */
enum {
    FEED_URL_MAX = 512,
    FEED_MQTT_KEEPALIVE_DEFAULT_S = 30,
    FEED_MQTT_DEFAULT_PORT = 1883,
    FEED_MQTTS_DEFAULT_PORT = 8883,
    FEED_TLS_PATH_MAX = 256,
};

struct FeedMqttEndpoint {
    char host[256];     /* a name, an IPv4 address, or an IPv6 one without its brackets */
    unsigned port;
    int hasUser;
    char user[256];     /* decoded */
    int hasPassword;
    char password[256]; /* decoded */
    char prefix[256];   /* decoded, with its trailing "/" when not empty */
    int retain;
    unsigned keepaliveS;
    int tls;                           /* mqtts:// */
    char cafile[FEED_TLS_PATH_MAX];    /* decoded; "" when not given (the caller may put FEED_CAFILE in) */
    char certfile[FEED_TLS_PATH_MAX];  /* decoded; "" when not given, else keyfile is given too */
    char keyfile[FEED_TLS_PATH_MAX];
    FeedDiscoveryUrl discovery;
};

/* The scheme of url, by its exact lower-case prefix ("http://", "mqtt://", ...). */
FeedScheme feed_url_scheme(const char *url);

/*
 * Writes the shown form of url into out[size]: userinfo as "***", and for an
 * unknown scheme only "(unsupported scheme)". Returns 0, or -1 when it does
 * not fit (out then holds "(too long)").
 */
int feed_url_shown(const char *url, char *out, size_t size);

/*
 * Splits an mqtt:// or mqtts:// URL into *out. Returns 0, or -1 with a line for the user
 * in error[errorSize] (the URL in it in its shown form); *out is then not to
 * be used.
 */
int feed_mqtt_parse(const char *url, FeedMqttEndpoint *out, char *error, size_t errorSize);
