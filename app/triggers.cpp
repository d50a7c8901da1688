#include "triggers.h"

int setup_triggers(void)
{
    return 0;
}
