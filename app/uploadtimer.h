/*
 * uploadtimer.h - the upload timer: one thread of ours that sleeps on a
 * timerfd and a stop descriptor, and runs each tick (xively_timer_proc) itself.
 *
 * Offers, all for the main thread:
 *   upload_timer_create   makes the timer and its thread, not yet armed: 0, or
 *                         -1 when either cannot be made (nothing is left behind)
 *   upload_timer_arm      arms it: the first expiry after `period_s` seconds from
 *                         now, then every `period_s` seconds; arming again
 *                         restarts the period. 0, or -1 (the timer is then left
 *                         disarmed)
 *   upload_timer_destroy  ends the thread, waiting for a tick under way, and
 *                         closes the timer; nothing when there is none
 *   upload_timer_exists   whether a timer exists (created, not destroyed)
 *   upload_timer_gettime  time to the next expiry and the period: 0, or -1
 *                         when no timer exists
 *
 * Ticks never overlap: an expiry that passes while a tick runs is skipped and
 * counted, and that run of skips is logged once, with its count, when the tick
 * ends. Arming again does not disturb a tick in progress.
 *
 * The timer is on CLOCK_REALTIME, armed relative to now. Linux runs relative
 * timers of that clock on the monotonic clock, so setting the wall clock moves
 * no tick.
 *
 * The thread and both descriptors belong to the main thread, which alone
 * creates, arms and destroys; the tick thread only waits on the descriptors and
 * reads the timer's expiry count.
 */
#ifndef OMBRELLE_UPLOADTIMER_H
#define OMBRELLE_UPLOADTIMER_H

#include <sys/timerfd.h>
#include <time.h>

/* timerfd_create and timerfd_settime of the timer. Test seams (docs/testing.md, "Test seams"). */
extern int (*upload_timerfd_create)(int clock, int flags);
extern int (*upload_timerfd_settime)(int fd, int flags, const struct itimerspec *value, struct itimerspec *old);

int upload_timer_create(void);
int upload_timer_arm(time_t period_s);
void upload_timer_destroy(void);
bool upload_timer_exists(void);
int upload_timer_gettime(struct itimerspec *spec);

#endif
