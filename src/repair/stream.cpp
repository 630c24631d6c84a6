#include "repair/stream.hpp"

#include <utility>

#include "core/scan.hpp"
#include "repair/pipeline.hpp"

namespace velvin {

namespace {

using scan::ByteSet;
using scan::find_first;

// Reading position kept at the front of the working text is released once it passes this many
// bytes and half the text, so a long stream holds only its unread part twice.
constexpr std::size_t kCompactMinBytes = std::size_t{1} << 16;

// A word or number still open at the end of the text is read again on every feed; past this
// length only once the text has grown by as much again, so a pathological run of digits costs
// linear time, not one rescan per chunk.
constexpr std::size_t kLongHeldToken = 4096;

// Length (1 to 3) of the start of a UTF-8 character at the end of `s` that the next chunk may
// complete, or 0.
std::size_t incomplete_utf8_tail(std::string_view s) {
  const std::size_t n = s.size();
  for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
    const auto c = static_cast<unsigned char>(s[n - k]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: its lead is further back
    if (c < 0x80) return 0;
    const auto error = validate_utf8(s.substr(n - k));
    return error && error->position == 0 && error->code == ErrorCode::incomplete_utf8 ? k : 0;
  }
  return 0;
}

bool may_grow(TokenKind kind) {
  return kind == TokenKind::Number || kind == TokenKind::Ident || kind == TokenKind::Literal ||
         kind == TokenKind::Garbage;
}

// U+201C and U+201D, the typographic double quotes that models and word processors write.
bool typographic_double_quote(std::string_view text, std::size_t i) {
  if (static_cast<unsigned char>(text[i]) != 0xE2) return false;
  const char32_t c = decode_utf8_at(text, i).first;
  return c == 0x201C || c == 0x201D;
}

// The number a lexer Number run stands for, read so that a number once shown stays a number as
// its run grows: redundant leading zeros are skipped ("007" reads 7), and a run cut short reads
// as its longest part that is a number ("1.", "2e+" and "1.e5" read 1, 2 and 1). "-" alone
// gives nothing.
std::optional<JsonValue> number_value(std::string_view raw) {
  std::string text;
  std::size_t i = 0;
  if (i < raw.size() && raw[i] == '-') text += raw[i++];
  while (i + 1 < raw.size() && raw[i] == '0' && scan::is_digit(static_cast<unsigned char>(raw[i + 1]))) {
    ++i;
  }
  text.append(raw.substr(i));
  for (const std::size_t cut : {text.size(), text.find_first_of("eE"), text.find('.')}) {
    if (cut == std::string::npos) continue;
    JsonResult parsed = parse_strict_json(std::string_view(text).substr(0, cut));
    if (parsed.ok()) return std::move(parsed).value();
  }
  return std::nullopt;
}

JsonValue literal_value(std::string_view keyword) {
  if (keyword == "true") return JsonValue::boolean(true);
  if (keyword == "false") return JsonValue::boolean(false);
  return JsonValue::null();
}

}  // namespace

StreamReader::StreamReader(RepairOptions options) : options_(std::move(options)) {}

void StreamReader::feed(std::string_view bytes, StreamSink& sink) {
  raw_.append(bytes);
  if (phase_ == Phase::Done) return;
  append_text(bytes);
  read_tokens(sink);
  compact();
}

RepairResult StreamReader::finish() const { return parse_bytes(raw_, options_); }

// Only whole characters enter the working text, so a string never shows half a character; an
// invalid sequence becomes U+FFFD as the pipeline's decoding makes it.
void StreamReader::append_text(std::string_view bytes) {
  std::string joined;
  if (!pending_.empty()) {
    joined = std::move(pending_) + std::string(bytes);
    pending_.clear();
    bytes = joined;
  }
  const std::size_t held = incomplete_utf8_tail(bytes);
  const std::string_view ready = bytes.substr(0, bytes.size() - held);
  pending_.assign(bytes.substr(ready.size()));
  if (is_valid_utf8(ready)) {
    work_.append(ready);
  } else {
    work_ += decode_utf8_lossy(ready);
  }
}

void StreamReader::read_tokens(StreamSink& sink) {
  for (;;) {
    if (phase_ == Phase::Done) return;
    if (phase_ == Phase::Prose) {
      pos_ = find_first<ByteSet<false, '{', '['>>(work_.data(), pos_, work_.size());
      if (pos_ == work_.size()) return;
      phase_ = Phase::Tokens;
      open_container(work_[pos_++] == '{', sink);
      continue;
    }
    if (run_ != Run::None) {
      if (!continue_run(sink)) return;
      continue;
    }
    pos_ = scan::skip_space(work_.data(), pos_, work_.size());
    if (pos_ == work_.size()) return;
    if (start_run()) continue;
    if (!read_token(sink)) return;
  }
}

// Strings and comments are read as runs that resume where the last chunk ended.
bool StreamReader::start_run() {
  const char c = work_[pos_];
  std::size_t body = pos_ + 1;
  if (c == '"' || (c == '\'' && options_.allow_single_quotes)) {
    run_ = Run::String;
    run_quote_ = c;
  } else if (typographic_double_quote(work_, pos_)) {
    run_ = Run::TypographicString;
    body = pos_ + 3;
  } else if (c == '/' && options_.allow_comments && pos_ + 1 < work_.size() &&
             (work_[pos_ + 1] == '/' || work_[pos_ + 1] == '*')) {
    // The "*" of a closing "*/" lies at least two bytes after the "/": "/*/" stays open.
    run_ = work_[pos_ + 1] == '/' ? Run::LineComment : Run::BlockComment;
    body = pos_ + 2;
  } else {
    return false;
  }
  held_number_.reset();
  held_scanned_to_ = 0;
  run_text_.clear();
  run_next_ = body;
  return true;
}

// False while the run is still open at the end of the text.
bool StreamReader::continue_run(StreamSink& sink) {
  const std::size_t n = work_.size();
  std::optional<std::size_t> end;  // past the run's last byte, once found
  switch (run_) {
    case Run::String: {
      const StringProgress progress = resume_string(work_, run_next_, run_quote_, run_text_);
      run_next_ = progress.next;
      if (progress.closed) end = progress.next;
      break;
    }
    case Run::TypographicString: {
      // Read as written up to the next typographic double quote: without escapes or nesting,
      // only simple strings come out right, and close() has the final word anyway.
      std::size_t i = run_next_;
      while ((i = work_.find('\xE2', i)) != std::string::npos && !typographic_double_quote(work_, i)) {
        ++i;
      }
      const std::size_t stop = i == std::string::npos ? n : i;
      run_text_.append(work_, run_next_, stop - run_next_);
      run_next_ = stop;
      if (stop < n) end = stop + 3;
      break;
    }
    case Run::LineComment:
      // The line break stays: it is white space.
      run_next_ = find_first<ByteSet<false, '\n', '\r'>>(work_.data(), run_next_, n);
      if (run_next_ < n) end = run_next_;
      break;
    case Run::BlockComment:
      if (const std::size_t close = work_.find("*/", run_next_); close != std::string::npos) {
        end = close + 2;
      } else {
        run_next_ = std::max(run_next_, n - 1);  // a "*" at the end may meet its "/" next time
      }
      break;
    case Run::None:
      return true;
  }
  if (!end) {
    pos_ = run_next_;
    return false;
  }
  const Run finished = std::exchange(run_, Run::None);
  pos_ = *end;
  if (finished == Run::String || finished == Run::TypographicString) place_string(sink);
  return true;
}

void StreamReader::place_string(StreamSink& sink) {
  switch (role()) {
    case Role::Value:
      place_scalar(JsonValue::string(run_text_), sink);
      break;
    case Role::Key:
      place_key(run_text_);
      break;
    case Role::Skip:
      break;
  }
}

// Reads the token at pos_. False when it touches the end of the text and may still grow: it is
// held back and read again with the next chunk.
bool StreamReader::read_token(StreamSink& sink) {
  const std::size_t n = work_.size();
  if (held_scanned_to_ > pos_ + kLongHeldToken && n - held_scanned_to_ < held_scanned_to_ - pos_) {
    return false;
  }
  const std::string_view rest = std::string_view(work_).substr(pos_);
  TokenScanner scanner(rest, options_.allow_single_quotes);
  const Token token = scanner.next();
  const std::string_view raw = rest.substr(token.start, token.end - token.start);
  if (token.end == rest.size() && may_grow(token.kind)) {
    held_scanned_to_ = n;
    held_number_.reset();
    if (token.kind == TokenKind::Number && role() == Role::Value) held_number_ = number_value(raw);
    return false;
  }
  held_number_.reset();
  held_scanned_to_ = 0;
  pos_ += token.end;
  place_token(token, raw, sink);
  return true;
}

void StreamReader::place_token(const Token& token, std::string_view raw, StreamSink& sink) {
  const Role here = role();
  switch (token.kind) {
    case TokenKind::Punct:
      place_punct(raw[0], sink);
      return;
    case TokenKind::Number:
      if (here == Role::Key) {
        place_key(raw);
      } else if (here == Role::Value) {
        if (auto number = number_value(raw)) place_scalar(std::move(*number), sink);
      }
      return;
    case TokenKind::Literal:
      if (here == Role::Key) {
        place_key(raw);
      } else if (here == Role::Value) {
        place_scalar(literal_value(token.text), sink);
      }
      return;
    case TokenKind::Ident:
      if (here == Role::Key) {
        if (options_.allow_unquoted_keys) place_key(raw);
      } else if (here == Role::Value) {
        if (options_.allow_python_literals && ascii_lower(raw) == "none") {
          place_scalar(JsonValue::null(), sink);
        } else if (options_.allow_unquoted_values) {
          place_scalar(JsonValue::string(raw), sink);
        }
      }
      return;
    case TokenKind::Str:  // strings are read as runs
    case TokenKind::Garbage:
    case TokenKind::Eof:
      return;
  }
}

void StreamReader::place_punct(char c, StreamSink& sink) {
  if (c == '{' || c == '[') {
    open_container(c == '{', sink);
    return;
  }
  if (c == '}' || c == ']') {
    close_container(c == '}', sink);
    return;
  }
  if (overflow_depth_ > 0) return;
  Frame& top = frames_.back();
  if (c == ',') {
    top.expect = top.is_object ? Expect::Key : Expect::Value;
    top.key.clear();
  } else if (c == ':' && top.is_object && top.expect == Expect::Colon) {
    top.expect = Expect::Value;
  }
}

StreamReader::Role StreamReader::role() const {
  if (overflow_depth_ > 0 || frames_.empty()) return Role::Skip;
  const Frame& top = frames_.back();
  if (!top.is_object) return Role::Value;  // after a value too: a comma is missing
  // A key where one is expected or a comma is missing; a value after the key, colon or not.
  return top.expect == Expect::Key || top.expect == Expect::AfterValue ? Role::Key : Role::Value;
}

void StreamReader::place_scalar(JsonValue value, StreamSink& sink) {
  Frame& top = frames_.back();
  if (!top.hidden) sink.on_value(top.is_object ? std::string_view(top.key) : std::string_view(),
                                 std::move(value));
  after_member();
}

void StreamReader::place_key(std::string_view key) {
  Frame& top = frames_.back();
  top.key.assign(key);
  top.expect = Expect::Colon;
}

void StreamReader::after_member() {
  Frame& top = frames_.back();
  top.expect = Expect::AfterValue;
  top.key.clear();
}

// A container where no value fits (in place of a key) is still followed to its end, so that
// its closer is not taken for its parent's, but it is not shown.
void StreamReader::open_container(bool is_object, StreamSink& sink) {
  if (overflow_depth_ > 0 || frames_.size() >= kMaxNestingDepth) {
    ++overflow_depth_;
    return;
  }
  Frame frame;
  frame.is_object = is_object;
  frame.expect = is_object ? Expect::Key : Expect::Value;
  if (!frames_.empty()) {
    const Frame& parent = frames_.back();
    frame.hidden = parent.hidden || role() != Role::Value;
    if (!frame.hidden) sink.on_open(is_object, parent.is_object ? std::string_view(parent.key) : "");
    after_member();
  } else {
    sink.on_open(is_object, "");
  }
  frames_.push_back(std::move(frame));
}

// A closer ends the innermost open container of its kind, and every container inside that one
// (`[{"a": 1]` ends the object too); a closer that matches no open container is dropped.
void StreamReader::close_container(bool is_object, StreamSink& sink) {
  if (overflow_depth_ > 0) {
    --overflow_depth_;
    return;
  }
  std::size_t match = frames_.size();
  while (match > 0 && frames_[match - 1].is_object != is_object) --match;
  if (match == 0) return;
  while (frames_.size() >= match) {
    if (!frames_.back().hidden) sink.on_close();
    frames_.pop_back();
  }
  if (frames_.empty()) {
    phase_ = Phase::Done;
    work_.clear();
    pending_.clear();
    pos_ = 0;
  }
}

StreamTail StreamReader::tail() const {
  StreamTail tail;
  if (phase_ != Phase::Tokens || role() != Role::Value || frames_.back().hidden) return tail;
  const Frame& top = frames_.back();
  if (run_ == Run::String || run_ == Run::TypographicString) {
    tail.kind = StreamTail::Kind::String;
    tail.text = run_text_;
  } else if (run_ == Run::None && held_number_) {
    tail.kind = StreamTail::Kind::Number;
    tail.number = *held_number_;
  } else {
    return tail;
  }
  if (top.is_object) tail.key = top.key;
  return tail;
}

void StreamReader::compact() {
  if (pos_ < kCompactMinBytes || pos_ < work_.size() / 2) return;
  work_.erase(0, pos_);
  if (run_ != Run::None) run_next_ -= pos_;
  held_scanned_to_ = held_scanned_to_ > pos_ ? held_scanned_to_ - pos_ : 0;
  pos_ = 0;
}

// ---- StreamTree ----

void StreamTree::on_open(bool is_object, std::string_view key) {
  open_.push_back({is_object ? JsonValue::object({}) : JsonValue::array({}), std::string(key)});
}

void StreamTree::on_value(std::string_view key, JsonValue value) { add(key, std::move(value)); }

void StreamTree::on_close() {
  Open done = std::move(open_.back());
  open_.pop_back();
  if (open_.empty()) {
    done_ = std::move(done.container);
  } else {
    add(done.key, std::move(done.container));
  }
}

void StreamTree::add(std::string_view key, JsonValue value) {
  JsonValue& parent = open_.back().container;
  if (parent.is_object()) {
    parent.as_object().push_back(JsonMember{std::string(key), std::move(value)});
  } else {
    parent.as_array().push_back(std::move(value));
  }
}

std::optional<JsonValue> StreamTree::value(const StreamTail& tail) const {
  if (done_) return *done_;
  if (open_.empty()) return std::nullopt;
  std::optional<JsonValue> child;
  std::string_view child_key = tail.key;
  if (tail.kind == StreamTail::Kind::String) child = JsonValue::string(tail.text);
  if (tail.kind == StreamTail::Kind::Number) child = tail.number;
  for (std::size_t i = open_.size(); i-- > 0;) {
    JsonValue copy = open_[i].container;
    if (child) {
      if (copy.is_object()) {
        copy.as_object().push_back(JsonMember{std::string(child_key), std::move(*child)});
      } else {
        copy.as_array().push_back(std::move(*child));
      }
    }
    child = std::move(copy);
    child_key = open_[i].key;
  }
  return child;
}

}  // namespace velvin
