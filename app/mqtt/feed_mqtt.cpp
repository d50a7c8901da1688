/*
 * feed_mqtt - publishes the lines of standard input to an MQTT broker, each
 * confirmed by the broker (MQTT 3.1.1, QoS 1).
 *
 *   feed_mqtt -h HOST [-p PORT] -i CLIENTID [-u USER] [-r] [-t MS] < MESSAGES
 *
 *   -h HOST      broker name, IPv4 or IPv6 literal (brackets allowed)
 *   -p PORT      broker port, 1883 when not given
 *   -i CLIENTID  client identifier, 1 to 256 bytes of UTF-8
 *   -u USER      user name, up to 256 bytes of UTF-8; the password is the
 *                environment variable MQTT_PASSWORD (when set and not empty,
 *                up to 256 bytes), never an argument, which any local process
 *                could read
 *   -r           publish with the retain flag
 *   -t MS        bound on the whole call, 1 to 600000 ms, 5000 when not
 *                given: reading the input, resolving the name, connecting,
 *                the CONNACK and every PUBACK all fit in it
 *
 * Standard input: one message per line, "TOPIC<TAB>PAYLOAD<LF>", at most 256
 * lines of at most 1024 bytes each, the line feed included. The topic runs
 * to the first tab and is a valid topic name (UTF-8 without control
 * characters, "+" or "#"); the payload is the rest of the line, any bytes but
 * a line feed. The whole input is checked before anything is sent: one bad
 * line refuses the call. An empty input still connects, which tells whether
 * the broker is there and takes the credentials.
 *
 * Each message is published once with QoS 1, packet identifiers 1, 2, ... in
 * input order, up to 16 unconfirmed at a time; it counts as delivered only
 * when the PUBACK with its identifier has arrived. The session is clean (the
 * broker keeps nothing once the call ends, nothing is resent by it), and the
 * keep-alive is 60 s: a PINGREQ goes out when nothing else has for that long.
 * When every message is confirmed a DISCONNECT ends the session.
 *
 * Standard output: always one line, the number of leading messages (in input
 * order) whose PUBACK arrived, "3" for example. Those may be dropped by the
 * caller; the others are to be sent again.
 *
 * Exit status:
 *   0   every message confirmed
 *   1   the broker is unreachable: the name does not resolve (the lookup
 *       runs in a child process so that it too keeps the bound), the
 *       connection is refused or not answered, no CONNACK within the bound,
 *       the peer closes or answers anything but a CONNACK, or the CONNACK
 *       says "server unavailable" (code 3)
 *   2   the broker refuses the connection: its CONNACK return code (1, 2, 4,
 *       5 or a reserved one) is printed, as for bad user name or password
 *   3   connected, but not every message was confirmed within the bound (or
 *       the connection broke, or the broker broke the protocol)
 *   64  usage error: options, environment or input; nothing was sent
 * Every failure prints one line on standard error, naming HOST:PORT and the
 * reason.
 */
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "mqtt_packet.h"

enum {
    EXIT_CONFIRMED = 0,
    EXIT_UNREACHABLE = 1,
    EXIT_REFUSED = 2,
    EXIT_UNCONFIRMED = 3,
    EXIT_USAGE = 64
};

enum { MESSAGES_MAX = 256, MESSAGE_LINE_MAX = 1024 }; /* line feed included */
enum { INFLIGHT_MAX = 16 };
enum { KEEPALIVE_S = 60 };
enum { DEFAULT_PORT = 1883, DEFAULT_TIMEOUT_MS = 5000, TIMEOUT_MS_MAX = 600000 };
enum { HOST_MAX = 255, CLIENT_ID_MAX = 256, USER_MAX = 256, PASSWORD_MAX = 256 };
/* Addresses of one name tried in turn. */
enum { ADDRESSES_MAX = 8 };

/* "[HOST]:PORT" */
enum { ENDPOINT_MAX = HOST_MAX + sizeof "[]:65535" };
/* Decimal port for getaddrinfo. */
enum { PORT_TEXT_MAX = sizeof "65535" };

/* Fixed header, topic length and packet identifier around one input line. */
static_assert(1 + MQTT_REMAINING_LENGTH_BYTES + 2 + 2 + MESSAGE_LINE_MAX <= MQTT_PACKET_MAX,
              "a PUBLISH of the longest line must fit a packet");
static_assert(1 + MQTT_REMAINING_LENGTH_BYTES + 10 + 2 + CLIENT_ID_MAX + 2 + USER_MAX + 2 + PASSWORD_MAX <=
                  MQTT_PACKET_MAX,
              "a CONNECT with the longest identifier, user and password must fit a packet");
static_assert(MESSAGES_MAX < 65536, "every message has its own packet identifier");

static const char USAGE[] = "usage: feed_mqtt -h HOST [-p PORT] -i CLIENTID [-u USER] [-r] [-t MS] < MESSAGES";

typedef struct {
    char host[HOST_MAX + 1];
    char port[PORT_TEXT_MAX];
    const char *client_id;
    const char *user;     /* null: none */
    const char *password; /* null: none */
    int retain;
    int timeout_ms;
} Options;

typedef struct {
    const uint8_t *topic;
    size_t topic_size;
    const uint8_t *payload;
    size_t payload_size;
} Message;

/* Standard input as read; the messages point into it. Written once before connecting (one thread). */
static uint8_t input[MESSAGES_MAX * MESSAGE_LINE_MAX];
static Message messages[MESSAGES_MAX];

/* ---- time and messages ---- */

/* 64 bits: a 32-bit long of milliseconds would wrap after 24 days of uptime. */
typedef int64_t msec_t;

static msec_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (msec_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Milliseconds left until deadline, for poll: 0 once it has passed. */
static int left_ms(msec_t deadline)
{
    msec_t left = deadline - now_ms();
    return left > 0 ? (int)left : 0;
}

static void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void say(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    /* A cut reason still names the endpoint first; the line just ends early. */
    if (length < 0)
        return;
    fprintf(stderr, "feed_mqtt: %s\n", line);
}

/* ---- options ---- */

static int parse_number(const char *text, long low, long high, long *value)
{
    char *end = NULL;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high)
        return -1;
    *value = number;
    return 0;
}

static int text_valid(const char *text, size_t low, size_t high)
{
    size_t size = strlen(text);
    return size >= low && size <= high && mqtt_utf8_valid((const uint8_t *)text, size);
}

/* The host as getaddrinfo wants it: an IPv6 literal loses its brackets. */
static int set_host(Options *options, const char *text)
{
    size_t size = strlen(text);
    if (size >= 2 && text[0] == '[' && text[size - 1] == ']') {
        ++text;
        size -= 2;
    }
    if (size == 0 || size > HOST_MAX || !mqtt_utf8_valid((const uint8_t *)text, size))
        return -1;
    memcpy(options->host, text, size);
    options->host[size] = '\0';
    return 0;
}

static int parse_option(Options *options, int option, const char *value)
{
    long number = 0;
    switch (option) {
    case 'h':
        return set_host(options, value);
    case 'p':
        if (parse_number(value, 1, 65535, &number) != 0)
            return -1;
        snprintf(options->port, sizeof options->port, "%ld", number);
        return 0;
    case 'i':
        options->client_id = value;
        return text_valid(value, 1, CLIENT_ID_MAX) ? 0 : -1;
    case 'u':
        options->user = value;
        return text_valid(value, 0, USER_MAX) ? 0 : -1;
    case 'r':
        options->retain = 1;
        return 0;
    case 't':
        if (parse_number(value, 1, TIMEOUT_MS_MAX, &number) != 0)
            return -1;
        options->timeout_ms = (int)number;
        return 0;
    default:
        return -1;
    }
}

static int parse_options(int argc, char **argv, Options *options)
{
    memset(options, 0, sizeof *options);
    snprintf(options->port, sizeof options->port, "%d", DEFAULT_PORT);
    options->timeout_ms = DEFAULT_TIMEOUT_MS;

    opterr = 0;
    for (int option; (option = getopt(argc, argv, "h:p:i:u:rt:")) != -1;) {
        if (option == '?' || option == ':') {
            say("unknown option or missing value: -%c; %s", optopt, USAGE);
            return -1;
        }
        if (parse_option(options, option, optarg) != 0) {
            say("invalid value for -%c: \"%s\"; %s", option, optarg, USAGE);
            return -1;
        }
    }
    if (optind < argc || options->host[0] == '\0' || options->client_id == NULL) {
        say("%s", USAGE);
        return -1;
    }

    const char *password = getenv("MQTT_PASSWORD");
    if (password == NULL || password[0] == '\0')
        return 0;
    if (options->user == NULL) {
        say("MQTT_PASSWORD is set but no user name (-u) is given");
        return -1;
    }
    if (strlen(password) > PASSWORD_MAX) {
        say("MQTT_PASSWORD is longer than %d bytes", PASSWORD_MAX);
        return -1;
    }
    options->password = password;
    return 0;
}

/* ---- input ---- */

/*
 * Reads standard input to its end into input[]. Returns its size, or -1
 * (after a message) when it is larger than input[], fails, or is not closed
 * by the deadline.
 */
static long read_input(msec_t deadline)
{
    size_t used = 0;
    for (;;) {
        struct pollfd ready = {STDIN_FILENO, POLLIN, 0};
        int polled = poll(&ready, 1, left_ms(deadline));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled == 0) {
            say("standard input was not closed within the time bound");
            return -1;
        }
        /* Once input[] is full, one more byte tells whether the input ends there. */
        uint8_t spare;
        uint8_t *into = used < sizeof input ? input + used : &spare;
        size_t room = used < sizeof input ? sizeof input - used : 1;
        ssize_t got = polled < 0 ? -1 : read(STDIN_FILENO, into, room);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            say("cannot read standard input: %s", strerror(errno));
            return -1;
        }
        if (got == 0)
            return (long)used;
        if (into == &spare) {
            say("standard input holds more than %d lines of %d bytes", MESSAGES_MAX, MESSAGE_LINE_MAX);
            return -1;
        }
        used += (size_t)got;
    }
}

/* Splits one line (without its line feed) into a message; a reason, or null. */
static const char *parse_line(const uint8_t *line, size_t size, Message *message)
{
    const uint8_t *tab = (const uint8_t *)memchr(line, '\t', size);
    if (tab == NULL)
        return "no tab between topic and payload";
    message->topic = line;
    message->topic_size = (size_t)(tab - line);
    message->payload = tab + 1;
    message->payload_size = size - message->topic_size - 1;
    if (!mqtt_topic_name_valid(message->topic, message->topic_size))
        return "the topic is empty, or holds \"+\", \"#\", a control character or bytes that are not UTF-8";
    return NULL;
}

/* Splits input[0..size) into messages[]. Returns their count, or -1 after a message. */
static int parse_messages(size_t size)
{
    int count = 0;
    for (size_t at = 0; at < size; ++count) {
        if (count == MESSAGES_MAX) {
            say("more than %d messages", MESSAGES_MAX);
            return -1;
        }
        const uint8_t *end = (const uint8_t *)memchr(input + at, '\n', size - at);
        size_t lineSize = (end == NULL ? size : (size_t)(end - input)) - at;
        if (lineSize + 1 > MESSAGE_LINE_MAX) {
            say("line %d: longer than %d bytes", count + 1, MESSAGE_LINE_MAX);
            return -1;
        }
        const char *reason = parse_line(input + at, lineSize, &messages[count]);
        if (reason == NULL && end == NULL)
            reason = "no line feed at the end";
        if (reason != NULL) {
            say("line %d: %s", count + 1, reason);
            return -1;
        }
        at += lineSize + 1;
    }
    return count;
}

/* ---- name resolution ---- */

typedef struct {
    int family;
    socklen_t size;
    struct sockaddr_storage address;
} Address;

/* What the resolving child hands back through its pipe. */
typedef struct {
    int status; /* getaddrinfo's result */
    int count;
    Address addresses[ADDRESSES_MAX];
} Resolved;

static void resolve_in_child(const Options *options, int out)
{
    Resolved resolved;
    memset(&resolved, 0, sizeof resolved);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *list = NULL;
    resolved.status = getaddrinfo(options->host, options->port, &hints, &list);
    for (struct addrinfo *a = resolved.status == 0 ? list : NULL; a != NULL && resolved.count < ADDRESSES_MAX;
         a = a->ai_next) {
        if (a->ai_addrlen > sizeof resolved.addresses[0].address)
            continue;
        Address *slot = &resolved.addresses[resolved.count++];
        slot->family = a->ai_family;
        slot->size = a->ai_addrlen;
        memcpy(&slot->address, a->ai_addr, a->ai_addrlen);
    }
    if (list != NULL)
        freeaddrinfo(list);
    const uint8_t *at = (const uint8_t *)&resolved;
    for (size_t left = sizeof resolved; left > 0;) {
        ssize_t put = write(out, at, left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        at += put;
        left -= (size_t)put;
    }
}

/* Reads the child's answer until its end: the bytes read, or -1 when the deadline came first. */
static long read_resolved(int in, Resolved *resolved, msec_t deadline)
{
    size_t used = 0;
    while (used < sizeof *resolved) {
        struct pollfd ready = {in, POLLIN, 0};
        int polled = poll(&ready, 1, left_ms(deadline));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled == 0)
            return -1;
        ssize_t got = polled < 0 ? -1 : read(in, (uint8_t *)resolved + used, sizeof *resolved - used);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        used += (size_t)got;
    }
    return (long)used;
}

/*
 * getaddrinfo cannot be bounded in time, so a child process runs it and the
 * answer is awaited here with the deadline; a child still busy then is
 * killed. Returns 0 with *resolved filled, or -1 after a message.
 */
static int resolve(const Options *options, const char *endpoint, Resolved *resolved, msec_t deadline)
{
    int pipeFds[2];
    pid_t child = pipe(pipeFds) == 0 ? fork() : -1;
    if (child < 0) {
        say("%s: cannot resolve the name: %s", endpoint, strerror(errno));
        return -1;
    }
    if (child == 0) {
        close(pipeFds[0]);
        resolve_in_child(options, pipeFds[1]);
        _exit(0);
    }
    close(pipeFds[1]);
    long got = read_resolved(pipeFds[0], resolved, deadline);
    close(pipeFds[0]);
    kill(child, SIGKILL);
    while (waitpid(child, NULL, 0) < 0 && errno == EINTR) {
    }
    if (got < 0) {
        say("%s: the name did not resolve within %d ms", endpoint, options->timeout_ms);
        return -1;
    }
    if (got != (long)sizeof *resolved || resolved->count < 0 || resolved->count > ADDRESSES_MAX) {
        say("%s: cannot resolve the name: the lookup failed", endpoint);
        return -1;
    }
    if (resolved->status != 0 || resolved->count == 0) {
        say("%s: cannot resolve the name: %s", endpoint,
            resolved->status != 0 ? gai_strerror(resolved->status) : "no address");
        return -1;
    }
    return 0;
}

/* ---- connection ---- */

/* One address: a connected non-blocking socket, or -1 with errno set (ETIMEDOUT at the deadline). */
static int connect_address(const Address *address, msec_t deadline)
{
    int fd = socket(address->family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (const struct sockaddr *)&address->address, address->size) != 0 && errno != EINPROGRESS) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    struct pollfd ready = {fd, POLLOUT, 0};
    int polled;
    while ((polled = poll(&ready, 1, left_ms(deadline))) < 0 && errno == EINTR) {
    }
    int error = polled == 0 ? ETIMEDOUT : errno;
    socklen_t errorSize = sizeof error;
    if (polled > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorSize) != 0)
        error = errno;
    if (polled <= 0 || error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    /* Small packets go out at once rather than waiting for their acknowledgements. */
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

/* Tries the addresses in turn: a connected socket, or -1 after a message. */
static int connect_any(const Resolved *resolved, const char *endpoint, int timeoutMs, msec_t deadline)
{
    int error = 0;
    for (int i = 0; i < resolved->count; ++i) {
        int fd = connect_address(&resolved->addresses[i], deadline);
        if (fd >= 0)
            return fd;
        error = errno;
        if (error == ETIMEDOUT)
            break;
    }
    if (error == ETIMEDOUT)
        say("%s: cannot connect: no answer within %d ms", endpoint, timeoutMs);
    else
        say("%s: cannot connect: %s", endpoint, strerror(error));
    return -1;
}

/* ---- session ---- */

/* Room for a PUBLISH being sent and the next one queued behind it. */
enum { OUT_BUFFER_SIZE = 2 * MQTT_PACKET_MAX };

typedef struct {
    int fd;
    msec_t deadline;
    uint8_t in[MQTT_PACKET_MAX]; /* received, not yet decoded */
    size_t in_used;
    uint8_t out[OUT_BUFFER_SIZE]; /* encoded, not yet sent */
    size_t out_used;
    msec_t last_sent_ms;
    int closed; /* the broker closed or the connection broke */
} Session;

enum { PUMP_OK = 0, PUMP_TIMEOUT = 1 };

static void send_some(Session *session)
{
    ssize_t put = send(session->fd, session->out, session->out_used, MSG_NOSIGNAL);
    if (put < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (put < 0) {
        session->closed = 1;
        return;
    }
    session->out_used -= (size_t)put;
    memmove(session->out, session->out + put, session->out_used);
    session->last_sent_ms = now_ms();
}

/* Reads what fits after the undecoded bytes; never more than one packet's room. */
static void receive_some(Session *session)
{
    size_t room = sizeof session->in - session->in_used;
    if (room == 0)
        return;
    ssize_t got = recv(session->fd, session->in + session->in_used, room, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got <= 0) {
        session->closed = 1;
        return;
    }
    session->in_used += (size_t)got;
}

/*
 * One round of waiting: sends what is queued and receives what has come,
 * waking at the deadline or at wake_ms, whichever is first. PUMP_TIMEOUT once
 * the deadline has passed; a broken connection sets session->closed.
 */
static int pump(Session *session, msec_t wake_ms)
{
    msec_t until = wake_ms < session->deadline ? wake_ms : session->deadline;
    short events = POLLIN;
    if (session->out_used > 0)
        events |= POLLOUT;
    struct pollfd ready = {session->fd, events, 0};
    int polled = poll(&ready, 1, left_ms(until));
    if (polled < 0 && errno != EINTR) {
        session->closed = 1;
        return PUMP_OK;
    }
    if (polled > 0 && (ready.revents & (POLLOUT | POLLERR | POLLHUP)) && session->out_used > 0)
        send_some(session);
    if (polled > 0 && (ready.revents & (POLLIN | POLLERR | POLLHUP)))
        receive_some(session);
    return now_ms() >= session->deadline ? PUMP_TIMEOUT : PUMP_OK;
}

/*
 * Takes the next whole packet from the received bytes. MQTT_DECODE_OK with
 * *packet, MQTT_DECODE_INCOMPLETE when none is whole yet, or an error.
 */
static int next_packet(Session *session, MqttPacket *packet)
{
    int status = mqtt_decode(session->in, session->in_used, packet);
    if (status != MQTT_DECODE_OK)
        return status;
    session->in_used -= packet->size;
    memmove(session->in, session->in + packet->size, session->in_used);
    return MQTT_DECODE_OK;
}

static const char *decode_error(int status)
{
    return status == MQTT_DECODE_TOO_LARGE ? "a packet larger than this client accepts" : "a malformed packet";
}

static const char *connack_reason(int code)
{
    switch (code) {
    case MQTT_CONNACK_BAD_PROTOCOL:
        return "unacceptable protocol version";
    case MQTT_CONNACK_ID_REJECTED:
        return "client identifier rejected";
    case MQTT_CONNACK_SERVER_UNAVAILABLE:
        return "server unavailable";
    case MQTT_CONNACK_BAD_CREDENTIALS:
        return "bad user name or password";
    case MQTT_CONNACK_NOT_AUTHORISED:
        return "not authorised";
    default:
        return "reserved return code";
    }
}

/* Waits for the CONNACK to the queued CONNECT: EXIT_CONFIRMED when accepted, else the exit status. */
static int open_session(Session *session, const Options *options, const char *endpoint)
{
    for (;;) {
        int pumped = pump(session, session->deadline);
        MqttPacket packet;
        int status = next_packet(session, &packet);
        if (status == MQTT_DECODE_OK && packet.type != MQTT_CONNACK) {
            say("%s: protocol error: packet type %d before the CONNACK", endpoint, packet.type);
            return EXIT_UNREACHABLE;
        }
        if (status == MQTT_DECODE_OK && packet.return_code == MQTT_CONNACK_ACCEPTED)
            return EXIT_CONFIRMED;
        if (status == MQTT_DECODE_OK) {
            say("%s: connection refused by the broker: %s (return code %d)", endpoint,
                connack_reason(packet.return_code), packet.return_code);
            return packet.return_code == MQTT_CONNACK_SERVER_UNAVAILABLE ? EXIT_UNREACHABLE : EXIT_REFUSED;
        }
        if (status != MQTT_DECODE_INCOMPLETE) {
            say("%s: protocol error: %s instead of the CONNACK", endpoint, decode_error(status));
            return EXIT_UNREACHABLE;
        }
        if (session->closed) {
            say("%s: the broker closed the connection before its CONNACK", endpoint);
            return EXIT_UNREACHABLE;
        }
        if (pumped == PUMP_TIMEOUT) {
            say("%s: no CONNACK within %d ms", endpoint, options->timeout_ms);
            return EXIT_UNREACHABLE;
        }
    }
}

/* Delivery bookkeeping: which messages are queued and which confirmed. */
typedef struct {
    int count;
    int queued;    /* messages[0..queued) have been encoded */
    int confirmed; /* how many PUBACKs have arrived */
    int leading;   /* messages[0..leading) are all confirmed */
    unsigned char acked[MESSAGES_MAX];
} Delivery;

/* Queues the next messages while the window and the buffer have room. */
static void queue_publishes(Session *session, Delivery *delivery, int retain)
{
    while (delivery->queued < delivery->count && delivery->queued - delivery->confirmed < INFLIGHT_MAX &&
           sizeof session->out - session->out_used >= MQTT_PACKET_MAX) {
        const Message *message = &messages[delivery->queued];
        MqttPublish publish = {message->topic, message->topic_size, message->payload, message->payload_size,
                               1, retain, 0, (uint16_t)(delivery->queued + 1)};
        int size = mqtt_encode_publish(&publish, session->out + session->out_used,
                                       sizeof session->out - session->out_used);
        /* Every line was checked to fit before connecting. */
        if (size < 0)
            return;
        session->out_used += (size_t)size;
        ++delivery->queued;
    }
}

/* Queues a PINGREQ when nothing has gone out for the keep-alive period. */
static void keep_alive(Session *session)
{
    if (session->out_used > 0 || now_ms() - session->last_sent_ms < KEEPALIVE_S * 1000)
        return;
    int size = mqtt_encode_pingreq(session->out, sizeof session->out);
    if (size > 0)
        session->out_used = (size_t)size;
}

/* Takes one packet of the publishing phase: 0, or -1 after a message. */
static int take_ack(const MqttPacket *packet, Delivery *delivery, const char *endpoint)
{
    if (packet->type == MQTT_PINGRESP)
        return 0;
    if (packet->type != MQTT_PUBACK) {
        say("%s: protocol error: unexpected packet type %d", endpoint, packet->type);
        return -1;
    }
    int index = packet->packet_id - 1;
    if (index >= delivery->queued || delivery->acked[index]) {
        say("%s: protocol error: PUBACK for packet identifier %d, which awaits none", endpoint, packet->packet_id);
        return -1;
    }
    delivery->acked[index] = 1;
    ++delivery->confirmed;
    while (delivery->leading < delivery->count && delivery->acked[delivery->leading])
        ++delivery->leading;
    return 0;
}

/* Takes every whole packet received so far: 0, or -1 after a message. */
static int take_acks(Session *session, Delivery *delivery, const char *endpoint)
{
    for (;;) {
        MqttPacket packet;
        int status = next_packet(session, &packet);
        if (status == MQTT_DECODE_INCOMPLETE)
            return 0;
        if (status != MQTT_DECODE_OK) {
            say("%s: protocol error: %s", endpoint, decode_error(status));
            return -1;
        }
        if (take_ack(&packet, delivery, endpoint) != 0)
            return -1;
    }
}

/* Publishes every message: EXIT_CONFIRMED, or EXIT_UNCONFIRMED after a message. */
static int publish_all(Session *session, Delivery *delivery, const Options *options, const char *endpoint)
{
    while (delivery->leading < delivery->count) {
        queue_publishes(session, delivery, options->retain);
        keep_alive(session);
        /* With nothing to send, wake up in time for the next PINGREQ. */
        msec_t wake = session->out_used > 0 ? session->deadline : session->last_sent_ms + KEEPALIVE_S * 1000;
        int pumped = pump(session, wake);
        if (take_acks(session, delivery, endpoint) != 0)
            return EXIT_UNCONFIRMED;
        if (delivery->leading == delivery->count)
            break;
        if (session->closed) {
            say("%s: the connection broke: %d of %d messages confirmed", endpoint, delivery->leading,
                delivery->count);
            return EXIT_UNCONFIRMED;
        }
        if (pumped == PUMP_TIMEOUT) {
            say("%s: %d of %d messages confirmed within %d ms", endpoint, delivery->leading, delivery->count,
                options->timeout_ms);
            return EXIT_UNCONFIRMED;
        }
    }
    return EXIT_CONFIRMED;
}

/* Ends the session politely; the messages are already confirmed, so failures here do not matter. */
static void close_session(Session *session)
{
    int size = mqtt_encode_disconnect(session->out, sizeof session->out);
    session->out_used = size > 0 ? (size_t)size : 0;
    while (session->out_used > 0 && !session->closed && pump(session, session->deadline) == PUMP_OK) {
    }
}

/* ---- the call ---- */

static void format_endpoint(const Options *options, char *out, size_t size)
{
    /* HOST_MAX bounds the host, so ENDPOINT_MAX holds every endpoint. */
    if (strchr(options->host, ':') != NULL)
        snprintf(out, size, "[%s]:%s", options->host, options->port);
    else
        snprintf(out, size, "%s:%s", options->host, options->port);
}

static int deliver(const Options *options, int count, msec_t deadline, int *leading)
{
    char endpoint[ENDPOINT_MAX];
    format_endpoint(options, endpoint, sizeof endpoint);

    Session session;
    memset(&session, 0, sizeof session);
    MqttConnect connect = {options->client_id, options->user, options->password, KEEPALIVE_S, 1};
    int size = mqtt_encode_connect(&connect, session.out, sizeof session.out);
    if (size < 0) {
        say("%s: the options make no valid CONNECT packet", endpoint);
        return EXIT_USAGE;
    }
    session.out_used = (size_t)size;
    session.deadline = deadline;

    Resolved resolved;
    if (resolve(options, endpoint, &resolved, deadline) != 0)
        return EXIT_UNREACHABLE;
    session.fd = connect_any(&resolved, endpoint, options->timeout_ms, deadline);
    if (session.fd < 0)
        return EXIT_UNREACHABLE;
    session.last_sent_ms = now_ms();

    Delivery delivery;
    memset(&delivery, 0, sizeof delivery);
    delivery.count = count;
    int status = open_session(&session, options, endpoint);
    if (status == EXIT_CONFIRMED)
        status = publish_all(&session, &delivery, options, endpoint);
    if (status == EXIT_CONFIRMED)
        close_session(&session);
    close(session.fd);
    *leading = delivery.leading;
    return status;
}

static int run(int argc, char **argv, int *leading)
{
    msec_t start = now_ms();
    Options options;
    if (parse_options(argc, argv, &options) != 0)
        return EXIT_USAGE;
    msec_t deadline = start + options.timeout_ms;

    long size = read_input(deadline);
    if (size < 0)
        return EXIT_USAGE;
    int count = parse_messages((size_t)size);
    if (count < 0)
        return EXIT_USAGE;
    return deliver(&options, count, deadline, leading);
}

int main(int argc, char **argv)
{
    /* A broker or reader that goes away is an error to report, not a signal to die of. */
    signal(SIGPIPE, SIG_IGN);
    int leading = 0;
    int status = run(argc, argv, &leading);
    printf("%d\n", leading);
    return status;
}
