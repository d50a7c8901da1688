/*
 * utf8text.h - texts from configuration files and serial peers, made safe for
 * a JSON document and for a log line.
 *
 * Offers:
 *   utf8_cut_length     how much of a text fits a limit without splitting a
 *                       UTF-8 character
 *   utf8_json_string    a JSON string body (RFC 8259) of any bytes
 *   utf8_log_text       a log-line text of any bytes that cannot start a line
 *                       or a terminal control sequence of its own
 *   utf8_topic_text     one level of an MQTT topic name of any bytes
 *
 * Well-formed UTF-8 is kept as it is. In JSON, each maximal ill-formed part
 * becomes U+FFFD (written as its three UTF-8 bytes), as the Unicode standard
 * recommends, so the document stays valid UTF-8 whatever came in. In a log
 * line, ill-formed bytes are shown as \xNN instead, so the reader sees which
 * bytes came. The writers take `length` bytes (zero bytes included) and always
 * end `out` with a NUL; they return the bytes written before it.
 */
#ifndef OMBRELLE_UTF8TEXT_H
#define OMBRELLE_UTF8TEXT_H

#include <stddef.h>

/* Worst cases: a control byte becomes \u00XX in JSON and \xNN in a log line. */
#define UTF8_JSON_SIZE(length) ((length) * 6 + 1)
#define UTF8_LOG_SIZE(length) ((length) * 4 + 1)
/* An ill-formed byte becomes the three bytes of U+FFFD in a topic level. */
#define UTF8_TOPIC_SIZE(length) ((length) * 3 + 1)

/*
 * The length of the longest prefix of text[0..length) of at most `limit` bytes
 * that does not end inside a well-formed character. Ill-formed bytes count as
 * one byte each: they are no character to split.
 */
size_t utf8_cut_length(const char *text, size_t length, size_t limit);

/*
 * Writes text[0..length) as a JSON string body (no quotes around it): '"' and
 * '\' escaped with a backslash, control characters below U+0020 and DEL as \u00XX,
 * ill-formed UTF-8 replaced by U+FFFD. `size` must be at least
 * UTF8_JSON_SIZE(length); with less, the body ends at the last whole piece
 * that fits.
 */
size_t utf8_json_string(const char *text, size_t length, char *out, size_t size);

/*
 * Writes text[0..length) for a log line: C0 controls, DEL, C1 controls and
 * ill-formed bytes as \xNN (one per byte), '\' as "\\"; every other character
 * as it is. `size` must be at least UTF8_LOG_SIZE(length); with less, the text
 * ends at the last whole piece that fits.
 */
size_t utf8_log_text(const char *text, size_t length, char *out, size_t size);

/*
 * Writes text[0..length) as one level of an MQTT topic name: "+", "#" and
 * "/" (which would change what the topic means), control characters (C0,
 * DEL, C1) and Unicode non-characters (which brokers refuse) become "_";
 * ill-formed UTF-8 becomes U+FFFD, as in JSON. `size` must be at least
 * UTF8_TOPIC_SIZE(length); with less, the level ends at the last whole piece
 * that fits.
 */
size_t utf8_topic_text(const char *text, size_t length, char *out, size_t size);

#endif
