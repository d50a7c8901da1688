#include "rootpath.h"

#include <stdio.h>
#include <stdlib.h>

int root_path(const char *fixed, char *out, size_t size)
{
    const char *root = getenv("OMBRELLE_ROOT");
    if (root == NULL)
        root = "";
    int n = snprintf(out, size, "%s%s", root, fixed);
    if (n < 0 || (size_t)n >= size) {
        if (size > 0)
            out[0] = '\0';
        return -1;
    }
    return 0;
}
