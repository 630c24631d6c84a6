#include "repair/beam.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/json.hpp"
#include "repair/lexer.hpp"
#include "repair/readings.hpp"

namespace velvin {

namespace {

// ---------------------------------------------------------------------------------------------
// Shared histories
//
// A state's output, repairs, dropped spans and container stack only grow or shrink at their
// end, and a successor starts as its parent plus a few changes. Copying them into every
// successor would make each step cost as much as the output so far, and repair time grow with
// the square of the input. Instead a sequence is a chain of chunks that copies share. A chunk is
// written only while a single sequence owns it, so anything two states share never changes:
// a state that forks and then appends starts a chunk of its own, while the lone successor of a
// plain step (the common case) keeps appending in place.

template <class Payload>
class CowChain {
 public:
  CowChain() = default;
  CowChain(const CowChain& other) noexcept : head_(other.head_), count_(other.count_) {
    if (head_ != nullptr) ++head_->refs;
  }
  CowChain(CowChain&& other) noexcept
      : head_(std::exchange(other.head_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  CowChain& operator=(CowChain other) noexcept {
    std::swap(head_, other.head_);
    std::swap(count_, other.count_);
    return *this;
  }
  ~CowChain() { release(head_); }

  [[nodiscard]] std::size_t size() const noexcept {
    return head_ == nullptr ? 0 : head_->base + count_;
  }
  [[nodiscard]] bool empty() const noexcept { return head_ == nullptr; }

 protected:
  struct Chunk {
    std::size_t refs = 1;
    Chunk* prev = nullptr;       // an owned reference
    std::size_t prev_count = 0;  // how many items of `prev` belong to the sequences after it
    std::size_t base = 0;        // items before this chunk
    Payload payload;
  };

  // Invariant: head_ is null exactly when the sequence is empty; otherwise the sequence uses
  // the first count_ (at least 1) items of head_.

  // The payload that receives item number count_ of the head: the own head chunk, cut back to
  // count_, when nothing else holds it and the item `fits`; else a new chunk.
  Payload& append_slot(bool fits) {
    if (head_ != nullptr && head_->refs == 1 && fits) {
      head_->payload.truncate(count_);
      return head_->payload;
    }
    auto* chunk = new Chunk;
    chunk->prev = head_;  // this sequence's reference moves to the new chunk
    chunk->prev_count = count_;
    chunk->base = size();
    head_ = chunk;
    count_ = 0;
    return chunk->payload;
  }
  void appended() noexcept { ++count_; }

  void drop_last() noexcept {
    if (--count_ > 0) return;
    Chunk* old = head_;
    head_ = old->prev;
    count_ = old->prev_count;
    if (head_ != nullptr) ++head_->refs;
    release(old);
  }

  [[nodiscard]] bool head_exclusive() const noexcept {
    return head_ != nullptr && head_->refs == 1;
  }

  // Calls visit(payload, count) for every chunk, oldest first.
  template <class Visit>
  void for_each_chunk(Visit&& visit) const {
    std::vector<std::pair<const Chunk*, std::size_t>> chain;
    const Chunk* chunk = head_;
    std::size_t count = count_;
    while (chunk != nullptr) {
      chain.emplace_back(chunk, count);
      count = chunk->prev_count;
      chunk = chunk->prev;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) visit(it->first->payload, it->second);
  }

  // Iterative, so that releasing a long chain cannot exhaust the call stack.
  static void release(Chunk* chunk) noexcept {
    while (chunk != nullptr && --chunk->refs == 0) {
      Chunk* prev = chunk->prev;
      delete chunk;
      chunk = prev;
    }
  }

  Chunk* head_ = nullptr;
  std::size_t count_ = 0;
};

template <class T>
struct ItemPayload {
  std::vector<T> items;
  void truncate(std::size_t n) {
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(n), items.end());
  }
};

template <class T>
class ItemSeq : public CowChain<ItemPayload<T>> {
  using Base = CowChain<ItemPayload<T>>;

 public:
  void push_back(T item) {
    this->append_slot(true).items.push_back(std::move(item));
    this->appended();
  }
  // Takes `items` as the whole sequence (it must be empty before), without copying them.
  void adopt(std::vector<T> items) {
    if (items.empty()) return;
    const std::size_t n = items.size();
    this->append_slot(false).items = std::move(items);
    this->count_ = n;
  }
  void pop_back() noexcept { this->drop_last(); }
  [[nodiscard]] const T& back() const noexcept {
    return this->head_->payload.items[this->count_ - 1];
  }
  void set_back(T item) {
    if (this->head_exclusive()) {
      this->head_->payload.items[this->count_ - 1] = std::move(item);
      return;
    }
    pop_back();
    push_back(std::move(item));
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    this->for_each_chunk([&](const ItemPayload<T>& payload, std::size_t count) {
      for (std::size_t i = 0; i < count; ++i) visit(payload.items[i]);
    });
  }

  [[nodiscard]] std::vector<T> to_vector() const {
    std::vector<T> out;
    out.reserve(this->size());
    for_each([&](const T& item) { out.push_back(item); });
    return out;
  }

  // Item-wise equality, walking down from the newest item and stopping where both sequences
  // reach the same stored item (everything below it is then shared).
  template <class Eq>
  [[nodiscard]] static bool equal(const ItemSeq& a, const ItemSeq& b, Eq&& eq) {
    if (a.size() != b.size()) return false;
    using Chunk = typename Base::Chunk;
    const Chunk* ca = a.head_;
    const Chunk* cb = b.head_;
    std::size_t ia = a.count_;
    std::size_t ib = b.count_;
    while (ca != nullptr && cb != nullptr) {
      if (ca == cb && ia == ib) return true;
      if (ia == 0) {
        ia = ca->prev_count;
        ca = ca->prev;
        continue;
      }
      if (ib == 0) {
        ib = cb->prev_count;
        cb = cb->prev;
        continue;
      }
      if (!eq(ca->payload.items[ia - 1], cb->payload.items[ib - 1])) return false;
      --ia;
      --ib;
    }
    return true;
  }
};

// The signature tail: the last eight output pieces joined, cut to their last 64 bytes.
struct Tail {
  static constexpr std::size_t kMaxBytes = 64;
  static constexpr std::size_t kMaxPieces = 8;
  std::array<char, kMaxBytes> bytes{};
  std::size_t length = 0;
  [[nodiscard]] std::string_view view() const noexcept { return {bytes.data(), length}; }
  friend bool operator==(const Tail& a, const Tail& b) noexcept { return a.view() == b.view(); }
};

struct PiecePayload {
  std::string bytes;
  std::vector<std::size_t> ends;  // end offset of each piece in `bytes`

  void truncate(std::size_t n) {
    ends.resize(n);
    bytes.resize(used_bytes(n));
  }
  [[nodiscard]] std::size_t used_bytes(std::size_t count) const noexcept {
    return count == 0 ? 0 : ends[count - 1];
  }
  [[nodiscard]] std::string_view piece(std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : ends[i - 1];
    return {bytes.data() + start, ends[i] - start};
  }
};

// The output of a state: a sequence of pieces whose concatenation is the repaired text.
class PieceSeq : public CowChain<PiecePayload> {
 public:
  void push_back(std::string_view piece) {
    PiecePayload& payload = append_slot(true);
    payload.bytes.append(piece);
    payload.ends.push_back(payload.bytes.size());
    appended();
  }
  // A string literal of `text`, quoted straight into the chunk.
  void push_quoted(std::string_view text) {
    PiecePayload& payload = append_slot(true);
    append_quoted(payload.bytes, text);
    payload.ends.push_back(payload.bytes.size());
    appended();
  }
  void pop_back() noexcept { drop_last(); }
  [[nodiscard]] std::string_view back() const noexcept { return head_->payload.piece(count_ - 1); }
  [[nodiscard]] bool back_is(std::string_view piece) const noexcept {
    return !empty() && back() == piece;
  }

  [[nodiscard]] Tail tail() const noexcept {
    std::array<std::string_view, Tail::kMaxPieces> parts;  // newest first
    std::size_t n = 0;
    std::size_t total = 0;
    const Chunk* chunk = head_;
    std::size_t index = count_;
    while (chunk != nullptr && n < parts.size()) {
      if (index == 0) {
        index = chunk->prev_count;
        chunk = chunk->prev;
        continue;
      }
      --index;
      parts[n] = chunk->payload.piece(index);
      total += parts[n].size();
      ++n;
    }
    Tail tail;
    const std::size_t keep = std::min(total, Tail::kMaxBytes);
    std::size_t write = keep;
    for (std::size_t k = 0; k < n && write > 0; ++k) {
      const std::string_view part = parts[k];
      const std::size_t take = std::min(part.size(), write);
      std::memcpy(tail.bytes.data() + write - take, part.data() + part.size() - take, take);
      write -= take;
    }
    std::size_t skip = 0;
    if (total > Tail::kMaxBytes) {
      // The cut moves forward to a character boundary.
      while (skip < keep && (static_cast<unsigned char>(tail.bytes[skip]) & 0xC0) == 0x80) ++skip;
      std::memmove(tail.bytes.data(), tail.bytes.data() + skip, keep - skip);
    }
    tail.length = keep - skip;
    return tail;
  }

  [[nodiscard]] std::string join() const {
    std::size_t total = 0;
    for_each_chunk([&](const PiecePayload& p, std::size_t count) { total += p.used_bytes(count); });
    std::string out;
    out.reserve(total);
    for_each_chunk([&](const PiecePayload& p, std::size_t count) {
      out.append(p.bytes.data(), p.used_bytes(count));
    });
    return out;
  }
};

// ---------------------------------------------------------------------------------------------
// Container stack

// A tuple is an array written in parentheses; a call is a wrapper such as ObjectId(...) that
// stands for its one argument. Both exist only in the reading mode.
enum class Container : std::uint8_t { Object = 0, Array = 1, Tuple = 2, Call = 3 };
enum class Expect : std::uint8_t {
  KeyOrEnd = 0,
  Colon = 1,
  Value = 2,
  ValueOrEnd = 3,
  CommaOrEnd = 4
};

struct Frame {
  Container kind;
  Expect expect;
};

std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

constexpr std::uint64_t kEmptyStackDigest = 0x9e3779b97f4a7c15ULL;

// One frame plus a digest of every frame below it, so that two stacks of different content
// almost always differ in their top entry and are told apart without a walk.
struct StackEntry {
  std::uint64_t below = kEmptyStackDigest;
  Frame frame;
  [[nodiscard]] std::uint64_t digest() const noexcept {
    const auto code =
        static_cast<std::uint64_t>(frame.kind) * 8 + static_cast<std::uint64_t>(frame.expect) + 1;
    return mix64(below ^ (code * 0x100000001b3ULL));
  }
};

class Stack {
 public:
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  [[nodiscard]] std::size_t depth() const noexcept { return entries_.size(); }
  [[nodiscard]] Frame top() const noexcept { return entries_.back().frame; }
  [[nodiscard]] std::uint64_t digest() const noexcept {
    return empty() ? kEmptyStackDigest : entries_.back().digest();
  }
  void push(Container kind, Expect expect) {
    entries_.push_back(StackEntry{digest(), {kind, expect}});
  }
  void pop() noexcept { entries_.pop_back(); }
  void set_expect(Expect expect) {
    StackEntry entry = entries_.back();
    entry.frame.expect = expect;
    entries_.set_back(entry);
  }
  template <class Visit>
  void for_each_bottom_up(Visit&& visit) const {
    entries_.for_each([&](const StackEntry& e) { visit(e.frame); });
  }
  friend bool operator==(const Stack& a, const Stack& b) {
    if (a.depth() != b.depth() || a.digest() != b.digest()) return false;
    return ItemSeq<StackEntry>::equal(
        a.entries_, b.entries_, [](const StackEntry& x, const StackEntry& y) {
          return x.frame.kind == y.frame.kind && x.frame.expect == y.frame.expect;
        });
  }

 private:
  ItemSeq<StackEntry> entries_;
};

// ---------------------------------------------------------------------------------------------
// States and their keys

struct State {
  Stack stack;
  PieceSeq out;
  ItemSeq<RepairAction> repairs;
  ItemSeq<Span> dropped_spans;
  std::size_t pos = 0;
  double cost = 0.0;
  std::size_t repair_count = 0;
  std::size_t garbage_skipped_bytes = 0;
  std::size_t dropped_bytes = 0;
  std::size_t deleted_tokens = 0;
  std::size_t synthesized_values = 0;
  std::size_t inserted_tokens = 0;
  std::size_t close_open_string_count = 0;
  bool root_done = false;
  // The prune-key hash covers the whole repair list, so it is computed only when two keys tie
  // on cost, repair count and position, and kept until the state changes.
  mutable std::optional<std::uint64_t> hash;
};

// IEEE 754 total order as an unsigned integer order: -NaN < -inf < ... < -0 < +0 < ... < +NaN.
std::uint64_t total_order_bits(double d) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(d);
  return (bits >> 63) != 0 ? ~bits : bits | (1ULL << 63);
}

class Fnv1a {
 public:
  explicit Fnv1a(std::uint64_t seed) noexcept : h_(kOffsetBasis ^ seed) {}
  void byte(std::uint8_t b) noexcept {
    h_ ^= b;
    h_ *= kPrime;
  }
  void bytes(std::string_view s) noexcept {
    for (const char c : s) byte(static_cast<std::uint8_t>(c));
  }
  void u64(std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void absent(int n) noexcept {
    for (int i = 0; i < n; ++i) byte(0xFF);
  }
  [[nodiscard]] std::uint64_t value() const noexcept { return h_; }

 private:
  static constexpr std::uint64_t kOffsetBasis = 14695981039346656037ULL;
  static constexpr std::uint64_t kPrime = 1099511628211ULL;
  std::uint64_t h_;
};

// The texts the notes of a state's repairs are built from: the search's own text for its own
// repairs, the caller's texts for the base repairs.
class NoteTexts {
 public:
  NoteTexts(std::string_view own, Origin origin, const StageTexts* base) noexcept
      : own_(own), origin_(origin), base_(base) {}
  [[nodiscard]] std::string_view of(const RepairAction& r) const noexcept {
    if (r.origin() == origin_) return own_;
    return base_ != nullptr ? base_->text_of(r.origin()) : std::string_view();
  }

 private:
  std::string_view own_;
  Origin origin_;
  const StageTexts* base_;
};

// `note` is scratch space for rendering notes.
void hash_repair(Fnv1a& h, const RepairAction& r, const NoteTexts& texts, std::string& note) {
  h.bytes(r.op_word());
  if (const std::optional<Span> span = r.span()) {
    h.u64(span->start);
    h.u64(span->end);
  } else {
    h.absent(16);
  }
  if (const std::optional<std::uint64_t> at = r.at()) {
    h.u64(*at);
  } else {
    h.absent(8);
  }
  if (const std::optional<std::string_view> token = r.token()) h.bytes(*token);
  h.u64(std::bit_cast<std::uint64_t>(r.cost_delta));
  if (r.note_kind() != NoteKind::None) {
    note.clear();
    r.append_note(note, texts.of(r));
    h.bytes(note);
  }
}

std::uint64_t prune_hash(const State& s, std::uint64_t seed, const NoteTexts& texts) {
  Fnv1a h(seed);
  h.u64(s.pos);
  h.byte(s.root_done ? 1 : 0);
  h.u64(s.stack.depth());
  s.stack.for_each_bottom_up([&](const Frame& f) {
    h.byte(static_cast<std::uint8_t>(static_cast<std::uint8_t>(f.kind) + 1));
    h.byte(static_cast<std::uint8_t>(static_cast<std::uint8_t>(f.expect) + 1));
  });
  h.bytes(s.out.tail().view());
  h.u64(s.repairs.size());
  std::string note;
  s.repairs.for_each([&](const RepairAction& r) { hash_repair(h, r, texts, note); });
  return h.value();
}

// Orders states by (cost, repair count, position, hash), the hash computed on demand.
class KeyOrder {
 public:
  KeyOrder(std::uint64_t seed, NoteTexts texts, BeamStats& stats) noexcept
      : seed_(seed), texts_(texts), stats_(stats) {}

  // <0, 0 or >0 on everything but the hash.
  static int compare_cheap(const State& a, const State& b) noexcept {
    const std::uint64_t ca = total_order_bits(a.cost);
    const std::uint64_t cb = total_order_bits(b.cost);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (a.repair_count != b.repair_count) return a.repair_count < b.repair_count ? -1 : 1;
    if (a.pos != b.pos) return a.pos < b.pos ? -1 : 1;
    return 0;
  }
  [[nodiscard]] bool less(const State& a, const State& b) const {
    const int c = compare_cheap(a, b);
    if (c != 0) return c < 0;
    return hash(a) < hash(b);
  }
  [[nodiscard]] std::uint64_t hash(const State& s) const {
    if (!s.hash) {
      s.hash = prune_hash(s, seed_, texts_);
      ++stats_.prune_hashes;
    }
    return *s.hash;
  }

 private:
  std::uint64_t seed_;
  NoteTexts texts_;
  BeamStats& stats_;
};

// ---------------------------------------------------------------------------------------------
// Token window
//
// The search only ever looks at tokens from the slowest live state onwards, so tokens are lexed
// on demand and dropped once every state has passed them: memory stays bounded by how far the
// beam is spread, not by the input size.

class TokenWindow {
 public:
  TokenWindow(std::string_view text, bool allow_single_quotes)
      : scanner_(text, allow_single_quotes),
        eof_index_(count_tokens(text, allow_single_quotes) - 1) {
    eof_.start = text.size();
    eof_.end = text.size();
    eof_.kind = TokenKind::Eof;
  }
  [[nodiscard]] std::size_t count() const noexcept { return eof_index_ + 1; }
  [[nodiscard]] std::size_t eof_index() const noexcept { return eof_index_; }

  // References stay valid until discard_before passes them (a deque keeps its elements in place
  // when it grows at the back).
  const Token& at(std::size_t index) {
    if (index >= eof_index_) return eof_;
    while (first_ + window_.size() <= index) window_.push_back(scanner_.next());
    return window_[index - first_];
  }
  void discard_before(std::size_t index) {
    while (!window_.empty() && first_ < index) {
      window_.pop_front();
      ++first_;
    }
  }

 private:
  TokenScanner scanner_;
  std::size_t eof_index_;
  std::deque<Token> window_;
  std::size_t first_ = 0;  // index of window_.front()
  Token eof_;
};

// Where the search reads. In the token mode a position is an index into the lexer's stream and
// each position has one token; in the reading mode a position is a byte offset and each
// position has every reading of the text there (the lexer's token first).
class TokenSource {
 public:
  static constexpr bool kReadings = false;
  TokenSource(std::string_view text, const RepairOptions& options)
      : window_(text, options.allow_single_quotes) {}
  [[nodiscard]] std::size_t count() const noexcept { return window_.count(); }
  [[nodiscard]] std::size_t eof() const noexcept { return window_.eof_index(); }
  const Token& plain(std::size_t pos) { return window_.at(pos); }
  static std::size_t plain_next(std::size_t pos) noexcept { return pos + 1; }
  static std::span<const Reading> extra(std::size_t) noexcept { return {}; }
  void discard_before(std::size_t pos) { window_.discard_before(pos); }

 private:
  TokenWindow window_;
};

class ReadingSource {
 public:
  static constexpr bool kReadings = true;
  ReadingSource(std::string_view text, const RepairOptions& options)
      : readings_(text, options) {}
  // Not counted ahead: a reading consumes at least a byte, and the insertions between readings
  // are bounded by the repair budget, so twice the text's length bounds the steps.
  [[nodiscard]] std::size_t count() const noexcept { return readings_.size(); }
  [[nodiscard]] std::size_t eof() const noexcept { return readings_.size(); }
  const Token& plain(std::size_t pos) { return readings_.at(pos).front().token; }
  std::size_t plain_next(std::size_t pos) { return readings_.at(pos).front().next; }
  std::span<const Reading> extra(std::size_t pos) { return readings_.at(pos).subspan(1); }
  void discard_before(std::size_t pos) { readings_.discard_before(pos); }

 private:
  Readings readings_;
};

// ---------------------------------------------------------------------------------------------
// The search

bool is_punct(const Token& t, char c) noexcept {
  return t.kind == TokenKind::Punct && t.text.size() == 1 && t.text[0] == c;
}

Span span_of(const Token& t) noexcept { return Span{t.start, t.end}; }

// The registry's fixed cost of an op in the beam search.
constexpr double cost_of(Op op) { return op_cost(op, Stage::Beam).fixed(); }

RepairAction action_with_span(Origin origin, Op op, double cost, Span span) {
  RepairAction a = RepairAction::make(op, origin, cost);
  a.set_span(span);
  return a;
}

RepairAction action_at(Origin origin, Op op, double cost, std::size_t at,
                       std::optional<std::string_view> token = std::nullopt) {
  RepairAction a = RepairAction::make(op, origin, cost);
  a.set_at(at);
  if (token) a.set_token(*token);
  return a;
}

struct Increments {
  std::size_t inserted = 0;
  std::size_t deleted = 0;
  std::size_t garbage = 0;
};

void add_repair(State& s, RepairAction action, Increments inc = {},
                std::optional<Span> dropped = std::nullopt) {
  s.cost += action.cost_delta;
  s.repair_count += 1;
  s.inserted_tokens += inc.inserted;
  s.deleted_tokens += inc.deleted;
  s.garbage_skipped_bytes += inc.garbage;
  if (action.op() == Op::CloseOpenString) s.close_open_string_count += 1;
  if (action.op() == Op::SynthesizeMissingValue) s.synthesized_values += 1;
  if (dropped) {
    s.dropped_spans.push_back(*dropped);
    s.dropped_bytes += dropped->end > dropped->start ? dropped->end - dropped->start : 0;
  }
  s.repairs.push_back(std::move(action));
}

// How much of the text a state has given up: bytes skipped or cut off, and tokens deleted or
// made up in place of a value, each counting as a short word. Only grows along a path.
std::size_t content_lost(const State& s) noexcept {
  return s.garbage_skipped_bytes + s.dropped_bytes + 8 * (s.deleted_tokens + s.synthesized_values);
}

bool value_position(const State& s) noexcept {
  if (s.stack.empty()) return !s.root_done;
  const Expect e = s.stack.top().expect;
  return e == Expect::Value || e == Expect::ValueOrEnd;
}

bool key_position(const State& s) noexcept {
  if (s.stack.empty()) return false;
  const Frame f = s.stack.top();
  return f.kind == Container::Object && f.expect == Expect::KeyOrEnd;
}

bool top_is(const State& s, Container kind, Expect expect) noexcept {
  if (s.stack.empty()) return false;
  const Frame f = s.stack.top();
  return f.kind == kind && f.expect == expect;
}

bool top_expects(const State& s, Expect expect) noexcept {
  return !s.stack.empty() && s.stack.top().expect == expect;
}

Expect after_comma(Container kind) noexcept {
  return kind == Container::Object ? Expect::KeyOrEnd : Expect::ValueOrEnd;
}

bool array_like(Container kind) noexcept {
  return kind == Container::Array || kind == Container::Tuple;
}

// The enclosing value is complete: the root, or the current member or element.
void value_complete(State& s) {
  if (s.stack.empty()) {
    s.root_done = true;
    return;
  }
  const Frame f = s.stack.top();
  if (((f.kind == Container::Object || f.kind == Container::Call) && f.expect == Expect::Value) ||
      (array_like(f.kind) && f.expect == Expect::ValueOrEnd)) {
    s.stack.set_expect(Expect::CommaOrEnd);
  }
}

// What the strict grammar does with a token, decided before anything is changed so that a
// plain step can update its state in place.
enum class StrictMove : std::uint8_t {
  None,
  Open,
  Close,
  Comma,
  Colon,
  Key,
  BareKey,
  Number,
  Literal,
  StrValue,
  PythonNull,
  BareValue,
};

enum class Alternative : std::uint8_t {
  RemoveTrailingComma,
  InsertComma,
  InsertColon,
  SynthesizeValue,
  InsertCloser,
  SkipGarbage,
  TruncateSuffix,
  DeleteToken,
  // The reading mode's structural readings.
  DropExtraComma,
  ReplaceCloser,
  DropSurplusCloser,
};

template <class Source>
class BeamSearch {
 public:
  BeamSearch(std::string_view text, const RepairOptions& options,
             std::vector<RepairAction> base_repairs, const BeamContext& context, BeamStats& stats)
      : BeamSearch(text, options, std::move(base_repairs), context.base_texts,
                   Origin{Stage::Beam, context.rerun}, stats, context.over_limit) {}

  BeamSearch(std::string_view text, const RepairOptions& options,
             std::vector<RepairAction> base_repairs, const StageTexts* base_texts, Origin origin,
             BeamStats& stats, std::optional<Error>* over_limit)
      : text_(text),
        options_(options),
        origin_(origin),
        tokens_(text, options),
        stats_(stats),
        keys_(options.deterministic_seed, NoteTexts(text, origin, base_texts), stats),
        report_over_limit_(over_limit) {
    stats_.tokens = tokens_.count();
    if (base_repairs.size() > options.max_total_repairs) {
      over_limit_ = repair_limit_error(options.max_total_repairs, Stage::Given, 0);
      return;  // nothing to search
    }
    State initial;
    for (const RepairAction& r : base_repairs) initial.cost += r.cost_delta;
    initial.repairs.adopt(std::move(base_repairs));
    beam_.push_back(std::move(initial));
  }

  std::vector<Candidate> run() {
    const std::size_t limit = std::max(saturating_mul(4, tokens_.count()), std::size_t{64});
    const std::size_t enough = saturating_mul(3, options_.top_k);
    std::size_t steps = 0;
    while (!beam_.empty()) {
      next_.clear();
      for (State& s : beam_) expand(std::move(s));
      beam_.clear();
      stats_.peak_successors = std::max<std::uint64_t>(stats_.peak_successors, next_.size());
      prune();
      ++steps;
      // With top_k 0 every mode stops after its first step, as asked.
      if (steps >= limit || (finished_.size() >= enough && (enough == 0 || !live_state_may_win()))) {
        break;
      }
      forget_passed_tokens();
    }
    stats_.steps = steps;
    stats_.finished = finished_.size();
    std::vector<Candidate> candidates = build_candidates();
    if (candidates.empty() && over_limit_ && report_over_limit_ != nullptr &&
        !*report_over_limit_) {
      *report_over_limit_ = std::move(over_limit_);
    }
    return candidates;
  }

 private:
  // The most repair records the candidates of one search hold together.
  [[nodiscard]] std::size_t result_repairs_bound() const noexcept {
    return saturating_mul(5, static_cast<std::size_t>(options_.max_total_repairs));
  }

  static std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::size_t>::max() : r;
  }

  // A successor whose repairs, base repairs included, went past max_total_repairs is given up:
  // no parse of the document needs it, so no stage goes on growing its repair list. So is one
  // nested deeper than the strict parser accepts, whose text could never become a candidate
  // (a megabyte of "[" would otherwise be read to its end, and again in the reading mode).
  void push_next(State&& s) {
    if (s.stack.depth() > kMaxNestingDepth) return;
    if (s.repairs.size() > options_.max_total_repairs) {
      if (!over_limit_) {
        const RepairAction& last = s.repairs.back();
        const std::uint64_t at = last.span() ? last.span()->start : last.at().value_or(0);
        over_limit_ = repair_limit_error(options_.max_total_repairs, origin_.stage, at);
      }
      return;
    }
    s.hash.reset();
    next_.push_back(std::move(s));
  }

  void expand(State s) {
    ++stats_.states_expanded;
    if (s.pos > tokens_.eof()) return;
    if constexpr (Source::kReadings) expand_readings(s);
    const Token& t = tokens_.plain(s.pos);
    const std::size_t next = tokens_.plain_next(s.pos);
    if (s.root_done && s.stack.empty()) {
      if (t.kind == TokenKind::Eof) {
        finished_.push_back(std::move(s));
        if constexpr (Source::kReadings) keep_best_finished();
        return;
      }
      if (t.kind == TokenKind::Ident || t.kind == TokenKind::Garbage) {
        const std::size_t b = t.end - t.start;
        if (fits_garbage_budget(s, b)) {
          add_repair(
              s,
              action_with_span(origin_, Op::SkipSuffix,
                               op_cost(Op::SkipSuffix, Stage::Beam).for_units(b), span_of(t)),
              {.garbage = b});
          s.pos = next;
          push_next(std::move(s));
        }
        return;
      }
      if constexpr (Source::kReadings) {
        if (is_closer(t) && may_repair(s)) {
          apply_alternative(s, Alternative::DropSurplusCloser, t, next);
          push_next(std::move(s));
          return;
        }
      }
    }
    const StrictMove move = classify(s, t);
    if (move != StrictMove::None) {
      if (!strict_needs_repair(move, t)) {
        apply_strict(s, move, t, next);
        push_next(std::move(s));
        return;
      }
      State successor = s;
      apply_strict(successor, move, t, next);
      push_next(std::move(successor));
    }
    if (!may_repair(s)) return;
    std::array<Alternative, 11> alternatives{};
    const std::size_t n = applicable_alternatives(s, t, alternatives);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 1 == n) {
        apply_alternative(s, alternatives[i], t, next);
        push_next(std::move(s));
      } else {
        State copy = s;
        apply_alternative(copy, alternatives[i], t, next);
        push_next(std::move(copy));
      }
    }
  }

  // The readings of the text at the state's position other than the lexer's token, each taken
  // on a copy of the state when the grammar has room for it and the repair budget allows.
  void expand_readings(const State& s) {
    if (!may_repair(s)) return;
    for (const Reading& r : tokens_.extra(s.pos)) {
      State copy = s;
      if (!take_reading(copy, r)) continue;
      if (r.repair) {
        RepairAction a = *r.repair;
        a.set_origin(origin_);
        add_repair(copy, std::move(a));
      }
      push_next(std::move(copy));
    }
  }

  bool take_reading(State& s, const Reading& r) {
    const bool root_done = s.root_done && s.stack.empty();
    switch (r.shape) {
      case ReadingShape::skip:
        s.pos = r.next;
        return true;
      case ReadingShape::token: {
        if (root_done) return false;
        if (r.place == ReadingPlace::key && !key_position(s)) return false;
        if (r.place == ReadingPlace::value && !value_position(s)) return false;
        const StrictMove move = classify(s, r.token);
        if (move == StrictMove::None) return false;
        apply_strict(s, move, r.token, r.next);
        return true;
      }
      case ReadingShape::tuple_open:
      case ReadingShape::call_open:
        if (root_done || !value_position(s)) return false;
        if (r.shape == ReadingShape::tuple_open) {
          s.out.push_back("[");
          s.stack.push(Container::Tuple, Expect::ValueOrEnd);
        } else {
          s.stack.push(Container::Call, Expect::Value);
        }
        s.pos = r.next;
        return true;
      case ReadingShape::paren_close:
        return close_paren(s, r);
    }
    return false;
  }

  // ")" closes a tuple (dropping a comma before it: a one-element tuple is written ("a",)) or
  // a call whose argument is complete.
  bool close_paren(State& s, const Reading& r) {
    if (s.stack.empty()) return false;
    const Frame top = s.stack.top();
    if (top.kind == Container::Call) {
      if (top.expect != Expect::CommaOrEnd) return false;
    } else if (top.kind == Container::Tuple) {
      if (top.expect == Expect::ValueOrEnd && s.out.back_is(",")) {
        s.out.pop_back();
        add_repair(s, action_at(origin_, Op::RemoveTrailingComma, cost_of(Op::RemoveTrailingComma),
                                r.token.start));
      } else if (top.expect != Expect::CommaOrEnd && top.expect != Expect::ValueOrEnd) {
        return false;
      }
      s.out.push_back("]");
    } else {
      return false;
    }
    s.stack.pop();
    s.pos = r.next;
    value_complete(s);
    return true;
  }

  // The token mode stops once it has enough finished parses. The reading mode prefers the parse
  // that keeps more of the text, so it goes on while a live state could still finish with less
  // lost than the best finished one (loss and cost only grow along a path).
  [[nodiscard]] bool live_state_may_win() const {
    if constexpr (!Source::kReadings) {
      return false;
    } else {
      const State* best = nullptr;
      for (const State& f : finished_) {
        if (best == nullptr || keeps_more(f, *best)) best = &f;
      }
      if (best == nullptr) return !beam_.empty();
      return std::any_of(beam_.begin(), beam_.end(),
                         [&](const State& s) { return keeps_more(s, *best); });
    }
  }

  // The reading mode searches on after it has enough finished parses, and on hostile text a
  // parse finishes at almost every step: only the best few are kept (candidates are taken from
  // at most 3 x top_k of them, de-duplicated by text).
  void keep_best_finished() {
    const std::size_t keep = std::max<std::size_t>(saturating_mul(3, options_.top_k), 1);
    if (finished_.size() < 2 * keep) return;
    std::stable_sort(finished_.begin(), finished_.end(), [&](const State& a, const State& b) {
      const std::size_t la = content_lost(a);
      const std::size_t lb = content_lost(b);
      if (la != lb) return la < lb;
      return keys_.less(a, b);
    });
    finished_.resize(keep);
  }

  // Ordered by what was lost, then by cost.
  static bool keeps_more(const State& a, const State& b) noexcept {
    const std::size_t la = content_lost(a);
    const std::size_t lb = content_lost(b);
    if (la != lb) return la < lb;
    return KeyOrder::compare_cheap(a, b) < 0;
  }

  // A budget of repairs (or deletions). The token mode has it for the whole text; in the reading
  // mode it follows the document: the budget again for every kilobyte read, so a long reply with
  // many slips has room for them all while text that needs a repair at every token (garbage)
  // soon runs out and stops being read.
  [[nodiscard]] std::uint64_t allowance(std::uint64_t budget, const State& s) const noexcept {
    if constexpr (!Source::kReadings) {
      return budget;
    } else {
      const std::uint64_t kilobytes = 1 + s.pos / 1024;
      std::uint64_t total = 0;
      return __builtin_mul_overflow(budget, kilobytes, &total) ? UINT64_MAX : total;
    }
  }

  [[nodiscard]] bool may_repair(const State& s) const noexcept {
    return s.repair_count < allowance(options_.max_repairs, s);
  }

  [[nodiscard]] bool fits_garbage_budget(const State& s, std::size_t bytes) const noexcept {
    return bytes <= options_.max_garbage_skip_bytes - s.garbage_skipped_bytes;
  }

  [[nodiscard]] bool string_acceptable(const State& s, const Token& t) const noexcept {
    return t.closed || s.close_open_string_count < options_.max_close_open_string;
  }

  [[nodiscard]] StrictMove classify(const State& s, const Token& t) const {
    const bool value_pos = value_position(s);
    const bool key_pos = key_position(s);
    switch (t.kind) {
      case TokenKind::Punct:
        return classify_punct(s, t, value_pos);
      case TokenKind::Str:
        if (!key_pos && !value_pos) return StrictMove::None;
        if (!string_acceptable(s, t)) return StrictMove::None;
        return key_pos ? StrictMove::Key : StrictMove::StrValue;
      case TokenKind::Literal:
        if (key_pos) return options_.allow_unquoted_keys ? StrictMove::BareKey : StrictMove::None;
        return value_pos ? StrictMove::Literal : StrictMove::None;
      case TokenKind::Ident:
        if (key_pos) return options_.allow_unquoted_keys ? StrictMove::BareKey : StrictMove::None;
        if (!value_pos) return StrictMove::None;
        if (options_.allow_python_literals && is_python_null(t.text)) return StrictMove::PythonNull;
        return options_.allow_unquoted_values ? StrictMove::BareValue : StrictMove::None;
      case TokenKind::Number:
        if (!value_pos) return StrictMove::None;
        // The reading mode takes only numbers the grammar accepts; "-.5" or "1." go through
        // the reading that says what they mean (the token mode checks its text at the end).
        if constexpr (Source::kReadings) {
          if (!is_json_number(t.text)) return StrictMove::None;
        }
        return StrictMove::Number;
      case TokenKind::Garbage:
      case TokenKind::Eof:
        return StrictMove::None;
    }
    return StrictMove::None;
  }

  static bool is_python_null(std::string_view word) {
    const std::string folded = ascii_lower(word);
    return folded == "none" || folded == "undefined";
  }

  static StrictMove classify_punct(const State& s, const Token& t, bool value_pos) {
    const char c = t.text[0];
    if (c == '{' || c == '[') return value_pos ? StrictMove::Open : StrictMove::None;
    if (s.stack.empty()) return StrictMove::None;
    const Frame top = s.stack.top();
    const bool after_comma = s.out.back_is(",");
    if (c == '}' || c == ']') {
      const Container kind = c == '}' ? Container::Object : Container::Array;
      const Expect open_expect = c == '}' ? Expect::KeyOrEnd : Expect::ValueOrEnd;
      if (top.kind != kind) return StrictMove::None;
      if (top.expect == Expect::CommaOrEnd || (top.expect == open_expect && !after_comma)) {
        return StrictMove::Close;
      }
      return StrictMove::None;
    }
    if (c == ',') return top.expect == Expect::CommaOrEnd ? StrictMove::Comma : StrictMove::None;
    if (c == ':') {
      return top.kind == Container::Object && top.expect == Expect::Colon ? StrictMove::Colon
                                                                          : StrictMove::None;
    }
    return StrictMove::None;
  }

  [[nodiscard]] bool strict_needs_repair(StrictMove move, const Token& t) const noexcept {
    switch (move) {
      case StrictMove::BareKey:
      case StrictMove::PythonNull:
      case StrictMove::BareValue:
        return true;
      case StrictMove::Key:
      case StrictMove::StrValue:
        return !t.closed || (t.quote == '\'' && options_.allow_single_quotes);
      default:
        return false;
    }
  }

  void string_repairs(State& s, const Token& t) const {
    if (t.quote == '\'' && options_.allow_single_quotes) {
      add_repair(s, action_with_span(origin_, Op::ConvertSingleToDoubleQuotes,
                                     cost_of(Op::ConvertSingleToDoubleQuotes), span_of(t)));
    }
    if (!t.closed) {
      add_repair(s, action_at(origin_, Op::CloseOpenString, cost_of(Op::CloseOpenString), t.end));
    }
  }

  void apply_strict(State& s, StrictMove move, const Token& t, std::size_t next) const {
    switch (move) {
      case StrictMove::None:
        return;
      case StrictMove::Open:
        s.out.push_back(t.text);
        if (t.text[0] == '{') {
          s.stack.push(Container::Object, Expect::KeyOrEnd);
        } else {
          s.stack.push(Container::Array, Expect::ValueOrEnd);
        }
        s.pos = next;
        return;
      case StrictMove::Close:
        s.out.push_back(t.text);
        s.stack.pop();
        s.pos = next;
        value_complete(s);
        return;
      case StrictMove::Comma:
        s.out.push_back(",");
        s.stack.set_expect(after_comma(s.stack.top().kind));
        s.pos = next;
        return;
      case StrictMove::Colon:
        s.out.push_back(":");
        s.stack.set_expect(Expect::Value);
        s.pos = next;
        return;
      case StrictMove::Key:
        s.out.push_quoted(t.text);
        s.stack.set_expect(Expect::Colon);
        s.pos = next;
        string_repairs(s, t);
        return;
      case StrictMove::BareKey:
        s.out.push_quoted(t.text);
        s.stack.set_expect(Expect::Colon);
        s.pos = next;
        add_repair(s, action_with_span(origin_, Op::WrapKeyWithQuotes,
                                       cost_of(Op::WrapKeyWithQuotes), span_of(t)));
        return;
      case StrictMove::Number:
      case StrictMove::Literal:  // the lexer already folded a literal to lower case
        s.out.push_back(t.text);
        s.pos = next;
        value_complete(s);
        return;
      case StrictMove::StrValue:
        s.out.push_quoted(t.text);
        s.pos = next;
        value_complete(s);
        string_repairs(s, t);
        return;
      case StrictMove::PythonNull: {
        s.out.push_back("null");
        s.pos = next;
        value_complete(s);
        RepairAction a = action_with_span(origin_, Op::MapPythonLiteral,
                                          cost_of(Op::MapPythonLiteral), span_of(t));
        a.set_word_note(NoteKind::WordToNull);
        add_repair(s, std::move(a));
        return;
      }
      case StrictMove::BareValue:
        s.out.push_quoted(t.text);
        s.pos = next;
        value_complete(s);
        add_repair(s, action_with_span(origin_, Op::WrapValueWithQuotes,
                                       cost_of(Op::WrapValueWithQuotes), span_of(t)));
        return;
    }
  }

  // The alternative rules that apply to `s` at `t`, in rule order.
  std::size_t applicable_alternatives(const State& s, const Token& t,
                                      std::array<Alternative, 11>& out) {
    std::size_t n = 0;
    const bool empty_stack = s.stack.empty();
    const Frame top = empty_stack ? Frame{Container::Object, Expect::KeyOrEnd} : s.stack.top();
    const bool is_eof = t.kind == TokenKind::Eof;
    const bool word = t.kind == TokenKind::Ident || t.kind == TokenKind::Garbage;

    if (s.out.back_is(",") &&
        ((is_punct(t, '}') && top_is(s, Container::Object, Expect::KeyOrEnd)) ||
         (is_punct(t, ']') && top_is(s, Container::Array, Expect::ValueOrEnd)))) {
      out[n++] = Alternative::RemoveTrailingComma;
    }
    if (top_expects(s, Expect::CommaOrEnd) && top.kind != Container::Call &&
        comma_before(top.kind, t)) {
      out[n++] = Alternative::InsertComma;
    }
    // A key left without its colon at the end of the text or before the closing brace (a text
    // cut off after a key) gets one too; a value is then synthesized for it. Closing the object
    // right after the key could only give invalid text.
    if (top_is(s, Container::Object, Expect::Colon) &&
        (t.kind == TokenKind::Str || t.kind == TokenKind::Number || t.kind == TokenKind::Literal ||
         t.kind == TokenKind::Ident || is_punct(t, '{') || is_punct(t, '[') || is_eof ||
         is_punct(t, '}'))) {
      out[n++] = Alternative::InsertColon;
    }
    if (value_position(s) && (is_eof || is_punct(t, ',') || is_punct(t, '}') || is_punct(t, ']'))) {
      out[n++] = Alternative::SynthesizeValue;
    }
    if (is_eof && !empty_stack) out[n++] = Alternative::InsertCloser;
    if constexpr (Source::kReadings) {
      if (extra_comma(s, t)) out[n++] = Alternative::DropExtraComma;
      if (mismatched_closer(s, t)) out[n++] = Alternative::ReplaceCloser;
      if (is_closer(t) && !empty_stack && closer_kind(t) != top.kind) {
        out[n++] = Alternative::DropSurplusCloser;
      }
    }
    if (t.kind == TokenKind::Garbage && fits_garbage_budget(s, t.end - t.start)) {
      out[n++] = Alternative::SkipGarbage;
    }
    if (options_.partial_ok && word && !s.out.empty() && !bare_key_before_colon(s, t)) {
      out[n++] = Alternative::TruncateSuffix;
    }
    if (n == 0 && !is_eof && s.deleted_tokens < allowance(options_.max_deleted_tokens, s)) {
      out[n++] = Alternative::DeleteToken;
    }
    return n;
  }

  // A comma where an element or member was expected: after an opening bracket or another comma.
  static bool extra_comma(const State& s, const Token& t) {
    if (!is_punct(t, ',') || s.stack.empty()) return false;
    const Frame top = s.stack.top();
    return (array_like(top.kind) && top.expect == Expect::ValueOrEnd) ||
           (top.kind == Container::Object && top.expect == Expect::KeyOrEnd);
  }

  // A closer of the other kind where this container could end: "[1, 2}".
  static bool mismatched_closer(const State& s, const Token& t) {
    if (!is_closer(t) || s.stack.empty()) return false;
    const Frame top = s.stack.top();
    const bool may_end =
        top.expect == Expect::CommaOrEnd ||
        ((top.expect == Expect::ValueOrEnd || top.expect == Expect::KeyOrEnd) && !s.out.back_is(","));
    if (!may_end) return false;
    return (is_punct(t, '}') && array_like(top.kind)) ||
           (is_punct(t, ']') && top.kind == Container::Object);
  }

  static bool is_closer(const Token& t) { return is_punct(t, '}') || is_punct(t, ']'); }
  static Container closer_kind(const Token& t) {
    return is_punct(t, '}') ? Container::Object : Container::Array;
  }

  bool bare_key_before_colon(const State& s, const Token& t) {
    if (t.kind != TokenKind::Ident || !key_position(s)) return false;
    return is_punct(tokens_.plain(tokens_.plain_next(s.pos)), ':');
  }

  // What a comma inserted before `t` in a container of this kind goes before (its cost depends on
  // it), if one may go there.
  static std::optional<NextToken> comma_before(Container kind, const Token& t) {
    switch (t.kind) {
      case TokenKind::Str:
        return NextToken::StringOrOpener;
      case TokenKind::Literal:
        return NextToken::NumberOrLiteral;
      case TokenKind::Ident:
        return NextToken::Word;
      case TokenKind::Number:
        if (array_like(kind)) return NextToken::NumberOrLiteral;
        return std::nullopt;
      case TokenKind::Punct:
        if (array_like(kind) && (is_punct(t, '{') || is_punct(t, '['))) {
          return NextToken::StringOrOpener;
        }
        return std::nullopt;
      default:
        return std::nullopt;
    }
  }

  void apply_alternative(State& s, Alternative alternative, const Token& t,
                         std::size_t next) const {
    switch (alternative) {
      case Alternative::RemoveTrailingComma:
        s.out.pop_back();
        s.stack.set_expect(Expect::CommaOrEnd);
        add_repair(s, action_at(origin_, Op::RemoveTrailingComma, cost_of(Op::RemoveTrailingComma),
                                t.start));
        return;
      case Alternative::InsertComma: {
        const Container kind = s.stack.top().kind;
        s.out.push_back(",");
        s.stack.set_expect(after_comma(kind));
        const double cost =
            op_cost(Op::InsertMissingComma, Stage::Beam).before(*comma_before(kind, t));
        add_repair(s, action_at(origin_, Op::InsertMissingComma, cost, t.start, ","),
                   {.inserted = 1});
        return;
      }
      case Alternative::InsertColon:
        s.out.push_back(":");
        s.stack.set_expect(Expect::Value);
        add_repair(s,
                   action_at(origin_, Op::InsertMissingColon, cost_of(Op::InsertMissingColon),
                             t.start, ":"),
                   {.inserted = 1});
        return;
      case Alternative::SynthesizeValue:
        s.out.push_back("null");
        value_complete(s);
        add_repair(s,
                   action_at(origin_, Op::SynthesizeMissingValue,
                             cost_of(Op::SynthesizeMissingValue), t.start, "null"),
                   {.inserted = 1});
        return;
      case Alternative::InsertCloser: {
        if ((top_is(s, Container::Array, Expect::ValueOrEnd) ||
             top_is(s, Container::Object, Expect::KeyOrEnd)) &&
            s.out.back_is(",")) {
          s.out.pop_back();
          s.stack.set_expect(Expect::CommaOrEnd);
          add_repair(s, action_at(origin_, Op::RemoveTrailingComma,
                                  cost_of(Op::RemoveTrailingComma), t.start));
        }
        const Container kind = s.stack.top().kind;
        s.stack.pop();
        if (kind == Container::Call) {  // a wrapper writes nothing of its own
          value_complete(s);
          add_repair(s,
                     action_at(origin_, Op::InsertMissingCloser, cost_of(Op::InsertMissingCloser),
                               t.start, ")"),
                     {.inserted = 1});
          return;
        }
        const std::string_view closer = kind == Container::Object ? "}" : "]";
        s.out.push_back(closer);
        value_complete(s);
        add_repair(s,
                   action_at(origin_, Op::InsertMissingCloser, cost_of(Op::InsertMissingCloser),
                             t.start, closer),
                   {.inserted = 1});
        return;
      }
      case Alternative::DropExtraComma:
        s.pos = next;
        add_repair(s, action_at(origin_, Op::DropExtraComma, cost_of(Op::DropExtraComma), t.start));
        return;
      case Alternative::ReplaceCloser: {
        const std::string_view closer = s.stack.top().kind == Container::Object ? "}" : "]";
        s.out.push_back(closer);
        s.stack.pop();
        s.pos = next;
        value_complete(s);
        add_repair(s, action_at(origin_, Op::ReplaceMismatchedCloser,
                                cost_of(Op::ReplaceMismatchedCloser), t.start, closer));
        return;
      }
      case Alternative::DropSurplusCloser:
        s.pos = next;
        add_repair(s, action_at(origin_, Op::DropSurplusCloser, cost_of(Op::DropSurplusCloser),
                                t.start));
        return;
      case Alternative::SkipGarbage: {
        const std::size_t b = t.end - t.start;
        s.pos = next;
        add_repair(
            s,
            action_with_span(origin_, Op::SkipGarbage,
                             op_cost(Op::SkipGarbage, Stage::Beam).for_units(b), span_of(t)),
            {.garbage = b});
        return;
      }
      case Alternative::TruncateSuffix: {
        const Span dropped{t.start, text_.size()};
        s.pos = tokens_.eof();
        add_repair(
            s,
            action_with_span(origin_, Op::TruncateSuffix,
                             op_cost(Op::TruncateSuffix, Stage::Beam).for_units(text_.size() - t.start),
                             dropped),
            {}, dropped);
        return;
      }
      case Alternative::DeleteToken:
        s.pos = next;
        add_repair(s,
                   action_with_span(origin_, Op::DeleteUnexpectedToken,
                                    cost_of(Op::DeleteUnexpectedToken), span_of(t)),
                   {.deleted = 1});
        return;
    }
  }

  // One state per signature (stack, tail, position, root flag), the one with the smallest key;
  // then the beam_width smallest keys.
  void prune() {
    if (next_.size() <= options_.beam_width && positions_distinct()) {
      // Nothing to merge (a signature includes the position) and nothing to cut: the usual
      // case, a lone successor on well-formed stretches or a few states a token or two apart.
      std::swap(beam_, next_);
      next_.clear();
      return;
    }
    kept_.clear();
    kept_tails_.clear();
    chain_.clear();
    table_.clear();
    for (State& s : next_) {
      Tail tail = s.out.tail();
      const std::uint64_t sig = signature_hash(s, tail);
      auto [it, inserted] = table_.try_emplace(sig, kept_.size());
      if (!inserted) {
        bool merged = false;
        for (std::size_t k = it->second; k != kNone; k = chain_[k]) {
          if (same_signature(kept_[k], kept_tails_[k], s, tail)) {
            if (keys_.less(s, kept_[k])) kept_[k] = std::move(s);
            merged = true;
            break;
          }
        }
        if (merged) continue;
        chain_.push_back(it->second);
        it->second = kept_.size();
      } else {
        chain_.push_back(kNone);
      }
      kept_.push_back(std::move(s));
      kept_tails_.push_back(tail);
    }
    next_.clear();
    select_beam();
  }

  // Whether no two successors stand at the same token; checked only for a handful of states.
  [[nodiscard]] bool positions_distinct() const noexcept {
    constexpr std::size_t kMaxChecked = 8;
    if (next_.size() > kMaxChecked) return false;
    for (std::size_t i = 0; i < next_.size(); ++i) {
      for (std::size_t j = i + 1; j < next_.size(); ++j) {
        if (next_[i].pos == next_[j].pos) return false;
      }
    }
    return true;
  }

  // Only the set of states kept depends on the order here: every later step ranks its states by
  // key again. So the states are ordered by the cheap part of the key, and hashes are computed
  // only for a tie that straddles the beam_width cut.
  void select_beam() {
    order_.resize(kept_.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    auto cheap_less = [&](std::size_t a, std::size_t b) {
      return KeyOrder::compare_cheap(kept_[a], kept_[b]) < 0;
    };
    std::stable_sort(order_.begin(), order_.end(), cheap_less);
    if constexpr (Source::kReadings) cap_lossy_states();
    const std::size_t width = options_.beam_width;
    if (order_.size() > width) {
      if (width > 0) {
        const State& last = kept_[order_[width - 1]];
        auto ties_last = [&](std::size_t i) {
          return KeyOrder::compare_cheap(kept_[order_[i]], last) == 0;
        };
        std::size_t lo = width - 1;
        while (lo > 0 && ties_last(lo - 1)) --lo;
        std::size_t hi = width;
        while (hi < order_.size() && ties_last(hi)) ++hi;
        if (hi > width) {
          std::stable_sort(order_.begin() + static_cast<std::ptrdiff_t>(lo),
                           order_.begin() + static_cast<std::ptrdiff_t>(hi),
                           [&](std::size_t a, std::size_t b) {
                             return keys_.hash(kept_[a]) < keys_.hash(kept_[b]);
                           });
        }
      }
      order_.resize(width);
    }
    beam_.clear();
    beam_.reserve(order_.size());
    for (std::size_t i : order_) beam_.push_back(std::move(kept_[i]));
    kept_.clear();
  }

  // The reading mode wants the reading that keeps the text: of the states that have given up
  // more than the least any state has, only a few stay, the cheapest. Without the cap, every
  // garbage skip beside a good reading would hold a place in the beam for as long as the
  // document lasts.
  void cap_lossy_states() {
    constexpr std::size_t kMaxLossy = 2;
    std::size_t least = std::numeric_limits<std::size_t>::max();
    for (std::size_t i : order_) least = std::min(least, content_lost(kept_[i]));
    std::size_t lossy = 0;
    std::erase_if(order_, [&](std::size_t i) {
      return content_lost(kept_[i]) > least && ++lossy > kMaxLossy;
    });
  }

  static std::uint64_t signature_hash(const State& s, const Tail& tail) noexcept {
    std::uint64_t h = mix64(s.pos ^ (s.root_done ? 0x8000000000000000ULL : 0));
    h = mix64(h ^ s.stack.digest());
    h = mix64(h ^ s.stack.depth());
    Fnv1a tail_hash(0);
    tail_hash.bytes(tail.view());
    return mix64(h ^ tail_hash.value());
  }

  static bool same_signature(const State& a, const Tail& a_tail, const State& b,
                             const Tail& b_tail) {
    return a.pos == b.pos && a.root_done == b.root_done && a_tail == b_tail && a.stack == b.stack;
  }

  void forget_passed_tokens() {
    std::size_t lowest = tokens_.eof();
    for (const State& s : beam_) lowest = std::min(lowest, s.pos);
    tokens_.discard_before(lowest);
  }

  std::vector<Candidate> build_candidates() {
    std::vector<std::size_t> order(finished_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      if constexpr (Source::kReadings) {
        const std::size_t la = content_lost(finished_[a]);
        const std::size_t lb = content_lost(finished_[b]);
        if (la != lb) return la < lb;
      }
      return keys_.less(finished_[a], finished_[b]);
    });
    std::vector<Candidate> candidates;
    std::vector<std::string> accepted;  // the output text of each candidate, for de-duplication
    std::size_t kept_repairs = 0;       // over the candidates so far
    std::unordered_multimap<std::size_t, std::size_t> texts;  // text hash -> candidate index
    for (std::size_t index : order) {
      const State& s = finished_[index];
      const std::string joined = s.out.join();
      const std::string_view text = trim_unicode_space(joined);
      if (text.empty()) continue;
      const std::size_t text_hash = std::hash<std::string_view>{}(text);
      const auto [first, last] = texts.equal_range(text_hash);
      const bool seen = std::any_of(first, last, [&](const auto& entry) {
        return accepted[entry.second] == text;
      });
      if (seen) continue;
      ++stats_.texts_parsed;
      JsonResult parsed = parse_strict_json(text);
      if (!parsed.ok()) continue;
      Candidate c = make_candidate(s, candidates.size(), std::move(parsed).value(), text);
      // Past five candidates' worth of repairs at the limit, later candidates are left out: with
      // top_k and max_repairs both unbounded, thousands of candidates of thousands of repairs each
      // would make a result the square of its text.
      if (!candidates.empty() && kept_repairs + c.repairs.size() > result_repairs_bound()) break;
      kept_repairs += c.repairs.size();
      texts.emplace(text_hash, candidates.size());
      accepted.emplace_back(text);
      candidates.push_back(std::move(c));
      if (candidates.size() >= options_.top_k) break;
    }
    return candidates;
  }

  Candidate make_candidate(const State& s, std::size_t id, JsonValue value,
                           std::string_view text) const {
    Candidate c;
    c.candidate_id = id;
    // The output keeps numbers as they were written (1E2, -0); the candidate's text is the
    // value's compact form, as for every other candidate.
    c.normalized_json = to_compact_string(value, text.size());
    c.value = std::move(value);
    c.confidence = confidence_for_cost(options_.confidence_alpha, s.cost);
    c.cost = s.cost;
    c.repairs = s.repairs.to_vector();
    c.validations.strict_json_parse = true;
    c.diagnostics.garbage_skipped_bytes = s.garbage_skipped_bytes;
    c.diagnostics.deleted_tokens = s.deleted_tokens;
    c.diagnostics.inserted_tokens = s.inserted_tokens;
    c.diagnostics.close_open_string_count = s.close_open_string_count;
    c.diagnostics.beam_width = options_.beam_width;
    c.diagnostics.max_repairs = options_.max_repairs;
    c.dropped_spans = s.dropped_spans.to_vector();
    c.reread = Source::kReadings;
    return c;
  }

  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  std::string_view text_;
  const RepairOptions& options_;
  Origin origin_;  // what this search's repairs carry
  Source tokens_;
  BeamStats& stats_;
  KeyOrder keys_;
  std::vector<State> beam_;
  std::vector<State> next_;
  std::vector<State> finished_;
  // Pruning scratch, kept across steps to reuse its storage.
  std::vector<State> kept_;
  std::vector<Tail> kept_tails_;
  std::vector<std::size_t> chain_;  // next kept state with the same signature hash
  std::unordered_map<std::uint64_t, std::size_t> table_;
  std::vector<std::size_t> order_;
  // The first parse given up at max_total_repairs, reported when no candidate was found.
  std::optional<Error> over_limit_;
  std::optional<Error>* report_over_limit_;
};

}  // namespace

std::vector<Candidate> probabilistic_repair(std::string_view text, const RepairOptions& options,
                                            const std::vector<RepairAction>& base_repairs,
                                            BeamStats& stats) {
  stats = BeamStats{};
  BeamSearch<TokenSource> search(text, options, base_repairs, BeamContext{}, stats);
  return search.run();
}

std::vector<Candidate> probabilistic_repair(std::string_view text, const RepairOptions& options,
                                            const std::vector<RepairAction>& base_repairs,
                                            const BeamContext& context) {
  BeamStats stats;
  BeamSearch<TokenSource> search(text, options, base_repairs, context, stats);
  return search.run();
}

std::vector<Candidate> probabilistic_repair(std::string_view text, const RepairOptions& options,
                                            std::vector<RepairAction>&& base_repairs,
                                            const BeamContext& context) {
  BeamStats stats;
  BeamSearch<TokenSource> search(text, options, std::move(base_repairs), context, stats);
  return search.run();
}

std::vector<Candidate> reading_repair(std::string_view text, const RepairOptions& options,
                                      std::vector<RepairAction> base_repairs, BeamStats& stats) {
  stats = BeamStats{};
  BeamSearch<ReadingSource> search(text, options, std::move(base_repairs), nullptr,
                                   Origin{Stage::Reading, 0}, stats, nullptr);
  return search.run();
}

std::vector<Candidate> reading_repair(std::string_view text, const RepairOptions& options,
                                      std::vector<RepairAction> base_repairs,
                                      const StageTexts* base_texts, std::uint16_t reading,
                                      std::optional<Error>* over_limit) {
  BeamStats stats;
  BeamSearch<ReadingSource> search(text, options, std::move(base_repairs), base_texts,
                                   Origin{Stage::Reading, reading}, stats, over_limit);
  return search.run();
}

}  // namespace velvin
