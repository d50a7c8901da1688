/*
 * Prints the layout of every type of the SDK interface. Built twice, with and
 * without the 64-bit time_t and off_t of the ARM presets: the two printouts
 * must be the same, or Ombrelle and a vendor SDK built without those flags
 * would disagree about the records they share.
 */
#include <stddef.h>
#include <stdio.h>

#include "tsdk.h"

#define FIELD(type, field) printf(#type "." #field " %zu %zu\n", offsetof(type, field), sizeof(((type *)0)->field))

int main(void)
{
    printf("tsdk_settings_t %zu\n", sizeof(struct tsdk_settings_t));
    FIELD(tsdk_settings_t, app_name);
    FIELD(tsdk_settings_t, vendor_name);
    FIELD(tsdk_settings_t, option);
    FIELD(tsdk_settings_t, option_b1);
    FIELD(tsdk_settings_t, option_b2);
    FIELD(tsdk_settings_t, log_path);
    FIELD(tsdk_settings_t, errlog_path);
    FIELD(tsdk_settings_t, daynight_flag);
    FIELD(tsdk_settings_t, daynight_cb);
    printf("tsdk_state_t %zu\n", sizeof(struct tsdk_state_t));
    FIELD(tsdk_state_t, log);
    FIELD(tsdk_state_t, settings);
    printf("tsdk_handle %zu size_t %zu int %zu\n", sizeof(tsdk_handle), sizeof(size_t), sizeof(int));
    return 0;
}
