// The Python shapes of the repair records: the repair and candidate dicts of preprocess_py and
// probabilistic_repair_py (spans as tuples; parse_py renders its result document in the core
// instead), the base repairs read back from Python, and the split plan of the scale entry point.
#pragma once

#include "support.hpp"

#include <span>
#include <vector>

#include "core/records.hpp"
#include "repair/extract.hpp"
#include "repair/heuristic.hpp"
#include "scale/scale.hpp"

namespace velvin::py {

PyObject* span_tuple(const Span& span);
PyObject* optional_uint(const std::optional<std::uint64_t>& v);
// Spans of repair dicts: tuples in preprocess_py and probabilistic_repair_py, lists in the result
// document of parse_py.
enum class SpanForm { Tuple, List };

// One list of the repairs of `first` followed by those of `second`; `texts` are what their
// offsets index, for the notes built from them.
PyObject* repairs_to_py(const StageTexts& texts, std::span<const RepairAction> first,
                        std::span<const RepairAction> second, SpanForm span_form);

// The result document of parse_py. The core renders it, except that each candidate's repairs
// convert straight from their compact records: a flood of repairs would otherwise exist once
// more, as value trees, in between.
PyObject* result_to_py(RepairResult&& result);
PyObject* candidates_to_py(const std::vector<Candidate>& candidates, const StageTexts& texts);
// A (start, end) tuple of two unsigned integers; false with the exception set otherwise.
bool read_span_tuple(PyObject* value, std::optional<Span>& out);
// The base repairs of probabilistic_repair_py (`list` may be nullptr: none).
std::optional<std::vector<RepairAction>> repairs_from_py(PyObject* list);
PyObject* preprocess_to_py(const Extraction& extraction, HeuristicResult&& repaired,
                           const std::optional<std::uint64_t>& error_pos);
PyObject* split_plan_to_py(const SplitPlan& plan);

}  // namespace velvin::py
