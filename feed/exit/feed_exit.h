/*
 * feed_exit.h - feed_update's exit statuses: what its caller learns of the
 * point it handed over. feed_update returns them and Ombrelle reads them, so
 * both include this one list. `feed_update --help` says what each means.
 */
#pragma once

enum FeedExit {
    FEED_EXIT_DELIVERED = 0, /* this point was delivered now */
    FEED_EXIT_REFUSED = 2,   /* bad words: nothing kept or sent */
    FEED_EXIT_KEPT = 3,      /* kept in the spool for a later call */
    FEED_EXIT_DROPPED = 4,   /* kept, but older points were dropped */
    FEED_EXIT_LOST = 5,      /* neither delivered nor kept */
};
