#include "llm/fallback.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "repair/beam.hpp"
#include "llm/payload.hpp"

namespace velvin {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The fake commands live next to this file: tests/fake_llm/.
std::string fake(std::string_view script) {
  return "'" + (fs::path(__FILE__).parent_path().parent_path() / "fake_llm" / script).string() +
         "'";
}

std::string temp_path(std::string_view name) {
  static int counter = 0;
  return (fs::path(::testing::TempDir()) /
          (std::string(name) + "." + std::to_string(::getpid()) + "." + std::to_string(counter++)))
      .string();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::size_t open_fd_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Any child of this process, running or a zombie, is a leak (waitpid reaps a zombie it finds,
// which is fine: the test fails either way).
bool has_children() {
  int status = 0;
  const pid_t r = ::waitpid(-1, &status, WNOHANG);
  return !(r < 0 && errno == ECHILD);
}

// Processes of the group `pgid` that are not yet dead (zombies count as dead: killed
// grandchildren are reaped by whoever adopted them, at its own pace).
std::vector<pid_t> live_group_members(pid_t pgid) {
  std::vector<pid_t> live;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(entry.path() / "stat");
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat.substr(paren + 1));
    char state = 0;
    long ppid = 0;
    long group = 0;
    fields >> state >> ppid >> group;
    if (group == pgid && state != 'Z' && state != 'X') live.push_back(std::stoi(name));
  }
  return live;
}

bool group_ends(pid_t pgid) {
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (!live_group_members(pgid).empty()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

pid_t read_pid(const std::string& path) {
  const std::string text = read_file(path);
  return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every test of a command checks that it left no descriptor and no child behind.
class LlmCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(has_children());
    fds_before_ = open_fd_count();
  }
  void TearDown() override {
    EXPECT_EQ(open_fd_count(), fds_before_) << "a descriptor was left open";
    EXPECT_FALSE(has_children()) << "a child process was left behind";
  }

 private:
  std::size_t fds_before_ = 0;
};

// ---- command line ----

struct SplitCase {
  const char* name;
  std::string line;
  std::vector<std::string> words;
};

class LlmSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LlmSplit, SplitsLikeAShellWithoutExpansion) {
  EXPECT_EQ(split_command_line(GetParam().line), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LlmSplit,
    ::testing::Values(
        SplitCase{"quoted_spaces_stay", R"(a "b c" 'd e')", {"a", "b c", "d e"}},
        SplitCase{"backslash_ordinary_outside_quotes", R"(a\ b c\d)", {"a\\", "b", "c\\d"}},
        SplitCase{"escaped_quote_in_double_quotes", R"("x\"y" "a\\b")", {"x\"y", "a\\b"}},
        SplitCase{"single_quotes_literal", R"('a\"b $HOME')", {"a\\\"b $HOME"}},
        SplitCase{"empty_quoted_words_vanish", R"('' "" a)", {"a"}},
        SplitCase{"adjacent_parts_join", R"(a"b"'c')", {"abc"}},
        SplitCase{"unterminated_double_runs_to_end", R"(x "a b)", {"x", "a b"}},
        SplitCase{"unterminated_single_runs_to_end", "x 'a \"b", {"x", "a \"b"}},
        SplitCase{"final_backslash_dropped", "\"end\\", {"end"}},
        SplitCase{"escaped_multibyte_character", "\"\\\xC3\xA9\"", {"\xC3\xA9"}},
        SplitCase{"ascii_white_space", "a\tb\nc\vd\fe\rf", {"a", "b", "c", "d", "e", "f"}},
        SplitCase{"unicode_white_space", "a\xC2\xA0" "b\xE3\x80\x80" "c", {"a", "b", "c"}},
        SplitCase{"stray_byte_is_not_white_space", "a\x85" "b", {"a\x85" "b"}},
        SplitCase{"only_space", " \t ", {}},
        SplitCase{"empty", "", {}}),
    [](const ::testing::TestParamInfo<SplitCase>& param) { return std::string(param.param.name); });

// ---- reply reading ----

struct ReplyCase {
  const char* name;
  std::string output;
  std::optional<std::string> reply;  // compact text of the value read, if any
};

class LlmReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(LlmReply, ReadsTheJsonValue) {
  const auto reply = read_llm_reply(GetParam().output);
  ASSERT_EQ(reply.has_value(), GetParam().reply.has_value());
  if (reply) {
    EXPECT_EQ(to_compact_string(*reply), *GetParam().reply);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LlmReply,
    ::testing::Values(
        ReplyCase{"bare_object", " \n{\"mode\": \"patch_suggest\"}\xE3\x80\x80",
                  R"({"mode":"patch_suggest"})"},
        ReplyCase{"prose_and_fence", "Sure:\n```json\n{\"a\": [1]}\n```\nDone.", R"({"a":[1]})"},
        ReplyCase{"array", "[1, 2]", "[1,2]"},
        ReplyCase{"empty", "", std::nullopt},
        ReplyCase{"white_space_only", " \t\xC2\xA0\n", std::nullopt},
        ReplyCase{"prose_only", "I cannot help with that.", std::nullopt},
        ReplyCase{"closer_before_opener", "} and {", std::nullopt},
        ReplyCase{"two_objects", "{\"a\": 1} or {\"b\": 2}", std::nullopt}),
    [](const ::testing::TestParamInfo<ReplyCase>& param) { return std::string(param.param.name); });

// ---- running a command ----

struct RunCase {
  const char* name;
  std::string command;
  std::size_t payload_bytes;
  std::uint64_t timeout_ms;
  bool ok;
  std::string expected;  // the output, or the error text
};

class LlmRunCases : public LlmCommand, public ::testing::WithParamInterface<RunCase> {};

TEST_P(LlmRunCases, GivesOutputOrError) {
  const RunCase& c = GetParam();
  const std::string payload(c.payload_bytes, 'p');
  const auto result = run_llm_command(c.command, payload, c.timeout_ms);
  ASSERT_EQ(result.ok(), c.ok) << (result.ok() ? result.value() : result.error().message);
  EXPECT_EQ(result.ok() ? result.value() : result.error().message, c.expected);
}

const std::string kEmptyReply = "{\"mode\": \"patch_suggest\", \"patches\": []}\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, LlmRunCases,
    ::testing::Values(
        RunCase{"answer", fake("answer.sh") + R"( '{"mode":"patch_suggest"}')", 100, 5000, true,
                R"({"mode":"patch_suggest"})"},
        RunCase{"silent", fake("silent.sh"), 100, 5000, true, ""},
        RunCase{"invalid_utf8_output_replaced", fake("answer.sh") + " 'a\xFF" "b'", 10, 5000, true,
                "a\xEF\xBF\xBD" "b"},
        RunCase{"quoted_arguments", fake("args.sh") + R"( a "b c" 'd e' '' "x\"y")", 10, 5000,
                true, "<a>\n<b c>\n<d e>\n<x\"y>\n"},
        RunCase{"no_time_limit", fake("answer.sh") + " ok", 10, 0, true, "ok"},
        // Answers without reading a request larger than a pipe buffer: the reply still counts.
        RunCase{"child_exits_without_reading", fake("early_exit.sh"), 4 << 20, 5000, true,
                kEmptyReply},
        RunCase{"exit_status", fake("fail.sh"), 100, 5000, false,
                "llm_command exited non-zero: exit status: 3"},
        RunCase{"killed_by_signal", fake("killed.sh"), 100, 5000, false,
                "llm_command exited non-zero: signal: 9 (SIGKILL)"},
        RunCase{"not_found", "velvin-no-such-program-here --flag", 100, 5000, false,
                "failed to spawn llm_command: No such file or directory"},
        RunCase{"empty_command", " '' \"\" ", 100, 5000, false, "llm_command is empty"}),
    [](const ::testing::TestParamInfo<RunCase>& param) { return std::string(param.param.name); });

TEST_F(LlmCommand, PayloadReachesTheCommandWhileOutputIsRead) {
  // Far larger than a pipe buffer in both directions: writing and reading must overlap.
  std::string payload;
  for (int i = 0; payload.size() < (3u << 20); ++i) payload += std::to_string(i) + ",";
  const auto result = run_llm_command("cat", payload, 10000);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(result.value(), payload);
}

struct StuckCase {
  const char* name;
  const char* script;
  std::size_t payload_bytes;
  std::uint64_t timeout_ms;
  std::string error;
  double min_seconds;
};

class LlmStuck : public LlmCommand, public ::testing::WithParamInterface<StuckCase> {};

// Each of these commands would keep the host waiting (or fill its memory); the run must end in
// bounded time with the whole process group gone.
TEST_P(LlmStuck, EndsAndKillsTheGroup) {
  const StuckCase& c = GetParam();
  const std::string pid_file = temp_path(c.name);
  const std::string payload(c.payload_bytes, 'p');
  const auto start = Clock::now();
  const auto result = run_llm_command(fake(c.script) + " '" + pid_file + "'", payload,
                                      c.timeout_ms);
  const double elapsed = seconds_since(start);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, c.error);
  EXPECT_GE(elapsed, c.min_seconds);
  EXPECT_LT(elapsed, c.min_seconds + 5.0);
  const pid_t pid = read_pid(pid_file);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(group_ends(pid)) << "processes of group " << pid << " still run";
  fs::remove(pid_file);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LlmStuck,
    ::testing::Values(
        // A second of time: under load a shell may take long to start and write its pid.
        StuckCase{"sleeps_past_timeout", "hang.sh", 100, 1000, "llm_command timeout", 1.0},
        StuckCase{"ignores_sigterm", "ignore_term.sh", 100, 1000, "llm_command timeout", 1.0},
        StuckCase{"never_reads_large_payload", "no_read.sh", 8 << 20, 1000, "llm_command timeout",
                  1.0},
        // No time limit at all: the output cap alone stops it.
        StuckCase{"writes_without_end", "flood.sh", 100, 0,
                  "failed to read llm stdout: output exceeds 67108864 bytes", 0.0},
        // Exits 0 but a background process keeps the output open.
        StuckCase{"leaves_output_open", "straggler.sh", 100, 5000, "failed to receive llm stdout",
                  1.0}),
    [](const ::testing::TestParamInfo<StuckCase>& param) { return std::string(param.param.name); });

std::uint64_t status_mask(const std::string& status, std::string_view field) {
  const std::size_t at = status.find(std::string(field) + ":\t");
  return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
}

TEST_F(LlmCommand, ChildStartsWithDefaultSignalsLikeAPythonHost) {
  // A Python host ignores SIGPIPE, and ignored signals survive exec; the host thread may also
  // block signals. The child must get neither, and the host's own mask must stay as it was.
  struct sigaction ignore {};
  struct sigaction previous_action {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous_action);
  sigset_t block_usr1;
  sigset_t previous_mask;
  sigemptyset(&block_usr1);
  sigaddset(&block_usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block_usr1, &previous_mask);

  const auto result = run_llm_command("grep -E '^Sig(Ign|Blk)' /proc/self/status", "x", 5000);

  sigset_t mask_after;
  pthread_sigmask(SIG_SETMASK, &previous_mask, &mask_after);
  sigaction(SIGPIPE, &previous_action, nullptr);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(status_mask(result.value(), "SigBlk"), 0u) << result.value();
  EXPECT_EQ(status_mask(result.value(), "SigIgn") & (1ull << (SIGPIPE - 1)), 0u) << result.value();
  EXPECT_EQ(sigismember(&mask_after, SIGUSR1), 1);
  EXPECT_EQ(sigismember(&mask_after, SIGTERM), 0);
}

TEST_F(LlmCommand, ConcurrentRunsKeepTheirPipesApart) {
  // If one run's child inherited another run's stdout pipe, that run would wait for the other
  // child's exit; with every run answering at once, all finish quickly and correctly.
  std::vector<std::thread> threads;
  std::vector<std::string> outputs(6);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    threads.emplace_back([i, &outputs] {
      const std::string command =
          i % 2 == 0 ? fake("answer.sh") + " r" + std::to_string(i) : fake("hang.sh");
      const auto result = run_llm_command(command, "x", i % 2 == 0 ? 5000 : 300);
      outputs[i] = result.ok() ? result.value() : result.error().message;
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    EXPECT_EQ(outputs[i], i % 2 == 0 ? "r" + std::to_string(i) : "llm_command timeout");
  }
}

// ---- the fallback ----

RepairOptions llm_options(std::string command) {
  RepairOptions options;
  options.allow_llm = true;
  options.llm_command = std::move(command);
  return options;
}

Candidate candidate_with_confidence(double confidence) {
  Candidate c;
  c.confidence = confidence;
  return c;
}

std::string reply_with(std::string_view patches) {
  return std::string(R"({"mode":"patch_suggest","patches":)") + std::string(patches) + "}";
}

std::string answer(std::string_view reply) { return fake("answer.sh") + " '" + std::string(reply) + "'"; }

TEST_F(LlmCommand, DoesNotTriggerWhenOffOrConfident) {
  const std::string never = fake("hang.sh");  // would be noticed by its time
  RepairOptions off = llm_options(never);
  off.allow_llm = false;
  RepairOptions no_calls = llm_options(never);
  no_calls.llm_max_calls = 0;
  RepairOptions confident = llm_options(never);
  const std::vector<Candidate> at_threshold = {candidate_with_confidence(0.2)};
  for (const auto& [options, candidates] :
       {std::pair{off, std::vector<Candidate>{}}, std::pair{no_calls, std::vector<Candidate>{}},
        std::pair{confident, at_threshold}}) {
    const LlmRerunResult r = maybe_llm_rerun("[1", {}, candidates, std::nullopt, options);
    EXPECT_TRUE(r.candidates.empty());
    EXPECT_EQ(r.calls, 0u);
    EXPECT_EQ(r.time_ms, 0u);
    EXPECT_FALSE(r.trigger.has_value());
  }
}

TEST_F(LlmCommand, TriggerWithoutCommandRunsNothing) {
  RepairOptions options = llm_options("");
  options.llm_command.reset();
  const LlmRerunResult none = maybe_llm_rerun("[1", {}, {}, std::nullopt, options);
  EXPECT_EQ(none.trigger, "no_candidates");
  EXPECT_EQ(none.calls, 0u);
  const LlmRerunResult low =
      maybe_llm_rerun("[1", {}, {candidate_with_confidence(0.19)}, std::nullopt, options);
  EXPECT_EQ(low.trigger, "low_confidence");
  EXPECT_EQ(low.calls, 0u);
  EXPECT_TRUE(low.candidates.empty());
}

TEST_F(LlmCommand, SendsTheRequestDocument) {
  const std::string request_file = temp_path("request");
  RepairOptions options = llm_options(fake("record.sh") + " '" + request_file + "' '{}'");
  options.schema = parse_strict_json(R"({"required_keys":["a"]})").value();
  options.llm_mode = "custom_mode";
  const std::string text = "{\"a\": 1,, \"b\": 2";
  const LlmRerunResult r = maybe_llm_rerun(text, {}, {}, std::uint64_t{8}, options);
  EXPECT_EQ(r.calls, 2u);  // "{}" is no patch_suggest reply, so the second call is made too
  EXPECT_EQ(read_file(request_file),
            to_compact_string(build_llm_payload_json(text, "custom_mode", std::uint64_t{8},
                                                     options.schema, std::nullopt, 5, 1200)));
  fs::remove(request_file);
}

TEST_F(LlmCommand, UnusableRepliesSpendEveryCall) {
  for (const std::string& command :
       {fake("array.sh"), answer(R"({"mode":"json_deep_repair","patches":[]})"), fake("fail.sh"),
        fake("silent.sh"), answer("no json here"), answer(R"({"patches":[],"mode":5})")}) {
    const LlmRerunResult r = maybe_llm_rerun("[1", {}, {}, std::nullopt, llm_options(command));
    EXPECT_EQ(r.calls, 2u) << command;
    EXPECT_TRUE(r.candidates.empty()) << command;
    EXPECT_EQ(r.trigger, "no_candidates");
  }
}

TEST_F(LlmCommand, TimedOutCallsCountWithTheirTime) {
  RepairOptions options = llm_options(fake("hang.sh"));
  options.llm_timeout_ms = 150;
  options.llm_max_calls = 2;
  const LlmRerunResult r = maybe_llm_rerun("[1", {}, {}, std::nullopt, options);
  EXPECT_EQ(r.calls, 2u);
  EXPECT_GE(r.time_ms, 300u);
  EXPECT_TRUE(r.candidates.empty());
}

TEST_F(LlmCommand, AcceptedReplyStopsCalling) {
  // cat echoes the request, whose first "mode" is "patch_suggest": accepted, with no patches.
  const LlmRerunResult r = maybe_llm_rerun("[1", {}, {}, std::nullopt, llm_options("cat"));
  EXPECT_EQ(r.calls, 1u);
  EXPECT_TRUE(r.candidates.empty());
}

// What the beam search makes of the patched text with the patch's action as base repair.
std::vector<Candidate> expected_rerun(std::string_view patched, std::vector<RepairAction> base,
                                      const std::optional<std::string>& patch_id,
                                      const RepairOptions& options) {
  RepairAction action = RepairAction::make(Op::LlmPatchSuggest, {Stage::LanguageModel, 1},
                                          op_cost(Op::LlmPatchSuggest, Stage::LanguageModel).fixed());
  if (patch_id) action.set_note(*patch_id);
  base.push_back(std::move(action));
  return probabilistic_repair(patched, options, base);
}

void expect_same_candidates(const std::vector<Candidate>& got, const std::vector<Candidate>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(to_compact_string(got[i].to_json_value()), to_compact_string(want[i].to_json_value()));
  }
}

TEST_F(LlmCommand, PatchedTextIsRepairedAgain) {
  const std::string text = "[1, 2";
  std::vector<RepairAction> base = {RepairAction::make(Op::StripCodeFence, {Stage::Extraction}, 0.0)};
  const std::string reply =
      reply_with(R"([{"patch_id":"close","ops":[{"op":"insert","at":5,"text":"]"}]}])");
  const LlmRerunResult r = maybe_llm_rerun(text, base, {}, std::nullopt, llm_options(answer(reply)));
  EXPECT_EQ(r.calls, 1u);
  EXPECT_EQ(r.trigger, "no_candidates");
  ASSERT_FALSE(r.candidates.empty());
  const Candidate& best = r.candidates.front();
  EXPECT_EQ(best.normalized_json, "[1,2]");
  ASSERT_EQ(best.repairs.size(), 2u);
  const double patch_cost = op_cost(Op::LlmPatchSuggest, Stage::LanguageModel).fixed();
  EXPECT_EQ(best.repairs[0].op(), Op::StripCodeFence);
  EXPECT_EQ(best.repairs[1].op(), Op::LlmPatchSuggest);
  EXPECT_EQ(best.repairs[1].note(""), "close");
  EXPECT_EQ(best.repairs[1].cost_delta, patch_cost);
  EXPECT_FALSE(best.repairs[1].span() || best.repairs[1].at() || best.repairs[1].token());
  EXPECT_DOUBLE_EQ(best.cost, patch_cost);
  EXPECT_DOUBLE_EQ(best.confidence, std::exp(-0.7 * patch_cost));
  ASSERT_EQ(r.texts, std::vector<std::string>{"[1, 2]"});  // what rerun 1 repaired
  expect_same_candidates(r.candidates, expected_rerun("[1, 2]", base, "close", RepairOptions{}));
}

TEST_F(LlmCommand, ProseWrappedReplyIsUsed) {
  const LlmRerunResult r =
      maybe_llm_rerun("[1, 2", {}, {candidate_with_confidence(0.1)}, std::nullopt,
                      llm_options(fake("prose.sh")));
  EXPECT_EQ(r.calls, 1u);
  EXPECT_EQ(r.trigger, "low_confidence");
  expect_same_candidates(r.candidates, expected_rerun("[1, 2]", {}, "close", RepairOptions{}));
}

TEST_F(LlmCommand, PatchWithoutOpsRerunsTheUnchangedText) {
  const std::string reply = reply_with(R"([{"patch_id":7}])");
  const LlmRerunResult r = maybe_llm_rerun("[1, 2", {}, {}, std::nullopt, llm_options(answer(reply)));
  expect_same_candidates(r.candidates, expected_rerun("[1, 2", {}, std::nullopt, RepairOptions{}));
  ASSERT_FALSE(r.candidates.empty());
  EXPECT_EQ(r.candidates.front().repairs.front().op(), Op::LlmPatchSuggest);
  EXPECT_EQ(r.candidates.front().repairs.front().note_kind(), NoteKind::None);
}

TEST_F(LlmCommand, OnlyTopKPatchesAreExamined) {
  const std::string reply = reply_with(
      R"([{"patch_id":"p1","ops":[{"op":"insert","at":5,"text":"]"}]},)"
      R"({"patch_id":"p2","ops":[{"op":"insert","at":5,"text":",3]"}]},)"
      R"({"patch_id":"p3","ops":[{"op":"insert","at":5,"text":",4]"}]}])");
  RepairOptions options = llm_options(answer(reply));
  options.top_k = 1;
  const LlmRerunResult r = maybe_llm_rerun("[1, 2", {}, {}, std::nullopt, options);
  expect_same_candidates(r.candidates, expected_rerun("[1, 2]", {}, "p1", options));

  // A refused or malformed first entry is still the one examined entry.
  const std::string bad_first = reply_with(
      R"([{"patch_id":"p1","ops":[{"op":"move"}]},)"
      R"({"patch_id":"p2","ops":[{"op":"insert","at":5,"text":"]"}]}])");
  options.llm_command = answer(bad_first);
  EXPECT_TRUE(maybe_llm_rerun("[1, 2", {}, {}, std::nullopt, options).candidates.empty());
  options.llm_command = answer(reply_with(R"([5, {"patch_id":"p2","ops":[]}])"));
  EXPECT_TRUE(maybe_llm_rerun("[1, 2", {}, {}, std::nullopt, options).candidates.empty());
}

TEST_F(LlmCommand, SkipsBadPatchesWithinTheExaminedOnes) {
  const std::string reply = reply_with(
      R"([7, {"patch_id":"bad","ops":[{"op":"delete","span":[3]}]},)"
      R"({"patch_id":"p1","ops":[{"op":"insert","at":5,"text":"]"}]}])");
  RepairOptions options = llm_options(answer(reply));
  options.top_k = 3;
  const LlmRerunResult r = maybe_llm_rerun("[1, 2", {}, {}, std::nullopt, options);
  expect_same_candidates(r.candidates, expected_rerun("[1, 2]", {}, "p1", options));
}

TEST_F(LlmCommand, StopsOnceTopKCandidatesAreFound) {
  // "[1, 2," repairs to [1,2] and [1,2,null]: with top_k 2 the first patch is enough.
  const std::string reply = reply_with(
      R"([{"patch_id":"p1"},{"patch_id":"p2","ops":[{"op":"insert","at":0,"text":"[0,"}]}])");
  RepairOptions options = llm_options(answer(reply));
  options.top_k = 2;
  const LlmRerunResult r = maybe_llm_rerun("[1, 2,", {}, {}, std::nullopt, options);
  const std::vector<Candidate> want = expected_rerun("[1, 2,", {}, "p1", options);
  ASSERT_EQ(want.size(), 2u);
  expect_same_candidates(r.candidates, want);
}

}  // namespace
}  // namespace velvin
