/* The plain TCP transport against a listener on 127.0.0.1: bytes both ways, deadlines kept, errors given. */
#include "tcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

/* A listening socket on 127.0.0.1 at a port the kernel chose. */
struct Listener {
    int fd = -1;
    unsigned port = 0;
    Listener()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd, 4) == 0
            && getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
};

TEST(FeedTcp, CarriesBytesBothWaysAndSeesTheEnd)
{
    Listener l;
    ASSERT_NE(0u, l.port);
    FeedTransport t;
    ASSERT_EQ(0, feed_tcp_open("127.0.0.1", l.port, feed_transport_now_ms() + 2000, &t));
    int peer = accept(l.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    const unsigned char hello[] = {0x10, 0x02, 0x00, 0x04};
    ASSERT_EQ(0, t.write_all(t.ctx, hello, sizeof hello, feed_transport_now_ms() + 1000));
    unsigned char got[8];
    ASSERT_EQ((ssize_t)sizeof hello, read(peer, got, sizeof got));
    EXPECT_EQ(0, memcmp(hello, got, sizeof hello));

    ASSERT_EQ(2, write(peer, "\x20\x02", 2));
    EXPECT_EQ(2, t.read_some(t.ctx, got, sizeof got, feed_transport_now_ms() + 1000));
    close(peer);
    EXPECT_EQ(0, t.read_some(t.ctx, got, sizeof got, feed_transport_now_ms() + 1000));
    t.close(t.ctx);
}

TEST(FeedTcp, ASilentPeerEndsAtTheDeadline)
{
    Listener l;
    FeedTransport t;
    ASSERT_EQ(0, feed_tcp_open("127.0.0.1", l.port, feed_transport_now_ms() + 2000, &t));
    unsigned char got[8];
    long long start = feed_transport_now_ms();
    errno = 0;
    EXPECT_EQ(-1, t.read_some(t.ctx, got, sizeof got, start + 200));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_GE(feed_transport_now_ms() - start, 190);

    /* A peer that never reads: the write stops at its deadline instead of blocking. */
    static unsigned char big[1 << 20];
    errno = 0;
    int r = 0;
    for (int i = 0; i < 64 && r == 0; i++)
        r = t.write_all(t.ctx, big, sizeof big, feed_transport_now_ms() + 200);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(ETIMEDOUT, errno);
    t.close(t.ctx);
}

TEST(FeedTcp, RefusalsAndBadPortsAreErrors)
{
    unsigned closedPort;
    {
        Listener l;
        closedPort = l.port;
    }
    FeedTransport t = {nullptr, nullptr, nullptr, nullptr};
    errno = 0;
    EXPECT_EQ(-1, feed_tcp_open("127.0.0.1", closedPort, feed_transport_now_ms() + 2000, &t));
    EXPECT_EQ(ECONNREFUSED, errno);
    EXPECT_EQ(nullptr, t.ctx);
    EXPECT_EQ(-1, feed_tcp_open("127.0.0.1", 0, feed_transport_now_ms() + 2000, &t));
    EXPECT_EQ(-1, feed_tcp_open("127.0.0.1", 70000, feed_transport_now_ms() + 2000, &t));
    EXPECT_EQ(-1, feed_tcp_open("", 1883, feed_transport_now_ms() + 2000, &t));
}

TEST(FeedTcp, APeerThatClosedGivesAnErrorNotASignal)
{
    Listener l;
    FeedTransport t;
    ASSERT_EQ(0, feed_tcp_open("127.0.0.1", l.port, feed_transport_now_ms() + 2000, &t));
    int peer = accept(l.fd, nullptr, nullptr);
    close(peer);
    static unsigned char chunk[65536];
    int r = 0;
    for (int i = 0; i < 64 && r == 0; i++)
        r = t.write_all(t.ctx, chunk, sizeof chunk, feed_transport_now_ms() + 1000);
    EXPECT_EQ(-1, r);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    t.close(t.ctx);
}

} // namespace
