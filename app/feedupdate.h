/*
 * feedupdate.h - running feed_update, and what its exit status says about the
 * point it got.
 *
 * Offers:
 *   feed_update_run      runs HOME/feed_update with its four words (key, feed
 *                        identifier, channel or trigger name, value or state
 *                        text), each whole; returns as shellcmd_run_args
 *   feed_update_keep     the same with FEED_KEEP_ONLY=1 in feed_update's
 *                        environment: the point goes to the spool without any
 *                        try of the network; within `bound_ms`, and also after
 *                        shellcmd_abort (for the stop); returns as
 *                        shellcmd_run_args
 *   feed_status_lost     true for the statuses under which the point is gone
 *                        (refused, or the spool cannot be written) or may be
 *                        (feed_update ended by a signal before it said)
 *   feed_status_meaning  the meaning of a status, for a log line
 *
 * Delivered (0), kept (3) and kept with older points dropped (4) are not a loss:
 * the point reaches the feed now or from the spool later.
 */
#ifndef OMBRELLE_FEEDUPDATE_H
#define OMBRELLE_FEEDUPDATE_H

#include <stdio.h>

#include "applog.h"
#include "feed_exit.h"
#include "shellcmd.h"

enum { FEED_UPDATE_WORDS = 4 };

inline int feed_update_run_with(const char *home, const char *const (&words)[FEED_UPDATE_WORDS],
                                const ShellRunOptions *options, int *exit_status)
{
    char program[SYSCMD_SIZE];
    int n = snprintf(program, sizeof program, "%s/feed_update", home);
    if (n < 0 || n >= (int)sizeof program) {
        *exit_status = SHELLCMD_EXIT_SIGNAL;
        app_errlog("[Ombrelle]Command %s/feed_update does not fit in %d, not run\n", home, SYSCMD_SIZE - 1);
        return SHELLCMD_REFUSED;
    }
    return shellcmd_run_args_with(program, words, FEED_UPDATE_WORDS, options, exit_status);
}

inline int feed_update_run(const char *home, const char *const (&words)[FEED_UPDATE_WORDS], int *exit_status)
{
    const ShellRunOptions plain = {NULL, 0, 0, false};
    return feed_update_run_with(home, words, &plain, exit_status);
}

inline int feed_update_keep(const char *home, const char *const (&words)[FEED_UPDATE_WORDS], unsigned bound_ms,
                            int *exit_status)
{
    static const char *const keep_only[] = {"FEED_KEEP_ONLY=1"};
    const ShellRunOptions options = {keep_only, 1, bound_ms, true};
    return feed_update_run_with(home, words, &options, exit_status);
}

inline bool feed_status_lost(int status)
{
    return status == FEED_EXIT_REFUSED || status == FEED_EXIT_LOST || status == SHELLCMD_EXIT_SIGNAL;
}

inline const char *feed_status_meaning(int status)
{
    switch (status) {
    case FEED_EXIT_DELIVERED:
        return "delivered";
    case FEED_EXIT_REFUSED:
        return "the words were refused";
    case FEED_EXIT_KEPT:
        return "kept in the spool";
    case FEED_EXIT_DROPPED:
        return "kept, older points dropped";
    case FEED_EXIT_LOST:
        return "the spool cannot be written";
    case SHELLCMD_EXIT_SIGNAL:
        return "ended by a signal";
    default:
        return "unknown status";
    }
}

#endif
