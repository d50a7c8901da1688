/*
 * send.h - what a request to the endpoint carries and what came of it,
 * shared by the HTTP and the MQTT transport.
 */
#pragma once

#include "spool.h"

/* A point as it goes out: its time already judged ("" sends it without one). */
struct FeedOutPoint {
    const SpoolPoint *point;
    char at[24];
};

enum FeedSendKind {
    FEED_SEND_OK,            /* every point confirmed */
    FEED_SEND_CREDENTIALS,   /* the key, user or password refused: everything is kept */
    FEED_SEND_POINT_REFUSED, /* the endpoint refused what was sent, by itself (not the connection) */
    FEED_SEND_FAILED,        /* unreachable, timed out, broken or busy: try again later */
    FEED_SEND_NO_TRANSPORT,  /* this URL cannot be served here (no curl, an unknown scheme, ...) */
};

struct FeedSendResult {
    FeedSendKind kind;
    int confirmed;                  /* leading points confirmed, even when kind is not FEED_SEND_OK */
    char error[SPOOL_ERROR_MAX];    /* one line for the user; no secret in it */
    char reason[SPOOL_REASON_MAX];  /* the refusal, short ("HTTP 422"), for FEED_SEND_POINT_REFUSED */
};
