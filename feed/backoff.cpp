#include "backoff.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

uint32_t feed_random_system(uint32_t bound)
{
    /* Owner: the process's single thread; no lock. */
    static int seeded = 0;
    if (!seeded) {
        struct timespec now;
        clock_gettime(CLOCK_BOOTTIME, &now);
        srandom((unsigned)(now.tv_nsec ^ now.tv_sec ^ ((long)getpid() << 16)));
        seeded = 1;
    }
    return (uint32_t)((unsigned long)random() % bound);
}

void feed_backoff_delivered(FeedBackoff *b)
{
    b->bootId[0] = '\0';
    b->deadlineMs = 0;
    b->waitS = 0;
}

uint32_t feed_backoff_failed(FeedBackoff *b, const char *bootId, int64_t nowMs, uint32_t minS, uint32_t maxS,
                             feed_random_fn random)
{
    if (maxS < minS)
        maxS = minS;
    /* The first wait is jittered too: a fleet that lost its endpoint together must not come back together. */
    uint64_t high = (uint64_t)(b->waitS == 0 ? minS : b->waitS) * 3;
    if (high > maxS)
        high = maxS;
    uint32_t wait = minS;
    if (high > minS)
        wait = minS + random((uint32_t)(high - minS + 1));
    size_t length = strnlen(bootId, FEED_BOOT_ID_SIZE - 1);
    memcpy(b->bootId, bootId, length);
    b->bootId[length] = '\0';
    b->deadlineMs = nowMs + (int64_t)wait * 1000;
    b->waitS = wait;
    return wait;
}

int feed_backoff_known_down(const FeedBackoff *b, const char *bootId, int64_t nowMs, uint32_t maxS)
{
    if (b->waitS == 0 || strncmp(b->bootId, bootId, FEED_BOOT_ID_SIZE) != 0)
        return 0;
    if (b->deadlineMs - nowMs > (int64_t)maxS * 1000)
        return 0;
    return nowMs < b->deadlineMs;
}
