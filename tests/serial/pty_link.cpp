#include "pty_link.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const tcflag_t kDriverBit = 0x01000000;

long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

PtyLink::PtyLink()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    std::string slave = ptsname(master_);
    harness::MakeDirs(root_.sub("dev"));
    EXPECT_EQ(0, symlink(slave.c_str(), root_.sub("dev/ttyS1").c_str()));
    holder_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(holder_, 0);

    struct termios probe;
    memset(&probe, 0, sizeof probe);
    probe.c_cflag = B9600 | CS8 | CREAD | CLOCAL | kDriverBit;
    probe.c_cc[VMIN] = 1;
    tcsetattr(holder_, TCSANOW, &probe);
    kept_driver_bit_ = Seen().c_cflag & kDriverBit;

    struct termios distinct;
    memset(&distinct, 0, sizeof distinct);
    distinct.c_iflag = IGNBRK | INPCK;
    distinct.c_oflag = OPOST;
    distinct.c_cflag = B38400 | CS8 | CREAD | HUPCL;
    distinct.c_cc[VMIN] = 7;
    distinct.c_cc[VTIME] = 3;
    distinct.c_cc[VINTR] = 3;
    EXPECT_EQ(0, tcsetattr(holder_, TCSANOW, &distinct));
    original = Seen();
    setenv("OMBRELLE_ROOT", root_.path().c_str(), 1);
}

PtyLink::~PtyLink()
{
    unsetenv("OMBRELLE_ROOT");
    if (holder_ >= 0)
        close(holder_);
    if (master_ >= 0)
        close(master_);
}

struct termios PtyLink::Seen() const
{
    struct termios seen;
    memset(&seen, 0, sizeof seen);
    EXPECT_EQ(0, tcgetattr(master_, &seen));
    return seen;
}

void PtyLink::Send(const Bytes &bytes) const
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ADD_FAILURE() << "write to the pty master failed";
            return;
        }
        done += (size_t)n;
    }
}

void PtyLink::Preload(const Bytes &bytes) const
{
    Send(bytes);
    EXPECT_TRUE(harness::WaitFor([&] {
        int queued = 0;
        ioctl(holder_, FIONREAD, &queued);
        return queued == (int)bytes.size();
    }, 5000));
}

Bytes PtyLink::Receive(size_t n, int timeoutMs) const
{
    Bytes got;
    long deadline = NowMs() + timeoutMs;
    while (got.size() < n) {
        long left = deadline - NowMs();
        if (left <= 0)
            break;
        struct pollfd pfd = {master_, POLLIN, 0};
        if (poll(&pfd, 1, (int)left) <= 0)
            continue;
        uint8_t buf[256];
        size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
        ssize_t r = read(master_, buf, want);
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
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
