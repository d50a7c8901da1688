#include "spool.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const uint32_t kLogMagic = 0x4c505346;   /* "FSPL" */
const uint32_t kStateMagic = 0x54535346; /* "FSST" */
const uint32_t kVersion = 1;
constexpr uint64_t kHeaderSize = 16;
enum { kSlotSize = 128, kRecordFixed = 4 + 8 + 8 + 36 + 3 + 4,
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
int open_file(int dirFd, const char *name, int create)
{
    int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
    int fd = g_spoolFs->openat(dirFd, name, flags, 0600);
    if (fd < 0)
        return -1;
    struct stat st;
    if (g_spoolFs->fstat(fd, &st) != 0)
        return fail_keep_errno(fd);
    if (!S_ISREG(st.st_mode)) {
        g_spoolFs->close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
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
    }
    return found;
}

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
    if (p == nullptr)
        return length;
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
    return length;
}

/* The end of the whole records from the head on: a torn tail is written over by the next append. */
uint64_t scan_end(FeedSpool *s)
{
    uint64_t at = s->head;
    for (size_t n; (n = read_record(s, at, nullptr)) > 0;)
        at += n;
    return at;
}

/* Starts the log anew after a loss: a new generation, nothing pending. */
int restart_log(FeedSpool *s)
{
    s->generation++;
    s->head = kHeaderSize;
    s->end = kHeaderSize;
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
    return 0;
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
        if (header != 0 && (g_spoolFs->ftruncate(s->logFd, 0) != 0 || write_header(s) != 0
                            || g_spoolFs->fdatasync(s->logFd) != 0))
            return -1;
        s->end = scan_end(s);
        return 0;
    }
    if (logExisted && header == 0 && logGeneration + 1 == s->generation && s->head == kHeaderSize)
        return finish_cut(s);
    struct stat st;
    if (!logExisted || header != 0 || logGeneration != s->generation || g_spoolFs->fstat(s->logFd, &st) != 0
        || (uint64_t)st.st_size < s->head)
        return restart_log(s) == 0 ? 1 : -1;
    s->end = scan_end(s);
    return 0;
}

SpoolOpen open_failed(FeedSpool *s)
{
    int saved = errno;
    spool_close(s);
    errno = saved;
    return SPOOL_FAILED;
}

} // namespace

const spool_fs_ops spool_fs_system = {sys_open, sys_openat, mkdir, fstat, flock, write, pwrite, pread,
                                      fdatasync, ftruncate, close};
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
    const char *fields[3] = {p->feed, p->channel, p->value};
    size_t lengths[3];
    size_t length = kRecordFixed;
    for (int i = 0; i < 3; i++) {
        lengths[i] = strnlen(fields[i], SPOOL_TEXT_MAX + 1);
        if (lengths[i] > SPOOL_TEXT_MAX) {
            errno = ENAMETOOLONG;
            return -1;
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
    if (write_exact(s->logFd, r, length, (off_t)s->end) != 0 || g_spoolFs->fdatasync(s->logFd) != 0)
        return -1;
    s->end += length;
    return 0;
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
    uint64_t oldHead = s->head;
    uint64_t oldGeneration = s->generation;
    int cut = next >= s->end;
    s->head = cut ? kHeaderSize : next;
    s->generation += cut ? 1 : 0;
    if (spool_save(s) != 0) {
        s->head = oldHead;
        s->generation = oldGeneration;
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
