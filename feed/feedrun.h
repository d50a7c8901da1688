/*
 * feedrun.h - one run of feed_update, from its words to its exit status.
 *
 * A call takes the spool's lock, keeps the point (or, with an empty spool
 * and an endpoint not known down, sends it at once and keeps it only when
 * that fails), then delivers kept points oldest first while FEED_DRAIN_MS
 * lasts, within FEED_TIMEOUT_S in all. A run that finds the lock held leaves
 * its point in the spool's inbox and returns. While the endpoint is known
 * down (a jittered wait on the boot clock) a call only keeps its point and
 * starts no process. A spool that cannot be written does not stop delivery:
 * the point is sent at once unless the endpoint is known down.
 *
 * A point the endpoint refuses by itself (HTTP 4xx other than 401, 403, 408
 * and 429; a broker closing the connection on it) is sent alone on the next
 * tries, spaced by the backoff; after FEED_REFUSALS_MAX refusals it moves to
 * the dead letters with its reason and delivery goes on behind it. A refusal
 * of the key or of the MQTT credentials keeps everything.
 */
#pragma once

#include <stdio.h>

#include "feed_exit.h"

/* Tries a point refused by itself gets before it becomes a dead letter. */
enum { FEED_REFUSALS_MAX = 3 };

/* A point whose time is not known yet waits this long (boot clock) for the wall clock, then goes without one. */
enum { FEED_UNDATED_HOLD_MS = 3600 * 1000 };

/* The program: argv as main() gets it. Returns the exit status. */
int feed_run(int argc, char **argv);
