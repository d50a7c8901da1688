#include "applog.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "tsdk.h"

namespace {

const char CUT_MARK[] = "...\n";

__attribute__((format(printf, 3, 0))) void format_line(char *line, size_t size, const char *format, va_list args)
{
    int n = vsnprintf(line, size, format, args);
    if (n < 0) {
        line[0] = '\0';
        return;
    }
    if ((size_t)n >= size)
        memcpy(line + size - sizeof CUT_MARK, CUT_MARK, sizeof CUT_MARK);
}

void flush_stream(void)
{
    if (tsdk.log != NULL)
        fflush(tsdk.log);
}

}  // namespace

void app_log(const char *format, ...)
{
    char line[APP_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    format_line(line, sizeof line, format, args);
    va_end(args);
    tsdk_log("%s", line);
    flush_stream();
}

void app_errlog(const char *format, ...)
{
    char line[APP_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    format_line(line, sizeof line, format, args);
    va_end(args);
    tsdk_errlog("%s", line);
    flush_stream();
}
