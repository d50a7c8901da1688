/*
 * tls_credentials.h - the PEM files of a TLS client, read into BearSSL's records.
 *
 *   tls_load_anchors   every CERTIFICATE of a CA bundle as a trust anchor
 *   tls_load_client    a client certificate chain and its private key (RSA or EC)
 *   tls_free_credentials
 *
 * Each load returns 0, or -1 with a text naming the file and the cause in
 * error[error_size] (truncated to fit); what was loaded before a failure is
 * freed by tls_free_credentials all the same.
 *
 * Memory: a file is read whole, at most TLS_FILE_MAX bytes, and freed once
 * decoded; an anchor keeps only its subject name and public key (about 300
 * to 600 bytes each: Debian's bundle of 144 CAs takes about 75 KiB).
 */
#ifndef OMBRELLE_TLS_CREDENTIALS_H
#define OMBRELLE_TLS_CREDENTIALS_H

#include <stddef.h>

#include <bearssl.h>

/* Largest PEM file read: Debian's CA bundle is about 220 KiB. */
enum { TLS_FILE_MAX = 1024 * 1024 };
/* Most anchors kept from one bundle, and most certificates in a client chain. */
enum { TLS_ANCHORS_MAX = 512, TLS_CHAIN_MAX = 8 };

/* Owner: one TLS session; no lock (a session is used by one thread). */
typedef struct {
    br_x509_trust_anchor *anchors; /* anchor_count of anchor_capacity */
    size_t anchor_count;
    size_t anchor_capacity;
    br_x509_certificate chain[TLS_CHAIN_MAX]; /* the client's, its own certificate first */
    size_t chain_count;
    br_skey_decoder_context key; /* the client key; valid when chain_count > 0 */
} TlsCredentials;

int tls_load_anchors(TlsCredentials *credentials, const char *cafile, char *error, size_t error_size);

/*
 * A key file that the group or others may read is refused before it is read:
 * on a camera it is the device's identity towards the broker.
 */
int tls_load_client(TlsCredentials *credentials, const char *certfile, const char *keyfile, char *error,
                    size_t error_size);

void tls_free_credentials(TlsCredentials *credentials);

#endif
