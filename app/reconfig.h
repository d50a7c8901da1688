/*
 * reconfig.h - applying the configuration, and the handles it manages.
 *
 *   Update_App_Configurations  1 when both files were read and everything was
 *                              applied, 0 when it stopped early
 *   upload_timer_delete        deletes the upload timer, if one exists, once a
 *                              tick in progress has finished; logs " Timer
 *                              deleted"
 *   serial_reader_stop         stops and joins the RS-485 reader, if running
 * All three run on the main thread only.
 */
#ifndef OMBRELLE_RECONFIG_H
#define OMBRELLE_RECONFIG_H

int Update_App_Configurations(void);
void upload_timer_delete(void);
void serial_reader_stop(void);

#endif
