/*
 * ombrelle.h - Ombrelle's process-wide state and its signal handler.
 *
 * wait_updates and config_change are written only by signal_handler (on any
 * thread) and read by the main loop; they are lock-free atomics so that
 * neither side can see a torn value.
 *
 * The wake-up pipe: signal_handler also writes one byte into a non-blocking
 * pipe, which write(2) does without blocking and safely from a handler. The
 * main loop sleeps on its read end with no timeout, so it runs only when a
 * signal has asked for something. A full pipe already holds a wake-up, so a
 * byte that does not fit is not needed. The pipe is made once at start-up by
 * ombrelle_wake_init and never closed.
 *
 * The stop watcher: a thread that sleeps on a pipe of its own, which
 * signal_handler writes on a stop signal, and then runs the stop's aborts once
 * (ending the children and serial reads under way). So a stop never waits for
 * what the main thread is doing, an application that waits for a tick
 * included. Its pipe and thread are made by ombrelle_stop_watch_start and
 * belong to the main thread, which joins it at shutdown.
 *
 * syscmd is owned by the command runner (shellcmd.h) from start-up to shutdown.
 * serial_thread_id is owned by the main thread (reconfiguration and shutdown);
 * no other thread touches it.
 */
#ifndef OMBRELLE_OMBRELLE_H
#define OMBRELLE_OMBRELLE_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

static_assert(std::atomic<uint8_t>::is_always_lock_free, "wait_updates must be lock-free");
static_assert(std::atomic<int32_t>::is_always_lock_free, "config_change must be lock-free");
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the pipe's descriptor");

extern std::atomic<uint8_t> wait_updates;   /* 1 at load; 0 asks the main loop to end */
extern std::atomic<int32_t> config_change;  /* 1 asks for the configuration to be applied again */

extern pthread_t serial_thread_id;          /* RS-485 reader, valid while serial_thread_held */
extern bool serial_thread_held;             /* a started reader not yet joined */

/* The sensor-data directory and datastream file, under the root prefix. */
extern const char *PIPE_DIR;
extern const char *PIPE_FILE;
/* Resolves PIPE_DIR and PIPE_FILE; call once at start-up. */
void ombrelle_resolve_paths(void);

/*
 * SIGUSR1 sets config_change; SIGTERM, SIGINT and SIGABRT clear wait_updates
 * and wake the stop watcher. Each also wakes the main loop.
 */
void signal_handler(int sig);

/* Makes the wake-up pipe: 0, or -1 when the system has no descriptor left. */
int ombrelle_wake_init(void);

/*
 * Sleeps until signal_handler has run since the last call (at once if it has),
 * then empties the pipe. It may also return early on an interrupted wait: the
 * caller tests the flags again either way. Main thread only.
 */
void ombrelle_wait_request(void);

/*
 * Starts the stop watcher, which runs `on_stop` once a stop signal came: 0, or
 * -1 when no pipe or thread can be made (the stop then aborts only at
 * shutdown). Main thread, once.
 */
int ombrelle_stop_watch_start(void (*on_stop)(void));

/* Wakes the stop watcher if no signal did, and joins it; nothing when none runs. Main thread, at shutdown. */
void ombrelle_stop_watch_join(void);

#endif
