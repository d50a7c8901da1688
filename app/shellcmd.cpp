#include "shellcmd.h"

#include <stdlib.h>

char *syscmd;

int shellcmd_init(void)
{
    syscmd = (char *)calloc(1, SYSCMD_SIZE);
    return syscmd != NULL ? 0 : -1;
}

void shellcmd_release(void)
{
    free(syscmd);
    syscmd = NULL;
}
