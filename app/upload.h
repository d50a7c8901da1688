/*
 * upload.h - periodic sampling and feed upload.
 *
 * Offers:
 *   xively_timer_proc    one tick: samples the configured sensor, publishes the
 *                        values into AppContext.ChannelValue, sends a jump event
 *                        for every enabled channel that moved by more than 500,
 *                        uploads each enabled non-zero channel with feed_update
 *                        and rewrites the datastream file PIPE_FILE
 *   prev_sensor_data     the jump test's comparison base
 *
 * Ticks never overlap (the upload timer's one thread runs them, see
 * uploadtimer.h), so prev_sensor_data and the datastream file belong to the
 * one running tick and need no lock. Settings and names are copied from
 * AppContext under its lock at the start of a tick; ChannelValue is written
 * under it.
 */
#ifndef OMBRELLE_UPLOAD_H
#define OMBRELLE_UPLOAD_H

#include <signal.h>

#include "serial.h"

extern SensorRecord prev_sensor_data;

/*
 * Seconds a tick waits after coreprobe before it reads the probe's file (5).
 * A test seam (docs/testing.md, "Test seams").
 */
extern unsigned upload_probe_settle_s;

void xively_timer_proc(union sigval value);

#endif
