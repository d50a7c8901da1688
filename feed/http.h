/*
 * http.h - delivery to the feed service over HTTP(S): one PUT of a feed
 * document per request, made by curl, one run per request.
 *
 * curl gets its whole configuration on its standard input (--config -):
 * the URL, the headers with the key, and the body. Nothing of the key
 * stands on any command line, and no body file is written.
 *
 * Document (one request for each run of points of one feed):
 *   {"version":"1.0.0","datastreams":[{"id":"CH","current_value":"V"
 *   [,"datapoints":[{"at":"AT","value":"V"},...]]},...]}
 * A fresh point (this call's own, sent at once) is a plain current_value
 * update; kept points go as datapoints with their times (without "at" when
 * their time is not known), and each channel's newest is its current_value.
 *
 * Answers: 2xx delivered; 401 and 403 refuse the key; 408, 429 and 5xx
 * are the endpoint's trouble; any other 4xx refuses what was sent.
 */
#pragma once

#include "send.h"

/* The longest document sent at once; fewer points go when more would not fit. */
enum { FEED_HTTP_BODY_MAX = 65536 };

/*
 * Writes the document of the leading points of points[0..count) that share
 * the first one's feed into out[size]. Returns how many it holds (at least
 * 1 when count > 0 and size is at least FEED_HTTP_BODY_MAX), *length set.
 */
int feed_http_document(const FeedOutPoint *points, int count, int fresh, char *out, size_t size, size_t *length);

/*
 * PUTs the document of the leading points (as feed_http_document takes them)
 * to BASE/feeds/FEED.json with the key, through curl found on PATH; curl
 * gets cafile (a CA bundle, or null for its own) for https. Ends by the
 * deadline (CLOCK_MONOTONIC ms). *r->confirmed is the count sent on success.
 */
void feed_http_send(const char *base, const char *key, const char *cafile, const FeedOutPoint *points, int count,
                    int fresh, long long deadlineMs, FeedSendResult *r);
