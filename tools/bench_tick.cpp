/*
 * bench_tick: the cost of one upload tick with 8 enabled channels and a no-op
 * feed_update, against starting that script 8 times directly.
 *
 * Usage: bench_tick WORKDIR [ROUNDS]. Prints wall and CPU milliseconds per tick
 * and per 8 direct runs (CPU includes the children's), and their ratio.
 */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "appconfig.h"
#include "ombrelle.h"
#include "serial.h"
#include "shellcmd.h"
#include "tsdk.h"
#include "upload.h"

extern char **environ;

namespace {

struct Cost {
    double wall_ms;
    double cpu_ms;
};

double now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double cpu_ms(void)
{
    struct rusage self, children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    auto ms = [](const struct timeval &tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
    return ms(self.ru_utime) + ms(self.ru_stime) + ms(children.ru_utime) + ms(children.ru_stime);
}

template <typename F>
Cost measure(int rounds, F body)
{
    double wall = now_ms(), cpu = cpu_ms();
    for (int i = 0; i < rounds; ++i)
        body();
    return {(now_ms() - wall) / rounds, (cpu_ms() - cpu) / rounds};
}

char *dup_text(const char *text, size_t size)
{
    char *buffer = (char *)calloc(1, size);
    snprintf(buffer, size, "%s", text);
    return buffer;
}

void configure(void)
{
    AppContext.XivelyEnabled = 1;
    AppContext.SensorType = 3;
    AppContext.ChannelNumber = APP_CHANNELS;
    AppContext.Apikey = dup_text("BENCHKEY0123456789", APIKEY_SIZE);
    AppContext.FeedID = dup_text("4711", FEEDID_SIZE);
    for (int i = 0; i < APP_CHANNELS; ++i) {
        char name[CHANNEL_NAME_SIZE];
        snprintf(name, sizeof name, "Channel%d", i + 1);
        AppContext.ChannelName[i] = dup_text(name, CHANNEL_NAME_SIZE);
        AppContext.ChannelEnabled[i] = 1;
        AppContext.ChannelParam[i] = 30;
        Serial_data.value[i] = 20.0 + i;
        Serial_data.param[i] = 30;
    }
}

void run_direct(const std::string &script)
{
    char *argv[] = {(char *)script.c_str(), (char *)"BENCHKEY0123456789", (char *)"4711", (char *)"Channel1",
                    (char *)"    20.0", NULL};
    pid_t pid;
    if (posix_spawn(&pid, script.c_str(), NULL, NULL, argv, environ) == 0)
        waitpid(pid, NULL, 0);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_tick WORKDIR [ROUNDS]\n");
        return 2;
    }
    std::string work = argv[1];
    int rounds = argc > 2 ? atoi(argv[2]) : 50;
    std::string script = work + "/feed_update";
    FILE *f = fopen(script.c_str(), "w");
    if (f == NULL)
        return 1;
    fputs("#!/bin/sh\nexit 0\n", f);
    fclose(f);
    chmod(script.c_str(), 0755);
    mkdir((work + "/var").c_str(), 0755);
    mkdir((work + "/var/extsensor").c_str(), 0755);
    setenv("OMBRELLE_ROOT", work.c_str(), 1);
    setenv("TS_APP_HOME", work.c_str(), 1);
    unsetenv("TSDK_SIM_DIR");
    std::string log = work + "/bench.log";
    tsdk_settings.log_path = log.c_str();
    if (tsdk_init() != 0 || shellcmd_init() != 0)
        return 1;
    ombrelle_resolve_paths();
    configure();

    union sigval none;
    none.sival_int = 0;
    xively_timer_proc(none);
    Cost tick = measure(rounds, [&] { xively_timer_proc(none); });
    Cost direct = measure(rounds, [&] {
        for (int i = 0; i < APP_CHANNELS; ++i)
            run_direct(script);
    });
    printf("tick with 8 channels: %.2f ms wall, %.2f ms CPU\n", tick.wall_ms, tick.cpu_ms);
    printf("8 direct script runs: %.2f ms wall, %.2f ms CPU\n", direct.wall_ms, direct.cpu_ms);
    printf("tick / direct: %.2f wall, %.2f CPU (target at most 1.20)\n", tick.wall_ms / direct.wall_ms,
           tick.cpu_ms / direct.cpu_ms);
    OutputFreeMemory(&AppContext);
    shellcmd_release();
    tsdk_deinit();
    return 0;
}
