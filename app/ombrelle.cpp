#include "ombrelle.h"

#include "rootpath.h"

std::atomic<uint8_t> wait_updates{1};
std::atomic<int32_t> config_change{0};

timer_t timer_id;
bool timer_exists;
pthread_t serial_thread_id;
bool serial_thread_held;

void signal_handler(int sig)
{
    if (sig == SIGUSR1)
        config_change.store(1);
    else
        wait_updates.store(0);
}

namespace {
char pipe_dir[ROOT_PATH_MAX];
char pipe_file[ROOT_PATH_MAX];
}  // namespace

const char *PIPE_DIR = pipe_dir;
const char *PIPE_FILE = pipe_file;

void ombrelle_resolve_paths(void)
{
    root_path(PIPE_DIR_PATH, pipe_dir, sizeof pipe_dir);
    root_path(PIPE_FILE_PATH, pipe_file, sizeof pipe_file);
}
