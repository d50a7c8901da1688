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
};

extern const spool_fs_ops spool_fs_system;

/* The table in use. Owner: the process's single thread; no lock. */
extern const spool_fs_ops *g_spoolFs;

/* Longest feed, channel or value in bytes: Ombrelle's whole command fits in 256. */
enum { SPOOL_TEXT_MAX = 255 };

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

struct FeedSpool {
    int dirFd;
    int lockFd;
    int logFd;
    int stateFd;
    uint64_t generation;
    uint64_t head;    /* offset in the log of the first point not confirmed */
    uint64_t end;     /* offset after the last whole record */
    uint32_t sequence;
    SpoolCounters counters;
    FeedBackoff backoff;
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

/*
 * Moves the head to next (a value spool_read gave) and writes the state,
 * cutting the log back once it is all confirmed. Returns 0, or -1 (errno):
 * the head then stays, and the batch goes again.
 */
int spool_confirm(FeedSpool *s, uint64_t next);

/* Writes the state as it is in *s (counters, backoff). Returns 0 or -1 (errno). */
int spool_save(FeedSpool *s);

/* Whether points wait: 1 when the head is before the end. */
int spool_pending(const FeedSpool *s);
