#include "triggers.h"

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "appconfig.h"
#include "applog.h"
#include "feedupdate.h"
#include "shellcmd.h"

tsdk_handle in_trigger;
tsdk_handle mtrigger;

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
/* xively_send_trigger_message's result for a message that was not sent, as its error line shows it. */
enum { MESSAGE_NOT_SENT = -1, REASON_SIZE = 128 };
/*
 * run_feed_update's results when feed_update ran: it lost the point (already
 * logged), or a signal ended it before it said whether it kept the point.
 */
enum { MESSAGE_LOST = -100, MESSAGE_UNSURE = -101 };
/*
 * A keep-only run writes one point to the spool: milliseconds. Each gets at
 * most KEEP_RUN_BOUND_MS of what is left of TRIGGER_STOP_KEEP_MS, and none
 * starts with less than KEEP_RUN_MIN_MS left (it could only be killed).
 */
enum { KEEP_RUN_BOUND_MS = 1000, KEEP_RUN_MIN_MS = 50 };

/* What a handler needs of AppContext, copied under its lock. */
struct TriggerSettings {
    bool report;    /* this trigger's enable flag */
    bool feed;      /* XivelyEnabled */
    bool events;    /* AppEnabled */
    bool named;     /* the channel name is present and not empty */
    char name[CHANNEL_NAME_SIZE];
    char apikey[APIKEY_SIZE];
    char feedid[FEEDID_SIZE];
};

/*
 * One trigger message with the key and feed of the configuration it was made
 * under: "name state", the name being the first name_length bytes.
 */
struct FeedMessage {
    char apikey[APIKEY_SIZE];
    char feedid[FEEDID_SIZE];
    char text[TRIGGER_MESSAGE_SIZE];
    size_t name_length;
};

/*
 * The messages waiting for the sender, a ring of g_feed.count messages from
 * g_feed.first, and the sender's state; all under g_feed_lock, with
 * g_feed_changed telling any change. The lock is never held across a run or a
 * wait for anything but its condition.
 */
struct FeedQueue {
    FeedMessage ring[TRIGGER_FEED_QUEUE_SIZE];
    unsigned first, count;
    bool started;        /* a sender thread exists and is not joined */
    bool sending;        /* the sender took a message and is running feed_update */
    bool stopping;       /* trigger_feed_stop asked the sender to end */
    bool abandoned;      /* the runner refused a run: Ombrelle is stopping, the queue waits for the stop */
    bool full_reported;  /* this run of a full queue is logged */
    bool interrupted;    /* `cut` holds the message whose run the abort ended */
    FeedMessage cut;
    unsigned not_sent;   /* messages that found no room once the runner refused, or came after the stop */
    pthread_t thread;
};

pthread_mutex_t g_feed_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_feed_changed = PTHREAD_COND_INITIALIZER;
FeedQueue g_feed;

void read_trigger_settings(int32_t AppContext_t::*enabled, char *AppContext_t::*name, TriggerSettings *out)
{
    memset(out, 0, sizeof *out);
    AppContext_lock();
    out->report = AppContext.*enabled > 0;
    out->feed = AppContext.XivelyEnabled > 0;
    out->events = AppContext.AppEnabled > 0;
    copy_text(out->name, sizeof out->name, AppContext.*name);
    copy_text(out->apikey, sizeof out->apikey, AppContext.Apikey);
    copy_text(out->feedid, sizeof out->feedid, AppContext.FeedID);
    AppContext_unlock();
    out->named = out->name[0] != '\0';
}

/* The four words feed_update gets for a message: key, feed identifier, name and state text. */
struct MessageWords {
    char name[TRIGGER_MESSAGE_SIZE];
    const char *words[FEED_UPDATE_WORDS];
};

void words_of(const FeedMessage *m, MessageWords *w)
{
    memcpy(w->name, m->text, m->name_length);
    w->name[m->name_length] = '\0';
    w->words[0] = m->apikey;
    w->words[1] = m->feedid;
    w->words[2] = w->name;
    w->words[3] = m->text + m->name_length;
}

/*
 * Runs feed_update for one message: 0 when it ran to its end and the point was
 * delivered or kept (then logged as sent), MESSAGE_LOST when feed_update lost it
 * (logged), MESSAGE_UNSURE when a signal ended it (not logged: the caller may
 * run it again), else the runner's result.
 */
int run_feed_update(const FeedMessage *m)
{
    const char *home = getenv("TS_APP_HOME");
    if (home == NULL)
        return SHELLCMD_NOT_STARTED;
    MessageWords w;
    words_of(m, &w);
    int status;
    int rc = feed_update_run(home, w.words, &status);
    if (rc != 0)
        return rc;
    if (status == SHELLCMD_EXIT_SIGNAL)
        return MESSAGE_UNSURE;
    if (feed_status_lost(status)) {
        app_errlog("[Ombrelle]Feed message lost: feed_update exit %d (%s)\n", status, feed_status_meaning(status));
        return MESSAGE_LOST;
    }
    app_log("[Ombrelle]Trigger Value  = %s \n", m->text);
    return 0;
}

/* A run that ended without saying is a lost message only once no run follows: logged then. */
int settle_unsure(int rc)
{
    if (rc != MESSAGE_UNSURE)
        return rc;
    app_errlog("[Ombrelle]Feed message lost: feed_update exit %d (%s)\n", SHELLCMD_EXIT_SIGNAL,
               feed_status_meaning(SHELLCMD_EXIT_SIGNAL));
    return MESSAGE_LOST;
}

/*
 * A run killed at its bound, or ended by a signal, may have stopped before
 * feed_update kept the message, so it gets one more run: at worst the feed
 * gets it twice, as feed_update's own retries may. A refused run (stopping)
 * is counted by the caller.
 */
int send_feed_message(const FeedMessage *m)
{
    int rc = run_feed_update(m);
    if (rc == SHELLCMD_KILLED || rc == MESSAGE_UNSURE)
        rc = run_feed_update(m);
    rc = settle_unsure(rc);
    if (rc != 0 && rc != SHELLCMD_ABORTED && rc != MESSAGE_LOST)
        app_errlog("[Ombrelle]Error sending message packet: %d\n", MESSAGE_NOT_SENT);
    return rc;
}

/*
 * Where the name ends in a whole "name state" message: at its last blank
 * (states are single words, names may hold blanks), or the whole text.
 */
size_t name_length_of(const char *text)
{
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        --n;
    size_t end = n;
    while (n > 0 && text[n - 1] != ' ')
        --n;
    return n > 0 ? n - 1 : end;
}

/*
 * Takes messages in order and runs feed_update for each, one at a time, until
 * a stop. Once the runner refuses (Ombrelle is stopping) it takes no more: the
 * message it was running and those queued wait for trigger_feed_stop.
 */
void *feed_sender(void *)
{
    pthread_mutex_lock(&g_feed_lock);
    for (;;) {
        while ((g_feed.count == 0 || g_feed.abandoned) && !g_feed.stopping)
            pthread_cond_wait(&g_feed_changed, &g_feed_lock);
        if (g_feed.stopping)
            break;
        FeedMessage m = g_feed.ring[g_feed.first];
        g_feed.first = (g_feed.first + 1) % TRIGGER_FEED_QUEUE_SIZE;
        --g_feed.count;
        g_feed.sending = true;
        pthread_cond_broadcast(&g_feed_changed);
        pthread_mutex_unlock(&g_feed_lock);
        int rc = send_feed_message(&m);
        pthread_mutex_lock(&g_feed_lock);
        g_feed.sending = false;
        if (rc == SHELLCMD_ABORTED) {
            g_feed.abandoned = true;
            g_feed.interrupted = true;
            g_feed.cut = m;
        }
        if (g_feed.count == 0)
            g_feed.full_reported = false;
        pthread_cond_broadcast(&g_feed_changed);
    }
    pthread_mutex_unlock(&g_feed_lock);
    return NULL;
}

/* Under g_feed_lock: true once a sender runs. */
bool sender_running(void)
{
    if (!g_feed.started) {
        int rc = pthread_create(&g_feed.thread, NULL, feed_sender, NULL);
        if (rc != 0) {
            char reason[REASON_SIZE];
            app_errlog("[Ombrelle]Feed sender cannot start: %s\n", strerror_r(rc, reason, sizeof reason));
            return false;
        }
        g_feed.started = true;
    }
    return true;
}

/*
 * Hands a message to the sender. A full queue makes the caller wait for room
 * rather than lose the message; without a sender the caller sends it itself.
 */
void queue_feed_message(const FeedMessage *m)
{
    pthread_mutex_lock(&g_feed_lock);
    if (!g_feed.stopping && !g_feed.abandoned && !sender_running()) {
        pthread_mutex_unlock(&g_feed_lock);
        send_feed_message(m);
        return;
    }
    while (g_feed.count == TRIGGER_FEED_QUEUE_SIZE && !g_feed.abandoned && !g_feed.stopping) {
        if (!g_feed.full_reported) {
            g_feed.full_reported = true;
            app_errlog("[Ombrelle]Feed messages: %d waiting, the next trigger waits for room\n",
                       TRIGGER_FEED_QUEUE_SIZE);
        }
        pthread_cond_wait(&g_feed_changed, &g_feed_lock);
    }
    if (g_feed.stopping || g_feed.count == TRIGGER_FEED_QUEUE_SIZE) {
        ++g_feed.not_sent;
    } else {
        g_feed.ring[(g_feed.first + g_feed.count) % TRIGGER_FEED_QUEUE_SIZE] = *m;
        ++g_feed.count;
        pthread_cond_broadcast(&g_feed_changed);
    }
    pthread_mutex_unlock(&g_feed_lock);
}

/* The record need not be aligned: read it a byte at a time, little-endian. */
uint32_t state_word(const void *data)
{
    const unsigned char *b = (const unsigned char *)data;
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

/*
 * Queues "name state" for the feed when this report and the feed are on and a
 * name, a key and a feed ID are held (without a key or feed ID there is no feed
 * to send to).
 */
void send_trigger_message(const TriggerSettings *settings, const char *state_text)
{
    if (!settings->report || !settings->feed || !settings->named || settings->apikey[0] == '\0' ||
        settings->feedid[0] == '\0')
        return;
    FeedMessage m;
    memset(&m, 0, sizeof m);
    /* A name of at most 31 characters and a state of at most 6 always fit. */
    int n = snprintf(m.text, sizeof m.text, "%s %s", settings->name, state_text);
    if (n < 0 || (size_t)n >= sizeof m.text)
        return;
    m.name_length = strlen(settings->name);
    memcpy(m.apikey, settings->apikey, sizeof m.apikey);
    memcpy(m.feedid, settings->feedid, sizeof m.feedid);
    queue_feed_message(&m);
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
    FeedMessage m;
    memset(&m, 0, sizeof m);
    AppContext_lock();
    bool feed = AppContext.XivelyEnabled != 0;
    copy_text(m.apikey, sizeof m.apikey, AppContext.Apikey);
    copy_text(m.feedid, sizeof m.feedid, AppContext.FeedID);
    AppContext_unlock();
    bool present = m.apikey[0] != '\0' && m.feedid[0] != '\0';
    /* Without a key and feed ID (absent or empty) there is no feed to send to, as with the feed off. */
    if (!feed || !present)
        return 0;
    /* A message that does not fit is refused, never cut. */
    if (snprintf(m.text, sizeof m.text, "%s", message) >= (int)sizeof m.text)
        return MESSAGE_NOT_SENT;
    m.name_length = name_length_of(m.text);
    /* Sent when delivered or kept; not when lost, refused, never started or killed. */
    return settle_unsure(run_feed_update(&m)) == 0 ? 0 : MESSAGE_NOT_SENT;
}

void trigger_feed_wait_idle(void)
{
    pthread_mutex_lock(&g_feed_lock);
    while (g_feed.started && !g_feed.abandoned && (g_feed.count > 0 || g_feed.sending))
        pthread_cond_wait(&g_feed_changed, &g_feed_lock);
    pthread_mutex_unlock(&g_feed_lock);
}

namespace {

long ms_until(const struct timespec *deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)(deadline->tv_sec - now.tv_sec) * 1000 + (deadline->tv_nsec - now.tv_nsec) / 1000000;
}

/* feed_update keeps one message in its spool: true when it is kept (not lost, not refused, not killed). */
bool keep_feed_message(const FeedMessage *m, unsigned bound_ms)
{
    const char *home = getenv("TS_APP_HOME");
    if (home == NULL)
        return false;
    MessageWords w;
    words_of(m, &w);
    int status;
    return feed_update_keep(home, w.words, bound_ms, &status) == 0 && !feed_status_lost(status);
}

/* After the sender has ended: the next message not yet sent (the one the abort cut first), or false. */
bool take_unsent(FeedMessage *m)
{
    pthread_mutex_lock(&g_feed_lock);
    bool taken = g_feed.interrupted || g_feed.count > 0;
    if (g_feed.interrupted) {
        *m = g_feed.cut;
        g_feed.interrupted = false;
    } else if (g_feed.count > 0) {
        *m = g_feed.ring[g_feed.first];
        g_feed.first = (g_feed.first + 1) % TRIGGER_FEED_QUEUE_SIZE;
        --g_feed.count;
    }
    pthread_mutex_unlock(&g_feed_lock);
    return taken;
}

}  // namespace

void trigger_feed_stop(void)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += TRIGGER_STOP_KEEP_MS / 1000;
    deadline.tv_nsec += (long)(TRIGGER_STOP_KEEP_MS % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    pthread_mutex_lock(&g_feed_lock);
    g_feed.stopping = true;
    pthread_cond_broadcast(&g_feed_changed);
    bool started = g_feed.started;
    pthread_t thread = g_feed.thread;
    pthread_mutex_unlock(&g_feed_lock);
    if (started)
        pthread_join(thread, NULL);
    unsigned kept = 0, lost = 0;
    for (FeedMessage m; take_unsent(&m);) {
        long left = ms_until(&deadline);
        unsigned bound = left < KEEP_RUN_BOUND_MS ? (unsigned)left : (unsigned)KEEP_RUN_BOUND_MS;
        if (left >= KEEP_RUN_MIN_MS && keep_feed_message(&m, bound))
            ++kept;
        else
            ++lost;
    }
    pthread_mutex_lock(&g_feed_lock);
    lost += g_feed.not_sent;
    g_feed.first = g_feed.count = g_feed.not_sent = 0;
    g_feed.started = g_feed.sending = g_feed.stopping = g_feed.abandoned = g_feed.full_reported = false;
    pthread_mutex_unlock(&g_feed_lock);
    if (kept > 0)
        app_log("[Ombrelle]Kept %u queued feed messages for later delivery\n", kept);
    if (lost > 0)
        app_errlog("[Ombrelle]Lost %u queued feed messages\n", lost);
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
    /* The camera event first: it must not wait for the cloud. */
    if (settings.events) {
        send_app_event(INPUT_PAYLOAD, EVENT_STATE_NONE, INPUT_PAYLOAD_LEN);
        app_log("[Ombrelle]Sending Event %s\n", INPUT_PAYLOAD);
    }
    send_trigger_message(&settings, state == INPUT_STATE_CLOSED ? "Closed" : "Open");
    free(text);
    return 0;
}

void daynight_json_cb(int mode)
{
    app_log("[Ombrelle]Day/Night mode changed to %s\n", get_daynight_mode(mode));
    TriggerSettings settings;
    read_trigger_settings(&AppContext_t::DayNightEnabled, &AppContext_t::DayNightName, &settings);
    if (settings.events && send_app_event(DAYNIGHT_PAYLOAD, EVENT_STATE_NONE, DAYNIGHT_PAYLOAD_LEN) == 0)
        app_log("[Ombrelle]Sending Event %s\n", DAYNIGHT_PAYLOAD);
    send_trigger_message(&settings, mode == DAYNIGHT_DAY ? "Day" : "Night");
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
    if (settings.events && send_app_event(MOTION_PAYLOAD, state, MOTION_PAYLOAD_LEN) == 0)
        app_log("[Ombrelle]Sending Event %s\n", MOTION_PAYLOAD);
    /* The feed gets the opposite of the state: "0" while motion is reported. */
    send_trigger_message(&settings, state != 0 ? "0" : "1");
    free(text);
    return 0;
}
