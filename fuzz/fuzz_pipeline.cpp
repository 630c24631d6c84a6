// The repair pipeline never fails on any bytes and every candidate is what it claims: its
// compact text parses strictly and is the compact form of its value, confidences lie in (0, 1],
// ids run 0..n-1, the extraction's spans lie inside the decoded input and dropped spans inside
// the text the beam search read; a valid document comes out as its own value.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "repair/extract.hpp"
#include "fuzz_common.hpp"
#include "repair/heuristic.hpp"
#include "core/json.hpp"
#include "repair/pipeline.hpp"
#include "core/strict.hpp"

namespace {

using velvin::fuzz::check;

velvin::RepairOptions options_from(velvin::fuzz::ByteReader& in) {
  velvin::RepairOptions o = velvin::fuzz::switches_from(in);
  const std::uint8_t flags = in.byte();
  o.partial_ok = flags & 1;
  if (flags & 2) o.max_total_repairs = flags >> 2;  // the repair limit's path, 0..63 repairs
  o.top_k = in.byte() % 8;
  o.beam_width = 1 + in.byte() % 32;
  o.max_repairs = in.byte() % 24;
  o.max_deleted_tokens = in.byte() % 5;
  o.max_close_open_string = in.byte() % 3;
  o.parallel_threshold_bytes = 64;  // the automatic scale route runs too
  o.parallel_workers = 2;
  return o;
}

std::size_t longest_reading(const velvin::StageTexts& texts) {
  std::size_t longest = 0;
  for (const std::string& t : texts.readings) longest = std::max(longest, t.size());
  return longest;
}

// The extraction repairs a candidate starts from: a reading of the text to its end (the reading
// mode's answer to a bracket scan that stopped early) keeps all but the cut-off suffix.
std::vector<velvin::RepairAction> base_repairs_of(const velvin::Candidate& c,
                                                  const std::vector<velvin::RepairAction>& all) {
  const auto is_suffix = [](const velvin::RepairAction& a) {
    return a.op() == velvin::Op::StripSuffixText;
  };
  const bool to_the_end =
      c.reread && std::none_of(c.repairs.begin(), c.repairs.end(), is_suffix) &&
      std::any_of(all.begin(), all.end(), is_suffix);
  if (!to_the_end) return all;
  std::vector<velvin::RepairAction> kept;
  std::copy_if(all.begin(), all.end(), std::back_inserter(kept),
               [&](const velvin::RepairAction& a) { return !is_suffix(a); });
  return kept;
}

bool inside(const velvin::Span& s, std::size_t length) {
  return s.start <= s.end && s.end <= length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velvin::fuzz::ByteReader reader(data, size);
  const velvin::RepairOptions options = options_from(reader);
  const std::string_view input = reader.rest();
  const velvin::RepairResult r = velvin::parse_bytes(input, options);

  const bool failed = r.status == "failed";
  check(failed == r.candidates.empty(), "a failed result has no candidate, others have some");
  check(failed != r.best_index.has_value(), "best_index is set exactly on success");
  check(!failed || !r.errors.empty(), "a failed result carries an error");
  for (const velvin::ParseError& e : r.errors) {
    if (e.kind != velvin::kRepairLimitKind) continue;
    check(failed, "a document past the repair limit fails");
    check(options.max_total_repairs < 100000, "only a document past the limit fails on it");
  }
  if (!failed) {
    for (const velvin::Candidate& c : r.candidates) {
      check(c.repairs.size() <= options.max_total_repairs, "no candidate carries more repairs than the limit");
    }
  }
  for (std::size_t i = 0; i < r.candidates.size(); ++i) {
    const velvin::Candidate& c = r.candidates[i];
    check(c.candidate_id == i, "candidate ids run 0..n-1");
    check(c.confidence > 0.0 && c.confidence <= 1.0, "confidence lies in (0, 1]");
    check(c.value.has_value() || c.ir.has_value(), "a candidate carries a value or a tape");
    if (c.normalized_json) {
      const velvin::JsonResult parsed = velvin::strict_parse(*c.normalized_json);
      check(parsed.ok(), "normalized_json parses strictly");
      check(c.value.has_value() && *c.normalized_json == velvin::to_compact_string(*c.value),
            "normalized_json is the compact form of the value");
    }
  }
  if (velvin::is_valid_utf8(input)) {
    const velvin::JsonResult whole = velvin::strict_parse(input);
    if (whole.ok()) {
      check(r.status == "strict_ok", "a valid document is strict_ok");
      check(r.candidates.size() == 1 && r.candidates[0].value == whole.value(),
            "a valid document is read as itself");
    }
  }
  if (r.metrics.mode_used == "auto_scale") return 0;  // the scale route reads the raw bytes

  const std::string decoded = velvin::decode_utf8_lossy(input);
  check(inside(r.input_stats.extracted_span, decoded.size()), "the extracted span lies in the input");
  const velvin::Extraction extraction = velvin::extract_json_candidate(decoded);
  for (const auto& a : extraction.repairs) {
    check(a.span() && inside(*a.span(), decoded.size()), "extraction spans lie in the input");
  }
  const velvin::HeuristicResult heuristic = velvin::heuristic_repair(extraction.text, options);
  for (const velvin::Candidate& c : r.candidates) {
    const std::vector<velvin::RepairAction> base = base_repairs_of(c, extraction.repairs);
    for (std::size_t i = 0; i < base.size() && i < c.repairs.size(); ++i) {
      check(c.repairs[i] == base[i], "candidates begin with the extraction repairs");
    }
    for (const velvin::RepairAction& a : c.repairs) {
      // Each repair's offsets lie in the text it says they index.
      const velvin::Origin origin = a.origin();
      const std::size_t indexed = origin.stage == velvin::Stage::Extraction
                                      ? decoded.size()
                                      : r.texts.text_of(origin).size();
      check(origin.stage != velvin::Stage::Given, "every repair names its stage");
      if (a.span()) check(inside(*a.span(), indexed), "repair spans lie in the text they index");
      if (a.at()) check(*a.at() <= indexed, "repair positions lie in the text they index");
    }
    // A candidate of the reading mode dropped spans of the text that reading read.
    const std::size_t read = c.reread ? longest_reading(r.texts) : heuristic.text.size();
    for (const velvin::Span& s : c.dropped_spans) {
      check(inside(s, read), "dropped spans lie in the text the beam read");
    }
  }
  return 0;
}
