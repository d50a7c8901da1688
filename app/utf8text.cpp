#include "utf8text.h"

#include <stdio.h>
#include <string.h>

namespace {

/* U+FFFD REPLACEMENT CHARACTER in UTF-8. */
const char REPLACEMENT[] = "\xEF\xBF\xBD";

enum { ASCII_END = 0x80, DEL = 0x7F, C1_LEAD = 0xC2, C1_LAST = 0x9F };

/*
 * The well-formed sequences of the Unicode standard (table 3-7): the lead byte
 * gives the length and the range of the second byte; later bytes are 80..BF.
 * Returns the length of the character at p, or 0 when none starts there; then
 * *bad is the length of the maximal ill-formed part (at least 1).
 */
size_t char_length(const unsigned char *p, size_t left, size_t *bad)
{
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (p[0] < ASCII_END)
        return 1;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        length = 2;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        length = 3;
        low = p[0] == 0xE0 ? 0xA0 : low;   /* no overlong forms */
        high = p[0] == 0xED ? 0x9F : high; /* no surrogates */
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        length = 4;
        low = p[0] == 0xF0 ? 0x90 : low;   /* no overlong forms */
        high = p[0] == 0xF4 ? 0x8F : high; /* nothing above U+10FFFF */
    } else {
        *bad = 1;
        return 0;
    }
    size_t i = 1;
    for (; i < length && i < left; ++i) {
        if (p[i] < low || p[i] > high)
            break;
        low = 0x80;
        high = 0xBF;
    }
    if (i == length)
        return length;
    *bad = i;
    return 0;
}

/* Appends `piece` when it fits whole with the final NUL; false when it does not. */
bool append(char *out, size_t size, size_t *used, const char *piece, size_t n)
{
    if (*used + n >= size)
        return false;
    memcpy(out + *used, piece, n);
    *used += n;
    out[*used] = '\0';
    return true;
}

bool append_escaped_byte(char *out, size_t size, size_t *used, unsigned char byte)
{
    char piece[8];
    snprintf(piece, sizeof piece, "\\x%02x", byte);
    return append(out, size, used, piece, 4);
}

bool is_c1_control(const unsigned char *p, size_t n)
{
    return n == 2 && p[0] == C1_LEAD && p[1] <= C1_LAST;
}

/* U+FDD0..U+FDEF and U+xxFFFE, U+xxFFFF: never characters of a text. */
bool is_noncharacter(const unsigned char *p, size_t n)
{
    if (n == 3)
        return (p[0] == 0xEF && p[1] == 0xB7 && p[2] >= 0x90 && p[2] <= 0xAF)
            || (p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE);
    return n == 4 && (p[1] & 0x0F) == 0x0F && p[2] == 0xBF && p[3] >= 0xBE;
}

}  // namespace

size_t utf8_cut_length(const char *text, size_t length, size_t limit)
{
    const unsigned char *p = (const unsigned char *)text;
    size_t kept = 0;
    while (kept < length) {
        size_t bad = 0;
        size_t n = char_length(p + kept, length - kept, &bad);
        if (n == 0)
            n = 1;
        if (kept + n > limit)
            break;
        kept += n;
    }
    return kept;
}

size_t utf8_json_string(const char *text, size_t length, char *out, size_t size)
{
    const unsigned char *p = (const unsigned char *)text;
    size_t used = 0;
    if (size > 0)
        out[0] = '\0';
    for (size_t i = 0; i < length;) {
        size_t bad = 0;
        size_t n = char_length(p + i, length - i, &bad);
        char piece[8];
        bool fits;
        if (n == 0) {
            fits = append(out, size, &used, REPLACEMENT, 3);
            n = bad;
        } else if (p[i] == '"' || p[i] == '\\') {
            snprintf(piece, sizeof piece, "\\%c", p[i]);
            fits = append(out, size, &used, piece, 2);
        } else if (p[i] < 0x20 || p[i] == DEL) {
            snprintf(piece, sizeof piece, "\\u%04x", p[i]);
            fits = append(out, size, &used, piece, 6);
        } else {
            fits = append(out, size, &used, text + i, n);
        }
        if (!fits)
            break;
        i += n;
    }
    return used;
}

size_t utf8_log_text(const char *text, size_t length, char *out, size_t size)
{
    const unsigned char *p = (const unsigned char *)text;
    size_t used = 0;
    if (size > 0)
        out[0] = '\0';
    for (size_t i = 0; i < length;) {
        size_t bad = 0;
        size_t n = char_length(p + i, length - i, &bad);
        bool fits = true;
        if (n == 0 || p[i] < 0x20 || p[i] == DEL || is_c1_control(p + i, n)) {
            n = n == 0 ? bad : n;
            for (size_t k = 0; k < n && fits; ++k)
                fits = append_escaped_byte(out, size, &used, p[i + k]);
        } else if (p[i] == '\\') {
            fits = append(out, size, &used, "\\\\", 2);
        } else {
            fits = append(out, size, &used, text + i, n);
        }
        if (!fits)
            break;
        i += n;
    }
    return used;
}

size_t utf8_topic_text(const char *text, size_t length, char *out, size_t size)
{
    const unsigned char *p = (const unsigned char *)text;
    size_t used = 0;
    if (size > 0)
        out[0] = '\0';
    for (size_t i = 0; i < length;) {
        size_t bad = 0;
        size_t n = char_length(p + i, length - i, &bad);
        bool fits;
        if (n == 0) {
            fits = append(out, size, &used, REPLACEMENT, 3);
            n = bad;
        } else if (p[i] == '+' || p[i] == '#' || p[i] == '/' || p[i] < 0x20 || p[i] == DEL
                   || is_c1_control(p + i, n) || is_noncharacter(p + i, n)) {
            fits = append(out, size, &used, "_", 1);
        } else {
            fits = append(out, size, &used, text + i, n);
        }
        if (!fits)
            break;
        i += n;
    }
    return used;
}
