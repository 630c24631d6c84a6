#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "repair/explain.hpp"
#include "repair/pipeline.hpp"
#include "core/records.hpp"

namespace velvin {
namespace {

RepairResult run(std::string_view input, RepairOptions options = {}) {
  return parse_bytes(input, options);
}

std::vector<Op> ops(const Candidate& c) {
  std::vector<Op> out;
  for (const RepairAction& a : c.repairs) out.push_back(a.op());
  return out;
}

// The result document with the elapsed time left out, for comparing two runs.
std::string document(RepairResult r) {
  r.metrics.elapsed_ms = 0;
  return to_compact_string(r.to_json_value());
}

// ---- outcomes ----

TEST(Pipeline, ValidJsonWithSurroundingWhiteSpaceIsStrictOk) {
  const RepairResult r = run("\n  [true]\r\n");
  EXPECT_EQ(r.status, "strict_ok");
  ASSERT_EQ(r.candidates.size(), 1u);
  EXPECT_EQ(r.candidates[0].confidence, 1.0);
  EXPECT_TRUE(r.candidates[0].repairs.empty());
  EXPECT_EQ(r.input_stats.suffix_skipped_bytes, 2u);
}

TEST(Pipeline, ValidJsonIsStrictOk) {
  const RepairResult r = run(R"({"a": [1, 2]})");
  EXPECT_EQ(r.status, "strict_ok");
  EXPECT_EQ(r.best_index, 0u);
  EXPECT_EQ(r.metrics.mode_used, "strict");
  ASSERT_EQ(r.candidates.size(), 1u);
  const Candidate& c = r.candidates[0];
  EXPECT_EQ(c.confidence, 1.0);
  EXPECT_EQ(c.cost, 0.0);
  EXPECT_TRUE(std::signbit(c.cost));  // no repairs: the sum starts from -0.0
  EXPECT_TRUE(c.repairs.empty());
  EXPECT_EQ(c.normalized_json, R"({"a":[1,2]})");
  EXPECT_TRUE(c.validations.strict_json_parse);
  EXPECT_FALSE(c.validations.schema_match.has_value());
  EXPECT_EQ(c.diagnostics.beam_width, 0u);
  EXPECT_EQ(c.diagnostics.max_repairs, 0u);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_FALSE(r.partial.has_value());
  EXPECT_FALSE(r.debug.has_value());
  EXPECT_EQ(to_compact_string(r.input_stats.to_json_value()),
            R"({"input_bytes":13,"extracted_span":[0,13],"prefix_skipped_bytes":0,"suffix_skipped_bytes":0})");
}

TEST(Pipeline, ThousandsOfRepairsKeepAPositiveConfidence) {
  std::string text = "{'k': [";
  for (int i = 0; i < 4000; ++i) text += i == 0 ? "'x'" : ",'x'";
  text += "]}";
  const RepairResult r = run(text);
  ASSERT_EQ(r.status, "repaired");
  EXPECT_GT(r.candidates[0].cost, 1100.0);  // exp(-0.7 * cost) underflows
  EXPECT_GT(r.candidates[0].confidence, 0.0);
}

// A valid document is its own value even when extraction would cut a bracketed piece out of it.
TEST(Pipeline, RootStringMentioningBracketsIsTheString) {
  for (const char* input : {R"("see [1]")", R"( "{\"a\": 1}" )", R"("x {")"}) {
    for (const char* mode : {"auto", "strict_only"}) {
      RepairOptions options;
      options.mode = mode;
      const RepairResult r = run(input, options);
      SCOPED_TRACE(std::string(input) + " " + mode);
      EXPECT_EQ(r.status, "strict_ok");
      ASSERT_EQ(r.candidates.size(), 1u);
      ASSERT_TRUE(r.candidates[0].value.has_value());
      EXPECT_TRUE(r.candidates[0].value->is_string());
      EXPECT_TRUE(r.candidates[0].repairs.empty());
      EXPECT_EQ(r.input_stats.prefix_skipped_bytes, 0u);
      EXPECT_EQ(r.input_stats.suffix_skipped_bytes, 0u);
    }
  }
  EXPECT_EQ(run(R"("see [1]")").candidates[0].normalized_json, R"("see [1]")");
  // Text around the string is prose as before: the bracketed JSON is taken out of it.
  const RepairResult prose = run(R"("see" [1])");
  EXPECT_EQ(prose.status, "repaired");
  EXPECT_EQ(prose.candidates[0].normalized_json, "[1]");
}

TEST(Pipeline, FencedJsonIsRepairedByExtraction) {
  const RepairResult r = run("Here:\n```json\n{\"a\": 1}\n```\nbye");
  EXPECT_EQ(r.status, "repaired");
  EXPECT_EQ(r.metrics.mode_used, "strict");
  ASSERT_EQ(r.candidates.size(), 1u);
  EXPECT_EQ(ops(r.candidates[0]),
            (std::vector<Op>{Op::StripPrefixText, Op::StripSuffixText, Op::StripCodeFence}));
  double cost = 0.0;
  for (Op op : ops(r.candidates[0])) cost += op_cost(op, Stage::Extraction).fixed();
  EXPECT_DOUBLE_EQ(r.candidates[0].cost, cost);
  EXPECT_NEAR(r.candidates[0].confidence, 0.5712090638488149, 1e-15);
}

TEST(Pipeline, StrictOnlyStopsWithTheParserError) {
  RepairOptions o;
  o.mode = "strict_only";
  const RepairResult r = run("[1,]", o);
  EXPECT_EQ(r.status, "failed");
  EXPECT_FALSE(r.best_index.has_value());
  EXPECT_TRUE(r.candidates.empty());
  EXPECT_EQ(r.metrics.mode_used, "strict_only");
  EXPECT_EQ(r.metrics.beam_width, 0u);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].kind, "JSONDecodeError");
  EXPECT_EQ(r.errors[0].at, 3u);
  EXPECT_EQ(r.errors[0].message, "unexpected byte: 93");

  const RepairResult ok = run("[1]", o);
  EXPECT_EQ(ok.status, "strict_ok");
  EXPECT_EQ(ok.metrics.mode_used, "strict");
}

TEST(Pipeline, HeuristicRepairGivesFastOutcome) {
  const RepairResult r = run("note: {'a': 1,}");
  EXPECT_EQ(r.status, "repaired");
  EXPECT_EQ(r.metrics.mode_used, "fast_repair");
  ASSERT_EQ(r.candidates.size(), 1u);
  const Candidate& c = r.candidates[0];
  EXPECT_EQ(c.normalized_json, R"({"a":1})");
  ASSERT_GE(c.repairs.size(), 2u);
  EXPECT_EQ(c.repairs[0].op(), Op::StripPrefixText);  // extraction repairs come first
  double sum = 0;
  for (const RepairAction& a : c.repairs) sum += a.cost_delta;
  EXPECT_DOUBLE_EQ(c.cost, sum);
  EXPECT_DOUBLE_EQ(c.confidence, std::exp(-0.7 * sum));
}

// Every repair names the stage that made it and the text its offsets index; the result keeps
// those texts, so a word repair's note is the word under its span there.
TEST(Pipeline, RepairsCarryTheirStageAndText) {
  struct Case {
    std::string_view input;
    std::vector<Stage> stages;  // of the best candidate's repairs, in order
  };
  const Stage E = Stage::Extraction, H = Stage::Heuristic, B = Stage::Beam;
  const Case cases[] = {
      {"```json\n[1]\n```", {E, E, E}},
      {"note: {a: 'x', // c\n b: [None,]}", {E, H, H, H, H, H, H}},
      {"[1, 2 3 @", {H, H, B}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const RepairResult r = run(c.input);
    ASSERT_FALSE(r.candidates.empty());
    std::vector<Stage> stages;
    for (const RepairAction& a : r.candidates[0].repairs) {
      stages.push_back(a.origin().stage);
      const std::string_view text =
          a.origin().stage == Stage::Extraction ? c.input : r.texts.text_of(a.origin());
      if (const auto span = a.span()) {
        ASSERT_LE(span->end, text.size());
        if (a.note_kind() == NoteKind::QuotedWord) {
          const std::string word(text.substr(span->start, span->end - span->start));
          EXPECT_EQ(a.note(text), word + " -> \"" + word + "\"");
        }
      }
      if (const auto at = a.at()) {
        ASSERT_LE(*at, text.size());
      }
    }
    EXPECT_EQ(stages, c.stages);
  }
}

TEST(Pipeline, FastRepairModeFailsWithTheFirstErrorWhenNothingChanged) {
  RepairOptions o;
  o.mode = "fast_repair";
  const RepairResult r = run(":", o);  // no pass touches a lone colon
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.metrics.mode_used, "fast_repair");
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].kind, "JSONDecodeError");
  EXPECT_EQ(r.errors[0].at, 0u);
  EXPECT_EQ(r.errors[0].message, "unexpected byte: 58");
}

TEST(Pipeline, TruncatedInputThatNeedsTheBeamIsPartial) {
  // A stray "@" survives the heuristic pass; the beam search skips it, the text was cut short.
  const RepairResult r = run("[1, 2 3 @");
  EXPECT_EQ(r.status, "partial");
  EXPECT_EQ(r.metrics.mode_used, "probabilistic");
  EXPECT_EQ(r.metrics.beam_width, 32u);
  EXPECT_EQ(r.metrics.max_repairs, 20u);
  ASSERT_FALSE(r.candidates.empty());
  EXPECT_EQ(r.candidates[0].normalized_json, "[1,2,3]");
  ASSERT_TRUE(r.partial.has_value());
  EXPECT_EQ(to_compact_string(*r.partial->extracted), "[1,2,3]");

  RepairOptions no_partial;
  no_partial.partial_ok = false;
  const RepairResult q = run("[1, 2 3 @", no_partial);
  EXPECT_EQ(q.status, "partial");
  EXPECT_FALSE(q.partial.has_value());
}

TEST(Pipeline, TruncatedNestingIsClosedInsideOut) {
  const RepairResult r = run(R"(Result: {"items": [{"id": 1, "tags": ["a", "b)");
  EXPECT_EQ(r.status, "repaired");
  EXPECT_EQ(r.metrics.mode_used, "fast_repair");
  EXPECT_EQ(r.candidates[0].normalized_json, R"({"items":[{"id":1,"tags":["a","b"]}]})");
}

TEST(Pipeline, CandidatesAreRankedAndCutToTopK) {
  RepairOptions o;
  o.top_k = 2;
  const RepairResult r = run("[1, 2 3 @", o);
  ASSERT_FALSE(r.candidates.empty());
  EXPECT_LE(r.candidates.size(), 2u);
  for (std::size_t i = 0; i < r.candidates.size(); ++i) EXPECT_EQ(r.candidates[i].candidate_id, i);
}

TEST(Pipeline, NoCandidateIsUnrepairable) {
  RepairOptions o;
  o.top_k = 0;  // the beam search stops after its first step
  const RepairResult r = run("[1 2 @", o);
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.metrics.mode_used, "probabilistic");
  EXPECT_EQ(r.metrics.beam_width, 32u);
  EXPECT_EQ(r.metrics.max_repairs, 20u);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].kind, "UnrepairableJSON");
  ASSERT_TRUE(r.errors[0].at.has_value());
}

// A document that needs more repairs than max_total_repairs fails at the stage that finds so,
// with one error record of its own kind; at the limit the result is the unlimited one.
struct PipelineLimitCase {
  const char* input;
  std::uint64_t limit;
  const char* mode_used;  // nullptr: within the limit
  std::uint64_t at = 0;
  const char* where = "";
};

TEST(Pipeline, RepairLimit) {
  const PipelineLimitCase cases[] = {
      {"```json\n[1]\n``` tail", 3, nullptr},
      {"```json\n[1]\n``` tail", 1, "strict", 12, "extraction went past the limit at byte 12 of the input"},
      {"[1 1 1 1]", 3, nullptr},
      {"[1 1 1 1]", 2, "fast_repair", 7,
       "the heuristic repair went past the limit at byte 7 of the text its pass started from"},
      {"x [1 2 @ 3]", 5, nullptr},  // its candidates need 4 and 5
      {"x [1 2 @ 3]", 3, "probabilistic", 6,
       "the beam search went past the limit at byte 6 of the text it read"},
  };
  for (const PipelineLimitCase& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " limit " + std::to_string(c.limit));
    RepairOptions o;
    o.max_total_repairs = c.limit;
    RepairResult r = run(c.input, o);
    if (c.mode_used == nullptr) {
      RepairResult unlimited = run(c.input);
      r.metrics.elapsed_ms = unlimited.metrics.elapsed_ms = 0;
      EXPECT_EQ(to_compact_string(r.to_json_value()), to_compact_string(unlimited.to_json_value()));
      continue;
    }
    EXPECT_EQ(r.status, "failed");
    EXPECT_FALSE(r.best_index.has_value());
    EXPECT_TRUE(r.candidates.empty());
    EXPECT_FALSE(r.partial.has_value());
    EXPECT_EQ(r.metrics.mode_used, c.mode_used);
    EXPECT_EQ(r.metrics.beam_width, std::string_view(c.mode_used) == "probabilistic" ? 32u : 0u);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(to_compact_string(r.errors[0].to_json_value()),
              to_compact_string(JsonValue::object(
                  {{"kind", JsonValue::string("RepairLimitExceeded")},
                   {"at", JsonValue::uinteger(c.at)},
                   {"message", JsonValue::string(
                                   "the document needs more repairs than max_total_repairs "
                                   "allows (" + std::to_string(c.limit) + "); " + c.where)}})));
  }
}

TEST(Pipeline, InvalidUtf8CountsRawAndDecodedBytes) {
  const RepairResult r = run("\xff[1]\xff");
  // Each invalid byte becomes U+FFFD (three bytes) in the decoded text.
  EXPECT_EQ(r.input_stats.input_bytes, 5u);
  EXPECT_EQ(r.input_stats.extracted_span.start, 3u);
  EXPECT_EQ(r.input_stats.extracted_span.end, 6u);
  EXPECT_EQ(r.input_stats.prefix_skipped_bytes, 3u);
  EXPECT_EQ(r.input_stats.suffix_skipped_bytes, 3u);
  EXPECT_EQ(r.status, "repaired");
}

TEST(Pipeline, DebugBlockShowsTheExtraction) {
  RepairOptions o;
  o.debug = true;
  for (const char* input : {"[1]", "x [1, 2", ":"}) {
    const RepairResult r = run(input, o);
    ASSERT_TRUE(r.debug.has_value()) << input;
    const JsonValue* extraction = r.debug->find("extraction");
    ASSERT_NE(extraction, nullptr);
    std::vector<std::string> keys;
    for (const JsonMember& m : extraction->as_object()) keys.push_back(m.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"method", "span", "truncated", "repairs"}));
  }
}

TEST(Pipeline, SchemaScoresEveryOutcome) {
  RepairOptions o;
  o.schema = parse_strict_json(R"({"required_keys":["a","b"]})").value();
  const RepairResult strict = run(R"({"a":1})", o);
  EXPECT_DOUBLE_EQ(*strict.candidates[0].validations.schema_match, 0.75);
  const RepairResult beam = run("[1, 2 3 @", o);
  for (const Candidate& c : beam.candidates) EXPECT_DOUBLE_EQ(*c.validations.schema_match, 0.0);
}

TEST(Pipeline, UnknownModeWordsRunTheFullPipeline) {
  for (const char* mode : {"probabilistic", "whatever", "AUTO"}) {
    RepairOptions o;
    o.mode = mode;
    EXPECT_EQ(run("[1, 2 3 @", o).metrics.mode_used, "probabilistic") << mode;
  }
}

TEST(Pipeline, TextEntryForwardsItsBytes) {
  RepairOptions o;
  const RepairResult a = parse("[1, 2", o);
  const RepairResult b = parse_bytes("[1, 2", o);
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.candidates[0].normalized_json, b.candidates[0].normalized_json);
}

// ---- scale route ----

std::vector<std::string> ir_keys(const Candidate& c) {
  std::vector<std::string> keys;
  for (const JsonMember& m : c.ir->as_object()) keys.push_back(m.key);
  return keys;
}

TEST(PipelineScaleRoute, ForcedRouteParsesEvenTinyDocuments) {
  RepairOptions o;
  o.mode = "scale_pipeline";
  o.schema = parse_strict_json(R"({"required_keys":["x"]})").value();
  const RepairResult r = run("\xEF\xBB\xBF  [1, 2, 3] \n", o);
  EXPECT_EQ(r.status, "strict_ok");
  EXPECT_EQ(r.metrics.mode_used, "scale_pipeline");
  EXPECT_EQ(r.metrics.split_mode, "NO_SPLIT");
  EXPECT_EQ(r.metrics.elements, 3u);
  ASSERT_EQ(r.candidates.size(), 1u);
  const Candidate& c = r.candidates[0];
  EXPECT_EQ(to_compact_string(*c.value), "[1,2,3]");
  EXPECT_FALSE(c.normalized_json.has_value());
  EXPECT_FALSE(c.validations.schema_match.has_value());  // no schema score on this route
  EXPECT_EQ(c.confidence, 1.0);
  EXPECT_FALSE(std::signbit(c.cost));
  EXPECT_EQ(ir_keys(c), (std::vector<std::string>{"split_mode", "chunks", "elements"}));
  EXPECT_EQ(to_compact_string(r.input_stats.to_json_value()),
            R"({"input_bytes":16,"extracted_span":[0,16],"prefix_skipped_bytes":0,"suffix_skipped_bytes":0})");
  EXPECT_FALSE(r.debug.has_value());
}

TEST(PipelineScaleRoute, ForcedRouteFailureIsAScalePipelineError) {
  RepairOptions o;
  o.mode = "scale_pipeline";
  const RepairResult r = run("[1,]", o);
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.metrics.mode_used, "scale_pipeline");
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].kind, "ScalePipelineError");
  EXPECT_FALSE(r.errors[0].at.has_value());
  EXPECT_EQ(r.errors[0].message.value_or("").rfind("strict parse failed: ", 0), 0u);
  EXPECT_TRUE(r.candidates.empty());
}

TEST(PipelineScaleRoute, TapeOutputCarriesTheTapeInTheSplitDescription) {
  RepairOptions o;
  o.mode = "scale_pipeline";
  o.scale_output = "tape";
  o.debug = true;
  const RepairResult r = run(R"({"a": [1, 2]})", o);
  ASSERT_EQ(r.status, "strict_ok");
  const Candidate& c = r.candidates[0];
  EXPECT_FALSE(c.value.has_value());
  EXPECT_EQ(ir_keys(c), (std::vector<std::string>{"split_mode", "chunks", "elements", "tape"}));
  const JsonValue* tape = c.ir->find("tape");
  EXPECT_EQ(tape->find("entry_count")->as_uint(), 7u);
  ASSERT_NE(tape->find("entries"), nullptr);
  EXPECT_EQ(tape->find("entries")->as_array().size(), 7u);
  EXPECT_FALSE(r.debug.has_value());  // the debug block is not part of a scale result
}

TEST(PipelineScaleRoute, AutomaticRouteNeedsSizeBracketAndPermission) {
  RepairOptions o;
  o.parallel_threshold_bytes = 8;
  EXPECT_EQ(run("[1, 2, 3, 4]", o).metrics.mode_used, "auto_scale");
  EXPECT_EQ(run(" \n {\"a\": 1}", o).metrics.mode_used, "auto_scale");
  EXPECT_EQ(run("[1, 2]", o).metrics.mode_used, "strict");               // below the threshold
  EXPECT_EQ(run("note: [1, 2, 3, 4]", o).metrics.mode_used, "strict");   // prose first
  RepairOptions off = o;
  off.allow_parallel = "  FALSE ";
  EXPECT_EQ(run("[1, 2, 3, 4]", off).metrics.mode_used, "strict");
  off.allow_parallel = "off";  // not a word that closes the route: parsed whole on it
  const RepairResult whole = run("[1, 2, 3, 4]", off);
  EXPECT_EQ(whole.metrics.mode_used, "auto_scale");
  EXPECT_EQ(whole.metrics.split_mode, "NO_SPLIT");
  RepairOptions other_mode = o;
  other_mode.mode = "probabilistic";
  EXPECT_EQ(run("[1, 2, 3, 4]", other_mode).metrics.mode_used, "strict");
}

TEST(PipelineScaleRoute, FailedAutomaticAttemptLeavesNoTrace) {
  RepairOptions o;
  o.parallel_threshold_bytes = 8;
  const RepairResult r = run("[1, 2, {'a': 3,}]", o);
  EXPECT_EQ(r.status, "repaired");
  EXPECT_EQ(r.metrics.mode_used, "fast_repair");
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.candidates[0].normalized_json, R"([1,2,{"a":3}])");
}

// ---- language-model step ----

// A fake model that prints its first argument as the reply (tests/fake_llm/answer.sh).
std::string answer_command(std::string_view reply) {
  const std::string script = std::string(VELVIN_SOURCE_DIR) + "/tests/fake_llm/answer.sh";
  return "'" + script + "' '" + std::string(reply) + "'";
}

// Without repairs of its own the beam search cannot complete a key missing its value.
RepairOptions no_beam_repairs() {
  RepairOptions o;
  o.max_repairs = 0;
  return o;
}

TEST(PipelineLlmStep, OffByDefaultAndWithoutCommand) {
  const RepairResult r = run(R"({"a": 1, "b")", no_beam_repairs());
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.metrics.llm_calls, 0u);
  EXPECT_FALSE(r.metrics.llm_trigger.has_value());

  RepairOptions o = no_beam_repairs();
  o.allow_llm = true;  // on, but no command: the trigger is recorded, nothing runs
  const RepairResult q = run(R"({"a": 1, "b")", o);
  EXPECT_EQ(q.metrics.llm_calls, 0u);
  EXPECT_EQ(q.metrics.llm_trigger, "no_candidates");
}

TEST(PipelineLlmStep, PatchedCandidatesAreMergedAndRanked) {
  RepairOptions o = no_beam_repairs();
  o.allow_llm = true;
  // The model inserts the missing value before the closing brace that the heuristic pass
  // appended (offset 12 of {"a": 1, "b"}).
  o.llm_command = answer_command(
      R"({"mode":"patch_suggest","patches":[{"patch_id":"p1","ops":[{"op":"insert","at":12,"text":": 2"}]}]})");
  const RepairResult r = run(R"({"a": 1, "b")", o);
  ASSERT_FALSE(r.candidates.empty());
  EXPECT_EQ(r.best_index, 0u);
  EXPECT_EQ(r.candidates[0].normalized_json, R"({"a":1,"b":2})");
  EXPECT_EQ(r.metrics.llm_calls, 1u);
  EXPECT_EQ(r.metrics.llm_trigger, "no_candidates");
  EXPECT_EQ(r.metrics.mode_used, "probabilistic");
  const auto& repairs = r.candidates[0].repairs;
  ASSERT_FALSE(repairs.empty());
  bool patched = false;
  for (const RepairAction& a : repairs) {
    patched |= a.op() == Op::LlmPatchSuggest && a.note("") == "p1" &&
               a.origin() == Origin{Stage::LanguageModel, 1};
  }
  // The result keeps what the rerun read; the explanation names the patch's stage.
  EXPECT_EQ(r.texts.reruns, std::vector<std::string>{R"({"a": 1, "b": 2})"});
  const std::string explained = explain_result("t", R"({"a": 1, "b")", r, o, ExplainStyle{});
  EXPECT_NE(explained.find("language-model patch 1, whole text  (p1)"), std::string::npos)
      << explained;
  EXPECT_TRUE(patched);
  for (std::size_t i = 0; i < r.candidates.size(); ++i) EXPECT_EQ(r.candidates[i].candidate_id, i);
}

TEST(PipelineLlmStep, FailedRunsLeaveTheBeamResult) {
  RepairOptions o;
  o.allow_llm = true;
  o.llm_max_calls = 2;
  o.llm_min_confidence = 1.0;  // every beam result counts as weak
  o.llm_command = answer_command("not json at all");
  const RepairResult r = run("[1, 2 3 @", o);
  const RepairResult plain = run("[1, 2 3 @");
  EXPECT_EQ(r.metrics.llm_trigger, "low_confidence");
  EXPECT_EQ(r.metrics.llm_calls, 2u);  // an unusable reply spends its attempt
  EXPECT_EQ(r.status, plain.status);
  ASSERT_EQ(r.candidates.size(), plain.candidates.size());
  for (std::size_t i = 0; i < r.candidates.size(); ++i) {
    EXPECT_EQ(r.candidates[i].normalized_json, plain.candidates[i].normalized_json);
  }
}

// ---- ranking ----

Candidate make(std::uint64_t id, double confidence, double cost = 1.0) {
  Candidate c;
  c.candidate_id = id;
  c.confidence = confidence;
  c.cost = cost;
  return c;
}

std::vector<std::uint64_t> order_after_rank(std::vector<Candidate> list) {
  std::vector<std::uint64_t> original;
  // Remember each candidate's identity through its cost field, since ids are renumbered.
  for (auto& c : list) c.normalized_json = std::to_string(c.candidate_id);
  auto ranked = rank_candidates(std::move(list));
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    EXPECT_EQ(ranked[i].candidate_id, i);
    original.push_back(std::stoull(*ranked[i].normalized_json));
  }
  return original;
}

TEST(Ranking, SchemaScoreDominatesAndAbsentCountsAsZero) {
  std::vector<Candidate> list = {make(0, 0.9), make(1, 0.1), make(2, 0.5)};
  list[0].validations.schema_match = std::nullopt;
  list[1].validations.schema_match = 0.3;
  list[2].validations.schema_match = 0.0;
  EXPECT_EQ(order_after_rank(std::move(list)), (std::vector<std::uint64_t>{1, 0, 2}));
}

TEST(Ranking, ConfidenceThenCostThenCounters) {
  std::vector<Candidate> list = {make(0, 0.5, 2.0), make(1, 0.5, 1.0), make(2, 0.6, 9.0),
                                 make(3, 0.5, 1.0), make(4, 0.5, 1.0)};
  list[1].diagnostics.deleted_tokens = 1;
  list[3].diagnostics.close_open_string_count = 1;
  EXPECT_EQ(order_after_rank(std::move(list)), (std::vector<std::uint64_t>{2, 4, 3, 1, 0}));
}

TEST(Ranking, DroppedBytesThenLongerTextThenFewerRepairs) {
  std::vector<Candidate> list = {make(0, 0.5), make(1, 0.5), make(2, 0.5), make(3, 0.5)};
  list[0].dropped_spans = {Span{0, 4}};
  list[1].dropped_spans = {Span{9, 2}};  // end before start counts as nothing
  // Identity is kept in normalized_json by order_after_rank, so the text lengths are "0".."3":
  // equal lengths; repairs decide between 1, 2 and 3.
  list[2].repairs.resize(2);
  list[3].repairs.resize(1);
  EXPECT_EQ(order_after_rank(std::move(list)), (std::vector<std::uint64_t>{1, 3, 2, 0}));
}

TEST(Ranking, LongerCompactTextWinsOverFewerRepairs) {
  std::vector<Candidate> list = {make(0, 0.5), make(1, 0.5)};
  list[0].normalized_json = "[1]";
  list[1].normalized_json = "[1,null]";
  list[1].repairs.resize(3);
  auto ranked = rank_candidates(std::move(list));
  EXPECT_EQ(ranked[0].normalized_json, "[1,null]");
}

TEST(Ranking, FloatKeysUseTheTotalOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Candidate> list = {make(0, -0.0), make(1, 0.0), make(2, nan), make(3, -nan),
                                 make(4, -std::numeric_limits<double>::infinity())};
  EXPECT_EQ(order_after_rank(std::move(list)), (std::vector<std::uint64_t>{2, 1, 0, 4, 3}));
}

TEST(Ranking, EqualCandidatesKeepTheirOrderAndEmptyListsStayEmpty) {
  std::vector<Candidate> list = {make(5, 0.5), make(5, 0.5), make(5, 0.5)};
  list[0].cost = list[1].cost = list[2].cost = 1.0;
  auto ranked = rank_candidates(list);
  EXPECT_EQ(ranked.size(), 3u);
  EXPECT_TRUE(rank_candidates({}).empty());
  auto single = rank_candidates({make(7, 0.1)});
  EXPECT_EQ(single[0].candidate_id, 0u);
}

// ---- every value of a text ----

struct AllCase {
  const char* name;
  std::string input;
  std::vector<std::string> values;    // each piece's best value, compact
  std::vector<std::string> statuses;  // and its status
};

void PrintTo(const AllCase& c, std::ostream* os) { *os << c.name; }

class ParseAllTable : public ::testing::TestWithParam<AllCase> {};

TEST_P(ParseAllTable, EachValueInOrderWithSpansIntoTheWholeText) {
  const AllCase& c = GetParam();
  const std::vector<PieceResult> all = parse_all(c.input, {});
  std::vector<std::string> values, statuses;
  for (const PieceResult& p : all) {
    const RepairResult& r = p.result;
    statuses.push_back(r.status);
    values.push_back(r.best_index ? r.candidates[*r.best_index].normalized_json.value_or("") : "");
    // The statistics describe the whole text; the extracted span lies inside the piece.
    EXPECT_EQ(r.input_stats.input_bytes, c.input.size());
    const Span span = r.input_stats.extracted_span;
    EXPECT_LE(p.piece.start, span.start);
    EXPECT_LE(span.end, p.piece.end);
    EXPECT_EQ(r.input_stats.prefix_skipped_bytes, span.start);
    EXPECT_EQ(r.input_stats.suffix_skipped_bytes, c.input.size() - span.end);
    // parse_piece runs the same piece again to the same result.
    EXPECT_EQ(document(parse_piece(c.input, p.piece, {})), document(r));
  }
  EXPECT_EQ(values, c.values);
  EXPECT_EQ(statuses, c.statuses);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseAllTable,
    ::testing::Values(
        AllCase{"json_lines", "{\"a\": 1}\n{\"b\": [2]}\n", {R"({"a":1})", R"({"b":[2]})"},
                {"strict_ok", "strict_ok"}},
        AllCase{"side_by_side", "{'a':1}[2] [3,]", {R"({"a":1})", "[2]", "[3]"},
                {"repaired", "strict_ok", "repaired"}},
        AllCase{"prose", "First {\"a\": 1}, then {\"b\": 2", {R"({"a":1})", R"({"b":2})"},
                {"strict_ok", "repaired"}},
        AllCase{"fences", "A:\n```json\n[1]\n```\nB:\n```\n{b: 2}\n```\n", {"[1]", R"({"b":2})"},
                {"repaired", "repaired"}}));

// One value, or a valid JSON string that mentions several bracketed runs: exactly parse_bytes.
TEST(ParseAll, OneValueIsParseItself) {
  for (const char* input : {"Sure: {'a': [1, 2,]} bye", "```json\n[1]\n```", R"( "[1] and [2]" )",
                            "no json", ""}) {
    const std::vector<PieceResult> all = parse_all(input, {});
    ASSERT_EQ(all.size(), 1u) << input;
    EXPECT_EQ(all[0].piece, (Span{0, std::string_view(input).size()})) << input;
    EXPECT_EQ(document(all[0].result), document(run(input))) << input;
  }
}

// The fence's strip repairs and the debug block index the whole text.
TEST(ParseAll, ExtractionOffsetsPointIntoTheWholeText) {
  const std::string input = "[0]\n```json\n{\"a\": 1}\n```";
  RepairOptions o;
  o.debug = true;
  const std::vector<PieceResult> all = parse_all(input, o);
  ASSERT_EQ(all.size(), 2u);
  const RepairResult& fenced = all[1].result;
  EXPECT_EQ(all[1].piece, (Span{4, input.size()}));
  EXPECT_EQ(fenced.input_stats.extracted_span, (Span{12, 21}));
  const std::vector<RepairAction>& repairs = fenced.candidates[0].repairs;
  ASSERT_EQ(ops(fenced.candidates[0]),
            (std::vector<Op>{Op::StripPrefixText, Op::StripSuffixText, Op::StripCodeFence}));
  EXPECT_EQ(repairs[0].span(), (Span{4, 12}));
  EXPECT_EQ(repairs[2].span(), (Span{4, input.size()}));
  const JsonValue* extraction = fenced.debug->find("extraction");
  ASSERT_NE(extraction, nullptr);
  EXPECT_EQ(to_compact_string(*extraction->find("span")), "[12,21]");
}

// Offsets count in the decoded text, as parse's do; input_bytes counts the raw bytes.
TEST(ParseAll, InvalidUtf8IsDecodedOnce) {
  const std::vector<PieceResult> all = parse_all("\xff[1]\xff[2]", {});
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].piece, (Span{9, 12}));
  EXPECT_EQ(all[1].result.input_stats.input_bytes, 8u);
  EXPECT_EQ(all[1].result.candidates[0].normalized_json, "[2]");
}

}  // namespace
}  // namespace velvin
