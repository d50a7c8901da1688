/*
 * Applying the configuration: both files into AppContext, the ranges, the
 * trigger subscriptions, the upload timer and the RS-485 reader toggle.
 *
 * Runs on the main thread only, which is also the only writer of the settings:
 * it reads them without the lock and takes the lock for each write, so readers
 * on other threads never see a value half set.
 */
#include "reconfig.h"

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "appconfig.h"
#include "ombrelle.h"
#include "serial.h"
#include "triggers.h"
#include "tsdk.h"
#include "upload.h"

namespace {

enum { DEFAULT_INTERVAL_MIN = 5, MAX_CHANNELS = 8, SECONDS_PER_MINUTE = 60 };

/* The largest period a 32-bit time_t can carry, in minutes. */
const int32_t MAX_INTERVAL_MIN = INT32_MAX / SECONDS_PER_MINUTE;

void flush_log(void)
{
    fflush(tsdk.log);
}

void set_setting(int32_t *field, int32_t value)
{
    AppContext_lock();
    *field = value;
    AppContext_unlock();
}

/* Logs `message` with `replacement` and sets `field` to it (a macro so the format stays checked). */
#define REPLACE_SETTING(field, replacement, message) \
    do {                                             \
        tsdk_log(message, replacement);              \
        set_setting(&(field), replacement);          \
    } while (0)

#define CHECK_FLAG(field, message)               \
    do {                                         \
        if ((field) != 0 && (field) != 1)        \
            REPLACE_SETTING(field, 0, message);  \
    } while (0)

void check_report_ranges(void)
{
    CHECK_FLAG(AppContext.Input1Enabled, "[Ombrelle] Input1Enabled not in range ... setting to default %d\n");
    CHECK_FLAG(AppContext.MotionDetectionEnabled,
               "[Ombrelle]MotionDetectionEnabled not in range ... setting to default %d\n");
    CHECK_FLAG(AppContext.DayNightEnabled, "[Ombrelle]DayNightEnabled not in Range ... seting to default %d\n");
    CHECK_FLAG(AppContext.RS485Enabled, "[Ombrelle]RS485Enabled not in range ... seting to default %d\n");
    tsdk_log("[Ombrelle]Input1Enabled           = %d \n", AppContext.Input1Enabled);
    tsdk_log("[Ombrelle]MotionDetectionEnabled  = %d \n", AppContext.MotionDetectionEnabled);
    tsdk_log("[Ombrelle]DayNightEnabled         = %d \n", AppContext.DayNightEnabled);
    tsdk_log("[Ombrelle]RS485Enabled            = %d \n", AppContext.RS485Enabled);
    tsdk_log("[Ombrelle]Ext_thread            = %d \n", AppContext.Ext_thread);
    CHECK_FLAG(AppContext.XivelyEnabled, "[Ombrelle] XivelyEnabled not in range ... setting to default %d\n");
    CHECK_FLAG(AppContext.AppEnabled, "[Ombrelle]AppEnabled not in range ... setting to default %d\n");
    tsdk_log("[Ombrelle]Output XivelyEnabled  = %d \n", AppContext.XivelyEnabled);
    tsdk_log("[Ombrelle]Output AppEnabled     = %d \n", AppContext.AppEnabled);
}

const char *text_or_empty(const char *text)
{
    return text != NULL ? text : "";
}

void log_report_names(void)
{
    if (AppContext.XivelyEnabled != 1)
        return;
    if (AppContext.Input1Enabled)
        tsdk_log("[Ombrelle]Input1 Name            = %s \n", text_or_empty(AppContext.Input1Name));
    if (AppContext.MotionDetectionEnabled)
        tsdk_log("[Ombrelle]MotionDetection Name   = %s \n", text_or_empty(AppContext.MotionDetectionName));
    if (AppContext.DayNightEnabled)
        tsdk_log("[Ombrelle]DayNight Name          = %s \n", text_or_empty(AppContext.DayNightName));
}

void check_feed_ranges(void)
{
    if (AppContext.IntervalinMin < 0)
        REPLACE_SETTING(AppContext.IntervalinMin, DEFAULT_INTERVAL_MIN,
                        "[Ombrelle] Xively Interval not in range ... setting to default %d\n");
    if (AppContext.ChannelNumber < 1 || AppContext.ChannelNumber > MAX_CHANNELS)
        REPLACE_SETTING(AppContext.ChannelNumber, MAX_CHANNELS,
                        "[Ombrelle] Xively Channel number not in range ... setting to MAX %d\n");
}

/* Logs the feed settings; returns the number of enabled channels. */
int log_feed_settings(void)
{
    tsdk_log("[Ombrelle]Apikey = %s \n", text_or_empty(AppContext.Apikey));
    tsdk_log("[Ombrelle]FeedID = %s \n", text_or_empty(AppContext.FeedID));
    tsdk_log("[Ombrelle]Sensor Type    = %d\n", AppContext.SensorType);
    tsdk_log("[Ombrelle]Sensor Param= %d\n", AppContext.SensorParam);
    tsdk_log("[Ombrelle]IntervalinMin  = %d\n", AppContext.IntervalinMin);
    tsdk_log("[Ombrelle]Channel Number = %d\n", AppContext.ChannelNumber);
    int enabled = 0;
    for (int k = 1; k <= AppContext.ChannelNumber; ++k) {
        tsdk_log("[Ombrelle]Channel%d Enabled= %d\n", k, AppContext.ChannelEnabled[k - 1]);
        tsdk_log("[Ombrelle]Channel%d Param= %d\n", k, AppContext.ChannelParam[k - 1]);
        tsdk_log("[Ombrelle]Channel%d Name   = %s \n", k, text_or_empty(AppContext.ChannelName[k - 1]));
        if (AppContext.ChannelEnabled[k - 1] != 0)
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

void recreate_upload_timer(void)
{
    /* A tick of the old timer that is under way finishes on its own. */
    if (timer_armed) {
        timer_delete(timer_id);
        timer_armed = false;
    }
    struct sigevent event;
    memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_THREAD;
    event.sigev_notify_function = upload_tick_notify;
    event.sigev_value.sival_int = 0;
    upload_ticks_start();
    if (timer_create(CLOCK_REALTIME, &event, &timer_id) != 0) {
        fputs("Timer creation error\n", stderr);
    } else {
        timer_armed = true;
        struct itimerspec spec;
        memset(&spec, 0, sizeof spec);
        spec.it_value.tv_sec = spec.it_interval.tv_sec = upload_period_s(AppContext.IntervalinMin);
        if (timer_settime(timer_id, 0, &spec, NULL) != 0)
            fputs("Timer setting error\n", stderr);
    }
    tsdk_log("[Ombrelle] Timer deleted & updated\n");
}

void toggle_serial_reader(void)
{
    if (serial_thread_running) {
        serial_reader_stop();
        return;
    }
    if (pthread_create(&serial_thread_id, NULL, serial_proc, NULL) != 0)
        return;
    serial_thread_running = true;
    tsdk_log("[Ombrelle] Serial proc updated\n");
    flush_log();
}

int apply_file(const char *relative, const char *error)
{
    char path[APP_CONFIG_PATH_SIZE];
    App_config_path(relative, path, sizeof path);
    if (App_parse_xml(path, &AppContext) == 0)
        return 0;
    tsdk_errlog("%s", error);
    flush_log();
    return -1;
}

}  // namespace

int Update_App_Configurations(void)
{
    tsdk_log("[Ombrelle] ========= DYNAMIC CONFIGURATION STARTED =========\n");
    if (apply_file("html/configparams.xml", "[Ombrelle]Error Parsing configuration xml file \n") != 0)
        return 0;
    check_report_ranges();
    log_report_names();
    flush_log();
    setup_triggers();
    if (AppContext.XivelyEnabled == 0) {
        upload_timer_delete();
        return 0;
    }
    if (apply_file("html/xivelyconfig.xml", "[Ombrelle]Error Parsing Output configuration xml file \n") != 0)
        return 0;
    if (AppContext.SensorType < 0 || AppContext.SensorType > 3) {
        tsdk_log("[Ombrelle] Sensor type not supported!\n");
        return 0;
    }
    check_feed_ranges();
    if (log_feed_settings() > 0)
        recreate_upload_timer();
    if (AppContext.Ext_thread & 1)
        toggle_serial_reader();
    flush_log();
    tsdk_log("[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========\n");
    flush_log();
    return 1;
}

void upload_timer_delete(void)
{
    if (!timer_armed)
        return;
    timer_delete(timer_id);
    timer_armed = false;
    upload_ticks_stop();
    tsdk_log("[Ombrelle] Timer deleted\n");
}

void serial_reader_stop(void)
{
    if (!serial_thread_running)
        return;
    pthread_cancel(serial_thread_id);
    pthread_join(serial_thread_id, NULL);
    serial_thread_running = false;
}
