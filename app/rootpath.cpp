#include "rootpath.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <unistd.h>

static bool kernel_privileged(void)
{
    return getauxval(AT_SECURE) != 0 || getuid() != geteuid() || getgid() != getegid();
}

bool (*rootpath_privileged)(void) = kernel_privileged;

const char *test_getenv(const char *name)
{
    if (rootpath_privileged())
        return NULL;
    return getenv(name);
}

const char *root_prefix(void)
{
    const char *root = test_getenv("OMBRELLE_ROOT");
    return root != NULL ? root : "";
}

int root_path(const char *fixed, char *out, size_t size)
{
    int n = snprintf(out, size, "%s%s", root_prefix(), fixed);
    if (n < 0 || (size_t)n >= size) {
        if (size > 0)
            out[0] = '\0';
        return -1;
    }
    return 0;
}
