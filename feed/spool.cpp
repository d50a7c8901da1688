#include "spool.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const uint32_t kLogMagic = 0x4c505346;   /* "FSPL" */
const uint32_t kStateMagic = 0x54535346; /* "FSST" */
const uint32_t kVersion = 1;
constexpr uint64_t kHeaderSize = 16;
enum { kSlotSize = 512, kRecordFixed = 4 + 8 + 8 + 36 + 3 + 4,
       kRecordMax = kRecordFixed + 3 * SPOOL_TEXT_MAX };

struct StateSlot {
    uint32_t magic;
    uint32_t sequence;
    uint64_t generation;
    uint64_t head;
    SpoolCounters counters;
    char bootId[40];
    int64_t deadlineMs;
    uint32_t waitS;
    uint64_t endHint;   /* the end of the records when the state was written: a scan starts there */
    uint64_t countHint; /* and the records from head to it */
    SpoolEndpoint endpoint;
    uint32_t checksum;
};
static_assert(sizeof(StateSlot) <= kSlotSize, "a state slot fits its place");

int sys_open(const char *path, int flags, mode_t mode) { return open(path, flags, mode); }
int sys_openat(int dirfd, const char *path, int flags, mode_t mode) { return openat(dirfd, path, flags, mode); }

uint32_t checksum(const void *data, size_t length)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

void put32(unsigned char *p, uint32_t v) { memcpy(p, &v, 4); }
void put64(unsigned char *p, uint64_t v) { memcpy(p, &v, 8); }
uint32_t get32(const unsigned char *p) { uint32_t v; memcpy(&v, p, 4); return v; }
uint64_t get64(const unsigned char *p) { uint64_t v; memcpy(&v, p, 8); return v; }

int fail_keep_errno(int fd)
{
    int saved = errno;
    if (fd >= 0)
        g_spoolFs->close(fd);
    errno = saved;
    return -1;
}

/* A spool file, never followed or blocked on: a regular file of 0600, or -1 (ENOENT when absent and not created). */
int open_file_flags(int dirFd, const char *name, int create);

/* Opens without O_CREAT first: a call on a spool that exists creates nothing, even in a trace. */
int open_file(int dirFd, const char *name, int create)
{
    int fd = open_file_flags(dirFd, name, 0);
    if (fd >= 0 || errno != ENOENT || !create)
        return fd;
    return open_file_flags(dirFd, name, 1);
}

int open_file_flags(int dirFd, const char *name, int create)
{
    return spool_open_file(dirFd, name, O_RDWR | (create ? O_CREAT : 0));
}

int write_exact(int fd, const void *buf, size_t length, off_t offset)
{
    ssize_t n = g_spoolFs->pwrite(fd, buf, length, offset);
    if (n == (ssize_t)length)
        return 0;
    if (n >= 0)
        errno = ENOSPC;
    return -1;
}

int read_exact(int fd, void *buf, size_t length, off_t offset)
{
    ssize_t n = g_spoolFs->pread(fd, buf, length, offset);
    return n == (ssize_t)length ? 0 : -1;
}

int write_header(FeedSpool *s)
{
    unsigned char h[kHeaderSize];
    put32(h, kLogMagic);
    put32(h + 4, kVersion);
    put64(h + 8, s->generation);
    return write_exact(s->logFd, h, sizeof h, 0);
}

/* The log's generation, or -1 when it holds no whole header. */
int read_header(int fd, uint64_t *generation)
{
    unsigned char h[kHeaderSize];
    if (read_exact(fd, h, sizeof h, 0) != 0 || get32(h) != kLogMagic || get32(h + 4) != kVersion)
        return -1;
    *generation = get64(h + 8);
    return 0;
}

/* The state of the valid slot with the higher sequence: 0, or -1 when neither is valid. */
int load_state(FeedSpool *s)
{
    int found = -1;
    for (int i = 0; i < 2; i++) {
        StateSlot slot;
        if (read_exact(s->stateFd, &slot, sizeof slot, (off_t)i * kSlotSize) != 0 || slot.magic != kStateMagic
            || slot.checksum != checksum(&slot, offsetof(StateSlot, checksum)))
            continue;
        if (found == 0 && slot.sequence <= s->sequence)
            continue;
        found = 0;
        s->sequence = slot.sequence;
        s->generation = slot.generation;
        s->head = slot.head;
        s->counters = slot.counters;
        memcpy(s->backoff.bootId, slot.bootId, FEED_BOOT_ID_SIZE);
        s->backoff.bootId[FEED_BOOT_ID_SIZE - 1] = '\0';
        s->backoff.deadlineMs = slot.deadlineMs;
        s->backoff.waitS = slot.waitS;
        s->end = slot.endHint;
        s->count = slot.countHint;
        s->endpoint = slot.endpoint;
        s->endpoint.lastError[SPOOL_ERROR_MAX - 1] = '\0';
        s->endpoint.headReason[SPOOL_REASON_MAX - 1] = '\0';
    }
    return found;
}

int decode_record(const unsigned char *r, size_t n, SpoolPoint *p);

/* Decodes the record at offset into *p (may be null): its length, or 0 when none is whole there. */
size_t read_record(FeedSpool *s, uint64_t offset, SpoolPoint *p)
{
    unsigned char r[kRecordMax];
    ssize_t n = g_spoolFs->pread(s->logFd, r, sizeof r, (off_t)offset);
    if (n < kRecordFixed)
        return 0;
    uint32_t length = get32(r);
    if (length < kRecordFixed || length > (uint32_t)n || get32(r + length - 4) != checksum(r, length - 4))
        return 0;
    size_t texts = (size_t)r[56] + r[57] + r[58];
    if (kRecordFixed + texts != length)
        return 0;
    SpoolPoint ignored;
    return decode_record(r, length, p != nullptr ? p : &ignored) == 0 ? length : 0;
}

/* Finds the end of the whole records, from the hint of the state when it fits the log, else from the head. */
void scan_end(FeedSpool *s, uint64_t fileSize)
{
    if (s->end < s->head || s->end > fileSize) {
        s->end = s->head;
        s->count = 0;
    }
    for (size_t n; (n = read_record(s, s->end, nullptr)) > 0; s->count++)
        s->end += n;
}

/* One point as a record in r[kRecordMax]: its length, or 0 (errno) when a text is too long. */
size_t encode_record(const SpoolPoint *p, unsigned char *r)
{
    const char *fields[3] = {p->feed, p->channel, p->value};
    size_t lengths[3];
    size_t length = kRecordFixed;
    for (int i = 0; i < 3; i++) {
        lengths[i] = strnlen(fields[i], SPOOL_TEXT_MAX + 1);
        if (lengths[i] > SPOOL_TEXT_MAX) {
            errno = ENAMETOOLONG;
            return 0;
        }
        length += lengths[i];
    }
    put32(r, (uint32_t)length);
    put64(r + 4, (uint64_t)p->taken.wallS);
    put64(r + 12, (uint64_t)p->taken.bootMs);
    memset(r + 20, 0, 36);
    memcpy(r + 20, p->taken.bootId, strnlen(p->taken.bootId, 36));
    unsigned char *t = r + 59;
    for (int i = 0; i < 3; i++) {
        r[56 + i] = (unsigned char)lengths[i];
        memcpy(t, fields[i], lengths[i]);
        t += lengths[i];
    }
    put32(t, checksum(r, length - 4));
    return length;
}

/* Decodes a record held in memory (an inbox file): 0, or -1 when it is not one whole record. */
int decode_record(const unsigned char *r, size_t n, SpoolPoint *p)
{
    if (n < kRecordFixed)
        return -1;
    uint32_t length = get32(r);
    if (length != n || get32(r + length - 4) != checksum(r, length - 4)
        || (size_t)kRecordFixed + r[56] + r[57] + r[58] != length)
        return -1;
    p->taken.wallS = (int64_t)get64(r + 4);
    p->taken.bootMs = (int64_t)get64(r + 12);
    memcpy(p->taken.bootId, r + 20, 36);
    p->taken.bootId[36] = '\0';
    const unsigned char *t = r + 59;
    char *fields[3] = {p->feed, p->channel, p->value};
    for (int i = 0; i < 3; i++) {
        memcpy(fields[i], t, r[56 + i]);
        fields[i][r[56 + i]] = '\0';
        t += r[56 + i];
    }
    return 0;
}

/* Starts the log anew after a loss: a new generation, nothing pending. */
int restart_log(FeedSpool *s)
{
    s->generation++;
    s->head = kHeaderSize;
    s->end = kHeaderSize;
    s->count = 0;
    s->counters.lost++;
    if (g_spoolFs->ftruncate(s->logFd, 0) != 0 || write_header(s) != 0 || g_spoolFs->fdatasync(s->logFd) != 0)
        return -1;
    return spool_save(s);
}

/* Finishes a cut that a kill interrupted: the state is already one generation ahead. */
int finish_cut(FeedSpool *s)
{
    if (g_spoolFs->ftruncate(s->logFd, kHeaderSize) != 0 || write_header(s) != 0
        || g_spoolFs->fdatasync(s->logFd) != 0)
        return -1;
    s->end = kHeaderSize;
    s->count = 0;
    return 0;
}

/* Takes a compacted log whose rename a kill left unrecorded: all its records are live. */
void adopt_compacted(FeedSpool *s, uint64_t logGeneration)
{
    s->generation = logGeneration;
    s->head = kHeaderSize;
    s->end = kHeaderSize;
    s->count = 0;
}

/* Matches the log to the state: 0 as it says, 1 counted as lost, -1 on an error. */
int reconcile(FeedSpool *s, int haveState, int logExisted)
{
    uint64_t logGeneration = 0;
    int header = read_header(s->logFd, &logGeneration);
    if (!haveState) {
        /* A new spool (or a state that never got written whole): every record is sent again. */
        s->generation = header == 0 ? logGeneration : 0;
        s->head = kHeaderSize;
        s->end = kHeaderSize;
        s->count = 0;
        if (header != 0 && (g_spoolFs->ftruncate(s->logFd, 0) != 0 || write_header(s) != 0
                            || g_spoolFs->fdatasync(s->logFd) != 0))
            return -1;
        scan_end(s, UINT64_MAX);
        return 0;
    }
    if (logExisted && header == 0 && logGeneration + 1 == s->generation && s->head == kHeaderSize)
        return finish_cut(s);
    /* Only a head past SPOOL_COMPACT_MIN is ever compacted: any other log one ahead is foreign. */
    if (logExisted && header == 0 && logGeneration == s->generation + 1 && s->head >= kHeaderSize + SPOOL_COMPACT_MIN)
        adopt_compacted(s, logGeneration);
    struct stat st;
    /* The state's end hint is what the log held when it was written: a shorter log lost points. */
    if (!logExisted || header != 0 || logGeneration != s->generation || g_spoolFs->fstat(s->logFd, &st) != 0
        || (uint64_t)st.st_size < s->head || (uint64_t)st.st_size < s->end)
        return restart_log(s) == 0 ? 1 : -1;
    scan_end(s, (uint64_t)st.st_size);
    return 0;
}

/* Removes what a kill left of a compaction that never took the log's name. */
void remove_stale_copy(FeedSpool *s)
{
    if (g_spoolFs->unlinkat(s->dirFd, "log.new", 0) != 0 && errno != ENOENT)
        errno = 0;
}

SpoolOpen open_failed(FeedSpool *s)
{
    int saved = errno;
    spool_close(s);
    errno = saved;
    return SPOOL_FAILED;
}


/* Records from one offset to another, both record boundaries. */
uint64_t records_between(FeedSpool *s, uint64_t from, uint64_t to)
{
    uint64_t n = 0;
    for (size_t length; from < to && (length = read_record(s, from, nullptr)) > 0; n++)
        from += length;
    return n;
}

void restore_positions(FeedSpool *s, const FeedSpool *before)
{
    s->head = before->head;
    s->end = before->end;
    s->count = before->count;
    s->generation = before->generation;
}

/* A spool file opened for reading only, or -1: never created, followed or blocked on. */
int open_reader(int dirFd, const char *name)
{
    return spool_open_file(dirFd, name, O_RDONLY);
}

int by_name(const void *a, const void *b)
{
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

/* The names of the inbox files, oldest first, at most SPOOL_INBOX_MAX. */
int inbox_names(int dirFd, char names[SPOOL_INBOX_MAX][64])
{
    int fd = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    rewinddir(d);
    int n = 0;
    for (struct dirent *e; n < SPOOL_INBOX_MAX && (e = readdir(d)) != nullptr;) {
        size_t length = strnlen(e->d_name, 64);
        if (strncmp(e->d_name, "in.", 3) == 0 && length < 64)
            memcpy(names[n++], e->d_name, length + 1);
    }
    closedir(d);
    qsort(names, (size_t)n, sizeof names[0], by_name);
    return n;
}

/* The one record of an inbox file: 0, or -1 when it is not a whole one. */
int inbox_read(int dirFd, const char *name, SpoolPoint *p)
{
    int fd = open_reader(dirFd, name);
    if (fd < 0)
        return -1;
    unsigned char r[kRecordMax + 1];
    ssize_t n = g_spoolFs->pread(fd, r, sizeof r, 0);
    g_spoolFs->close(fd);
    return n > 0 ? decode_record(r, (size_t)n, p) : -1;
}

/* Appends one line to dead, moving a full dead to dead.old first. */
int append_dead(FeedSpool *s, const char *line, size_t length)
{
    int fd = open_file(s->dirFd, "dead", 1);
    if (fd < 0)
        return -1;
    struct stat st;
    if (g_spoolFs->fstat(fd, &st) == 0 && st.st_size + (off_t)length > SPOOL_DEAD_MAX) {
        g_spoolFs->close(fd);
        if (g_spoolFs->renameat(s->dirFd, "dead", s->dirFd, "dead.old") != 0)
            return -1;
        fd = open_file(s->dirFd, "dead", 1);
        if (fd < 0)
            return -1;
        st.st_size = 0;
    }
    int ok = write_exact(fd, line, length, st.st_size) == 0 && g_spoolFs->fdatasync(fd) == 0;
    return ok ? g_spoolFs->close(fd) : fail_keep_errno(fd);
}

/* Copies the records from the head to the end into fd after its header. */
int copy_records(FeedSpool *s, int fd)
{
    unsigned char buf[4096];
    for (uint64_t at = s->head; at < s->end;) {
        size_t want = s->end - at < sizeof buf ? (size_t)(s->end - at) : sizeof buf;
        if (read_exact(s->logFd, buf, want, (off_t)at) != 0
            || write_exact(fd, buf, want, (off_t)(kHeaderSize + at - s->head)) != 0)
            return -1;
        at += want;
    }
    return 0;
}

} // namespace

int spool_open_file(int dirFd, const char *name, int flags)
{
    int fd = g_spoolFs->openat(dirFd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st;
    if (g_spoolFs->fstat(fd, &st) != 0)
        return fail_keep_errno(fd);
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return fail_keep_errno(fd);
    }
    return fd;
}

const spool_fs_ops spool_fs_system = {sys_open, sys_openat, mkdir, fstat, flock, write, pwrite, pread,
                                      fdatasync, ftruncate, close, renameat, unlinkat, fsync};
const spool_fs_ops *g_spoolFs = &spool_fs_system;

SpoolOpen spool_open(const char *dir, FeedSpool *s)
{
    *s = FeedSpool{};
    s->dirFd = s->lockFd = s->logFd = s->stateFd = -1;
    if (g_spoolFs->mkdir(dir, 0700) != 0 && errno != EEXIST)
        return SPOOL_FAILED;
    s->dirFd = g_spoolFs->open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (s->dirFd < 0)
        return open_failed(s);
    s->lockFd = open_file(s->dirFd, "lock", 1);
    if (s->lockFd < 0)
        return open_failed(s);
    if (g_spoolFs->flock(s->lockFd, LOCK_EX | LOCK_NB) != 0) {
        int busy = errno == EWOULDBLOCK;
        SpoolOpen r = open_failed(s);
        return busy ? SPOOL_BUSY : r;
    }
    s->stateFd = open_file(s->dirFd, "state", 1);
    if (s->stateFd < 0)
        return open_failed(s);
    int haveState = load_state(s) == 0;
    s->logFd = open_file(s->dirFd, "log", 0);
    int logExisted = s->logFd >= 0;
    if (!logExisted && errno == ENOENT)
        s->logFd = open_file(s->dirFd, "log", 1);
    if (s->logFd < 0)
        return open_failed(s);
    if (!logExisted && !haveState && (write_header(s) != 0 || g_spoolFs->fdatasync(s->logFd) != 0))
        return open_failed(s);
    int r = reconcile(s, haveState, logExisted);
    if (r < 0)
        return open_failed(s);
    remove_stale_copy(s);
    return r == 1 ? SPOOL_OPENED_LOST : SPOOL_OPENED;
}

void spool_close(FeedSpool *s)
{
    int *fds[] = {&s->logFd, &s->stateFd, &s->lockFd, &s->dirFd};
    for (int *fd : fds) {
        if (*fd >= 0)
            g_spoolFs->close(*fd);
        *fd = -1;
    }
}

int spool_append(FeedSpool *s, const SpoolPoint *p)
{
    unsigned char r[kRecordMax];
    size_t length = encode_record(p, r);
    if (length == 0)
        return -1;
    if (write_exact(s->logFd, r, length, (off_t)s->end) != 0 || g_spoolFs->fdatasync(s->logFd) != 0)
        return -1;
    s->end += length;
    s->count++;
    return 0;
}

int spool_read_each(FeedSpool *s, SpoolPoint *points, uint64_t *ends, int max)
{
    uint64_t at = s->head;
    int count = 0;
    for (size_t n; count < max && at < s->end && (n = read_record(s, at, &points[count])) > 0; count++) {
        at += n;
        ends[count] = at;
    }
    return count;
}

int spool_read(FeedSpool *s, SpoolPoint *points, int max, uint64_t *next)
{
    uint64_t at = s->head;
    int count = 0;
    for (size_t n; count < max && at < s->end && (n = read_record(s, at, &points[count])) > 0; count++)
        at += n;
    *next = at;
    return count;
}

int spool_save(FeedSpool *s)
{
    unsigned char raw[kSlotSize] = {};
    StateSlot slot = {};
    slot.magic = kStateMagic;
    slot.sequence = s->sequence + 1;
    slot.generation = s->generation;
    slot.head = s->head;
    slot.counters = s->counters;
    memcpy(slot.bootId, s->backoff.bootId, FEED_BOOT_ID_SIZE);
    slot.deadlineMs = s->backoff.deadlineMs;
    slot.waitS = s->backoff.waitS;
    slot.endHint = s->end;
    slot.countHint = s->count;
    slot.endpoint = s->endpoint;
    slot.checksum = checksum(&slot, offsetof(StateSlot, checksum));
    memcpy(raw, &slot, sizeof slot);
    if (write_exact(s->stateFd, raw, sizeof raw, (off_t)(slot.sequence % 2) * kSlotSize) != 0
        || g_spoolFs->fdatasync(s->stateFd) != 0)
        return -1;
    s->sequence = slot.sequence;
    return 0;
}

int spool_confirm(FeedSpool *s, uint64_t next)
{
    FeedSpool before = *s;
    int cut = next >= s->end;
    if (cut) {
        s->generation++;
        s->head = s->end = kHeaderSize;
        s->count = 0;
    } else {
        s->count -= records_between(s, s->head, next);
        s->head = next;
    }
    /* Tries of a refused point belong to the point at the head; it has moved on. */
    s->endpoint.headTries = 0;
    s->endpoint.headReason[0] = '\0';
    if (spool_save(s) != 0) {
        restore_positions(s, &before);
        return -1;
    }
    /* The state already says all is confirmed: a failed cut is finished by the next open. */
    if (cut)
        finish_cut(s);
    return 0;
}

int spool_pending(const FeedSpool *s)
{
    return s->head < s->end;
}

int spool_drop_oldest(FeedSpool *s, uint64_t n)
{
    uint64_t at = s->head;
    uint64_t dropped = 0;
    for (size_t length; dropped < n && (length = read_record(s, at, nullptr)) > 0; dropped++)
        at += length;
    FeedSpool before = *s;
    s->head = at;
    s->count -= dropped;
    s->counters.dropped += dropped;
    if (spool_save(s) != 0) {
        restore_positions(s, &before);
        s->counters.dropped = before.counters.dropped;
        return -1;
    }
    return 0;
}

int spool_inbox_put(const char *dir, const SpoolPoint *p)
{
    unsigned char r[kRecordMax];
    size_t length = encode_record(p, r);
    if (length == 0)
        return -1;
    int dirFd = g_spoolFs->open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (dirFd < 0)
        return -1;
    char name[64];
    snprintf(name, sizeof name, "in.%020lld.%ld", (long long)p->taken.bootMs, (long)getpid());
    int fd = g_spoolFs->openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int ok = fd >= 0 && write_exact(fd, r, length, 0) == 0 && g_spoolFs->fdatasync(fd) == 0;
    int saved = errno;
    if (fd >= 0)
        g_spoolFs->close(fd);
    if (!ok && fd >= 0)
        g_spoolFs->unlinkat(dirFd, name, 0);
    g_spoolFs->close(dirFd);
    errno = saved;
    return ok ? 0 : -1;
}

int spool_inbox_merge(FeedSpool *s)
{
    char names[SPOOL_INBOX_MAX][64];
    int found = inbox_names(s->dirFd, names);
    uint64_t start = s->end;
    uint64_t startCount = s->count;
    int merged[SPOOL_INBOX_MAX] = {};
    for (int i = 0; i < found; i++) {
        SpoolPoint p;
        if (inbox_read(s->dirFd, names[i], &p) != 0)
            continue; /* not whole yet (its writer is still at it) or not ours: left alone */
        unsigned char r[kRecordMax];
        size_t length = encode_record(&p, r);
        if (length == 0 || write_exact(s->logFd, r, length, (off_t)s->end) != 0) {
            s->end = start;
            s->count = startCount;
            return -1;
        }
        s->end += length;
        s->count++;
        merged[i] = 1;
    }
    if (s->end != start && g_spoolFs->fdatasync(s->logFd) != 0) {
        s->end = start;
        s->count = startCount;
        return -1;
    }
    int taken = 0;
    for (int i = 0; i < found; i++) {
        if (merged[i]) {
            g_spoolFs->unlinkat(s->dirFd, names[i], 0);
            taken++;
        }
    }
    return taken;
}

int spool_dead_letter(FeedSpool *s, const SpoolPoint *p, uint64_t next, const char *at, const char *reason)
{
    char line[3 * SPOOL_TEXT_MAX + SPOOL_REASON_MAX + 64];
    int n = snprintf(line, sizeof line, "%s\t%s\t%s\t%s\t%s\n", at, p->feed, p->channel, p->value, reason);
    if (n < 0 || (size_t)n >= sizeof line) {
        errno = EOVERFLOW;
        return -1;
    }
    if (append_dead(s, line, (size_t)n) != 0)
        return -1;
    s->counters.dead++;
    s->endpoint.headTries = 0;
    s->endpoint.headReason[0] = '\0';
    if (spool_confirm(s, next) != 0) {
        s->counters.dead--;
        return -1;
    }
    return 0;
}

int spool_compact(FeedSpool *s)
{
    uint64_t live = s->end - s->head;
    if (s->head - kHeaderSize <= live || s->head - kHeaderSize < SPOOL_COMPACT_MIN)
        return 0;
    int fd = g_spoolFs->openat(s->dirFd, "log.new", O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    FeedSpool copy = *s;
    copy.logFd = fd;
    copy.generation = s->generation + 1;
    int ok = write_header(&copy) == 0 && copy_records(s, fd) == 0 && g_spoolFs->fdatasync(fd) == 0
        && g_spoolFs->renameat(s->dirFd, "log.new", s->dirFd, "log") == 0 && g_spoolFs->fsync(s->dirFd) == 0;
    if (!ok) {
        int saved = errno;
        g_spoolFs->close(fd);
        g_spoolFs->unlinkat(s->dirFd, "log.new", 0);
        errno = saved;
        return -1;
    }
    /* The new log has the name: from here a kill is healed by the open (adopt_compacted). */
    g_spoolFs->close(s->logFd);
    s->logFd = fd;
    s->generation = copy.generation;
    s->end = kHeaderSize + live;
    s->head = kHeaderSize;
    spool_save(s);
    return 1;
}

int spool_peek(const char *dir, FeedSpool *s, SpoolPoint *oldest, int *hasOldest)
{
    *s = FeedSpool{};
    *hasOldest = 0;
    s->dirFd = s->lockFd = s->logFd = s->stateFd = -1;
    s->dirFd = g_spoolFs->open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (s->dirFd < 0)
        return -1;
    s->stateFd = open_reader(s->dirFd, "state");
    s->logFd = open_reader(s->dirFd, "log");
    uint64_t logGeneration = 0;
    if (s->stateFd >= 0 && load_state(s) == 0 && s->logFd >= 0 && read_header(s->logFd, &logGeneration) == 0
        && logGeneration == s->generation) {
        struct stat st;
        if (g_spoolFs->fstat(s->logFd, &st) == 0 && (uint64_t)st.st_size >= s->head)
            scan_end(s, (uint64_t)st.st_size);
        *hasOldest = s->count > 0 && read_record(s, s->head, oldest) > 0;
    } else if (s->stateFd < 0 && s->logFd >= 0 && read_header(s->logFd, &logGeneration) == 0) {
        s->head = s->end = kHeaderSize;
        scan_end(s, UINT64_MAX);
        *hasOldest = s->count > 0 && read_record(s, s->head, oldest) > 0;
    }
    spool_close(s);
    return 0;
}

int spool_inbox_count(const char *dir)
{
    int dirFd = g_spoolFs->open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (dirFd < 0)
        return 0;
    char names[SPOOL_INBOX_MAX][64];
    int n = inbox_names(dirFd, names);
    g_spoolFs->close(dirFd);
    return n;
}
