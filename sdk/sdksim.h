/*
 * sdksim.h - the stand-in SDK's simulation interface (inside the SDK only).
 *
 * Active when TSDK_SIM_DIR names a directory:
 *   control  FIFO of commands, one a line, handled in order on the SDK's thread
 *   handled  each command line, appended once it has been handled
 *   events   "event STATE LENGTH\n", the payload's bytes, "\n" per tsdk_event_send
 *   calls    one line per lifecycle and subscription call
 * TSDK_SIM_FAIL (comma-separated fault names) is read at start.
 *
 * Both variables are for tests: a program that runs with elevated privileges
 * ignores them, so no local user can make it write into a directory of theirs.
 */
#ifndef TSDK_SDKSIM_H
#define TSDK_SDKSIM_H

#include <stddef.h>

enum SimFault {
    SIM_FAIL_INIT,
    SIM_FAIL_SETTINGS,
    SIM_FAIL_SETTINGS26,
    SIM_FAIL_MOTION,
    SIM_FAIL_INPUT,
    SIM_FAIL_EVENT,
    SIM_FAIL_MOTIONSTR,
    SIM_FAULT_COUNT
};

/*
 * Seam: whether the process runs with elevated privileges. The default asks
 * the kernel (AT_SECURE) and compares the real and effective ids; a test
 * points it elsewhere. Set before tsdk_init; no lock.
 */
extern bool (*sim_privileged)(void);

/* Reads the environment; starts nothing yet. */
void sim_configure(void);
/* Starts the command thread when the simulation is active: 0, or -1. */
int sim_start(void);
/* Stops and joins the command thread; safe when it never started. */
void sim_stop(void);

bool sim_failing(SimFault fault);
void sim_record_call(const char *format, ...) __attribute__((format(printf, 1, 2)));
void sim_record_event(const char *payload, int state, size_t length);

/* Services of the SDK proper for the command thread. */
void sdk_flush_log(void);
void sdk_deliver_input(const unsigned char *record, size_t size);
void sdk_deliver_motion(const unsigned char *record, size_t size);
void sdk_deliver_daynight(int mode);

#endif
