#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/json.hpp"
#include "repair/schema.hpp"

namespace velvin {
namespace {

JsonValue json(std::string_view text) {
  auto r = parse_strict_json(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? std::move(r).value() : JsonValue();
}

std::optional<double> score(std::string_view value, std::string_view schema) {
  return schema_match_score(json(value), json(schema));
}

TEST(SchemaScore, AbsentWithoutSchema) {
  EXPECT_FALSE(schema_match_score(json("{}"), std::nullopt).has_value());
}

struct ScoreCase {
  const char* value;
  const char* schema;
  double expected;
};

class SchemaScoreTable : public testing::TestWithParam<ScoreCase> {};

TEST_P(SchemaScoreTable, Score) {
  const ScoreCase& c = GetParam();
  auto s = score(c.value, c.schema);
  ASSERT_TRUE(s.has_value());
  EXPECT_DOUBLE_EQ(*s, c.expected) << c.value << " against " << c.schema;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SchemaScoreTable,
    testing::Values(
        // An empty schema accepts every object and no other value.
        ScoreCase{R"({"a":1})", "{}", 1.0}, ScoreCase{"[1]", "{}", 0.0},
        ScoreCase{R"("s")", "{}", 0.0},
        // A schema that is not an object scores every object 1.0.
        ScoreCase{"{}", "[1]", 1.0},
        // Required keys: half the score, by the share present; duplicates count twice.
        ScoreCase{R"({"a":1})", R"({"required_keys":["a","b"]})", 0.75},
        ScoreCase{R"({"a":1})", R"({"required_keys":["a","a","b"]})", 0.5 + 0.5 * 2.0 / 3.0},
        ScoreCase{R"({"a":1})", R"({"required_keys":[1,null]})", 1.0},
        ScoreCase{R"({"a":1})", R"({"required_keys":"a"})", 1.0},
        // Types: half the score, by the share of pairs whose member matches.
        ScoreCase{R"({"n":1.5})", R"({"types":{"n":"int"}})", 0.5},
        ScoreCase{R"({"n":1})", R"({"types":{"n":"int"}})", 1.0},
        ScoreCase{R"({"n":18446744073709551615})", R"({"types":{"n":"int"}})", 1.0},
        ScoreCase{R"({"n":1})", R"({"types":{"n":"float"}})", 1.0},
        ScoreCase{R"({"n":"x"})", R"({"types":{"n":"whatever"}})", 1.0},
        ScoreCase{R"({})", R"({"types":{"n":"whatever"}})", 0.5},
        ScoreCase{R"({"s":"x","b":true,"z":null,"a":[],"o":{}})",
                  R"({"types":{"s":"str","b":"bool","z":"null","a":"array","o":"object"}})", 1.0},
        ScoreCase{R"({"s":1})", R"({"types":{"s":"str","t":5}})", 0.5},
        ScoreCase{R"({"a":1})", R"({"types":[]})", 1.0},
        // Both halves at zero.
        ScoreCase{"{}", R"({"required_keys":["a"],"types":{"a":"int"}})", 0.0},
        // The first occurrence of a repeated schema key decides; the first member of the value
        // with a name is the one typed.
        ScoreCase{R"({"a":1})", R"({"required_keys":["b"],"required_keys":["a"]})", 0.5},
        ScoreCase{R"({"a":"x","a":1})", R"({"types":{"a":"int"}})", 0.5}));

}  // namespace
}  // namespace velvin
