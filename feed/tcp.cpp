#include "tcp.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

long long feed_transport_now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

namespace {

struct TcpContext {
    int fd;
};

/* Waits until fd is ready for events or the deadline: 1, 0 at the deadline (errno ETIMEDOUT), -1. */
int wait_ready(int fd, short events, long long deadline_ms)
{
    for (;;) {
        long long left = deadline_ms - feed_transport_now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        struct pollfd p = {fd, events, 0};
        int n = poll(&p, 1, left > 60000 ? 60000 : (int)left);
        if (n > 0)
            return 1;
        if (n < 0 && errno != EINTR)
            return -1;
    }
}

int tcp_write_all(void *ctx, const unsigned char *buf, size_t len, long long deadline_ms)
{
    int fd = static_cast<TcpContext *>(ctx)->fd;
    while (len > 0) {
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n > 0) {
            buf += n;
            len -= (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (wait_ready(fd, POLLOUT, deadline_ms) != 1)
            return -1;
    }
    return 0;
}

long tcp_read_some(void *ctx, unsigned char *buf, size_t size, long long deadline_ms)
{
    int fd = static_cast<TcpContext *>(ctx)->fd;
    for (;;) {
        ssize_t n = recv(fd, buf, size, 0);
        if (n >= 0)
            return (long)n;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (wait_ready(fd, POLLIN, deadline_ms) != 1)
            return -1;
    }
}

void tcp_close(void *ctx)
{
    TcpContext *c = static_cast<TcpContext *>(ctx);
    close(c->fd);
    free(c);
}

/* One address: a connected non-blocking socket, or -1 with errno set. */
int connect_one(const struct addrinfo *ai, long long deadline_ms)
{
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
        return -1;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (wait_ready(fd, POLLOUT, deadline_ms) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0
        || error != 0) {
        int saved = error != 0 ? error : errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace

int feed_tcp_connect(const char *host, unsigned port, long long deadline_ms)
{
    if (port == 0 || port > 65535) {
        errno = EINVAL;
        return -1;
    }
    char service[8];
    snprintf(service, sizeof service, "%u", port);
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    int error = EHOSTUNREACH;
    for (const struct addrinfo *ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = connect_one(ai, deadline_ms);
        if (fd < 0)
            error = errno;
        if (error == ETIMEDOUT)
            break;
    }
    freeaddrinfo(list);
    if (fd < 0)
        errno = error;
    return fd;
}

int feed_tcp_open(const char *host, unsigned port, long long deadline_ms, FeedTransport *out)
{
    int fd = feed_tcp_connect(host, port, deadline_ms);
    if (fd < 0)
        return -1;
    TcpContext *c = static_cast<TcpContext *>(malloc(sizeof *c));
    if (c == nullptr) {
        close(fd);
        errno = ENOMEM;
        return -1;
    }
    c->fd = fd;
    *out = FeedTransport{c, tcp_write_all, tcp_read_some, tcp_close};
    return 0;
}
