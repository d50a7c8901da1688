/*
 * applog.h - Ombrelle's log lines.
 *
 * Offers:
 *   app_log      one information line through tsdk_log
 *   app_errlog   one error line through tsdk_errlog
 *
 * Both format the line, hand it to the SDK and flush the SDK log stream at
 * once, so no line waits in a stdio buffer whatever path wrote it. A line
 * longer than APP_LOG_LINE_SIZE - 1 bytes is cut and ends in "...\n".
 * Safe on any thread; the SDK serialises the stream.
 */
#ifndef OMBRELLE_APPLOG_H
#define OMBRELLE_APPLOG_H

enum { APP_LOG_LINE_SIZE = 1024 };

void app_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void app_errlog(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
