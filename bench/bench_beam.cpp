// probabilistic_repair on truncated documents of 1 KB to 1 MB cut from the public benchmark
// files, with the growth fitted by Google Benchmark (the BigO line should read N, RMS small).
// The core only: bench/beam.py measures the same through Python, with more kinds of damage.
// Usage: bench_beam [--data DIR] [benchmark flags]; DIR defaults to ../shared/bench-data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "repair/beam.hpp"

namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

// The file's document repeated in a root array until it is `size` bytes long, cut there: a
// truncated document, as a model's output cut off at its length limit looks. Some cuts cannot
// be repaired (a key cut off before its colon); the cut then moves back until one can.
std::string truncated_document(const std::string& file, std::size_t size) {
  std::string doc = "[";
  while (doc.size() < size) {
    if (doc.size() > 1) doc += ",\n";
    doc += file;
  }
  doc.resize(size);
  const auto options = velvin::RepairOptions::defaults();
  for (int attempt = 0; attempt < 256 && !doc.empty(); ++attempt) {
    while (!doc.empty() && (static_cast<unsigned char>(doc.back()) & 0xC0) == 0x80) doc.pop_back();
    if (!doc.empty() && static_cast<unsigned char>(doc.back()) >= 0xC0) doc.pop_back();
    if (!velvin::probabilistic_repair(doc, options, {}).empty()) break;
    doc.pop_back();
  }
  return doc;
}

void bench_repair(benchmark::State& state, const std::map<std::int64_t, std::string>* docs) {
  const std::string& text = docs->at(state.range(0));
  const velvin::RepairOptions options = velvin::RepairOptions::defaults();
  velvin::BeamStats stats;
  std::size_t candidates = 0;
  for (auto _ : state) {
    auto result = velvin::probabilistic_repair(text, options, {}, stats);
    candidates = result.size();
    benchmark::DoNotOptimize(result);
  }
  if (candidates == 0) state.SkipWithError("no candidate");
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.counters["steps"] = static_cast<double>(stats.steps);
  state.counters["expanded"] = static_cast<double>(stats.states_expanded);
  state.counters["parsed"] = static_cast<double>(stats.texts_parsed);
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
  static std::map<std::string, std::map<std::int64_t, std::string>> documents;
  for (const char* name : {"twitter", "citm_catalog", "canada", "gsoc-2018", "github_events"}) {
    const auto path = data / (std::string(name) + ".json");
    if (!std::filesystem::exists(path)) {
      std::cerr << "missing " << path << " (pass --data DIR)\n";
      return 2;
    }
    const std::string file = read_file(path);
    auto& sizes = documents[name];
    for (std::int64_t size = 1000; size <= 1000000; size *= 10) {
      sizes[size] = truncated_document(file, static_cast<std::size_t>(size));
    }
    benchmark::RegisterBenchmark(("repair_truncated/" + std::string(name)).c_str(), bench_repair,
                                 &sizes)
        ->RangeMultiplier(10)
        ->Range(1000, 1000000)
        ->Unit(benchmark::kMicrosecond)
        ->Complexity(benchmark::oN);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
