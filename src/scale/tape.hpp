// The tape: a flat, document-order sequence of fixed-size entries (one per scalar, string, key
// and bracket) pointing back into the input by absolute offset, with container starts linked to
// their ends. The strict tape parser validates without building values or decoding strings.
// Produced by the scale pipeline's tape path; rendered into the result document's "ir".
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "core/records.hpp"

namespace velvin {

enum class TapeEntryKind : std::uint8_t {
  Null,
  True,
  False,
  NumberI64,
  NumberU64,
  NumberF64,
  String,
  ObjectStart,
  ObjectEnd,
  ArrayStart,
  ArrayEnd,
};

// "null", "true", "false", "number_i64", "number_u64", "number_f64", "string", "object_start",
// "object_end", "array_start", "array_end".
[[nodiscard]] std::string_view tape_entry_kind_name(TapeEntryKind kind) noexcept;

// 25 bytes, packed: a tape holds several entries per input byte of dense JSON, so the 7 bytes
// of padding a naturally aligned layout would add are 22% of the tape. The 64-bit fields are
// read unaligned, which costs nothing on the platforms we build for.
//   offset  - absolute byte offset of the token in the whole input
//   length  - input bytes the token covers (strings: both quotes included)
//   payload - numbers: the value's bits (i64 two's complement, u64, f64 bit pattern);
//             ObjectStart/ArrayStart: index of the matching end entry; otherwise 0
// Trivially default-constructible (no member initialisers) so that a buffer of entries can be
// sized without writing it: write `TapeEntry{}` for a zeroed entry.
struct [[gnu::packed]] TapeEntry {
  TapeEntryKind kind;
  std::uint64_t offset;
  std::uint64_t length;
  std::uint64_t payload;
  friend bool operator==(const TapeEntry&, const TapeEntry&) = default;
};
static_assert(sizeof(TapeEntry) == 25, "tape entries are packed");
static_assert(std::is_trivially_default_constructible_v<TapeEntry>);

// Raw memory for TapeAllocator; `bytes` must be the same in both calls.
[[nodiscard]] void* allocate_tape_memory(std::size_t bytes);
void deallocate_tape_memory(void* p, std::size_t bytes) noexcept;

// The allocator of entry buffers. A tape is written once into fresh memory, and on large tapes
// first-touch page faults cost as much as the parse itself, so buffers of several megabytes
// are placed on 2 MiB boundaries and the kernel is asked for transparent huge pages (where it
// offers them). `construct` without arguments default-initialises, so resize() grows a buffer
// without writing it: new entries are indeterminate until assigned.
template <typename T>
struct TapeAllocator {
  using value_type = T;
  TapeAllocator() noexcept = default;
  template <typename U>
  TapeAllocator(const TapeAllocator<U>&) noexcept {}  // NOLINT: implicit by design

  [[nodiscard]] T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_tape_memory(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { deallocate_tape_memory(p, n * sizeof(T)); }

  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const TapeAllocator&, const TapeAllocator&) noexcept { return true; }
};

using TapeEntries = std::vector<TapeEntry, TapeAllocator<TapeEntry>>;

struct Tape {
  TapeEntries entries;
  std::uint64_t root_index = 0;
  Span data_span;  // absolute input range the tape covers

  // {"root_index", "data_span", "entry_count"} and, with include_entries, "entries" (at most
  // max_entries of them) and "entries_truncated".
  [[nodiscard]] JsonValue to_json_value(bool include_entries, std::size_t max_entries) const;
};

// A tape-parse failure: one of the fixed messages (code invalid_json, nesting_too_deep or
// tape_window_overflow) at an absolute position, the slice's base plus the index within it.
using TapeError = Error;

using TapeResult = Result<Tape, TapeError>;
using TapeEntriesResult = Result<TapeEntries, TapeError>;

// One JSON value with optional white space around it, from a slice of the input that starts at
// absolute offset `base`. `outer_depth` is the number of containers that enclose the slice in
// the whole document: opening a container deeper than kMaxNestingDepth fails with "nesting too
// deep" at its bracket, exactly where the strict parser of the whole document would.
[[nodiscard]] TapeResult parse_strict_tape(std::string_view bytes, std::uint64_t base,
                                           std::size_t outer_depth = 0);

// One object member (key string, ':', value) with optional white space around each part: the
// key's String entry followed by the value's entries. A member sits inside its object, so the
// default depth is that of a root object's members.
[[nodiscard]] TapeEntriesResult parse_object_pair_segment(std::string_view bytes,
                                                          std::uint64_t base,
                                                          std::size_t outer_depth = 1);

// The same two parses appending to `entries`, whose existing entries are kept; container links
// are indices into `entries`. On failure `entries` is restored to its previous length. These
// let the scale pipeline parse many pieces into one vector without an allocation per piece.
[[nodiscard]] std::optional<TapeError> append_strict_tape(std::string_view bytes,
                                                          std::uint64_t base,
                                                          std::size_t outer_depth,
                                                          TapeEntries& entries);
[[nodiscard]] std::optional<TapeError> append_object_pair_segment(std::string_view bytes,
                                                                  std::uint64_t base,
                                                                  std::size_t outer_depth,
                                                                  TapeEntries& entries);

// Window forms for pieces that are parsed in parallel into one shared vector: the entries go to
// entries[first, limit) of a vector already sized past `limit`, with container links as indices
// into that vector; on success the index after the last entry written is returned. A window too
// small for the slice fails with the code tape_window_overflow (the window was sized from a
// lexical count of the slice, which only an invalid slice can exceed).
[[nodiscard]] Result<std::size_t, TapeError> write_strict_tape(std::string_view bytes,
                                                              std::uint64_t base,
                                                              std::size_t outer_depth,
                                                              TapeEntries& entries,
                                                              std::size_t first,
                                                              std::size_t limit);
[[nodiscard]] Result<std::size_t, TapeError> write_object_pair_segment(
    std::string_view bytes, std::uint64_t base, std::size_t outer_depth, TapeEntries& entries,
    std::size_t first, std::size_t limit);

}  // namespace velvin
