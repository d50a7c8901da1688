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

/* The SDK's two log calls share this shape; the line goes to one of them, then the stream is flushed. */
typedef void SdkLog(const char *format, ...);

__attribute__((format(printf, 2, 0))) void write_line(SdkLog *sdk_log, const char *format, va_list args)
{
    char line[APP_LOG_LINE_SIZE];
    format_line(line, sizeof line, format, args);
    sdk_log("%s", line);
    if (tsdk.log != NULL)
        fflush(tsdk.log);
}

}  // namespace

void app_log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    write_line(tsdk_log, format, args);
    va_end(args);
}

void app_errlog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    write_line(tsdk_errlog, format, args);
    va_end(args);
}
