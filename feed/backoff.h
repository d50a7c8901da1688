/*
 * backoff.h - how long the feed client leaves an endpoint alone after a
 * failed call.
 *
 * Waits are on the boot clock (CLOCK_BOOTTIME, milliseconds) tagged with the
 * boot id, so a wall-clock step neither stalls the retries nor fires them
 * early; a deadline of another boot is no deadline (that clock started anew).
 *
 * Decorrelated jitter: each wait is drawn between the first wait and three
 * times the previous one (three times the first wait for the first), capped; so cameras that lost their endpoint
 * together do not come back together, and the waits still grow.
 *
 * A call that delivered something is no failure: feed_backoff_delivered()
 * clears the wait, whatever else in that call failed.
 *
 * The record is plain data, kept in the spool's state by its owner (the run
 * that holds the spool lock); these functions hold no state of their own.
 */
#pragma once

#include <stdint.h>

enum { FEED_BOOT_ID_SIZE = 37 };

struct FeedBackoff {
    char bootId[FEED_BOOT_ID_SIZE]; /* the boot of the deadline; "" when none */
    int64_t deadlineMs;             /* boot-clock time before which no try starts */
    uint32_t waitS;                 /* the last wait drawn; 0 when the endpoint is not known down */
};

/* A random whole number from 0 to bound - 1 (bound > 0): the test seam of the jitter. */
typedef uint32_t (*feed_random_fn)(uint32_t bound);

/* The process's random source: random() seeded once from the boot clock and the pid. */
uint32_t feed_random_system(uint32_t bound);

/* Clears the wait: the endpoint is not known down. */
void feed_backoff_delivered(FeedBackoff *b);

/*
 * A call that delivered nothing: draws the next wait from minS (first wait)
 * up to maxS (cap; taken as minS when smaller) and sets the deadline to
 * nowMs + that wait in boot bootId. Returns the wait in seconds (0 when
 * minS is 0 and no wait came before: every call then tries).
 */
uint32_t feed_backoff_failed(FeedBackoff *b, const char *bootId, int64_t nowMs, uint32_t minS, uint32_t maxS,
                             feed_random_fn random);

/*
 * Whether a call at nowMs of boot bootId must leave the endpoint alone: 1
 * before the deadline of the same boot, else 0. A deadline further ahead than
 * maxS seconds (a state written by a run with other settings) counts as due.
 */
int feed_backoff_known_down(const FeedBackoff *b, const char *bootId, int64_t nowMs, uint32_t maxS);
