#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "repair/beam.hpp"
#include "core/json.hpp"
#include "repair/lexer.hpp"

namespace velvin {
namespace {

// ---------------------------------------------------------------------------------------------
// The plain search, written as literally as possible: every successor is a full copy, every
// state gets its prune key eagerly, every beam is fully sorted. The real search shares
// histories and hashes lazily; both must give identical candidates.

// The registry's costs of the beam's ops.
double fixed_cost(Op op) { return op_cost(op, Stage::Beam).fixed(); }
double per_unit_cost(Op op, std::uint64_t units) { return op_cost(op, Stage::Beam).for_units(units); }
// What a candidate made by these fixed-cost ops costs, in order.
double cost_of(std::initializer_list<Op> ops) {
  double total = 0.0;
  for (Op op : ops) total += fixed_cost(op);
  return total;
}

namespace plain {

enum Kind { kObject = 0, kArray = 1 };
enum Expect { kKeyOrEnd = 0, kColon = 1, kValue = 2, kValueOrEnd = 3, kCommaOrEnd = 4 };

struct Frame {
  int kind;
  int expect;
};

struct State {
  std::vector<Frame> stack;
  std::vector<std::string> out;
  std::vector<RepairAction> repairs;
  std::vector<Span> dropped_spans;
  std::size_t pos = 0;
  double cost = 0.0;
  std::size_t repair_count = 0, garbage = 0, deleted = 0, inserted = 0, closed_strings = 0;
  bool root_done = false;
};

struct Key {
  double cost;
  std::size_t repair_count;
  std::size_t pos;
  std::uint64_t hash;
};

bool key_less(const Key& a, const Key& b) {
  auto order = [](double d) {
    auto bits = std::bit_cast<std::int64_t>(d);
    return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
  };
  if (order(a.cost) != order(b.cost)) return order(a.cost) < order(b.cost);
  if (a.repair_count != b.repair_count) return a.repair_count < b.repair_count;
  if (a.pos != b.pos) return a.pos < b.pos;
  return a.hash < b.hash;
}

std::string tail_of(const State& s) {
  std::string joined;
  const std::size_t first = s.out.size() > 8 ? s.out.size() - 8 : 0;
  for (std::size_t i = first; i < s.out.size(); ++i) joined += s.out[i];
  if (joined.size() <= 64) return joined;
  std::size_t cut = joined.size() - 64;
  while (cut < joined.size() && (static_cast<unsigned char>(joined[cut]) & 0xC0) == 0x80) ++cut;
  return joined.substr(cut);
}

struct Fnv {
  std::uint64_t h;
  void b(unsigned char c) { h = (h ^ c) * 1099511628211ULL; }
  void s(const std::string& t) {
    for (unsigned char c : t) b(c);
  }
  void n(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b(static_cast<unsigned char>(v >> (8 * i)));
  }
};

Key make_key(const State& s, std::uint64_t seed) {
  Fnv f{14695981039346656037ULL ^ seed};
  f.n(s.pos);
  f.b(s.root_done ? 1 : 0);
  f.n(s.stack.size());
  for (const Frame& fr : s.stack) {
    f.b(static_cast<unsigned char>(fr.kind + 1));
    f.b(static_cast<unsigned char>(fr.expect + 1));
  }
  f.s(tail_of(s));
  f.n(s.repairs.size());
  for (const RepairAction& r : s.repairs) {
    f.s(std::string(r.op_word()));
    if (const auto span = r.span()) {
      f.n(span->start);
      f.n(span->end);
    } else {
      for (int i = 0; i < 16; ++i) f.b(0xFF);
    }
    if (const auto at = r.at()) {
      f.n(*at);
    } else {
      for (int i = 0; i < 8; ++i) f.b(0xFF);
    }
    if (const auto token = r.token()) f.s(std::string(*token));
    f.n(std::bit_cast<std::uint64_t>(r.cost_delta));
    if (const auto note = r.note("")) f.s(*note);  // this model's notes are texts of their own
  }
  return Key{s.cost, s.repair_count, s.pos, f.h};
}

struct Search {
  const RepairOptions& o;
  std::string_view text;
  std::vector<Token> tokens;
  std::vector<State> next, finished;

  bool punct(const Token& t, char c) const { return t.kind == TokenKind::Punct && t.text[0] == c; }
  bool value_pos(const State& s) const {
    if (s.stack.empty()) return !s.root_done;
    return s.stack.back().expect == kValue || s.stack.back().expect == kValueOrEnd;
  }
  bool key_pos(const State& s) const {
    return !s.stack.empty() && s.stack.back().kind == kObject && s.stack.back().expect == kKeyOrEnd;
  }
  bool last_comma(const State& s) const { return !s.out.empty() && s.out.back() == ","; }
  void complete(State& s) const {
    if (s.stack.empty()) {
      s.root_done = true;
    } else if ((s.stack.back().kind == kObject && s.stack.back().expect == kValue) ||
               (s.stack.back().kind == kArray && s.stack.back().expect == kValueOrEnd)) {
      s.stack.back().expect = kCommaOrEnd;
    }
  }
  void repair(State& s, Op op, double cost, std::optional<Span> span,
              std::optional<std::size_t> at, std::optional<std::string> token = std::nullopt,
              std::optional<std::string> note = std::nullopt, std::size_t ins = 0,
              std::size_t del = 0, std::size_t garbage = 0,
              std::optional<Span> dropped = std::nullopt) const {
    RepairAction a = RepairAction::make(op, {Stage::Beam}, cost);
    if (span) a.set_span(*span);
    if (at) a.set_at(*at);
    if (token) a.set_token(*token);
    if (note) a.set_note(*note);
    s.cost += cost;
    s.repair_count += 1;
    s.inserted += ins;
    s.deleted += del;
    s.garbage += garbage;
    if (op == Op::CloseOpenString) s.closed_strings += 1;
    if (dropped) s.dropped_spans.push_back(*dropped);
    s.repairs.push_back(a);
  }
  Span sp(const Token& t) const { return Span{t.start, t.end}; }

  bool string_repairs(State& s, const Token& t) const {
    if (t.quote == '\'' && o.allow_single_quotes) {
      repair(s, Op::ConvertSingleToDoubleQuotes, fixed_cost(Op::ConvertSingleToDoubleQuotes), sp(t), std::nullopt);
    }
    if (!t.closed) {
      if (s.closed_strings >= o.max_close_open_string) return false;
      repair(s, Op::CloseOpenString, fixed_cost(Op::CloseOpenString), std::nullopt, t.end);
    }
    return true;
  }

  std::optional<State> strict(State s, const Token& t) const {
    const bool vp = value_pos(s), kp = key_pos(s);
    Frame* top = s.stack.empty() ? nullptr : &s.stack.back();
    if ((punct(t, '{') || punct(t, '[')) && vp) {
      s.out.push_back(t.text);
      s.stack.push_back(punct(t, '{') ? Frame{kObject, kKeyOrEnd} : Frame{kArray, kValueOrEnd});
      s.pos++;
      return s;
    }
    if (punct(t, '}') && top && top->kind == kObject &&
        (top->expect == kKeyOrEnd || top->expect == kCommaOrEnd) &&
        !(top->expect == kKeyOrEnd && last_comma(s))) {
      s.out.push_back("}");
      s.stack.pop_back();
      s.pos++;
      complete(s);
      return s;
    }
    if (punct(t, ']') && top && top->kind == kArray &&
        (top->expect == kValueOrEnd || top->expect == kCommaOrEnd) &&
        !(top->expect == kValueOrEnd && last_comma(s))) {
      s.out.push_back("]");
      s.stack.pop_back();
      s.pos++;
      complete(s);
      return s;
    }
    if (punct(t, ',') && top && top->expect == kCommaOrEnd) {
      s.out.push_back(",");
      top->expect = top->kind == kObject ? kKeyOrEnd : kValueOrEnd;
      s.pos++;
      return s;
    }
    if (punct(t, ':') && top && top->kind == kObject && top->expect == kColon) {
      s.out.push_back(":");
      top->expect = kValue;
      s.pos++;
      return s;
    }
    if (t.kind == TokenKind::Str && kp) {
      s.out.push_back(quote_json_string(t.text));
      top->expect = kColon;
      s.pos++;
      if (!string_repairs(s, t)) return std::nullopt;
      return s;
    }
    if ((t.kind == TokenKind::Literal || t.kind == TokenKind::Ident) && kp &&
        o.allow_unquoted_keys) {
      s.out.push_back(quote_json_string(t.text));
      top->expect = kColon;
      s.pos++;
      repair(s, Op::WrapKeyWithQuotes, fixed_cost(Op::WrapKeyWithQuotes), sp(t), std::nullopt);
      return s;
    }
    if (t.kind == TokenKind::Number && vp) {
      s.out.push_back(t.text);
      s.pos++;
      complete(s);
      return s;
    }
    if (t.kind == TokenKind::Literal && vp) {
      s.out.push_back(ascii_lower(t.text));
      s.pos++;
      complete(s);
      return s;
    }
    if (t.kind == TokenKind::Str && vp) {
      s.out.push_back(quote_json_string(t.text));
      s.pos++;
      complete(s);
      if (!string_repairs(s, t)) return std::nullopt;
      return s;
    }
    if (t.kind == TokenKind::Ident && vp) {
      const std::string folded = ascii_lower(t.text);
      if ((folded == "none" || folded == "undefined") && o.allow_python_literals) {
        s.out.push_back("null");
        s.pos++;
        complete(s);
        repair(s, Op::MapPythonLiteral, fixed_cost(Op::MapPythonLiteral), sp(t), std::nullopt, std::nullopt,
               t.text + " -> null");
        return s;
      }
      if (o.allow_unquoted_values) {
        s.out.push_back(quote_json_string(t.text));
        s.pos++;
        complete(s);
        repair(s, Op::WrapValueWithQuotes, fixed_cost(Op::WrapValueWithQuotes), sp(t), std::nullopt);
        return s;
      }
    }
    return std::nullopt;
  }

  void alternatives(const State& s, const Token& t) {
    std::vector<State> alts;
    const Frame* top = s.stack.empty() ? nullptr : &s.stack.back();
    const bool eof = t.kind == TokenKind::Eof;
    if (top && last_comma(s) &&
        ((punct(t, '}') && top->kind == kObject && top->expect == kKeyOrEnd) ||
         (punct(t, ']') && top->kind == kArray && top->expect == kValueOrEnd))) {
      State c = s;
      c.out.pop_back();
      c.stack.back().expect = kCommaOrEnd;
      repair(c, Op::RemoveTrailingComma, fixed_cost(Op::RemoveTrailingComma), std::nullopt, t.start);
      alts.push_back(c);
    }
    if (top && top->expect == kCommaOrEnd) {
      std::optional<NextToken> before;
      const bool strish =
          t.kind == TokenKind::Str || (top->kind == kArray && (punct(t, '{') || punct(t, '[')));
      if (strish) before = NextToken::StringOrOpener;
      if (t.kind == TokenKind::Literal || (top->kind == kArray && t.kind == TokenKind::Number))
        before = NextToken::NumberOrLiteral;
      if (t.kind == TokenKind::Ident) before = NextToken::Word;
      if (before) {
        const double cost = op_cost(Op::InsertMissingComma, Stage::Beam).before(*before);
        State c = s;
        c.out.push_back(",");
        c.stack.back().expect = top->kind == kObject ? kKeyOrEnd : kValueOrEnd;
        repair(c, Op::InsertMissingComma, cost, std::nullopt, t.start, ",", std::nullopt, 1);
        alts.push_back(c);
      }
    }
    if (top && top->kind == kObject && top->expect == kColon &&
        (t.kind == TokenKind::Str || t.kind == TokenKind::Number || t.kind == TokenKind::Literal ||
         t.kind == TokenKind::Ident || punct(t, '{') || punct(t, '[') || eof || punct(t, '}'))) {
      State c = s;
      c.out.push_back(":");
      c.stack.back().expect = kValue;
      repair(c, Op::InsertMissingColon, fixed_cost(Op::InsertMissingColon), std::nullopt, t.start, ":", std::nullopt, 1);
      alts.push_back(c);
    }
    if (value_pos(s) && (eof || punct(t, ',') || punct(t, '}') || punct(t, ']'))) {
      State c = s;
      c.out.push_back("null");
      complete(c);
      repair(c, Op::SynthesizeMissingValue, fixed_cost(Op::SynthesizeMissingValue), std::nullopt, t.start, "null", std::nullopt, 1);
      alts.push_back(c);
    }
    if (eof && top) {
      State c = s;
      Frame& f = c.stack.back();
      if (((f.kind == kArray && f.expect == kValueOrEnd) ||
           (f.kind == kObject && f.expect == kKeyOrEnd)) &&
          last_comma(c)) {
        c.out.pop_back();
        f.expect = kCommaOrEnd;
        repair(c, Op::RemoveTrailingComma, fixed_cost(Op::RemoveTrailingComma), std::nullopt, t.start);
      }
      const std::string closer = c.stack.back().kind == kObject ? "}" : "]";
      c.out.push_back(closer);
      c.stack.pop_back();
      complete(c);
      repair(c, Op::InsertMissingCloser, fixed_cost(Op::InsertMissingCloser), std::nullopt, t.start, closer, std::nullopt, 1);
      alts.push_back(c);
    }
    const std::size_t b = t.end - t.start;
    if (t.kind == TokenKind::Garbage && s.garbage + b <= o.max_garbage_skip_bytes) {
      State c = s;
      c.pos++;
      repair(c, Op::SkipGarbage, per_unit_cost(Op::SkipGarbage, b), sp(t), std::nullopt,
             std::nullopt, std::nullopt, 0, 0, b);
      alts.push_back(c);
    }
    if (o.partial_ok && (t.kind == TokenKind::Ident || t.kind == TokenKind::Garbage) &&
        !s.out.empty() &&
        !(t.kind == TokenKind::Ident && key_pos(s) && punct(tokens[s.pos + 1], ':'))) {
      State c = s;
      c.pos = tokens.size() - 1;
      const Span d{t.start, text.size()};
      repair(c, Op::TruncateSuffix, per_unit_cost(Op::TruncateSuffix, text.size() - t.start), d,
             std::nullopt, std::nullopt, std::nullopt, 0, 0, 0, d);
      alts.push_back(c);
    }
    if (alts.empty() && !eof && s.deleted < o.max_deleted_tokens) {
      State c = s;
      c.pos++;
      repair(c, Op::DeleteUnexpectedToken, fixed_cost(Op::DeleteUnexpectedToken), sp(t), std::nullopt, std::nullopt, std::nullopt, 0,
             1);
      alts.push_back(c);
    }
    for (State& c : alts) next.push_back(std::move(c));
  }

  void step(const State& s) {
    if (s.pos >= tokens.size()) return;
    const Token& t = tokens[s.pos];
    if (s.root_done && s.stack.empty()) {
      if (t.kind == TokenKind::Eof) {
        finished.push_back(s);
        return;
      }
      if (t.kind == TokenKind::Ident || t.kind == TokenKind::Garbage) {
        const std::size_t b = t.end - t.start;
        if (s.garbage + b <= o.max_garbage_skip_bytes) {
          State c = s;
          repair(c, Op::SkipSuffix, per_unit_cost(Op::SkipSuffix, b), sp(t), std::nullopt,
                 std::nullopt, std::nullopt, 0, 0, b);
          c.pos++;
          next.push_back(c);
        }
        return;
      }
    }
    if (auto r = strict(s, t)) {
      const bool plain_step = r->cost == s.cost && r->repair_count == s.repair_count &&
                              r->repairs.size() == s.repairs.size();
      next.push_back(*r);
      if (plain_step) return;
    }
    if (s.repair_count < o.max_repairs) alternatives(s, t);
  }

  std::vector<State> prune() {
    std::vector<State> kept;
    std::vector<std::tuple<std::vector<std::pair<int, int>>, std::string, std::size_t, bool>> sigs;
    std::vector<Key> keys;
    for (State& s : next) {
      std::vector<std::pair<int, int>> st;
      for (const Frame& f : s.stack) st.emplace_back(f.kind, f.expect);
      auto sig = std::make_tuple(st, tail_of(s), s.pos, s.root_done);
      const Key key = make_key(s, o.deterministic_seed);
      auto it = std::find(sigs.begin(), sigs.end(), sig);
      if (it != sigs.end()) {
        const std::size_t k = static_cast<std::size_t>(it - sigs.begin());
        if (key_less(key, keys[k])) {
          kept[k] = s;
          keys[k] = key;
        }
        continue;
      }
      sigs.push_back(sig);
      keys.push_back(key);
      kept.push_back(s);
    }
    std::vector<std::size_t> order(kept.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return key_less(keys[a], keys[b]); });
    std::vector<State> beam;
    for (std::size_t i = 0; i < order.size() && i < o.beam_width; ++i)
      beam.push_back(kept[order[i]]);
    return beam;
  }
};

std::vector<Candidate> repair(std::string_view text, const RepairOptions& o,
                              const std::vector<RepairAction>& base) {
  Search search{o, text, tolerant_lex(text, o.allow_single_quotes), {}, {}};
  State initial;
  initial.repairs = base;
  for (const RepairAction& r : base) initial.cost += r.cost_delta;
  std::vector<State> beam{initial};
  const std::size_t limit = std::max<std::size_t>(4 * search.tokens.size(), 64);
  std::size_t steps = 0;
  while (!beam.empty()) {
    search.next.clear();
    for (const State& s : beam) search.step(s);
    beam = search.prune();
    ++steps;
    if (search.finished.size() >= 3 * o.top_k || steps >= limit) break;
  }
  std::vector<std::pair<Key, std::size_t>> order;
  for (std::size_t i = 0; i < search.finished.size(); ++i) {
    order.emplace_back(make_key(search.finished[i], o.deterministic_seed), i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return key_less(a.first, b.first); });
  std::vector<Candidate> out;
  std::vector<std::string> texts;
  for (const auto& [key, i] : order) {
    const State& s = search.finished[i];
    std::string joined;
    for (const std::string& piece : s.out) joined += piece;
    const std::string text_out(trim_unicode_space(joined));
    if (text_out.empty()) continue;
    if (std::find(texts.begin(), texts.end(), text_out) != texts.end()) continue;
    auto parsed = parse_strict_json(text_out);
    if (!parsed.ok()) continue;
    texts.push_back(text_out);
    Candidate c;
    c.candidate_id = out.size();
    c.value = parsed.value();
    c.normalized_json = to_compact_string(parsed.value());
    c.confidence = std::exp(-o.confidence_alpha * s.cost);
    c.cost = s.cost;
    c.repairs = s.repairs;
    c.validations.strict_json_parse = true;
    c.diagnostics = {s.garbage,        s.deleted,    s.inserted,
                     s.closed_strings, o.beam_width, o.max_repairs};
    c.dropped_spans = s.dropped_spans;
    out.push_back(std::move(c));
    if (out.size() >= o.top_k) break;
  }
  return out;
}

}  // namespace plain

// ---------------------------------------------------------------------------------------------
// Helpers

RepairOptions defaults() { return RepairOptions::defaults(); }

std::vector<Op> ops_of(const Candidate& c) {
  std::vector<Op> ops;
  for (const RepairAction& r : c.repairs) ops.push_back(r.op());
  return ops;
}

// The candidate as rendered, the notes of the search's own repairs built from `text`, the text
// it read.
std::string describe(const Candidate& c, std::string_view text) {
  StageTexts texts;
  texts.beam = std::string(text);
  std::ostringstream s;
  s << c.candidate_id << " " << c.normalized_json.value_or("<none>") << " cost=" << c.cost << " [";
  for (const RepairAction& r : c.repairs) {
    s << to_compact_string(r.to_json_value(texts.text_of(r.origin()))) << " ";
  }
  s << "]";
  return s.str();
}

void expect_same(const std::vector<Candidate>& got, const std::vector<Candidate>& want,
                 std::string_view text, const std::string& context) {
  ASSERT_EQ(got.size(), want.size()) << context;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const Candidate& g = got[i];
    const Candidate& w = want[i];
    ASSERT_EQ(g.normalized_json, w.normalized_json)
        << context << "\n got " << describe(g, text) << "\nwant " << describe(w, text);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(g.cost), std::bit_cast<std::uint64_t>(w.cost))
        << context;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(g.confidence),
              std::bit_cast<std::uint64_t>(w.confidence))
        << context;
    ASSERT_EQ(describe(g, text), describe(w, text)) << context;
    ASSERT_EQ(g.dropped_spans, w.dropped_spans) << context;
    ASSERT_EQ(g.candidate_id, w.candidate_id);
    ASSERT_EQ(g.value, w.value) << context;
    ASSERT_EQ(to_compact_string(g.diagnostics.to_json_value()),
              to_compact_string(w.diagnostics.to_json_value()))
        << context;
    ASSERT_TRUE(g.validations.strict_json_parse);
    ASSERT_FALSE(g.validations.schema_match.has_value());
    ASSERT_FALSE(g.ir.has_value());
  }
}

std::filesystem::path data_dir() {
  // <root>/tests/cpp/test_beam.cpp -> <root>/../shared/bench-data
  return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / ".." / "shared" /
         "bench-data";
}

std::vector<std::string> corpus_field(const std::string& file, const std::string& field) {
  std::ifstream in(data_dir() / file);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    auto row = parse_strict_json(line);
    if (!row.ok()) continue;
    if (const JsonValue* v = row.value().find(field); v != nullptr && v->is_string()) {
      out.emplace_back(v->as_string());
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Behaviour on the documented examples

TEST(ProbabilisticRepair, EmptyTextSynthesizesNull) {
  const auto c = probabilistic_repair("", defaults(), {});
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].normalized_json, "null");
  EXPECT_TRUE(c[0].value->is_null());
  EXPECT_EQ(c[0].cost, cost_of({Op::SynthesizeMissingValue}));
  ASSERT_EQ(c[0].repairs.size(), 1u);
  EXPECT_EQ(c[0].repairs[0].op(), Op::SynthesizeMissingValue);
  EXPECT_EQ(c[0].repairs[0].at(), 0u);
  EXPECT_EQ(c[0].repairs[0].token(), "null");
  EXPECT_EQ(c[0].diagnostics.inserted_tokens, 1u);
}

TEST(ProbabilisticRepair, MissingCloser) {
  const auto c = probabilistic_repair(R"({"a": 1, "b": 2)", defaults(), {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, R"({"a":1,"b":2})");
  ASSERT_EQ(c[0].repairs.size(), 1u);
  EXPECT_EQ(c[0].repairs[0].op(), Op::InsertMissingCloser);
  EXPECT_EQ(c[0].repairs[0].token(), "}");
  EXPECT_EQ(c[0].repairs[0].at(), 15u);
  EXPECT_EQ(c[0].cost, cost_of({Op::InsertMissingCloser}));
  EXPECT_DOUBLE_EQ(c[0].confidence, std::exp(-0.7 * c[0].cost));
  EXPECT_EQ(c[0].diagnostics.beam_width, 32u);
  EXPECT_EQ(c[0].diagnostics.max_repairs, 20u);
  for (std::size_t i = 0; i < c.size(); ++i) EXPECT_EQ(c[i].candidate_id, i);
  for (std::size_t i = 1; i < c.size(); ++i) EXPECT_GE(c[i].cost, c[i - 1].cost);
}

TEST(ProbabilisticRepair, TrailingCommaAtEnd) {
  const auto c = probabilistic_repair("[1, 2,", defaults(), {});
  ASSERT_GE(c.size(), 2u);
  EXPECT_EQ(c[0].normalized_json, "[1,2]");
  EXPECT_EQ(ops_of(c[0]),
            (std::vector<Op>{Op::RemoveTrailingComma, Op::InsertMissingCloser}));
  EXPECT_DOUBLE_EQ(c[0].cost, cost_of({Op::RemoveTrailingComma, Op::InsertMissingCloser}));
  EXPECT_EQ(c[1].normalized_json, "[1,2,null]");
  EXPECT_DOUBLE_EQ(c[1].cost, cost_of({Op::SynthesizeMissingValue, Op::InsertMissingCloser}));
}

TEST(ProbabilisticRepair, BareKey) {
  auto c = probabilistic_repair("{a: 1}", defaults(), {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, R"({"a":1})");
  EXPECT_EQ(ops_of(c[0]), std::vector<Op>{Op::WrapKeyWithQuotes});
  EXPECT_EQ(c[0].repairs[0].span(), (Span{1, 2}));
  EXPECT_DOUBLE_EQ(c[0].cost, cost_of({Op::WrapKeyWithQuotes}));

  RepairOptions strict_keys = defaults();
  strict_keys.allow_unquoted_keys = false;
  c = probabilistic_repair("{a: 1}", strict_keys, {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, "{}");
  EXPECT_EQ(ops_of(c[0]), std::vector<Op>(3, Op::DeleteUnexpectedToken));
  EXPECT_DOUBLE_EQ(c[0].cost, 3 * fixed_cost(Op::DeleteUnexpectedToken));
  EXPECT_EQ(c[0].diagnostics.deleted_tokens, 3u);
}

TEST(ProbabilisticRepair, PythonLiterals) {
  const auto c = probabilistic_repair("[None, True]", defaults(), {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, "[null,true]");
  ASSERT_EQ(c[0].repairs.size(), 1u);
  EXPECT_EQ(c[0].repairs[0].op(), Op::MapPythonLiteral);
  EXPECT_EQ(c[0].repairs[0].note("[None, True]"), "None -> null");
  EXPECT_EQ(c[0].repairs[0].span(), (Span{1, 5}));
  EXPECT_DOUBLE_EQ(c[0].cost, cost_of({Op::MapPythonLiteral}));

  RepairOptions no_python = defaults();
  no_python.allow_python_literals = false;
  const auto quoted = probabilistic_repair("[None]", no_python, {});
  ASSERT_FALSE(quoted.empty());
  EXPECT_EQ(quoted[0].normalized_json, R"(["None"])");
  EXPECT_EQ(ops_of(quoted[0]), std::vector<Op>{Op::WrapValueWithQuotes});
}

TEST(ProbabilisticRepair, MissingColon) {
  const auto c = probabilistic_repair(R"({"a" 1})", defaults(), {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, R"({"a":1})");
  ASSERT_EQ(c[0].repairs.size(), 1u);
  EXPECT_EQ(c[0].repairs[0].op(), Op::InsertMissingColon);
  EXPECT_EQ(c[0].repairs[0].at(), 5u);
  EXPECT_EQ(c[0].repairs[0].token(), ":");
  EXPECT_DOUBLE_EQ(c[0].cost, cost_of({Op::InsertMissingColon}));
}

// A text cut off right after a key: the key gets its colon and a synthesized value.
TEST(ProbabilisticRepair, KeyCutOffBeforeItsColonGetsANullValue) {
  const auto at_end = probabilistic_repair(R"({"a": 1, "b")", defaults(), {});
  ASSERT_FALSE(at_end.empty());
  EXPECT_EQ(at_end[0].normalized_json, R"({"a":1,"b":null})");
  EXPECT_EQ(ops_of(at_end[0]), (std::vector<Op>{
                                   Op::InsertMissingColon, Op::SynthesizeMissingValue,
                                   Op::InsertMissingCloser}));
  EXPECT_EQ(at_end[0].repairs[0].at(), 12u);
  EXPECT_DOUBLE_EQ(at_end[0].cost, cost_of({Op::InsertMissingColon, Op::SynthesizeMissingValue,
                                             Op::InsertMissingCloser}));

  const auto before_brace = probabilistic_repair(R"({"a": 1, "b"})", defaults(), {});
  ASSERT_FALSE(before_brace.empty());
  EXPECT_EQ(before_brace[0].normalized_json, R"({"a":1,"b":null})");
  EXPECT_DOUBLE_EQ(before_brace[0].cost,
                   cost_of({Op::InsertMissingColon, Op::SynthesizeMissingValue}));
}

TEST(ProbabilisticRepair, TrailingProseIsSkipped) {
  const std::string text = R"({"a": 1} hope this $helps)";
  const auto c = probabilistic_repair(text, defaults(), {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, R"({"a":1})");
  EXPECT_EQ(ops_of(c[0]), std::vector<Op>(3, Op::SkipSuffix));
  EXPECT_EQ(c[0].repairs[2].span(), (Span{19, 25}));
  EXPECT_EQ(c[0].repairs[2].cost_delta, per_unit_cost(Op::SkipSuffix, 6));
  EXPECT_EQ(c[0].diagnostics.garbage_skipped_bytes, 4u + 4u + 6u);
  EXPECT_TRUE(c[0].dropped_spans.empty());
}

TEST(ProbabilisticRepair, UnterminatedString) {
  const std::string text = R"({"a": "b)";
  auto c = probabilistic_repair(text, defaults(), {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, R"({"a":"b"})");
  EXPECT_EQ(ops_of(c[0]), (std::vector<Op>{Op::CloseOpenString, Op::InsertMissingCloser}));
  EXPECT_EQ(c[0].repairs[0].at(), text.size());
  EXPECT_DOUBLE_EQ(c[0].cost, cost_of({Op::CloseOpenString, Op::InsertMissingCloser}));
  EXPECT_EQ(c[0].diagnostics.close_open_string_count, 1u);

  RepairOptions no_close = defaults();
  no_close.max_close_open_string = 0;
  c = probabilistic_repair(text, no_close, {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, R"({"a":null})");
  EXPECT_EQ(ops_of(c[0]),
            (std::vector<Op>{Op::DeleteUnexpectedToken, Op::SynthesizeMissingValue,
                                      Op::InsertMissingCloser}));
  EXPECT_DOUBLE_EQ(c[0].cost, cost_of({Op::DeleteUnexpectedToken, Op::SynthesizeMissingValue,
                                      Op::InsertMissingCloser}));
}

TEST(ProbabilisticRepair, SingleQuotedStringsAreConverted) {
  const auto c = probabilistic_repair("{'a': 'b'}", defaults(), {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, R"({"a":"b"})");
  EXPECT_EQ(ops_of(c[0]), std::vector<Op>(2, Op::ConvertSingleToDoubleQuotes));
  EXPECT_EQ(c[0].repairs[0].span(), (Span{1, 4}));
  EXPECT_DOUBLE_EQ(c[0].cost, 2 * fixed_cost(Op::ConvertSingleToDoubleQuotes));
}

TEST(ProbabilisticRepair, TruncationRecordsDroppedSpan) {
  const std::string text = R"([1, 2 and so on)";
  const auto c = probabilistic_repair(text, defaults(), {});
  ASSERT_FALSE(c.empty());
  const auto it =
      std::find_if(c.begin(), c.end(), [](const Candidate& k) { return !k.dropped_spans.empty(); });
  ASSERT_NE(it, c.end());
  EXPECT_EQ(it->dropped_spans, (std::vector<Span>{{6, text.size()}}));
  const auto ops = ops_of(*it);
  ASSERT_NE(std::find(ops.begin(), ops.end(), Op::TruncateSuffix), ops.end());
}

TEST(ProbabilisticRepair, EqualTextsGiveOneCandidate) {
  // Both removing the trailing comma and giving up on "x" can lead to [1]; the texts of the
  // candidates are all distinct.
  for (const char* text : {"[1,", "[1, x", "{\"a\": [1, 2,", "[1 2 3"}) {
    const auto c = probabilistic_repair(text, defaults(), {});
    for (std::size_t i = 0; i < c.size(); ++i) {
      for (std::size_t j = i + 1; j < c.size(); ++j)
        EXPECT_NE(c[i].normalized_json, c[j].normalized_json);
    }
  }
}

TEST(ProbabilisticRepair, ZeroTopKOrBeamWidthGivesNothing) {
  RepairOptions o = defaults();
  o.top_k = 0;
  EXPECT_TRUE(probabilistic_repair("[1, 2", o, {}).empty());
  EXPECT_TRUE(probabilistic_repair("", o, {}).empty());
  o = defaults();
  o.beam_width = 0;
  EXPECT_TRUE(probabilistic_repair("[1, 2", o, {}).empty());
}

TEST(ProbabilisticRepair, TopKBoundsTheList) {
  RepairOptions o = defaults();
  o.top_k = 2;
  EXPECT_LE(probabilistic_repair("[1, 2, x, y, {", o, {}).size(), 2u);
  o.top_k = 1;
  EXPECT_EQ(probabilistic_repair("[1, 2", o, {}).size(), 1u);
}

TEST(ProbabilisticRepair, NoRepairBudgetStillAcceptsValidJson) {
  RepairOptions o = defaults();
  o.max_repairs = 0;
  auto c = probabilistic_repair(R"({"a": [1, 2.5, true, null, "x"]})", o, {});
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].normalized_json, R"({"a":[1,2.5,true,null,"x"]})");
  EXPECT_EQ(c[0].cost, 0.0);
  EXPECT_TRUE(c[0].repairs.empty());
  // Strict-step repairs still apply; alternatives do not.
  c = probabilistic_repair("{a: 1}", o, {});
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].normalized_json, R"({"a":1})");
  EXPECT_TRUE(probabilistic_repair("[1, 2", o, {}).empty());
}

TEST(ProbabilisticRepair, BaseRepairsLeadEveryCandidate) {
  RepairAction fence = RepairAction::make("strip_code_fence", 0.2);
  fence.set_span(Span{0, 30});
  RepairAction odd = RepairAction::make("", 0.0);
  const std::vector<RepairAction> base{fence, odd};
  const auto c = probabilistic_repair("[1, 2", defaults(), base);
  ASSERT_FALSE(c.empty());
  for (const Candidate& k : c) {
    ASSERT_GE(k.repairs.size(), 2u);
    EXPECT_EQ(k.repairs[0], fence);
    EXPECT_EQ(k.repairs[1], odd);
  }
  EXPECT_DOUBLE_EQ(c[0].cost, fence.cost_delta + fixed_cost(Op::InsertMissingCloser));
  EXPECT_DOUBLE_EQ(c[0].confidence, std::exp(-0.7 * c[0].cost));
  // Base repairs do not count against the repair budget.
  RepairOptions tight = defaults();
  tight.max_repairs = 1;
  const std::vector<RepairAction> many(5, fence);
  EXPECT_FALSE(probabilistic_repair("[1, 2", tight, many).empty());
}

// A parse needing more than max_total_repairs repairs, base repairs included, is given up at the
// repair past the limit; with no candidate left the search says where. Up to the limit the
// candidates are the unlimited ones.
struct SearchLimitCase {
  const char* text;
  bool reading;
  std::size_t base;  // base repairs handed in
  std::uint64_t limit;
  std::optional<std::string> over;  // the end of the limit's message, if the search gives up
  std::uint64_t at = 0;
};

TEST(ProbabilisticRepair, RepairLimit) {
  const SearchLimitCase cases[] = {
      {"[1, 2", false, 0, 1, std::nullopt},
      {"[1, 2", false, 0, 0, "the beam search went past the limit at byte 5 of the text it read", 5},
      {"[1, 2", false, 2, 3, std::nullopt},
      {"[1, 2", false, 2, 2, "the beam search went past the limit at byte 5 of the text it read", 5},
      {"[1, 2", false, 3, 2, "the base repairs given are more already", 0},
      {"[1 2 3", false, 0, 3, std::nullopt},
      {"[1 2 3", false, 0, 2, "the beam search went past the limit at byte 6 of the text it read", 6},
      {R"({"t": "The "Pro" plan"})", true, 0, 3, std::nullopt},  // candidates need 1, 3 and 2
      {R"({"t": "The "Pro" plan"})", true, 0, 0,
       "the second reading went past the limit at byte 6 of the text it read", 6},
  };
  const RepairAction given = RepairAction::make("strip_code_fence", 0.2);
  for (const SearchLimitCase& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " base " + std::to_string(c.base) + " limit " +
                 std::to_string(c.limit));
    auto search = [&](std::uint64_t limit, std::optional<Error>* over) {
      RepairOptions o = defaults();
      o.max_total_repairs = limit;
      const std::vector<RepairAction> base(c.base, given);
      return c.reading ? reading_repair(c.text, o, base, nullptr, 0, over)
                       : probabilistic_repair(c.text, o, base, BeamContext{nullptr, 0, over});
    };
    std::optional<Error> over;
    const std::vector<Candidate> got = search(c.limit, &over);
    if (!c.over) {
      EXPECT_FALSE(over.has_value());
      const std::vector<Candidate> unlimited = search(UINT64_MAX, nullptr);
      ASSERT_EQ(got.size(), unlimited.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].normalized_json, unlimited[i].normalized_json);
        EXPECT_EQ(got[i].repairs, unlimited[i].repairs);
      }
      continue;
    }
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(over.has_value());
    EXPECT_EQ(over->code, ErrorCode::repair_limit_exceeded);
    EXPECT_EQ(over->position, c.at);
    EXPECT_EQ(over->message, "the document needs more repairs than max_total_repairs allows (" +
                                 std::to_string(c.limit) + "); " + *c.over);
  }
}

// Parses past the limit are given up, those within it still finish: no error then.
TEST(ProbabilisticRepair, RepairLimitKeepsTheParsesWithinIt) {
  RepairOptions o = defaults();
  o.max_total_repairs = 3;
  std::optional<Error> over;
  const auto c = probabilistic_repair("[1, 2, x y", o, {}, BeamContext{nullptr, 0, &over});
  ASSERT_FALSE(c.empty());
  EXPECT_FALSE(over.has_value());
  for (const Candidate& k : c) EXPECT_LE(k.repairs.size(), 3u);
  const auto unlimited = probabilistic_repair("[1, 2, x y", defaults(), {});
  EXPECT_TRUE(std::any_of(unlimited.begin(), unlimited.end(),
                          [](const Candidate& k) { return k.repairs.size() > 3; }));
}

// With top_k and max_repairs unbounded the candidates together hold at most five times the limit
// in repairs (the best one always kept); with top_k 5 nothing is left out.
TEST(ProbabilisticRepair, CandidatesTogetherHoldAtMostFiveLimitsOfRepairs) {
  std::string text = "[";
  for (int i = 0; i < 60; ++i) text += "1 2 @ ";
  RepairOptions o = defaults();
  o.top_k = UINT64_MAX;
  o.max_repairs = UINT64_MAX;
  const auto unbounded = probabilistic_repair(text, o, {});
  o.max_total_repairs = 200;
  const auto bounded = probabilistic_repair(text, o, {});
  std::size_t held = 0;
  for (const Candidate& c : bounded) held += c.repairs.size();
  ASSERT_FALSE(bounded.empty());
  EXPECT_LE(held, 5u * 200u);
  EXPECT_LT(bounded.size(), unbounded.size());
  EXPECT_EQ(bounded[0].repairs, unbounded[0].repairs);
}

TEST(ProbabilisticRepair, AHugeCostKeepsAPositiveConfidence) {
  const std::vector<RepairAction> base(2000, RepairAction::make("convert_single_quotes", 0.9));
  const auto c = probabilistic_repair("[1, 2", defaults(), base);
  ASSERT_FALSE(c.empty());
  EXPECT_GT(c[0].cost, 1800.0);
  EXPECT_GT(c[0].confidence, 0.0);
}

TEST(ProbabilisticRepair, SeedOnlyReordersTies) {
  // The seed feeds the tie-breaking hash only: the set of candidates and their costs stay.
  const std::string text = "[a b c d e f g";
  RepairOptions o = defaults();
  o.top_k = 50;
  auto sorted_texts = [](std::vector<Candidate> c) {
    std::vector<std::pair<double, std::string>> v;
    for (auto& k : c) v.emplace_back(k.cost, *k.normalized_json);
    return v;
  };
  const auto a = probabilistic_repair(text, o, {});
  o.deterministic_seed = 12345;
  const auto b = probabilistic_repair(text, o, {});
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].cost, b[i].cost);
  EXPECT_EQ(sorted_texts(a).size(), sorted_texts(b).size());
}

TEST(ProbabilisticRepair, DeepTruncatedNesting) {
  RepairOptions o = defaults();
  o.max_repairs = 5000;
  const auto c = probabilistic_repair(std::string(1000, '['), o, {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, std::string(1000, '[') + std::string(1000, ']'));
  EXPECT_DOUBLE_EQ(c[0].cost, 1000 * fixed_cost(Op::InsertMissingCloser));
  // Deeper than the strict parser accepts: every finished parse is refused.
  EXPECT_TRUE(probabilistic_repair(std::string(1100, '['), o, {}).empty());
  // With the default budget of 20 repairs the closers run out.
  EXPECT_TRUE(probabilistic_repair(std::string(30, '['), defaults(), {}).empty());
}

// ---------------------------------------------------------------------------------------------
// Identity with the plain search

struct OptionVariant {
  const char* name;
  RepairOptions options;
};

std::vector<OptionVariant> variants() {
  std::vector<OptionVariant> v;
  v.push_back({"defaults", defaults()});
  RepairOptions narrow = defaults();
  narrow.beam_width = 3;
  narrow.top_k = 3;
  v.push_back({"narrow", narrow});
  RepairOptions seeded = defaults();
  seeded.deterministic_seed = 0xDEADBEEF;
  seeded.beam_width = 8;
  seeded.top_k = 9;
  v.push_back({"seeded", seeded});
  RepairOptions strict_words = defaults();
  strict_words.allow_single_quotes = false;
  strict_words.allow_unquoted_keys = false;
  strict_words.allow_unquoted_values = false;
  strict_words.allow_python_literals = false;
  strict_words.partial_ok = false;
  strict_words.max_repairs = 6;
  strict_words.max_garbage_skip_bytes = 5;
  strict_words.max_deleted_tokens = 1;
  v.push_back({"strict_words", strict_words});
  RepairOptions one = defaults();
  one.beam_width = 1;
  one.top_k = 1;
  one.max_close_open_string = 0;
  v.push_back({"one", one});
  return v;
}

void check_identical(const std::string& text, const std::vector<RepairAction>& base = {}) {
  for (const OptionVariant& v : variants()) {
    expect_same(probabilistic_repair(text, v.options, base), plain::repair(text, v.options, base), text,
                std::string(v.name) + " on: " + text.substr(0, 300));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(PlainIdentity, HandWrittenCases) {
  const std::vector<std::string> cases = {
      "",
      "[",
      "{",
      "]",
      "}",
      ",",
      ":",
      "[1, 2,",
      "{\"a\": 1, \"b\": 2",
      "{a: 1}",
      "[None, True]",
      "{\"a\" 1}",
      "{\"a\": \"b",
      "{'a': 'b'}",
      "[1 2 3 4 5 6 7 8 9 10 11 12]",
      "{\"a\": [1, {\"b\": [2, {\"c\": [3, ",
      "[1, 2] trailing words $$ here",
      "1 2 3",
      "\"abc",
      "[\"a\" \"b\" \"c\"]",
      "{\"a\": 1,, \"b\": 2}",
      "{,}",
      "[,]",
      "[1,]",
      "{\"a\":}",
      "[}",
      "{]",
      "[{]}",
      "{\"a\": tru, \"b\": nul}",
      "[-, 1., 1e, --5]",
      "{\"k\": 'v' \"w\": x y z}",
      "[\u00e9, "
      "\"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
      "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
      "\u00e9\u00e9\u00e9\"",
      "{\"a\": {\"b\": {\"c\": {\"d\": {\"e\": {\"f\": {\"g\": {\"h\": {\"i\": 1",
      "[[[[[[[[[[[[[[[[[[[[1",
      "Here is the JSON: {\"a\": 1}",
      "{\"a\": \"x\\u12\"}",
      "[undefined, NaN]",
  };
  for (const std::string& text : cases) {
    check_identical(text);
    if (HasFatalFailure()) return;
  }
  RepairAction base = RepairAction::make("strip_prefix_text", 0.3);
  base.set_span(Span{0, 12});
  check_identical("[1, 2,", {base, RepairAction::make("", -1.5)});
}

TEST(PlainIdentity, EveryTruncationOfSmallDocuments) {
  const std::vector<std::string> docs = {
      R"({"results": [{"id": 1, "ok": true, "tags": ["a", "b"]}, {"id": 2, "name": null}], )"
      R"("n": 2.5e3})",
      R"([{"a": "x\"y", "b": [1, [2, [3]]]}, 'single', None, {k: v}, -0.5])",
      R"({"text": "caf\u00e9 \ud83d\ude00", "nested": {"deep": {"deeper": [true, false, null]}}})",
  };
  for (const std::string& doc : docs) {
    for (std::size_t cut = 0; cut <= doc.size(); ++cut) {
      check_identical(doc.substr(0, cut));
      if (HasFatalFailure()) return;
    }
  }
}

TEST(PlainIdentity, RandomGarbage) {
  std::mt19937 rng(2024);
  const std::vector<std::string> pieces = {
      "{",    "}",    "[",    "]", ":",  ",", "\"a\"", "'b'",      "\"open", "1",  "-2.5",
      "true", "None", "word", "$", "..", " ", "\n",    "\xC3\xA9", "1e",     "\\", "'"};
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const std::size_t n = rng() % 24;
    for (std::size_t i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    check_identical(text);
    if (HasFatalFailure()) return;
  }
}

// From the first bracket on, roughly what extraction would hand over.
std::string from_first_bracket(const std::string& text) {
  const std::size_t p = text.find_first_of("{[");
  return p == std::string::npos ? text : text.substr(p);
}

TEST(PlainIdentity, LanguageModelCorpus) {
  const auto small = corpus_field("llm-small.jsonl", "input");
  const auto medium = corpus_field("llm-medium.jsonl", "input");
  if (small.empty() || medium.empty()) GTEST_SKIP() << "no corpus at " << data_dir();
  const auto all_variants = variants();
  std::size_t with_candidates = 0;
  auto check = [&](const std::string& text, std::size_t i, const std::string& name) {
    const RepairOptions& o = all_variants[i % all_variants.size()].options;
    const auto got = probabilistic_repair(text, o, {});
    with_candidates += got.empty() ? 0 : 1;
    expect_same(got, plain::repair(text, o, {}), text, name + " #" + std::to_string(i));
  };
  for (std::size_t i = 0; i < small.size(); ++i) {
    check(small[i], i, "llm-small");
    if (HasFatalFailure()) return;
    check(from_first_bracket(small[i]), i + 1, "llm-small from bracket");
    if (HasFatalFailure()) return;
  }
  // The plain search is quadratic: a sample of the 5 KB documents.
  for (std::size_t i = 0; i < medium.size(); i += 10) {
    check(from_first_bracket(medium[i]), i, "llm-medium from bracket");
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(with_candidates, small.size());  // the comparison is not between empty lists
}

// ---------------------------------------------------------------------------------------------
// Scale: shared histories keep steps cheap; hashing stays rare

std::string big_array(std::size_t elements) {
  std::string s = "[";
  for (std::size_t i = 0; i < elements; ++i) {
    if (i > 0) s += ", ";
    s += R"({"id": )" + std::to_string(i) + R"(, "name": "item number )" + std::to_string(i) +
         R"(", "tags": ["x", "y"], "ok": true})";
  }
  return s;
}

TEST(ProbabilisticRepairScale, LargeTruncatedDocumentIsRepairedAndHashesStayRare) {
  std::string doc = big_array(20000);        // ~1.2 MB
  doc.resize(doc.rfind("item number") + 8);  // cut inside the last string
  BeamStats stats;
  const auto c = probabilistic_repair(doc, defaults(), {}, stats);
  ASSERT_FALSE(c.empty());
  EXPECT_TRUE(c[0].value->is_array());
  EXPECT_EQ(c[0].value->as_array().size(), 20000u);
  EXPECT_GT(stats.steps, 100000u);
  // Ties on cost, repair count and position are rare: far fewer hashes than steps.
  EXPECT_LT(stats.prune_hashes, stats.steps / 100);
}

TEST(ProbabilisticRepairScale, DeepTruncatedNesting) {
  // 100000 open arrays: the strict parser refuses more than 1024 levels, so a state is given up
  // as soon as it opens the 1025th, rather than reading on and closing them all one per step.
  const std::string deep = std::string(100000, '[') + "1";
  RepairOptions o = defaults();
  o.max_repairs = 1000000;
  BeamStats stats;
  const auto c = probabilistic_repair(deep, o, {}, stats);
  EXPECT_TRUE(c.empty());
  EXPECT_LE(stats.steps, kMaxNestingDepth + 1);
  EXPECT_EQ(stats.finished, 0u);
}

TEST(ProbabilisticRepairScale, GarbageEndsWithinItsBudget) {
  std::mt19937 rng(5);
  std::string garbage;
  const char* words[] = {"foo", "$$", "bar,", "]", "{", ":", "'x", "12", "\"q\"", "%%%"};
  while (garbage.size() < 2'000'000) {
    garbage += words[rng() % 10];
    garbage += ' ';
  }
  BeamStats stats;
  const auto c = probabilistic_repair(garbage, defaults(), {}, stats);
  // The repair budget kills every state long before the end.
  EXPECT_LT(stats.steps, 100000u);
  for (const Candidate& k : c) EXPECT_TRUE(k.validations.strict_json_parse);
}

}  // namespace
}  // namespace velvin

namespace velvin {
namespace {

// The output keeps numbers as written; the candidate's text is the compact form of its value.
TEST(ProbabilisticRepair, NormalizedJsonIsTheCompactFormOfTheValue) {
  const auto c = probabilistic_repair("[1E2, -0, 7.953e-10, 1.50", RepairOptions{}, {});
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].normalized_json, "[100.0,0,0.0000000007953,1.5]");
  EXPECT_EQ(c[0].normalized_json, to_compact_string(*c[0].value));
}

}  // namespace
}  // namespace velvin
