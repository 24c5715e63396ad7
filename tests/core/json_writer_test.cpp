// The status's JSON writer: separators wherever values nest, and every string escaped.
#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace qx {
namespace {

TEST(JsonWriter, WritesSeparatorsAndEscapes) {
    const struct {
        const char* what;
        std::function<void(JsonWriter&)> write;
        const char* text;
    } cases[] = {
        {"empty containers",
         [](JsonWriter& j) {
             j.BeginObject()
                 .Key("a")
                 .BeginArray()
                 .EndArray()
                 .Key("b")
                 .BeginObject()
                 .EndObject()
                 .EndObject();
         },
         R"({"a": [], "b": {}})"},
        {"a value after a nested one",
         [](JsonWriter& j) {
             j.BeginArray()
                 .BeginObject()
                 .Key("x")
                 .Null()
                 .EndObject()
                 .Bool(false)
                 .BeginArray()
                 .Number(1)
                 .EndArray()
                 .EndArray();
         },
         R"([{"x": null}, false, [1]])"},
        {"numbers",
         [](JsonWriter& j) {
             j.BeginArray()
                 .Number(-3)
                 .Number(std::numeric_limits<uint64_t>::max())
                 .Number(1.5)
                 .Number(2.0)
                 .Number(std::nan(""))
                 .EndArray();
         },
         R"([-3, 18446744073709551615, 1.5, 2, null])"},
        {"strings and keys",
         [](JsonWriter& j) { j.BeginObject().Key("k\"ey").String("a\\b\n\x7F\xFF").EndObject(); },
         "{\"k\\\"ey\": \"a\\\\b\\u000a\\u007f\xEF\xBF\xBD\"}"},
    };
    for (const auto& c : cases) {
        JsonWriter json;
        c.write(json);
        EXPECT_EQ(json.Text(), c.text) << c.what;
    }
}

}  // namespace
}  // namespace qx
