#include "core/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace velvin {
namespace {

std::string shown(const RepairOptions& options, const OptionEntry& entry) {
  return to_compact_string(option_value(options, entry));
}

// A flag text for `entry` whose value differs from the default.
std::string_view other_than_default(const OptionEntry& entry) {
  switch (entry.type()) {
    case OptionType::boolean:
      return option_value(RepairOptions{}, entry).as_bool() ? "false" : "true";
    case OptionType::count:
    case OptionType::optional_count: return "7";
    case OptionType::real: return "0.25";
    case OptionType::json: return "[1]";
    default: return "x";
  }
}

// A slip in the registry (two options on one field, a language-model field reachable from
// Python) shows as a flag that changes some other option.
TEST(OptionRegistry, EachOptionStoresIntoItsOwnField) {
  const RepairOptions defaults;
  for (const OptionEntry& entry : option_registry()) {
    EXPECT_EQ(find_option(entry.name), &entry) << entry.name;
    EXPECT_EQ(entry.from_python, !(entry.name == "allow_llm" || entry.name.starts_with("llm_")))
        << entry.name;
    RepairOptions o;
    ASSERT_FALSE(store_option_text(o, entry, other_than_default(entry))) << entry.name;
    for (const OptionEntry& other : option_registry()) {
      EXPECT_EQ(shown(o, other) == shown(defaults, other), &other != &entry)
          << entry.name << " changed " << other.name;
    }
  }
  EXPECT_EQ(find_option("Mode"), nullptr);
}

TEST(OptionRegistry, FlagTexts) {
  struct Case {
    std::string_view option, text;
    bool ok;
    std::string_view stored_or_error;  // the value as JSON, or the start of the error
  };
  const Case cases[] = {
      {"top_k", "12", true, "12"},
      {"top_k", "18446744073709551615", true, "18446744073709551615"},
      {"top_k", "18446744073709551616", false, "expects a non-negative integer, got '18446"},
      {"top_k", "-1", false, "expects a non-negative integer, got '-1'"},
      {"top_k", "", false, "expects a non-negative integer, got ''"},
      {"top_k", " 1", false, "expects a non-negative integer"},
      {"parallel_workers", "0", true, "null"},
      {"parallel_workers", "4", true, "4"},
      {"confidence_alpha", "1e-3", true, "0.001"},
      {"confidence_alpha", " 2 ", true, "2.0"},
      {"confidence_alpha", "\"2\"", false, "expects a number, got '\"2\"'"},
      {"confidence_alpha", "2\xff", false, "expects a number"},
      {"debug", "YES", true, "true"},
      {"partial_ok", "Off", true, "false"},
      {"debug", "maybe", false, "expects true or false, got 'maybe'"},
      {"debug", " true", false, "expects true or false"},
      {"mode", "", true, "\"\""},
      {"llm_command", "a 'b c'", true, "\"a 'b c'\""},
      {"scale_target_keys", "a,,b,", true, "[\"a\",\"b\"]"},
      {"scale_target_keys", "", true, "[]"},
      {"schema", " {\"a\": [1]} ", true, "{\"a\":[1]}"},
      {"schema", "\"\xff\"", true, "\"\xef\xbf\xbd\""},
      {"schema", "{\"a\" 1}", false, "not JSON: "},
  };
  for (const Case& c : cases) {
    const OptionEntry& entry = *find_option(c.option);
    RepairOptions o;
    auto error = store_option_text(o, entry, c.text);
    ASSERT_EQ(!error, c.ok) << c.option << " " << c.text;
    if (c.ok) {
      EXPECT_EQ(shown(o, entry), c.stored_or_error) << c.option << " " << c.text;
    } else {
      EXPECT_TRUE(error->message.starts_with(c.stored_or_error)) << error->message;
      EXPECT_EQ(shown(o, entry), shown(RepairOptions{}, entry)) << "changed by a failed flag";
    }
  }
  RepairOptions o;  // repeated list flags extend the list
  const OptionEntry& keys = *find_option("scale_target_keys");
  ASSERT_FALSE(store_option_text(o, keys, "a"));
  ASSERT_FALSE(store_option_text(o, keys, "b,c"));
  EXPECT_EQ(shown(o, keys), R"(["a","b","c"])");
}

TEST(OptionRegistry, TypedSettersRefuseOtherTypes) {
  RepairOptions o;
  EXPECT_FALSE(set_count(o, *find_option("mode"), 3));
  EXPECT_FALSE(set_text(o, *find_option("top_k"), "3"));
  EXPECT_FALSE(set_boolean(o, *find_option("schema"), true));
  EXPECT_EQ(o.mode, "auto");
  EXPECT_EQ(o.top_k, 5U);
  EXPECT_TRUE(set_count(o, *find_option("parallel_workers"), 3));
  EXPECT_TRUE(set_count(o, *find_option("parallel_workers"), 0));
  EXPECT_FALSE(o.parallel_workers.has_value());
  EXPECT_TRUE(set_text(o, *find_option("llm_command"), "run"));
  EXPECT_EQ(o.llm_command, "run");
}

// The two readings of "allow_parallel", side by side: the scale pipeline's (whether to split)
// and the pipeline's (whether a large document may take the automatic scale route).
TEST(AllowParallel, BothReadings) {
  using enum ParallelSetting;
  struct Case {
    std::string_view text;
    ParallelSetting split;
    bool declines_route;
  };
  const Case cases[] = {
      {"auto", automatic, false}, {" AUTO ", automatic, false},
      {"1", on, false},           {"true", on, false},
      {" TRUE\t", on, false},     {"Yes", on, false},
      {"\xe2\x80\x83yes", on, false},  // EM SPACE is Unicode white space
      {"0", off, true},           {"no", off, true},
      {"false", off, true},       {" FALSE ", off, true},
      {"off", off, false},        {"", off, false},
      {"2", off, false},          {"on", off, false},
      {"auto matic", off, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(allow_parallel_bool(c.text), c.split) << "'" << c.text << "'";
    EXPECT_EQ(declines_automatic_scale_route(c.text), c.declines_route) << "'" << c.text << "'";
  }
}

TEST(ParallelWorkers, OptionElseAvailableThreads) {
  EXPECT_EQ(parallel_workers(std::uint64_t{3}), 3U);
  EXPECT_GE(parallel_workers(std::nullopt), 1U);
  EXPECT_EQ(parallel_workers(std::uint64_t{0}), parallel_workers(std::nullopt));
}

}  // namespace
}  // namespace velvin
