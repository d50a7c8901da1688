#include "serialport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "rootpath.h"

static_assert(SERIAL_CFLAG_9600_8N1 == 0x08BD, "the profiles assume Linux's termios bit values");

namespace {

/* A queued byte, or an abort, shows up within this wait even when poll() cannot see it (VMIN > 1). */
enum { POLL_SLICE_MS = SERIAL_ABORT_LATENCY_MS };

std::atomic<bool> g_aborted{false};

int open_kernel(const char *path, int flags)
{
    return open(path, flags);
}

struct ProfileSettings {
    tcflag_t cflag;
    cc_t vmin;
    int flush_queue;    /* TCIOFLUSH or TCIFLUSH */
};

const ProfileSettings kProfiles[] = {
    /* SERIAL_PROFILE_RECORD */ {SERIAL_CFLAG_9600_8N1 | SERIAL_CFLAG_RS485_MODE, 1, TCIOFLUSH},
    /* SERIAL_PROFILE_QUERY */ {SERIAL_CFLAG_9600_8N1 | SERIAL_CFLAG_RS485_MODE, SERIAL_QUERY_VMIN, TCIOFLUSH},
    /* SERIAL_PROFILE_RADIO */ {SERIAL_CFLAG_9600_8N1 | CRTSCTS, 1, TCIFLUSH},
};

long ms_until(const struct timespec *deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)(deadline->tv_sec - now.tv_sec) * 1000 + (deadline->tv_nsec - now.tv_nsec) / 1000000;
}

/* Takes up to `size` queued bytes; an empty queue gives 0, not a wait. */
long read_queued(int fd, uint8_t *buf, size_t size)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    ssize_t n;
    do {
        n = read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    int saved_errno = errno;
    fcntl(fd, F_SETFL, flags);
    if (n < 0 && (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK))
        return 0;
    errno = saved_errno;
    return n;
}

/* Blocking again once open: the exchanges wait in read() and poll(), never in open(). */
int clear_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    return fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace

int (*serialport_sys_open)(const char *path, int flags) = open_kernel;

void serialport_termios(SerialProfileId profile, struct termios *tio)
{
    memset(tio, 0, sizeof *tio);
    tio->c_iflag = IGNPAR;
    tio->c_cflag = kProfiles[profile].cflag;
    tio->c_cc[VMIN] = kProfiles[profile].vmin;
}

int serialport_open(SerialProfileId profile, SerialPort *port)
{
    char path[ROOT_PATH_MAX];
    port->fd = -1;
    port->saved_valid = 0;
    if (serialport_aborted()) {
        errno = ECANCELED;
        return -1;
    }
    if (root_path(SERIAL_PORT_PATH, path, sizeof path) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    /*
     * Close-on-exec: the shell commands of the upload tick must not inherit the
     * port. Non-blocking: a line without carrier must not hold the open, or a
     * stop would wait for it.
     */
    port->fd = serialport_sys_open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (port->fd < 0)
        return -1;
    if (clear_nonblocking(port->fd) != 0) {
        int saved_errno = errno;
        close(port->fd);
        port->fd = -1;
        errno = saved_errno;
        return -1;
    }
    port->saved_valid = tcgetattr(port->fd, &port->saved) == 0;
    struct termios tio;
    serialport_termios(profile, &tio);
    tcflush(port->fd, kProfiles[profile].flush_queue);
    tcsetattr(port->fd, TCSANOW, &tio);
    return 0;
}

void serialport_close(SerialPort *port)
{
    if (port->fd < 0)
        return;
    if (port->saved_valid)
        tcsetattr(port->fd, TCSANOW, &port->saved);
    close(port->fd);
    port->fd = -1;
}

long serialport_read_byte(int fd, uint8_t *byte)
{
    ssize_t n;
    do {
        n = read(fd, byte, 1);
    } while (n < 0 && errno == EINTR);
    return n;
}

long serialport_write_byte(int fd, uint8_t byte)
{
    ssize_t n;
    do {
        n = write(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n;
}

void serialport_deadline(int ms, struct timespec *deadline)
{
    clock_gettime(CLOCK_MONOTONIC, deadline);
    deadline->tv_sec += ms / 1000;
    deadline->tv_nsec += (long)(ms % 1000) * 1000000;
    if (deadline->tv_nsec >= 1000000000) {
        deadline->tv_sec += 1;
        deadline->tv_nsec -= 1000000000;
    }
}

long serialport_read_within(int fd, uint8_t *buf, size_t size, size_t want,
                            const struct timespec *deadline)
{
    for (;;) {
        if (serialport_aborted()) {
            errno = ECANCELED;
            return -1;
        }
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) != 0)
            return -1;
        if (queued > 0 && (size_t)queued >= want)
            break;
        long left = ms_until(deadline);
        if (left <= 0) {
            if (queued == 0)
                return 0;
            break;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, left < POLL_SLICE_MS ? (int)left : POLL_SLICE_MS) < 0 && errno != EINTR)
            return -1;
        /* A hung-up line would wake poll() at once: let the read report it. */
        if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
    }
    return read_queued(fd, buf, size);
}

void serialport_abort(void)
{
    g_aborted.store(true);
}

void serialport_resume(void)
{
    g_aborted.store(false);
}

bool serialport_aborted(void)
{
    return g_aborted.load();
}
