/*
 * serialport.h - the camera's serial port "/dev/ttyS1" and its three profiles.
 *
 * Offers:
 *   SerialProfileId / serialport_termios   the terminal settings of a profile,
 *                                          built into a plain termios record
 *   serialport_open                        0, or -1 with errno when the port
 *                                          cannot be opened
 *   serialport_close                       restores the saved settings, closes
 *   serialport_read_byte / _write_byte     one blocking byte read or write: the
 *                                          call's result
 *   serialport_deadline / serialport_read_within
 *                                          a read that never waits past a
 *                                          deadline: the count taken, 0 when
 *                                          nothing came in time, -1 with errno
 *   serialport_abort / serialport_resume / serialport_aborted
 *                                          ends every wait of read_within and
 *                                          refuses every open, for shutdown
 *
 * The port is reached through root_path(SERIAL_PORT_PATH), so a test can put a
 * pseudo-terminal behind it. A SerialPort belongs to the one exchange that
 * opened it; nothing here is shared between threads but the abort flag, a
 * lock-free atomic.
 *
 * No call here waits for the line without a bound but read_byte: the open does
 * not wait for carrier (O_NONBLOCK, cleared once the port is open), flushing and
 * applying settings do not wait for output to drain.
 */
#ifndef OMBRELLE_SERIALPORT_H
#define OMBRELLE_SERIALPORT_H

#include <stddef.h>
#include <stdint.h>
#include <termios.h>
#include <time.h>

/* B9600 | CS8 | CREAD | CLOCAL: 9600 baud, 8N1, modem lines ignored. */
#define SERIAL_CFLAG_9600_8N1 (B9600 | CS8 | CREAD | CLOCAL)
/* Not a termios flag: the camera's serial driver takes it as is for its RS-485 mode. */
#define SERIAL_CFLAG_RS485_MODE 0x01000000u

/* The query profile returns a read only once a whole reply is queued. */
enum { SERIAL_QUERY_VMIN = 25 };

enum SerialProfileId {
    SERIAL_PROFILE_RECORD,  /* record frames from the RS-485 peer */
    SERIAL_PROFILE_QUERY,   /* addressed RS-485 query and reply */
    SERIAL_PROFILE_RADIO    /* radio module samples, RTS/CTS flow control */
};

struct SerialPort {
    int fd;                 /* -1 while closed */
    int saved_valid;        /* 1 when `saved` holds the settings found at open */
    struct termios saved;
};

/* Fills *tio with the profile: all zero but the flags and VMIN it sets. */
void serialport_termios(SerialProfileId profile, struct termios *tio);

/*
 * Test seam: the open(2) the port goes through, ::open unless a test plays a line
 * whose open waits. Set it before any exchange runs.
 */
extern int (*serialport_sys_open)(const char *path, int flags);

/*
 * Opens the port read-write, not as controlling terminal and without waiting
 * for carrier, then makes it blocking; saves its settings, flushes the profile's
 * queues and applies the profile at once. Returns 0, or -1 with errno (port->fd
 * is then -1); ECANCELED once serialport_abort() was called.
 */
int serialport_open(SerialProfileId profile, SerialPort *port);

/* Restores the saved settings and closes the port; nothing when it is closed. */
void serialport_close(SerialPort *port);

/* Waits for one byte, retrying when a signal interrupts; read()'s result. */
long serialport_read_byte(int fd, uint8_t *byte);

/* Sends one byte, retrying when a signal interrupts; write()'s result. */
long serialport_write_byte(int fd, uint8_t byte);

/* *deadline = now + ms on the monotonic clock. */
void serialport_deadline(int ms, struct timespec *deadline);

/*
 * Waits until `want` bytes are queued or the deadline has passed, then takes
 * what is queued, at most `size` bytes, without blocking. `want` is at most the
 * profile's VMIN (poll() wakes the wait once VMIN bytes are queued). Returns
 * the count taken, 0 when nothing was queued in time, or -1 with errno:
 * ECANCELED within SERIAL_ABORT_LATENCY_MS of serialport_abort().
 */
long serialport_read_within(int fd, uint8_t *buf, size_t size, size_t want,
                            const struct timespec *deadline);

/* How soon a wait of read_within sees an abort: its poll slice. */
enum { SERIAL_ABORT_LATENCY_MS = 10 };

/* From now on every read_within and open fails with ECANCELED. Any thread. */
void serialport_abort(void);
/* Lifts the abort: the state at start. For tests, between cases. */
void serialport_resume(void);
bool serialport_aborted(void);

#endif
