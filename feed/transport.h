// A byte stream the MQTT session talks through: a plain TCP socket or a TLS connection over one.
// Deadlines are CLOCK_MONOTONIC milliseconds (feed_transport_now_ms()).
#pragma once
#include <stddef.h>

struct FeedTransport {
  void *ctx;
  // Writes all len bytes before the deadline: 0, or -1 with errno set (ETIMEDOUT at the deadline).
  int (*write_all)(void *ctx, const unsigned char *buf, size_t len, long long deadline_ms);
  // Reads up to size bytes, waiting at most until the deadline: the count read (> 0), 0 at the end of
  // the stream, or -1 with errno set (ETIMEDOUT at the deadline).
  long (*read_some)(void *ctx, unsigned char *buf, size_t size, long long deadline_ms);
  // Ends the connection (a TLS close where there is one), closes the socket and frees ctx.
  void (*close)(void *ctx);
};

long long feed_transport_now_ms();
