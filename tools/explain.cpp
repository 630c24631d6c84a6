#include "explain.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "repair/extract.hpp"
#include "repair/heuristic.hpp"
#include "core/json.hpp"

namespace velvin {
namespace {

// Which text a repair's positions refer to: the input, the text one heuristic pass started
// from (`pass` indexes the trace), or the text the beam search read.
struct Stage {
  enum Kind { input, heuristic, repaired } kind = input;
  std::size_t pass = 0;
  friend bool operator==(const Stage&, const Stage&) = default;
};

std::string stage_name(const Stage& s) {
  switch (s.kind) {
    case Stage::input: return "input";
    case Stage::heuristic: return "heuristic pass " + std::to_string(s.pass + 1);
    case Stage::repaired: return "repaired text";
  }
  return "";
}

struct Marked {
  std::size_t number;  // 1-based, as in the repair table
  const RepairAction* action;
  Stage stage;
};

class Painter {
 public:
  explicit Painter(bool color) : color_(color) {}
  std::string paint(std::string_view text, const char* code) const {
    if (!color_) return std::string(text);
    return std::string("\x1b[") + code + "m" + std::string(text) + "\x1b[0m";
  }
  std::string bold(std::string_view t) const { return paint(t, "1"); }
  std::string dim(std::string_view t) const { return paint(t, "2"); }
  std::string removed(std::string_view t) const { return paint(t, "31"); }
  std::string added(std::string_view t) const { return paint(t, "32"); }
  std::string label(std::string_view t) const { return paint(t, "36"); }

 private:
  bool color_;
};

std::string fixed(double v, int digits) {
  char buf[64];
  // A cost with no repairs is -0.0 (sums start there); people should read 0.00.
  std::snprintf(buf, sizeof buf, "%.*f", digits, v == 0.0 ? 0.0 : v);
  return buf;
}

// Moves `pos` back to the start of the UTF-8 character it falls in.
std::size_t char_start(std::string_view text, std::size_t pos) {
  pos = std::min(pos, text.size());
  while (pos > 0 && pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) --pos;
  return pos;
}

// Text as shown between markers: control characters become visible, lines are indented.
std::string visible(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\u23CE\n    ";
    } else if (c == '\t') {
      out += "\u2192";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += "\u00B7";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// A stripped or replaced span: shown whole when short, else its two ends around an ellipsis.
std::string shortened(std::string_view text, std::size_t keep = 60) {
  if (text.size() <= keep) return visible(text);
  const std::size_t head = char_start(text, keep / 2);
  const std::size_t tail = char_start(text, text.size() - keep / 2);
  return visible(text.substr(0, head)) + " \u2026(" + std::to_string(tail - head) + " bytes)\u2026 " +
         visible(text.substr(tail));
}

// One marker in a text: a span [start, end) or a point (start == end, is_point).
struct Mark {
  std::size_t start, end;
  bool is_point;
  std::size_t number;
};

// The text with its repairs marked: spans as ⟦n …⟧, points as ⟦n⟧. Long texts are shown as
// windows around the marks.
std::string mark_text(std::string_view text, std::vector<Mark> marks, const Painter& p,
                      const ExplainStyle& style, bool spans_removed) {
  std::sort(marks.begin(), marks.end(), [](const Mark& a, const Mark& b) {
    return a.start != b.start ? a.start < b.start : a.number < b.number;
  });
  const bool windows = text.size() > style.full_text_limit;
  constexpr std::size_t kContext = 80;
  std::string out = "    ";
  std::size_t pos = 0;
  // Unmarked text; in windowed mode long stretches keep only their ends next to marks.
  // `mark_follows`: a mark stands right after this stretch (show its end); a mark stands right
  // before it unless it starts the text (show its start).
  auto plain = [&](std::size_t from, std::size_t to, bool mark_follows) {
    if (from >= to) return;
    if (!windows || to - from <= 2 * kContext + 40) {
      out += visible(text.substr(from, to - from));
      return;
    }
    const std::size_t head_end = from == 0 ? from : char_start(text, from + kContext);
    const std::size_t tail_start = mark_follows ? char_start(text, to - kContext) : to;
    out += visible(text.substr(from, head_end - from));
    out += p.dim(" \u2026(" + std::to_string(tail_start - head_end) + " bytes)\u2026 ");
    out += visible(text.substr(tail_start, to - tail_start));
  };
  for (const Mark& m : marks) {
    const std::size_t start = char_start(text, m.start);
    const std::size_t end = char_start(text, std::max(m.end, m.start));
    if (start < pos) {  // overlaps an earlier span: mark the point only
      out += p.added("\u27E6" + std::to_string(m.number) + "\u27E7");
      continue;
    }
    plain(pos, start, true);
    const std::string tag = "\u27E6" + std::to_string(m.number);
    if (m.is_point || end <= start) {
      out += p.added(tag + "\u27E7");
      pos = start;
    } else {
      const std::string body = shortened(text.substr(start, end - start));
      out += p.label(tag + " ") + (spans_removed ? p.removed(body) : p.paint(body, "33")) +
             p.label("\u27E7");
      pos = end;
    }
  }
  plain(pos, text.size(), false);
  if (text.empty()) out += p.dim("(empty)");
  // A final newline already ended the last line: drop the indent of the empty one after it.
  if (out.ends_with("\n    ")) out.resize(out.size() - 4);
  else out += "\n";
  return out;
}

std::vector<Mark> marks_for(const std::vector<Marked>& repairs, const Stage& stage) {
  std::vector<Mark> marks;
  for (const Marked& r : repairs) {
    if (r.stage != stage) continue;
    const RepairAction& a = *r.action;
    if (a.span) {
      marks.push_back({static_cast<std::size_t>(a.span->start), static_cast<std::size_t>(a.span->end),
                       false, r.number});
    } else if (a.at) {
      marks.push_back({static_cast<std::size_t>(*a.at), static_cast<std::size_t>(*a.at), true,
                       r.number});
    }
  }
  return marks;
}

std::string where(const RepairAction& a) {
  if (a.span) return "bytes " + std::to_string(a.span->start) + ".." + std::to_string(a.span->end);
  if (a.at) return "at byte " + std::to_string(*a.at);
  return "whole text";
}

std::string status_line(const RepairResult& r) {
  if (r.status == "strict_ok") return "strict_ok \u2014 valid JSON as given";
  if (r.status == "repaired") return "repaired \u2014 valid JSON after the repairs below";
  if (r.status == "partial") {
    return "partial \u2014 the input was cut short or part of it was dropped; the value is the "
           "best completion";
  }
  return "failed \u2014 no JSON value could be made of the input";
}

std::string mode_line(const std::string& mode) {
  if (mode == "strict") return "strict parse of the extracted text";
  if (mode == "fast_repair") return "heuristic repair, then a strict parse";
  if (mode == "probabilistic") return "beam search over token repairs";
  if (mode == "auto_scale" || mode == "scale_pipeline") return "parallel parse of a large document";
  return mode;
}

std::string truncate_line(std::string text, std::size_t max = 160) {
  if (text.size() <= max) return text;
  return text.substr(0, char_start(text, max)) + "\u2026";
}

}  // namespace

std::string explain_result(std::string_view name, std::string_view input, const RepairResult& result,
                           const RepairOptions& options, const ExplainStyle& style) {
  const Painter p(style.color);
  std::string out = p.bold("\u2501\u2501 " + std::string(name) + " \u2501\u2501") + "\n";
  const Candidate* best =
      result.best_index && *result.best_index < result.candidates.size()
          ? &result.candidates[*result.best_index]
          : nullptr;

  out += p.label("status      ") + status_line(result) + "\n";
  out += p.label("method      ") + mode_line(result.metrics.mode_used) + " (mode " +
         result.metrics.mode_used + ", " + std::to_string(static_cast<std::uint64_t>(result.metrics.elapsed_ms)) +
         " ms)\n";
  if (best != nullptr) {
    out += p.label("confidence  ") + fixed(best->confidence, 4) + "  (cost " + fixed(best->cost, 2) +
           ", candidate 1 of " + std::to_string(result.candidates.size()) + ")\n";
  }
  const InputStats& stats = result.input_stats;
  out += p.label("JSON found  ") + "bytes " + std::to_string(stats.extracted_span.start) + ".." +
         std::to_string(stats.extracted_span.end) + " of " + std::to_string(stats.input_bytes) + "\n";
  for (const ParseError& e : result.errors) {
    out += p.label("error       ") + p.removed(e.kind) + ": " + e.message.value_or("") +
           (e.at ? " at byte " + std::to_string(*e.at) + " of the last text parsed" : "") + "\n";
  }

  // The stage texts the repairs refer to, made again by the same deterministic stages.
  const std::string decoded = decode_utf8_lossy(input);
  const Extraction extraction = extract_json_candidate(decoded);
  std::vector<HeuristicPassTrace> passes;
  const HeuristicResult heuristic = heuristic_repair_traced(extraction.text, options, passes);
  const std::vector<RepairAction> none;
  const std::vector<RepairAction>& repairs = best != nullptr ? best->repairs : none;
  const std::size_t n_extract = std::min(extraction.repairs.size(), repairs.size());
  const bool used_heuristic = result.metrics.mode_used == "fast_repair" ||
                              result.metrics.mode_used == "probabilistic";
  const std::size_t n_heuristic =
      used_heuristic ? std::min(heuristic.repairs.size(), repairs.size() - n_extract) : 0;

  std::vector<Marked> marked;
  std::size_t pass = 0;
  for (std::size_t i = 0; i < repairs.size(); ++i) {
    Stage stage;
    if (i >= n_extract + n_heuristic) {
      stage.kind = Stage::repaired;
    } else if (i >= n_extract) {
      const std::size_t h = i - n_extract;  // index among the heuristic actions
      while (pass + 1 < passes.size() &&
             h >= passes[pass].first_action + passes[pass].action_count) {
        ++pass;
      }
      stage = {Stage::heuristic, pass};
    }
    marked.push_back({i + 1, &repairs[i], stage});
  }

  out += "\n" + p.bold("input") +
         p.dim(" (\u27E6n \u2026\u27E7 spans and \u27E6n\u27E7 points are repair n below)") + "\n";
  out += mark_text(decoded, marks_for(marked, Stage{}), p, style, true);
  for (std::size_t k = 0; k < passes.size() && n_heuristic > 0; ++k) {
    const Stage stage{Stage::heuristic, k};
    std::vector<Mark> marks = marks_for(marked, stage);
    if (marks.empty() && passes[k].action_count == 0) continue;
    std::string ops;
    for (std::size_t a = 0; a < passes[k].action_count && a < 1; ++a) {
      ops = heuristic.repairs[passes[k].first_action + a].op;
    }
    out += "\n" + p.bold(stage_name(stage)) + p.dim(" (" + ops + ", on the text it started from)") + "\n";
    out += mark_text(passes[k].input, std::move(marks), p, style, false);
  }
  if (repairs.size() > n_extract + n_heuristic) {
    out += "\n" + p.bold("repaired text") + p.dim(" (what the beam search read; its repairs)") + "\n";
    out += mark_text(heuristic.text, marks_for(marked, Stage{Stage::repaired, 0}), p, style, false);
  }

  out += "\n" + p.bold("repairs") + "\n";
  if (marked.empty()) out += "    " + p.dim("none") + "\n";
  for (const Marked& m : marked) {
    const RepairAction& a = *m.action;
    std::string number = std::to_string(m.number) + ".";
    number.insert(0, number.size() < 4 ? 4 - number.size() : 0, ' ');
    std::string line = p.bold(number) + " " + a.op;
    line += std::string(a.op.size() < 26 ? 26 - a.op.size() : 1, ' ');
    line += "+" + fixed(a.cost_delta, 2) + "  " + stage_name(m.stage) + ", " + where(a);
    if (a.token) line += ", inserted " + quote_json_string(*a.token);
    if (a.note) line += "  (" + *a.note + ")";
    out += line + "\n";
  }
  if (!marked.empty() && best != nullptr) {
    out += std::string(32, ' ') + "= " + fixed(best->cost, 2) + " total, confidence exp(-" +
           fixed(options.confidence_alpha, 2) + " \u00D7 cost) = " + fixed(best->confidence, 4) + "\n";
  }

  out += "\n" + p.bold("value") + "\n";
  if (best == nullptr) {
    out += "    " + p.dim("none") + "\n";
  } else {
    const std::string text = best->value ? to_compact_string(*best->value)
                                         : (best->ir ? to_compact_string(*best->ir) : "null");
    out += "    " + p.added(truncate_line(text, 2000)) + "\n";
    if (!best->dropped_spans.empty()) {
      out += "    " + p.dim("left out of the input:");
      for (const Span& s : best->dropped_spans) {
        out += " " + std::to_string(s.start) + ".." + std::to_string(s.end);
      }
      out += "\n";
    }
  }
  if (result.candidates.size() > 1) {
    out += "\n" + p.bold("other candidates") + "\n";
    for (std::size_t i = 1; i < result.candidates.size(); ++i) {
      const Candidate& c = result.candidates[i];
      out += "  " + std::to_string(i + 1) + ". " + fixed(c.confidence, 4) + "  " +
             truncate_line(c.normalized_json.value_or("null")) + "\n";
    }
  }
  return out;
}

}  // namespace velvin
