#include "triggers.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "appconfig.h"
#include "applog.h"
#include "shellcmd.h"

tsdk_handle in_trigger;
tsdk_handle mtrigger;

/* Home, key, feed ID, message: the message splits into channel name and state text. */
#define FEED_UPDATE_FORMAT "%s/feed_update %s %s %s"

/* Every line ends with a line feed; a single blank without one closes the text. */
#define APP_EVENT_PAYLOAD(description)                         \
    "          CameraAppEventPayload:\n"                       \
    "\t  {\n"                                                  \
    "             vendorName:\"Tarvane Systems,Inc\", \n"      \
    "             eventName:\"Ombrelle\", \n"                  \
    "             eventState:\"1\", \n"                        \
    "             severity:\"info\", \n"                       \
    "             description:\"" description "\"\t\n"        \
    "          }\n"                                            \
    " "

const char SENSOR_OUTPUT_PAYLOAD[] = APP_EVENT_PAYLOAD("Ombrelle Sensor output trigger");
const size_t SENSOR_OUTPUT_PAYLOAD_LEN = sizeof SENSOR_OUTPUT_PAYLOAD - 1;

namespace {

const char INPUT_PAYLOAD[] = APP_EVENT_PAYLOAD("Ombrelle Input1 trigger");
const size_t INPUT_PAYLOAD_LEN = sizeof INPUT_PAYLOAD - 1;
const char DAYNIGHT_PAYLOAD[] = APP_EVENT_PAYLOAD("Ombrelle Day/Night trigger");
const size_t DAYNIGHT_PAYLOAD_LEN = sizeof DAYNIGHT_PAYLOAD - 1;
const char MOTION_PAYLOAD[] = APP_EVENT_PAYLOAD("Ombrelle Motion trigger");
const size_t MOTION_PAYLOAD_LEN = sizeof MOTION_PAYLOAD - 1;

const char INPUT1_TRIGGER[] = "tarvane.input1";
const char MOTION_TRIGGER[] = "tarvane.motion";

enum { INPUT1_NUMBER = 1, INPUT_STATE_CLOSED = 2, DAYNIGHT_DAY = 1, DAYNIGHT_NIGHT = 2 };
enum { STATE_WORD_SIZE = 4, EVENT_STATE_NONE = 0 };

/* What a handler needs of AppContext, copied under its lock. */
struct TriggerSettings {
    bool report;    /* this trigger's enable flag */
    bool feed;      /* XivelyEnabled */
    bool events;    /* AppEnabled */
    bool named;     /* the channel name is present and not empty */
    char name[CHANNEL_NAME_SIZE];
};

void read_trigger_settings(int32_t AppContext_t::*enabled, char *AppContext_t::*name, TriggerSettings *out)
{
    memset(out, 0, sizeof *out);
    AppContext_lock();
    out->report = AppContext.*enabled > 0;
    out->feed = AppContext.XivelyEnabled > 0;
    out->events = AppContext.AppEnabled > 0;
    copy_text(out->name, sizeof out->name, AppContext.*name);
    AppContext_unlock();
    out->named = out->name[0] != '\0';
}

/* The record need not be aligned: read it a byte at a time, little-endian. */
uint32_t state_word(const void *data)
{
    const unsigned char *b = (const unsigned char *)data;
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

/* Sends "name state" when this report and the feed are on and a name is held. */
void send_trigger_message(const TriggerSettings *settings, const char *state_text)
{
    if (!settings->report || !settings->feed || !settings->named)
        return;
    char message[TRIGGER_MESSAGE_SIZE];
    memset(message, 0, sizeof message);
    /* A name of at most 31 characters and a state of at most 6 always fit. */
    int n = snprintf(message, sizeof message, "%s %s", settings->name, state_text);
    if (n < 0 || (size_t)n >= sizeof message)
        return;
    int rc = xively_send_trigger_message(message);
    if (rc != 0)
        app_errlog("[Ombrelle]Error sending message packet: %d\n", rc);
}

int send_app_event(const char *payload, int state, size_t length)
{
    int rc = tsdk_event_send(payload, state, length);
    if (rc != 0)
        app_errlog("[Ombrelle]Error sending APP event: %d\n", rc);
    return rc;
}

/* Step 1. The settings are initialised again on every pass while enabled. */
int setup_daynight(const AppContext_t *settings)
{
    if (settings->DayNightEnabled <= 0) {
        tsdk_settings_deinit(tsdk.settings);
        tsdk_settings.daynight_cb = NULL;
        tsdk_settings.daynight_flag = 0;
        app_log("[Ombrelle]****Day/Night Trigger Report UnSubscribed****\n");
        return 0;
    }
    tsdk_settings.daynight_cb = daynight_json_cb;
    tsdk_settings.daynight_flag = 1;
    tsdk.settings = tsdk_settings_init(&tsdk_settings.daynight_cb);
    if (tsdk.settings == NULL && tsdk_errno != TSDK_ERR_SETTINGS_BUSY) {
        app_errlog("[Ombrelle]Day/Night cb setting failed!\n");
        return -1;
    }
    app_log("[Ombrelle]***********Day/Night Settings************\n");
    app_log("[Ombrelle]Current Day/Night mode is %s\n", get_daynight_mode(tsdk_get_daynight_mode(tsdk.settings)));
    app_log("[Ombrelle]*****************************************\n");
    app_log("[Ombrelle]****Day/Night Trigger Report Subscribed****\n");
    return 0;
}

/* Step 2. A held subscription is kept from pass to pass. */
int setup_motion(const AppContext_t *settings)
{
    if (settings->MotionDetectionEnabled <= 0) {
        if (mtrigger != NULL) {
            tsdk_motion_unsubscribe(mtrigger);
            mtrigger = NULL;
        }
        app_log("[Ombrelle]****Motion Trigger Report UnSubscribed****\n");
        return 0;
    }
    if (mtrigger == NULL)
        mtrigger = tsdk_motion_subscribe(motion_trigger_json_handler);
    if (mtrigger == NULL) {
        app_errlog("[Ombrelle]Subscription to %s failed\n", MOTION_TRIGGER);
        return -1;
    }
    app_log("[Ombrelle]Subscribed to %s.\n", MOTION_TRIGGER);
    app_log("[Ombrelle]****Motion Trigger Report Subscribed****\n");
    return 0;
}

/* Step 3. A held subscription is kept from pass to pass. */
int setup_input(const AppContext_t *settings)
{
    if (settings->Input1Enabled <= 0) {
        if (in_trigger != NULL) {
            tsdk_trigger_unsubscribe(in_trigger);
            in_trigger = NULL;
        }
        app_log("[Ombrelle]****Input Report UnSubscribed****\n");
        return 0;
    }
    if (in_trigger == NULL)
        in_trigger = tsdk_trigger_subscribe(INPUT1_TRIGGER, input_trigger_json_handler, 1);
    if (in_trigger == NULL) {
        app_errlog("[Ombrelle]Subscription to %s failed\n", INPUT1_TRIGGER);
        return -1;
    }
    app_log("[Ombrelle]****Input Report Subscribed****\n");
    return 0;
}

/* Step 4. The RS-485 sensor has no camera subscription to make. */
int setup_rs485(const AppContext_t *settings)
{
    if (settings->RS485Enabled > 0) {
        app_errlog("[Ombrelle]Subscription to RS485 failed\n");
        return -1;
    }
    app_log("[Ombrelle]****RS485 Report UnSubscribed****\n");
    return 0;
}

}  // namespace

const char *get_daynight_mode(int mode)
{
    if (mode == DAYNIGHT_DAY)
        return "day";
    if (mode == DAYNIGHT_NIGHT)
        return "night";
    return "unknown";
}

int setup_triggers_from(const AppContext_t *settings)
{
    int (*const steps[])(const AppContext_t *) = {setup_daynight, setup_motion, setup_input, setup_rs485};
    for (int (*step)(const AppContext_t *) : steps) {
        if (step(settings) != 0)
            return -1;
    }
    return 0;
}

/* The main thread is the only writer of AppContext's settings, so it reads them without the lock. */
int setup_triggers(void)
{
    return setup_triggers_from(&AppContext);
}

int xively_send_trigger_message(const char *message)
{
    if (message == NULL) {
        app_log("[Ombrelle]Message NULL Error!\n");
        return -1;
    }
    char apikey[APIKEY_SIZE] = "";
    char feedid[FEEDID_SIZE] = "";
    AppContext_lock();
    bool feed = AppContext.XivelyEnabled != 0;
    copy_text(apikey, sizeof apikey, AppContext.Apikey);
    copy_text(feedid, sizeof feedid, AppContext.FeedID);
    AppContext_unlock();
    bool present = apikey[0] != '\0' && feedid[0] != '\0';
    /* Without a key and feed ID (absent or empty) there is no feed to send to, as with the feed off. */
    if (!feed || !present)
        return 0;
    const char *home = getenv("TS_APP_HOME");
    if (home == NULL)
        return -1;
    /* A script that ran is taken as sent, whatever its exit status; one that never started or was killed is not. */
    if (shellcmd_run(FEED_UPDATE_FORMAT, home, apikey, feedid, message) != 0)
        return -1;
    app_log("[Ombrelle]Trigger Value  = %s \n", message);
    return 0;
}

int input_trigger_json_handler(void *, const void *data, size_t size)
{
    if (size != INPUT_RECORD_SIZE || data == NULL)
        return -1;
    char *text = tsdk_in_trigger_str(INPUT1_NUMBER, data);
    if (text != NULL)
        app_log("[Ombrelle]%s\n", text);
    uint32_t state = state_word(data);
    TriggerSettings settings;
    read_trigger_settings(&AppContext_t::Input1Enabled, &AppContext_t::Input1Name, &settings);
    send_trigger_message(&settings, state == INPUT_STATE_CLOSED ? "Closed" : "Open");
    if (settings.events) {
        send_app_event(INPUT_PAYLOAD, EVENT_STATE_NONE, INPUT_PAYLOAD_LEN);
        app_log("[Ombrelle]Sending Event %s\n", INPUT_PAYLOAD);
    }
    free(text);
    return 0;
}

void daynight_json_cb(int mode)
{
    app_log("[Ombrelle]Day/Night mode changed to %s\n", get_daynight_mode(mode));
    TriggerSettings settings;
    read_trigger_settings(&AppContext_t::DayNightEnabled, &AppContext_t::DayNightName, &settings);
    send_trigger_message(&settings, mode == DAYNIGHT_DAY ? "Day" : "Night");
    if (settings.events && send_app_event(DAYNIGHT_PAYLOAD, EVENT_STATE_NONE, DAYNIGHT_PAYLOAD_LEN) == 0)
        app_log("[Ombrelle]Sending Event %s\n", DAYNIGHT_PAYLOAD);
}

int motion_trigger_json_handler(void *, const void *data, size_t size)
{
    /* A record too short for its state word is as unreadable as one the SDK cannot render. */
    char *text = data != NULL && size >= STATE_WORD_SIZE ? tsdk_motion_str(data) : NULL;
    if (text == NULL) {
        app_errlog("[Ombrelle]Cannot parse motion data\n");
        return -1;
    }
    app_log("[Ombrelle]%s\n", text);
    int state = state_word(data) != 0 ? 1 : 0;
    app_log("[Ombrelle]Motion Alert:State = %d\n", state);
    TriggerSettings settings;
    read_trigger_settings(&AppContext_t::MotionDetectionEnabled, &AppContext_t::MotionDetectionName, &settings);
    /* The feed gets the opposite of the state: "0" while motion is reported. */
    send_trigger_message(&settings, state != 0 ? "0" : "1");
    if (settings.events && send_app_event(MOTION_PAYLOAD, state, MOTION_PAYLOAD_LEN) == 0)
        app_log("[Ombrelle]Sending Event %s\n", MOTION_PAYLOAD);
    free(text);
    return 0;
}
