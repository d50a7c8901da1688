/*
 * Applying the configuration: both files, the ranges, the trigger
 * subscriptions, the upload timer and the RS-485 reader toggle.
 *
 * Runs on the main thread only. The files are read into a staged copy of
 * AppContext and checked there; the copy is published in one step, on every
 * path that changes the settings, so trigger handlers and ticks see either
 * the configuration before this application or the one after it.
 */
#include "reconfig.h"

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "appconfig.h"
#include "applog.h"
#include "ombrelle.h"
#include "serial.h"
#include "triggers.h"
#include "tsdk.h"
#include "upload.h"

int (*upload_timer_create)(clockid_t clock, struct sigevent *event, timer_t *timer) = timer_create;

namespace {

enum { DEFAULT_INTERVAL_MIN = 5, MAX_CHANNELS = 8, SECONDS_PER_MINUTE = 60 };

/* The largest period a 32-bit time_t can carry, in minutes. */
const int32_t MAX_INTERVAL_MIN = INT32_MAX / SECONDS_PER_MINUTE;

/* Logs `message` with `replacement` and sets `field` to it (a macro so the format stays checked). */
#define REPLACE_SETTING(field, replacement, message) \
    do {                                             \
        app_log(message, replacement);               \
        (field) = (replacement);                     \
    } while (0)

#define CHECK_FLAG(field, message)               \
    do {                                         \
        if ((field) != 0 && (field) != 1)        \
            REPLACE_SETTING(field, 0, message);  \
    } while (0)

void check_report_ranges(AppContext_t *c)
{
    CHECK_FLAG(c->Input1Enabled, "[Ombrelle] Input1Enabled not in range ... setting to default %d\n");
    CHECK_FLAG(c->MotionDetectionEnabled, "[Ombrelle]MotionDetectionEnabled not in range ... setting to default %d\n");
    CHECK_FLAG(c->DayNightEnabled, "[Ombrelle]DayNightEnabled not in Range ... seting to default %d\n");
    CHECK_FLAG(c->RS485Enabled, "[Ombrelle]RS485Enabled not in range ... seting to default %d\n");
    app_log("[Ombrelle]Input1Enabled           = %d \n", c->Input1Enabled);
    app_log("[Ombrelle]MotionDetectionEnabled  = %d \n", c->MotionDetectionEnabled);
    app_log("[Ombrelle]DayNightEnabled         = %d \n", c->DayNightEnabled);
    app_log("[Ombrelle]RS485Enabled            = %d \n", c->RS485Enabled);
    app_log("[Ombrelle]Ext_thread            = %d \n", c->Ext_thread);
    CHECK_FLAG(c->XivelyEnabled, "[Ombrelle] XivelyEnabled not in range ... setting to default %d\n");
    CHECK_FLAG(c->AppEnabled, "[Ombrelle]AppEnabled not in range ... setting to default %d\n");
    app_log("[Ombrelle]Output XivelyEnabled  = %d \n", c->XivelyEnabled);
    app_log("[Ombrelle]Output AppEnabled     = %d \n", c->AppEnabled);
}

const char *text_or_empty(const char *text)
{
    return text != NULL ? text : "";
}

void log_report_names(const AppContext_t &c)
{
    if (c.XivelyEnabled != 1)
        return;
    if (c.Input1Enabled)
        app_log("[Ombrelle]Input1 Name            = %s \n", text_or_empty(c.Input1Name));
    if (c.MotionDetectionEnabled)
        app_log("[Ombrelle]MotionDetection Name   = %s \n", text_or_empty(c.MotionDetectionName));
    if (c.DayNightEnabled)
        app_log("[Ombrelle]DayNight Name          = %s \n", text_or_empty(c.DayNightName));
}

void check_feed_ranges(AppContext_t *c)
{
    if (c->IntervalinMin < 0)
        REPLACE_SETTING(c->IntervalinMin, DEFAULT_INTERVAL_MIN,
                        "[Ombrelle] Xively Interval not in range ... setting to default %d\n");
    if (c->ChannelNumber < 1 || c->ChannelNumber > MAX_CHANNELS)
        REPLACE_SETTING(c->ChannelNumber, MAX_CHANNELS,
                        "[Ombrelle] Xively Channel number not in range ... setting to MAX %d\n");
}

/* Logs the feed settings; returns the number of enabled channels. */
int log_feed_settings(const AppContext_t &c)
{
    app_log("[Ombrelle]Apikey = %s \n", text_or_empty(c.Apikey));
    app_log("[Ombrelle]FeedID = %s \n", text_or_empty(c.FeedID));
    app_log("[Ombrelle]Sensor Type    = %d\n", c.SensorType);
    app_log("[Ombrelle]Sensor Param= %d\n", c.SensorParam);
    app_log("[Ombrelle]IntervalinMin  = %d\n", c.IntervalinMin);
    app_log("[Ombrelle]Channel Number = %d\n", c.ChannelNumber);
    int enabled = 0;
    for (int k = 1; k <= c.ChannelNumber; ++k) {
        app_log("[Ombrelle]Channel%d Enabled= %d\n", k, c.ChannelEnabled[k - 1]);
        app_log("[Ombrelle]Channel%d Param= %d\n", k, c.ChannelParam[k - 1]);
        app_log("[Ombrelle]Channel%d Name   = %s \n", k, text_or_empty(c.ChannelName[k - 1]));
        if (c.ChannelEnabled[k - 1] != 0)
            ++enabled;
    }
    return enabled;
}

/* The period in seconds; a period beyond what time_t can hold on the camera is clamped. */
time_t upload_period_s(int32_t minutes)
{
    if (minutes == 0)
        return 1;
    if (minutes > MAX_INTERVAL_MIN)
        minutes = MAX_INTERVAL_MIN;
    return (time_t)minutes * SECONDS_PER_MINUTE;
}

/*
 * The expiry thread: the upload timer signals this one thread of ours, which
 * starts one tick thread for each expiry. glibc's own notification threads
 * (SIGEV_THREAD) are made behind the back of pthread_create, where thread
 * checkers cannot follow them. It lives while a timer exists, main thread only.
 */
struct ExpiryThread {
    pthread_t id;
    pid_t tid;                  /* the timer's target, valid once `ready` */
    bool ready;
    bool running;
    pthread_mutex_t lock;       /* over `tid` and `ready` during the start */
    pthread_cond_t started;
};
ExpiryThread g_expiry = {pthread_t(), 0, false, false, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER};

int expiry_signal(void)
{
    return SIGRTMIN;
}

void *run_tick(void *)
{
    union sigval none;
    none.sival_int = 0;
    upload_tick_notify(none);
    return NULL;
}

void start_tick_thread(void)
{
    pthread_attr_t attr;
    pthread_t tick;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_create(&tick, &attr, run_tick, NULL);
    pthread_attr_destroy(&attr);
}

/* Timer expiries come with SI_TIMER; the stop request is a signal sent to this thread. */
void *expiry_proc(void *)
{
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, expiry_signal());
    pthread_mutex_lock(&g_expiry.lock);
    g_expiry.tid = gettid();
    g_expiry.ready = true;
    pthread_cond_signal(&g_expiry.started);
    pthread_mutex_unlock(&g_expiry.lock);
    for (;;) {
        siginfo_t info;
        if (sigwaitinfo(&wanted, &info) < 0)
            continue;
        if (info.si_code != SI_TIMER)
            return NULL;
        start_tick_thread();
    }
}

/* Starts the thread with the signal blocked, so it is only ever taken by sigwaitinfo; 0 or -1. */
int expiry_thread_start(void)
{
    if (g_expiry.running)
        return 0;
    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, expiry_signal());
    pthread_sigmask(SIG_BLOCK, &block, &saved);
    g_expiry.ready = false;
    int rc = pthread_create(&g_expiry.id, NULL, expiry_proc, NULL);
    pthread_sigmask(SIG_SETMASK, &saved, NULL);
    if (rc != 0)
        return -1;
    pthread_mutex_lock(&g_expiry.lock);
    while (!g_expiry.ready)
        pthread_cond_wait(&g_expiry.started, &g_expiry.lock);
    pthread_mutex_unlock(&g_expiry.lock);
    g_expiry.running = true;
    return 0;
}

/* After it returns no new tick thread is started. */
void expiry_thread_stop(void)
{
    if (!g_expiry.running)
        return;
    pthread_kill(g_expiry.id, expiry_signal());
    pthread_join(g_expiry.id, NULL);
    g_expiry.running = false;
}

int create_upload_timer(void)
{
    if (expiry_thread_start() != 0)
        return -1;
    struct sigevent event;
    memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = expiry_signal();
    event.sigev_value.sival_int = 0;
    event._sigev_un._tid = g_expiry.tid;
    if (upload_timer_create(CLOCK_REALTIME, &event, &timer_id) == 0)
        return 0;
    expiry_thread_stop();
    return -1;
}

void recreate_upload_timer(void)
{
    /* A tick of the old timer that is under way finishes on its own. */
    if (timer_exists) {
        timer_delete(timer_id);
        timer_exists = false;
    }
    upload_ticks_start();
    if (create_upload_timer() != 0) {
        fputs("Timer creation error\n", stderr);
    } else {
        timer_exists = true;
        struct itimerspec spec;
        memset(&spec, 0, sizeof spec);
        spec.it_value.tv_sec = spec.it_interval.tv_sec = upload_period_s(AppContext.IntervalinMin);
        if (timer_settime(timer_id, 0, &spec, NULL) != 0)
            fputs("Timer setting error\n", stderr);
    }
    app_log("[Ombrelle] Timer deleted & updated\n");
}

void toggle_serial_reader(void)
{
    if (serial_thread_held) {
        serial_reader_stop();
        return;
    }
    if (pthread_create(&serial_thread_id, NULL, serial_proc, NULL) != 0)
        return;
    serial_thread_held = true;
    app_log("[Ombrelle] Serial proc updated\n");
}

int apply_file(const char *relative, const char *error, AppContext_t *next)
{
    char path[APP_CONFIG_PATH_SIZE];
    App_config_path(relative, path, sizeof path);
    if (App_parse_xml(path, next) == 0)
        return 0;
    app_errlog("%s", error);
    return -1;
}

/* The rest of an application, once the first file is in `next`; its result. */
int apply_staged(AppContext_t *next)
{
    check_report_ranges(next);
    log_report_names(*next);
    setup_triggers_from(next);
    if (next->XivelyEnabled == 0) {
        /* Before the commit: no tick runs on the settings of the feed switched off. */
        upload_timer_delete();
        AppContext_commit(next);
        return 0;
    }
    /* A second file that fails leaves the feed texts as the first one cleared them. */
    if (apply_file("html/xivelyconfig.xml", "[Ombrelle]Error Parsing Output configuration xml file \n", next) != 0) {
        AppContext_commit(next);
        return 0;
    }
    if (next->SensorType < 0 || next->SensorType > 3) {
        app_log("[Ombrelle] Sensor type not supported!\n");
        AppContext_commit(next);
        return 0;
    }
    check_feed_ranges(next);
    int enabled = log_feed_settings(*next);
    AppContext_commit(next);
    if (enabled > 0)
        recreate_upload_timer();
    if (AppContext.Ext_thread & 1)
        toggle_serial_reader();
    app_log("[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========\n");
    return 1;
}

}  // namespace

int Update_App_Configurations(void)
{
    app_log("[Ombrelle] ========= DYNAMIC CONFIGURATION STARTED =========\n");
    AppContext_t next;
    if (AppContext_stage(&next) != 0) {
        app_errlog("[Ombrelle]failed to allocate memory\n");
        return 0;
    }
    if (apply_file("html/configparams.xml", "[Ombrelle]Error Parsing configuration xml file \n", &next) != 0) {
        AppContext_discard(&next);
        return 0;
    }
    return apply_staged(&next);
}

/* Ticks are stopped whether or not a timer exists: a failed re-creation leaves the old timer's tick running. */
void upload_timer_delete(void)
{
    bool existed = timer_exists;
    if (existed) {
        timer_delete(timer_id);
        timer_exists = false;
    }
    expiry_thread_stop();
    upload_ticks_stop();
    if (existed)
        app_log("[Ombrelle] Timer deleted\n");
}

void serial_reader_stop(void)
{
    if (!serial_thread_held)
        return;
    serial_proc_stop(serial_thread_id);
    serial_thread_held = false;
}
