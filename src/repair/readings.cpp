#include "repair/readings.hpp"

#include <algorithm>
#include <utility>

#include "core/json.hpp"
#include "core/scan.hpp"

namespace velvin {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A content quote is looked for on the rest of its line, and a string holds at most this many.
constexpr std::size_t kMaxInnerQuotes = 32;

using scan::byte_at;
using scan::is_digit;
using scan::is_json_space;
using scan::skip_space;
constexpr bool is_letter(unsigned char c) { return scan::is_ascii_letter(c); }

// Whether what follows `i`, past white space, ends a value: a comma, a closer, a colon, a
// closing parenthesis or the end of the text.
bool delimiter_follows(std::string_view text, std::size_t i) {
  i = skip_space(text, i);
  if (i >= text.size()) return true;
  const char c = text[i];
  // ")" ends a call's argument (ObjectId("5f1")), not the "12" of `"size (12")"`.
  if (c == ')') return delimiter_follows(text, i + 1);
  return c == ',' || c == '}' || c == ']' || c == ':';
}

// The three-byte typographic quotes: “ ” (double) and ‘ ’ (single).
enum class Smart : std::uint8_t { none, double_open, double_close, single_open, single_close };

Smart smart_quote_at(std::string_view text, std::size_t i) {
  if (i + 3 > text.size() || byte_at(text, i) != 0xE2 || byte_at(text, i + 1) != 0x80) {
    return Smart::none;
  }
  switch (byte_at(text, i + 2)) {
    case 0x9C: return Smart::double_open;
    case 0x9D: return Smart::double_close;
    case 0x98: return Smart::single_open;
    case 0x99: return Smart::single_close;
    default: return Smart::none;
  }
}

bool is_ellipsis_char(std::string_view text, std::size_t i) {
  return i + 3 <= text.size() && byte_at(text, i) == 0xE2 && byte_at(text, i + 1) == 0x80 &&
         byte_at(text, i + 2) == 0xA6;
}

// Bytes that can begin bare text: anything but white space, quotes, structure, comment starts
// and control bytes (typographic quotes are strings of their own).
bool bare_start(std::string_view text, std::size_t i) {
  const unsigned char c = byte_at(text, i);
  if (c < 0x20 || c == 0x7F) return false;
  switch (c) {
    case ' ': case '"': case '\'': case ',': case ':': case '[': case ']': case '{': case '}':
    case '(': case ')': case '/': case '\\':
      return false;
    default:
      return smart_quote_at(text, i) == Smart::none;
  }
}

// A comment begins at `i` (after white space or at a token start).
bool comment_at(std::string_view text, std::size_t i) {
  return i + 1 < text.size() && text[i] == '/' && (text[i + 1] == '/' || text[i + 1] == '*');
}

struct Run {
  std::size_t end = 0;  // just past the last byte kept (trailing white space trimmed)
  std::size_t stop = 0;  // where the scan stopped
};

// Bare text from `start`: words, digits and the punctuation of URLs, dates and prose, up to
// the next delimiter. A run that starts with a letter may hold spaces (several words); one that
// starts with a digit or a sign is a single run (so that "1 2" stays two numbers). Brackets and
// parentheses opened inside the run may close inside it; a key stops at a colon as well.
Run bare_run(std::string_view text, std::size_t start, bool key) {
  const std::size_t n = text.size();
  const unsigned char first = byte_at(text, start);
  bool words = is_letter(first) || first == '_' || first >= 0x80;
  std::size_t depth = 0;
  std::size_t i = start;
  std::size_t end = start;
  for (; i < n; ++i) {
    const unsigned char c = byte_at(text, i);
    if (c == '\n' || c == '\r' || c == '"' || c == ',' || c == '{') break;
    // A key ends at its colon; a value runs through the colons of URLs and times, but not
    // through one that a space follows ("a: 1" is a member).
    if (c == ':' && (key || i + 1 == n || is_json_space(byte_at(text, i + 1)))) break;
    if (c == ' ' || c == '\t') {
      const std::size_t after = skip_space(text, i);
      if (comment_at(text, after)) break;
      // "2 items left" is text; "1 2" are two numbers.
      if (!words && !(after < n && (is_letter(byte_at(text, after)) || byte_at(text, after) >= 0x80))) {
        break;
      }
      words = true;
      continue;
    }
    if (c == '[' || c == '(') {
      ++depth;
    } else if (c == ']' || c == ')' || c == '}') {
      if (depth == 0 || c == '}') break;
      --depth;
    } else if (smart_quote_at(text, i) != Smart::none) {
      break;
    }
    end = i + 1;
  }
  return {end, i};
}

std::string note_of(std::string_view from, std::string_view to) {
  std::string note(from);
  note += " -> ";
  note += to;
  return note;
}

// The readings' repairs carry the reading mode's origin; the search sets the step it reads.
constexpr Origin kReading{Stage::Reading, 0};

// An op's cost from the registry: fixed, or for `units` of what it counts.
double cost_of(Op op, std::uint64_t units = 0) {
  const CostRule& rule = op_cost(op, Stage::Reading);
  return rule.kind == CostRule::Kind::PerUnit ? rule.for_units(units) : rule.fixed();
}

RepairAction action_with_span(Op op, std::size_t start, std::size_t end, std::uint64_t units = 0) {
  RepairAction a = RepairAction::make(op, kReading, cost_of(op, units));
  a.set_span(Span{start, end});
  return a;
}

RepairAction action_at(Op op, std::size_t at) {
  RepairAction a = RepairAction::make(op, kReading, cost_of(op));
  a.set_at(at);
  return a;
}

Token string_token(std::size_t start, std::size_t end, std::string text,
                   std::optional<char> quote = std::nullopt) {
  Token t;
  t.kind = TokenKind::Str;
  t.quote = quote;
  t.start = start;
  t.end = end;
  t.text = std::move(text);
  return t;
}

Reading token_reading(Token token, std::size_t next, RepairAction repair,
                      ReadingPlace place = ReadingPlace::anywhere) {
  Reading r;
  r.token = std::move(token);
  r.next = next;
  r.place = place;
  r.repair = std::move(repair);
  return r;
}

Reading shaped_reading(ReadingShape shape, std::size_t start, std::size_t end,
                       std::optional<RepairAction> repair) {
  Reading r;
  r.token.kind = TokenKind::Garbage;
  r.token.start = start;
  r.token.end = end;
  r.next = end;
  r.shape = shape;
  r.repair = std::move(repair);
  return r;
}

}  // namespace

bool is_json_number(std::string_view text) noexcept {
  std::size_t i = 0;
  const std::size_t n = text.size();
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < n && is_digit(byte_at(text, i))) ++i;
    return i > from;
  };
  if (i < n && text[i] == '-') ++i;
  if (i < n && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == n;
}

std::optional<std::string> loose_number_text(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  std::string out;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') out += '-';
    ++i;
  }
  std::string integer;
  // Digits, with single underscores between them as thousands separators.
  while (i < n && (is_digit(byte_at(text, i)) ||
                   (text[i] == '_' && !integer.empty() && i + 1 < n && is_digit(byte_at(text, i + 1))))) {
    if (text[i] != '_') integer += text[i];
    ++i;
  }
  std::string fraction;
  bool point = false;
  if (i < n && text[i] == '.') {
    point = true;
    ++i;
    while (i < n && is_digit(byte_at(text, i))) fraction += text[i++];
  }
  if (integer.empty() && fraction.empty()) return std::nullopt;
  bool exponent_mark = false;
  std::string exponent;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    exponent_mark = true;
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) exponent += text[i++];
    while (i < n && is_digit(byte_at(text, i))) exponent += text[i++];
    if (!exponent.empty() && !is_digit(static_cast<unsigned char>(exponent.back()))) exponent.clear();
  }
  if (i != n) return std::nullopt;
  // A leading zero followed by more digits is an identifier (a zip code), not a number.
  if (integer.size() > 1 && integer[0] == '0') return std::nullopt;
  out += integer.empty() ? "0" : integer;
  if (point || (exponent_mark && exponent.empty())) out += "." + (fraction.empty() ? "0" : fraction);
  if (!exponent.empty()) out += "e" + exponent;
  if (is_json_number(text)) return std::nullopt;
  return out;
}

Readings::Readings(std::string_view text, const RepairOptions& options)
    : text_(text), options_(options) {}

std::span<const Reading> Readings::at(std::size_t pos) {
  const std::size_t i = skip_space(text_, pos);
  auto it = cache_.find(i);
  if (it == cache_.end()) it = cache_.emplace(i, read(i)).first;
  return it->second;
}

void Readings::discard_before(std::size_t pos) {
  cache_.erase(cache_.begin(), cache_.lower_bound(pos));
}

std::vector<Reading> Readings::read(std::size_t pos) {
  std::vector<Reading> out;
  Reading plain;
  plain.token = lex_token_at(text_, pos, options_.allow_single_quotes);
  plain.next = plain.token.end;
  out.push_back(std::move(plain));
  // A copy: the readings below grow `out`, which moves the token.
  const Token t = out.front().token;
  if (t.kind == TokenKind::Eof) return out;
  if (t.kind == TokenKind::Str) {
    add_string_readings(t, out);
  } else if (t.kind != TokenKind::Punct) {
    add_punctuation_readings(t.start, out);
    if (bare_start(text_, t.start)) add_bare_readings(t, out);
  }
  return out;
}

// The first quote at or after `quote_pos` (itself a quote of this string) that a delimiter
// follows, on the same line and within kMaxInnerQuotes quotes; every quote passed on the way
// gets the same answer, so no stretch of text is searched twice.
// Whether the quote at `j` comes right after a comma (white space aside): it opens the next
// key or element, so the string before it ended earlier.
bool Readings::opens_after_comma(std::size_t j) const {
  while (j > 0 && (text_[j - 1] == ' ' || text_[j - 1] == '\t')) --j;
  return j > 0 && text_[j - 1] == ',';
}

std::optional<std::size_t> Readings::content_quote_end(std::size_t quote_pos, char quote) {
  std::vector<std::size_t> passed;
  std::size_t answer = kNone;
  std::size_t i = quote_pos;
  while (true) {
    if (auto known = quote_end_.find(i); known != quote_end_.end()) {
      answer = known->second;
      break;
    }
    passed.push_back(i);
    if (delimiter_follows(text_, i + 1)) {
      answer = i;
      break;
    }
    if (passed.size() > kMaxInnerQuotes) break;
    std::size_t j = i + 1;
    while (j < text_.size() && text_[j] != quote && text_[j] != '\n' && text_[j] != '\r') {
      j += text_[j] == '\\' ? 2 : 1;
    }
    if (j >= text_.size() || text_[j] != quote || opens_after_comma(j)) break;
    i = j;
  }
  for (std::size_t p : passed) quote_end_[p] = answer;
  if (answer == kNone) return std::nullopt;
  return answer;
}

void Readings::add_string_readings(const Token& plain, std::vector<Reading>& out) {
  if (!plain.quote) return;
  const char quote = *plain.quote;
  const std::size_t body = plain.start + 1;
  if (plain.closed && !delimiter_follows(text_, plain.end)) {
    const std::size_t close = plain.end - 1;
    // The quote is content: the string runs to a later quote that a delimiter follows.
    if (auto end = options_.allow_inner_quotes ? content_quote_end(close, quote) : std::nullopt) {
      std::size_t inner = 0;
      for (std::size_t k = close; k < *end; ++k) inner += text_[k] == quote ? 1 : 0;
      RepairAction a = action_with_span(Op::EscapeInnerQuotes, plain.start, *end + 1, inner);
      out.push_back(token_reading(string_token(plain.start, *end + 1,
                                               decode_string_body(text_, body, *end), quote),
                                  *end + 1, std::move(a)));
    }
    // The quote opens the next string: this one lost its closing quote at the comma before it,
    // or where its line ended.
    std::size_t k = close;
    bool line_break = false;
    while (k > body && is_json_space(byte_at(text_, k - 1))) {
      line_break = line_break || text_[k - 1] == '\n' || text_[k - 1] == '\r';
      --k;
    }
    std::optional<std::size_t> end;
    if (k > body && text_[k - 1] == ',' && (k - 1 == body || text_[k - 2] != '\\')) {
      end = k - 1;  // the comma is read again, as structure
    } else if (line_break && k > body) {
      end = k;
    }
    if (end && options_.allow_missing_quotes) {
      std::size_t trimmed = *end;
      while (trimmed > body && (text_[trimmed - 1] == ' ' || text_[trimmed - 1] == '\t')) --trimmed;
      out.push_back(token_reading(string_token(plain.start, *end,
                                               decode_string_body(text_, body, trimmed), quote),
                                  *end, action_at(Op::InsertMissingQuote, *end)));
    }
  }
  if (!plain.closed && options_.allow_missing_quotes) {
    // A string that runs to the end of the text but for closers lost its closing quote before
    // them.
    std::size_t end = text_.size();
    std::size_t k = end;
    bool closer = false;
    while (k > body) {
      const char c = text_[k - 1];
      if (c == '}' || c == ']') {
        closer = true;
      } else if (!is_json_space(static_cast<unsigned char>(c))) {
        break;
      }
      --k;
    }
    if (closer && k > body && text_[k - 1] != '\\') {
      end = k;
      out.push_back(token_reading(string_token(plain.start, end, decode_string_body(text_, body, end), quote),
                                  end, action_at(Op::InsertMissingQuote, end)));
    }
  }
}

void Readings::add_bare_readings(const Token& plain, std::vector<Reading>& out) {
  const std::size_t start = plain.start;
  const std::string_view text = text_;
  // Bare text as a value, and as a key when a colon follows it.
  const Run value = bare_run(text, start, false);
  const Run key = bare_run(text, start, true);
  const bool single_word = plain.kind == TokenKind::Ident || plain.kind == TokenKind::Literal ||
                           plain.kind == TokenKind::Number;
  if (value.end > start) {
    bool number_read = false;
    // A malformed number is the number it means.
    if (options_.allow_loose_numbers) {
      if (auto number = loose_number_text(text.substr(start, value.end - start));
          number && value.end == value.stop) {
        Token t;
        t.kind = TokenKind::Number;
        t.start = start;
        t.end = value.end;
        t.text = *number;
        RepairAction a = action_with_span(Op::NormalizeNumber, start, value.end);
        a.set_note(note_of(text.substr(start, value.end - start), *number));
        out.push_back(token_reading(std::move(t), value.end, std::move(a), ReadingPlace::value));
        number_read = true;
      }
    }
    // A number the grammar rejects and no reading repairs ("01234", a zip code) is text.
    const bool rejected =
        plain.kind == TokenKind::Number && !is_json_number(plain.text) && !number_read;
    const bool longer = rejected || !(single_word && value.end == plain.end);
    if (options_.allow_unquoted_values && longer) {
      std::string word(text.substr(start, value.end - start));
      out.push_back(token_reading(string_token(start, value.end, word), value.end,
                                  action_with_span(Op::WrapValueWithQuotes, start, value.end),
                                  ReadingPlace::value));
    }
  }
  if (key.end > start && options_.allow_unquoted_keys && !(single_word && key.end == plain.end) &&
      key.stop < text.size() && text[skip_space(text, key.stop)] == ':') {
    out.push_back(token_reading(string_token(start, key.end, std::string(text.substr(start, key.end - start))),
                                key.end, action_with_span(Op::WrapKeyWithQuotes, start, key.end),
                                ReadingPlace::key));
  }
  // Text that ends in a quote lost its opening quote.
  for (const Run& run : {key, value}) {
    if (!options_.allow_missing_quotes) break;
    if (run.end <= start || run.stop >= text.size() || text[run.stop] != '"' ||
        !delimiter_follows(text, run.stop + 1)) {
      continue;
    }
    out.push_back(token_reading(string_token(start, run.stop + 1,
                                             std::string(text.substr(start, run.end - start))),
                                run.stop + 1, action_at(Op::InsertMissingQuote, start)));
    break;
  }
}

// NumberLong("12"), NumberInt(7), NumberDecimal("1.5"): a number written through the
// constructor of a database shell is that number, whether its argument is quoted or not.
std::optional<Readings::NumberCall> Readings::number_call(std::string_view name,
                                                          std::size_t paren) const {
  static constexpr std::string_view kNames[] = {"NumberLong", "NumberInt", "NumberDecimal",
                                                "NumberDouble", "Int32", "Int64", "Long",
                                                "Decimal128", "Double"};
  if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) return std::nullopt;
  std::size_t i = skip_space(text_, paren + 1);
  const bool quoted = i < text_.size() && (text_[i] == '"' || text_[i] == '\'');
  const std::size_t from = quoted ? i + 1 : i;
  std::size_t to = from;
  while (to < text_.size() && (is_digit(byte_at(text_, to)) || text_[to] == '-' || text_[to] == '+' ||
                               text_[to] == '.' || text_[to] == 'e' || text_[to] == 'E')) {
    ++to;
  }
  std::string number(text_.substr(from, to - from));
  if (!is_json_number(number)) {
    auto loose = loose_number_text(number);
    if (!loose) return std::nullopt;
    number = *loose;
  }
  if (quoted) {
    if (to >= text_.size() || text_[to] != text_[i]) return std::nullopt;
    ++to;
  }
  const std::size_t close = skip_space(text_, to);
  if (close >= text_.size() || text_[close] != ')') return std::nullopt;
  Token t;
  t.kind = TokenKind::Number;
  t.end = close + 1;
  t.text = std::move(number);
  return NumberCall{std::move(t), close + 1};
}

void Readings::add_punctuation_readings(std::size_t pos, std::vector<Reading>& out) {
  const std::string_view text = text_;
  const char c = text[pos];
  if (options_.allow_comments && comment_at(text, pos)) {
    const bool line = text[pos + 1] == '/';
    std::size_t end;
    if (line) {
      end = pos + 2;
      while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    } else {
      const std::size_t close = text.find("*/", pos + 2);
      end = close == std::string_view::npos ? text.size() : close + 2;
    }
    out.push_back(shaped_reading(ReadingShape::skip, pos, end,
                                 action_with_span(line ? Op::StripLineComment : Op::StripBlockComment,
                                                  pos, end)));
    return;
  }
  if (c == '(') {
    if (options_.allow_python_literals) {
      out.push_back(shaped_reading(ReadingShape::tuple_open, pos, pos + 1,
                                   action_at(Op::ConvertTupleToArray, pos)));
    }
    return;
  }
  if (c == ')') {
    out.push_back(shaped_reading(ReadingShape::paren_close, pos, pos + 1, std::nullopt));
    return;
  }
  // A placeholder: "..." or "…" standing where elements were left out.
  std::size_t end = pos;
  if (is_ellipsis_char(text, pos)) {
    end = pos + 3;
  } else {
    while (end < text.size() && text[end] == '.') ++end;
    if (end - pos < 3) end = pos;
  }
  if (end > pos && options_.allow_placeholders &&
      (end == text.size() || is_json_space(byte_at(text, end)) || delimiter_follows(text, end))) {
    out.push_back(shaped_reading(ReadingShape::skip, pos, end,
                                 action_with_span(Op::DropPlaceholder, pos, end)));
    return;
  }
  // A wrapper call: ObjectId("..."), ISODate("..."), a JSONP callback.
  if (is_letter(byte_at(text, pos)) || text[pos] == '_' || text[pos] == '$') {
    std::size_t name_end = pos;
    while (name_end < text.size() &&
           (is_letter(byte_at(text, name_end)) || is_digit(byte_at(text, name_end)) ||
            text[name_end] == '_' || text[name_end] == '$' || text[name_end] == '.')) {
      ++name_end;
    }
    const std::size_t paren = skip_space(text, name_end);
    if (options_.allow_wrappers && paren < text.size() && text[paren] == '(') {
      RepairAction a = action_with_span(Op::UnwrapCall, pos, paren + 1);
      a.set_note(text.substr(pos, name_end - pos));
      if (auto number = number_call(text.substr(pos, name_end - pos), paren)) {
        RepairAction whole = a;
        whole.set_span(Span{pos, number->end});
        number->token.start = pos;
        out.push_back(token_reading(std::move(number->token), number->end, std::move(whole),
                                    ReadingPlace::value));
        return;
      }
      out.push_back(shaped_reading(ReadingShape::call_open, pos, paren + 1, std::move(a)));
    }
    return;
  }
  // A string between typographic quotes.
  const Smart open = smart_quote_at(text, pos);
  if (open == Smart::none) return;
  const bool single = open == Smart::single_open || open == Smart::single_close;
  for (std::size_t k = pos + 3; k < text.size(); ++k) {
    if (text[k] == '\n') break;
    const Smart s = smart_quote_at(text, k);
    if (s == Smart::none || (single != (s == Smart::single_open || s == Smart::single_close))) {
      continue;
    }
    if (single && k + 3 < text.size() && is_letter(byte_at(text, k + 3))) continue;  // it's
    out.push_back(token_reading(string_token(pos, k + 3, decode_string_body(text, pos + 3, k)), k + 3,
                                action_with_span(Op::FixSmartQuotes, pos, k + 3)));
    return;
  }
}

}  // namespace velvin
