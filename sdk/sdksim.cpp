/*
 * The stand-in SDK's simulation: the control FIFO, its command thread, the
 * record files and the injected faults.
 *
 * g_sim_dir is written by sim_configure() (tsdk_init, before the command thread
 * exists) and only read afterwards. The fault flags are atomics: the command
 * thread sets them while the application's threads test them. The record files
 * are appended under g_files so that lines of two threads never mix.
 */
#include "sdksim.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "tsdk.h"

namespace {

enum { SIM_PATH_SIZE = 256, SIM_LINE_SIZE = 256, SIM_CALL_SIZE = 128 };
enum { INPUT_RECORD_SIZE = 12, MOTION_RECORD_SIZE = 12, MAX_RECORD_SIZE = 64 };

const char *const kFaultNames[SIM_FAULT_COUNT] = {
    "init", "settings", "settings26", "motion", "input", "event", "motionstr",
};

char g_sim_dir[SIM_PATH_SIZE];
std::atomic<bool> g_faults[SIM_FAULT_COUNT];
pthread_mutex_t g_files = PTHREAD_MUTEX_INITIALIZER;

/* Owned by the thread that runs tsdk_init/tsdk_deinit. */
pthread_t g_thread;
bool g_running;
int g_control = -1;
int g_wake[2] = {-1, -1};

bool kernel_privileged(void)
{
    return getauxval(AT_SECURE) != 0 || getuid() != geteuid() || getgid() != getegid();
}

const char *sim_getenv(const char *name)
{
    return sim_privileged() ? NULL : getenv(name);
}

bool active(void)
{
    return g_sim_dir[0] != '\0';
}

int sim_path(const char *name, char *out, size_t size)
{
    int n = snprintf(out, size, "%s/%s", g_sim_dir, name);
    return n >= 0 && (size_t)n < size ? 0 : -1;
}

void append(const char *name, const void *bytes, size_t size)
{
    char path[SIM_PATH_SIZE];
    if (!active() || sim_path(name, path, sizeof path) != 0)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *p = (const char *)bytes;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        size -= (size_t)n;
    }
    close(fd);
}

int fault_index(const char *name, size_t length)
{
    for (int i = 0; i < SIM_FAULT_COUNT; ++i) {
        if (strlen(kFaultNames[i]) == length && strncmp(kFaultNames[i], name, length) == 0)
            return i;
    }
    return -1;
}

/* Decimal or 0x-hexadecimal, the whole word, at most 32 bits. */
bool parse_number(const char *word, unsigned long *value)
{
    int base = 10;
    if (word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word += 2;
    }
    if (*word == '\0' || *word == '-' || *word == '+')
        return false;
    char *end = NULL;
    errno = 0;
    unsigned long long v = strtoull(word, &end, base);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    *value = (unsigned long)v;
    return true;
}

void put_word(unsigned char *record, size_t size, unsigned long word)
{
    for (size_t i = 0; i < 4 && i < size; ++i)
        record[i] = (unsigned char)(word >> (8 * i));
}

/* Splits line into at most max words (in place); returns the count, or -1 for more. */
int split(char *line, char **words, int max)
{
    int count = 0;
    for (char *save = NULL, *w = strtok_r(line, " \t", &save); w != NULL; w = strtok_r(NULL, " \t", &save)) {
        if (count == max)
            return -1;
        words[count++] = w;
    }
    return count;
}

bool run_record(const char *verb, char **args, int argc)
{
    unsigned char record[MAX_RECORD_SIZE] = {0};
    unsigned long size = INPUT_RECORD_SIZE, word = 0;
    bool sized = strcmp(verb, "input1-size") == 0;
    if (argc != (sized ? 2 : 1))
        return false;
    if (sized && (!parse_number(args[0], &size) || size > MAX_RECORD_SIZE))
        return false;
    if (!parse_number(args[argc - 1], &word))
        return false;
    if (strcmp(verb, "motion") == 0) {
        put_word(record, MOTION_RECORD_SIZE, word);
        sdk_deliver_motion(record, MOTION_RECORD_SIZE);
        return true;
    }
    put_word(record, size, word);
    sdk_deliver_input(record, size);
    return true;
}

bool run_command(char *line)
{
    char *words[4];
    int count = split(line, words, 4);
    if (count < 2)
        return false;
    const char *verb = words[0];
    if (strcmp(verb, "input1") == 0 || strcmp(verb, "input1-size") == 0 || strcmp(verb, "motion") == 0)
        return run_record(verb, words + 1, count - 1);
    if (count != 2)
        return false;
    if (strcmp(verb, "daynight") == 0) {
        unsigned long mode = 0;
        if (!parse_number(words[1], &mode))
            return false;
        sdk_deliver_daynight((int)mode);
        return true;
    }
    bool fail = strcmp(verb, "fail") == 0;
    if (!fail && strcmp(verb, "heal") != 0)
        return false;
    int fault = fault_index(words[1], strlen(words[1]));
    if (fault < 0)
        return false;
    g_faults[fault].store(fail);
    return true;
}

void handle_line(const char *line)
{
    char work[SIM_LINE_SIZE];
    snprintf(work, sizeof work, "%s", line);
    if (!run_command(work))
        tsdk_errlog("tsdk: malformed simulation command: %s\n", line);
    sdk_flush_log();
    char handled[SIM_LINE_SIZE + 1];
    int n = snprintf(handled, sizeof handled, "%s\n", line);
    pthread_mutex_lock(&g_files);
    append("handled", handled, (size_t)n);
    pthread_mutex_unlock(&g_files);
}

/* Reads commands until woken; a line longer than the buffer is one malformed command. */
void *command_thread(void *)
{
    char line[SIM_LINE_SIZE];
    size_t used = 0;
    bool overlong = false;
    struct pollfd fds[2] = {{g_control, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break;
        char chunk[SIM_LINE_SIZE];
        ssize_t n = read(g_control, chunk, sizeof chunk);
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n') {
                line[used] = '\0';
                handle_line(overlong ? "(line too long)" : line);
                used = 0;
                overlong = false;
            } else if (used + 1 < sizeof line) {
                line[used++] = chunk[i];
            } else {
                overlong = true;
            }
        }
    }
    return NULL;
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

}  // namespace

bool (*sim_privileged)(void) = kernel_privileged;

void sim_configure(void)
{
    g_sim_dir[0] = '\0';
    for (int i = 0; i < SIM_FAULT_COUNT; ++i)
        g_faults[i].store(false);
    const char *dir = sim_getenv("TSDK_SIM_DIR");
    struct stat st;
    if (dir == NULL || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    int n = snprintf(g_sim_dir, sizeof g_sim_dir, "%s", dir);
    if (n < 0 || (size_t)n >= sizeof g_sim_dir) {
        g_sim_dir[0] = '\0';
        return;
    }
    const char *list = sim_getenv("TSDK_SIM_FAIL");
    for (const char *p = list; p != NULL && *p != '\0';) {
        const char *comma = strchr(p, ',');
        size_t length = comma != NULL ? (size_t)(comma - p) : strlen(p);
        int fault = fault_index(p, length);
        if (fault >= 0)
            g_faults[fault].store(true);
        p = comma != NULL ? comma + 1 : NULL;
    }
}

int sim_start(void)
{
    char path[SIM_PATH_SIZE];
    if (!active())
        return 0;
    if (sim_path("control", path, sizeof path) != 0)
        return -1;
    if (mkfifo(path, 0644) != 0 && errno != EEXIST)
        return -1;
    /* Read-write, so the FIFO never reports end of file between two writers. */
    g_control = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (g_control < 0) {
        tsdk_errlog("tsdk: cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    /* A regular file there would read as an endless end of file. */
    struct stat st;
    if (fstat(g_control, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        tsdk_errlog("tsdk: %s exists and is not a FIFO\n", path);
        sim_stop();
        return -1;
    }
    if (pipe2(g_wake, O_CLOEXEC) != 0) {
        sim_stop();
        return -1;
    }
    if (pthread_create(&g_thread, NULL, command_thread, NULL) != 0) {
        sim_stop();
        return -1;
    }
    g_running = true;
    return 0;
}

void sim_stop(void)
{
    if (g_running) {
        char wake = 1;
        while (write(g_wake[1], &wake, 1) < 0 && errno == EINTR) {
        }
        pthread_join(g_thread, NULL);
        g_running = false;
    }
    close_fd(&g_control);
    close_fd(&g_wake[0]);
    close_fd(&g_wake[1]);
}

bool sim_failing(SimFault fault)
{
    return g_faults[fault].load();
}

void sim_record_call(const char *format, ...)
{
    char line[SIM_CALL_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = (size_t)n < sizeof line - 1 ? (size_t)n : sizeof line - 2;
    line[length++] = '\n';
    pthread_mutex_lock(&g_files);
    append("calls", line, length);
    pthread_mutex_unlock(&g_files);
}

void sim_record_event(const char *payload, int state, size_t length)
{
    char head[SIM_CALL_SIZE];
    int n = snprintf(head, sizeof head, "event %d %zu\n", state, length);
    pthread_mutex_lock(&g_files);
    append("events", head, (size_t)n);
    append("events", payload, length);
    append("events", "\n", 1);
    pthread_mutex_unlock(&g_files);
}
