#include "reconfig.h"

#include "tsdk.h"

int Update_App_Configurations(void)
{
    tsdk_log("[Ombrelle] ========= DYNAMIC CONFIGURATION STARTED =========\n");
    tsdk_log("[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========\n");
    fflush(tsdk.log);
    return 0;
}

void upload_timer_delete(void)
{
}

void serial_reader_stop(void)
{
}
