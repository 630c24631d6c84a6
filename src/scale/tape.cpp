#include "scale/tape.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/scan.hpp"

namespace velvin {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a buffer is ordinary heap memory.
constexpr std::size_t kHugeBufferMin = std::size_t{4} << 20;

}  // namespace

void* allocate_tape_memory(std::size_t bytes) {
  if (bytes < kHugeBufferMin) return ::operator new(bytes);
  void* p = ::operator new(bytes, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only a hint: where huge pages are unavailable the buffer simply keeps small pages.
  (void)::madvise(p, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
  return p;
}

void deallocate_tape_memory(void* p, std::size_t bytes) noexcept {
  if (bytes < kHugeBufferMin) {
    ::operator delete(p);
  } else {
    ::operator delete(p, std::align_val_t{kHugePage});
  }
}

std::string_view tape_entry_kind_name(TapeEntryKind kind) noexcept {
  switch (kind) {
    case TapeEntryKind::Null: return "null";
    case TapeEntryKind::True: return "true";
    case TapeEntryKind::False: return "false";
    case TapeEntryKind::NumberI64: return "number_i64";
    case TapeEntryKind::NumberU64: return "number_u64";
    case TapeEntryKind::NumberF64: return "number_f64";
    case TapeEntryKind::String: return "string";
    case TapeEntryKind::ObjectStart: return "object_start";
    case TapeEntryKind::ObjectEnd: return "object_end";
    case TapeEntryKind::ArrayStart: return "array_start";
    case TapeEntryKind::ArrayEnd: return "array_end";
  }
  return "unknown";
}

JsonValue Tape::to_json_value(bool include_entries, std::size_t max_entries) const {
  JsonObject members;
  members.push_back({"root_index", JsonValue::uinteger(root_index)});
  members.push_back({"data_span", JsonValue::array({JsonValue::uinteger(data_span.start),
                                                    JsonValue::uinteger(data_span.end)})});
  members.push_back({"entry_count", JsonValue::uinteger(entries.size())});
  if (include_entries) {
    const std::size_t shown = std::min(entries.size(), max_entries);
    JsonArray items;
    items.reserve(shown);
    for (std::size_t i = 0; i < shown; ++i) {
      const TapeEntry& e = entries[i];
      JsonObject entry;
      entry.reserve(4);
      entry.push_back({"t", JsonValue::string(tape_entry_kind_name(e.kind))});
      entry.push_back({"offset", JsonValue::uinteger(e.offset)});
      entry.push_back({"length", JsonValue::uinteger(e.length)});
      entry.push_back({"payload", JsonValue::uinteger(e.payload)});
      items.push_back(JsonValue::object(std::move(entry)));
    }
    members.push_back({"entries", JsonValue::array(std::move(items))});
    members.push_back({"entries_truncated", JsonValue::boolean(max_entries < entries.size())});
  }
  return JsonValue::object(std::move(members));
}

namespace {

using scan::is_digit;
using scan::is_hex_digit;

constexpr const char* kUnexpectedEof = "unexpected EOF";
constexpr const char* kWindowOverflow = "tape window overflow";

// The open containers of one parse. The scale pipeline starts a parse per element, so the
// usual shallow nesting lives inline instead of costing an allocation per element.
class OpenStack {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::size_t back() const noexcept {
    return size_ <= kInline ? inline_[size_ - 1] : spill_.back();
  }
  void push_back(std::size_t v) {
    if (size_ < kInline) {
      inline_[size_] = v;
    } else {
      spill_.push_back(v);
    }
    ++size_;
  }
  void pop_back() noexcept {
    if (size_ > kInline) spill_.pop_back();
    --size_;
  }

 private:
  static constexpr std::size_t kInline = 32;
  std::array<std::size_t, kInline> inline_;
  std::vector<std::size_t> spill_;  // the levels beyond the inline ones
  std::size_t size_ = 0;
};

// Writes entries through a raw cursor, either appending to a vector (which is sized to its
// capacity up front, writing nothing, see TapeAllocator, and trimmed at the end) or into a fixed
// window entries[first, limit) of a vector that is already sized. Each entry is stored field by
// field straight into place: building it on the stack and copying it in stalls on store
// forwarding (the packed fields make a 25-byte copy from mismatched stores).
class EntryWriter {
 public:
  explicit EntryWriter(TapeEntries& out) : out_(out), size_(out.size()), growable_(true) {
    if (out_.capacity() == size_) out_.reserve(size_ + 64);
    out_.resize(out_.capacity());
    data_ = out_.data();
    capacity_ = out_.size();
  }
  EntryWriter(TapeEntries& out, std::size_t first, std::size_t limit)
      : out_(out), data_(out.data()), size_(first), capacity_(limit), growable_(false) {}
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;
  ~EntryWriter() {
    if (growable_) out_.resize(size_);
  }

  [[nodiscard]] std::size_t size() const noexcept { return size_; }

  // False only when a window is full.
  [[nodiscard]] bool put(TapeEntryKind kind, std::uint64_t offset, std::uint64_t length,
                         std::uint64_t payload) {
    if (size_ == capacity_ && !grow()) return false;
    TapeEntry* e = data_ + size_;
    e->kind = kind;
    e->offset = offset;
    e->length = length;
    e->payload = payload;
    ++size_;
    return true;
  }

  void set_payload(std::size_t index, std::uint64_t payload) noexcept {
    data_[index].payload = payload;
  }

  void truncate(std::size_t size) noexcept { size_ = size; }

 private:
  [[gnu::noinline]] bool grow() {
    if (!growable_) return false;
    out_.resize(size_);
    out_.reserve(size_ * 2);
    out_.resize(out_.capacity());
    data_ = out_.data();
    capacity_ = out_.size();
    return true;
  }

  TapeEntries& out_;
  TapeEntry* data_ = nullptr;
  std::size_t size_;
  std::size_t capacity_ = 0;
  bool growable_;
};

// One strict pass over a slice, appending entries. Containers are tracked on an explicit stack
// (bounded by kMaxNestingDepth), so hostile nesting cannot exhaust the call stack of a worker.
class TapeParser {
 public:
  TapeParser(std::string_view bytes, std::uint64_t base, std::size_t outer_depth,
             EntryWriter& out)
      : s_(reinterpret_cast<const unsigned char*>(bytes.data())),
        n_(bytes.size()),
        base_(base),
        outer_depth_(outer_depth),
        out_(out) {}

  // One value with white space before it; the cursor ends just past the value.
  bool value() {
    for (;;) {
      skip_space();
      if (pos_ >= n_) return fail(kUnexpectedEof, n_);
      const unsigned char c = s_[pos_];
      if (c == '[' || c == '{') {
        const Opened opened = open_container(c == '{');
        if (opened == Opened::failed) return false;
        if (opened == Opened::nonempty) continue;
      } else if (!scalar(c)) {
        return false;
      }
      const Next next = after_value();
      if (next == Next::failed) return false;
      if (next == Next::done) return true;
    }
  }

  // key ':' value, with white space around each part.
  bool member() { return key() && value(); }

  // Only white space may follow.
  bool finish() {
    skip_space();
    if (pos_ != n_) return fail("trailing characters", pos_);
    return true;
  }

  TapeError take_error() { return std::move(error_); }

 private:
  enum class Opened { failed, empty, nonempty };
  enum class Next { failed, value, done };

  [[gnu::cold]] bool fail(const char* message, std::size_t index,
                          ErrorCode code = ErrorCode::invalid_json) {
    error_ = TapeError{code, base_ + index, message};
    return false;
  }

  const char* chars() const noexcept { return reinterpret_cast<const char*>(s_); }

  void skip_space() noexcept { pos_ = scan::skip_space(chars(), pos_, n_); }

  // False (with the error set) when the output window is full.
  bool push(TapeEntryKind kind, std::size_t at, std::size_t length, std::uint64_t payload) {
    if (out_.put(kind, base_ + at, length, payload)) return true;
    return fail(kWindowOverflow, at, ErrorCode::tape_window_overflow);
  }

  Opened open_container(bool object) {
    if (outer_depth_ + open_.size() >= kMaxNestingDepth) {
      fail("nesting too deep", pos_, ErrorCode::nesting_too_deep);
      return Opened::failed;
    }
    const std::size_t start = out_.size();
    if (!push(object ? TapeEntryKind::ObjectStart : TapeEntryKind::ArrayStart, pos_, 1, 0)) {
      return Opened::failed;
    }
    ++pos_;
    skip_space();
    if (pos_ < n_ && s_[pos_] == (object ? '}' : ']')) {
      return close(start, object) ? Opened::empty : Opened::failed;
    }
    open_.push_back(start << 1 | (object ? 1U : 0U));
    if (object && !key()) return Opened::failed;
    return Opened::nonempty;
  }

  // The cursor is on the closing bracket of the container whose start entry is `start`.
  bool close(std::size_t start, bool object) {
    out_.set_payload(start, out_.size());
    if (!push(object ? TapeEntryKind::ObjectEnd : TapeEntryKind::ArrayEnd, pos_, 1, 0)) {
      return false;
    }
    ++pos_;
    return true;
  }

  // After a complete value: close the containers it completes, or step over the comma that
  // announces the next element (and, in an object, read the next key).
  Next after_value() {
    for (;;) {
      if (open_.empty()) return Next::done;
      skip_space();
      if (pos_ >= n_) {
        fail(kUnexpectedEof, n_);
        return Next::failed;
      }
      const unsigned char c = s_[pos_];
      const std::size_t top = open_.back();
      const bool object = (top & 1U) != 0;
      if (c == ',') {
        ++pos_;
        if (object && !key()) return Next::failed;
        return Next::value;
      }
      if (c == (object ? '}' : ']')) {
        if (!close(top >> 1, object)) return Next::failed;
        open_.pop_back();
        continue;
      }
      fail(object ? "expected ',' or '}'" : "expected ',' or ']'", pos_);
      return Next::failed;
    }
  }

  // An object key and its colon; the value follows.
  bool key() {
    skip_space();
    if (pos_ >= n_ || s_[pos_] != '"') return fail("expected string", pos_);
    if (!string()) return false;
    skip_space();
    if (pos_ >= n_ || s_[pos_] != ':') return fail("expected ':'", pos_);
    ++pos_;
    return true;
  }

  bool scalar(unsigned char c) {
    switch (c) {
      case '"': return string();
      case 't': return literal("true", TapeEntryKind::True);
      case 'f': return literal("false", TapeEntryKind::False);
      case 'n': return literal("null", TapeEntryKind::Null);
      default:
        if (c == '-' || is_digit(c)) return number();
        return fail("unexpected character", pos_);
    }
  }

  bool literal(std::string_view word, TapeEntryKind kind) {
    if (n_ - pos_ < word.size()) return fail(kUnexpectedEof, pos_);
    if (std::memcmp(s_ + pos_, word.data(), word.size()) != 0) return fail("invalid literal", pos_);
    if (!push(kind, pos_, word.size(), 0)) return false;
    pos_ += word.size();
    return true;
  }

  // Validates escapes without decoding them; string bytes need not be UTF-8.
  bool string() {
    const std::size_t quote = pos_;
    std::size_t i = quote + 1;
    for (;;) {
      i = scan::find_string_stop(chars(), i, n_);
      if (i >= n_) return fail("unterminated string", quote);
      const unsigned char c = s_[i];
      if (c == '"') {
        if (!push(TapeEntryKind::String, quote, i + 1 - quote, 0)) return false;
        pos_ = i + 1;
        return true;
      }
      if (c != '\\') return fail("control character in string", i);
      if (i + 1 >= n_) return fail("unexpected EOF in string escape", n_);
      switch (s_[i + 1]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
          i += 2;
          break;
        case 'u':
          if (n_ - (i + 2) < 4 || !is_hex_digit(s_[i + 2]) || !is_hex_digit(s_[i + 3]) ||
              !is_hex_digit(s_[i + 4]) || !is_hex_digit(s_[i + 5])) {
            return fail("invalid unicode escape", i + 2);
          }
          i += 6;
          break;
        default:
          return fail("invalid escape", i + 1);
      }
    }
  }

  bool number() {
    const std::size_t start = pos_;
    std::size_t i = pos_;
    const bool negative = s_[i] == '-';
    if (negative) ++i;
    if (i >= n_ || !is_digit(s_[i])) return fail("invalid number", start);
    const std::size_t digits_start = i;
    if (s_[i] == '0') {
      ++i;  // a leading zero ends the integer part
    } else {
      while (i < n_ && is_digit(s_[i])) ++i;
    }
    const std::size_t digits_end = i;
    bool is_float = false;
    if (i < n_ && s_[i] == '.') {
      ++i;
      if (i >= n_ || !is_digit(s_[i])) return fail("invalid number", start);
      while (i < n_ && is_digit(s_[i])) ++i;
      is_float = true;
    }
    if (i < n_ && (s_[i] == 'e' || s_[i] == 'E')) {
      ++i;
      if (i < n_ && (s_[i] == '+' || s_[i] == '-')) ++i;
      if (i >= n_ || !is_digit(s_[i])) return fail("invalid number", start);
      while (i < n_ && is_digit(s_[i])) ++i;
      is_float = true;
    }
    const std::size_t length = i - start;
    bool written;
    if (is_float) {
      written = push(TapeEntryKind::NumberF64, start, length, float_bits(start, i));
    } else {
      std::uint64_t magnitude = 0;
      for (std::size_t k = digits_start; k < digits_end; ++k) {
        if (__builtin_mul_overflow(magnitude, 10U, &magnitude) ||
            __builtin_add_overflow(magnitude, static_cast<unsigned>(s_[k] - '0'), &magnitude)) {
          return fail("invalid number", start);
        }
      }
      if (negative) {
        constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
        if (magnitude > kMinMagnitude) return fail("invalid number", start);
        written = push(TapeEntryKind::NumberI64, start, length, std::uint64_t{0} - magnitude);
      } else {
        written = push(TapeEntryKind::NumberU64, start, length, magnitude);
      }
    }
    if (!written) return false;
    pos_ = i;
    return true;
  }

  std::uint64_t float_bits(std::size_t start, std::size_t end) const noexcept {
    const char* first = reinterpret_cast<const char*>(s_ + start);
    const char* last = reinterpret_cast<const char*>(s_ + end);
    double value = 0.0;
    const auto res = std::from_chars(first, last, value);
    if (res.ec != std::errc()) value = out_of_range_double(std::string_view(first, end - start));
    return std::bit_cast<std::uint64_t>(value);
  }

  const unsigned char* s_;
  std::size_t n_;
  std::uint64_t base_;
  std::size_t outer_depth_;
  EntryWriter& out_;
  std::size_t pos_ = 0;
  // Open containers: start entry index << 1 | is_object.
  OpenStack open_;
  TapeError error_;
};

// Tapes of dense JSON hold about one entry per six input bytes; reserving that much up front
// spares most reallocations, and reserved pages that are never written cost no memory.
std::size_t reserve_hint(std::size_t bytes) noexcept { return bytes / 6 + 4; }

}  // namespace

std::optional<TapeError> append_strict_tape(std::string_view bytes, std::uint64_t base,
                                            std::size_t outer_depth, TapeEntries& entries) {
  EntryWriter writer(entries);
  const std::size_t mark = writer.size();
  TapeParser parser(bytes, base, outer_depth, writer);
  if (parser.value() && parser.finish()) return std::nullopt;
  writer.truncate(mark);
  return parser.take_error();
}

std::optional<TapeError> append_object_pair_segment(std::string_view bytes, std::uint64_t base,
                                                    std::size_t outer_depth,
                                                    TapeEntries& entries) {
  EntryWriter writer(entries);
  const std::size_t mark = writer.size();
  TapeParser parser(bytes, base, outer_depth, writer);
  if (parser.member() && parser.finish()) return std::nullopt;
  writer.truncate(mark);
  return parser.take_error();
}

Result<std::size_t, TapeError> write_strict_tape(std::string_view bytes, std::uint64_t base,
                                                std::size_t outer_depth, TapeEntries& entries,
                                                std::size_t first, std::size_t limit) {
  EntryWriter writer(entries, first, limit);
  TapeParser parser(bytes, base, outer_depth, writer);
  if (parser.value() && parser.finish()) return writer.size();
  return parser.take_error();
}

Result<std::size_t, TapeError> write_object_pair_segment(std::string_view bytes,
                                                        std::uint64_t base,
                                                        std::size_t outer_depth,
                                                        TapeEntries& entries, std::size_t first,
                                                        std::size_t limit) {
  EntryWriter writer(entries, first, limit);
  TapeParser parser(bytes, base, outer_depth, writer);
  if (parser.member() && parser.finish()) return writer.size();
  return parser.take_error();
}

TapeResult parse_strict_tape(std::string_view bytes, std::uint64_t base, std::size_t outer_depth) {
  Tape tape;
  tape.entries.reserve(reserve_hint(bytes.size()));
  if (auto error = append_strict_tape(bytes, base, outer_depth, tape.entries)) {
    return std::move(*error);
  }
  tape.root_index = 0;
  tape.data_span = Span{base, base + bytes.size()};
  return tape;
}

TapeEntriesResult parse_object_pair_segment(std::string_view bytes, std::uint64_t base,
                                            std::size_t outer_depth) {
  TapeEntries entries;
  entries.reserve(reserve_hint(bytes.size()));
  if (auto error = append_object_pair_segment(bytes, base, outer_depth, entries)) {
    return std::move(*error);
  }
  return entries;
}

}  // namespace velvin
