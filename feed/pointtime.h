/*
 * pointtime.h - when a point was taken, in a form that stays true on a
 * camera without a real-time clock.
 *
 * Each point keeps the wall time, the boot id and the boot-clock time
 * (CLOCK_BOOTTIME, which counts suspend and is never stepped) of the moment
 * it was taken. A wall time earlier than the program's build date means the
 * clock was not set yet (no NTP answer since power-up): such a point is
 * re-dated from a later call of the same boot whose clock is set, by the
 * boot-clock time between the two. One whose boot ended before that cannot be
 * re-dated: it goes out without a time and is counted as undated. No
 * consumer ever gets a 1970 time.
 *
 * The clocks and the boot id are read only through the table g_feedClock
 * points to: feed_clock_system, or a test's table that steps the clock. The
 * system table adds FEED_TEST_WALL_OFFSET_S (a variable only tests set, see
 * rootpath.h) to the wall clock, and reads the boot id under the root
 * prefix, so a test of the program steps the clock and starts a new boot.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "backoff.h"

struct FeedClockOps {
    int64_t (*wall_s)();                     /* CLOCK_REALTIME, seconds */
    int64_t (*boot_ms)();                    /* CLOCK_BOOTTIME, milliseconds */
    int (*boot_id)(char *out, size_t size);  /* this boot's id: 0, or -1 with out "" */
};

extern const FeedClockOps feed_clock_system;

/* The table in use. Owner: the process's single thread; no lock. */
extern const FeedClockOps *g_feedClock;

/* The program's build date (seconds since the epoch, UTC): the earliest wall time taken as set. */
extern const int64_t g_feedBuildEpoch;

struct FeedPointTime {
    int64_t wallS;
    int64_t bootMs;
    char bootId[FEED_BOOT_ID_SIZE];
};

/* The moment of the call, read through g_feedClock. A boot id that cannot be read is "". */
void feed_time_now(FeedPointTime *out);

enum FeedDating {
    FEED_DATED,    /* the point's own wall time is set */
    FEED_REDATED,  /* taken before the clock was set, dated from now through the boot clock */
    FEED_NOT_YET,  /* taken before the clock was set, and this boot's clock is still not set */
    FEED_UNDATED,  /* taken before the clock was set in a boot that has ended (or is unknown) */
};

/*
 * The time to send with point, judged at now against buildEpoch: *atS is set
 * for FEED_DATED and FEED_REDATED, left alone otherwise.
 */
FeedDating feed_point_date(const FeedPointTime *point, const FeedPointTime *now, int64_t buildEpoch, int64_t *atS);

/* Writes atS as "YYYY-MM-DDTHH:MM:SSZ" into out[size]. Returns 0, or -1 (out "") when it does not fit. */
int feed_format_at(int64_t atS, char *out, size_t size);
