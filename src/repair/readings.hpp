// Readings of broken text: at a byte position, every way the text there can be read as one
// token. The tolerant lexer's token comes first; then the readings that the slips of language
// models call for, each with the repair it costs: a double quote that is content rather than
// the end of its string, a missing closing or opening quote, bare text of several words, a
// malformed number, a tuple, a wrapper call, a comment, a placeholder. The beam search's
// reading mode asks for them position by position and lets its cost model choose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/options.hpp"
#include "core/records.hpp"
#include "repair/lexer.hpp"

namespace velvin {

// What the grammar does with a reading.
enum class ReadingShape : std::uint8_t {
  token,       // `token` is a value, key or punctuation, as a lexer token would be
  skip,        // the text is passed over (a comment, a placeholder); the grammar stays put
  tuple_open,  // "(" opens an array that ")" closes
  call_open,   // "name(" opens a call whose one argument is the value; ")" closes it
  paren_close  // ")"
};

// Where a reading may be taken: bare text that ends at a colon is a key, bare text that runs
// through colons is a value.
enum class ReadingPlace : std::uint8_t { anywhere, key, value };

struct Reading {
  Token token;  // start..end of the text read; for `token` readings also kind and decoded text
  std::size_t next = 0;  // where reading resumes
  ReadingShape shape = ReadingShape::token;
  ReadingPlace place = ReadingPlace::anywhere;
  // The repair this reading costs; absent for the lexer's own token.
  std::optional<RepairAction> repair;
};

// The readings of one text, made on demand and kept until every reader has passed them.
class Readings {
 public:
  Readings(std::string_view text, const RepairOptions& options);

  // Every reading of the text at byte `pos` (after white space): the lexer's token first, Eof
  // at the end of the text. The span stays valid until discard_before passes `pos`.
  std::span<const Reading> at(std::size_t pos);
  void discard_before(std::size_t pos);

  [[nodiscard]] std::size_t size() const noexcept { return text_.size(); }

 private:
  std::vector<Reading> read(std::size_t pos);
  void add_string_readings(const Token& plain, std::vector<Reading>& out);
  void add_bare_readings(const Token& plain, std::vector<Reading>& out);
  void add_punctuation_readings(std::size_t pos, std::vector<Reading>& out);
  std::optional<std::size_t> content_quote_end(std::size_t quote_pos, char quote);
  [[nodiscard]] bool opens_after_comma(std::size_t quote_pos) const;
  struct NumberCall {
    Token token;
    std::size_t end;
  };
  [[nodiscard]] std::optional<NumberCall> number_call(std::string_view name,
                                                      std::size_t paren) const;

  std::string_view text_;
  const RepairOptions& options_;
  std::map<std::size_t, std::vector<Reading>> cache_;
  // Quote position -> the first quote at or after it that is followed by a delimiter (or none
  // on that line): filled along each search, so scans never repeat.
  std::unordered_map<std::size_t, std::size_t> quote_end_;
};

// Whether `text` is exactly one number of the JSON grammar.
[[nodiscard]] bool is_json_number(std::string_view text) noexcept;

// The JSON number a malformed number text means (".5" 0.5, "5." 5.0, "+3" 3, "1_000" 1000,
// "-.3" -0.3, "2e" 2.0), or nothing when the text is not one or is valid JSON already.
[[nodiscard]] std::optional<std::string> loose_number_text(std::string_view text);

}  // namespace velvin
