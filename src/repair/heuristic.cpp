#include "repair/heuristic.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/scan.hpp"
#include "core/json.hpp"

namespace velvin {
namespace {

// Where a pass records its actions, and the origin they carry (the pass running now). Once
// `allowance` actions are recorded, the next one is not: the position it was wanted at is kept,
// and the pass that wanted it stops, as do the passes after it.
struct Actions {
  std::vector<RepairAction> list;
  Origin origin{Stage::Heuristic, 0};
  std::size_t allowance = SIZE_MAX;
  std::optional<std::size_t> over_at;
  RepairAction spare;  // what the action past the allowance is written to

  [[nodiscard]] bool over() const noexcept { return over_at.has_value(); }
};

// ---------------------------------------------------------------------------------------------
// Scanning

using scan::byte_at;
using scan::ByteSet;
using scan::find_first;
using scan::is_digit;
using scan::is_word_char;
using scan::is_word_start;
using scan::skip_space;

constexpr bool is_number_char(unsigned char c) {
  return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

inline std::size_t word_end(const char* s, std::size_t i, std::size_t n) {
  while (i < n && is_word_char(byte_at(s, i))) ++i;
  return i;
}

// Where scanning resumes after the string opened by the quote at `open` (either quote kind).
inline std::size_t after_string(const char* s, std::size_t open, std::size_t n) {
  const std::size_t close = s[open] == '"' ? scan::string_close<'"'>(s, open + 1, n)
                                           : scan::string_close<'\''>(s, open + 1, n);
  return close < n ? close + 1 : n;
}

// A word starts at a letter or "_" that does not continue an alphanumeric run, so the "e5" of
// 1e5 or the "abc" of 12abc is never taken for a word.
inline bool starts_word(const char* s, std::size_t i) {
  return i == 0 || !is_word_char(byte_at(s, i - 1));
}

// The next byte after white space from `i` is ':'.
inline bool colon_follows(const char* s, std::size_t i, std::size_t n) {
  const std::size_t j = skip_space(s, i, n);
  return j < n && s[j] == ':';
}

// "true", "false" or "null" when `word` is one of them in any letter case, else empty.
constexpr auto json_literal_ci = scan::json_literal_folded;

// ---------------------------------------------------------------------------------------------
// Output

// Builds a pass's output lazily: unchanged runs of the input are copied in bulk when the next
// edit (or the end) arrives, so a pass costs one scan plus memcpy, and a pass that edits nothing
// writes nothing. Edits come in increasing input order.
class Rewriter {
 public:
  Rewriter(std::string_view in, std::string& out) : in_(in), out_(out) { out_.clear(); }

  void replace(std::size_t from, std::size_t to, std::string_view with) {
    if (!changed_) {
      out_.reserve(in_.size() + in_.size() / 8 + 16);
      changed_ = true;
    }
    out_.append(in_.data() + copied_, from - copied_);
    out_.append(with);
    copied_ = to;
  }
  void insert(std::size_t at, std::string_view with) { replace(at, at, with); }

  // True when something was edited; `out` then holds the whole new text.
  bool finish() {
    if (changed_) out_.append(in_.data() + copied_, in_.size() - copied_);
    return changed_;
  }

 private:
  std::string_view in_;
  std::string& out_;
  std::size_t copied_ = 0;  // input consumed so far
  bool changed_ = false;
};

// Appends an action made at `position` and returns it; its cost is the registry's fixed cost
// unless set. Past the allowance it returns the spare action instead, and the pass stops.
RepairAction& record(Actions& actions, Op op, std::size_t position) {
  if (actions.list.size() >= actions.allowance) {
    if (!actions.over_at) actions.over_at = position;
    return actions.spare;
  }
  return actions.list.emplace_back(
      RepairAction::make(op, actions.origin, op_cost(op, Stage::Heuristic).fixed()));
}

RepairAction& record_span(Actions& actions, Op op, std::size_t start, std::size_t end) {
  RepairAction& action = record(actions, op, start);
  action.set_span(Span{start, end});
  return action;
}

RepairAction& record_at(Actions& actions, Op op, std::size_t at) {
  RepairAction& action = record(actions, op, at);
  action.set_at(at);
  return action;
}

// Encloses the word [start, end) in double quotes.
void quote_word(Rewriter& w, std::size_t start, std::size_t end) {
  w.insert(start, "\"");
  w.insert(end, "\"");
}

// ---------------------------------------------------------------------------------------------
// The passes. Each reads `in`, writes its new text to `out` and returns true when it changed
// something; positions in its actions are offsets into `in`. Every edit replaces or inserts
// ASCII bytes at ASCII boundaries, so valid UTF-8 stays valid from pass to pass.

// Is there a typographic double quote (E2 80 9C or E2 80 9D) at i?
bool typographic_double_quote_at(const char* s, std::size_t i, std::size_t n) {
  return i + 2 < n && byte_at(s, i) == 0xE2 && byte_at(s, i + 1) == 0x80 &&
         (byte_at(s, i + 2) == 0x9C || byte_at(s, i + 2) == 0x9D);
}

// After a typographic double quote that opened a string: converts the one that closes it and
// returns the offset after the string. Backslash escapes are honoured (`“say \"hi\"”`), an
// ASCII double quote closes the string as well, and typographic single quotes inside stay.
std::size_t after_typographic_string(Rewriter& w, const char* s, std::size_t i, std::size_t n) {
  while (i < n) {
    if (s[i] == '\\') {
      i += 2;
      continue;
    }
    if (s[i] == '"') return i + 1;
    if (typographic_double_quote_at(s, i, n)) {
      w.replace(i, i + 3, "\"");
      return i + 3;
    }
    ++i;
  }
  return n;
}

// U+2018 and U+2019 become ', U+201C and U+201D become ". Those inside a string opened by an
// ASCII double quote are the string's own text (`"he said “hi”"`) and stay as they are. A
// converted double quote opens a string in turn, closed by the next double quote of either
// kind, so `{“a”: “b”}` becomes `{"a": "b"}` and `“say \"hi\"”` keeps its escaped quotes.
bool fix_smart_quotes(std::string_view in, std::string& out, Actions& actions) {
  if (in.find('\xE2') == std::string_view::npos) return false;
  using Stops = ByteSet<false, '"', '\xE2'>;
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  std::size_t i = 0;
  while ((i = find_first<Stops>(s, i, n)) < n) {
    if (s[i] == '"') {
      i = after_string(s, i, n);
      continue;
    }
    // E2 80 98/99 and E2 80 9C/9D encode the four typographic quotes.
    if (i + 2 < n && byte_at(s, i + 1) == 0x80) {
      const unsigned char last = byte_at(s, i + 2);
      if (last == 0x98 || last == 0x99) {
        w.replace(i, i + 3, "'");
        i += 3;
        continue;
      }
      if (last == 0x9C || last == 0x9D) {
        w.replace(i, i + 3, "\"");
        i = after_typographic_string(w, s, i + 3, n);
        continue;
      }
    }
    ++i;
  }
  if (!w.finish()) return false;
  record(actions, Op::FixSmartQuotes, 0);  // one action for the whole text
  return true;
}

// Drops // and /* */ comments outside strings. Single-quoted strings count as strings here
// too: in `{'url': 'http://x.com/a'}` the "//" belongs to the value, not to a comment.
bool strip_comments(std::string_view in, std::string& out, Actions& actions) {
  if (in.find('/') == std::string_view::npos) return false;
  using Stops = ByteSet<false, '"', '\'', '/'>;
  using LineEnds = ByteSet<false, '\n', '\r'>;
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  std::size_t i = 0;
  while (!actions.over() && (i = find_first<Stops>(s, i, n)) < n) {
    if (s[i] != '/') {
      i = after_string(s, i, n);
      continue;
    }
    const char next = i + 1 < n ? s[i + 1] : '\0';
    if (next == '*') {
      // The "*" of the closing "*/" lies at least two bytes after the "/": "/*/" stays open.
      const std::size_t close = in.find("*/", i + 2);
      const std::size_t end = close == std::string_view::npos ? n : close + 2;
      w.replace(i, end, "");
      record_span(actions, Op::StripBlockComment, i, end);
      i = end;
    } else if (next == '/') {
      const std::size_t end = find_first<LineEnds>(s, i + 2, n);  // the line break stays
      w.replace(i, end, "");
      record_span(actions, Op::StripLineComment, i, end);
      i = end;
    } else {
      ++i;
    }
  }
  return w.finish();
}

// Quotes a bare word followed by ':' (`{a: 1}`), except the JSON literal words in any case.
bool wrap_unquoted_keys(std::string_view in, std::string& out, Actions& actions) {
  using Stops = ByteSet<true, '"', '\''>;
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  std::size_t i = 0;
  while (!actions.over() && (i = find_first<Stops>(s, i, n)) < n) {
    if (s[i] == '"' || s[i] == '\'') {
      i = after_string(s, i, n);
      continue;
    }
    const std::size_t end = word_end(s, i, n);
    const std::string_view word = in.substr(i, end - i);
    if (starts_word(s, i) && colon_follows(s, end, n) && json_literal_ci(word).empty()) {
      quote_word(w, i, end);
      record_span(actions, Op::WrapUnquotedKey, i, end).set_word_note(NoteKind::QuotedWord);
    }
    i = end;
  }
  return w.finish();
}

// 'text' becomes "text": inner double quotes are escaped, \' loses its backslash, other escapes
// are kept. A literal still open at the end of the text stays open for the open-string pass.
bool convert_single_quotes(std::string_view in, std::string& out, Actions& actions) {
  if (in.find('\'') == std::string_view::npos) return false;
  using Stops = ByteSet<false, '"', '\''>;
  using BodyStops = ByteSet<false, '"', '\'', '\\'>;
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  std::size_t i = 0;
  while (!actions.over() && (i = find_first<Stops>(s, i, n)) < n) {
    if (s[i] == '"') {
      i = after_string(s, i, n);
      continue;
    }
    const std::size_t open = i;
    w.replace(open, open + 1, "\"");
    std::size_t j = open + 1;
    while ((j = find_first<BodyStops>(s, j, n)) < n) {
      if (s[j] == '"') {
        w.replace(j, j + 1, "\\\"");
        ++j;
      } else if (s[j] == '\\') {
        if (j + 1 < n && s[j + 1] == '\'') w.replace(j, j + 2, "'");
        j = std::min(j + 2, n);
      } else {
        break;  // the closing quote
      }
    }
    if (j >= n) return w.finish();
    w.replace(j, j + 1, "\"");
    record_span(actions, Op::ConvertSingleQuotes, open, j + 1);
    i = j + 1;
  }
  return w.finish();
}

bool is_python_null_word(std::string_view word) { return word == "None" || word == "undefined"; }

// Inside brackets, a bare word that is not a key becomes a string (`[foo]` -> `["foo"]`), the
// JSON literal words are lower-cased. With Python literals allowed, None and undefined are left
// for the literal pass, so `[None]` becomes `[null]` like `{"a": None}` does.
bool wrap_unquoted_values(std::string_view in, std::string& out, Actions& actions,
                          bool python_literals) {
  using Stops = ByteSet<true, '"', '[', ']'>;
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  long depth = 0;  // brackets only: a bare value directly in an object is not touched
  std::size_t i = 0;
  while (!actions.over() && (i = find_first<Stops>(s, i, n)) < n) {
    const char c = s[i];
    if (c == '"') {
      i = after_string(s, i, n);
      continue;
    }
    if (c == '[' || c == ']') {
      depth += c == '[' ? 1 : -1;
      ++i;
      continue;
    }
    const std::size_t end = word_end(s, i, n);
    if (depth >= 1 && starts_word(s, i) && !colon_follows(s, end, n)) {
      const std::string_view word = in.substr(i, end - i);
      const std::string_view literal = json_literal_ci(word);
      if (!literal.empty()) {
        if (word != literal) w.replace(i, end, literal);
      } else if (!(python_literals && is_python_null_word(word))) {
        quote_word(w, i, end);
        record_span(actions, Op::WrapUnquotedValue, i, end).set_word_note(NoteKind::QuotedWord);
      }
    }
    i = end;
  }
  return w.finish();
}

// True, False, None and undefined (exact case) become true, false, null, null.
bool map_python_literals(std::string_view in, std::string& out, Actions& actions) {
  using Stops = ByteSet<true, '"'>;
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  std::size_t i = 0;
  while (!actions.over() && (i = find_first<Stops>(s, i, n)) < n) {
    if (s[i] == '"') {
      i = after_string(s, i, n);
      continue;
    }
    const std::size_t end = word_end(s, i, n);
    const std::string_view word = in.substr(i, end - i);
    const std::string_view json = python_literal_json(word);
    if (!json.empty() && starts_word(s, i)) {
      w.replace(i, end, json);
      record_span(actions, Op::MapPythonLiteral, i, end).set_word_note(NoteKind::PythonLiteral);
    }
    i = end;
  }
  return w.finish();
}

using ValueStarts = ByteSet<true, '"', '-', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '[', '{'>;

// A value that starts right after another one ended gets a comma after the earlier value (and
// before the white space between them): `{"a": 1 "b": 2}` -> `{"a": 1, "b": 2}`.
bool insert_missing_commas(std::string_view in, std::string& out, Actions& actions) {
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  bool value_ended = false;
  std::size_t solid_end = 0;  // just past the last byte that was not white space
  std::size_t i = 0;
  while (!actions.over() && (i = skip_space(s, i, n)) < n) {
    const unsigned char c = byte_at(s, i);
    if (value_ended && ValueStarts::contains(c)) {
      w.insert(solid_end, ",");
      record_at(actions, Op::InsertMissingComma, i);
      value_ended = false;
    }
    if (c == '"') {
      const std::size_t close = scan::string_close<'"'>(s, i + 1, n);
      if (close >= n) return w.finish();  // a string open to the end: nothing follows it
      i = close + 1;
      value_ended = true;
    } else if (c == ',' || c == ':' || c == '{' || c == '[') {
      ++i;
      value_ended = false;
    } else if (c == '}' || c == ']') {
      ++i;
      value_ended = true;
    } else if (c == '-' || is_digit(c)) {
      ++i;
      while (i < n && is_number_char(byte_at(s, i))) ++i;
      value_ended = true;
    } else if (is_word_start(c)) {
      i = word_end(s, i, n);
      value_ended = !colon_follows(s, i, n);
    } else {
      ++i;
    }
    solid_end = i;
  }
  return w.finish();
}

// A comma followed (after white space) by a closer or by the end of the text is dropped; the
// white space after it stays.
bool remove_trailing_commas(std::string_view in, std::string& out, Actions& actions) {
  using Stops = ByteSet<false, '"', ','>;
  const char* s = in.data();
  const std::size_t n = in.size();
  Rewriter w(in, out);
  std::size_t i = 0;
  while (!actions.over() && (i = find_first<Stops>(s, i, n)) < n) {
    if (s[i] == '"') {
      i = after_string(s, i, n);
      continue;
    }
    const std::size_t next = skip_space(s, i + 1, n);
    if (next >= n || s[next] == ']' || s[next] == '}') {
      w.replace(i, i + 1, "");
      record_at(actions, Op::RemoveTrailingComma, i);
    }
    ++i;
  }
  return w.finish();
}

// What is left open at the end of a text: a string, and braces and brackets beyond their
// closers (each count may be negative when closers are in excess). `unclosed` holds the openers
// without a closer, outermost first: a closer cancels the latest opener of its kind, and a closer
// with none open is counted in `excess_*` instead.
struct OpenState {
  long braces = 0;
  long brackets = 0;
  bool open_string = false;
  std::string unclosed;
  std::size_t excess_braces = 0;
  std::size_t excess_brackets = 0;
};

// The openers without a closer, in text order. A closer cancels the latest open opener of its
// kind: each kind keeps the places of its open ones, so a closer costs the same however many
// openers of the other kind stand after its own (`[` then a million `{` then `]]]...`).
class UnclosedOpeners {
 public:
  void open(char opener) {
    places(opener).push_back(openers_.size());
    openers_.push_back(opener);
  }
  // Cancels the latest open `opener`, or reports that there was none.
  bool close(char opener) {
    std::vector<std::size_t>& open = places(opener);
    if (open.empty()) return false;
    openers_[open.back()] = kClosed;
    open.pop_back();
    return true;
  }
  std::string take() {
    std::erase(openers_, kClosed);
    return std::move(openers_);
  }

 private:
  static constexpr char kClosed = '\0';
  std::vector<std::size_t>& places(char opener) { return opener == '{' ? braces_ : brackets_; }
  std::string openers_;
  std::vector<std::size_t> braces_, brackets_;
};

OpenState scan_open_state(std::string_view in) {
  using Stops = ByteSet<false, '"', '{', '}', '[', ']'>;
  const char* s = in.data();
  const std::size_t n = in.size();
  OpenState state;
  UnclosedOpeners unclosed;
  std::size_t i = 0;
  while ((i = find_first<Stops>(s, i, n)) < n) {
    switch (s[i]) {
      case '"': {
        const std::size_t close = scan::string_close<'"'>(s, i + 1, n);
        state.open_string = close >= n;
        i = state.open_string ? n : close + 1;
        continue;
      }
      case '{':
        ++state.braces;
        unclosed.open('{');
        break;
      case '}':
        --state.braces;
        if (!unclosed.close('{')) ++state.excess_braces;
        break;
      case '[':
        ++state.brackets;
        unclosed.open('[');
        break;
      default:
        --state.brackets;
        if (!unclosed.close('[')) ++state.excess_brackets;
        break;
    }
    ++i;
  }
  state.unclosed = unclosed.take();
  return state;
}

// The closers for what is left open, innermost first, so that `[{"a": 1` gets `}]`. Their
// number per kind is the count (openers minus closers, at least 0): openers that only a closer
// in excess balances by count (the `{` of `}{`) stay without one, the outermost first.
std::string closers_in_nesting_order(const OpenState& state) {
  std::size_t skip_braces = state.excess_braces, skip_brackets = state.excess_brackets;
  std::string closers;
  closers.reserve(state.unclosed.size());
  for (char opener : state.unclosed) {
    std::size_t& skip = opener == '{' ? skip_braces : skip_brackets;
    if (skip > 0) {
      --skip;
      continue;
    }
    closers.push_back(opener == '{' ? '}' : ']');
  }
  std::reverse(closers.begin(), closers.end());
  return closers;
}

// Closes a string left open at the end, then appends a closer for every unclosed bracket and
// brace, innermost first.
bool close_open_structures(std::string_view in, const OpenState& state, std::string& out,
                           Actions& actions) {
  const auto brace_count = static_cast<std::size_t>(std::max(state.braces, 0L));
  const auto bracket_count = static_cast<std::size_t>(std::max(state.brackets, 0L));
  if (!state.open_string && brace_count == 0 && bracket_count == 0) return false;

  const std::size_t n = in.size();
  out.clear();
  out.reserve(n + 1 + brace_count + bracket_count);
  out.append(in);
  if (state.open_string) {
    const std::size_t at = n - scan::final_line_break(in);
    out.insert(at, 1, '"');
    record_at(actions, Op::CloseOpenString, at);
  }
  if (brace_count > 0 && bracket_count > 0) {
    // Both kinds are open, so their order matters: find the nesting (the survey only counts).
    out.append(closers_in_nesting_order(scan_open_state(in)));
  } else {
    out.append(bracket_count, ']');
    out.append(brace_count, '}');
  }
  if (brace_count + bracket_count > 0) {
    RepairAction& action = record_at(actions, Op::CloseContainers, n);
    action.cost_delta =
        op_cost(Op::CloseContainers, Stage::Heuristic).for_units(brace_count + bracket_count);
    action.set_container_counts(brace_count, bracket_count);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Survey: most texts need few of the passes, so one scan finds which passes would change the
// current text, and only those run (the driver surveys again after changes that could raise a
// later flag). A flag may be set for a pass that then changes nothing, never the reverse: each
// repeats its pass's own test, except that the comment and key flags are set blindly once a
// single quote appears outside strings (those two passes read strings differently then), and
// the missing-comma flag once a stray byte does.

struct Survey {
  bool comments = false;
  bool bare_keys = false;
  bool single_quotes = false;
  bool bare_values = false;
  bool python_literals = false;
  bool missing_commas = false;
  bool trailing_commas = false;
  // A word starts inside what the comma pass reads as a number ("-e5"): quoting it splits
  // that number, which can change where commas go.
  bool words_in_numbers = false;
  // The survey stopped early: everything after the single-quote flag is set blindly, and the
  // text must be surveyed again once the single-quote pass has run.
  bool partial = false;
  OpenState open;
};

// The test of the bare-value pass for a word inside brackets that is not a key.
bool bare_value_changes(std::string_view word, bool python_literals) {
  const std::string_view literal = json_literal_ci(word);
  if (!literal.empty()) return word != literal;
  return !(python_literals && is_python_null_word(word));
}

void survey_word(std::string_view word, bool is_word, bool colon, long brackets,
                 bool python_literals, Survey& found) {
  if (!is_word) return;
  if (colon) {
    found.bare_keys |= json_literal_ci(word).empty();
  } else if (brackets >= 1) {
    found.bare_values |= bare_value_changes(word, python_literals);
  }
  found.python_literals |= !python_literal_json(word).empty();
}

// The survey 64 bytes at a time. Byte classes become bit masks; the strings follow from the
// unescaped quotes by a prefix XOR, and each flag is a few mask operations, except for runs of
// letters, digits and "_+-." outside strings (numbers and bare words), which are read one by
// one. Backslash escapes only count inside strings, which the masks cannot know ahead of time: a
// block with a backslash outside strings has its strings read again byte by byte.

// Bit k of each mask stands for byte k of a 64-byte block.
struct BlockMasks {
  std::uint64_t quote = 0, backslash = 0, single_quote = 0, slash = 0, slash_or_star = 0;
  std::uint64_t open_brace = 0, close_brace = 0, open_bracket = 0, close_bracket = 0;
  std::uint64_t comma = 0, colon = 0;
  std::uint64_t space = 0;    // white space and the other control bytes, which the passes
                              // pass over just as they do white space
  std::uint64_t letters = 0;  // ASCII letters and "_"
  std::uint64_t alnum = 0;    // letters, digits and "_+-."
};

// Letters, digits and "_+-.": the bytes of numbers and bare words. "+" to "9" holds "+,-./" and
// the digits; the comma and the slash are taken out again (their masks are computed anyway).
using AlnumRun = scan::AnyOf<scan::WordStarts,
                             scan::Except<scan::ByteRange<'+', '9'>, scan::Bytes<',', '/'>>>;

BlockMasks classify_block(const char* p) {
  using namespace scan;
  const auto [quote, backslash, single_quote, slash, slash_or_star, open_brace, close_brace,
              open_bracket, close_bracket, comma, colon, space, letters, alnum] =
      scan::classify<Bytes<'"'>, Bytes<'\\'>, Bytes<'\''>, Bytes<'/'>, Bytes<'/', '*'>, Bytes<'{'>,
                     Bytes<'}'>, Bytes<'['>, Bytes<']'>, Bytes<','>, Bytes<':'>, ControlOrSpace,
                     WordStarts, AlnumRun>(p);
  return BlockMasks{quote, backslash, single_quote, slash, slash_or_star, open_brace,
                    close_brace, open_bracket, close_bracket, comma, colon, space, letters, alnum};
}

using scan::add_with_carry;

// Positions right after the first run of `space` bits from each bit of `from` (or at it, when it
// is not a space): where the next byte that is not white space stands. The addition carries
// through the run; the carry crosses into the next block.
std::uint64_t first_after_space(std::uint64_t from, std::uint64_t space, std::uint64_t& carry) {
  return add_with_carry(from, space, carry) & ~space;
}

// A run of letters, digits and "_+-." outside strings, read the way the passes read it. The
// comma pass splits it into numbers and words, and needs a comma between any two of them; the
// word passes see a word wherever a letter or "_" follows a byte that is not a word character.
void survey_run(std::string_view in, std::size_t i, long brackets, bool python_literals,
                Survey& found) {
  const char* s = in.data();
  const std::size_t n = in.size();
  int tokens = 0;
  while (i < n && AlnumRun::contains(byte_at(s, i))) {
    const unsigned char c = byte_at(s, i);
    if (c == '-' || is_digit(c)) {
      for (++i; i < n && is_number_char(byte_at(s, i)); ++i) {
        if (is_word_start(byte_at(s, i)) && starts_word(s, i)) {
          found.words_in_numbers = true;
          const std::size_t end = word_end(s, i, n);
          survey_word(in.substr(i, end - i), true, colon_follows(s, end, n), brackets,
                      python_literals, found);
        }
      }
      ++tokens;
    } else if (is_word_start(c)) {
      const std::size_t end = word_end(s, i, n);
      survey_word(in.substr(i, end - i), starts_word(s, i), colon_follows(s, end, n), brackets,
                  python_literals, found);
      i = end;
      ++tokens;
    } else {
      found.missing_commas = true;  // "+" or ".": a stray byte that keeps a value open
      ++i;
    }
  }
  if (tokens > 1) found.missing_commas = true;
}

// A survey that runs every pass and surveys again after the single-quote pass.
Survey everything_flagged() {
  Survey all;
  all.comments = all.bare_keys = all.single_quotes = all.bare_values = all.python_literals = true;
  all.missing_commas = all.trailing_commas = all.words_in_numbers = all.partial = true;
  return all;
}

// Set bits; std::popcount is a library call on targets without a population-count instruction.
int count_bits(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}

// A run starting at bit `k` that gives no pass anything to do: a number without letters, or
// one of the words true, false and null, ending inside the block.
bool plain_run(const char* p, int k, std::uint64_t alnum, std::uint64_t letters) {
  const int length = std::countr_zero(~(alnum >> k));
  if (k + length >= 64) return false;  // may go on in the next block
  const std::uint64_t run = ((std::uint64_t{1} << length) - 1) << k;
  const unsigned char head = byte_at(p, static_cast<std::size_t>(k));
  if ((head == '-' || is_digit(head)) && (letters & run) == 0) return true;
  const std::string_view word(p + k, static_cast<std::size_t>(length));
  return word == "true" || word == "false" || word == "null";
}

Survey survey_blocks(std::string_view in, bool python_literals, bool single_quotes_converted) {
  Survey found;
  scan::StringTracker strings;
  std::uint64_t slash_carry = 0;  // the previous block ended in a slash outside strings
  std::uint64_t comma_carry = 0, comma_space_carry = 0;
  std::uint64_t end_carry = 0, end_space_carry = 0;  // a value ended / white space after it
  std::uint64_t alnum_carry = 0;
  for (scan::Blocks blocks(in.data(), in.size(), 0); !blocks.done(); blocks.next()) {
    const std::size_t base = blocks.base();
    const char* p = blocks.bytes();
    const BlockMasks m = classify_block(p);
    const auto [in_string, quotes] = strings.advance(m.quote, m.backslash, p);
    const std::uint64_t out = ~in_string;  // closing quotes are out, opening quotes in

    const std::uint64_t open_brace = m.open_brace & out, close_brace = m.close_brace & out;
    const std::uint64_t open_bracket = m.open_bracket & out, close_bracket = m.close_bracket & out;
    const std::uint64_t closers = close_brace | close_bracket;

    if ((m.single_quote & out) != 0) {
      // Single-quoted text is about to be rewritten; until then it cannot be read the way the
      // later passes will read it, often not at all (backslashes outside double quotes).
      if (single_quotes_converted) return everything_flagged();
      found.single_quotes = true;
      found.comments = true;
      found.bare_keys = true;
    }
    const std::uint64_t slash = m.slash & out;
    found.comments |= (((slash << 1) | slash_carry) & m.slash_or_star) != 0;
    slash_carry = slash >> 63;

    const std::uint64_t comma = m.comma & out;
    const std::uint64_t after_comma =
        first_after_space((comma << 1) | comma_carry, m.space, comma_space_carry);
    comma_carry = comma >> 63;
    found.trailing_commas |= (after_comma & closers) != 0;

    // A value that ends (a closing quote, a closer, the end of a run) and is followed, past
    // white space, by one that starts.
    const std::uint64_t alnum = m.alnum & out;
    const std::uint64_t alnum_prev = (alnum << 1) | alnum_carry;
    alnum_carry = alnum >> 63;
    const std::uint64_t run_heads = alnum & ~alnum_prev;
    const std::uint64_t value_ends = (quotes & out) | closers;
    const std::uint64_t after_value = first_after_space(
        (value_ends << 1) | end_carry | (alnum_prev & ~alnum), m.space, end_space_carry);
    end_carry = value_ends >> 63;
    const std::uint64_t value_starts = (quotes & in_string) | open_brace | open_bracket | run_heads;
    found.missing_commas |= (after_value & value_starts) != 0;
    const std::uint64_t known = m.space | m.alnum | m.quote | m.open_brace | m.close_brace |
                                m.open_bracket | m.close_bracket | m.comma | m.colon;
    found.missing_commas |= (out & ~known) != 0;  // stray bytes keep a value open

    for (std::uint64_t heads = run_heads; heads != 0; heads &= heads - 1) {
      const int k = std::countr_zero(heads);
      if (plain_run(p, k, alnum, m.letters)) continue;
      const std::uint64_t below = (std::uint64_t{1} << k) - 1;
      const long depth = found.open.brackets + count_bits(open_bracket & below) -
                         count_bits(close_bracket & below);
      survey_run(in, base + static_cast<std::size_t>(k), depth, python_literals, found);
    }
    found.open.braces += count_bits(open_brace) - count_bits(close_brace);
    found.open.brackets += count_bits(open_bracket) - count_bits(close_bracket);
  }
  // A comma followed by nothing but white space up to the end.
  found.trailing_commas |= (comma_carry | comma_space_carry) != 0;
  found.open.open_string = strings.in_string();
  return found;
}

Survey survey(std::string_view in, const RepairOptions& options) {
  return survey_blocks(in, options.allow_python_literals, options.allow_single_quotes);
}

// ---------------------------------------------------------------------------------------------
// Driver

// Runs the passes; `current` is the latest text. The text each changing pass started from is
// kept, since its actions' offsets (and the notes built from them) index it. The passes keep
// valid UTF-8 valid, so the text is made valid once, at the start.
class PassRunner {
 public:
  PassRunner(std::string_view text, std::size_t allowance) : current_(text) {
    // Room for one action per eight bytes (up to a million, and no more than allowed): a flood
    // of stray quotes then fills the list without moving it, and the pages a normal text leaves
    // unused are never touched.
    actions_.allowance = allowance;
    actions_.list.reserve(
        std::min({text.size() / 8, std::size_t{1} << 20, allowance}) + 8);
    if (!is_valid_utf8(text)) {
      owned_ = decode_utf8_lossy(text);
      current_ = owned_;
      is_owned_ = true;
    }
  }

  [[nodiscard]] std::string_view current() const { return current_; }

  // Runs pass(in, out, actions); true when it changed the text. No pass runs once the
  // allowance is passed.
  template <typename Pass>
  bool run(Pass&& pass) {
    if (actions_.over()) return false;
    actions_.origin.step = static_cast<std::uint16_t>(pass_texts_.size());
    std::string out;
    if (!pass(current_, out, actions_)) return false;
    pass_texts_.push_back(is_owned_ ? std::move(owned_) : std::string(current_));
    owned_ = std::move(out);
    current_ = owned_;
    is_owned_ = true;
    return true;
  }

  HeuristicResult finish(const RepairOptions& options) {
    HeuristicResult result;
    if (actions_.over()) {
      result.over_limit =
          repair_limit_error(options.max_total_repairs, Stage::Heuristic, *actions_.over_at);
    }
    result.text = is_owned_ ? std::move(owned_) : std::string(current_);
    result.pass_texts = std::move(pass_texts_);
    result.repairs = std::move(actions_.list);
    return result;
  }

 private:
  std::string owned_;
  std::string_view current_;
  bool is_owned_ = false;
  std::vector<std::string> pass_texts_;
  Actions actions_;
};

bool has_smart_quote(std::string_view text) {
  for (std::size_t i = text.find('\xE2'); i != std::string_view::npos; i = text.find('\xE2', i + 1)) {
    if (i + 2 < text.size() && text[i + 1] == '\x80') {
      const auto last = static_cast<unsigned char>(text[i + 2]);
      if (last == 0x98 || last == 0x99 || last == 0x9C || last == 0x9D) return true;
    }
  }
  return false;
}

HeuristicResult repair(std::string_view text, const RepairOptions& options, bool every_pass,
                       std::uint64_t prior_repairs) {
  const std::uint64_t limit = options.max_total_repairs;
  PassRunner runner(text, prior_repairs < limit ? limit - prior_repairs : 0);
  const bool python = options.allow_python_literals;
  if (every_pass || has_smart_quote(runner.current())) runner.run(fix_smart_quotes);

  Survey found = survey(runner.current(), options);
  // Runs an enabled pass that the survey expects to change the text. A change calls for a new
  // survey only where it can raise a later pass's flag: after the comment and single-quote
  // passes, which move string boundaries; after the bare-key pass while single quotes outside
  // strings make its strings differ from the survey's; and after quoting a word that sits in
  // a number. Otherwise quoting words, swapping literal words and adding or dropping commas
  // can clear a later flag but never raise one.
  auto step = [&](bool enabled, bool flagged, bool moves_strings, auto&& pass) {
    if (enabled && (flagged || every_pass) && runner.run(pass) && moves_strings) {
      found = survey(runner.current(), options);
    }
  };
  step(options.allow_comments, found.comments, true, strip_comments);
  step(options.allow_unquoted_keys, found.bare_keys,
       found.single_quotes || found.words_in_numbers, wrap_unquoted_keys);
  step(options.allow_single_quotes, found.single_quotes, true, convert_single_quotes);
  if (found.partial) found = survey(runner.current(), options);
  step(options.allow_unquoted_values, found.bare_values, found.words_in_numbers,
       [&](std::string_view in, std::string& out, Actions& actions) {
         return wrap_unquoted_values(in, out, actions, python);
       });
  step(python, found.python_literals, false, map_python_literals);
  step(true, found.missing_commas, false, insert_missing_commas);
  step(true, found.trailing_commas, false, remove_trailing_commas);

  const OpenState open = every_pass ? scan_open_state(runner.current()) : found.open;
  runner.run([&](std::string_view in, std::string& out, Actions& actions) {
    return close_open_structures(in, open, out, actions);
  });
  return runner.finish(options);
}

}  // namespace

HeuristicResult heuristic_repair(std::string_view text, const RepairOptions& options,
                                 std::uint64_t prior_repairs) {
  return repair(text, options, false, prior_repairs);
}

namespace detail {

HeuristicResult heuristic_repair_every_pass(std::string_view text, const RepairOptions& options,
                                            std::uint64_t prior_repairs) {
  return repair(text, options, true, prior_repairs);
}

}  // namespace detail
}  // namespace velvin
