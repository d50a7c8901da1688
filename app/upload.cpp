/*
 * The upload tick: sample, publish, jump events, feed uploads, datastream file.
 */
#include "upload.h"

#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "appconfig.h"
#include "applog.h"
#include "feedupdate.h"
#include "ombrelle.h"
#include "rootpath.h"
#include "shellcmd.h"
#include "triggers.h"
#include "tsdk.h"
#include "utf8text.h"

SensorRecord prev_sensor_data;
unsigned upload_probe_settle_s = 5;

namespace {

enum { PARAM_TEXT = 1, PARAM_HUMIDITY = 10, PARAM_LUX = 20, PARAM_CELSIUS = 30, PARAM_FAHRENHEIT = 31 };
enum { SENSOR_RADIO = 0, SENSOR_RS485 = 1, SENSOR_INTERNAL = 2, SENSOR_RECORD = 3 };
enum { JUMP_LIMIT = 500, PROBE_READ_BYTES = 8, REASON_SIZE = 128 };
enum { TEXT_SIZE = CHANNEL_VALUE_SIZE + 1 };
/* Any double in "%8.1f": up to 309 digits, a sign, a point and one decimal; too long a line is refused. */
enum { VALUE_WORD_SIZE = 320 };
/* A sampling's result: a stop is no reading, and no failure either. */
enum { SAMPLED = 0, SAMPLING_FAILED = -1, SAMPLING_ABORTED = -2 };

/* What one tick needs of AppContext, copied under its lock. */
struct TickSettings {
    int32_t xively;
    int32_t type;
    int32_t param;
    int channels;                                  /* 0 to APP_CHANNELS */
    int32_t enabled[APP_CHANNELS];
    int32_t chparam[APP_CHANNELS];
    char name[APP_CHANNELS][CHANNEL_NAME_SIZE];
    char apikey[APIKEY_SIZE];
    char feedid[FEEDID_SIZE];
    bool feed_texts;                               /* key and feed identifier present, not empty */
};

const char *app_home(void)
{
    const char *home = getenv("TS_APP_HOME");
    return home != NULL ? home : "";
}

void snapshot(TickSettings *s)
{
    memset(s, 0, sizeof *s);
    AppContext_lock();
    s->xively = AppContext.XivelyEnabled;
    s->type = AppContext.SensorType;
    s->param = AppContext.SensorParam;
    int32_t n = AppContext.ChannelNumber;
    s->channels = n < 0 ? 0 : n > APP_CHANNELS ? APP_CHANNELS : (int)n;
    for (int i = 0; i < s->channels; ++i) {
        s->enabled[i] = AppContext.ChannelEnabled[i];
        s->chparam[i] = AppContext.ChannelParam[i];
        copy_text(s->name[i], sizeof s->name[i], AppContext.ChannelName[i]);
    }
    copy_text(s->apikey, sizeof s->apikey, AppContext.Apikey);
    copy_text(s->feedid, sizeof s->feedid, AppContext.FeedID);
    AppContext_unlock();
    s->feed_texts = s->apikey[0] != '\0' && s->feedid[0] != '\0';
}

int sample_radio(const TickSettings &s, SensorRecord *work)
{
    RadioSample r;
    int rc = read_radio_sample(&r);
    if (rc != 0)
        return rc == SERIAL_ABORTED ? SAMPLING_ABORTED : SAMPLING_FAILED;
    for (int i = 0; i < s.channels; ++i) {
        switch (work->param[i]) {
        case PARAM_HUMIDITY: work->value[i] = r.humidity; break;
        case PARAM_LUX: work->value[i] = r.lux; break;
        case PARAM_CELSIUS: work->value[i] = (r.fahrenheit - 32.0) * 5.0 / 9.0; break;
        case PARAM_FAHRENHEIT: work->value[i] = r.fahrenheit; break;
        default:
            app_log("[Ombrelle]Invalid channel param! \n");
        }
    }
    app_log("[Ombrelle]Lux = %8.1f, Temperature  = %8.1f F, Humidity = %8.1f \n", r.lux, r.fahrenheit,
             r.humidity);
    return SAMPLED;
}

int sample_rs485(const TickSettings &s, SensorRecord *work)
{
    RS485Reading r;
    int rc = query_rs485_sensor(s.param, &r);
    if (rc != 0)
        return rc == SERIAL_ABORTED ? SAMPLING_ABORTED : SAMPLING_FAILED;
    int32_t p0 = work->param[0], p1 = work->param[1];
    if (p0 == PARAM_HUMIDITY) {
        work->value[0] = r.humidity;
        work->value[1] = p1 == PARAM_CELSIUS ? r.celsius_tenths : r.fahrenheit;
    } else {
        work->value[0] = p0 == PARAM_CELSIUS ? r.celsius_tenths : r.fahrenheit;
        work->value[1] = r.humidity;
    }
    for (int k = 0; k < s.channels - 2 && k < RS485_RAW_READINGS; ++k)
        work->value[k + 2] = r.raw[k];
    app_log("[Ombrelle]Temperature  = %d F, Humidity = %d \n", r.fahrenheit, r.humidity);
    return SAMPLED;
}

/* A probe run must leave a fresh reading: the old file goes before the probe runs. */
int sample_internal(const TickSettings &s, SensorRecord *work)
{
    char path[ROOT_PATH_MAX];
    root_path(INTERNAL_TEMP_PATH, path, sizeof path);
    unlink(path);
    /* Wrapping, not overflowing, for a parameter at the top of the range. */
    int32_t high = (int32_t)((uint32_t)s.param + 5u);
    if (shellcmd_run("H=%d L=%d %s/coreprobe", high, s.param, app_home()) == SHELLCMD_ABORTED ||
        shellcmd_pause(upload_probe_settle_s) == SHELLCMD_ABORTED)
        return SAMPLING_ABORTED;
    FILE *in = fopen(path, "r");
    if (in == NULL) {
        app_errlog("[Ombrelle]No internal sensor data available\n");
        return SAMPLING_FAILED;
    }
    char text[PROBE_READ_BYTES + 1] = "";
    size_t n = fread(text, 1, PROBE_READ_BYTES, in);
    text[n] = '\0';
    fclose(in);
    double c = strtod(text, NULL);
    work->value[0] = work->param[0] == PARAM_CELSIUS ? c : c * 1.8 + 32.0;
    app_log("[Ombrelle]Temperature  = %8.1f C\n", c);
    return SAMPLED;
}

int sample(const TickSettings &s, SensorRecord *work)
{
    switch (s.type) {
    case SENSOR_RADIO: return sample_radio(s, work);
    case SENSOR_RS485: return sample_rs485(s, work);
    case SENSOR_INTERNAL: return sample_internal(s, work);
    case SENSOR_RECORD: Serial_data_copy(work); return SAMPLED;
    default:
        app_errlog("[Ombrelle]Not supported Sensor type!\n");
        return SAMPLING_FAILED;
    }
}

/*
 * More than 500 apart once truncated toward zero. A NaN difference (a text
 * slot read as a double) is no jump; an infinite or huge one is.
 */
bool jumped(double now, double before)
{
    double d = trunc(now - before);
    return !isnan(d) && fabs(d) > JUMP_LIMIT;
}

void publish(const TickSettings &s, const SensorRecord &work)
{
    AppContext_lock();
    for (int i = 0; i < s.channels; ++i)
        memcpy(AppContext.ChannelValue[i], &work.value[i], CHANNEL_VALUE_SIZE);
    AppContext_unlock();
    for (int i = 0; i < s.channels; ++i) {
        if (s.enabled[i] != 0 && jumped(work.value[i], prev_sensor_data.value[i]))
            tsdk_event_send(SENSOR_OUTPUT_PAYLOAD, 0, SENSOR_OUTPUT_PAYLOAD_LEN);
    }
}

/*
 * Returns 0, or -1 when the tick must end without upload and file. A sampling
 * that a stop cut short publishes nothing: its zeros would be false jumps.
 */
int sample_and_publish(const TickSettings &s)
{
    SensorRecord work;
    memset(&work, 0, sizeof work);
    int enabled = 0;
    for (int i = 0; i < s.channels; ++i) {
        if (s.enabled[i] != 0) {
            work.param[i] = s.chparam[i];
            ++enabled;
        }
    }
    int status = enabled > 0 ? sample(s, &work) : SAMPLED;
    if (status == SAMPLING_ABORTED)
        return -1;
    if (status != SAMPLED)
        memset(work.value, 0, sizeof work.value);
    publish(s, work);
    prev_sensor_data = work;
    if (status == SAMPLED)
        return 0;
    app_errlog("[Ombrelle]Error Getting Sensor data \n");
    return -1;
}

struct ChannelOut {
    bool part;
    bool text;
    double value;
    char chars[TEXT_SIZE];
};

void channel_values(const TickSettings &s, ChannelOut *out)
{
    unsigned char slots[APP_CHANNELS][CHANNEL_VALUE_SIZE];
    AppContext_lock();
    memcpy(slots, AppContext.ChannelValue, sizeof slots);
    AppContext_unlock();
    for (int i = 0; i < s.channels; ++i) {
        memcpy(&out[i].value, slots[i], CHANNEL_VALUE_SIZE);
        memcpy(out[i].chars, slots[i], CHANNEL_VALUE_SIZE);
        out[i].chars[CHANNEL_VALUE_SIZE] = '\0';
        out[i].text = s.chparam[i] == PARAM_TEXT;
        /* A channel without a name has no feed id to go to. */
        out[i].part = s.enabled[i] != 0 && out[i].value != 0.0 && s.name[i][0] != '\0';
    }
}

/* Names and text values in a log line: a peer's bytes must not start a line of their own. */
void log_channel(int n, const char *name, const ChannelOut &out)
{
    static_assert((int)TEXT_SIZE <= (int)CHANNEL_NAME_SIZE, "one buffer shows the name and the text value");
    char shown[UTF8_LOG_SIZE(CHANNEL_NAME_SIZE)];
    utf8_log_text(name, strlen(name), shown, sizeof shown);
    app_log("[Ombrelle]Channel%d Name   = %s \n", n, shown);
    if (!out.text) {
        app_log("[Ombrelle]Channel%d Value  = %8.1f \n", n, out.value);
        return;
    }
    utf8_log_text(out.chars, strlen(out.chars), shown, sizeof shown);
    app_log("[Ombrelle]Channel%d Value  = %s \n", n, shown);
}

/* One channel's point to the feed: the runner's result; a point feed_update lost is logged. */
int upload_channel(const char *home, const TickSettings &s, int i, const ChannelOut &out)
{
    char number[VALUE_WORD_SIZE];
    snprintf(number, sizeof number, "%8.1f", out.value);
    const char *const words[FEED_UPDATE_WORDS] = {s.apikey, s.feedid, s.name[i], out.text ? out.chars : number};
    /* The code goes beside the four words, so that feed_update can tell what the channel measures. */
    char code[32];
    snprintf(code, sizeof code, "FEED_PARAMETER=%d", (int)s.chparam[i]);
    const char *const env[] = {code};
    const ShellRunOptions options = {env, 1, 0, false};
    int status;
    int rc = feed_update_run_with(home, words, &options, &status);
    if (rc == 0 && feed_status_lost(status))
        app_errlog("[Ombrelle]Channel%d upload lost: feed_update exit %d (%s)\n", i + 1, status,
                   feed_status_meaning(status));
    return rc;
}

void upload(const TickSettings &s, const ChannelOut *out)
{
    const char *home = app_home();
    for (int i = 0; i < s.channels; ++i) {
        if (!out[i].part)
            continue;
        int rc = s.feed_texts ? upload_channel(home, s, i, out[i]) : 0;
        /* Stopping: the other channels would only be refused, one log line each. */
        if (rc == SHELLCMD_ABORTED)
            return;
        log_channel(i + 1, s.name[i], out[i]);
    }
}

/*
 * Whether the last write of the datastream file failed: owned by the tick
 * thread, no lock, since ticks never run two at once.
 */
bool g_datastreams_failing;

/* Opens the file beside PIPE_FILE, making PIPE_DIR again when it went missing. */
FILE *open_beside(const char *temp)
{
    FILE *f = fopen(temp, "w");
    if (f == NULL && errno == ENOENT && mkdir(PIPE_DIR, 0755) == 0)
        f = fopen(temp, "w");
    return f;
}

/* Logs a change between written and failing once: a file that stays unwritable is one line, not one a tick. */
void note_datastreams_written(bool written, int err)
{
    if (written == !g_datastreams_failing)
        return;
    g_datastreams_failing = !written;
    if (written) {
        app_log("[Ombrelle]File %s written again\n", PIPE_FILE);
        return;
    }
    char reason[REASON_SIZE];
    app_errlog("[Ombrelle]Error writing file %s: %s\n", PIPE_FILE, strerror_r(err, reason, sizeof reason));
}

/* Written beside the file and renamed over it, so a reader never sees half a document: 0, or the errno. */
int write_datastreams(const TickSettings &s, const ChannelOut *out)
{
    char temp[ROOT_PATH_MAX + 4];
    snprintf(temp, sizeof temp, "%s.new", PIPE_FILE);
    FILE *f = open_beside(temp);
    if (f == NULL) {
        int err = errno;
        fprintf(stderr, "Error opening file %s \n", PIPE_FILE);
        return err;
    }
    fputs("{\"datastreams\":[", f);
    const char *separator = "";
    for (int i = 0; i < s.channels; ++i) {
        if (!out[i].part)
            continue;
        /* Valid UTF-8 JSON whatever bytes a peer's slot or a configured name holds. */
        char name[UTF8_JSON_SIZE(CHANNEL_NAME_SIZE)];
        utf8_json_string(s.name[i], strlen(s.name[i]), name, sizeof name);
        if (out[i].text) {
            char value[UTF8_JSON_SIZE(TEXT_SIZE)];
            utf8_json_string(out[i].chars, strlen(out[i].chars), value, sizeof value);
            fprintf(f, "%s{\"current_value\":\"%s\",\"id\":\"%s\"}", separator, value, name);
        } else {
            fprintf(f, "%s{\"current_value\":\"%8.1f\",\"id\":\"%s\"}", separator, out[i].value, name);
        }
        separator = ",";
    }
    fputs("]}", f);
    bool written = fflush(f) == 0 && ferror(f) == 0;
    int err = written ? 0 : errno;
    if (fclose(f) != 0 && written) {
        written = false;
        err = errno;
    }
    if (written && rename(temp, PIPE_FILE) != 0) {
        written = false;
        err = errno;
    }
    if (!written) {
        fprintf(stderr, "Error opening file %s \n", PIPE_FILE);
        unlink(temp);
        return err != 0 ? err : EIO;
    }
    return 0;
}

}  // namespace

void xively_timer_proc(union sigval)
{
    TickSettings s;
    snapshot(&s);
    if (s.xively != 0 && sample_and_publish(s) != 0)
        return;
    ChannelOut out[APP_CHANNELS];
    memset(out, 0, sizeof out);
    channel_values(s, out);
    upload(s, out);
    int err = write_datastreams(s, out);
    note_datastreams_written(err == 0, err);
}
