#include "pty_link.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const tcflag_t kDriverBit = 0x01000000;

}  // namespace

PtyLink::PtyLink()
{
    setenv("OMBRELLE_ROOT", root_.path().c_str(), 1);
    if (slave() < 0)
        return;
    struct termios probe;
    memset(&probe, 0, sizeof probe);
    probe.c_cflag = B9600 | CS8 | CREAD | CLOCAL | kDriverBit;
    probe.c_cc[VMIN] = 1;
    tcsetattr(slave(), TCSANOW, &probe);
    kept_driver_bit_ = Seen().c_cflag & kDriverBit;

    struct termios distinct;
    memset(&distinct, 0, sizeof distinct);
    distinct.c_iflag = IGNBRK | INPCK;
    distinct.c_oflag = OPOST;
    distinct.c_cflag = B38400 | CS8 | CREAD | HUPCL;
    distinct.c_cc[VMIN] = 7;
    distinct.c_cc[VTIME] = 3;
    distinct.c_cc[VINTR] = 3;
    EXPECT_EQ(0, tcsetattr(slave(), TCSANOW, &distinct));
    original = Seen();
}

PtyLink::~PtyLink()
{
    unsetenv("OMBRELLE_ROOT");
}

struct termios PtyLink::Seen() const
{
    struct termios seen;
    memset(&seen, 0, sizeof seen);
    EXPECT_EQ(0, tcgetattr(master(), &seen));
    return seen;
}

void PtyLink::Preload(const Bytes &bytes) const
{
    Send(bytes);
    EXPECT_TRUE(harness::WaitFor([&] {
        int queued = 0;
        ioctl(slave(), FIONREAD, &queued);
        return queued == (int)bytes.size();
    }, 5000));
}

void ExpectProfile(const struct termios &seen, tcflag_t iflag, tcflag_t cflag, cc_t vmin)
{
    EXPECT_EQ(iflag, seen.c_iflag);
    EXPECT_EQ(0u, seen.c_oflag);
    EXPECT_EQ(cflag, seen.c_cflag) << std::hex << "c_cflag 0x" << seen.c_cflag;
    EXPECT_EQ(0u, seen.c_lflag);
    for (int i = 0; i < NCCS; ++i) {
        SCOPED_TRACE("c_cc[" + std::to_string(i) + "]");
        EXPECT_EQ(i == VMIN ? vmin : 0, seen.c_cc[i]);
    }
}

void ExpectSameSettings(const struct termios &expected, const struct termios &seen)
{
    EXPECT_EQ(expected.c_iflag, seen.c_iflag);
    EXPECT_EQ(expected.c_oflag, seen.c_oflag);
    EXPECT_EQ(expected.c_cflag, seen.c_cflag);
    EXPECT_EQ(expected.c_lflag, seen.c_lflag);
    EXPECT_EQ(0, memcmp(expected.c_cc, seen.c_cc, sizeof seen.c_cc));
}

StderrCapture::StderrCapture(const std::string &path) : path_(path)
{
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture()
{
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
}

std::string StderrCapture::Text() const
{
    return harness::ReadFile(path_);
}

int FdCount()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == NULL)
        return -1;
    int count = 0;
    while (readdir(dir) != NULL)
        ++count;
    closedir(dir);
    return count;
}
