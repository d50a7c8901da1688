#include "pty_peer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

bool WriteAll(int fd, const Bytes &bytes, int waitMs)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (n < 0 && errno == EAGAIN && poll(&pfd, 1, waitMs) > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
    return true;
}

}  // namespace

PtyPeer::PtyPeer(const std::string &root)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    std::string slave = ptsname(master_);
    harness::MakeDirs(root + "/dev");
    std::string link = root + "/dev/ttyS1";
    unlink(link.c_str());
    EXPECT_EQ(0, symlink(slave.c_str(), link.c_str()));
    holder_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(holder_, 0);
}

PtyPeer::~PtyPeer()
{
    if (holder_ >= 0)
        close(holder_);
    if (master_ >= 0)
        close(master_);
}

void PtyPeer::Send(const Bytes &bytes) const
{
    if (!WriteAll(master_, bytes, 5000))
        ADD_FAILURE() << "write to the pty master failed";
}

bool PtyPeer::SendIfRoom(const Bytes &bytes) const
{
    return WriteAll(master_, bytes, 200);
}

Bytes PtyPeer::Receive(size_t n, int timeoutMs) const
{
    Bytes got;
    long deadline = harness::NowMs() + timeoutMs;
    while (got.size() < n) {
        long left = deadline - harness::NowMs();
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
