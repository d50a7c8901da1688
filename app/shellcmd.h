/*
 * shellcmd.h - the shared command buffer syscmd and the one way to run a
 * command line from it.
 *
 * A command line is formatted into syscmd and run as the shell would run it
 * after splitting it at blanks, but without a shell: the words go to the
 * program as its arguments, leading NAME=value words go into its environment,
 * and nothing in them is expanded, substituted, redirected, globbed or taken as
 * a command separator. Configuration texts and serial-peer data therefore reach
 * the program as literal words, never as shell code. The program word is the
 * program's path (it is not looked up in PATH). A program without a "#!" line
 * that the system cannot execute (ENOEXEC) runs through /bin/sh, as system()
 * and execvp() run it.
 *
 * Each program runs in a process group of its own, for at most
 * shellcmd_run_bound_ms: past it the group (the program and whatever it
 * started, such as feed_update's curl) gets SIGTERM, then SIGKILL
 * SHELLCMD_KILL_GRACE_MS later, and the kill is logged. shellcmd_abort() does
 * the same at once to a program under way and refuses every later run, so
 * that shutdown never waits for a child. Only a run that asks for it
 * (ShellRunOptions.past_abort: the stop's own last runs, with a bound of their
 * own) still runs after the abort.
 *
 * syscmd (SYSCMD_SIZE bytes) lives from shellcmd_init() at start-up to
 * shellcmd_release() at shutdown. It is guarded by one lock, held from the
 * formatting of a command until the program has ended, so two commands are
 * never built or run from it at once. Callers must copy what they need of
 * AppContext before they call shellcmd_run, never hold the AppContext lock
 * across it. The abort flag has a lock of its own, never held across a wait
 * for anything but its condition, so shellcmd_abort() returns at once from any
 * thread.
 */
#ifndef OMBRELLE_SHELLCMD_H
#define OMBRELLE_SHELLCMD_H

#include <stddef.h>

enum { SYSCMD_SIZE = 256 };

/*
 * How long one program may run. feed_update gives up after 5 s by itself and
 * coreprobe takes well under a second; the rest is room for starting the shell
 * and curl on a busy camera. A trigger message or a tick never waits longer for
 * one program, and shutdown never waits for one at all (shellcmd_abort).
 */
enum { SHELLCMD_RUN_BOUND_S = 15 };
static_assert(SHELLCMD_RUN_BOUND_S <= 30, "no child may hold a trigger, a tick or the stop for longer");
/* Between the SIGTERM and the SIGKILL of a program's group. */
enum { SHELLCMD_KILL_GRACE_MS = 500 };

/* Test seam: the bound applied, in milliseconds; tests shorten it. Set it before any run. */
extern unsigned shellcmd_run_bound_ms;

/* shellcmd_run's results besides 0. Each is logged once, with its reason, where it happens. */
enum {
    SHELLCMD_NOT_STARTED = -1,  /* no program word, or the program could not be started */
    SHELLCMD_REFUSED = -2,      /* the line did not fit in syscmd: a cut command could upload a wrong value */
    SHELLCMD_ABORTED = -3,      /* shellcmd_abort() came before or during the run */
    SHELLCMD_KILLED = -4        /* the program ran past its bound and was killed */
};

/* What shellcmd_run_args reports as the exit status of a program that a signal ended. */
enum { SHELLCMD_EXIT_SIGNAL = -1 };
/* The most arguments shellcmd_run_args hands on. */
enum { SHELLCMD_MAX_ARGS = 8 };

extern char *syscmd;

/* Allocates and zeroes syscmd and lifts an earlier abort: 0, or -1 when there is no memory. */
int shellcmd_init(void);
/* Releases syscmd; no command may be running. */
void shellcmd_release(void);

/*
 * Formats the command line into syscmd and runs it, waiting for its end; the
 * program's exit status is not looked at. Returns 0 when the program was
 * started and ended by itself, or one of the results above.
 */
int shellcmd_run(const char *format, ...) __attribute__((format(printf, 1, 2)));

/*
 * Runs `program` with exactly `count` arguments, each as one word whatever
 * blanks, tabs or quotes it holds, its blanks at both ends dropped as a shell's
 * splitting would drop them. The line "program arg..." is still laid out in
 * syscmd, so the same SYSCMD_SIZE limit refuses it. Returns as shellcmd_run;
 * on 0, *exit_status is the program's exit status (SHELLCMD_EXIT_SIGNAL when a
 * signal ended it), else it is SHELLCMD_EXIT_SIGNAL.
 */
int shellcmd_run_args(const char *program, const char *const *args, int count, int *exit_status);

/* How one run of shellcmd_run_args_with differs from shellcmd_run_args. */
struct ShellRunOptions {
    const char *const *env;  /* NAME=value entries for this child's environment alone, or null */
    int env_count;
    unsigned bound_ms;       /* this run's bound; 0: shellcmd_run_bound_ms */
    bool past_abort;         /* runs after shellcmd_abort(), which then no longer ends it */
};

/* As shellcmd_run_args, with the options above. */
int shellcmd_run_args_with(const char *program, const char *const *args, int count, const ShellRunOptions *options,
                           int *exit_status);

/*
 * Kills the group of a program under way (SIGTERM, then SIGKILL after the
 * grace), ends a shellcmd_pause under way, and makes every later shellcmd_run
 * and shellcmd_pause return SHELLCMD_ABORTED until shellcmd_init(), runs with
 * past_abort aside. Any thread, any number of times.
 */
void shellcmd_abort(void);

/* Waits `seconds`, or less when shellcmd_abort() comes: 0, or SHELLCMD_ABORTED. */
int shellcmd_pause(unsigned seconds);

#endif
