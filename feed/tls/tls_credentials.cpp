#include "tls_credentials.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* A whole file in memory. */
struct FileBytes {
    unsigned char *data;
    size_t size;
};

/* Where the PEM decoder writes one object's DER bytes; at most capacity of them. */
struct DerSink {
    unsigned char *data;
    size_t size;
    size_t capacity;
    bool overflow;
};

/* Called with each PEM object: 0 to go on, 1 to stop there, -1 to fail (error already written). */
typedef int (*PemObjectFn)(void *ctx, const char *name, const unsigned char *der, size_t size);

int read_file(int fd, const char *path, FileBytes *file, char *error, size_t error_size)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > TLS_FILE_MAX) {
        snprintf(error, error_size, "%s is not a regular file of at most %d bytes", path, TLS_FILE_MAX);
        return -1;
    }
    file->size = (size_t)st.st_size;
    file->data = (unsigned char *)malloc(file->size + 1);
    if (file->data == NULL) {
        snprintf(error, error_size, "no memory for %s", path);
        return -1;
    }
    size_t got = 0;
    while (got < file->size) {
        ssize_t n = read(fd, file->data + got, file->size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            snprintf(error, error_size, "cannot read %s: %s", path, n < 0 ? strerror(errno) : "cut short");
            free(file->data);
            return -1;
        }
        got += (size_t)n;
    }
    return 0;
}

int open_file(const char *path, FileBytes *file, char *error, size_t error_size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(error, error_size, "cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    int status = read_file(fd, path, file, error, error_size);
    close(fd);
    return status;
}

void der_append(void *ctx, const void *data, size_t size)
{
    DerSink *sink = (DerSink *)ctx;
    if (size > sink->capacity - sink->size) {
        sink->overflow = true;
        return;
    }
    memcpy(sink->data + sink->size, data, size);
    sink->size += size;
}

/* Hands each object of the PEM text to fn; returns the objects seen, or -1. */
int pem_each(const FileBytes *pem, const char *path, PemObjectFn fn, void *ctx, char *error, size_t error_size)
{
    /* DER is always shorter than its PEM form. */
    DerSink sink = {(unsigned char *)malloc(pem->size + 1), 0, pem->size, false};
    if (sink.data == NULL) {
        snprintf(error, error_size, "no memory for %s", path);
        return -1;
    }
    br_pem_decoder_context decoder;
    br_pem_decoder_init(&decoder);
    char name[128] = "";
    int objects = 0;
    /* The trailing newline ends a last line that has none. */
    static const unsigned char NEWLINE = '\n';
    size_t at = 0;
    bool ended = false;
    int status = 0;
    while (status == 0 && !ended) {
        if (at < pem->size) {
            at += br_pem_decoder_push(&decoder, pem->data + at, pem->size - at);
        } else {
            br_pem_decoder_push(&decoder, &NEWLINE, 1);
            ended = true;
        }
        switch (br_pem_decoder_event(&decoder)) {
        case BR_PEM_BEGIN_OBJ:
            snprintf(name, sizeof name, "%s", br_pem_decoder_name(&decoder));
            sink.size = 0;
            sink.overflow = false;
            br_pem_decoder_setdest(&decoder, der_append, &sink);
            break;
        case BR_PEM_END_OBJ:
            ++objects;
            if (sink.overflow) {
                snprintf(error, error_size, "%s: a PEM object cannot be decoded", path);
                status = -1;
            } else {
                status = fn(ctx, name, sink.data, sink.size);
            }
            break;
        case BR_PEM_ERROR:
            snprintf(error, error_size, "%s is not a valid PEM file", path);
            status = -1;
            break;
        default:
            break;
        }
    }
    free(sink.data);
    return status < 0 ? -1 : objects;
}

/* ---- trust anchors ---- */

struct AnchorLoad {
    TlsCredentials *credentials;
    const char *path;
    char *error;
    size_t error_size;
    unsigned char *dn; /* room for the subject name of the certificate in hand */
    size_t dn_size;
    size_t dn_capacity;
};

void dn_append(void *ctx, const void *data, size_t size)
{
    AnchorLoad *load = (AnchorLoad *)ctx;
    if (size > load->dn_capacity - load->dn_size) {
        load->dn_capacity = 0; /* marks the name as lost */
        return;
    }
    memcpy(load->dn + load->dn_size, data, size);
    load->dn_size += size;
}

size_t pkey_bytes(const br_x509_pkey *key)
{
    if (key->key_type == BR_KEYTYPE_RSA)
        return key->key.rsa.nlen + key->key.rsa.elen;
    return key->key.ec.qlen;
}

/* Copies the name and the key out of the decoder's buffers into one allocation. */
int keep_anchor(AnchorLoad *load, const br_x509_pkey *key, unsigned flags)
{
    TlsCredentials *c = load->credentials;
    if (c->anchor_count == c->anchor_capacity) {
        size_t capacity = c->anchor_capacity == 0 ? 16 : c->anchor_capacity * 2;
        br_x509_trust_anchor *grown =
            (br_x509_trust_anchor *)realloc(c->anchors, capacity * sizeof *grown);
        if (grown == NULL)
            return -1;
        c->anchors = grown;
        c->anchor_capacity = capacity;
    }
    unsigned char *bytes = (unsigned char *)malloc(load->dn_size + pkey_bytes(key));
    if (bytes == NULL)
        return -1;
    br_x509_trust_anchor *anchor = &c->anchors[c->anchor_count++];
    anchor->dn.data = bytes;
    anchor->dn.len = load->dn_size;
    anchor->flags = flags;
    anchor->pkey = *key;
    memcpy(bytes, load->dn, load->dn_size);
    unsigned char *at = bytes + load->dn_size;
    if (key->key_type == BR_KEYTYPE_RSA) {
        anchor->pkey.key.rsa.n = (unsigned char *)memcpy(at, key->key.rsa.n, key->key.rsa.nlen);
        at += key->key.rsa.nlen;
        anchor->pkey.key.rsa.e = (unsigned char *)memcpy(at, key->key.rsa.e, key->key.rsa.elen);
    } else {
        anchor->pkey.key.ec.q = (unsigned char *)memcpy(at, key->key.ec.q, key->key.ec.qlen);
    }
    return 0;
}

int anchor_object(void *ctx, const char *name, const unsigned char *der, size_t size)
{
    AnchorLoad *load = (AnchorLoad *)ctx;
    if (strcmp(name, "CERTIFICATE") != 0 && strcmp(name, "X509 CERTIFICATE") != 0)
        return 0;
    if (load->credentials->anchor_count == TLS_ANCHORS_MAX) {
        snprintf(load->error, load->error_size, "%s holds more than %d certificates", load->path, TLS_ANCHORS_MAX);
        return -1;
    }
    load->dn_size = 0;
    load->dn_capacity = size;
    br_x509_decoder_context decoder;
    br_x509_decoder_init(&decoder, dn_append, load);
    br_x509_decoder_push(&decoder, der, size);
    const br_x509_pkey *key = br_x509_decoder_get_pkey(&decoder);
    if (key == NULL || load->dn_capacity == 0) {
        snprintf(load->error, load->error_size, "%s: a certificate cannot be decoded (error %d)", load->path,
                 br_x509_decoder_last_error(&decoder));
        return -1;
    }
    if (keep_anchor(load, key, br_x509_decoder_isCA(&decoder) ? BR_X509_TA_CA : 0) != 0) {
        snprintf(load->error, load->error_size, "no memory for the CAs of %s", load->path);
        return -1;
    }
    return 0;
}

/* ---- client certificate and key ---- */

struct ChainLoad {
    TlsCredentials *credentials;
    const char *path;
    char *error;
    size_t error_size;
};

int chain_object(void *ctx, const char *name, const unsigned char *der, size_t size)
{
    ChainLoad *load = (ChainLoad *)ctx;
    TlsCredentials *c = load->credentials;
    if (strcmp(name, "CERTIFICATE") != 0 && strcmp(name, "X509 CERTIFICATE") != 0)
        return 0;
    if (c->chain_count == TLS_CHAIN_MAX) {
        snprintf(load->error, load->error_size, "%s holds more than %d certificates", load->path, TLS_CHAIN_MAX);
        return -1;
    }
    unsigned char *copy = (unsigned char *)malloc(size);
    if (copy == NULL) {
        snprintf(load->error, load->error_size, "no memory for %s", load->path);
        return -1;
    }
    memcpy(copy, der, size);
    c->chain[c->chain_count].data = copy;
    c->chain[c->chain_count].data_len = size;
    ++c->chain_count;
    return 0;
}

int key_object(void *ctx, const char *name, const unsigned char *der, size_t size)
{
    ChainLoad *load = (ChainLoad *)ctx;
    if (strcmp(name, "PRIVATE KEY") != 0 && strcmp(name, "RSA PRIVATE KEY") != 0 &&
        strcmp(name, "EC PRIVATE KEY") != 0)
        return 0;
    br_skey_decoder_init(&load->credentials->key);
    br_skey_decoder_push(&load->credentials->key, der, size);
    if (br_skey_decoder_key_type(&load->credentials->key) == 0) {
        snprintf(load->error, load->error_size, "%s: the key cannot be decoded (error %d)", load->path,
                 br_skey_decoder_last_error(&load->credentials->key));
        return -1;
    }
    return 1; /* the first key is the one */
}

int load_pem(const char *path, PemObjectFn fn, void *ctx, char *error, size_t error_size)
{
    FileBytes file;
    if (open_file(path, &file, error, error_size) != 0)
        return -1;
    int objects = pem_each(&file, path, fn, ctx, error, error_size);
    free(file.data);
    return objects;
}

/* Opens the key file only when no one but its owner may read it. */
int load_key(TlsCredentials *credentials, const char *keyfile, char *error, size_t error_size)
{
    int fd = open(keyfile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(error, error_size, "cannot open %s: %s", keyfile, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        snprintf(error, error_size, "key file %s can be read by others: refused (chmod 600)", keyfile);
        close(fd);
        return -1;
    }
    FileBytes file;
    int status = read_file(fd, keyfile, &file, error, error_size);
    close(fd);
    if (status != 0)
        return -1;
    ChainLoad load = {credentials, keyfile, error, error_size};
    br_skey_decoder_init(&credentials->key);
    int objects = pem_each(&file, keyfile, key_object, &load, error, error_size);
    /* A key decoder's buffers hold the key: clear the file's copy. */
    memset(file.data, 0, file.size);
    free(file.data);
    if (objects < 0)
        return -1;
    if (br_skey_decoder_key_type(&credentials->key) == 0) {
        snprintf(error, error_size, "no private key in %s", keyfile);
        return -1;
    }
    return 0;
}

}  // namespace

int tls_load_anchors(TlsCredentials *credentials, const char *cafile, char *error, size_t error_size)
{
    FileBytes file;
    if (open_file(cafile, &file, error, error_size) != 0)
        return -1;
    AnchorLoad load = {credentials, cafile, error, error_size, (unsigned char *)malloc(file.size + 1), 0, 0};
    int objects = -1;
    if (load.dn == NULL)
        snprintf(error, error_size, "no memory for %s", cafile);
    else
        objects = pem_each(&file, cafile, anchor_object, &load, error, error_size);
    free(load.dn);
    free(file.data);
    if (objects < 0)
        return -1;
    if (credentials->anchor_count == 0) {
        snprintf(error, error_size, "no certificate in %s", cafile);
        return -1;
    }
    return 0;
}

int tls_load_client(TlsCredentials *credentials, const char *certfile, const char *keyfile, char *error,
                    size_t error_size)
{
    ChainLoad load = {credentials, certfile, error, error_size};
    if (load_pem(certfile, chain_object, &load, error, error_size) < 0)
        return -1;
    if (credentials->chain_count == 0) {
        snprintf(error, error_size, "no certificate in %s", certfile);
        return -1;
    }
    return load_key(credentials, keyfile, error, error_size);
}

void tls_free_credentials(TlsCredentials *credentials)
{
    for (size_t i = 0; i < credentials->anchor_count; ++i)
        free(credentials->anchors[i].dn.data);
    free(credentials->anchors);
    for (size_t i = 0; i < credentials->chain_count; ++i)
        free(credentials->chain[i].data);
    memset(credentials, 0, sizeof *credentials);
}
