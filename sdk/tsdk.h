/*
 * tsdk.h - the camera SDK interface that Ombrelle uses.
 *
 * Offers:
 *   tsdk_settings  the settings record the application fills before tsdk_init
 *   tsdk           the SDK state: the log stream and the day/night settings handle
 *   tsdk_errno     error number of the last failed call
 *   tsdk_init / tsdk_deinit                  0 = success / nothing
 *   tsdk_log / tsdk_errlog                   one printf-style line to the log stream
 *                                            (standard error while none is open)
 *   tsdk_settings_init / _deinit             day/night callback registration;
 *                                            null handle = failure unless tsdk_errno is 26
 *   tsdk_get_daynight_mode                   1 day, 2 night
 *   tsdk_trigger_subscribe / _unsubscribe    non-null handle = subscribed
 *   tsdk_motion_subscribe / _unsubscribe     non-null handle = subscribed
 *   tsdk_in_trigger_str / tsdk_motion_str    text the caller releases with free();
 *                                            tsdk_motion_str gives null when unparsable
 *   tsdk_event_send                          0 = sent, else an error code
 *
 * Callbacks run on a thread of the SDK, never on the caller's thread. Once an
 * unsubscribe or tsdk_settings_deinit has returned, its callback is not running
 * and is not called again.
 */
#ifndef TSDK_H
#define TSDK_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Errno value of tsdk_settings_init that still counts as success. */
enum { TSDK_ERR_SETTINGS_BUSY = 26 };

typedef void (*tsdk_daynight_cb)(int mode);
/* Trigger and motion callbacks: context (unused by Ombrelle), record, record length in bytes. */
typedef int (*tsdk_trigger_cb)(void *context, const void *data, size_t size);

typedef void *tsdk_handle;

struct tsdk_settings_t {
    const char *app_name;
    const char *vendor_name;
    int option;
    unsigned char option_b1;
    unsigned char option_b2;
    const char *log_path;
    const char *errlog_path;
    unsigned char daynight_flag;
    tsdk_daynight_cb daynight_cb;
};

struct tsdk_state_t {
    FILE *log;                /* the log stream: opened by tsdk_init, closed by tsdk_deinit,
                                 null outside; the application uses it only in between */
    tsdk_handle settings;     /* the application stores tsdk_settings_init's result here */
};

extern struct tsdk_settings_t tsdk_settings;
extern struct tsdk_state_t tsdk;
extern int tsdk_errno;

int tsdk_init(void);
void tsdk_deinit(void);

void tsdk_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void tsdk_errlog(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* callback: the address of tsdk_settings.daynight_cb. */
tsdk_handle tsdk_settings_init(tsdk_daynight_cb *callback);
void tsdk_settings_deinit(tsdk_handle handle);
int tsdk_get_daynight_mode(tsdk_handle handle);

tsdk_handle tsdk_trigger_subscribe(const char *name, tsdk_trigger_cb callback, int option);
void tsdk_trigger_unsubscribe(tsdk_handle handle);
tsdk_handle tsdk_motion_subscribe(tsdk_trigger_cb callback);
void tsdk_motion_unsubscribe(tsdk_handle handle);

char *tsdk_in_trigger_str(int input, const void *data);
char *tsdk_motion_str(const void *data);

int tsdk_event_send(const char *payload, int state, size_t length);

#ifdef __cplusplus
}
#endif

#endif
