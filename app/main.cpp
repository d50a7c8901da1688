/*
 * Ombrelle: start-up, the main loop and shutdown.
 *
 * Start-up: the records zeroed, the signal handler, the SDK, the command
 * buffer syscmd, the wake-up pipe, the platform paths and the sensor-data
 * directory, then the configuration applied once (which subscribes the
 * triggers, creates the upload timer and starts the RS-485 reader as
 * configured). The main loop then sleeps until a signal asks for something.
 *
 * A stop signal ends the children and serial reads under way at once (the
 * stop watcher), even while an application waits for a tick.
 *
 * Shutdown is not start-up reversed. It first stops the upload timer and
 * waits for a tick in progress (a tick on cleared settings would empty the
 * datastream file), then switches every report off (the unsubscribes wait for
 * callbacks in flight), stops the reader, and only then releases the text
 * buffers and syscmd that those threads read, and closes the SDK last.
 */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "appconfig.h"
#include "applog.h"
#include "ombrelle.h"
#include "reconfig.h"
#include "serial.h"
#include "serialport.h"
#include "rootpath.h"
#include "shellcmd.h"
#include "triggers.h"
#include "tsdk.h"

namespace {

struct sigaction sigact;
char log_path[ROOT_PATH_MAX];

void install_signal_handler(void)
{
    memset(&sigact, 0, sizeof sigact);
    sigact.sa_handler = signal_handler;
    sigemptyset(&sigact.sa_mask);
    sigact.sa_flags = 0;
    sigaction(SIGTERM, &sigact, NULL);
    sigaction(SIGINT, &sigact, NULL);
    sigaction(SIGABRT, &sigact, NULL);
    sigaction(SIGUSR1, &sigact, NULL);
}

void fill_sdk_settings(void)
{
    root_path(OMBRELLE_LOG_PATH, log_path, sizeof log_path);
    tsdk_settings.app_name = "Ombrelle";
    tsdk_settings.vendor_name = "Tarvane Systems";
    tsdk_settings.option = 1;
    tsdk_settings.option_b1 = 0;
    tsdk_settings.option_b2 = 0;
    tsdk_settings.log_path = log_path;
    tsdk_settings.errlog_path = log_path;
    tsdk_settings.daynight_flag = 0;
}

/*
 * Sleeps until a signal asks for something. The flag is cleared before the
 * configuration is applied, so a SIGUSR1 during an application gives exactly
 * one more, and a stop asked meanwhile lets the application finish first.
 */
void main_loop(void)
{
    while (wait_updates.load() != 0) {
        if (config_change.load() != 0) {
            config_change.store(0);
            app_log("[Ombrelle]Handle Configuration Change\n");
            Update_App_Configurations();
            continue;
        }
        ombrelle_wait_request();
    }
}

/* What a stop ends at once, from the stop watcher or here: children and serial reads under way. */
void abort_waits(void)
{
    shellcmd_abort();
    serialport_abort();
}

void shutdown(void)
{
    abort_waits();
    ombrelle_stop_watch_join();
    /* Before the settings are cleared: a tick on cleared settings would empty the datastream file. */
    upload_timer_delete();
    AppContext_ClearSettings(&AppContext);
    setup_triggers();
    trigger_feed_stop();
    serial_reader_stop();
    OutputFreeMemory(&AppContext);
    shellcmd_release();
    tsdk_deinit();
}

}  // namespace

int main(void)
{
    memset(&AppContext, 0, sizeof AppContext);
    memset(&Serial_data, 0, sizeof Serial_data);
    install_signal_handler();
    fill_sdk_settings();
    if (tsdk_init() != 0) {
        app_errlog("[Ombrelle]Tarvane SDK initialization failed.\n");
        exit(1);
    }
    if (shellcmd_init() != 0) {
        app_errlog("[Ombrelle]Failed to get syscmd memory .... Exiting \n");
        exit(-1);
    }
    if (ombrelle_wake_init() != 0) {
        app_errlog("[Ombrelle]Failed to get the wake-up pipe .... Exiting \n");
        exit(-1);
    }
    if (ombrelle_stop_watch_start(abort_waits) != 0)
        app_errlog("[Ombrelle]Failed to start the stop watcher: a stop waits for the work under way\n");
    ombrelle_resolve_paths();
    mkdir(PIPE_DIR, 0755);
    Update_App_Configurations();
    main_loop();
    shutdown();
    return 0;
}
