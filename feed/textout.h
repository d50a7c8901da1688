/*
 * textout.h - a text written piece by piece into a fixed buffer.
 *
 * A piece that does not fit is not written and sets `full`; the text then
 * stays NUL-ended as it was, and nothing written after counts: a caller checks
 * `full` once at the end, and never sends a document cut short.
 */
#pragma once

#include <stddef.h>
#include <string.h>

struct TextOut {
    char *text;
    size_t size;
    size_t used;
    bool full;
};

/* An empty text in text[size] (size at least 1). */
inline TextOut text_out(char *text, size_t size)
{
    text[0] = '\0';
    return TextOut{text, size, 0, false};
}

/* Appends src[0..n). */
inline void text_put(TextOut *o, const char *src, size_t n)
{
    if (o->full || o->used + n >= o->size) {
        o->full = true;
        return;
    }
    memcpy(o->text + o->used, src, n);
    o->used += n;
    o->text[o->used] = '\0';
}

/* Appends the string src. */
inline void text_put_str(TextOut *o, const char *src) { text_put(o, src, strlen(src)); }
