/*
 * serial.h - the RS-485 sensor link: the exchanges on "/dev/ttyS1".
 *
 * Offers:
 *   SensorRecord        8 channel values and 8 channel params, 96 bytes, the
 *                       payload of a record frame
 *   Serial_data         the last good record frame (all zero before the first)
 *   Serial_data_copy    copies Serial_data whole, never a mix of two records
 *   serial_proc         thread routine of the record frame reader; returns null
 *   serial_proc_stop    asks the reader to end and joins it
 *   query_rs485_sensor  one addressed query and its reply: 0, -1 when no byte
 *                       of a reply came within SERIAL_QUERY_BOUND_MS, or
 *                       SERIAL_ABORTED
 *   read_radio_sample   one radio module sample: 0, -1 when 28 bytes were not
 *                       gathered within SERIAL_RADIO_BOUND_MS, or SERIAL_ABORTED
 *   radio_lux / radio_humidity / radio_fahrenheit
 *                       a radio sample's raw number in its unit
 *
 * The reader thread logs through the SDK, within the flood limit below; the
 * two operations write their diagnostics to standard error. A port that cannot be opened ends the process
 * with status 255 after a perror() line, whichever exchange meets it.
 *
 * Serial_data is owned by the reader thread, its only writer, and guarded by a
 * lock inside this module that only Serial_data_copy and the reader take; read
 * it only through Serial_data_copy while a reader thread may run.
 *
 * The reader waits only in poll(), on the port and on a stop descriptor of its
 * own, with no time limit: a silent line costs no wake-up. A read that fails
 * (the line hung up: the peer closed its end) drops the frame under way, since
 * the bytes held are not its own, logs "[Ombrelle]Error: serial line hung up,
 * frame dropped", and the reader waits READER_HANGUP_WAIT_MS (or for a stop)
 * before it opens the port again. serial_proc_stop()
 * writes that descriptor; the reader then restores the port's settings, closes
 * it and ends at once, since none of its other steps waits (the port's open
 * does not wait for carrier). The stop's owner is the main thread, which alone
 * starts and stops the reader; one reader runs at a time. The reader is not
 * meant to be cancelled.
 *
 * After serialport_abort() (shutdown), a query or radio read under way returns
 * SERIAL_ABORTED within SERIAL_ABORT_LATENCY_MS, later ones at once without
 * touching the port, and a reader ends at its next pass.
 */
#ifndef OMBRELLE_SERIAL_H
#define OMBRELLE_SERIAL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

enum { SENSOR_CHANNELS = 8 };

/* Little-endian binary64 values, then little-endian 32-bit params. */
struct SensorRecord {
    double value[SENSOR_CHANNELS];
    int32_t param[SENSOR_CHANNELS];
};

static_assert(sizeof(SensorRecord) == 96, "a record frame carries exactly one SensorRecord");
static_assert(offsetof(SensorRecord, param) == 64, "params follow the eight values");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the frame bytes are stored as they come");
#ifdef __FLOAT_WORD_ORDER__  /* GCC's; clang has no mixed-endian doubles to tell of */
static_assert(__FLOAT_WORD_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the frame bytes are stored as they come");
#endif

/*
 * How long one query may wait for its reply, writes and pauses aside. The sensor
 * answers at once: 25 bytes take 26 ms at 9600 baud.
 */
enum { SERIAL_QUERY_BOUND_MS = 3000 };

/*
 * How long one radio read may wait for a frame. The module sends on its own
 * period, unasked, and the read starts from a flushed queue, so the bound must
 * outlast the slowest period served: up to 20 s, with 5 s to spare for the
 * frame in transit and a busy camera. A silent module fails within it.
 */
enum { SERIAL_RADIO_BOUND_MS = 25000 };
static_assert(SERIAL_RADIO_BOUND_MS <= 30000, "a silent module must be a failed sampling within 30 s");

/* How long the reader waits after a hang-up before it opens the port again. */
enum { READER_HANGUP_WAIT_MS = 1000 };

/*
 * The reader's flood limit. A failed pass (wrong length byte or checksum)
 * logs three to five lines, and a peer sending single bytes at 9600 baud makes
 * a thousand passes a second: about 430 MB of log an hour on a camera's small
 * flash. So a run of failed passes logs every line only while an allowance of
 * READER_FULL_FAILED_PASSES lasts (it grows back by one a READER_REFILL_MS),
 * and then, until the next good frame, one line of each kind at most every
 * READER_SUMMARY_S: "[Ombrelle]Error: tmp_size lines repeated N times" (or
 * rchksum). Good frames log as always. At most about 6 MB an hour whatever the
 * peer sends, good frames at their fastest included.
 */
enum { READER_FULL_FAILED_PASSES = 10, READER_REFILL_MS = 1000, READER_SUMMARY_S = 60 };

/* The result of an exchange that serialport_abort() ended or refused. */
enum { SERIAL_ABORTED = -2 };

enum { RS485_RAW_READINGS = 6 };

/* The decoded reply of an RS-485 sensor. */
struct RS485Reading {
    int humidity;          /* whole percent */
    int celsius;           /* whole degrees, tenths dropped */
    double celsius_tenths; /* to a tenth */
    int fahrenheit;        /* from the whole degrees Celsius, truncated */
    int raw[RS485_RAW_READINGS];  /* further readings, for feed channels 3 to 8 */
};

/* A decoded radio module sample. */
struct RadioSample {
    double lux;
    double humidity;       /* relative humidity in percent */
    double fahrenheit;
};

extern SensorRecord Serial_data;

void Serial_data_copy(SensorRecord *out);

/* Thread routine: reads record frames until wait_updates is 0 after a pass, or a stop. */
void *serial_proc(void *arg);

/* Asks the reader running as `thread` to end, and joins it. Main thread only. */
void serial_proc_stop(pthread_t thread);

/*
 * Sends the query for `address` (its low byte goes into the frame) and decodes
 * the reply into *reading; bytes that did not come read as 0. Returns 0, or -1
 * when no byte at all came: *reading then holds the decoding of an empty
 * reply, which is not a reading; or SERIAL_ABORTED, *reading left as it was.
 */
int query_rs485_sensor(int address, RS485Reading *reading);

/*
 * Gathers one sample frame and decodes it into *sample. Returns 0, or -1 when
 * a frame's 28 bytes were not gathered in time, or SERIAL_ABORTED: *sample is
 * then all zero.
 */
int read_radio_sample(RadioSample *sample);

double radio_lux(int lraw);
double radio_humidity(int hraw);
double radio_fahrenheit(int traw);

#endif
