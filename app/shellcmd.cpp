#include "shellcmd.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include "applog.h"
#include "tsdk.h"

extern char **environ;

char *syscmd;

namespace {

/* A 256-byte line holds at most 128 words. */
enum { MAX_WORDS = SYSCMD_SIZE / 2 + 1, MAX_ENVIRONMENT = 256 };

pthread_mutex_t g_syscmd_lock = PTHREAD_MUTEX_INITIALIZER;

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

/* The child's environment: ours, with the assignments replacing same-named entries. */
int build_environment(char **assignments, int count, char **out, int max)
{
    int n = 0;
    for (char **e = environ; *e != NULL; ++e) {
        bool replaced = false;
        for (int i = 0; i < count && !replaced; ++i) {
            size_t len = assignment_name_length(assignments[i]) + 1;
            replaced = strncmp(*e, assignments[i], len) == 0;
        }
        if (replaced)
            continue;
        if (n == max - 1)
            return -1;
        out[n++] = *e;
    }
    for (int i = 0; i < count; ++i) {
        if (n == max - 1)
            return -1;
        out[n++] = assignments[i];
    }
    out[n] = NULL;
    return 0;
}

int spawn_and_wait(char **argv, char **envp)
{
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGABRT);
    sigaddset(&defaults, SIGUSR1);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], NULL, &attr, argv, envp);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
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

int run_line(char *line)
{
    char *words[MAX_WORDS];
    int count = split_words(line, words, MAX_WORDS);
    int assignments = 0;
    while (assignments < count && assignment_name_length(words[assignments]) > 0)
        ++assignments;
    if (count <= assignments)
        return -1;
    char *envp[MAX_ENVIRONMENT];
    if (build_environment(words, assignments, envp, MAX_ENVIRONMENT) != 0)
        return -1;
    return spawn_and_wait(words + assignments, envp);
}

void shellcmd_refuse(int length)
{
    app_errlog("[Ombrelle]Command of %d bytes does not fit in %d, not run\n", length, SYSCMD_SIZE - 1);
}

}  // namespace

int shellcmd_init(void)
{
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

int shellcmd_run(const char *format, ...)
{
    pthread_mutex_lock(&g_syscmd_lock);
    if (syscmd == NULL) {
        pthread_mutex_unlock(&g_syscmd_lock);
        return -1;
    }
    memset(syscmd, 0, SYSCMD_SIZE);
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
