#include "ombrelle.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "rootpath.h"

std::atomic<uint8_t> wait_updates{1};
std::atomic<int32_t> config_change{0};

pthread_t serial_thread_id;
bool serial_thread_held;

namespace {

/* The wake-up pipe's ends, -1 until ombrelle_wake_init. */
int g_wake_read = -1;
std::atomic<int> g_wake_write{-1};

/* The stop watcher's pipe (-1 until it starts) and thread; main thread only, but for the handler's write. */
int g_stop_read = -1;
std::atomic<int> g_stop_write{-1};
pthread_t g_stop_thread;
bool g_stop_watching;
void (*g_on_stop)(void);

/* Non-blocking: a full pipe already holds a wake-up. Safe in a signal handler. */
void poke(int fd)
{
    if (fd < 0)
        return;
    const char byte = 0;
    ssize_t written = write(fd, &byte, 1);
    (void)written;
}

/* A poll that fails for good ends the watcher without the aborts: shutdown still makes them. */
void *stop_watch(void *)
{
    struct pollfd stop = {g_stop_read, POLLIN, 0};
    for (;;) {
        int ready = poll(&stop, 1, -1);
        if (ready > 0)
            break;
        if (ready < 0 && errno != EINTR)
            return NULL;
    }
    g_on_stop();
    return NULL;
}

char pipe_dir[ROOT_PATH_MAX];
char pipe_file[ROOT_PATH_MAX];

}  // namespace

void signal_handler(int sig)
{
    if (sig == SIGUSR1)
        config_change.store(1);
    else
        wait_updates.store(0);
    int saved = errno;
    if (sig != SIGUSR1)
        poke(g_stop_write.load());
    poke(g_wake_write.load());
    errno = saved;
}

int ombrelle_wake_init(void)
{
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    g_wake_read = ends[0];
    g_wake_write.store(ends[1]);
    return 0;
}

void ombrelle_wait_request(void)
{
    struct pollfd wake = {g_wake_read, POLLIN, 0};
    if (poll(&wake, 1, -1) < 0)
        return;
    char drain[64];
    while (read(g_wake_read, drain, sizeof drain) > 0)
        continue;
}

const char *PIPE_DIR = pipe_dir;
const char *PIPE_FILE = pipe_file;

void ombrelle_resolve_paths(void)
{
    root_path(PIPE_DIR_PATH, pipe_dir, sizeof pipe_dir);
    root_path(PIPE_FILE_PATH, pipe_file, sizeof pipe_file);
}

int ombrelle_stop_watch_start(void (*on_stop)(void))
{
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    g_stop_read = ends[0];
    g_on_stop = on_stop;
    if (pthread_create(&g_stop_thread, NULL, stop_watch, NULL) != 0) {
        close(ends[0]);
        close(ends[1]);
        g_stop_read = -1;
        return -1;
    }
    g_stop_watching = true;
    g_stop_write.store(ends[1]);
    return 0;
}

void ombrelle_stop_watch_join(void)
{
    if (!g_stop_watching)
        return;
    /* A stop signal that came before the watcher listened wrote nothing. */
    poke(g_stop_write.load());
    pthread_join(g_stop_thread, NULL);
    g_stop_watching = false;
}
