/*
 * shellcmd.h - the shared command buffer syscmd and the one way to run a
 * command line from it.
 *
 * A command line is formatted into syscmd and run as the shell would run it
 * after splitting it at blanks, but without a shell: the words go to the
 * program as its arguments, leading NAME=value words go into its environment,
 * and nothing in them is expanded, substituted, redirected, globbed or taken as
 * a command separator. Configuration texts and serial-peer data therefore reach
 * the program as literal words, never as shell code.
 *
 * syscmd (SYSCMD_SIZE bytes) lives from shellcmd_init() at start-up to
 * shellcmd_release() at shutdown. It is guarded by one lock, held from the
 * formatting of a command until the program has ended, so two commands are
 * never built or run from it at once. Callers must copy what they need of
 * AppContext before they call shellcmd_run, never hold the AppContext lock
 * across it.
 */
#ifndef OMBRELLE_SHELLCMD_H
#define OMBRELLE_SHELLCMD_H

#include <stddef.h>

enum { SYSCMD_SIZE = 256 };

/* shellcmd_run's result for a line that did not fit in syscmd. */
enum { SHELLCMD_REFUSED = -2 };

extern char *syscmd;

/* Allocates and zeroes syscmd: 0, or -1 when there is no memory. */
int shellcmd_init(void);
/* Releases syscmd; no command may be running. */
void shellcmd_release(void);

/*
 * Formats the command line into syscmd and runs it, waiting for its end; the
 * program's exit status is not looked at. Returns 0 when the program was
 * started; SHELLCMD_REFUSED when the line did not fit in syscmd (an error line
 * is logged and nothing runs: a cut command could upload a wrong value); -1
 * when it holds no program word or could not be started.
 */
int shellcmd_run(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
