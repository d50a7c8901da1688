/*
 * ombrelle.h - Ombrelle's process-wide state and its signal handler.
 *
 * wait_updates and config_change are written only by signal_handler (on any
 * thread) and polled by the main loop and the RS-485 reader; they are lock-free
 * atomics so that neither side can see a torn value.
 *
 * syscmd is owned by the command runner (shellcmd.h) from start-up to shutdown.
 * timer_id and serial_thread_id are owned by the main thread (start-up,
 * reconfiguration and shutdown); no other thread touches them.
 */
#ifndef OMBRELLE_OMBRELLE_H
#define OMBRELLE_OMBRELLE_H

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

static_assert(std::atomic<uint8_t>::is_always_lock_free, "wait_updates must be lock-free");
static_assert(std::atomic<int32_t>::is_always_lock_free, "config_change must be lock-free");

extern std::atomic<uint8_t> wait_updates;   /* 1 at load; 0 asks every loop to end */
extern std::atomic<int32_t> config_change;  /* 1 asks for the configuration to be applied again */

extern timer_t timer_id;                    /* feed-upload timer, valid while timer_exists */
extern bool timer_exists;
extern pthread_t serial_thread_id;          /* RS-485 reader, valid while serial_thread_held */
extern bool serial_thread_held;             /* a started reader not yet joined */

/* The sensor-data directory and datastream file, under the root prefix. */
extern const char *PIPE_DIR;
extern const char *PIPE_FILE;
/* Resolves PIPE_DIR and PIPE_FILE; call once at start-up. */
void ombrelle_resolve_paths(void);

/* SIGUSR1 sets config_change; SIGTERM, SIGINT and SIGABRT clear wait_updates. */
void signal_handler(int sig);

#endif
