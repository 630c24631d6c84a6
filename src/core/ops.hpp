// The registry of repair ops: every op word a stage records, the stages that make it and what it
// costs there. Stages build their actions from it, renderers turn its codes back into words, and
// tests read their expectations from it. Adding an op is one line in VELVIN_REPAIR_OPS.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velvin {

// Where a repair is made. `Given`: handed in by a caller (the base repairs of
// probabilistic_repair_py), whose offsets index a text this library does not know. `Reading`:
// the beam search in its reading mode, on the extracted text (it costs what the beam search
// costs).
enum class Stage : std::uint8_t { Given, Extraction, Heuristic, Beam, LanguageModel, Reading };

// What a comma costs in the beam search depends on the token it goes before.
enum class NextToken : std::uint8_t { StringOrOpener, NumberOrLiteral, Word };

// How an op's cost follows from what it was made with: a fixed cost; a base plus a price per unit
// (bytes skipped or dropped, closers added); or a price by the token that follows.
struct CostRule {
  enum class Kind : std::uint8_t { Fixed, PerUnit, ByNextToken };
  Kind kind = Kind::Fixed;
  double base = 0.0;
  double per_unit = 0.0;
  std::array<double, 3> by_next{};  // indexed by NextToken

  [[nodiscard]] constexpr double fixed() const noexcept { return base; }
  [[nodiscard]] constexpr double for_units(std::uint64_t units) const noexcept {
    return base + per_unit * static_cast<double>(units);
  }
  [[nodiscard]] constexpr double before(NextToken next) const noexcept {
    return by_next[static_cast<std::size_t>(next)];
  }
};

constexpr CostRule fixed(double cost) { return {CostRule::Kind::Fixed, cost, 0.0, {}}; }
constexpr CostRule per_unit(double base, double price) {
  return {CostRule::Kind::PerUnit, base, price, {}};
}
constexpr CostRule by_next_token(double string_or_opener, double number_or_literal, double word) {
  return {CostRule::Kind::ByNextToken, 0.0, 0.0, {string_or_opener, number_or_literal, word}};
}

// One stage that makes an op, and the op's cost there.
struct OpMaker {
  Stage stage = Stage::Given;  // Given: no stage (an unused slot)
  CostRule cost;
};
constexpr OpMaker extraction(CostRule cost) { return {Stage::Extraction, cost}; }
constexpr OpMaker heuristic(CostRule cost) { return {Stage::Heuristic, cost}; }
constexpr OpMaker beam(CostRule cost) { return {Stage::Beam, cost}; }
constexpr OpMaker language_model(CostRule cost) { return {Stage::LanguageModel, cost}; }

// name, op word, then each stage that makes it with its cost there.
#define VELVIN_REPAIR_OPS(OP)                                                                     \
  OP(StripPrefixText, "strip_prefix_text", extraction(fixed(0.3)))                                \
  OP(StripSuffixText, "strip_suffix_text", extraction(fixed(0.3)))                                \
  OP(StripCodeFence, "strip_code_fence", extraction(fixed(0.2)))                                  \
  OP(FixSmartQuotes, "fix_smart_quotes", heuristic(fixed(0.7)), beam(fixed(0.7)))                 \
  OP(StripLineComment, "strip_line_comment", heuristic(fixed(0.4)), beam(fixed(0.4)))             \
  OP(StripBlockComment, "strip_block_comment", heuristic(fixed(0.6)), beam(fixed(0.6)))           \
  OP(WrapUnquotedKey, "wrap_unquoted_key", heuristic(fixed(0.3)))                                 \
  OP(ConvertSingleQuotes, "convert_single_quotes", heuristic(fixed(0.3)))                         \
  OP(WrapUnquotedValue, "wrap_unquoted_value", heuristic(fixed(0.4)))                             \
  OP(MapPythonLiteral, "map_python_literal", heuristic(fixed(0.4)), beam(fixed(0.4)))             \
  OP(InsertMissingComma, "insert_missing_comma", heuristic(fixed(0.5)),                           \
     beam(by_next_token(0.7, 0.8, 1.0)))                                                          \
  OP(RemoveTrailingComma, "remove_trailing_comma", heuristic(fixed(0.2)), beam(fixed(0.2)))       \
  OP(CloseOpenString, "close_open_string", heuristic(fixed(3.0)), beam(fixed(3.0)))               \
  OP(CloseContainers, "close_containers", heuristic(per_unit(0.0, 0.5)))                          \
  OP(WrapKeyWithQuotes, "wrap_key_with_quotes", beam(fixed(1.1)))                                 \
  OP(ConvertSingleToDoubleQuotes, "convert_single_to_double_quotes", beam(fixed(0.9)))            \
  OP(WrapValueWithQuotes, "wrap_value_with_quotes", beam(fixed(1.5)))                             \
  OP(InsertMissingColon, "insert_missing_colon", beam(fixed(1.0)))                                \
  OP(SynthesizeMissingValue, "synthesize_missing_value", beam(fixed(2.5)))                        \
  OP(InsertMissingCloser, "insert_missing_closer", beam(fixed(0.5)))                              \
  OP(SkipGarbage, "skip_garbage", beam(per_unit(1.2, 0.0002)))                                    \
  OP(SkipSuffix, "skip_suffix", beam(per_unit(0.3, 0.0002)))                                      \
  OP(TruncateSuffix, "truncate_suffix", beam(per_unit(1.3, 0.00005)))                             \
  OP(DeleteUnexpectedToken, "delete_unexpected_token", beam(fixed(2.5)))                          \
  OP(LlmPatchSuggest, "llm_patch_suggest", language_model(fixed(1.5)))                            \
  /* Readings of broken text: the beam search's reading mode, and the document found in its */ \
  /* escaped form in the input (made by extraction's reading: its span indexes the input). */   \
  OP(EscapeInnerQuotes, "escape_inner_quotes", beam(per_unit(0.3, 0.2)))                          \
  OP(InsertMissingQuote, "insert_missing_quote", beam(fixed(0.8)))                                \
  OP(NormalizeNumber, "normalize_number", beam(fixed(0.3)))                                       \
  OP(ConvertTupleToArray, "convert_tuple_to_array", beam(fixed(0.4)))                             \
  OP(UnwrapCall, "unwrap_call", beam(fixed(0.5)))                                                 \
  OP(DropPlaceholder, "drop_placeholder", beam(fixed(0.3)))                                       \
  OP(DropExtraComma, "drop_extra_comma", beam(fixed(0.3)))                                        \
  OP(ReplaceMismatchedCloser, "replace_mismatched_closer", beam(fixed(0.6)))                      \
  OP(DropSurplusCloser, "drop_surplus_closer", beam(fixed(0.3)))                                  \
  OP(DecodeEscapedJson, "decode_escaped_json", extraction(fixed(0.5)))

enum class Op : std::uint8_t {
  Custom,  // a word outside the registry, from a caller: the action keeps its text
#define VELVIN_OP_NAME(name, ...) name,
  VELVIN_REPAIR_OPS(VELVIN_OP_NAME)
#undef VELVIN_OP_NAME
};

struct OpInfo {
  Op op = Op::Custom;
  std::string_view word;
  std::array<OpMaker, 2> makers{};  // the stages that make it, unused slots last
};

inline constexpr OpInfo kOpRegistry[] = {
    {Op::Custom, "", {}},
#define VELVIN_OP_ROW(name, word, ...) {Op::name, word, {__VA_ARGS__}},
    VELVIN_REPAIR_OPS(VELVIN_OP_ROW)
#undef VELVIN_OP_ROW
};

constexpr const OpInfo& op_info(Op op) { return kOpRegistry[static_cast<std::size_t>(op)]; }

// The word of a registry op ("" for Custom).
constexpr std::string_view op_word(Op op) { return op_info(op).word; }

// The registry op with this word, if there is one.
[[nodiscard]] std::optional<Op> op_from_word(std::string_view word) noexcept;

// The cost rule of `op` when `stage` makes it. A stage the registry does not list for the op is
// a programming error; it gets the rule of the op's first stage.
constexpr const CostRule& op_cost(Op op, Stage stage) {
  if (stage == Stage::Reading) stage = Stage::Beam;  // the same search, in its other mode
  const OpInfo& info = op_info(op);
  return info.makers[1].stage == stage ? info.makers[1].cost : info.makers[0].cost;
}

// The JSON literal a Python-literal word becomes ("True" -> "true", "None" and "undefined" ->
// "null"), or "" for any other word. The heuristic's Python-literal pass and its notes use it.
constexpr std::string_view python_literal_json(std::string_view word) {
  if (word == "True") return "true";
  if (word == "False") return "false";
  if (word == "None" || word == "undefined") return "null";
  return {};
}

}  // namespace velvin
