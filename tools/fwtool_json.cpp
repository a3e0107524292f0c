// SPDX-License-Identifier: MIT
// Hand-written JSON for fwtool's --json output: one object per line, keys in a fixed order.
#include "fwtool.h"

#include <cstring>

namespace
{

// Length of the well-formed UTF-8 sequence at `s` (at most `left` bytes), or 0 when the bytes
// there are not one: overlong forms, surrogates and code points above U+10FFFF count as bad.
size_t utf8_sequence(const unsigned char *s, size_t left)
{
    unsigned char c = s[0];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF; // allowed range of the second byte

    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (left < len || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < len; i++) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    }
    return len;
}

void separator(json_writer *w, const char *key)
{
    if (w->need_comma[w->depth])
        fputc(',', w->out);
    w->need_comma[w->depth] = true;
    if (key != nullptr) {
        json_quote(w->out, key, strlen(key));
        fputc(':', w->out);
    }
}

void open_container(json_writer *w, const char *key, char brace)
{
    separator(w, key);
    fputc(brace, w->out);
    // Nesting is fixed by the callers' code; deeper levels would only lose their commas.
    if (w->depth + 1 < JSON_MAX_DEPTH)
        w->depth++;
    w->need_comma[w->depth] = false;
}

void close_container(json_writer *w, char brace)
{
    fputc(brace, w->out);
    if (w->depth > 0)
        w->depth--;
}

} // namespace

void json_quote(FILE *out, const char *text, size_t len)
{
    const unsigned char *s = (const unsigned char *)text;

    fputc('"', out);
    for (size_t i = 0; i < len;) {
        unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
            i++;
        } else if (c == '\n') {
            fputs("\\n", out);
            i++;
        } else if (c == '\t') {
            fputs("\\t", out);
            i++;
        } else if (c < 0x20 || c == 0x7F) {
            fprintf(out, "\\u%04x", c);
            i++;
        } else if (c < 0x80) {
            fputc(c, out);
            i++;
        } else {
            size_t n = utf8_sequence(s + i, len - i);
            if (n == 0) {
                // Paths and model names are bytes: a byte that is not UTF-8 is shown as the
                // code point of the same number, so the text stays valid JSON.
                fprintf(out, "\\u%04x", c);
                n = 1;
            } else {
                fwrite(s + i, 1, n, out);
            }
            i += n;
        }
    }
    fputc('"', out);
}

void json_begin(json_writer *w, FILE *out)
{
    w->out = out;
    w->depth = 0;
    w->need_comma[0] = false;
    fputc('{', out);
}

void json_finish(json_writer *w)
{
    fputs("}\n", w->out);
    fflush(w->out);
}

void json_object(json_writer *w, const char *key)
{
    open_container(w, key, '{');
}

void json_end_object(json_writer *w)
{
    close_container(w, '}');
}

void json_array(json_writer *w, const char *key)
{
    open_container(w, key, '[');
}

void json_end_array(json_writer *w)
{
    close_container(w, ']');
}

void json_string(json_writer *w, const char *key, const char *value)
{
    separator(w, key);
    if (value == nullptr)
        fputs("null", w->out);
    else
        json_quote(w->out, value, strlen(value));
}

void json_int(json_writer *w, const char *key, long long value)
{
    separator(w, key);
    fprintf(w->out, "%lld", value);
}

void json_bool(json_writer *w, const char *key, bool value)
{
    separator(w, key);
    fputs(value ? "true" : "false", w->out);
}

void json_null(json_writer *w, const char *key)
{
    separator(w, key);
    fputs("null", w->out);
}

void json_number(json_writer *w, const char *key, double value)
{
    separator(w, key);
    fprintf(w->out, "%g", value);
}
