/*
 * reconfig.h - applying the configuration, and the handles it manages.
 *
 *   Update_App_Configurations  1 when both files were read and everything was
 *                              applied, 0 when it stopped early
 *   upload_timer_delete        stops the ticks and waits for one in progress;
 *                              deletes the upload timer if one exists and
 *                              then logs " Timer deleted"
 *   serial_reader_stop         stops and joins the RS-485 reader, if running
 * All three run on the main thread only.
 */
#ifndef OMBRELLE_RECONFIG_H
#define OMBRELLE_RECONFIG_H

#include <signal.h>
#include <time.h>

/* Creates the upload timer (timer_create). A test seam (README, "Test seams"). */
extern int (*upload_timer_create)(clockid_t clock, struct sigevent *event, timer_t *timer);

int Update_App_Configurations(void);
void upload_timer_delete(void);
void serial_reader_stop(void);

#endif
