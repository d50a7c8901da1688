/*
 * The stand-in camera SDK proper: log stream, settings, subscriptions, events.
 *
 * Subscriptions and the day/night callback are guarded by g_dispatch, which the
 * command thread also holds while it runs a callback: so an unsubscribe waits
 * for a callback in flight, and no callback starts after it returned. Callbacks
 * may call every SDK function except the (un)subscribe and settings calls.
 *
 * tsdk.log is guarded by g_log, held for a whole line: tsdk_deinit cannot close
 * the stream under a writer, and a line never goes half to the file and half
 * to standard error. g_log is taken after g_dispatch, never before it.
 */
#include "tsdk.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "sdksim.h"

struct tsdk_settings_t tsdk_settings;
struct tsdk_state_t tsdk;
int tsdk_errno;

namespace {

enum { MAX_SUBSCRIPTIONS = 8, TRIGGER_TEXT_SIZE = 64 };
enum { ERR_GENERIC = 5, ERR_EVENT = 7 };
enum { MODE_DAY = 1 };

struct Subscription {
    tsdk_handle handle;
    tsdk_trigger_cb callback;
};

/* All of these under g_dispatch. */
pthread_mutex_t g_dispatch = PTHREAD_MUTEX_INITIALIZER;
Subscription g_inputs[MAX_SUBSCRIPTIONS];
Subscription g_motions[MAX_SUBSCRIPTIONS];
tsdk_daynight_cb g_daynight;
uintptr_t g_next_handle;

std::atomic<int> g_mode{MODE_DAY};

pthread_mutex_t g_log = PTHREAD_MUTEX_INITIALIZER;

tsdk_handle new_handle(void)
{
    return (tsdk_handle)++g_next_handle;
}

tsdk_handle add_subscription(Subscription *table, tsdk_trigger_cb callback)
{
    tsdk_handle handle = NULL;
    pthread_mutex_lock(&g_dispatch);
    for (int i = 0; i < MAX_SUBSCRIPTIONS; ++i) {
        if (table[i].handle == NULL) {
            table[i].handle = handle = new_handle();
            table[i].callback = callback;
            break;
        }
    }
    pthread_mutex_unlock(&g_dispatch);
    if (handle == NULL)
        tsdk_errno = ERR_GENERIC;
    return handle;
}

void remove_subscription(Subscription *table, tsdk_handle handle)
{
    pthread_mutex_lock(&g_dispatch);
    for (int i = 0; i < MAX_SUBSCRIPTIONS; ++i) {
        if (handle != NULL && table[i].handle == handle)
            table[i] = Subscription{};
    }
    pthread_mutex_unlock(&g_dispatch);
}

void deliver(Subscription *table, const unsigned char *record, size_t size)
{
    pthread_mutex_lock(&g_dispatch);
    for (int i = 0; i < MAX_SUBSCRIPTIONS; ++i) {
        if (table[i].handle != NULL)
            table[i].callback(NULL, record, size);
    }
    pthread_mutex_unlock(&g_dispatch);
}

__attribute__((format(printf, 2, 0))) void vlog(const char *prefix, const char *format, va_list args)
{
    pthread_mutex_lock(&g_log);
    FILE *out = tsdk.log != NULL ? tsdk.log : stderr;
    flockfile(out);
    fputs(prefix, out);
    vfprintf(out, format, args);
    funlockfile(out);
    pthread_mutex_unlock(&g_log);
}

/* Opens the settings' log path; false when it cannot be opened. */
bool open_log(void)
{
    if (tsdk_settings.log_path == NULL)
        return true;
    FILE *log = fopen(tsdk_settings.log_path, "a");
    pthread_mutex_lock(&g_log);
    tsdk.log = log;
    pthread_mutex_unlock(&g_log);
    return log != NULL;
}

void close_log(void)
{
    pthread_mutex_lock(&g_log);
    if (tsdk.log != NULL)
        fclose(tsdk.log);
    tsdk.log = NULL;
    pthread_mutex_unlock(&g_log);
}

uint32_t first_word(const void *data)
{
    const unsigned char *b = (const unsigned char *)data;
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

char *text_of(const char *what, const void *data)
{
    char *text = (char *)malloc(TRIGGER_TEXT_SIZE);
    if (text != NULL)
        snprintf(text, TRIGGER_TEXT_SIZE, "%s state=0x%08x", what, (unsigned)first_word(data));
    return text;
}

}  // namespace

int tsdk_init(void)
{
    g_mode.store(MODE_DAY);
    sim_configure();
    sim_record_call("tsdk_init");
    if (sim_failing(SIM_FAIL_INIT)) {
        tsdk_errno = ERR_GENERIC;
        return -1;
    }
    if (!open_log()) {
        tsdk_errno = ERR_GENERIC;
        return -1;
    }
    if (sim_start() != 0) {
        tsdk_errlog("tsdk: simulation interface could not start\n");
        tsdk_deinit();
        return -1;
    }
    return 0;
}

void tsdk_deinit(void)
{
    sim_record_call("tsdk_deinit");
    sim_stop();
    pthread_mutex_lock(&g_dispatch);
    memset(g_inputs, 0, sizeof g_inputs);
    memset(g_motions, 0, sizeof g_motions);
    g_daynight = NULL;
    pthread_mutex_unlock(&g_dispatch);
    close_log();
}

void tsdk_log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlog("", format, args);
    va_end(args);
}

void tsdk_errlog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlog("ERROR ", format, args);
    va_end(args);
}

tsdk_handle tsdk_settings_init(tsdk_daynight_cb *callback)
{
    sim_record_call("tsdk_settings_init");
    if (sim_failing(SIM_FAIL_SETTINGS)) {
        tsdk_errno = ERR_GENERIC;
        return NULL;
    }
    tsdk_handle handle = NULL;
    pthread_mutex_lock(&g_dispatch);
    g_daynight = callback != NULL ? *callback : NULL;
    if (!sim_failing(SIM_FAIL_SETTINGS26))
        handle = new_handle();
    pthread_mutex_unlock(&g_dispatch);
    if (handle == NULL)
        tsdk_errno = TSDK_ERR_SETTINGS_BUSY;
    return handle;
}

void tsdk_settings_deinit(tsdk_handle)
{
    sim_record_call("tsdk_settings_deinit");
    pthread_mutex_lock(&g_dispatch);
    g_daynight = NULL;
    pthread_mutex_unlock(&g_dispatch);
}

int tsdk_get_daynight_mode(tsdk_handle)
{
    return g_mode.load();
}

tsdk_handle tsdk_trigger_subscribe(const char *name, tsdk_trigger_cb callback, int)
{
    sim_record_call("tsdk_trigger_subscribe %s", name != NULL ? name : "(null)");
    if (sim_failing(SIM_FAIL_INPUT) || callback == NULL) {
        tsdk_errno = ERR_GENERIC;
        return NULL;
    }
    return add_subscription(g_inputs, callback);
}

void tsdk_trigger_unsubscribe(tsdk_handle handle)
{
    sim_record_call("tsdk_trigger_unsubscribe");
    remove_subscription(g_inputs, handle);
}

tsdk_handle tsdk_motion_subscribe(tsdk_trigger_cb callback)
{
    sim_record_call("tsdk_motion_subscribe");
    if (sim_failing(SIM_FAIL_MOTION) || callback == NULL) {
        tsdk_errno = ERR_GENERIC;
        return NULL;
    }
    return add_subscription(g_motions, callback);
}

void tsdk_motion_unsubscribe(tsdk_handle handle)
{
    sim_record_call("tsdk_motion_unsubscribe");
    remove_subscription(g_motions, handle);
}

char *tsdk_in_trigger_str(int input, const void *data)
{
    char what[TRIGGER_TEXT_SIZE];
    snprintf(what, sizeof what, "Input %d trigger:", input);
    return text_of(what, data);
}

char *tsdk_motion_str(const void *data)
{
    if (sim_failing(SIM_FAIL_MOTIONSTR))
        return NULL;
    return text_of("Motion trigger:", data);
}

int tsdk_event_send(const char *payload, int state, size_t length)
{
    if (sim_failing(SIM_FAIL_EVENT) || payload == NULL)
        return ERR_EVENT;
    sim_record_event(payload, state, length);
    return 0;
}

void sdk_flush_log(void)
{
    pthread_mutex_lock(&g_log);
    if (tsdk.log != NULL)
        fflush(tsdk.log);
    pthread_mutex_unlock(&g_log);
}

void sdk_deliver_input(const unsigned char *record, size_t size)
{
    deliver(g_inputs, record, size);
}

void sdk_deliver_motion(const unsigned char *record, size_t size)
{
    deliver(g_motions, record, size);
}

void sdk_deliver_daynight(int mode)
{
    g_mode.store(mode);
    pthread_mutex_lock(&g_dispatch);
    if (g_daynight != NULL)
        g_daynight(mode);
    pthread_mutex_unlock(&g_dispatch);
}
