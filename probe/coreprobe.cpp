/*
 * coreprobe - one run of the internal temperature probe.
 *
 * Programs the LM73's alert thresholds from the environment variables H and
 * L (whole degrees Celsius, 15 and 10 when unset), reads the temperature into
 * "/var/log/InternalTemp.log" for the caller and prints the alert pin's level.
 * Command-line arguments are ignored. Exits 0, or -1 when the file cannot be
 * created (or a partial or stale one cannot be removed).
 *
 * Standard output is line-buffered, so that with both streams in one file
 * the few lines on standard error keep their place among the others.
 */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "reading.h"
#include "rootpath.h"
#include "thermallib.h"

enum { DEFAULT_THIGH = 15, DEFAULT_TLOW = 10 };

/* Lets the sensor finish a conversion with the new settings. */
enum { SENSOR_SETTLE_SECONDS = 1 };

/* Read as strtol reads base 10; clamped to int, as on the camera where long is as wide. */
static int env_threshold(const char *name, int fallback)
{
    const char *text = getenv(name);
    if (text == NULL)
        return fallback;
    long value = strtol(text, NULL, 10);
#if LONG_MAX > INT_MAX
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
#endif
    return (int)value;
}

int main()
{
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
    int high = env_threshold("H", DEFAULT_THIGH);
    int low = env_threshold("L", DEFAULT_TLOW);

    ThermalSensor_Init(high, low);
    sleep(SENSOR_SETTLE_SECONDS);

    float celsius = 0.0f;
    int readOk = ThermalSensor_GetTemprature(THERMAL_UNIT_CELSIUS, &celsius);

    char path[ROOT_PATH_MAX];
    if (root_path(INTERNAL_TEMP_PATH, path, sizeof path) != 0)
        return -1;
    int fileOk = readOk == 0 ? reading_store(path, celsius) : reading_withdraw(path);
    if (fileOk != 0)
        return -1;

    int heaterRunning = 0;
    ThermalSensor_HeaterRunning(&heaterRunning);
    ThermalSensor_Deinit();
    return 0;
}
