/*
 * words.h - the command line and the environment of feed_update.
 *
 * Words: feed_update APIKEY FEEDID CHANNEL... VALUE. With more than four, the
 * value is the last word and the channel name is the words between the feed
 * identifier and the value, joined by one blank (Ombrelle itself hands over
 * exactly four, each whole). Blanks before the value are dropped: numbers
 * arrive right-aligned ("    23.5").
 *
 * Settings, each from its environment variable, clamped to its range (a
 * value that is not a whole number takes the default): see kFeedSettings in
 * words.cpp, which the usage text prints.
 */
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "endpoint.h"
#include "spool.h"

enum { FEED_PATH_MAX = 512 };

struct FeedWords {
    const char *key;                   /* printable ASCII: it goes into a request header */
    char feed[SPOOL_TEXT_MAX + 1];     /* letters, digits and ._~- : it goes into a URL path */
    char channel[SPOOL_TEXT_MAX + 1];
    char value[SPOOL_TEXT_MAX + 1];
};

/*
 * Reads argv[1..argc) into *out. Returns 0, or -1 with the refusal for the
 * user in error[size] (no word of it echoes the key).
 */
int feed_words_parse(int argc, char **argv, FeedWords *out, char *error, size_t size);

struct FeedSettings {
    char home[FEED_PATH_MAX];     /* the folder feed_update was started from */
    char spool[FEED_PATH_MAX];    /* FEED_SPOOL_DIR, else HOME/spool */
    char url[FEED_URL_MAX];       /* FEED_API_URL, else the first line of HOME/feed_url, else the default */
    char cafile[FEED_TLS_PATH_MAX]; /* FEED_CAFILE: the CA bundle of https:// and of mqtts:// without cafile=; "" */
    unsigned spoolMax;            /* FEED_SPOOL_MAX */
    unsigned timeoutS;            /* FEED_TIMEOUT_S */
    unsigned retryMinS;           /* FEED_RETRY_MIN_S */
    unsigned retryMaxS;           /* FEED_RETRY_MAX_S */
    unsigned batchMax;            /* FEED_BATCH_MAX */
    unsigned drainMs;             /* FEED_DRAIN_MS */
    unsigned expireAfterS;        /* FEED_EXPIRE_AFTER_S: Home Assistant's expire_after */
    int keepOnly;                 /* FEED_KEEP_ONLY=1: keep the point, try no network */
    int parameter;                /* FEED_PARAMETER: the channel's parameter code; -1 when not given */
};

/* The most points one request carries (FEED_BATCH_MAX's top). */
enum { FEED_BATCH_TOP = 256 };

/*
 * Fills *out from the environment and argv0 (the program's path; its folder
 * is the home). Returns 0, or -1 with a line for the user in error[size]
 * (a path or URL too long).
 */
int feed_settings_load(const char *argv0, FeedSettings *out, char *error, size_t size);

/* The first line of the file at path, without its line end, into out[size]; "" when absent or unreadable. */
void feed_first_line(const char *path, char *out, size_t size);

/* The usage text: the contract of the command line, the settings and the exit statuses. */
void feed_usage(FILE *out);
