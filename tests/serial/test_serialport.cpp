#include "serialport.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <gtest/gtest.h>

#include "pty_link.h"

namespace {

struct ProfileCase {
    const char *name;
    SerialProfileId profile;
    tcflag_t cflag;
    cc_t vmin;
};

void PrintTo(const ProfileCase &c, std::ostream *os)
{
    *os << c.name;
}

const ProfileCase kProfileCases[] = {
    {"record", SERIAL_PROFILE_RECORD, 0x010008BD, 1},
    {"query", SERIAL_PROFILE_QUERY, 0x010008BD, 25},
    {"radio", SERIAL_PROFILE_RADIO, 0x800008BD, 1},
};

class SerialProfileTest : public testing::TestWithParam<ProfileCase> {};

TEST_P(SerialProfileTest, SetsOnlyItsMembersFromZero)
{
    const ProfileCase &c = GetParam();
    struct termios tio;
    memset(&tio, 0x5A, sizeof tio);
    serialport_termios(c.profile, &tio);
    ExpectProfile(tio, IGNPAR, c.cflag, c.vmin);
    EXPECT_EQ(0, tio.c_line);
}

INSTANTIATE_TEST_SUITE_P(SerialProfiles, SerialProfileTest, testing::ValuesIn(kProfileCases),
                         [](const testing::TestParamInfo<ProfileCase> &info) { return std::string(info.param.name); });

/* With VMIN 25 poll() never sees a partial reply; the bounded read must still take it. */
TEST(SerialPortRead, TakesAPartialReplyAtTheDeadline)
{
    PtyLink link;
    SerialPort port;
    ASSERT_EQ(0, serialport_open(SERIAL_PROFILE_QUERY, &port));
    link.Preload(Bytes(10, 0xA5));
    uint8_t buf[255] = {0};
    struct timespec deadline;
    long start = harness::NowMs();
    serialport_deadline(300, &deadline);
    EXPECT_EQ(10, serialport_read_within(port.fd, buf, sizeof buf, 25, &deadline));
    EXPECT_GE(harness::NowMs() - start, 290);
    EXPECT_EQ(0xA5, buf[9]);
    EXPECT_EQ(0, serialport_read_within(port.fd, buf, sizeof buf, 25, &deadline));
    serialport_close(&port);
}

TEST(SerialPortRead, ReturnsOnceEnoughIsQueued)
{
    PtyLink link;
    SerialPort port;
    ASSERT_EQ(0, serialport_open(SERIAL_PROFILE_QUERY, &port));
    link.Preload(Bytes(30, 0x11));
    uint8_t buf[255] = {0};
    struct timespec deadline;
    long start = harness::NowMs();
    serialport_deadline(20000, &deadline);
    EXPECT_EQ(30, serialport_read_within(port.fd, buf, sizeof buf, 25, &deadline));
    EXPECT_LT(harness::NowMs() - start, 10000);
    serialport_close(&port);
}

TEST(SerialPortOpen, RestoresTheSavedSettingsAndClosesOnClose)
{
    PtyLink link;
    int fds = FdCount();
    SerialPort port;
    ASSERT_EQ(0, serialport_open(SERIAL_PROFILE_RADIO, &port));
    ExpectProfile(link.Seen(), IGNPAR, 0x800008BD, 1);
    serialport_close(&port);
    EXPECT_EQ(-1, port.fd);
    ExpectSameSettings(link.original, link.Seen());
    EXPECT_EQ(fds, FdCount());
}

TEST(SerialPortOpen, FailsWithErrnoWhenThePortIsMissing)
{
    harness::TempDir root;
    setenv("OMBRELLE_ROOT", root.path().c_str(), 1);
    SerialPort port;
    errno = 0;
    EXPECT_EQ(-1, serialport_open(SERIAL_PROFILE_RECORD, &port));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, port.fd);
    unsetenv("OMBRELLE_ROOT");
}

}  // namespace
