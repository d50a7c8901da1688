/*
 * spool.h - the points the endpoint has not confirmed yet, kept on the flash
 * so that none is lost to a crash, a kill or a power cut.
 *
 * Layout, in one directory (mode 0700, opened O_DIRECTORY|O_NOFOLLOW; every
 * file opened relative to it with O_NOFOLLOW|O_NONBLOCK|O_CLOEXEC, mode 0600,
 * and refused unless fstat shows a regular file, so a planted link or FIFO is
 * neither followed nor blocked on):
 *   lock   held with flock(LOCK_EX|LOCK_NB) by the one run that owns the
 *          spool; a dead holder releases it by dying, no time is involved.
 *   log    a header (magic, generation) and then one record per point,
 *          appended with one write() each: wall time, boot-clock time, boot
 *          id, feed, channel, value and a checksum. Never rewritten in place.
 *   state  two fixed-size slots, each with a sequence number and a
 *          checksum, written alternately in place with pwrite + fdatasync:
 *          the head (offset of the first point not yet confirmed), the log
 *          generation, and the counters. The slot with the higher valid
 *          sequence wins, so a torn state write leaves the previous one.
 *
 *   in.*   a point of a run that found the lock held: one record, written
 *          O_EXCL and synced; the next holder appends it to the log (synced)
 *          before it unlinks the file, so a kill between costs one duplicate.
 *   dead, dead.old
 *          the dead letters: one text line per point the endpoint refused
 *          by itself, with the reason; dead becomes dead.old when it passes
 *          SPOOL_DEAD_MAX bytes, so both hold at most twice that.
 *   log.new
 *          a compacted copy of the log (header of the next generation and
 *          the live records), made only when the confirmed or dropped head of
 *          a log that is never empty (a long outage) outgrows the rest; synced,
 *          then renamed over log. A state one generation behind such a log
 *          takes it as the compacted one, with every record live.
 *
 * Order of writes, and so what a power cut can cost:
 *   - append: the record is written and the log fdatasync'ed before the
 *     call says "kept"; a cut during it loses only that point, and its call
 *     never said kept.
 *   - confirm: the state that moves the head past a batch is written only
 *     after the endpoint confirmed it (the log it points into was synced at
 *     append); a kill before that state reaches the flash re-sends that one
 *     batch, never more.
 *   - empty log: when the head reaches the end, the state first records
 *     generation + 1 with the head at the header, then the log is cut back
 *     to its header; a run that finds the state one generation ahead of the
 *     log finishes the cut. No file is created or renamed in any of these.
 * A log that is missing, of another generation, or shorter than the head is
 * found at open: the points it held are counted as lost (one loss event,
 * since how many is not known), the log starts anew, and spool_open() says
 * so, so the call never exits 0.
 *
 * All file-system calls go through the table g_spoolFs points to.
 * Owner of a FeedSpool: the run that opened it (single thread); no lock
 * beyond the spool's own lock file, which orders runs.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "pointtime.h"

struct spool_fs_ops {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*openat)(int dirfd, const char *path, int flags, mode_t mode);
    int (*mkdir)(const char *path, mode_t mode);
    int (*fstat)(int fd, struct stat *st);
    int (*flock)(int fd, int operation);
    ssize_t (*write)(int fd, const void *buf, size_t count);
    ssize_t (*pwrite)(int fd, const void *buf, size_t count, off_t offset);
    ssize_t (*pread)(int fd, void *buf, size_t count, off_t offset);
    int (*fdatasync)(int fd);
    int (*ftruncate)(int fd, off_t length);
    int (*close)(int fd);
    int (*renameat)(int olddirfd, const char *oldpath, int newdirfd, const char *newpath);
    int (*unlinkat)(int dirfd, const char *path, int flags);
    int (*fsync)(int fd);
};

extern const spool_fs_ops spool_fs_system;

/* The table in use. Owner: the process's single thread; no lock. */
extern const spool_fs_ops *g_spoolFs;

/*
 * Opens name in the spool folder dirFd with flags (O_RDONLY, O_RDWR or
 * O_WRONLY, and O_CREAT, O_TRUNC as needed; a file made is 0600) through
 * g_spoolFs, never following a link nor blocking on a FIFO. Returns the
 * descriptor, or -1 with errno (EINVAL for what is not a regular file).
 */
int spool_open_file(int dirFd, const char *name, int flags);

/* Longest feed, channel or value in bytes: Ombrelle's whole command fits in 256. */
enum { SPOOL_TEXT_MAX = 255 };

/* Bytes of dead letters in dead before it becomes dead.old; points an inbox merge takes at once. */
enum { SPOOL_DEAD_MAX = 32768, SPOOL_INBOX_MAX = 64 };

struct SpoolPoint {
    FeedPointTime taken;
    char feed[SPOOL_TEXT_MAX + 1];
    char channel[SPOOL_TEXT_MAX + 1];
    char value[SPOOL_TEXT_MAX + 1];
};

struct SpoolCounters {
    uint64_t dropped; /* oldest points dropped for room */
    uint64_t lost;    /* loss events: a log found missing, truncated or of another generation */
    uint64_t undated; /* points sent without a time */
    uint64_t dead;    /* points moved to the dead letters */
};

/*
 * What the state keeps of the endpoint between calls. Texts hold no secret
 * and nothing derived from one: the caller puts in only shown URLs, HTTP
 * codes and transport errors.
 */
enum { SPOOL_ERROR_MAX = 160, SPOOL_REASON_MAX = 48 };
struct SpoolEndpoint {
    int64_t downSinceS;            /* wall time the endpoint went down; 0 while up */
    int64_t lastSuccessS;          /* wall time of the last delivery; 0: never */
    int64_t lastErrorS;            /* wall time of the last failure; 0: none */
    char lastError[SPOOL_ERROR_MAX];
    uint32_t target;               /* feed_target_hash() of the shown URL and feed last tried */
    uint32_t headTries;            /* refusals of the point at the head by itself */
    char headReason[SPOOL_REASON_MAX];
    uint32_t fullDrops;            /* points dropped since the spool became full; 0 when not full */
    int64_t v311UntilS;            /* wall time until which the broker is spoken to in MQTT 3.1.1 */
};

struct FeedSpool {
    int dirFd;
    int lockFd;
    int logFd;
    int stateFd;
    uint64_t generation;
    uint64_t head;    /* offset in the log of the first point not confirmed */
    uint64_t end;     /* offset after the last whole record */
    uint64_t count;   /* whole records from head to end */
    uint32_t sequence;
    SpoolCounters counters;
    FeedBackoff backoff;
    SpoolEndpoint endpoint;
};

enum SpoolOpen {
    SPOOL_OPENED,      /* ready, the log as the state says */
    SPOOL_OPENED_LOST, /* ready, but the log did not hold what the state says: counted as lost */
    SPOOL_BUSY,        /* another run holds the lock */
    SPOOL_FAILED,      /* cannot be opened or written: errno says why */
};

/* Opens (creating when missing) the spool in dir and takes its lock. */
SpoolOpen spool_open(const char *dir, FeedSpool *s);

/* Releases the lock and closes every descriptor. */
void spool_close(FeedSpool *s);

/* Appends one point and syncs it to the flash. Returns 0, or -1 (errno) when it is not kept. */
int spool_append(FeedSpool *s, const SpoolPoint *p);

/*
 * Reads up to max points from the head into points[]; *next is the offset
 * after the last one read (the head to confirm once they are delivered).
 * Returns the count; a torn last record (a write cut short) ends the list.
 */
int spool_read(FeedSpool *s, SpoolPoint *points, int max, uint64_t *next);

/* As spool_read, with ends[i] the offset after points[i]: the head to confirm once points[0..i] are delivered. */
int spool_read_each(FeedSpool *s, SpoolPoint *points, uint64_t *ends, int max);

/*
 * Moves the head to next (a value spool_read gave), clears the tries of the
 * refused head, and writes the state,
 * cutting the log back once it is all confirmed. Returns 0, or -1 (errno):
 * the head then stays, and the batch goes again.
 */
int spool_confirm(FeedSpool *s, uint64_t next);

/* Writes the state as it is in *s (counters, backoff). Returns 0 or -1 (errno). */
int spool_save(FeedSpool *s);

/* Whether points wait: 1 when the head is before the end. */
int spool_pending(const FeedSpool *s);

/*
 * Drops the n oldest pending points (the bound) and counts them; the state is
 * written. Returns 0, or -1 (errno) with nothing dropped.
 */
int spool_drop_oldest(FeedSpool *s, uint64_t n);

/*
 * For a run that found the lock held: keeps p as an inbox file in dir.
 * Returns 0 once it is on the flash, or -1 (errno).
 */
int spool_inbox_put(const char *dir, const SpoolPoint *p);

/*
 * Appends the inbox files (oldest name first, at most SPOOL_INBOX_MAX) to the
 * log, syncs it, then removes them. Returns the points taken, or -1 (errno)
 * when the log cannot be written (the inbox then stays).
 */
int spool_inbox_merge(FeedSpool *s);

/*
 * Writes the point at the head with its shown time and reason as a dead
 * letter, then confirms it (the head moves past it). Returns 0, or -1 (errno)
 * with the head unmoved.
 */
int spool_dead_letter(FeedSpool *s, const SpoolPoint *p, uint64_t next, const char *at, const char *reason);

/*
 * Copies the live records into a new generation once the head has passed
 * more than it keeps and SPOOL_COMPACT_MIN bytes. Returns 1 when compacted, 0
 * when not needed, -1 (errno) when it failed (nothing changed then).
 */
enum { SPOOL_COMPACT_MIN = 65536 };
int spool_compact(FeedSpool *s);

/*
 * Reads the state and counts the pending points of the spool in dir without
 * the lock and without creating or writing anything (for --status while a
 * run may hold the spool). Returns 0, or -1 (errno; ENOENT: no spool yet).
 * Only the fields of *s are to be used, no descriptor is left open.
 */
int spool_peek(const char *dir, FeedSpool *s, SpoolPoint *oldest, int *hasOldest);
/* (*hasOldest is 1 with *oldest the first pending point, else 0.) */

/* Inbox files waiting in dir (for the status). */
int spool_inbox_count(const char *dir);
