// The JSON writer: see json_writer.h.
#include "driver/json_writer.h"

#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

void indent(FILE* out, uint32_t depth) {
    static const char spaces[] = "                                                                ";
    for (uint32_t n = depth * 2; n != 0;) {
        const uint32_t run = n < 64 ? n : 64;
        fwrite(spaces, 1, run, out);
        n -= run;
    }
}

// Length of the valid UTF-8 sequence at p (at most `left` bytes), or 0. Overlong forms,
// UTF-16 surrogates (U+D800..U+DFFF) and code points beyond U+10FFFF are not valid: the
// second byte's range rules them out, so only that byte is checked against the lead byte.
size_t utf8_length(const uint8_t* p, size_t left) {
    const uint8_t b = p[0];
    size_t n;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else
        return 0;
    if (left < n || p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

// Writes the string in quotes, plain runs in one piece.
void quoted(FILE* out, const uint8_t* s, size_t n) {
    fputc('"', out);
    size_t run = 0;  // start of the plain run not yet written
    for (size_t i = 0; i < n;) {
        const uint8_t b = s[i];
        if (b >= 0x20 && b < 0x80 && b != '"' && b != '\\') {
            ++i;
            continue;
        }
        const size_t len = b >= 0x80 ? utf8_length(s + i, n - i) : 0;
        if (len != 0) {
            i += len;
            continue;
        }
        fwrite(s + run, 1, i - run, out);
        if (b == '"' || b == '\\') {
            fputc('\\', out);
            fputc(b, out);
        } else
            fprintf(out, "\\u%04x", b);  // a control byte, or a Latin-1 one
        run = ++i;
    }
    fwrite(s + run, 1, n - run, out);
    fputc('"', out);
}

// Starts a value: the comma after the previous one, its line, its key. False when the
// value lies in a dropped level and must not be written.
bool entry(json_writer& w, const char* key) {
    if (w.dropped != 0) return false;
    if (w.depth == 0) return true;
    uint8_t& level = w.level[w.depth - 1];
    if (level & json_level_filled) fputc(',', w.out);
    level |= json_level_filled;
    fputc('\n', w.out);
    indent(w.out, w.depth);
    if (!(level & json_level_array)) {
        if (key == nullptr) key = "";
        quoted(w.out, reinterpret_cast<const uint8_t*>(key), strlen(key));
        fputs(": ", w.out);
    }
    return true;
}

void begin(json_writer& w, const char* key, uint8_t kind, char bracket) {
    if (w.depth == json_max_depth) ++w.dropped;
    if (!entry(w, key)) return;
    fputc(bracket, w.out);
    w.level[w.depth++] = kind;
}

void end(json_writer& w, char bracket) {
    if (w.dropped != 0) {
        --w.dropped;
        return;
    }
    if (w.depth == 0) return;
    // An empty object or array closes on its own line: {} and [].
    if (w.level[--w.depth] & json_level_filled) {
        fputc('\n', w.out);
        indent(w.out, w.depth);
    }
    fputc(bracket, w.out);
}

}  // namespace

void json_start(json_writer& w, FILE* out) { w = json_writer{out}; }

void json_finish(json_writer& w) { fputc('\n', w.out); }

void json_begin_object(json_writer& w, const char* key) { begin(w, key, 0, '{'); }
void json_end_object(json_writer& w) { end(w, '}'); }
void json_begin_array(json_writer& w, const char* key) { begin(w, key, json_level_array, '['); }
void json_end_array(json_writer& w) { end(w, ']'); }

void json_string(json_writer& w, const char* key, const char* s) {
    json_string_n(w, key, reinterpret_cast<const uint8_t*>(s), strlen(s));
}

void json_string_n(json_writer& w, const char* key, const uint8_t* bytes, size_t n) {
    if (entry(w, key)) quoted(w.out, bytes, n);
}

void json_int(json_writer& w, const char* key, int64_t v) {
    if (entry(w, key)) fprintf(w.out, "%" PRId64, v);
}

void json_uint(json_writer& w, const char* key, uint64_t v) {
    if (entry(w, key)) fprintf(w.out, "%" PRIu64, v);
}

void json_double(json_writer& w, const char* key, double v) {
    if (!entry(w, key)) return;
    if (!std::isfinite(v)) {
        fputs("null", w.out);
        return;
    }
    // 15 digits print what a person would write (0.1, not 0.10000000000000001); 17 always
    // read back exactly, for the doubles that 15 do not.
    char text[32];
    snprintf(text, sizeof text, "%.15g", v);
    if (strtod(text, nullptr) != v) snprintf(text, sizeof text, "%.17g", v);
    fputs(text, w.out);
}

void json_bool(json_writer& w, const char* key, bool v) {
    if (entry(w, key)) fputs(v ? "true" : "false", w.out);
}

void json_null(json_writer& w, const char* key) {
    if (entry(w, key)) fputs("null", w.out);
}
