// A streaming JSON writer for the machine-readable report: every call writes its text to
// the FILE at once, so the report never holds a document in memory. It keeps only a stack
// of the open objects and arrays, enough to know whether a comma is due and whether a
// value takes a key. The output is indented by two spaces per level, for people to read.
//
//     json_writer w;
//     json_start(w, stdout);
//     json_begin_object(w, nullptr);          // the document itself has no key
//     json_uint(w, "pid", 256);
//     json_begin_array(w, "languages");
//     json_string_n(w, nullptr, lang, 3);    // a null key: an array element
//     json_end_array(w);
//     json_end_object(w);
//     json_finish(w);                         // the closing newline
//
// A key is ignored inside an array; a null key inside an object writes "" so that the
// document stays valid whatever the caller does. Levels beyond json_max_depth are dropped
// whole (with all they hold), again so that the brackets still match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr uint32_t json_max_depth = 32;

struct json_writer {
    FILE* out = nullptr;
    uint32_t depth = 0;    // levels open and written
    uint32_t dropped = 0;  // levels open beyond json_max_depth, not written
    // Per level: json_level_array when it is an array, json_level_filled once it holds a
    // value (the next one needs a comma, and the closing bracket its own line).
    uint8_t level[json_max_depth] = {};
};

constexpr uint8_t json_level_array = 1;
constexpr uint8_t json_level_filled = 2;

void json_start(json_writer& w, FILE* out);
void json_finish(json_writer& w);

void json_begin_object(json_writer& w, const char* key);
void json_end_object(json_writer& w);
void json_begin_array(json_writer& w, const char* key);
void json_end_array(json_writer& w);

// Text of the program's own (a C string); bytes from the stream go through json_string_n.
void json_string(json_writer& w, const char* key, const char* s);
// Any bytes, written as valid UTF-8: valid UTF-8 sequences pass unchanged, '"' and '\\'
// are escaped, control bytes become \u00XX, and every other byte (not part of a valid
// sequence) becomes the \u00XX of its Latin-1 reading.
void json_string_n(json_writer& w, const char* key, const uint8_t* bytes, size_t n);
void json_int(json_writer& w, const char* key, int64_t v);
void json_uint(json_writer& w, const char* key, uint64_t v);
// The shortest of 15 or 17 significant digits that reads back as the same double; null
// for NaN and infinities, which JSON cannot hold.
void json_double(json_writer& w, const char* key, double v);
void json_bool(json_writer& w, const char* key, bool v);
void json_null(json_writer& w, const char* key);
