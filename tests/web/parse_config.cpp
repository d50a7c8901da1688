/*
 * parse_config - prints what Ombrelle takes from the two configuration files
 * of $TS_APP_HOME, read with its own reader: one "record NAME=VALUE" line per
 * field, NAME being the field's conventional tag. Other lines on standard
 * output come from the reader itself. Exit status 1 when a file cannot be
 * read.
 */
#include <stdio.h>

#include "appconfig.h"

namespace {

void print_number(const char *name, int32_t value)
{
    printf("record %s=%d\n", name, (int)value);
}

void print_text(const char *name, const char *text)
{
    printf("record %s=%s\n", name, text != nullptr ? text : "(absent)");
}

int parse(const char *relative)
{
    char path[APP_CONFIG_PATH_SIZE];
    if (App_config_path(relative, path, sizeof path) != 0) {
        fprintf(stderr, "parse_config: no path for %s (is TS_APP_HOME set?)\n", relative);
        return -1;
    }
    return App_parse_xml(path, &AppContext);
}

} // namespace

int main()
{
    if (parse("html/configparams.xml") != 0 || parse("html/xivelyconfig.xml") != 0)
        return 1;
    const AppContext_t &c = AppContext;
    print_number("Input1Enabled", c.Input1Enabled);
    print_text("Input1Name", c.Input1Name);
    print_number("MotionDetectionEnabled", c.MotionDetectionEnabled);
    print_text("MotionDetectionName", c.MotionDetectionName);
    print_number("DayNightEnabled", c.DayNightEnabled);
    print_text("DayNightName", c.DayNightName);
    print_number("RS485Enabled", c.RS485Enabled);
    print_number("XivelyEnabled", c.XivelyEnabled);
    print_number("AppEnabled", c.AppEnabled);
    print_number("Ext_thread", c.Ext_thread);
    print_text("Apikey", c.Apikey);
    print_text("FeedID", c.FeedID);
    print_number("SensorType", c.SensorType);
    print_number("SensorParam", c.SensorParam);
    print_number("IntervalinMin", c.IntervalinMin);
    print_number("ChannelNumber", c.ChannelNumber);
    for (int k = 0; k < APP_CHANNELS; k++) {
        char name[32];
        snprintf(name, sizeof name, "Channel%dEnabled", k + 1);
        print_number(name, c.ChannelEnabled[k]);
        snprintf(name, sizeof name, "Channel%dName", k + 1);
        print_text(name, c.ChannelName[k]);
        snprintf(name, sizeof name, "Channel%dParam", k + 1);
        print_number(name, c.ChannelParam[k]);
    }
    OutputFreeMemory(&AppContext);
    return 0;
}
