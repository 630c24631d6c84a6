#include "repair/explain.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace velvin {
namespace {

// The text a repair's offsets index, named for people: the input, the text a heuristic pass
// started from, the text the beam search read, a language model's patched text, or what the
// reading mode read (the extracted text, or the document decoded from its escaped form).
std::string stage_name(Origin origin) {
  switch (origin.stage) {
    case Stage::Extraction: return "input";
    case Stage::Heuristic: return "heuristic pass " + std::to_string(origin.step + 1);
    case Stage::Beam:
      if (origin.step == 0) return "repaired text";
      return "patched text " + std::to_string(origin.step);
    case Stage::LanguageModel: return "language-model patch " + std::to_string(origin.step);
    case Stage::Reading:
      if (origin.step == 0) return "extracted text";
      return origin.step == 1 ? "decoded document" : "text from the JSON to the end";
    case Stage::Given: return "given";
  }
  return "";
}

struct Marked {
  std::size_t number;  // 1-based, as in the repair table
  const RepairAction* action;
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

// The marks of the repairs whose offsets index the text of `origin`.
std::vector<Mark> marks_for(const std::vector<Marked>& repairs, Origin origin) {
  std::vector<Mark> marks;
  for (const Marked& r : repairs) {
    if (r.action->origin() != origin) continue;
    if (const std::optional<Span> span = r.action->span()) {
      marks.push_back({static_cast<std::size_t>(span->start), static_cast<std::size_t>(span->end),
                       false, r.number});
    } else if (const std::optional<std::uint64_t> at = r.action->at()) {
      marks.push_back({static_cast<std::size_t>(*at), static_cast<std::size_t>(*at), true,
                       r.number});
    }
  }
  return marks;
}

// The first of the repairs made at `origin`, or nullptr.
const RepairAction* first_made_at(const std::vector<Marked>& repairs, Origin origin) {
  for (const Marked& r : repairs) {
    if (r.action->origin() == origin) return r.action;
  }
  return nullptr;
}

std::string where(const RepairAction& a) {
  if (const std::optional<Span> span = a.span()) {
    return "bytes " + std::to_string(span->start) + ".." + std::to_string(span->end);
  }
  if (const std::optional<std::uint64_t> at = a.at()) return "at byte " + std::to_string(*at);
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

std::string mode_line(const std::string& mode, const Candidate* best) {
  if (mode == "strict") return "strict parse of the extracted text";
  if (mode == "fast_repair") return "heuristic repair, then a strict parse";
  if (mode == "probabilistic" && best != nullptr && best->reread) {
    return "the text read again for what the model meant (the beam search's reading mode)";
  }
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
  out += p.label("method      ") + mode_line(result.metrics.mode_used, best) + " (mode " +
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

  // Each repair says which text its offsets index; the input is decoded here as the pipeline
  // decoded it, the other texts come with the result.
  const std::string decoded = decode_utf8_lossy(input);
  const StageTexts& texts = result.texts;
  const std::vector<RepairAction> none;
  const std::vector<RepairAction>& repairs = best != nullptr ? best->repairs : none;
  std::vector<Marked> marked;
  for (std::size_t i = 0; i < repairs.size(); ++i) marked.push_back({i + 1, &repairs[i]});

  out += "\n" + p.bold("input") +
         p.dim(" (\u27E6n \u2026\u27E7 spans and \u27E6n\u27E7 points are repair n below)") + "\n";
  out += mark_text(decoded, marks_for(marked, Origin{Stage::Extraction}), p, style, true);
  for (std::size_t k = 0; k < texts.heuristic.size(); ++k) {
    const Origin pass{Stage::Heuristic, static_cast<std::uint16_t>(k)};
    const RepairAction* first = first_made_at(marked, pass);
    if (first == nullptr) continue;  // a pass that only changed letter case
    out += "\n" + p.bold(stage_name(pass)) +
           p.dim(" (" + std::string(first->op_word()) + ", on the text it started from)") + "\n";
    out += mark_text(texts.heuristic[k], marks_for(marked, pass), p, style, false);
  }
  for (std::size_t r = 0; r <= texts.reruns.size(); ++r) {
    const Origin search{Stage::Beam, static_cast<std::uint16_t>(r)};
    if (first_made_at(marked, search) == nullptr) continue;
    const char* what = r == 0 ? " (what the beam search read; its repairs)"
                              : " (what the beam search read after the language model's patch)";
    out += "\n" + p.bold(stage_name(search)) + p.dim(what) + "\n";
    out += mark_text(texts.text_of(search), marks_for(marked, search), p, style, false);
  }

  for (std::size_t k = 0; k < texts.readings.size(); ++k) {
    const Origin reading{Stage::Reading, static_cast<std::uint16_t>(k)};
    if (texts.readings[k].empty()) continue;
    if (first_made_at(marked, reading) == nullptr) continue;
    out += "\n" + p.bold(stage_name(reading)) +
           p.dim(" (read again, reading what the model meant; its repairs)") + "\n";
    out += mark_text(texts.readings[k], marks_for(marked, reading), p, style, false);
  }

  out += "\n" + p.bold("repairs") + "\n";
  if (marked.empty()) out += "    " + p.dim("none") + "\n";
  for (const Marked& m : marked) {
    const RepairAction& a = *m.action;
    std::string number = std::to_string(m.number) + ".";
    number.insert(0, number.size() < 4 ? 4 - number.size() : 0, ' ');
    const std::string_view op = a.op_word();
    std::string line = p.bold(number) + " " + std::string(op);
    line += std::string(op.size() < 26 ? 26 - op.size() : 1, ' ');
    line += "+" + fixed(a.cost_delta, 2) + "  " + stage_name(a.origin()) + ", " + where(a);
    if (const std::optional<std::string_view> token = a.token()) {
      line += ", inserted " + quote_json_string(*token);
    }
    if (const std::optional<std::string> note = a.note(texts.text_of(a.origin()))) {
      line += "  (" + *note + ")";
    }
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
