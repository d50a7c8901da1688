#include "feed_tls.h"

#include "pointtime.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <bearssl.h>

#include "rootpath.h"
#include "tls_credentials.h"

static_assert(FEED_TLS_INPUT_SIZE == BR_SSL_BUFSIZE_INPUT, "the input buffer holds a full record");

namespace {

/* Days from 1 January of year 0 to 1 January 1970, as BearSSL counts dates. */
const uint32_t DAYS_TO_1970 = 719528;
const long long SECONDS_PER_DAY = 86400;
/* The TLS close is sent with this bound and not waited for. */
const long long CLOSE_NOTIFY_MS = 500;

const uint16_t SUITES[] = {
    BR_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,       BR_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    BR_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,       BR_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
};

/* Owner: the thread that opened it, until its close; no lock. */
struct TlsSession {
    int fd;
    bool eof;        /* the server closed the TCP connection */
    int saved_errno; /* of the socket call that failed */
    br_ssl_client_context client;
    br_x509_minimal_context x509;
    TlsCredentials credentials;
    unsigned char input[FEED_TLS_INPUT_SIZE];
    unsigned char output[FEED_TLS_OUTPUT_SIZE];
};

long long system_wall_clock(void)
{
    return (long long)time(NULL);
}

/* One send or receive, waiting for the socket until the deadline: the count (0: end of stream), or -1. */
long socket_io(int fd, bool out, unsigned char *buf, size_t len, long long deadline_ms)
{
    for (;;) {
        ssize_t n = out ? send(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL) : recv(fd, buf, len, MSG_DONTWAIT);
        if (n >= 0)
            return (long)n;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        long long left = deadline_ms - feed_transport_now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd p = {fd, (short)(out ? POLLOUT : POLLIN), 0};
        if (poll(&p, 1, left > INT_MAX ? INT_MAX : (int)left) < 0 && errno != EINTR)
            return -1;
    }
}

/*
 * A server that refuses the handshake sends its alert and closes: our next
 * write may fail first, with the alert still unread. Whatever already came is
 * handed to the engine, so that the cause is the server's alert.
 */
void take_pending_input(TlsSession *s)
{
    br_ssl_engine_context *engine = &s->client.eng;
    while (br_ssl_engine_current_state(engine) & BR_SSL_RECVREC) {
        size_t len = 0;
        unsigned char *buf = br_ssl_engine_recvrec_buf(engine, &len);
        ssize_t n = recv(s->fd, buf, len, MSG_DONTWAIT);
        if (n <= 0)
            return;
        br_ssl_engine_recvrec_ack(engine, (size_t)n);
    }
}

/*
 * Moves records between the engine and the socket until the engine's state
 * has one of `want`. Returns 0, or -1 with errno: ETIMEDOUT at the deadline
 * (the session stays usable), ECONNRESET when the server closed the TCP
 * connection, EPROTO when the TLS session ended, or the socket's error.
 */
int run_until(TlsSession *s, unsigned want, long long deadline_ms)
{
    br_ssl_engine_context *engine = &s->client.eng;
    for (;;) {
        unsigned state = br_ssl_engine_current_state(engine);
        if (state & BR_SSL_CLOSED) {
            errno = EPROTO;
            return -1;
        }
        if (state & BR_SSL_SENDREC) {
            size_t len = 0;
            unsigned char *buf = br_ssl_engine_sendrec_buf(engine, &len);
            long n = socket_io(s->fd, true, buf, len, deadline_ms);
            if (n < 0) {
                s->saved_errno = errno;
                if (errno == EPIPE || errno == ECONNRESET)
                    take_pending_input(s);
                errno = s->saved_errno;
                return -1;
            }
            br_ssl_engine_sendrec_ack(engine, (size_t)n);
            continue;
        }
        if (state & want)
            return 0;
        if ((state & BR_SSL_RECVREC) && !s->eof) {
            size_t len = 0;
            unsigned char *buf = br_ssl_engine_recvrec_buf(engine, &len);
            long n = socket_io(s->fd, false, buf, len, deadline_ms);
            if (n < 0) {
                s->saved_errno = errno;
                return -1;
            }
            if (n == 0) {
                s->eof = true;
                errno = ECONNRESET;
                return -1;
            }
            br_ssl_engine_recvrec_ack(engine, (size_t)n);
            continue;
        }
        if (s->eof) {
            errno = ECONNRESET;
            return -1;
        }
        /* Buffered application data becomes a record; nothing else can move. */
        br_ssl_engine_flush(engine, 0);
        if (br_ssl_engine_current_state(engine) == state) {
            errno = EIO;
            return -1;
        }
    }
}

int tls_write_all(void *ctx, const unsigned char *buf, size_t len, long long deadline_ms)
{
    TlsSession *s = (TlsSession *)ctx;
    br_ssl_engine_context *engine = &s->client.eng;
    while (len > 0) {
        if (run_until(s, BR_SSL_SENDAPP, deadline_ms) != 0)
            return -1;
        size_t room = 0;
        unsigned char *at = br_ssl_engine_sendapp_buf(engine, &room);
        size_t n = len < room ? len : room;
        memcpy(at, buf, n);
        br_ssl_engine_sendapp_ack(engine, n);
        buf += n;
        len -= n;
    }
    br_ssl_engine_flush(engine, 0);
    /* Returns once every record went out: the state then asks for more data again. */
    return run_until(s, BR_SSL_SENDAPP, deadline_ms);
}

long tls_read_some(void *ctx, unsigned char *buf, size_t size, long long deadline_ms)
{
    TlsSession *s = (TlsSession *)ctx;
    br_ssl_engine_context *engine = &s->client.eng;
    if (run_until(s, BR_SSL_RECVAPP, deadline_ms) != 0) {
        /* A close_notify from the server, or a TCP close (MQTT's own framing shows a cut packet). */
        bool closed = (br_ssl_engine_current_state(engine) & BR_SSL_CLOSED) &&
                      br_ssl_engine_last_error(engine) == BR_ERR_OK;
        if (closed || s->eof)
            return 0;
        return -1;
    }
    size_t have = 0;
    unsigned char *at = br_ssl_engine_recvapp_buf(engine, &have);
    size_t n = size < have ? size : have;
    memcpy(buf, at, n);
    br_ssl_engine_recvapp_ack(engine, n);
    return (long)n;
}

void free_session(TlsSession *s)
{
    tls_free_credentials(&s->credentials);
    free(s);
}

void tls_close(void *ctx)
{
    TlsSession *s = (TlsSession *)ctx;
    br_ssl_engine_close(&s->client.eng);
    long long deadline_ms = feed_transport_now_ms() + CLOSE_NOTIFY_MS;
    while ((br_ssl_engine_current_state(&s->client.eng) & BR_SSL_SENDREC) && !s->eof) {
        size_t len = 0;
        unsigned char *buf = br_ssl_engine_sendrec_buf(&s->client.eng, &len);
        long n = socket_io(s->fd, true, buf, len, deadline_ms);
        if (n <= 0)
            break;
        br_ssl_engine_sendrec_ack(&s->client.eng, (size_t)n);
    }
    close(s->fd);
    free_session(s);
}

void format_date(long long seconds, char *out, size_t size)
{
    time_t t = (time_t)seconds;
    struct tm tm;
    if (gmtime_r(&t, &tm) == NULL || strftime(out, size, "%Y-%m-%d %H:%M UTC", &tm) == 0)
        snprintf(out, size, "%lld", seconds);
}

const char *alert_name(int alert)
{
    switch (alert) {
    case 40:
        return "handshake failure: a client certificate may be required";
    case 42:
        return "bad certificate";
    case 46:
        return "certificate unknown";
    case 48:
        return "unknown CA: the server does not accept the client certificate";
    case 70:
        return "protocol version";
    case 71:
        return "insufficient security: no common cipher suite";
    case 116:
        return "certificate required";
    default:
        return "refused";
    }
}

/* The cause of a failed handshake, as one status line. */
void handshake_error(const TlsSession *s, const FeedTlsConfig *config, const char *cafile, long long now,
                     char *error, size_t error_size)
{
    int err = br_ssl_engine_last_error(&s->client.eng);
    char date[32];
    switch (err) {
    case BR_ERR_X509_NOT_TRUSTED:
        snprintf(error, error_size, "TLS: the server's certificate is not signed by a CA of %s", cafile);
        return;
    case BR_ERR_X509_BAD_SERVER_NAME:
        snprintf(error, error_size, "TLS: the server's certificate is not for host %s", config->host);
        return;
    case BR_ERR_X509_EXPIRED:
        format_date(now, date, sizeof date);
        snprintf(error, error_size, "TLS: the server's certificate is expired or not yet valid at %s", date);
        return;
    case BR_ERR_OK:
    case BR_ERR_IO:
        if (s->saved_errno == ETIMEDOUT)
            snprintf(error, error_size, "TLS: the handshake with %s timed out", config->host);
        else if (s->eof || s->saved_errno == EPIPE || s->saved_errno == ECONNRESET)
            snprintf(error, error_size, "TLS: %s closed the connection during the handshake", config->host);
        else
            snprintf(error, error_size, "TLS: the handshake with %s failed: %s", config->host,
                     strerror(s->saved_errno));
        return;
    default:
        break;
    }
    if (err >= BR_ERR_RECV_FATAL_ALERT && err < BR_ERR_SEND_FATAL_ALERT) {
        int alert = err - BR_ERR_RECV_FATAL_ALERT;
        snprintf(error, error_size, "TLS: %s refused the handshake (alert %d, %s)", config->host, alert,
                 alert_name(alert));
    } else if (err >= BR_ERR_X509_OK && err < BR_ERR_RECV_FATAL_ALERT) {
        snprintf(error, error_size, "TLS: the server's certificate is not valid (X.509 error %d)", err);
    } else {
        snprintf(error, error_size, "TLS: the handshake with %s failed (BearSSL error %d)", config->host, err);
    }
}

/* The client engine with only what TLS 1.2, ECDHE and AEAD need: smaller than br_ssl_client_init_full. */
void init_engine(TlsSession *s, long long now)
{
    br_ssl_client_context *cc = &s->client;
    br_x509_minimal_context *xc = &s->x509;
    br_ssl_client_zero(cc);
    br_ssl_engine_set_versions(&cc->eng, BR_TLS12, BR_TLS12);
    br_ssl_engine_set_suites(&cc->eng, SUITES, sizeof SUITES / sizeof SUITES[0]);
    br_x509_minimal_init(xc, &br_sha256_vtable, s->credentials.anchors, s->credentials.anchor_count);
    br_ssl_engine_set_default_rsavrfy(&cc->eng);
    br_ssl_engine_set_default_ecdsa(&cc->eng);
    br_x509_minimal_set_rsa(xc, br_ssl_engine_get_rsavrfy(&cc->eng));
    br_x509_minimal_set_ecdsa(xc, br_ssl_engine_get_ec(&cc->eng), br_ssl_engine_get_ecdsa(&cc->eng));
    static const br_hash_class *const HASHES[] = {&br_sha224_vtable, &br_sha256_vtable, &br_sha384_vtable,
                                                  &br_sha512_vtable};
    for (const br_hash_class *hash : HASHES) {
        int id = (int)((hash->desc >> BR_HASHDESC_ID_OFF) & BR_HASHDESC_ID_MASK);
        br_ssl_engine_set_hash(&cc->eng, id, hash);
        br_x509_minimal_set_hash(xc, id, hash);
    }
    br_ssl_engine_set_x509(&cc->eng, &xc->vtable);
    br_ssl_engine_set_prf_sha256(&cc->eng, &br_tls12_sha256_prf);
    br_ssl_engine_set_prf_sha384(&cc->eng, &br_tls12_sha384_prf);
    br_ssl_engine_set_default_aes_gcm(&cc->eng);
    br_x509_minimal_set_time(xc, (uint32_t)(now / SECONDS_PER_DAY) + DAYS_TO_1970,
                             (uint32_t)(now % SECONDS_PER_DAY));
    br_ssl_engine_set_buffers_bidi(&cc->eng, s->input, sizeof s->input, s->output, sizeof s->output);
    if (s->credentials.chain_count == 0)
        return;
    const br_skey_decoder_context *key = &s->credentials.key;
    if (br_skey_decoder_key_type(key) == BR_KEYTYPE_RSA)
        br_ssl_client_set_single_rsa(cc, s->credentials.chain, s->credentials.chain_count,
                                     br_skey_decoder_get_rsa(key), br_rsa_pkcs1_sign_get_default());
    else
        br_ssl_client_set_single_ec(cc, s->credentials.chain, s->credentials.chain_count,
                                    br_skey_decoder_get_ec(key), BR_KEYTYPE_SIGN, 0, br_ec_get_default(),
                                    br_ecdsa_sign_asn1_get_default());
}

int clock_checked(const FeedTlsConfig *config, long long *now, char *error, size_t error_size)
{
    *now = config->wall_clock != NULL ? config->wall_clock() : system_wall_clock();
    if (*now >= feed_tls_build_epoch())
        return 0;
    char clock[32], build[32];
    format_date(*now, clock, sizeof clock);
    format_date(feed_tls_build_epoch(), build, sizeof build);
    snprintf(error, error_size,
             "TLS: the clock (%s) is earlier than the build date (%s): certificate dates cannot be checked",
             clock, build);
    return -1;
}

int load_credentials(TlsSession *s, const FeedTlsConfig *config, const char *cafile, char *error,
                     size_t error_size)
{
    char cause[FEED_TLS_ERROR_MAX];
    if (tls_load_anchors(&s->credentials, cafile, cause, sizeof cause) != 0 ||
        (config->certfile != NULL &&
         tls_load_client(&s->credentials, config->certfile, config->keyfile, cause, sizeof cause) != 0)) {
        snprintf(error, error_size, "TLS: %s", cause);
        return -1;
    }
    return 0;
}

}  // namespace

long long feed_tls_build_epoch(void)
{
    return g_feedBuildEpoch;
}

int feed_tls_open(const FeedTlsConfig *config, int fd, long long deadline_ms, FeedTransport *transport, char *error,
                  size_t error_size)
{
    if (config->host == NULL || config->host[0] == '\0' || (config->certfile == NULL) != (config->keyfile == NULL)) {
        snprintf(error, error_size, "TLS: a host name is needed, and a client certificate comes with its key");
        return -1;
    }
    long long now = 0;
    if (clock_checked(config, &now, error, error_size) != 0)
        return -1;
    char cafile[ROOT_PATH_MAX];
    if (config->cafile != NULL)
        snprintf(cafile, sizeof cafile, "%s", config->cafile);
    else if (root_path(FEED_TLS_DEFAULT_CAFILE, cafile, sizeof cafile) != 0)
        snprintf(cafile, sizeof cafile, "%s", FEED_TLS_DEFAULT_CAFILE);

    TlsSession *s = (TlsSession *)calloc(1, sizeof *s);
    if (s == NULL) {
        snprintf(error, error_size, "TLS: no memory for a session");
        return -1;
    }
    s->fd = fd;
    if (load_credentials(s, config, cafile, error, error_size) != 0) {
        free_session(s);
        return -1;
    }
    init_engine(s, now);
    if (!br_ssl_client_reset(&s->client, config->host, 0) ||
        run_until(s, BR_SSL_SENDAPP | BR_SSL_RECVAPP, deadline_ms) != 0) {
        handshake_error(s, config, cafile, now, error, error_size);
        free_session(s);
        return -1;
    }
    transport->ctx = s;
    transport->write_all = tls_write_all;
    transport->read_some = tls_read_some;
    transport->close = tls_close;
    return 0;
}
