// Tolerant lexer: turns any candidate text, however broken, into the token stream the beam
// search reads. Every byte is white space or part of exactly one token, and the stream always
// ends with one Eof token; nothing is ever reported as an error. Called by the beam search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velvin {

enum class TokenKind : std::uint8_t { Punct, Str, Number, Literal, Ident, Garbage, Eof };

struct Token {
  // Str: the decoded value; Literal: the lower-case keyword; Eof: empty; otherwise the bytes.
  std::string text;
  std::size_t start = 0;
  std::size_t end = 0;        // a string runs to the input length when it is never closed
  std::optional<char> quote;  // the opening quote of a Str
  bool closed = true;         // false only for a Str without its closing quote
  TokenKind kind = TokenKind::Eof;
};

// The whole stream, Eof last.
[[nodiscard]] std::vector<Token> tolerant_lex(std::string_view text, bool allow_single_quotes);

// The Str token whose opening quote is at `start`, and the offset where lexing resumes.
[[nodiscard]] std::pair<Token, std::size_t> read_string(std::string_view text, std::size_t start,
                                                        char quote);

// Reads on in the body of a string whose text is still arriving: decodes from `from` (just past
// the opening quote, or where the previous call stopped) into `value`, up to the closing quote or
// up to the last point that more text cannot change (an escape cut by the end of the text is
// left for the next call). `next` is past the closing quote when `closed`, else where to resume.
struct StringProgress {
  std::size_t next = 0;
  bool closed = false;
};
[[nodiscard]] StringProgress resume_string(std::string_view text, std::size_t from, char quote,
                                           std::string& value);

// The same lexer one token at a time, for a consumer that does not keep the whole stream (the
// beam search only looks at tokens near its frontier).
class TokenScanner {
 public:
  TokenScanner(std::string_view text, bool allow_single_quotes) noexcept
      : text_(text), allow_single_quotes_(allow_single_quotes) {}
  // The next token; Eof once the text is exhausted, and again on every later call.
  [[nodiscard]] Token next();
  // Moves past the next token without building its text; false when only Eof is left.
  bool skip();

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  bool allow_single_quotes_;
};

// The token at or after byte `pos` (white space skipped), or the Eof token: the lexer started
// anywhere, for readers that jump between positions.
[[nodiscard]] Token lex_token_at(std::string_view text, std::size_t pos, bool allow_single_quotes);

// The decoded value of text[from, to) read as the inside of a string literal: escapes resolved
// as read_string resolves them, quote characters kept as they are.
[[nodiscard]] std::string decode_string_body(std::string_view text, std::size_t from,
                                             std::size_t to);

// Number of tokens in the stream, Eof included, without building any text.
[[nodiscard]] std::size_t count_tokens(std::string_view text, bool allow_single_quotes);

}  // namespace velvin
