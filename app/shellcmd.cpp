#include "shellcmd.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "applog.h"

extern char **environ;

char *syscmd;
unsigned shellcmd_run_bound_ms = SHELLCMD_RUN_BOUND_S * 1000u;

namespace {

/* A 256-byte line holds at most 128 words. */
enum { MAX_WORDS = SYSCMD_SIZE / 2 + 1 };
/* What a child that could not execute its program exits with, as the shell does. */
enum { EXEC_FAILED_STATUS = 127, REASON_SIZE = 128 };

const char SHELL_PATH[] = "/bin/sh";

/* syscmd, from the formatting of a command until its program has ended. */
pthread_mutex_t g_syscmd_lock = PTHREAD_MUTEX_INITIALIZER;

/*
 * g_aborted and the `ended` flag of the program under way, under g_state_lock;
 * g_state_changed (monotonic clock) tells a change of either.
 */
pthread_mutex_t g_state_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_state_changed;
pthread_once_t g_state_once = PTHREAD_ONCE_INIT;
bool g_aborted;

/* A program under way: its pid, which is also its process group. */
struct Child {
    pid_t pid;
    bool ended;
    int status; /* waitpid's, once ended */
};

/* Deadlines run on the monotonic clock: setting the camera's time must not end or stretch a wait. */
void init_state(void)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_state_changed, &attr);
    pthread_condattr_destroy(&attr);
}

void deadline_after(unsigned seconds, unsigned ms, struct timespec *deadline)
{
    clock_gettime(CLOCK_MONOTONIC, deadline);
    deadline->tv_sec += (time_t)seconds + ms / 1000;
    deadline->tv_nsec += (long)(ms % 1000) * 1000000;
    if (deadline->tv_nsec >= 1000000000) {
        deadline->tv_sec += 1;
        deadline->tv_nsec -= 1000000000;
    }
}

/* What bounds one run: its time, and whether an abort ends it. */
struct RunLimits {
    unsigned bound_ms;
    bool past_abort;
};

/* Under g_state_lock: until the child ends, an abort comes (unless the run outlives it) or the deadline passes. */
void await_end_or_abort(const Child *child, bool past_abort, const struct timespec *deadline)
{
    while (!child->ended && (past_abort || !g_aborted) &&
           pthread_cond_timedwait(&g_state_changed, &g_state_lock, deadline) != ETIMEDOUT) {
    }
}

/* Under g_state_lock: until the child ends, or the deadline passes when there is one. */
void await_end(const Child *child, const struct timespec *deadline)
{
    while (!child->ended) {
        if (deadline == NULL)
            pthread_cond_wait(&g_state_changed, &g_state_lock);
        else if (pthread_cond_timedwait(&g_state_changed, &g_state_lock, deadline) == ETIMEDOUT)
            return;
    }
}

bool aborted(void)
{
    pthread_mutex_lock(&g_state_lock);
    bool value = g_aborted;
    pthread_mutex_unlock(&g_state_lock);
    return value;
}

void log_not_started(const char *program, int err)
{
    char reason[REASON_SIZE];
    app_errlog("[Ombrelle]Command %s could not be started: %s\n", program, strerror_r(err, reason, sizeof reason));
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

/* NAME=value with NAME a shell identifier: what the shell takes as an assignment. */
size_t assignment_name_length(const char *word)
{
    size_t n = 0;
    while (word[n] == '_' || (word[n] >= 'A' && word[n] <= 'Z') || (word[n] >= 'a' && word[n] <= 'z') ||
           (n > 0 && word[n] >= '0' && word[n] <= '9'))
        ++n;
    return n > 0 && word[n] == '=' ? n : 0;
}

bool replaced_by(const char *entry, char *const *assignments, int count)
{
    for (int i = 0; i < count; ++i) {
        if (strncmp(entry, assignments[i], assignment_name_length(assignments[i]) + 1) == 0)
            return true;
    }
    return false;
}

/* The child's environment, however long ours is: ours, the assignments replacing same-named entries. */
char **build_environment(char *const *assignments, int count)
{
    size_t ours = 0;
    for (char **e = environ; e != NULL && *e != NULL; ++e)
        ++ours;
    char **out = (char **)malloc((ours + (size_t)count + 1) * sizeof *out);
    if (out == NULL)
        return NULL;
    size_t n = 0;
    for (char **e = environ; e != NULL && *e != NULL; ++e) {
        if (!replaced_by(*e, assignments, count))
            out[n++] = *e;
    }
    for (int i = 0; i < count; ++i)
        out[n++] = assignments[i];
    out[n] = NULL;
    return out;
}

/*
 * In the vfork child, until exec: system calls on the child's own state only,
 * since it shares our memory. Its own process group, so that a kill reaches what
 * it starts. Caught signals go back to their defaults before any is let in: a
 * handler of ours must never run in the child. No signal stays blocked (a tick
 * thread blocks the timer's).
 */
[[noreturn]] void exec_child(char **argv, char **shell_argv, char **envp, int report)
{
    setpgid(0, 0);
    struct sigaction action;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigaction(sig, NULL, &action) == 0 && action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN) {
            memset(&action, 0, sizeof action);
            action.sa_handler = SIG_DFL;
            sigaction(sig, &action, NULL);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    execve(argv[0], argv, envp);
    if (errno == ENOEXEC)
        execve(SHELL_PATH, shell_argv, envp);
    int err = errno;
    ssize_t ignored = write(report, &err, sizeof err);
    (void)ignored;
    _exit(EXEC_FAILED_STATUS);
}

/*
 * Starts argv in a process group of its own: 0 and *pid, or the errno that kept
 * it from starting. vfork, as posix_spawn does: a fork would copy our page
 * tables and fault on our next writes, which costs more than the script. Every
 * signal stays blocked until the child has dropped our handlers. The child
 * reports a failed exec through a close-on-exec pipe, so a failure is seen
 * whatever vfork is made of (a plain fork under qemu-user, say).
 */
int start_child(char **argv, char **envp, pid_t *pid)
{
    /* /bin/sh PROGRAM ARGS...: what the shell runs for a program it cannot execute. */
    char *shell_argv[MAX_WORDS + 1];
    shell_argv[0] = (char *)SHELL_PATH;
    int n = 0;
    for (; argv[n] != NULL; ++n)
        shell_argv[n + 1] = argv[n];
    shell_argv[n + 1] = NULL;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return errno;
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pid_t child = vfork();
    if (child == 0)
        exec_child(argv, shell_argv, envp, report[1]);
    int vfork_errno = errno;
    pthread_sigmask(SIG_SETMASK, &saved, NULL);
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return vfork_errno;
    }
    setpgid(child, child);
    int child_errno = 0;
    ssize_t got;
    do {
        got = read(report[0], &child_errno, sizeof child_errno);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got != (ssize_t)sizeof child_errno) {
        *pid = child;
        return 0;
    }
    while (waitpid(child, NULL, 0) < 0 && errno == EINTR) {
    }
    return child_errno != 0 ? child_errno : ENOEXEC;
}

void *reap_child(void *arg)
{
    Child *child = (Child *)arg;
    int status = 0;
    while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
    }
    pthread_mutex_lock(&g_state_lock);
    child->status = status;
    child->ended = true;
    pthread_cond_broadcast(&g_state_changed);
    pthread_mutex_unlock(&g_state_lock);
    return NULL;
}

/* SIGTERM to the group, SIGKILL after the grace; returns once the program is reaped. */
void kill_group(Child *child)
{
    kill(-child->pid, SIGTERM);
    struct timespec grace;
    deadline_after(0, SHELLCMD_KILL_GRACE_MS, &grace);
    pthread_mutex_lock(&g_state_lock);
    await_end(child, &grace);
    pthread_mutex_unlock(&g_state_lock);
    /* Also what a program that ended on the SIGTERM left behind, such as a curl that ignores it. */
    kill(-child->pid, SIGKILL);
    pthread_mutex_lock(&g_state_lock);
    await_end(child, NULL);
    pthread_mutex_unlock(&g_state_lock);
}

/* The exit status of a program that ended by itself, or SHELLCMD_EXIT_SIGNAL. */
int exit_status_of(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : SHELLCMD_EXIT_SIGNAL;
}

/* Waits for the program within its bound, killing it past the bound or on an abort. */
int watch_child(const char *program, pid_t pid, const RunLimits &limits, int *exit_status)
{
    Child child = {pid, false, 0};
    pthread_t reaper;
    int rc = pthread_create(&reaper, NULL, reap_child, &child);
    if (rc != 0) {
        /* A program nobody can bound must not run. */
        kill(-pid, SIGKILL);
        while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
        }
        log_not_started(program, rc);
        return SHELLCMD_NOT_STARTED;
    }
    struct timespec deadline;
    deadline_after(0, limits.bound_ms, &deadline);
    pthread_mutex_lock(&g_state_lock);
    await_end_or_abort(&child, limits.past_abort, &deadline);
    bool ended = child.ended;
    bool stopping = g_aborted && !limits.past_abort;
    pthread_mutex_unlock(&g_state_lock);
    int result = 0;
    if (ended)
        *exit_status = exit_status_of(child.status);
    if (!ended) {
        if (stopping)
            app_errlog("[Ombrelle]Command %s stopped: Ombrelle is stopping\n", program);
        else
            app_errlog("[Ombrelle]Command %s did not end within %u ms, killed\n", program, limits.bound_ms);
        kill_group(&child);
        result = stopping ? SHELLCMD_ABORTED : SHELLCMD_KILLED;
    }
    pthread_join(reaper, NULL);
    return result;
}

/* Splits `line` in place at blanks into at most `max` - 1 words and a null entry; the count, or -1. */
int split_words(char *line, char **words, int max)
{
    int count = 0;
    for (char *p = line; *p != '\0';) {
        while (is_blank(*p))
            *p++ = '\0';
        if (*p == '\0')
            break;
        if (count == max - 1)
            return -1;
        words[count++] = p;
        while (*p != '\0' && !is_blank(*p))
            ++p;
    }
    words[count] = NULL;
    return count;
}

/* Runs argv with the `assignments` NAME=value words added to the environment. */
int run_words(char **argv, char *const *assignments, int count, const RunLimits &limits, int *exit_status)
{
    if (!limits.past_abort && aborted()) {
        app_errlog("[Ombrelle]Command %s not run: Ombrelle is stopping\n", argv[0]);
        return SHELLCMD_ABORTED;
    }
    char **envp = build_environment(assignments, count);
    if (envp == NULL) {
        log_not_started(argv[0], ENOMEM);
        return SHELLCMD_NOT_STARTED;
    }
    pid_t pid;
    int err = start_child(argv, envp, &pid);
    free(envp);
    if (err != 0) {
        log_not_started(argv[0], err);
        return SHELLCMD_NOT_STARTED;
    }
    return watch_child(argv[0], pid, limits, exit_status);
}

int run_line(char *line)
{
    char *words[MAX_WORDS];
    int count = split_words(line, words, MAX_WORDS);
    int assignments = 0;
    while (assignments < count && assignment_name_length(words[assignments]) > 0)
        ++assignments;
    if (count <= assignments) {
        app_errlog("[Ombrelle]Command holds no program, not run\n");
        return SHELLCMD_NOT_STARTED;
    }
    int ignored;
    const RunLimits limits = {shellcmd_run_bound_ms, false};
    return run_words(words + assignments, words, assignments, limits, &ignored);
}

/* The blanks at both ends of `text` dropped: where it starts, and its length in *length. */
const char *trimmed(const char *text, size_t *length)
{
    while (is_blank(*text))
        ++text;
    size_t n = strlen(text);
    while (n > 0 && is_blank(text[n - 1]))
        --n;
    *length = n;
    return text;
}

/*
 * Lays "program arg..." out in syscmd, each argument trimmed, and points argv
 * at the words, cut apart in place: the line's length, or how long it would be
 * when it does not fit (nothing is laid out then).
 */
size_t lay_out_words(const char *program, const char *const *args, int count, char **argv)
{
    const char *start[SHELLCMD_MAX_ARGS];
    size_t length[SHELLCMD_MAX_ARGS];
    size_t total = strlen(program);
    for (int i = 0; i < count; ++i) {
        start[i] = trimmed(args[i], &length[i]);
        total += 1 + length[i];
    }
    if (total >= SYSCMD_SIZE)
        return total;
    size_t used = strlen(program);
    memcpy(syscmd, program, used);
    argv[0] = syscmd;
    for (int i = 0; i < count; ++i) {
        syscmd[used++] = '\0';
        memcpy(syscmd + used, start[i], length[i]);
        argv[i + 1] = syscmd + used;
        used += length[i];
    }
    syscmd[used] = '\0';
    argv[count + 1] = NULL;
    return total;
}

void shellcmd_refuse(int length)
{
    app_errlog("[Ombrelle]Command of %d bytes does not fit in %d, not run\n", length, SYSCMD_SIZE - 1);
}

}  // namespace

int shellcmd_init(void)
{
    pthread_once(&g_state_once, init_state);
    pthread_mutex_lock(&g_state_lock);
    g_aborted = false;
    pthread_mutex_unlock(&g_state_lock);
    syscmd = (char *)calloc(1, SYSCMD_SIZE);
    return syscmd != NULL ? 0 : -1;
}

void shellcmd_release(void)
{
    pthread_mutex_lock(&g_syscmd_lock);
    free(syscmd);
    syscmd = NULL;
    pthread_mutex_unlock(&g_syscmd_lock);
}

/* Takes syscmd for one command, cleared, under g_syscmd_lock; false (logged, lock not held) once it is released. */
static bool syscmd_take(void)
{
    pthread_mutex_lock(&g_syscmd_lock);
    if (syscmd == NULL) {
        pthread_mutex_unlock(&g_syscmd_lock);
        app_errlog("[Ombrelle]Command not run: no command buffer\n");
        return false;
    }
    memset(syscmd, 0, SYSCMD_SIZE);
    return true;
}

int shellcmd_run(const char *format, ...)
{
    if (!syscmd_take())
        return SHELLCMD_NOT_STARTED;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(syscmd, SYSCMD_SIZE, format, args);
    va_end(args);
    int rc = SHELLCMD_REFUSED;
    if (n < 0 || n >= SYSCMD_SIZE)
        shellcmd_refuse(n);
    else
        rc = run_line(syscmd);
    memset(syscmd, 0, SYSCMD_SIZE);
    pthread_mutex_unlock(&g_syscmd_lock);
    return rc;
}

int shellcmd_run_args(const char *program, const char *const *args, int count, int *exit_status)
{
    const ShellRunOptions plain = {NULL, 0, 0, false};
    return shellcmd_run_args_with(program, args, count, &plain, exit_status);
}

int shellcmd_run_args_with(const char *program, const char *const *args, int count, const ShellRunOptions *options,
                           int *exit_status)
{
    *exit_status = SHELLCMD_EXIT_SIGNAL;
    if (count < 0 || count > SHELLCMD_MAX_ARGS) {
        app_errlog("[Ombrelle]Command %s with %d arguments, not run\n", program, count);
        return SHELLCMD_NOT_STARTED;
    }
    if (options->env_count < 0 || (options->env == NULL && options->env_count != 0)) {
        app_errlog("[Ombrelle]Command %s with %d environment entries, not run\n", program, options->env_count);
        return SHELLCMD_NOT_STARTED;
    }
    if (!syscmd_take())
        return SHELLCMD_NOT_STARTED;
    char *argv[SHELLCMD_MAX_ARGS + 2];
    size_t length = lay_out_words(program, args, count, argv);
    int rc = SHELLCMD_NOT_STARTED;
    if (length >= SYSCMD_SIZE) {
        shellcmd_refuse((int)length);
        rc = SHELLCMD_REFUSED;
    } else if (argv[0][0] == '\0') {
        app_errlog("[Ombrelle]Command holds no program, not run\n");
    } else {
        const RunLimits limits = {options->bound_ms != 0 ? options->bound_ms : shellcmd_run_bound_ms,
                                  options->past_abort};
        rc = run_words(argv, (char *const *)options->env, options->env_count, limits, exit_status);
    }
    memset(syscmd, 0, SYSCMD_SIZE);
    pthread_mutex_unlock(&g_syscmd_lock);
    return rc;
}

void shellcmd_abort(void)
{
    pthread_once(&g_state_once, init_state);
    pthread_mutex_lock(&g_state_lock);
    g_aborted = true;
    pthread_cond_broadcast(&g_state_changed);
    pthread_mutex_unlock(&g_state_lock);
}

int shellcmd_pause(unsigned seconds)
{
    pthread_once(&g_state_once, init_state);
    struct timespec deadline;
    deadline_after(seconds, 0, &deadline);
    pthread_mutex_lock(&g_state_lock);
    while (!g_aborted && pthread_cond_timedwait(&g_state_changed, &g_state_lock, &deadline) != ETIMEDOUT) {
    }
    bool stopping = g_aborted;
    pthread_mutex_unlock(&g_state_lock);
    return stopping ? SHELLCMD_ABORTED : 0;
}
