/*
 * triggers.h - the camera's input 1, motion and day/night triggers, reported
 * twice: as a camera application event and as a trigger message to the feed.
 *
 * Offers:
 *   setup_triggers               brings the SDK subscriptions into line with the
 *                                enable flags of AppContext; 0 when every step
 *                                went through and RS-485 reporting is off, -1
 *                                when a subscription failed (the later steps are
 *                                then not run) or RS-485 reporting is on
 *   setup_triggers_from          the same with the flags of another record (an
 *                                application not yet published)
 *   input_trigger_json_handler   input 1 callback; -1 when the record is not
 *                                INPUT_RECORD_SIZE bytes, else 0
 *   motion_trigger_json_handler  motion callback; -1 when the record cannot be
 *                                read, else 0
 *   daynight_json_cb             day/night callback of the SDK settings
 *   xively_send_trigger_message  runs feed_update with the key, the feed ID and
 *                                the message's words and waits for it; -1 for a
 *                                null or over-long message, no home directory,
 *                                or a script that did not run to its end (not
 *                                started, refused, aborted, killed: the command
 *                                runner logs why), else 0 (the script's own
 *                                result is not looked at; with the feed off or
 *                                its key or feed ID absent or empty nothing runs)
 *   trigger_feed_wait_idle       waits until every queued feed message has been
 *                                run (for tests and tools)
 *   trigger_feed_stop            ends the feed sender, then hands each message
 *                                not yet sent to feed_update's spool (keep-only
 *                                runs, within TRIGGER_STOP_KEEP_MS) and logs
 *                                how many were kept and how many lost. At
 *                                shutdown, after the unsubscribes
 *   get_daynight_mode            "day" (1), "night" (2), "unknown" (other values)
 *   SENSOR_OUTPUT_PAYLOAD(_LEN)  the sensor-output event payload and its length
 *                                in bytes, for the upload tick
 *
 * Threads: setup_triggers runs on the main thread only; the handlers run on the
 * SDK's threads. in_trigger and mtrigger are read and written by setup_triggers
 * alone, so they need no lock. The handlers copy the flags, names, key and feed
 * ID they need from AppContext under its lock, release it, and only then log
 * and send events. setup_triggers holds no lock while it calls into the SDK: an
 * unsubscribe waits for a callback in flight, which may itself be waiting for a
 * lock.
 *
 * Feed messages: a camera event never waits for the cloud. A handler sends its
 * event first and then hands the feed message (with the key and feed ID of the
 * configuration it was made under) to a queue of TRIGGER_FEED_QUEUE_SIZE
 * messages. A sender thread of this module, started with the first message,
 * runs feed_update for each in order through the shared command runner and
 * logs "Trigger Value" or "Error sending message packet" once the script has
 * ended. Nothing is dropped: a handler that finds the queue full waits for
 * room (logged once per full spell), and a run killed at the runner's bound is
 * run once more. A stop delivers nothing more: once the runner refuses, the
 * sender takes no message, and trigger_feed_stop runs feed_update with
 * FEED_KEEP_ONLY=1 (no network, milliseconds) for the message the abort cut
 * and each one queued, so the spool delivers them after the restart. What could
 * not be kept (refused, the spool unwritable, killed, no time left, no room
 * once stopping) is counted lost. The queue and the sender's state have one
 * lock of their own, never held across a run.
 */
#ifndef OMBRELLE_TRIGGERS_H
#define OMBRELLE_TRIGGERS_H

#include <stddef.h>

#include "appconfig.h"
#include "tsdk.h"

enum {
    INPUT_RECORD_SIZE = 12,     /* the only input record length acted upon */
    TRIGGER_MESSAGE_SIZE = 64,  /* "channel-name state-text" */
    /*
     * Feed messages waiting for the sender: about 25 s of triggers at 5 a
     * second, longer than feed_update may be held by the runner's bound.
     */
    TRIGGER_FEED_QUEUE_SIZE = 128,
    /*
     * The keep-only runs of a stop, all of them: with the abort's kill grace
     * before and after, the stop stays well inside the child bound plus a
     * second. A full queue takes well under a second on a camera.
     */
    TRIGGER_STOP_KEEP_MS = 8000,
};

/* Subscription handles, null while not subscribed. Main thread only. */
extern tsdk_handle in_trigger;
extern tsdk_handle mtrigger;

extern const char SENSOR_OUTPUT_PAYLOAD[];
extern const size_t SENSOR_OUTPUT_PAYLOAD_LEN;  /* without the terminating NUL */

int setup_triggers(void);
int setup_triggers_from(const AppContext_t *settings);

int input_trigger_json_handler(void *context, const void *data, size_t size);
int motion_trigger_json_handler(void *context, const void *data, size_t size);
void daynight_json_cb(int mode);

int xively_send_trigger_message(const char *message);
void trigger_feed_wait_idle(void);
void trigger_feed_stop(void);
const char *get_daynight_mode(int mode);

#endif
