/* The spool: points kept across kills at every step, runs ordered by the lock, faults of the log found. */
#include "spool.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using harness::FileExists;
using harness::ReadFile;
using harness::TempDir;
using harness::WriteFile;

namespace {

SpoolPoint point(const std::string &value)
{
    SpoolPoint p = {};
    p.taken = {1780000000, 5000, "7c1f0e52-3a39-4d0b-9a55-0f5b1a3c2d10"};
    snprintf(p.feed, sizeof p.feed, "%s", "1234");
    snprintf(p.channel, sizeof p.channel, "%s", "Front door");
    snprintf(p.value, sizeof p.value, "%s", value.c_str());
    return p;
}

/* Every pending value, read with the system calls. */
std::vector<std::string> pending(const std::string &dir, SpoolOpen *opened = nullptr)
{
    FeedSpool s;
    SpoolOpen r = spool_open(dir.c_str(), &s);
    if (opened != nullptr)
        *opened = r;
    std::vector<std::string> values;
    if (r != SPOOL_OPENED && r != SPOOL_OPENED_LOST)
        return values;
    SpoolPoint points[16];
    uint64_t next;
    int n = spool_read(&s, points, 16, &next);
    for (int i = 0; i < n; i++)
        values.push_back(points[i].value);
    spool_close(&s);
    return values;
}

TEST(Spool, KeepsReadsAndConfirmsInOrder)
{
    TempDir t;
    std::string dir = t.sub("spool");
    FeedSpool s;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    for (const char *v : {"a", "b", "c"}) {
        SpoolPoint p = point(v);
        ASSERT_EQ(0, spool_append(&s, &p));
    }
    SpoolPoint got[2];
    uint64_t next;
    ASSERT_EQ(2, spool_read(&s, got, 2, &next));
    EXPECT_STREQ("a", got[0].value);
    EXPECT_STREQ("Front door", got[1].channel);
    EXPECT_EQ(1780000000, got[1].taken.wallS);
    EXPECT_STREQ("7c1f0e52-3a39-4d0b-9a55-0f5b1a3c2d10", got[1].taken.bootId);
    ASSERT_EQ(0, spool_confirm(&s, next));
    spool_close(&s);
    EXPECT_EQ(std::vector<std::string>{"c"}, pending(dir));

    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    ASSERT_EQ(1, spool_read(&s, got, 2, &next));
    ASSERT_EQ(0, spool_confirm(&s, next));
    EXPECT_FALSE(spool_pending(&s));
    spool_close(&s);
    /* All confirmed: the log is cut back to its header in place. */
    EXPECT_EQ(16u, ReadFile(dir + "/log").size());
    EXPECT_TRUE(pending(dir).empty());
    struct stat st;
    ASSERT_EQ(0, stat(dir.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    for (const char *name : {"lock", "log", "state"}) {
        ASSERT_EQ(0, stat((dir + "/" + name).c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777) << name;
    }
}

TEST(Spool, OneRunAtATimeAndADeadHolderReleasesTheLock)
{
    TempDir t;
    std::string dir = t.sub("spool");
    FeedSpool s;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    FeedSpool other;
    EXPECT_EQ(SPOOL_BUSY, spool_open(dir.c_str(), &other));
    spool_close(&s);

    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FeedSpool held;
        char c = spool_open(dir.c_str(), &held) == SPOOL_OPENED ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    EXPECT_EQ('y', c);
    EXPECT_EQ(SPOOL_BUSY, spool_open(dir.c_str(), &other));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &other));
    spool_close(&other);
}

/* Two points kept, one confirmed, then the fault: what the next run finds. */
TEST(Spool, ALogThatLostWhatTheStateSaysIsCountedAsLost)
{
    const struct {
        const char *name;
        void (*fault)(const std::string &log);
    } cases[] = {
        {"log removed", [](const std::string &log) { unlink(log.c_str()); }},
        {"log truncated below the head", [](const std::string &log) { truncate(log.c_str(), 20); }},
        {"log emptied", [](const std::string &log) { truncate(log.c_str(), 0); }},
        {"log of another generation", [](const std::string &log) {
             std::string text = ReadFile(log);
             text[8] ^= 1;
             WriteFile(log, text, 0600);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        std::string dir = t.sub("spool");
        FeedSpool s;
        ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
        for (const char *v : {"a", "b"}) {
            SpoolPoint p = point(v);
            ASSERT_EQ(0, spool_append(&s, &p));
        }
        SpoolPoint got[1];
        uint64_t next;
        ASSERT_EQ(1, spool_read(&s, got, 1, &next));
        ASSERT_EQ(0, spool_confirm(&s, next));
        spool_close(&s);
        c.fault(dir + "/log");
        ASSERT_EQ(SPOOL_OPENED_LOST, spool_open(dir.c_str(), &s));
        EXPECT_EQ(1u, s.counters.lost);
        SpoolPoint p = point("c");
        ASSERT_EQ(0, spool_append(&s, &p));
        spool_close(&s);
        SpoolOpen again;
        EXPECT_EQ(std::vector<std::string>{"c"}, pending(dir, &again));
        EXPECT_EQ(SPOOL_OPENED, again);
    }
}

TEST(Spool, ATornLastRecordIsWrittenOver)
{
    TempDir t;
    std::string dir = t.sub("spool");
    FeedSpool s;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    for (const char *v : {"a", "b"}) {
        SpoolPoint p = point(v);
        ASSERT_EQ(0, spool_append(&s, &p));
    }
    spool_close(&s);
    std::string log = dir + "/log";
    ASSERT_EQ(0, truncate(log.c_str(), (off_t)ReadFile(log).size() - 5));
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    SpoolPoint p = point("c");
    ASSERT_EQ(0, spool_append(&s, &p));
    spool_close(&s);
    EXPECT_EQ((std::vector<std::string>{"a", "c"}), pending(dir));
}

TEST(Spool, PlantedLinksAndFifosAreNeitherFollowedNorBlockedOn)
{
    const char *names[] = {"lock", "state", "log"};
    for (const char *name : names) {
        for (int fifo = 0; fifo < 2; fifo++) {
            SCOPED_TRACE(std::string(name) + (fifo ? " as a FIFO" : " as a link"));
            TempDir t;
            std::string dir = t.sub("spool");
            ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
            std::string target = t.sub("target");
            WriteFile(target, "precious", 0600);
            std::string planted = dir + "/" + name;
            if (fifo)
                ASSERT_EQ(0, mkfifo(planted.c_str(), 0600));
            else
                ASSERT_EQ(0, symlink(target.c_str(), planted.c_str()));
            FeedSpool s;
            SpoolOpen r = spool_open(dir.c_str(), &s);
            if (r == SPOOL_OPENED || r == SPOOL_OPENED_LOST) {
                SpoolPoint p = point("x");
                spool_append(&s, &p);
                spool_close(&s);
            }
            EXPECT_EQ(SPOOL_FAILED, r);
            EXPECT_EQ("precious", ReadFile(target));
        }
    }
    /* The spool directory itself as a link. */
    TempDir t;
    ASSERT_EQ(0, mkdir(t.sub("real").c_str(), 0700));
    ASSERT_EQ(0, symlink(t.sub("real").c_str(), t.sub("spool").c_str()));
    FeedSpool s;
    EXPECT_EQ(SPOOL_FAILED, spool_open(t.sub("spool").c_str(), &s));
    EXPECT_FALSE(FileExists(t.sub("real/lock")));
}

/* A table of the system calls that stops reaching the disk after step k: a kill at that step. */
int g_stepsLeft;
bool step()
{
    if (g_stepsLeft <= 0) {
        errno = EIO;
        return false;
    }
    g_stepsLeft--;
    return true;
}
int k_open(const char *p, int f, mode_t m) { return step() ? open(p, f, m) : -1; }
int k_openat(int d, const char *p, int f, mode_t m) { return step() ? openat(d, p, f, m) : -1; }
int k_mkdir(const char *p, mode_t m) { return step() ? mkdir(p, m) : -1; }
int k_fstat(int fd, struct stat *st) { return fstat(fd, st); }
int k_flock(int fd, int op) { return ::flock(fd, op); }
ssize_t k_write(int fd, const void *b, size_t n) { return step() ? write(fd, b, n) : -1; }
ssize_t k_pwrite(int fd, const void *b, size_t n, off_t o) { return step() ? pwrite(fd, b, n, o) : -1; }
ssize_t k_pread(int fd, void *b, size_t n, off_t o) { return pread(fd, b, n, o); }
int k_fdatasync(int fd) { return step() ? fdatasync(fd) : -1; }
int k_ftruncate(int fd, off_t n) { return step() ? ftruncate(fd, n) : -1; }
int k_renameat(int a, const char *b, int c, const char *d) { return step() ? renameat(a, b, c, d) : -1; }
int k_unlinkat(int d, const char *p, int f) { return step() ? unlinkat(d, p, f) : -1; }
int k_fsync(int fd) { return step() ? fsync(fd) : -1; }
const spool_fs_ops kKilled = {k_open, k_openat, k_mkdir, k_fstat, k_flock, k_write, k_pwrite, k_pread,
                              k_fdatasync, k_ftruncate, close, k_renameat, k_unlinkat, k_fsync};

/*
 * Three runs: keep a and b; deliver a batch of two (a, b) and keep c; deliver c (the log is cut)
 * and keep d. Returns the steps the whole scenario takes, and what each call said.
 */
struct Outcome {
    std::vector<std::string> kept;      /* append returned 0 */
    std::vector<std::string> confirmed; /* in a batch whose confirm returned 0 */
    std::vector<std::string> inFlight;  /* delivered, but the confirm that follows failed */
};

void run(const std::string &dir, Outcome *o)
{
    const std::vector<std::vector<std::string>> keeps = {{"a", "b"}, {"c"}, {"d"}};
    for (size_t runIndex = 0; runIndex < keeps.size(); runIndex++) {
        FeedSpool s;
        SpoolOpen r = spool_open(dir.c_str(), &s);
        if (r != SPOOL_OPENED)
            return;
        if (runIndex > 0) {
            SpoolPoint batch[4];
            uint64_t next;
            int n = spool_read(&s, batch, 4, &next);
            std::vector<std::string> values;
            for (int i = 0; i < n; i++)
                values.push_back(batch[i].value);
            bool ok = spool_confirm(&s, next) == 0;
            for (const std::string &v : values)
                (ok ? o->confirmed : o->inFlight).push_back(v);
            if (!ok) {
                spool_close(&s);
                return;
            }
        }
        for (const std::string &v : keeps[runIndex]) {
            SpoolPoint p = point(v);
            if (spool_append(&s, &p) != 0) {
                spool_close(&s);
                return;
            }
            o->kept.push_back(v);
        }
        spool_close(&s);
    }
}

TEST(Spool, AKillAtAnyStepLosesNothingAndResendsAtMostTheBatchInFlight)
{
    int total = 0;
    {
        TempDir t;
        g_spoolFs = &kKilled;
        g_stepsLeft = 1 << 30;
        Outcome full;
        run(t.sub("spool"), &full);
        total = (1 << 30) - g_stepsLeft;
        g_spoolFs = &spool_fs_system;
        ASSERT_EQ((std::vector<std::string>{"a", "b", "c", "d"}), full.kept);
        ASSERT_EQ(std::vector<std::string>{"d"}, pending(t.sub("spool")));
    }
    ASSERT_GT(total, 10);
    for (int k = 0; k <= total; k++) {
        SCOPED_TRACE("killed after step " + std::to_string(k));
        TempDir t;
        std::string dir = t.sub("spool");
        Outcome o;
        g_spoolFs = &kKilled;
        g_stepsLeft = k;
        run(dir, &o);
        g_spoolFs = &spool_fs_system;
        SpoolOpen opened;
        std::vector<std::string> after = pending(dir, &opened);
        EXPECT_EQ(SPOOL_OPENED, opened) << "a kill is no loss";
        for (const std::string &v : o.kept) {
            /* A batch is confirmed only after the endpoint took it: in flight means delivered once. */
            bool delivered = std::find(o.confirmed.begin(), o.confirmed.end(), v) != o.confirmed.end()
                || std::find(o.inFlight.begin(), o.inFlight.end(), v) != o.inFlight.end();
            bool kept = std::find(after.begin(), after.end(), v) != after.end();
            EXPECT_TRUE(delivered || kept) << v << " lost";
        }
        for (const std::string &v : after) {
            bool confirmed = std::find(o.confirmed.begin(), o.confirmed.end(), v) != o.confirmed.end();
            EXPECT_FALSE(confirmed) << v << " sent again although its batch was confirmed";
        }
    }
}

} // namespace

namespace {

/* A spool with `live` pending points behind a confirmed head long enough to be compacted. */
void long_outage(const std::string &dir, int confirmed, int live)
{
    FeedSpool s;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    for (int i = 0; i < confirmed + live; i++) {
        SpoolPoint p = point(std::to_string(i));
        ASSERT_EQ(0, spool_append(&s, &p));
    }
    ASSERT_EQ(0, spool_drop_oldest(&s, (uint64_t)confirmed));
    spool_close(&s);
}

TEST(Spool, ACompactionKilledAtAnyStepKeepsExactlyTheLivePoints)
{
    const int confirmed = 1200, live = 5;
    std::vector<std::string> want;
    for (int i = confirmed; i < confirmed + live; i++)
        want.push_back(std::to_string(i));
    int total = 0;
    for (int k = 0;; k++) {
        SCOPED_TRACE("killed after step " + std::to_string(k));
        TempDir t;
        std::string dir = t.sub("spool");
        long_outage(dir, confirmed, live);
        FeedSpool s;
        ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
        g_spoolFs = &kKilled;
        g_stepsLeft = k;
        int r = spool_compact(&s);
        bool finished = g_stepsLeft > 0;
        g_spoolFs = &spool_fs_system;
        spool_close(&s);
        SpoolOpen opened;
        EXPECT_EQ(want, pending(dir, &opened));
        EXPECT_EQ(SPOOL_OPENED, opened);
        if (finished) {
            EXPECT_EQ(1, r);
            total = k;
            break;
        }
        ASSERT_LT(k, 100);
    }
    EXPECT_GT(total, 3);
    /* Once compacted, the log holds the live points only. */
    TempDir t;
    std::string dir = t.sub("spool");
    long_outage(dir, confirmed, live);
    FeedSpool s;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    ASSERT_EQ(1, spool_compact(&s));
    EXPECT_EQ(0, spool_compact(&s));
    spool_close(&s);
    struct stat st;
    ASSERT_EQ(0, stat((dir + "/log").c_str(), &st));
    EXPECT_LT(st.st_size, 1024);
    EXPECT_FALSE(FileExists(dir + "/log.new"));
}

TEST(Spool, TheInboxOfABusySpoolJoinsTheLogOnce)
{
    TempDir t;
    std::string dir = t.sub("spool");
    FeedSpool holder;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &holder));
    for (const char *v : {"x", "y"}) {
        SpoolPoint p = point(v);
        p.taken.bootMs = v[0];
        ASSERT_EQ(0, spool_inbox_put(dir.c_str(), &p));
    }
    WriteFile(dir + "/in.00000000000000000001.9", "torn", 0600);
    EXPECT_EQ(3, spool_inbox_count(dir.c_str()));
    spool_close(&holder);
    FeedSpool s;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    EXPECT_EQ(2, spool_inbox_merge(&s));
    spool_close(&s);
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), pending(dir));
    EXPECT_EQ(1, spool_inbox_count(dir.c_str())) << "a file that is no whole record is left alone";
}

TEST(Spool, ADeadLetterMovesTheHeadOnAndStaysBounded)
{
    TempDir t;
    std::string dir = t.sub("spool");
    FeedSpool s;
    ASSERT_EQ(SPOOL_OPENED, spool_open(dir.c_str(), &s));
    const int n = 400;
    for (int i = 0; i < n; i++) {
        SpoolPoint p = point(std::string(100, 'v') + std::to_string(i));
        ASSERT_EQ(0, spool_append(&s, &p));
    }
    for (int i = 0; i < n - 1; i++) {
        SpoolPoint head;
        uint64_t next;
        ASSERT_EQ(1, spool_read(&s, &head, 1, &next));
        ASSERT_EQ(0, spool_dead_letter(&s, &head, next, "2026-12-10T00:00:00Z", "HTTP 422"));
    }
    EXPECT_EQ((uint64_t)n - 1, s.counters.dead);
    EXPECT_EQ(1u, s.count);
    spool_close(&s);
    EXPECT_EQ(std::vector<std::string>{std::string(100, 'v') + std::to_string(n - 1)}, pending(dir));
    struct stat dead, old;
    ASSERT_EQ(0, stat((dir + "/dead").c_str(), &dead));
    ASSERT_EQ(0, stat((dir + "/dead.old").c_str(), &old));
    EXPECT_LE(dead.st_size, SPOOL_DEAD_MAX);
    EXPECT_LE(old.st_size, SPOOL_DEAD_MAX);
    EXPECT_NE(std::string::npos, ReadFile(dir + "/dead").find("\tHTTP 422\n"));
}

} // namespace
