/* The wait after a failed call: jittered, growing, capped, on the boot clock of one boot. */
#include "backoff.h"

#include <gtest/gtest.h>

namespace {

const char kBoot[] = "7c1f0e52-3a39-4d0b-9a55-0f5b1a3c2d10";
const char kOtherBoot[] = "0d2a6b11-5e7f-4c3a-8b21-6f9e0a1b2c3d";

uint32_t g_lastBound;
uint32_t lowest(uint32_t bound) { g_lastBound = bound; return 0; }
uint32_t highest(uint32_t bound) { g_lastBound = bound; return bound - 1; }

FeedBackoff fresh()
{
    FeedBackoff b;
    feed_backoff_delivered(&b);
    return b;
}

TEST(FeedBackoff, WaitsGrowWithinTheJitterRangeUpToTheCap)
{
    FeedBackoff b = fresh();
    /* Always the top of the range: up to 3 x the first wait, then 3 x the last, capped at 600. */
    const uint32_t expected[] = {90, 270, 600, 600};
    for (uint32_t wait : expected)
        EXPECT_EQ(wait, feed_backoff_failed(&b, kBoot, 1000, 30, 600, highest));
    /* Always the bottom: never below the first wait, so never a hot loop. */
    b = fresh();
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(30u, feed_backoff_failed(&b, kBoot, 1000, 30, 600, lowest));
}

TEST(FeedBackoff, JitterSpreadsTheWaitsOfAFleet)
{
    /* With the system source, cameras that failed together draw different first waits. */
    uint32_t seen[8];
    for (uint32_t &s : seen) {
        FeedBackoff b = fresh();
        s = feed_backoff_failed(&b, kBoot, 0, 30, 600, feed_random_system);
        EXPECT_GE(s, 30u);
        EXPECT_LE(s, 90u);
    }
    int distinct = 0;
    for (int i = 0; i < 8; i++)
        distinct += seen[i] != seen[0];
    EXPECT_GT(distinct, 0);
}

TEST(FeedBackoff, KnownDownOnlyBeforeTheDeadlineOfTheSameBoot)
{
    FeedBackoff b = fresh();
    EXPECT_EQ(0, feed_backoff_known_down(&b, kBoot, 0, 600));
    feed_backoff_failed(&b, kBoot, 10000, 30, 600, lowest);
    const struct {
        const char *name;
        const char *boot;
        int64_t nowMs;
        int down;
    } cases[] = {
        {"just after the failure", kBoot, 10001, 1},
        {"a millisecond before the deadline", kBoot, 39999, 1},
        {"at the deadline", kBoot, 40000, 0},
        {"after a reboot the old deadline means nothing", kOtherBoot, 10001, 0},
        {"boot clock behind the failure (a state from elsewhere) is due when too far ahead", kBoot, -700000, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.down, feed_backoff_known_down(&b, c.boot, c.nowMs, 600));
    }
}

TEST(FeedBackoff, ADeliveryResetsTheWait)
{
    FeedBackoff b = fresh();
    feed_backoff_failed(&b, kBoot, 0, 30, 600, highest);
    feed_backoff_failed(&b, kBoot, 0, 30, 600, highest);
    feed_backoff_delivered(&b);
    EXPECT_EQ(0, feed_backoff_known_down(&b, kBoot, 1, 600));
    EXPECT_EQ(90u, feed_backoff_failed(&b, kBoot, 0, 30, 600, highest));
}

TEST(FeedBackoff, OddSettingsStillGiveAWait)
{
    /* A first wait of 0 (tests, impatient users) means every call tries: never known down. */
    FeedBackoff b = fresh();
    EXPECT_EQ(0u, feed_backoff_failed(&b, kBoot, 0, 0, 0, highest));
    EXPECT_FALSE(feed_backoff_known_down(&b, kBoot, 0, 0));
    b = fresh();
    EXPECT_EQ(50u, feed_backoff_failed(&b, kBoot, 0, 50, 10, highest));
    EXPECT_EQ(50u, feed_backoff_failed(&b, kBoot, 0, 50, 10, highest));
}

} // namespace
