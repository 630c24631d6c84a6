#include "repair/lexer.hpp"

#include "core/json.hpp"
#include "core/scan.hpp"

namespace velvin {

namespace {

using scan::byte_at;
using scan::is_digit;

bool is_punct(unsigned char c) {
  return c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',';
}

// Bytes that end a garbage run (a run always keeps its first byte, even one of these).
bool is_delimiter(unsigned char c) {
  return scan::is_json_space(c) || c == '"' || c == '\'' || is_punct(c);
}

// The four bytes after "\u" read as an unsigned hexadecimal number; like an ordinary unsigned
// parse it accepts one leading "+".
std::optional<char32_t> parse_escape_hex(std::string_view four) {
  std::size_t i = four[0] == '+' ? 1 : 0;
  char32_t value = 0;
  for (; i < four.size(); ++i) {
    const int d = scan::hex_value(static_cast<unsigned char>(four[i]));
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<char32_t>(d);
  }
  return value;
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void append_range(std::string* out, std::string_view text, std::size_t i, std::size_t len) {
  if (out != nullptr) out->append(text.substr(i, len));
}

void append_byte(std::string* out, char c) {
  if (out != nullptr) out->push_back(c);
}

// The byte a one-letter escape stands for, or 0.
char simple_escape(char c) {
  switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'b': return '\b';
    case 'f': return '\f';
    case '\\':
    case '"':
    case '/':
    case '\'': return c;
    default: return 0;
  }
}

// The first quote byte or backslash at or after `i`, or the end of the text.
std::size_t quote_or_backslash(std::string_view text, std::size_t i, char quote) {
  using scan::Bytes;
  return quote == '"' ? scan::find_first<Bytes<'"', '\\'>>(text.data(), i, text.size())
                      : scan::find_first<Bytes<'\'', '\\'>>(text.data(), i, text.size());
}

struct StringScan {
  std::size_t end = 0;
  bool closed = false;
};

// Reads the escape whose backslash is at i - 1 (i < n): decodes it into `value` when one is
// given and returns the offset after it. A "\u" escape that is cut short or not hexadecimal is
// dropped and the bytes after it read as ordinary characters; surrogate escapes decode as in the
// strict parser.
std::size_t read_escape(std::string_view text, std::size_t i, std::string* value) {
  const std::size_t n = text.size();
  const char c = text[i];
  if (const char byte = simple_escape(c); byte != 0) {
    append_byte(value, byte);
    return i + 1;
  }
  if (c != 'u') {
    // Not an escape at all: the backslash is the writer's own (a Windows path, a regular
    // expression), so it stays with the character after it.
    append_byte(value, '\\');
    append_byte(value, c);
    return i + 1;
  }
  const auto code = i + 4 < n ? parse_escape_hex(text.substr(i + 1, 4)) : std::nullopt;
  if (!code) return i + 1;  // drop the "u"; what follows is read as plain characters
  if (!is_surrogate(*code)) {
    if (value != nullptr) append_utf8(*value, *code);
    return i + 5;
  }
  // A surrogate pair (how JSON writes an emoji) is one character; a surrogate on its own
  // stands for a character that cannot be known, U+FFFD, as in the strict parser.
  const auto low = *code <= 0xDBFF && i + 10 < n && text[i + 5] == '\\' && text[i + 6] == 'u'
                       ? parse_escape_hex(text.substr(i + 7, 4))
                       : std::nullopt;
  if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
    if (value != nullptr) append_utf8(*value, 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00));
    return i + 11;
  }
  if (value != nullptr) append_utf8(*value, 0xFFFD);
  return i + 5;
}

// Whether the escape whose backslash is at i - 1 could still read differently once more text
// arrives: "\u" without its four digits, or a high surrogate without room for the low one.
bool escape_may_grow(std::string_view text, std::size_t i) {
  if (text[i] != 'u') return false;
  const std::size_t n = text.size();
  if (i + 4 >= n) return true;
  const auto code = parse_escape_hex(text.substr(i + 1, 4));
  return code && *code >= 0xD800 && *code <= 0xDBFF && i + 10 >= n;
}

// Reads a string whose opening quote is at `start`; decodes into `value` when one is given.
//
// Characters other than escapes are copied unchanged, and no byte of a multi-byte character is
// a quote or a backslash, so the text between two of those is copied as one run; an escaped
// multi-byte character likewise has its first byte copied with the escape and the rest with the
// following run.
//
// With `hold_open_end`, an escape that more text could still change (a backslash as the last byte,
// a "\u" without its four digits, a high surrogate without room for the low one after it)
// is not read: the scan stops at its backslash and reports that position as `end`.
StringScan scan_string(std::string_view text, std::size_t start, char quote, std::string* value,
                       bool hold_open_end = false) {
  const std::size_t n = text.size();
  std::size_t i = start + 1;
  while (i < n) {
    const std::size_t run_end = quote_or_backslash(text, i, quote);
    append_range(value, text, i, run_end - i);
    i = run_end;
    if (i == n) break;
    if (text[i] == quote) return {i + 1, true};
    const std::size_t backslash = i;
    if (++i == n) {  // a backslash as the last byte leaves the string open
      if (hold_open_end) return {backslash, false};
      break;
    }
    if (hold_open_end && escape_may_grow(text, i)) return {backslash, false};
    i = read_escape(text, i, value);
  }
  // Cut off by the end of the text: the text's final line break is not the string's (while more
  // text may come, nothing is final).
  const std::size_t line_break = hold_open_end ? 0 : scan::final_line_break(text);
  if (line_break > 0 && n - line_break > start) {
    if (value != nullptr) value->resize(value->size() - line_break);
    return {n - line_break, false};
  }
  return {n, false};
}

std::size_t number_end(std::string_view text, std::size_t i) {
  const std::size_t n = text.size();
  std::size_t j = i + 1;
  while (j < n && is_digit(byte_at(text, j))) ++j;
  if (j < n && text[j] == '.') {
    ++j;
    while (j < n && is_digit(byte_at(text, j))) ++j;
  }
  if (j < n && (text[j] == 'e' || text[j] == 'E')) {
    ++j;
    if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
    while (j < n && is_digit(byte_at(text, j))) ++j;
  }
  return j;
}

// The token at or after `pos` (white space skipped), its text built only when `with_text`.
// Returns false at the end of the text; otherwise `pos` moves past the token.
bool scan_token(std::string_view text, std::size_t& pos, bool allow_single_quotes, Token& tok,
                bool with_text) {
  const std::size_t n = text.size();
  pos = scan::skip_space(text, pos);
  if (pos >= n) return false;
  const std::size_t i = pos;
  const unsigned char c = byte_at(text, i);
  tok = Token{};
  tok.start = i;
  std::size_t end = 0;
  if (is_punct(c)) {
    tok.kind = TokenKind::Punct;
    end = i + 1;
  } else if (c == '"' || (c == '\'' && allow_single_quotes)) {
    tok.kind = TokenKind::Str;
    tok.quote = static_cast<char>(c);
    const StringScan s =
        scan_string(text, i, static_cast<char>(c), with_text ? &tok.text : nullptr);
    tok.closed = s.closed;
    end = s.end;
  } else if (c == '-' || is_digit(c)) {
    tok.kind = TokenKind::Number;
    end = number_end(text, i);
  } else if (scan::is_word_start(c)) {
    end = i + 1;
    while (end < n && scan::is_word_char(byte_at(text, end))) ++end;
    const std::string_view keyword = scan::json_literal_folded(text.substr(i, end - i));
    tok.kind = keyword.empty() ? TokenKind::Ident : TokenKind::Literal;
    if (!keyword.empty() && with_text) tok.text = keyword;
  } else {
    tok.kind = TokenKind::Garbage;
    end = i + 1;
    while (end < n && !is_delimiter(byte_at(text, end))) ++end;
  }
  tok.end = end;
  if (with_text && tok.kind != TokenKind::Str && tok.kind != TokenKind::Literal) {
    tok.text = std::string(text.substr(i, end - i));
  }
  pos = end;
  return true;
}

Token eof_token(std::size_t length) {
  Token tok;
  tok.start = length;
  tok.end = length;
  tok.kind = TokenKind::Eof;
  return tok;
}

}  // namespace

StringProgress resume_string(std::string_view text, std::size_t from, char quote,
                             std::string& value) {
  const StringScan s = scan_string(text, from - 1, quote, &value, true);
  return {s.end, s.closed};
}

std::pair<Token, std::size_t> read_string(std::string_view text, std::size_t start, char quote) {
  Token tok;
  tok.kind = TokenKind::Str;
  tok.start = start;
  tok.quote = quote;
  const StringScan s = scan_string(text, start, quote, &tok.text);
  tok.closed = s.closed;
  tok.end = s.end;
  return {std::move(tok), s.end};
}

Token TokenScanner::next() {
  Token tok;
  if (!scan_token(text_, pos_, allow_single_quotes_, tok, true)) return eof_token(text_.size());
  return tok;
}

bool TokenScanner::skip() {
  Token tok;
  return scan_token(text_, pos_, allow_single_quotes_, tok, false);
}

Token lex_token_at(std::string_view text, std::size_t pos, bool allow_single_quotes) {
  Token tok;
  if (!scan_token(text, pos, allow_single_quotes, tok, true)) return eof_token(text.size());
  return tok;
}

std::string decode_string_body(std::string_view text, std::size_t from, std::size_t to) {
  const std::string_view body = text.substr(0, to);
  std::string value;
  std::size_t i = from;
  while (i < to) {
    std::size_t run_end = i;
    while (run_end < to && body[run_end] != '\\') ++run_end;
    value.append(body.substr(i, run_end - i));
    i = run_end;
    if (i == to || ++i == to) break;  // a backslash as the last byte is dropped
    i = read_escape(body, i, &value);
  }
  return value;
}

std::vector<Token> tolerant_lex(std::string_view text, bool allow_single_quotes) {
  std::vector<Token> tokens;
  TokenScanner scanner(text, allow_single_quotes);
  for (;;) {
    tokens.push_back(scanner.next());
    if (tokens.back().kind == TokenKind::Eof) return tokens;
  }
}

std::size_t count_tokens(std::string_view text, bool allow_single_quotes) {
  TokenScanner scanner(text, allow_single_quotes);
  std::size_t count = 1;  // Eof
  while (scanner.skip()) ++count;
  return count;
}

}  // namespace velvin
