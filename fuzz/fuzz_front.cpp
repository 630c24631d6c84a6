// Extraction and heuristic repair on any bytes: the extracted text is the span it claims, the
// heuristic output is valid UTF-8 and equals the output of running every pass without the
// survey that skips passes, and every action's position lies in the text its pass started from.
// A valid document found without the bracket scan is what the scan takes. The split into values
// gives ordered, disjoint spans that each begin a value.
#include <cstdint>
#include <string>
#include <vector>

#include "repair/extract.hpp"
#include "fuzz_common.hpp"
#include "repair/heuristic.hpp"
#include "core/json.hpp"
#include "core/strict.hpp"

namespace {

using velvin::fuzz::check;

bool inside(const velvin::Span& s, std::size_t length) {
  return s.start <= s.end && s.end <= length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velvin::fuzz::ByteReader reader(data, size);
  const velvin::RepairOptions options = velvin::fuzz::switches_from(reader);
  const std::string text = velvin::decode_utf8_lossy(reader.rest());

  const velvin::Extraction e = velvin::extract_json_candidate(text);
  check(inside(e.span, text.size()), "the extraction span lies in the input");
  if (e.method == "brace_scan" || e.method == "no_json_found") {
    check(e.text == text.substr(e.span.start, e.span.end - e.span.start),
          "the extracted text is the span it claims");
  } else {
    check(text.substr(e.span.start, e.span.end - e.span.start).find(e.text) != std::string::npos,
          "the fenced text lies inside its span");
  }
  check(velvin::is_valid_utf8(e.text), "the extracted text is valid UTF-8");
  if (const auto quick = velvin::bracketed_document_extraction(text)) {
    const std::string_view document =
        std::string_view(text).substr(quick->span.start, quick->span.end - quick->span.start);
    if (!velvin::strict_error_position(document)) {
      check(e.method == quick->method && e.span == quick->span && e.repairs.empty() && !e.truncated,
            "a valid bracketed document is what extraction takes");
    }
  }

  std::size_t after_last = 0;
  for (const velvin::Span& s : velvin::split_json_candidates(text)) {
    check(inside(s, text.size()) && s.start < s.end && s.start >= after_last,
          "split spans are ordered, disjoint and not empty");
    check(text[s.start] == '{' || text[s.start] == '[' || text.compare(s.start, 3, "```") == 0,
          "each split span begins a value");
    after_last = s.end;
  }

  const velvin::HeuristicResult h = velvin::heuristic_repair(e.text, options);
  check(velvin::is_valid_utf8(h.text), "the heuristic output is valid UTF-8");
  const velvin::HeuristicResult every = velvin::detail::heuristic_repair_every_pass(e.text, options);
  check(every.text == h.text && every.repairs == h.repairs && every.pass_texts == h.pass_texts,
        "skipping passes with nothing to do changes nothing");
  for (const velvin::RepairAction& a : h.repairs) {
    const velvin::Origin origin = a.origin();
    check(origin.stage == velvin::Stage::Heuristic && origin.step < h.pass_texts.size(),
          "every action names the pass text it indexes");
    const std::size_t indexed = h.pass_texts[origin.step].size();
    if (a.span()) check(inside(*a.span(), indexed), "action spans lie in their pass input");
    if (a.at()) check(*a.at() <= indexed, "action positions lie in their pass input");
  }
  return 0;
}
