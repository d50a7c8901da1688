#include "pointtime.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "rootpath.h"

#ifndef FEED_BUILD_EPOCH
#error "FEED_BUILD_EPOCH must be set by the build"
#endif

const int64_t g_feedBuildEpoch = FEED_BUILD_EPOCH;

namespace {

/* FEED_TEST_WALL_OFFSET_S (tests only): seconds added to the wall clock, so a test steps it. */
int64_t wall_offset_s()
{
    const char *text = test_getenv("FEED_TEST_WALL_OFFSET_S");
    return text != nullptr ? strtoll(text, nullptr, 10) : 0;
}

int64_t system_wall_s()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec + wall_offset_s();
}

int64_t system_boot_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

int system_boot_id(char *out, size_t size)
{
    out[0] = '\0';
    char path[ROOT_PATH_MAX];
    if (size < FEED_BOOT_ID_SIZE || root_path("/proc/sys/kernel/random/boot_id", path, sizeof path) != 0)
        return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    char text[FEED_BOOT_ID_SIZE + 1];
    ssize_t n = read(fd, text, sizeof text);
    close(fd);
    /* 36 characters and a line feed; anything else is no boot id. */
    if (n != FEED_BOOT_ID_SIZE || text[FEED_BOOT_ID_SIZE - 1] != '\n')
        return -1;
    memcpy(out, text, FEED_BOOT_ID_SIZE - 1);
    out[FEED_BOOT_ID_SIZE - 1] = '\0';
    return 0;
}

} // namespace

const FeedClockOps feed_clock_system = {system_wall_s, system_boot_ms, system_boot_id};
const FeedClockOps *g_feedClock = &feed_clock_system;

void feed_time_now(FeedPointTime *out)
{
    out->wallS = g_feedClock->wall_s();
    out->bootMs = g_feedClock->boot_ms();
    if (g_feedClock->boot_id(out->bootId, sizeof out->bootId) != 0)
        out->bootId[0] = '\0';
}

FeedDating feed_point_date(const FeedPointTime *point, const FeedPointTime *now, int64_t buildEpoch, int64_t *atS)
{
    if (point->wallS >= buildEpoch) {
        *atS = point->wallS;
        return FEED_DATED;
    }
    /* Without a boot id, two calls cannot be known to share a boot clock. */
    int sameBoot = point->bootId[0] != '\0' && strcmp(point->bootId, now->bootId) == 0 && now->bootMs >= point->bootMs;
    if (!sameBoot)
        return FEED_UNDATED;
    if (now->wallS < buildEpoch)
        return FEED_NOT_YET;
    *atS = now->wallS - (now->bootMs - point->bootMs + 500) / 1000;
    return FEED_REDATED;
}

int feed_format_at(int64_t atS, char *out, size_t size)
{
    time_t t = (time_t)atS;
    struct tm tm;
    if (size == 0)
        return -1;
    out[0] = '\0';
    if ((int64_t)t != atS || gmtime_r(&t, &tm) == nullptr)
        return -1;
    size_t n = strftime(out, size, "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (n == 0) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}
