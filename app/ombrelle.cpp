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
    int fd = g_wake_write.load();
    if (fd >= 0) {
        /* A full pipe (EAGAIN) already holds a wake-up. */
        const char byte = 0;
        ssize_t written = write(fd, &byte, 1);
        (void)written;
    }
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
