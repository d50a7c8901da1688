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
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "appconfig.h"
#include "applog.h"
#include "ombrelle.h"
#include "serial.h"
#include "triggers.h"
#include "tsdk.h"
#include "uploadtimer.h"

namespace {

enum { DEFAULT_INTERVAL_MIN = 5, MAX_CHANNELS = 8, SECONDS_PER_MINUTE = 60 };

static_assert(sizeof(time_t) >= 8, "32-bit targets build with _TIME_BITS=64: times past January 2038");

/*
 * The kernel keeps a timer's expiry as now plus the period in signed 64-bit
 * nanoseconds of the monotonic clock: about 292 years. Half of that leaves the
 * other half for the time since boot, so the expiry never saturates.
 */
const int64_t MAX_PERIOD_S = INT64_MAX / 1000000000 / 2;

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

/* The period in seconds: IntervalinMin x 60 always fits a 64-bit time_t, and is clamped to MAX_PERIOD_S. */
time_t upload_period_s(int32_t minutes)
{
    if (minutes == 0)
        return 1;
    int64_t seconds = (int64_t)minutes * SECONDS_PER_MINUTE;
    return seconds > MAX_PERIOD_S ? MAX_PERIOD_S : (time_t)seconds;
}

/* A timer that exists is armed afresh, which restarts its period; a tick under way finishes undisturbed. */
void recreate_upload_timer(int32_t minutes)
{
    if (!upload_timer_exists() && upload_timer_create() != 0)
        fputs("Timer creation error\n", stderr);
    else if (upload_timer_arm(upload_period_s(minutes)) != 0)
        fputs("Timer setting error\n", stderr);
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

/*
 * The feed settings (all of the second file) of the last application whose
 * second file parsed. A failed read of that file publishes these with the new
 * first file, so that a settings writer caught half-way or a transient read
 * error does not stop a working feed. Owned by the main thread, where every
 * application runs; no lock.
 */
struct LastFeed {
    bool held;
    char apikey[APIKEY_SIZE];
    char feedid[FEEDID_SIZE];
    int32_t type, param, interval, number;
    int32_t enabled[APP_CHANNELS];
    int32_t chparam[APP_CHANNELS];
    char name[APP_CHANNELS][CHANNEL_NAME_SIZE];
};
LastFeed g_last_feed;

void keep_feed_settings(const AppContext_t &c)
{
    g_last_feed.held = true;
    copy_text(g_last_feed.apikey, sizeof g_last_feed.apikey, c.Apikey);
    copy_text(g_last_feed.feedid, sizeof g_last_feed.feedid, c.FeedID);
    g_last_feed.type = c.SensorType;
    g_last_feed.param = c.SensorParam;
    g_last_feed.interval = c.IntervalinMin;
    g_last_feed.number = c.ChannelNumber;
    for (int k = 0; k < APP_CHANNELS; ++k) {
        g_last_feed.enabled[k] = c.ChannelEnabled[k];
        g_last_feed.chparam[k] = c.ChannelParam[k];
        copy_text(g_last_feed.name[k], sizeof g_last_feed.name[k], c.ChannelName[k]);
    }
}

/* Into a text buffer of the staged record, when it has one (it has all of them while the feed is on). */
void put_text(char *buffer, size_t size, const char *text)
{
    if (buffer != NULL)
        copy_text(buffer, size, text);
}

/* The staged record is private to this thread until its commit: no lock. */
void restore_feed_settings(AppContext_t *next)
{
    put_text(next->Apikey, APIKEY_SIZE, g_last_feed.apikey);
    put_text(next->FeedID, FEEDID_SIZE, g_last_feed.feedid);
    next->SensorType = g_last_feed.type;
    next->SensorParam = g_last_feed.param;
    next->IntervalinMin = g_last_feed.interval;
    next->ChannelNumber = g_last_feed.number;
    for (int k = 0; k < APP_CHANNELS; ++k) {
        next->ChannelEnabled[k] = g_last_feed.enabled[k];
        next->ChannelParam[k] = g_last_feed.chparam[k];
        put_text(next->ChannelName[k], CHANNEL_NAME_SIZE, g_last_feed.name[k]);
    }
}

/*
 * The feed settings just restored, once published: a feed whose timer an
 * application with the feed off deleted gets it back, as its own application
 * made it (ranges as they were checked then, silently). A timer that exists
 * runs on as it was.
 */
void restore_upload_timer(void)
{
    if (!g_last_feed.held || upload_timer_exists() || g_last_feed.type < 0 || g_last_feed.type > 3)
        return;
    int32_t number = g_last_feed.number < 1 || g_last_feed.number > MAX_CHANNELS ? MAX_CHANNELS : g_last_feed.number;
    for (int k = 0; k < number; ++k) {
        if (g_last_feed.enabled[k] != 0) {
            recreate_upload_timer(g_last_feed.interval < 0 ? DEFAULT_INTERVAL_MIN : g_last_feed.interval);
            return;
        }
    }
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
    /* A second file that fails: the last one that parsed stands in for it, whole. */
    if (apply_file("html/xivelyconfig.xml", "[Ombrelle]Error Parsing Output configuration xml file \n", next) != 0) {
        if (g_last_feed.held)
            restore_feed_settings(next);
        AppContext_commit(next);
        restore_upload_timer();
        return 0;
    }
    keep_feed_settings(*next);
    if (next->SensorType < 0 || next->SensorType > 3) {
        app_log("[Ombrelle] Sensor type not supported!\n");
        AppContext_commit(next);
        return 0;
    }
    check_feed_ranges(next);
    int enabled = log_feed_settings(*next);
    AppContext_commit(next);
    if (enabled > 0)
        recreate_upload_timer(AppContext.IntervalinMin);
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

void upload_timer_delete(void)
{
    bool existed = upload_timer_exists();
    upload_timer_destroy();
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
