#include "serial.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "applog.h"
#include "ombrelle.h"
#include "rootpath.h"
#include "serialport.h"
#include "tsdk.h"

SensorRecord Serial_data;

namespace {

/* Taken only around a whole copy into or out of Serial_data, never across a wait. */
pthread_mutex_t serial_data_lock = PTHREAD_MUTEX_INITIALIZER;

/*
 * The stop of the reader, under g_reader_lock: the descriptor the running
 * reader polls (-1 while none does) and whether a stop was asked, so that a
 * stop asked before the reader listens is not lost.
 */
pthread_mutex_t g_reader_lock = PTHREAD_MUTEX_INITIALIZER;
int g_reader_stop_fd = -1;
bool g_reader_stop_asked;

enum { REASON_SIZE = 128 };

/* Record frame: length byte, one SensorRecord, checksum of the payload. */
enum { RECORD_FRAME_LEN = 98, RECORD_PAYLOAD_LEN = 96 };
static_assert(RECORD_PAYLOAD_LEN == sizeof(SensorRecord), "the payload is one record");

/* Both operations gather their reply in a buffer of this size. */
enum { REPLY_BUF_SIZE = 255 };

/* RS-485 query: two header bytes, address, frame length, command word, checksum. */
enum { QUERY_LEN = 6, QUERY_HEADER_1 = 0x55, QUERY_HEADER_2 = 0xAA, QUERY_FRAMELEN = 0x00,
       QUERY_COMMAND = 0x21 };
enum { QUERY_BYTE_PAUSE_US = 100 };

/* RS-485 reply: big-endian words at fixed offsets; the rest is not looked at. */
enum { REPLY_LEN = 25, REPLY_READ_CALLS = 5, REPLY_READ_PAUSE_US = 10000 };
enum { REPLY_HUMIDITY = 7, REPLY_TEMPERATURE = 9, REPLY_RAW = 13 };
static_assert((int)REPLY_LEN == (int)SERIAL_QUERY_VMIN, "the query profile waits for a whole reply");
static_assert((int)REPLY_RAW + 2 * (int)RS485_RAW_READINGS == (int)REPLY_LEN, "the raw readings end the reply");

/* Radio sample frame: accepted by its start byte or its frame type. */
enum { RADIO_FRAME_MIN = 28, RADIO_START = 0x7E, RADIO_TYPE_OFFSET = 3, RADIO_FRAME_TYPE = 0x92 };
enum { RADIO_LIGHT = 21, RADIO_TEMPERATURE = 23, RADIO_HUMIDITY = 25 };
enum { RADIO_INVALID_LIMIT = 5 };

/* The module's ADC: 10 bits over 1200 mV; the raw count times the reference comes first. */
constexpr int RADIO_ADC_REF_MV = 1200;
constexpr double RADIO_ADC_MAX = 1023.0;
/* Temperature sensor: 500 mV at 0 °C, 10 mV per degree. */
constexpr double TEMP_OFFSET_MV = 500.0;
constexpr double TEMP_MV_PER_C = 10.0;
/* Humidity sensor behind a 108.2 / 33.2 divider, 5 V supply: V = 5 V × (0.0062 × RH + 0.16). */
constexpr double HUM_DIVIDER_NUM = 108.2;
constexpr double HUM_DIVIDER_DEN = 33.2;
constexpr double HUM_SUPPLY_MV = 5000.0;
constexpr double HUM_ZERO = 0.16;
constexpr double HUM_SLOPE = 0.0062;

/* Every exchange treats a port it cannot open as fatal to the process, but an abort: 0, or SERIAL_ABORTED. */
int open_port(SerialProfileId profile, SerialPort *port)
{
    if (serialport_open(profile, port) == 0)
        return 0;
    if (errno == ECANCELED)
        return SERIAL_ABORTED;
    perror(SERIAL_PORT_PATH);
    exit(-1);
}

/* The reader's stop descriptor, published for serial_proc_stop; -1 when a stop came first or none can be made. */
int reader_listen(void)
{
    int fd = eventfd(0, EFD_CLOEXEC);
    if (fd < 0) {
        char reason[REASON_SIZE];
        app_errlog("[Ombrelle]RS-485 reader cannot start: %s\n", strerror_r(errno, reason, sizeof reason));
        return -1;
    }
    pthread_mutex_lock(&g_reader_lock);
    bool stopped = g_reader_stop_asked;
    if (!stopped)
        g_reader_stop_fd = fd;
    pthread_mutex_unlock(&g_reader_lock);
    if (stopped) {
        close(fd);
        return -1;
    }
    return fd;
}

void reader_unlisten(int fd)
{
    pthread_mutex_lock(&g_reader_lock);
    g_reader_stop_fd = -1;
    pthread_mutex_unlock(&g_reader_lock);
    close(fd);
}

/* What a wait or a frame attempt of the reader ends with: go on, a stop, or a hang-up. */
enum { GO_ON = 0, READER_STOPPED = -1, LINE_HUNG_UP = -2 };

/*
 * The reader's only wait, with no time limit: for a byte or for the stop. The
 * stop descriptor is never read back, so it stays readable. A read that fails
 * once poll() said the line was ready means the line hung up (the peer closed
 * its end): no byte will come, and the bytes held are not this frame's.
 */
int wait_byte(int fd, int stop_fd, uint8_t *byte)
{
    struct pollfd waits[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    int ready;
    do {
        ready = poll(waits, 2, -1);
    } while (ready < 0 && errno == EINTR);
    if (waits[1].revents != 0)
        return READER_STOPPED;
    if (ready > 0 && serialport_read_byte(fd, byte) <= 0)
        return LINE_HUNG_UP;
    return GO_ON;
}

/* Waits `ms` or until the stop: true on the stop. */
bool stop_within(int stop_fd, int ms)
{
    struct pollfd wait = {stop_fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&wait, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

uint8_t sum_bytes(const uint8_t *bytes, size_t size)
{
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += bytes[i];
    return (uint8_t)sum;
}

unsigned word_at(const uint8_t *bytes)
{
    return (unsigned)bytes[0] * 256 + bytes[1];
}

void store_record(const uint8_t *payload)
{
    pthread_mutex_lock(&serial_data_lock);
    memcpy(&Serial_data, payload, sizeof Serial_data);
    pthread_mutex_unlock(&serial_data_lock);
}

/* How a frame attempt ended, for the flood limit: a stored frame, one of the two failed kinds, or neither. */
enum PassOutcome { PASS_STORED, PASS_BAD_SIZE, PASS_BAD_SUM, PASS_UNFINISHED };
enum { FAILED_KINDS = 2 };
const char *const FAILED_KIND_NAME[FAILED_KINDS] = {"tmp_size", "rchksum"};

const char RULE_LINE[] = "[Ombrelle]=========================================================\n";
const char SIZE_LINE[] = "[Ombrelle]Receiving size... \n";
const char CHKSUM_LINE[] = "[Ombrelle]Receiving chksum \n";

/*
 * What the reader logs of a run of failed passes (wrong length byte or wrong
 * checksum), so that a hostile or broken peer cannot fill the flash: every line
 * of a failed pass while a full-pass allowance is left (READER_FULL_FAILED_PASSES,
 * one more a READER_REFILL_MS up to that), then, until the next good frame, only
 * the count of the passes not logged, by kind, at most one line of each kind a
 * READER_SUMMARY_S. A pass that does not log as it goes logs a stored frame's
 * lines, the same lines in the same order, once the frame is stored. Owned by
 * the one reader thread: no lock.
 */
struct FloodLimit {
    int allowance;                        /* failed passes that may still log every line */
    struct timespec refilled;             /* when the allowance last grew */
    bool quiet;                           /* this run of failed passes has used its allowance */
    unsigned repeated[FAILED_KINDS];      /* failed passes not logged since the last summary */
    struct timespec summarised;           /* when the last summary went out (the reader's start at first) */
};

long ms_since(const struct timespec *then)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)(now.tv_sec - then->tv_sec) * 1000 + (now.tv_nsec - then->tv_nsec) / 1000000;
}

void flood_start(FloodLimit *f)
{
    memset(f, 0, sizeof *f);
    f->allowance = READER_FULL_FAILED_PASSES;
    clock_gettime(CLOCK_MONOTONIC, &f->refilled);
    f->summarised = f->refilled;
}

/* Whether this pass logs its lines as it goes. */
bool flood_loud(FloodLimit *f)
{
    long refills = ms_since(&f->refilled) / READER_REFILL_MS;
    if (refills > 0) {
        f->allowance = f->allowance + refills > READER_FULL_FAILED_PASSES ? (int)READER_FULL_FAILED_PASSES
                                                                           : f->allowance + (int)refills;
        clock_gettime(CLOCK_MONOTONIC, &f->refilled);
    }
    return !f->quiet && f->allowance > 0;
}

/* The counts not yet logged, one line a kind. */
void flood_summarise(FloodLimit *f)
{
    for (int k = 0; k < FAILED_KINDS; ++k) {
        if (f->repeated[k] > 0)
            app_log("[Ombrelle]Error: %s lines repeated %u times\n", FAILED_KIND_NAME[k], f->repeated[k]);
        f->repeated[k] = 0;
    }
    clock_gettime(CLOCK_MONOTONIC, &f->summarised);
}

/* After a pass that logged as it went (`loud`) or not, and ended with `outcome`. */
void flood_note(FloodLimit *f, bool loud, PassOutcome outcome)
{
    if (outcome == PASS_STORED) {
        f->quiet = false;
    } else if (outcome != PASS_UNFINISHED && loud) {
        --f->allowance;
    } else if (outcome != PASS_UNFINISHED) {
        f->quiet = true;
        ++f->repeated[outcome == PASS_BAD_SIZE ? 0 : 1];
    }
    bool pending = f->repeated[0] > 0 || f->repeated[1] > 0;
    if (pending && ms_since(&f->summarised) >= (long)READER_SUMMARY_S * 1000)
        flood_summarise(f);
}

void pass_log(bool loud, const char *line)
{
    if (loud)
        app_log("%s", line);
}

/*
 * One frame attempt on the open port, logging as it goes when `loud`: GO_ON
 * once it is over (stored or rejected, in *outcome), READER_STOPPED or
 * LINE_HUNG_UP.
 */
int receive_frame(int fd, int stop_fd, uint8_t *payload, bool loud, PassOutcome *outcome)
{
    uint8_t tmp_size = 0;
    uint8_t rchksum = 0;
    *outcome = PASS_UNFINISHED;
    pass_log(loud, SIZE_LINE);
    int rc = wait_byte(fd, stop_fd, &tmp_size);
    if (rc != GO_ON)
        return rc;
    if (tmp_size != RECORD_FRAME_LEN) {
        if (loud)
            app_log("[Ombrelle]Error: tmp_size %d, should be %d\n", tmp_size, RECORD_FRAME_LEN);
        *outcome = PASS_BAD_SIZE;
        return GO_ON;
    }
    if (loud)
        app_log("[Ombrelle]Receiving %d data... \n", RECORD_PAYLOAD_LEN);
    for (int i = 0; i < RECORD_PAYLOAD_LEN && rc == GO_ON; ++i)
        rc = wait_byte(fd, stop_fd, &payload[i]);
    if (rc != GO_ON)
        return rc;
    pass_log(loud, CHKSUM_LINE);
    rc = wait_byte(fd, stop_fd, &rchksum);
    if (rc != GO_ON)
        return rc;
    uint8_t sum = sum_bytes(payload, RECORD_PAYLOAD_LEN);
    if (sum != rchksum) {
        if (loud)
            app_log("[Ombrelle]Error: rchksum %d, should be %d\n", sum, rchksum);
        *outcome = PASS_BAD_SUM;
        return GO_ON;
    }
    store_record(payload);
    *outcome = PASS_STORED;
    if (!loud) {
        app_log("%s", RULE_LINE);
        app_log("%s", SIZE_LINE);
        app_log("[Ombrelle]Receiving %d data... \n", RECORD_PAYLOAD_LEN);
        app_log("%s", CHKSUM_LINE);
    }
    return GO_ON;
}

/*
 * Reopening and flushing for each frame throws away the rest of a broken one.
 * After a hang-up the reader waits before it opens the port again, so a line
 * that stays hung up costs one pass a READER_HANGUP_WAIT_MS, not a spin.
 * 0, or -1 when the reader must end: a stop, or the exchanges were aborted.
 */
int serial_pass(int stop_fd, uint8_t *payload, FloodLimit *flood)
{
    bool loud = flood_loud(flood);
    pass_log(loud, RULE_LINE);
    SerialPort port;
    if (open_port(SERIAL_PROFILE_RECORD, &port) != 0)
        return -1;
    PassOutcome outcome;
    int rc = receive_frame(port.fd, stop_fd, payload, loud, &outcome);
    serialport_close(&port);
    flood_note(flood, loud, outcome);
    if (rc == LINE_HUNG_UP) {
        app_log("[Ombrelle]Error: serial line hung up, frame dropped\n");
        return stop_within(stop_fd, READER_HANGUP_WAIT_MS) ? -1 : 0;
    }
    return rc == GO_ON ? 0 : -1;
}

void print_bytes(const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        fprintf(stderr, "0x%x\n", bytes[i]);
}

void send_query(int fd, int address)
{
    uint8_t query[QUERY_LEN] = {QUERY_HEADER_1, QUERY_HEADER_2, (uint8_t)address, QUERY_FRAMELEN,
                                QUERY_COMMAND, 0};
    query[QUERY_LEN - 1] = sum_bytes(query, QUERY_LEN - 1);
    fprintf(stderr,
            "Sending Command :Header  %x  %x | Device address %x | framelen %x |  commandword %x, checksum %x \n",
            query[0], query[1], query[2], query[3], query[4], query[5]);
    for (int i = 0; i < QUERY_LEN; ++i) {
        fprintf(stderr, "Sending cmd %x, size %d \n", query[i], 1);
        long sent = serialport_write_byte(fd, query[i]);
        fprintf(stderr, "Result: Bytes senti : %d \n", (int)sent);
        usleep(QUERY_BYTE_PAUSE_US);
    }
}

/* Up to five read calls, all within one bound; returns the count held. */
size_t read_reply(int fd, uint8_t *reply, size_t size)
{
    struct timespec deadline;
    size_t held = 0;
    fprintf(stderr, "Starting Read..\n");
    serialport_deadline(SERIAL_QUERY_BOUND_MS, &deadline);
    for (int call = 0; call < REPLY_READ_CALLS && held < REPLY_LEN && !serialport_aborted(); ++call) {
        long n = serialport_read_within(fd, reply + held, size - held, REPLY_LEN - held, &deadline);
        fprintf(stderr, "Read %d bytes\n", (int)n);
        if (n > 0)
            held += (size_t)n;
        usleep(REPLY_READ_PAUSE_US);
    }
    return held;
}

void decode_reply(const uint8_t *reply, RS485Reading *reading)
{
    int h = (int)word_at(reply + REPLY_HUMIDITY);
    int t = (int)word_at(reply + REPLY_TEMPERATURE);
    fprintf(stderr, "humidtyLow = %x, humidtyHigh = %x, humidity =%x %d\n",
            reply[REPLY_HUMIDITY + 1], reply[REPLY_HUMIDITY], h, h);
    fprintf(stderr, "temperatureLow = %x, temperatureHigh = %x, temperature =%x %d\n",
            reply[REPLY_TEMPERATURE + 1], reply[REPLY_TEMPERATURE], t, t);
    fprintf(stderr, "Sensor Data ..\n");
    reading->humidity = h / 10;
    reading->celsius = t / 10;
    /* From the whole degrees: the tenths are dropped before the conversion. */
    reading->fahrenheit = reading->celsius * 9 / 5 + 32;
    reading->celsius_tenths = t / 10.0;
    for (int k = 0; k < RS485_RAW_READINGS; ++k)
        reading->raw[k] = (int)word_at(reply + REPLY_RAW + 2 * k);
    fprintf(stderr, "Humidity    : %2d%% \n", reading->humidity);
    fprintf(stderr, "Temperature : %2d C / %2d F \n", reading->celsius, reading->fahrenheit);
    fprintf(stderr, "HUM:%2d:TEM:%2d\n", reading->humidity, reading->fahrenheit);
    fprintf(stderr, "=========================================================\n");
}

/* Reads until more than 27 bytes are held; returns the count, or -1 when the bound ran out. */
long gather_frame(int fd, uint8_t *buf, size_t size, const struct timespec *deadline)
{
    size_t held = 0;
    while (held < RADIO_FRAME_MIN) {
        long n = serialport_read_within(fd, buf + held, size - held, 1, deadline);
        fprintf(stderr, "Read %d bytes\n", (int)n);
        if (n <= 0)
            return -1;
        held += (size_t)n;
    }
    return (long)held;
}

/* Leaves an accepted frame, or the fifth invalid one, at the start of buf: 0, or -1. */
int collect_sample(int fd, uint8_t *buf, size_t size)
{
    struct timespec deadline;
    serialport_deadline(SERIAL_RADIO_BOUND_MS, &deadline);
    for (int invalid = 0;;) {
        long held = gather_frame(fd, buf, size, &deadline);
        if (held < 0)
            return -1;
        if (buf[0] == RADIO_START || buf[RADIO_TYPE_OFFSET] == RADIO_FRAME_TYPE) {
            print_bytes(buf, (size_t)held);
            return 0;
        }
        fprintf(stderr, "Invalid data\n");
        print_bytes(buf, (size_t)held);
        if (++invalid == RADIO_INVALID_LIMIT)
            return 0;
    }
}

void decode_sample(const uint8_t *buf, RadioSample *sample)
{
    int lraw = (int)word_at(buf + RADIO_LIGHT);
    int traw = (int)word_at(buf + RADIO_TEMPERATURE);
    int hraw = (int)word_at(buf + RADIO_HUMIDITY);
    fprintf(stderr, "LuxHigh = %x,  LuxLow = %x ", buf[RADIO_LIGHT], buf[RADIO_LIGHT + 1]);
    fprintf(stderr, "Lux =0x%x %d\n", lraw, lraw);
    fprintf(stderr, "humidtyHigh = %x, humidtyLow = %x ", buf[RADIO_HUMIDITY], buf[RADIO_HUMIDITY + 1]);
    fprintf(stderr, "humidity =0x%x %d\n", hraw, hraw);
    fprintf(stderr, "temperatureHigh = %x, temperatureLow = %x ", buf[RADIO_TEMPERATURE],
            buf[RADIO_TEMPERATURE + 1]);
    fprintf(stderr, "temperature =0x%x %d\n", traw, traw);
    fprintf(stderr, "temperatureHigh =0x%x %x\n", buf[RADIO_TEMPERATURE], traw);
    fprintf(stderr, "Sensor Data ..\n");
    sample->lux = radio_lux(lraw);
    sample->humidity = radio_humidity(hraw);
    sample->fahrenheit = radio_fahrenheit(traw);
    fprintf(stderr, "Lux  is  : %8.1f Lux \n", sample->lux);
    fprintf(stderr, "Temperature : %8.1f F \n", sample->fahrenheit);
    fprintf(stderr, "Humidity    : %8.1f RH \n", sample->humidity);
    fprintf(stderr, "=========================================================\n");
}

}  // namespace

void Serial_data_copy(SensorRecord *out)
{
    pthread_mutex_lock(&serial_data_lock);
    *out = Serial_data;
    pthread_mutex_unlock(&serial_data_lock);
}

void *serial_proc(void *)
{
    /* Kept from pass to pass: a byte whose read fails keeps its old value. */
    uint8_t payload[RECORD_PAYLOAD_LEN] = {0};
    int stop_fd = reader_listen();
    if (stop_fd < 0)
        return NULL;
    FloodLimit flood;
    flood_start(&flood);
    while (serial_pass(stop_fd, payload, &flood) == 0 && wait_updates.load() != 0) {
    }
    /* A count not yet logged is not lost with the reader. */
    if (flood.repeated[0] > 0 || flood.repeated[1] > 0)
        flood_summarise(&flood);
    reader_unlisten(stop_fd);
    return NULL;
}

void serial_proc_stop(pthread_t thread)
{
    pthread_mutex_lock(&g_reader_lock);
    g_reader_stop_asked = true;
    if (g_reader_stop_fd >= 0)
        eventfd_write(g_reader_stop_fd, 1);
    pthread_mutex_unlock(&g_reader_lock);
    pthread_join(thread, NULL);
    pthread_mutex_lock(&g_reader_lock);
    g_reader_stop_asked = false;
    pthread_mutex_unlock(&g_reader_lock);
}

int query_rs485_sensor(int address, RS485Reading *reading)
{
    uint8_t reply[REPLY_BUF_SIZE];
    memset(reply, 0, sizeof reply);
    fprintf(stderr, "=========================================================\n");
    fprintf(stderr, "Retrieve data from sensors RS-485 interface address: %x\n", (unsigned)address);
    SerialPort port;
    if (open_port(SERIAL_PROFILE_QUERY, &port) != 0)
        return SERIAL_ABORTED;
    send_query(port.fd, address);
    size_t held = read_reply(port.fd, reply, sizeof reply);
    if (serialport_aborted()) {
        serialport_close(&port);
        return SERIAL_ABORTED;
    }
    print_bytes(reply, held);
    decode_reply(reply, reading);
    serialport_close(&port);
    return held > 0 ? 0 : -1;
}

int read_radio_sample(RadioSample *sample)
{
    uint8_t buf[REPLY_BUF_SIZE];
    memset(buf, 0, sizeof buf);
    memset(sample, 0, sizeof *sample);
    fprintf(stderr, "=========================================================\n");
    SerialPort port;
    if (open_port(SERIAL_PROFILE_RADIO, &port) != 0)
        return SERIAL_ABORTED;
    fprintf(stderr, "Starting Read..\n");
    int status = collect_sample(port.fd, buf, sizeof buf);
    if (status == 0)
        decode_sample(buf, sample);
    serialport_close(&port);
    return status != 0 && serialport_aborted() ? SERIAL_ABORTED : status;
}

double radio_lux(int lraw)
{
    return (double)(lraw * RADIO_ADC_REF_MV) / RADIO_ADC_MAX;
}

double radio_humidity(int hraw)
{
    return ((double)(hraw * RADIO_ADC_REF_MV) * HUM_DIVIDER_NUM / HUM_DIVIDER_DEN / HUM_SUPPLY_MV / RADIO_ADC_MAX -
            HUM_ZERO) / HUM_SLOPE;
}

double radio_fahrenheit(int traw)
{
    return (((double)(traw * RADIO_ADC_REF_MV) / RADIO_ADC_MAX - TEMP_OFFSET_MV) / TEMP_MV_PER_C) * 9.0 / 5.0 + 32.0;
}
