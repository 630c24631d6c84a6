#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "repair/pipeline.hpp"
#include "repair/stream.hpp"

namespace velvin {
namespace {

// The current value after feeding `chunks` in order, as compact text ("none" before a value).
std::string streamed(const std::vector<std::string_view>& chunks) {
  StreamReader reader(RepairOptions::defaults());
  StreamTree tree;
  for (std::string_view chunk : chunks) reader.feed(chunk, tree);
  const auto value = tree.value(reader.tail());
  return value ? to_compact_string(*value) : "none";
}

struct Case {
  const char* name;
  std::string text;
  std::string value;  // compact text of what the stream shows once all of `text` has arrived
};

const std::vector<Case>& cases() {
  static const std::vector<Case> kCases = {
      {"plain", R"({"a": 1, "b": [true, null, "x"], "c": {"d": -2.5e3}})",
       R"({"a":1,"b":[true,null,"x"],"c":{"d":-2500.0}})"},
      {"prose and fence", "Sure! Here it is:\n```json\n{'name': 'Ada', tags: ['x' 'y',], ok: True, "
                          "gone: None, word: maybe}\n```\nAnything else?",
       R"({"name":"Ada","tags":["x","y"],"ok":true,"gone":null,"word":"maybe"})"},
      {"comments", "[1, // one\n 2 /* two, 3 */, 4]", "[1,2,4]"},
      {"escapes", R"(["\u00e9\ud83d\ude00\n\\\"", "a\/b"])", "[\"\xC3\xA9\xF0\x9F\x98\x80\\n\\\\\\\"\",\"a/b\"]"},
      {"raw non-ASCII", "{\"k\": \"\xE6\x97\xA5\xE6\x9C\xAC\"}", "{\"k\":\"\xE6\x97\xA5\xE6\x9C\xAC\"}"},
      {"typographic quotes", "{\xE2\x80\x9C" "a\xE2\x80\x9D: \xE2\x80\x9C" "b c\xE2\x80\x9D}",
       R"({"a":"b c"})"},
      {"closer of an outer container", R"([{"a": 1] trailing)", R"([{"a":1}])"},
      {"missing colon and comma", R"({"a" 1 "b": 2})", R"({"a":1,"b":2})"},
      {"container in place of a key", R"({"a": 1, {"x": [2]}, "b": 3})", R"({"a":1,"b":3})"},
      {"stray tokens dropped", R"({"a": 1, : $$ "b": 2,})", R"({"a":1,"b":2})"},
      {"open string", R"({"a": "unfinished \u00e9)", "{\"a\":\"unfinished \xC3\xA9\"}"},
      {"open number", "[1, 2, 30", "[1,2,30]"},
      {"numbers cut short", "[1., 2e+, -, 1.e5, 3.5e-1]", "[1,2,1,0.35]"},
      {"leading zeros", "[00, 007, -01.5]", "[0,7,-1.5]"},
      {"open literal not shown", R"({"a": tru)", "{}"},
      {"open key not shown", R"({"a": 1, "lon)", R"({"a":1})"},
      {"never starts", "no JSON here, only words", "none"},
      {"invalid UTF-8", "[\"a\xFF" "b\"]", "[\"a\xEF\xBF\xBD" "b\"]"},
  };
  return kCases;
}

TEST(StreamReader, ShowsTheValueOfEachCase) {
  for (const Case& c : cases()) EXPECT_EQ(streamed({c.text}), c.value) << c.name;
}

// Resuming must not depend on where the chunks were cut: escapes, UTF-8 characters, comments,
// words and numbers all cross boundaries here.
TEST(StreamReader, EverySplitGivesTheSameValue) {
  for (const Case& c : cases()) {
    const std::string_view text = c.text;
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      EXPECT_EQ(streamed({text.substr(0, cut), text.substr(cut)}), c.value)
          << c.name << " cut at " << cut;
    }
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < text.size(); ++i) bytes.push_back(text.substr(i, 1));
    EXPECT_EQ(streamed(bytes), c.value) << c.name << " byte by byte";
  }
}

// While a character is cut, the string shows the text before it, never a replacement character.
TEST(StreamReader, NeverShowsHalfACharacter) {
  const std::string text = "[\"\xE6\x97\xA5\xF0\x9F\x98\x80\"]";
  StreamReader reader(RepairOptions::defaults());
  StreamTree tree;
  for (std::size_t i = 0; i < text.size(); ++i) {
    reader.feed(std::string_view(text).substr(i, 1), tree);
    const auto value = tree.value(reader.tail());
    if (value) {
      EXPECT_EQ(to_compact_string(*value).find("\xEF\xBF\xBD"), std::string::npos) << i;
    }
  }
}

TEST(StreamReader, FinishRunsThePipelineOnEverything) {
  const std::string text = "note: {'a': [1, 2,";
  StreamReader reader(RepairOptions::defaults());
  StreamTree tree;
  reader.feed(std::string_view(text).substr(0, 9), tree);
  reader.feed(std::string_view(text).substr(9), tree);
  RepairResult streamed_result = reader.finish();
  RepairResult whole = parse_bytes(text, RepairOptions::defaults());
  streamed_result.metrics.elapsed_ms = whole.metrics.elapsed_ms = 0;
  EXPECT_EQ(std::move(streamed_result).into_json_value(), std::move(whole).into_json_value());
}

TEST(StreamReader, NestingBeyondTheLimitIsNotShown) {
  const std::string text = std::string(kMaxNestingDepth + 10, '[') + "1" +
                           std::string(kMaxNestingDepth + 10, ']');
  StreamReader reader(RepairOptions::defaults());
  StreamTree tree;
  reader.feed(text, tree);
  EXPECT_TRUE(reader.complete());
  EXPECT_EQ(reader.depth(), 0u);
}

}  // namespace
}  // namespace velvin
