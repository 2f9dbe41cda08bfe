// The JSON writer: the exact text of every kind of value, and Python's parser as the judge
// of hostile stream bytes and nesting deeper than the writer's stack.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "driver/json_writer.h"
#include "program.h"

using namespace kt;

namespace {

template <typename F>
std::string json_text(F fill) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&buffer, &size);
    json_writer w;
    json_start(w, f);
    fill(w);
    fclose(f);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

void put(json_writer& w, const std::string& s) {
    json_string_n(w, nullptr, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Stream bytes in, JSON text out.
const std::pair<std::string, std::string> strings[] = {
    {"", R"("")"}, {"a\"b\\c/", R"("a\"b\\c/")"}, {"fr\xe9", R"("fr\u00e9")"}, {"\xff", R"("\u00ff")"},
    {std::string("\x01\n\x1f\0z", 5), R"("\u0001\u000a\u001f\u0000z")"},
    {"caf\xc3\xa9 \xf0\x9f\x8e\x9e \xe2\x82\xac", "\"caf\xc3\xa9 \xf0\x9f\x8e\x9e \xe2\x82\xac\""},  // valid UTF-8
    {"\xe2\x82", R"("\u00e2\u0082")"}, {"\xe2\x82x", R"("\u00e2\u0082x")"},  // cut short by the end, by a plain byte
    {"\xc0\xaf", R"("\u00c0\u00af")"}, {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},  // overlong '/', a UTF-16 surrogate
    {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},  // beyond U+10FFFF
};

}  // namespace

TEST(JsonWriter, ExactTextOfValuesAndNesting) {
    for (const auto& [in, out] : strings) EXPECT_EQ(json_text([&](json_writer& w) { put(w, in); }), out);
    const std::string doc = json_text([](json_writer& w) {
        json_begin_object(w, nullptr);
        json_int(w, "min", INT64_MIN);
        json_uint(w, "max", UINT64_MAX);
        json_begin_array(w, "list");
        json_double(w, "ignored in an array", 0.1);
        json_double(w, nullptr, 1.0 / 3);
        json_double(w, nullptr, NAN);
        json_bool(w, nullptr, true);
        json_begin_object(w, nullptr);
        json_end_object(w);
        json_end_array(w);
        json_begin_array(w, "empty");
        json_end_array(w);
        json_null(w, nullptr);  // a key of "" keeps the object valid
        json_end_object(w);
        json_finish(w);
    });
    EXPECT_EQ(doc, R"({
  "min": -9223372036854775808,
  "max": 18446744073709551615,
  "list": [
    0.1,
    0.33333333333333331,
    null,
    true,
    {}
  ],
  "empty": [],
  "": null
}
)");
}

TEST(JsonWriter, PythonParsesHostileStringsAndDeepNesting) {
    if (!have_tool("python3")) GTEST_SKIP() << "python3 not found";
    // Python reads bytes, so that its parser itself insists on valid UTF-8.
    FILE* python = popen("python3 -c 'import json,sys; json.loads(sys.stdin.buffer.read())'", "w");
    ASSERT_TRUE(python);
    json_writer w;
    json_start(w, python);
    json_begin_array(w, nullptr);
    for (const auto& string : strings) put(w, string.first);
    // Beyond the stack's 32 levels the inner ones are left out, brackets and all.
    for (int i = 0; i < 40; ++i) json_begin_array(w, nullptr);
    json_int(w, nullptr, 1);
    for (int i = 0; i < 40; ++i) json_end_array(w);
    json_end_array(w);
    EXPECT_EQ(pclose(python), 0);
}
