#include "uploadtimer.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "applog.h"
#include "upload.h"

int (*upload_timerfd_create)(int clock, int flags) = timerfd_create;
int (*upload_timerfd_settime)(int fd, int flags, const struct itimerspec *value,
                              struct itimerspec *old) = timerfd_settime;

namespace {

/* The timer while it exists; main thread only, the tick thread reads the two descriptors. */
struct UploadTimer {
    int timer_fd;     /* the timerfd, -1 when no timer exists */
    int stop_fd;      /* an eventfd; readable once the thread is asked to end */
    pthread_t thread;
};
UploadTimer g_timer = {-1, -1, pthread_t()};

/* Expiries since the last read; 0 when none (the timerfd does not block). */
uint64_t take_expiries(int timer_fd)
{
    uint64_t count = 0;
    while (read(timer_fd, &count, sizeof count) < 0) {
        if (errno != EINTR)
            return 0;
    }
    return count;
}

/* Waits for an expiry or the stop; true for an expiry, with how many passed. */
bool wait_expiry(const UploadTimer *t, uint64_t *expiries)
{
    struct pollfd fds[2] = {{t->timer_fd, POLLIN, 0}, {t->stop_fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents != 0)
            return false;
        *expiries = take_expiries(t->timer_fd);
        if (*expiries > 0)
            return true;
    }
}

void *tick_thread(void *arg)
{
    const UploadTimer *t = (const UploadTimer *)arg;
    uint64_t expiries = 0;
    while (wait_expiry(t, &expiries)) {
        union sigval none;
        none.sival_int = 0;
        xively_timer_proc(none);
        /* Those that came late for this tick, and those that passed while it ran. */
        uint64_t skipped = expiries - 1 + take_expiries(t->timer_fd);
        if (skipped > 0)
            app_log("[Ombrelle]Upload ticks skipped while the previous tick ran: %llu\n",
                    (unsigned long long)skipped);
    }
    return NULL;
}

void close_timer(UploadTimer *t)
{
    if (t->timer_fd >= 0)
        close(t->timer_fd);
    if (t->stop_fd >= 0)
        close(t->stop_fd);
    t->timer_fd = t->stop_fd = -1;
}

}  // namespace

int upload_timer_create(void)
{
    if (g_timer.timer_fd >= 0)
        return 0;
    UploadTimer t = {-1, -1, pthread_t()};
    t.timer_fd = upload_timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    t.stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (t.timer_fd < 0 || t.stop_fd < 0) {
        close_timer(&t);
        return -1;
    }
    g_timer = t;
    if (pthread_create(&g_timer.thread, NULL, tick_thread, &g_timer) != 0) {
        close_timer(&g_timer);
        return -1;
    }
    return 0;
}

int upload_timer_arm(time_t period_s)
{
    if (g_timer.timer_fd < 0)
        return -1;
    struct itimerspec spec;
    memset(&spec, 0, sizeof spec);
    spec.it_value.tv_sec = spec.it_interval.tv_sec = period_s;
    if (upload_timerfd_settime(g_timer.timer_fd, 0, &spec, NULL) == 0)
        return 0;
    struct itimerspec off;
    memset(&off, 0, sizeof off);
    timerfd_settime(g_timer.timer_fd, 0, &off, NULL);
    return -1;
}

void upload_timer_destroy(void)
{
    if (g_timer.timer_fd < 0)
        return;
    const uint64_t stop = 1;
    while (write(g_timer.stop_fd, &stop, sizeof stop) < 0 && errno == EINTR)
        continue;
    pthread_join(g_timer.thread, NULL);
    close_timer(&g_timer);
}

bool upload_timer_exists(void)
{
    return g_timer.timer_fd >= 0;
}

int upload_timer_gettime(struct itimerspec *spec)
{
    if (g_timer.timer_fd < 0)
        return -1;
    return timerfd_gettime(g_timer.timer_fd, spec);
}
