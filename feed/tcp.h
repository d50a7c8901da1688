/*
 * tcp.h - the plain TCP transport of the MQTT session.
 *
 * The socket is non-blocking from the start, so no connect, write or read
 * waits past the caller's deadline (CLOCK_MONOTONIC milliseconds, as
 * feed_transport_now_ms() gives). Writes use MSG_NOSIGNAL: a broker that
 * closes early gives EPIPE, not a SIGPIPE that would end the run.
 */
#pragma once

#include "transport.h"

/*
 * Connects to host (as feed_tcp_open does) and returns the connected
 * non-blocking socket, or -1 with errno set: for a transport that runs over
 * it, such as TLS.
 */
int feed_tcp_connect(const char *host, unsigned port, long long deadline_ms);

/*
 * Connects to host (a name, an IPv4 address, or an IPv6 one without brackets)
 * at port, trying each address the resolver gives until one answers before
 * the deadline. Returns 0 with *out ready to use (its close() frees it), or -1
 * with errno set (ETIMEDOUT at the deadline) and *out untouched.
 *
 * Name resolution itself is the C library's and may wait on its own
 * resolver timeout; numeric addresses never wait.
 */
int feed_tcp_open(const char *host, unsigned port, long long deadline_ms, FeedTransport *out);
