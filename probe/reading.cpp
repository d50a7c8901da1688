#include "reading.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rootpath.h"

/* mkstemp's template: the target's name and six characters it replaces. */
#define TEMP_SUFFIX ".XXXXXX"

/* Room for "%8.2f" of any float: 39 digits, a sign, a point, two decimals. */
enum { READING_TEXT_SIZE = 48 };

const struct reading_fs_ops reading_fs_system = {
    mkstemp, fchmod, write, close, rename, unlink,
};

const struct reading_fs_ops *g_readingFs = &reading_fs_system;

/* The whole text in one call, into a fresh file: a short count is a failure. */
static bool write_text(int fd, const char *text, size_t length)
{
    if (g_readingFs->fchmod(fd, READING_FILE_MODE) != 0)
        return false;
    ssize_t n = g_readingFs->write(fd, text, length);
    return n >= 0 && (size_t)n == length;
}

int reading_withdraw(const char *path)
{
    if (g_readingFs->unlink(path) != 0 && errno != ENOENT && errno != ENOTDIR)
        return -1;
    return 0;
}

int reading_store(const char *path, float celsius)
{
    char temp[ROOT_PATH_MAX + sizeof TEMP_SUFFIX];
    int n = snprintf(temp, sizeof temp, "%s" TEMP_SUFFIX, path);
    if (n < 0 || (size_t)n >= sizeof temp)
        return -1;
    int fd = g_readingFs->mkstemp(temp);
    if (fd < 0)
        return -1;

    char text[READING_TEXT_SIZE];
    int length = snprintf(text, sizeof text, "%8.2f", (double)celsius);
    bool written = length >= 0 && (size_t)length < sizeof text && write_text(fd, text, (size_t)length);
    if (g_readingFs->close(fd) != 0)
        written = false;
    if (!written) {
        /* No value beats a partial one, and an old one would pass for fresh. */
        if (g_readingFs->unlink(temp) != 0)
            return -1;
        return reading_withdraw(path);
    }
    if (g_readingFs->rename(temp, path) != 0) {
        g_readingFs->unlink(temp);
        return -1;
    }
    return 0;
}
