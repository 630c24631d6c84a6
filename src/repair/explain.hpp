// The explanation of one repair run for a person: the input with each repair marked where it
// happened (on the text its offsets index), the repairs with their costs, the status, the
// confidence and the value. Takes the raw input and its RepairResult, re-runs nothing; returns
// the text. Called by the velvin tool's --explain.
#pragma once

#include <string>
#include <string_view>

#include "core/records.hpp"

namespace velvin {

struct ExplainStyle {
  bool color = false;           // ANSI colors (the output is a terminal)
  std::size_t full_text_limit = 4000;  // longer texts are shown as windows around the repairs
};

// `input`: the raw bytes the result was made from; `options`: those of the run (the confidence
// law is shown with its alpha); `name` heads the text.
[[nodiscard]] std::string explain_result(std::string_view name, std::string_view input,
                                         const RepairResult& result, const RepairOptions& options,
                                         const ExplainStyle& style);

}  // namespace velvin
