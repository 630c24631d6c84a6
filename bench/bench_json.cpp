// strict_parse and to_compact_string throughput on the public benchmark files, in MB/s.
// Usage: bench_json [--data DIR] [benchmark flags]; DIR defaults to ../shared/bench-data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/strict.hpp"

namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

void bench_strict_parse(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    auto result = velvin::strict_parse(text);
    if (!result) state.SkipWithError(result.error().message.c_str());
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}

void bench_compact(benchmark::State& state, const velvin::JsonValue& value, std::size_t bytes) {
  for (auto _ : state) {
    std::string out = velvin::to_compact_string(value);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes));
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path data = "../shared/bench-data";
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--data") == 0 && i + 1 < argc) {
      data = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  // Kept alive for the whole run: the benchmarks reference them.
  static std::vector<std::pair<std::string, std::string>> files;
  static std::vector<velvin::JsonValue> values;
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(data)) {
    if (entry.path().extension() == ".json") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) {
    std::cerr << "no .json files in " << data << " (pass --data DIR)\n";
    return 2;
  }
  files.reserve(paths.size());
  values.reserve(paths.size());
  for (const auto& p : paths) files.emplace_back(p.stem().string(), read_file(p));
  for (const auto& [name, text] : files) {
    auto parsed = velvin::strict_parse(text);
    if (!parsed) {
      std::cerr << name << ": " << parsed.error().message << " at " << parsed.error().position << "\n";
      return 1;
    }
    values.push_back(std::move(parsed).value());
    benchmark::RegisterBenchmark(("strict_parse/" + name).c_str(), bench_strict_parse, text);
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    benchmark::RegisterBenchmark(("to_compact_string/" + files[i].first).c_str(), bench_compact,
                                 values[i], files[i].second.size());
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
