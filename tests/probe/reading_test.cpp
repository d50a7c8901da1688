/* The reading file: written beside the target and renamed over it; failures leave no value behind. */

/* The 32-bit build under qemu-arm lists a host directory: its offsets need 64 bits. */
#define _FILE_OFFSET_BITS 64

#include "reading.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::FileExists;
using harness::ReadFile;
using harness::WriteFile;

/* Which calls of the file system fail (with EIO), and how. */
enum Fault : unsigned {
    FAIL_MKSTEMP = 1u << 0,
    FAIL_FCHMOD = 1u << 1,
    FAIL_WRITE = 1u << 2,
    SHORT_WRITE = 1u << 3,
    FAIL_CLOSE = 1u << 4,
    FAIL_RENAME = 1u << 5,
    FAIL_UNLINK = 1u << 6,
};

unsigned g_faults;

int FaultyMkstemp(char *templ)
{
    if (g_faults & FAIL_MKSTEMP) {
        errno = EIO;
        return -1;
    }
    return mkstemp(templ);
}

int FaultyFchmod(int fd, mode_t mode)
{
    if (g_faults & FAIL_FCHMOD) {
        errno = EIO;
        return -1;
    }
    return fchmod(fd, mode);
}

ssize_t FaultyWrite(int fd, const void *buf, size_t count)
{
    if (g_faults & FAIL_WRITE) {
        errno = EIO;
        return -1;
    }
    return write(fd, buf, (g_faults & SHORT_WRITE) && count > 0 ? count - 1 : count);
}

int FaultyClose(int fd)
{
    int rc = close(fd);
    if (g_faults & FAIL_CLOSE) {
        errno = EIO;
        return -1;
    }
    return rc;
}

int FaultyRename(const char *from, const char *to)
{
    if (g_faults & FAIL_RENAME) {
        errno = EIO;
        return -1;
    }
    return rename(from, to);
}

int FaultyUnlink(const char *path)
{
    if (g_faults & FAIL_UNLINK) {
        errno = EIO;
        return -1;
    }
    return unlink(path);
}

const reading_fs_ops kFaultyFs = {FaultyMkstemp, FaultyFchmod, FaultyWrite, FaultyClose, FaultyRename, FaultyUnlink};

class ReadingTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_faults = 0;
        g_readingFs = &kFaultyFs;
    }
    void TearDown() override { g_readingFs = &reading_fs_system; }

    std::string Path() const { return dir_.sub("InternalTemp.log"); }

    /* The names in the directory, sorted. */
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir_.path().c_str());
        for (struct dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        if (d != nullptr)
            closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    harness::TempDir dir_;
};

TEST_F(ReadingTest, ValueAloneInAReadableFileAndNothingElseLeft)
{
    WriteFile(Path(), "   99.00 and more");
    EXPECT_EQ(reading_store(Path().c_str(), 23.75f), 0);
    EXPECT_EQ(ReadFile(Path()), "   23.75");
    struct stat st;
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"InternalTemp.log"});
}

/* Someone who can write the directory plants a link to a file of their choosing. */
TEST_F(ReadingTest, PlantedLinksAreReplacedNeverWrittenThrough)
{
    const std::string victim = dir_.sub("victim");
    WriteFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), Path().c_str()), 0);
    EXPECT_EQ(reading_store(Path().c_str(), -5.5f), 0);
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(ReadFile(Path()), "   -5.50");
    struct stat st;
    ASSERT_EQ(lstat(Path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    ASSERT_EQ(unlink(Path().c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), Path().c_str()), 0);
    EXPECT_EQ(reading_store(Path().c_str(), 100.0f), 0);
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(ReadFile(Path()), "  100.00");
}

struct FaultCase {
    const char *name;
    unsigned faults;
    int rc;
    const char *left; /* the target's content afterwards; null: no target */
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.name;
}

const FaultCase kFaultCases[] = {
    /* Nothing written: the old file is the caller's to remove. */
    {"CannotCreate", FAIL_MKSTEMP, -1, "   99.00"},
    {"CannotSetTheMode", FAIL_FCHMOD, 0, nullptr},
    {"WriteFails", FAIL_WRITE, 0, nullptr},
    {"WriteShort", SHORT_WRITE, 0, nullptr},
    {"CloseFails", FAIL_CLOSE, 0, nullptr},
    /* The partial file cannot be removed: the caller must not take the run for a success. */
    {"PartialFileStays", FAIL_WRITE | FAIL_UNLINK, -1, "   99.00"},
    {"CannotRename", FAIL_RENAME, -1, "   99.00"},
};

class ReadingFaultTest : public ReadingTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(ReadingFaultTest, NoPartialOrStaleValueAndAFailureWhenOneStays)
{
    const FaultCase &c = GetParam();
    WriteFile(Path(), "   99.00");
    g_faults = c.faults;
    EXPECT_EQ(reading_store(Path().c_str(), 23.75f), c.rc);
    g_faults = 0;
    if (c.left == nullptr)
        EXPECT_FALSE(FileExists(Path()));
    else
        EXPECT_EQ(ReadFile(Path()), c.left);
    /* No temporary file stays behind unless it could not be removed. */
    size_t expected = (c.left != nullptr ? 1 : 0) + ((c.faults & FAIL_UNLINK) != 0 ? 1 : 0);
    EXPECT_EQ(Entries().size(), expected) << testing::PrintToString(Entries());
}

INSTANTIATE_TEST_SUITE_P(FileSystem, ReadingFaultTest, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase> &i) { return i.param.name; });

TEST_F(ReadingTest, WithdrawFailsOnlyWhenAnOldReadingStays)
{
    EXPECT_EQ(reading_withdraw(Path().c_str()), 0);
    WriteFile(Path(), "   99.00");
    EXPECT_EQ(reading_withdraw((Path() + "/under-a-file").c_str()), 0);
    EXPECT_EQ(reading_withdraw(Path().c_str()), 0);
    EXPECT_FALSE(FileExists(Path()));
    WriteFile(Path() + "/keep", "x");
    EXPECT_EQ(reading_withdraw(Path().c_str()), -1);
}

}  // namespace
