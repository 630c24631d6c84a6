// The language-model fallback's own cost: one round trip (spawn, request, reply, patch, beam
// rerun) with a command that answers at once, against the floor of spawning and reaping the
// same program with no pipes ("x_floor" is the ratio, measured in the same run); and patch
// application as the op list grows, which must stay linear.
// Usage: bench_llm [benchmark flags]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "llm/payload.hpp"
#include "llm/fallback.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kFastCommand = VELVIN_FAKE_LLM_FAST;
const std::string kShellCommand = std::string("'") + VELVIN_FAKE_LLM_DIR + "/answer.sh' '" +
                                  R"({"mode":"patch_suggest","patches":[]})" + "'";

// Seconds per spawn-and-reap of the fast command, set by the first benchmark.
double g_floor_seconds = 0.0;

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// A realistic request: a broken document larger than the snippet window.
std::string request_payload() {
  std::string text = "[";
  for (int i = 0; text.size() < 4000; ++i) text += "{\"id\": " + std::to_string(i) + ", \"ok\": true},";
  return velvin::to_compact_string(velvin::build_llm_payload_json(
      text, "patch_suggest", text.size() - 1, std::nullopt, std::nullopt, 5, 1200));
}

void report_against_floor(benchmark::State& state, Clock::duration total) {
  const double per_iteration =
      std::chrono::duration<double>(total).count() / static_cast<double>(state.iterations());
  if (g_floor_seconds > 0) state.counters["x_floor"] = per_iteration / g_floor_seconds;
}

void bench_spawn_floor(benchmark::State& state) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string program = kFastCommand;
  char* argv[] = {program.data(), nullptr};
  const auto start = Clock::now();
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("spawn failed");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
  g_floor_seconds = std::chrono::duration<double>(Clock::now() - start).count() /
                    static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  posix_spawn_file_actions_destroy(&actions);
}

void bench_run_command(benchmark::State& state, const std::string& command) {
  const std::string payload = request_payload();
  const auto start = Clock::now();
  for (auto _ : state) {
    auto output = velvin::run_llm_command(command, payload, 5000);
    if (!output) {
      state.SkipWithError(output.error().message.c_str());
      break;
    }
    benchmark::DoNotOptimize(output);
  }
  report_against_floor(state, Clock::now() - start);
}

void bench_fallback_round_trip(benchmark::State& state) {
  velvin::RepairOptions options;
  options.allow_llm = true;
  options.llm_command = kFastCommand;
  const auto start = Clock::now();
  for (auto _ : state) {
    auto result = velvin::maybe_llm_rerun("[1, 2", {}, {}, std::nullopt, options);
    if (result.candidates.empty()) {
      state.SkipWithError("the fallback produced no candidate");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  report_against_floor(state, Clock::now() - start);
}

// n inserts spread over a 1 MiB text, in ascending order (the worst case for the sort).
void bench_apply_patch_ops(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string text(1 << 20, 'x');
  velvin::JsonArray ops;
  ops.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    velvin::JsonObject op;
    op.push_back({"op", velvin::JsonValue::string("insert")});
    op.push_back({"at", velvin::JsonValue::uinteger(i * text.size() / n)});
    op.push_back({"text", velvin::JsonValue::string("ab")});
    ops.push_back(velvin::JsonValue::object(std::move(op)));
  }
  for (auto _ : state) {
    auto patched = velvin::apply_patch_ops_utf8(text, ops);
    benchmark::DoNotOptimize(patched);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
  state.SetComplexityN(static_cast<std::int64_t>(n));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::AddCustomContext("cpu_model", cpu_model());
  // Process benchmarks are timed on the wall clock: the child's work is not this thread's CPU.
  benchmark::RegisterBenchmark("spawn_and_reap_floor", bench_spawn_floor)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("run_llm_command/fast_fake", bench_run_command, kFastCommand)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("run_llm_command/shell_script", bench_run_command, kShellCommand)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("maybe_llm_rerun/fast_fake", bench_fallback_round_trip)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("apply_patch_ops_utf8/1MiB_text", bench_apply_patch_ops)
      ->RangeMultiplier(8)
      ->Range(64, 1 << 18)
      ->Complexity(benchmark::oN)
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
