/*
 * feed_tls.h - TLS 1.2 for the feed client over a socket that is already
 * connected, as a FeedTransport.
 *
 *   feed_tls_open        checks the clock, reads the CA bundle (and the client
 *                        certificate and key), makes the handshake and fills a
 *                        FeedTransport whose close ends the TLS session
 *   feed_tls_build_epoch the build date the wall clock is compared with
 *
 * Suites: ECDHE (RSA or ECDSA certificates) with AES-GCM only, which every
 * cloud broker offers; signatures with SHA-2 only. ChaCha20-Poly1305 and SHA-1
 * are left out to keep feed_update within its flash budget. TLS 1.2 only
 * (BearSSL has no TLS 1.3). SNI is sent and the server's
 * name is checked against its certificate. It fails closed: there is no way
 * to turn verification off.
 *
 * Memory of one session (one heap block, plus the anchors of tls_credentials.h):
 *   FEED_TLS_INPUT_SIZE  the full input record buffer: a broker that does not
 *                        negotiate a maximum fragment length may send 16 KiB
 *                        records, so nothing smaller is safe;
 *   FEED_TLS_OUTPUT_SIZE one output record of 2 KiB of data, enough for the
 *                        largest MQTT packet made; longer writes go out as
 *                        several records;
 *   BearSSL's client and X.509 contexts, about 4 KiB.
 * Input and output are separate (full duplex), so a PUBACK arriving while
 * a PUBLISH is written never stalls the writer.
 */
#ifndef OMBRELLE_FEED_TLS_H
#define OMBRELLE_FEED_TLS_H

#include <stddef.h>

#include "transport.h"

enum {
    FEED_TLS_INPUT_SIZE = 16384 + 325, /* BR_SSL_BUFSIZE_INPUT */
    FEED_TLS_OUTPUT_SIZE = 2048 + 85   /* one record of 2 KiB, record overhead included */
};

/* The CA bundle used when none is given, under the root prefix (rootpath.h). */
#define FEED_TLS_DEFAULT_CAFILE "/etc/ssl/certs/ca-certificates.crt"

/* Room for an error text: one status line. */
enum { FEED_TLS_ERROR_MAX = 256 };

typedef struct {
    const char *host;     /* sent as SNI and checked against the certificate */
    const char *cafile;   /* null: FEED_TLS_DEFAULT_CAFILE under the root prefix */
    const char *certfile; /* null: no client certificate; else PEM, own certificate first */
    const char *keyfile;  /* PEM key (RSA or EC) of certfile; refused when group or others may read it */
    long long (*wall_clock)(void); /* seconds since 1970; null: time() */
} FeedTlsConfig;

/*
 * Makes the TLS handshake over the connected socket fd before deadline_ms
 * (feed_transport_now_ms()). Returns 0 with *transport filled: the transport
 * then owns fd, and its close sends the TLS close and closes fd. Returns -1
 * with a text naming the cause in error[error_size] (for example "TLS: the
 * server's certificate is not for host cam.example"); fd is then left open
 * for the caller to close and nothing was sent after the handshake failed.
 */
int feed_tls_open(const FeedTlsConfig *config, int fd, long long deadline_ms, FeedTransport *transport, char *error,
                  size_t error_size);

/* Seconds since 1970 of the build: a wall clock earlier than it is refused. */
long long feed_tls_build_epoch(void);

#endif
