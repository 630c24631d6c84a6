// The scale pipeline for very large, well-formed documents: finds the root container's
// elements or members, decides whether splitting pays off, parses the pieces on worker threads
// and joins them in document order, into a value tree or a tape. Called by
// parse_root_array_scale_py and by the pipeline's scale route.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "json.hpp"
#include "tape.hpp"
#include "types.hpp"

namespace velvin {

struct SplitPlan {
  std::string mode;  // "NO_SPLIT", "ROOT_ARRAY_ELEMENTS", "ROOT_OBJECT_PAIRS", "NESTED_KEY(k).…"
  std::uint64_t elements = 0;
  double structural_density = 0.0;
  std::uint64_t chunk_count = 1;
};

using ScaleValueResult = Result<std::pair<JsonValue, SplitPlan>, std::string>;
using ScaleTapeResult = Result<std::pair<Tape, SplitPlan>, std::string>;

// Any root; the error is a text such as "strict parse failed: <message> at <position>".
[[nodiscard]] ScaleValueResult parse_root_array_scale(std::string_view bytes,
                                                      const RepairOptions& options);
[[nodiscard]] ScaleTapeResult parse_root_array_scale_tape(std::string_view bytes,
                                                          const RepairOptions& options);

}  // namespace velvin
