// The tape: a flat, document-order sequence of fixed-size entries (one per scalar, string, key
// and bracket) pointing back into the input by absolute offset, with container starts linked to
// their ends. The strict tape parser validates without building values or decoding strings.
// Produced by the scale pipeline's tape path; rendered into the result document's "ir".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.hpp"
#include "types.hpp"

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

struct TapeEntry {
  TapeEntryKind kind = TapeEntryKind::Null;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t payload = 0;
  friend bool operator==(const TapeEntry&, const TapeEntry&) = default;
};

struct Tape {
  std::vector<TapeEntry> entries;
  std::uint64_t root_index = 0;
  Span data_span;

  // {"root_index", "data_span", "entry_count"} and, with include_entries, "entries" (at most
  // max_entries of them) and "entries_truncated".
  [[nodiscard]] JsonValue to_json_value(bool include_entries, std::size_t max_entries) const;
};

struct TapeError {
  std::string message;
  std::uint64_t pos = 0;
  friend bool operator==(const TapeError&, const TapeError&) = default;
};

}  // namespace velvin
