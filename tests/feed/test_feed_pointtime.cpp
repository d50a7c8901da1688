/* Point times: dated, re-dated through the boot clock, or sent undated; never 1970. */
#include "pointtime.h"

#include <stdlib.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

using harness::MakeDirs;
using harness::TempDir;
using harness::WriteFile;

namespace {

const char kBoot[] = "7c1f0e52-3a39-4d0b-9a55-0f5b1a3c2d10";
const char kOtherBoot[] = "0d2a6b11-5e7f-4c3a-8b21-6f9e0a1b2c3d";
const int64_t kBuild = 1780000000; /* 2026-05-28 */

FeedPointTime at(int64_t wallS, int64_t bootMs, const char *boot)
{
    FeedPointTime t = {wallS, bootMs, ""};
    snprintf(t.bootId, sizeof t.bootId, "%s", boot);
    return t;
}

TEST(FeedPointDate, ClockSetOrReDatedOrUndated)
{
    const struct {
        const char *name;
        FeedPointTime point;
        FeedPointTime now;
        FeedDating dating;
        int64_t atS;
    } cases[] = {
        {"clock set when taken", at(kBuild + 100, 5000, kBoot), at(kBuild + 900, 9000, kBoot), FEED_DATED, kBuild + 100},
        {"a set clock from another boot is still true", at(kBuild + 100, 5000, kOtherBoot), at(kBuild + 900, 10, kBoot),
         FEED_DATED, kBuild + 100},
        {"taken at power-up, clock set 2 min later", at(12, 12000, kBoot), at(kBuild + 500, 132000, kBoot),
         FEED_REDATED, kBuild + 380},
        {"boot-clock milliseconds round to the nearest second", at(3, 3400, kBoot), at(kBuild, 4000, kBoot),
         FEED_REDATED, kBuild - 1},
        {"same boot, clock still not set", at(12, 12000, kBoot), at(40, 40000, kBoot), FEED_NOT_YET, 0},
        {"its boot ended first", at(12, 12000, kOtherBoot), at(kBuild + 500, 132000, kBoot), FEED_UNDATED, 0},
        {"no boot id when taken", at(12, 12000, ""), at(kBuild + 500, 132000, ""), FEED_UNDATED, 0},
        {"boot clock behind the point: not the same boot after all", at(12, 12000, kBoot),
         at(kBuild + 500, 1000, kBoot), FEED_UNDATED, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int64_t atS = 0;
        EXPECT_EQ(c.dating, feed_point_date(&c.point, &c.now, kBuild, &atS));
        EXPECT_EQ(c.atS, atS);
    }
}

TEST(FeedPointDate, FormatsUtcAndRefusesShortBuffers)
{
    char out[32];
    ASSERT_EQ(0, feed_format_at(1780000000, out, sizeof out));
    EXPECT_STREQ("2026-05-28T20:26:40Z", out);
    char small[20];
    EXPECT_EQ(-1, feed_format_at(1780000000, small, sizeof small));
    EXPECT_STREQ("", small);
}

int64_t g_wall;
int64_t g_boot;
int64_t fake_wall() { return g_wall; }
int64_t fake_boot() { return g_boot; }
int fake_id(char *out, size_t size) { return snprintf(out, size, "%s", kBoot) < 0 ? -1 : 0; }
const FeedClockOps kFakeClock = {fake_wall, fake_boot, fake_id};

TEST(FeedPointDate, ClockReadThroughItsSeamAcrossAStep)
{
    g_feedClock = &kFakeClock;
    g_wall = 20;
    g_boot = 20000;
    FeedPointTime taken;
    feed_time_now(&taken);
    /* NTP steps the wall clock forward by years; the boot clock runs on by 10 s. */
    g_wall = kBuild + 4000;
    g_boot = 30000;
    FeedPointTime now;
    feed_time_now(&now);
    g_feedClock = &feed_clock_system;
    int64_t atS = 0;
    EXPECT_EQ(FEED_REDATED, feed_point_date(&taken, &now, kBuild, &atS));
    EXPECT_EQ(kBuild + 3990, atS);
}

TEST(FeedPointDate, BootIdUnderTheRootPrefix)
{
    TempDir root;
    std::string dir = root.path() + "/proc/sys/kernel/random";
    MakeDirs(dir);
    setenv("OMBRELLE_ROOT", root.path().c_str(), 1);
    char id[FEED_BOOT_ID_SIZE];
    const struct {
        const char *name;
        std::string content;
        int result;
        const char *id;
    } cases[] = {
        {"a boot id", std::string(kBoot) + "\n", 0, kBoot},
        {"no line feed", kBoot, -1, ""},
        {"too long", std::string(kBoot) + "00\n", -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir + "/boot_id", c.content);
        EXPECT_EQ(c.result, feed_clock_system.boot_id(id, sizeof id));
        EXPECT_STREQ(c.id, id);
    }
    unlink((dir + "/boot_id").c_str());
    EXPECT_EQ(-1, feed_clock_system.boot_id(id, sizeof id));
    unsetenv("OMBRELLE_ROOT");
    EXPECT_GE(feed_clock_system.wall_s(), g_feedBuildEpoch);
}

} // namespace
