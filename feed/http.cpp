#include "http.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "endpoint.h"
#include "transport.h"
#include "textout.h"
#include "utf8text.h"

extern char **environ;

namespace {

enum { kJsonMax = UTF8_JSON_SIZE(SPOOL_TEXT_MAX) };


void put_json(TextOut *b, const char *text)
{
    char json[kJsonMax];
    text_put(b, json, utf8_json_string(text, strlen(text), json, sizeof json));
}

size_t json_length(const char *text)
{
    char json[kJsonMax];
    return utf8_json_string(text, strlen(text), json, sizeof json);
}

/* How many leading points of one feed surely fit in size bytes. */
int points_that_fit(const FeedOutPoint *points, int count, size_t size)
{
    size_t need = 64;
    int n = 0;
    for (; n < count; n++) {
        const SpoolPoint *p = points[n].point;
        if (strcmp(p->feed, points[0].point->feed) != 0)
            break;
        bool seen = false;
        for (int k = 0; k < n && !seen; k++)
            seen = strcmp(points[k].point->channel, p->channel) == 0;
        size_t add = 48 + json_length(p->value) + (seen ? 0 : 64 + json_length(p->channel) + kJsonMax);
        if (n > 0 && need + add >= size)
            break;
        need += add;
    }
    return n;
}

void put_stream(TextOut *b, const FeedOutPoint *points, int n, int first, int fresh)
{
    const char *channel = points[first].point->channel;
    const char *current = points[first].point->value;
    for (int i = first; i < n; i++)
        if (strcmp(points[i].point->channel, channel) == 0)
            current = points[i].point->value;
    text_put_str(b, "{\"id\":\"");
    put_json(b, channel);
    text_put_str(b, "\",\"current_value\":\"");
    put_json(b, current);
    text_put_str(b, "\"");
    if (!fresh) {
        text_put_str(b, ",\"datapoints\":[");
        bool comma = false;
        for (int i = first; i < n; i++) {
            if (strcmp(points[i].point->channel, channel) != 0)
                continue;
            text_put_str(b, comma ? ",{" : "{");
            comma = true;
            if (points[i].at[0] != '\0') {
                text_put_str(b, "\"at\":\"");
                text_put_str(b, points[i].at);
                text_put_str(b, "\",");
            }
            text_put_str(b, "\"value\":\"");
            put_json(b, points[i].point->value);
            text_put_str(b, "\"}");
        }
        text_put_str(b, "]");
    }
    text_put_str(b, "}");
}

/* Appends text to the curl configuration as a quoted string: '"' and '\' escaped, line ends as \n. */
void put_quoted(TextOut *b, const char *text, size_t n)
{
    text_put_str(b, "\"");
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c == '"' || c == '\\') {
            char e[2] = {'\\', c};
            text_put(b, e, 2);
        } else if (c == '\n' || c == '\r') {
            text_put(b, c == '\n' ? "\\n" : "\\r", 2);
        } else {
            text_put(b, &c, 1);
        }
    }
    text_put_str(b, "\"\n");
}

void put_option(TextOut *b, const char *name, const char *value)
{
    text_put_str(b, name);
    text_put_str(b, " = ");
    put_quoted(b, value, strlen(value));
}

/* The body and curl's configuration: in static storage, as a one-shot program needs them once. */
char g_body[FEED_HTTP_BODY_MAX];
char g_config[2 * FEED_HTTP_BODY_MAX + 2048];

struct Child {
    pid_t pid;
    int in, out, err;
};

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

/* Starts curl --config - with three pipes; 0, or -1 (errno: ENOENT when curl is not on PATH). */
int start_curl(Child *c)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        int saved = errno;
        int *pairs[3] = {in, out, err};
        for (int *pair : pairs)
            for (int i = 0; i < 2; i++)
                if (pair[i] >= 0)
                    close(pair[i]);
        errno = saved;
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    char arg0[] = "curl", arg1[] = "--config", arg2[] = "-";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    int r = posix_spawnp(&c->pid, "curl", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    c->in = in[1];
    c->out = out[0];
    c->err = err[0];
    if (r != 0) {
        close_fd(&c->in);
        close_fd(&c->out);
        close_fd(&c->err);
        errno = r;
        return -1;
    }
    int fds[3] = {c->in, c->out, c->err};
    for (int fd : fds)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return 0;
}

/* curl's exit status once it ends, or -1 when it has to be killed at the deadline. */
int reap(pid_t pid, long long deadlineMs)
{
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (feed_transport_now_ms() >= deadlineMs)
            break;
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

/*
 * Writes the configuration and gathers curl's standard output and the first
 * line of its standard error until both end or the deadline passes; returns
 * curl's exit status, or -1 when it had to be killed.
 */
int talk(Child *c, const char *config, size_t length, char *out, size_t outSize, char *err, size_t errSize,
         long long deadlineMs)
{
    size_t sent = 0, got = 0, gotErr = 0;
    out[0] = err[0] = '\0';
    while (c->out >= 0 || c->err >= 0) {
        long long left = deadlineMs - feed_transport_now_ms();
        if (left <= 0)
            break;
        struct pollfd fds[3] = {{c->in, POLLOUT, 0}, {c->out, POLLIN, 0}, {c->err, POLLIN, 0}};
        if (poll(fds, 3, (int)left) < 0 && errno != EINTR)
            break;
        if (c->in >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(c->in, config + sent, length - sent);
            if (n > 0)
                sent += (size_t)n;
            if ((n < 0 && errno != EAGAIN) || sent == length)
                close_fd(&c->in);
        }
        int *fdsIn[2] = {&c->out, &c->err};
        char *bufs[2] = {out, err};
        size_t *used[2] = {&got, &gotErr};
        size_t sizes[2] = {outSize, errSize};
        for (int i = 0; i < 2; i++) {
            if (*fdsIn[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLERR | POLLHUP)))
                continue;
            char chunk[512];
            ssize_t n = read(*fdsIn[i], chunk, sizeof chunk);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                close_fd(fdsIn[i]);
                continue;
            }
            if (n > 0 && *used[i] + 1 < sizes[i]) {
                size_t take = (size_t)n < sizes[i] - 1 - *used[i] ? (size_t)n : sizes[i] - 1 - *used[i];
                memcpy(bufs[i] + *used[i], chunk, take);
                *used[i] += take;
                bufs[i][*used[i]] = '\0';
            }
        }
    }
    close_fd(&c->in);
    close_fd(&c->out);
    close_fd(&c->err);
    err[strcspn(err, "\r\n")] = '\0';
    return reap(c->pid, deadlineMs);
}

void classify(int code, FeedSendResult *r, int points)
{
    snprintf(r->error, sizeof r->error, "the service answered HTTP %d", code);
    if (code >= 200 && code < 300) {
        r->kind = FEED_SEND_OK;
        r->confirmed = points;
        r->error[0] = '\0';
    } else if (code == 401 || code == 403) {
        r->kind = FEED_SEND_CREDENTIALS;
    } else if (code >= 400 && code < 500 && code != 408 && code != 429) {
        r->kind = FEED_SEND_POINT_REFUSED;
        snprintf(r->reason, sizeof r->reason, "HTTP %d", code);
    } else {
        r->kind = FEED_SEND_FAILED;
    }
}

} // namespace

int feed_http_document(const FeedOutPoint *points, int count, int fresh, char *out, size_t size, size_t *length)
{
    int n = points_that_fit(points, count, size);
    TextOut b = {out, size, 0, false};
    text_put_str(&b, "{\"version\":\"1.0.0\",\"datastreams\":[");
    bool comma = false;
    for (int i = 0; i < n; i++) {
        bool seen = false;
        for (int k = 0; k < i && !seen; k++)
            seen = strcmp(points[k].point->channel, points[i].point->channel) == 0;
        if (seen)
            continue;
        if (comma)
            text_put_str(&b, ",");
        comma = true;
        put_stream(&b, points, n, i, fresh);
    }
    text_put_str(&b, "]}");
    *length = b.used;
    return b.full ? 0 : n;
}

void feed_http_send(const char *base, const char *key, const char *cafile, const FeedOutPoint *points, int count,
                    int fresh, long long deadlineMs, FeedSendResult *r)
{
    *r = FeedSendResult{};
    r->kind = FEED_SEND_FAILED;
    size_t bodyLength = 0;
    int n = feed_http_document(points, count, fresh, g_body, sizeof g_body, &bodyLength);
    if (n == 0) {
        snprintf(r->error, sizeof r->error, "cannot build the feed document");
        return;
    }
    long long left = deadlineMs - feed_transport_now_ms();
    char number[32], url[FEED_URL_MAX + SPOOL_TEXT_MAX + 32], header[SPOOL_TEXT_MAX + 32];
    snprintf(number, sizeof number, "%lld.%03lld", (left > 0 ? left : 1) / 1000, (left > 0 ? left : 1) % 1000);
    snprintf(url, sizeof url, "%s/feeds/%s.json", base, points[0].point->feed);
    snprintf(header, sizeof header, "X-ApiKey: %s", key);
    TextOut c = {g_config, sizeof g_config, 0, false};
    /* Expect is off: it would stall each request a second. */
    text_put_str(&c, "silent\nshow-error\nrequest = \"PUT\"\noutput = \"/dev/null\"\nwrite-out = \"%{http_code}\"\n");
    put_option(&c, "max-time", number);
    put_option(&c, "url", url);
    put_option(&c, "header", "Content-Type: application/json");
    put_option(&c, "header", "Expect:");
    put_option(&c, "header", header);
    if (cafile != nullptr)
        put_option(&c, "cacert", cafile);
    text_put_str(&c, "data-binary = ");
    put_quoted(&c, g_body, bodyLength);
    if (c.full) {
        snprintf(r->error, sizeof r->error, "cannot build the feed document");
        return;
    }
    Child child;
    if (start_curl(&child) != 0) {
        r->kind = errno == ENOENT ? FEED_SEND_NO_TRANSPORT : FEED_SEND_FAILED;
        snprintf(r->error, sizeof r->error, errno == ENOENT ? "curl is not installed" : "cannot start curl: %s",
                 strerror(errno));
        return;
    }
    char code[16], err[SPOOL_ERROR_MAX];
    int status = talk(&child, g_config, c.used, code, sizeof code, err, sizeof err, deadlineMs);
    if (status == 0 && strspn(code, "0123456789") == strlen(code) && code[0] != '\0' && code[0] != '0') {
        classify(atoi(code), r, n);
        return;
    }
    /* 127: the child could not exec curl (a C library or emulator that cannot report it to spawn). */
    if (status == 127) {
        r->kind = FEED_SEND_NO_TRANSPORT;
        snprintf(r->error, sizeof r->error, "curl is not installed");
        return;
    }
    if (status == 0)
        snprintf(r->error, sizeof r->error, "the service gave no HTTP answer");
    else if (err[0] != '\0')
        snprintf(r->error, sizeof r->error, "%s", err);
    else if (status < 0)
        snprintf(r->error, sizeof r->error, "curl timed out");
    else
        snprintf(r->error, sizeof r->error, "curl ended with status %d", status);
}
