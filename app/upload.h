/*
 * upload.h - periodic sampling and feed upload.
 *
 * Offers:
 *   xively_timer_proc    one tick: samples the configured sensor, publishes the
 *                        values into AppContext.ChannelValue, sends a jump event
 *                        for every enabled channel that moved by more than 500,
 *                        uploads each enabled non-zero channel with feed_update
 *                        and rewrites the datastream file PIPE_FILE
 *   upload_tick_notify   the timer's notification routine: runs one tick, or
 *                        skips it while the previous one is still running (the
 *                        run of skips is logged once, with its count, when that
 *                        tick ends), or does nothing once ticks are stopped
 *   upload_ticks_start   lets notifications run ticks
 *   upload_ticks_stop    stops them and waits for a tick under way to finish;
 *                        after it returns no tick runs until the next start
 *   prev_sensor_data     the jump test's comparison base
 *
 * Ticks never overlap, so prev_sensor_data and the datastream file belong to
 * the one running tick and need no lock. Settings and names are copied from
 * AppContext under its lock at the start of a tick; ChannelValue is written
 * under it.
 */
#ifndef OMBRELLE_UPLOAD_H
#define OMBRELLE_UPLOAD_H

#include <signal.h>

#include "serial.h"

extern SensorRecord prev_sensor_data;

/* Seconds a tick waits after coreprobe before it reads the probe's file (5). A test seam (README, "Test seams"). */
extern unsigned upload_probe_settle_s;

void xively_timer_proc(union sigval value);
void upload_tick_notify(union sigval value);
void upload_ticks_start(void);
void upload_ticks_stop(void);

#endif
