// Throughput of the repair front end (extract_json_candidate + heuristic_repair) over the
// broken model-output corpora llm-*.jsonl, beside the strict parser on the same documents'
// valid sources as a peer; then the time of the front end against input size (1 KB, 100 KB,
// 10 MB) for realistic text and for floods of one byte, with a fitted O(N) line per family.
// Usage: bench_front [--data DIR] [benchmark flags]; DIR defaults to ../shared/bench-data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "repair/extract.hpp"
#include "repair/heuristic.hpp"
#include "core/json.hpp"

namespace {

struct Corpus {
  std::string name;
  std::vector<std::string> inputs;   // the broken texts
  std::vector<std::string> sources;  // the valid documents they were made from
  std::size_t input_bytes = 0;
  std::size_t source_bytes = 0;
};

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

const std::string* string_field(const velvin::JsonValue& doc, std::string_view key,
                                std::string& holder) {
  const velvin::JsonValue* v = doc.find(key);
  if (v == nullptr || !v->is_string()) return nullptr;
  holder = std::string(v->as_string());
  return &holder;
}

// One JSON object per line, with the broken text under "input" and its origin under "source".
bool load_corpus(const std::filesystem::path& path, Corpus& corpus) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  corpus.name = path.stem().string();
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    auto doc = velvin::parse_strict_json(line);
    std::string input, source;
    if (!doc || string_field(doc.value(), "input", input) == nullptr ||
        string_field(doc.value(), "source", source) == nullptr) {
      std::cerr << path << ":" << number << ": not a corpus line\n";
      return false;
    }
    corpus.input_bytes += input.size();
    corpus.source_bytes += source.size();
    corpus.inputs.push_back(std::move(input));
    corpus.sources.push_back(std::move(source));
  }
  return !corpus.inputs.empty();
}

std::size_t run_front(const std::string& input, const velvin::RepairOptions& options) {
  velvin::Extraction extraction = velvin::extract_json_candidate(input);
  velvin::HeuristicResult repaired = velvin::heuristic_repair(extraction.text, options);
  benchmark::DoNotOptimize(repaired.text.data());
  return repaired.repairs.size() + extraction.repairs.size();
}

void bench_front_corpus(benchmark::State& state, const Corpus* corpus) {
  const velvin::RepairOptions options;
  std::size_t actions = 0;
  for (auto _ : state) {
    actions = 0;
    for (const std::string& input : corpus->inputs) actions += run_front(input, options);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(corpus->input_bytes));
  state.counters["actions_per_pass"] = static_cast<double>(actions);
}

void bench_strict_peer(benchmark::State& state, const Corpus* corpus) {
  for (auto _ : state) {
    for (const std::string& source : corpus->sources) {
      auto result = velvin::parse_strict_json(source);
      benchmark::DoNotOptimize(result);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(corpus->source_bytes));
}

// A realistic document of exactly `size` bytes: prose, then an array repeating a broken
// model output, cut off at the size (so the tail is a truncation to repair).
std::string realistic_input(const std::string& unit, std::size_t size) {
  std::string out = "Here is the data you asked for:\n[";
  while (out.size() < size) out += unit + ",\n";
  out.resize(size);
  return out;
}

// `size` bytes: `head`, then `fill` repeated.
std::string flood(std::string_view head, std::size_t size, char fill) {
  std::string out(size, fill);
  std::copy(head.begin(), head.end(), out.begin());
  return out;
}

// range(0) is the nominal size (for the report), range(1) its index in `inputs`.
void bench_scaling(benchmark::State& state, const std::string* inputs) {
  const std::string& input = inputs[state.range(1)];
  const velvin::RepairOptions options;
  for (auto _ : state) benchmark::DoNotOptimize(run_front(input, options));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(input.size()));
  state.SetComplexityN(static_cast<int64_t>(input.size()));
}

// Console output as usual, and at the end a summary: MB/s per corpus (the best and the median
// of the repetitions: on a shared machine the best is the one least disturbed by other work)
// and the ratio to the strict parser measured in the same run.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.counters.count("bytes_per_second") == 0) continue;
      const std::string& name = run.run_name.function_name;
      if (name.rfind("front_scaling/", 0) == 0) {
        const double size = std::stod(run.run_name.args);  // "<size>/<index>"
        const double seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        scaling_[name.substr(14)][static_cast<long>(size)] = seconds * 1e9 / size;
      } else {
        rates_[name].push_back(run.counters.at("bytes_per_second").value / 1e6);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::cout << "\nCPU: " << cpu_model() << "\n" << std::fixed;
    for (const auto& [name, rates] : rates_) {
      if (name.rfind("front/", 0) != 0) continue;
      const std::string corpus = name.substr(6);
      std::cout << std::left << std::setw(30) << ("extract+heuristic " + corpus) << std::right
                << std::setprecision(1) << " best " << std::setw(7) << best(rates)
                << " MB/s, median " << std::setw(7) << median(rates) << " MB/s";
      auto peer = rates_.find("strict_parse_peer/" + corpus);
      if (peer != rates_.end()) {
        std::cout << "   strict_parse (sources) best " << std::setw(7) << best(peer->second)
                  << " MB/s   ratio " << std::setprecision(2)
                  << best(rates) / best(peer->second);
      }
      std::cout << "\n";
    }
    if (scaling_.empty()) return;
    std::cout << "\nns per input byte by input size (flat rows mean linear growth):\n"
              << std::left << std::setw(24) << "input" << std::right;
    for (const auto& [size, ns] : scaling_.begin()->second) std::cout << std::setw(12) << size;
    std::cout << "\n";
    for (const auto& [family, by_size] : scaling_) {
      std::cout << std::left << std::setw(24) << family << std::right << std::setprecision(2);
      for (const auto& [size, ns] : by_size) std::cout << std::setw(12) << ns;
      std::cout << "\n";
    }
  }

 private:
  static double best(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  std::map<std::string, std::vector<double>> rates_;
  std::map<std::string, std::map<long, double>> scaling_;  // family -> size -> ns per byte
};

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
  static std::vector<Corpus> corpora;
  for (const char* name : {"llm-small", "llm-medium", "llm-large"}) {
    Corpus corpus;
    if (!load_corpus(data / (std::string(name) + ".jsonl"), corpus)) {
      std::cerr << "cannot read " << (data / name) << ".jsonl (pass --data DIR)\n";
      return 2;
    }
    corpora.push_back(std::move(corpus));
  }
  for (const Corpus& c : corpora) {
    benchmark::RegisterBenchmark(("front/" + c.name).c_str(), bench_front_corpus, &c)
        ->Repetitions(5);
    benchmark::RegisterBenchmark(("strict_parse_peer/" + c.name).c_str(), bench_strict_peer, &c)
        ->Repetitions(5);
  }

  // The unit of the realistic family: the largest model output of llm-large, as extracted.
  const auto& large = corpora.back().inputs;
  const std::string unit =
      velvin::extract_json_candidate(*std::max_element(large.begin(), large.end(),
                                                       [](const auto& a, const auto& b) {
                                                         return a.size() < b.size();
                                                       }))
          .text;
  static const std::size_t kSizes[] = {1000, 100000, 10000000};
  struct Family {
    const char* name;
    std::function<std::string(std::size_t)> make;
  };
  const std::vector<Family> families = {
      {"realistic", [&](std::size_t n) { return realistic_input(unit, n); }},
      {"open_brackets", [](std::size_t n) { return std::string(n, '['); }},
      {"single_quotes", [](std::size_t n) { return flood("[", n, '\''); }},
      {"double_quotes", [](std::size_t n) { return flood("[", n, '"'); }},
      {"backticks", [](std::size_t n) { return std::string(n, '`'); }},
      {"backslashes_in_string", [](std::size_t n) { return flood("[\"", n, '\\'); }},
      {"nul_bytes", [](std::size_t n) { return flood("{", n, '\0'); }},
  };
  static std::vector<std::array<std::string, 3>> inputs(families.size());
  for (std::size_t f = 0; f < families.size(); ++f) {
    for (std::size_t s = 0; s < 3; ++s) inputs[f][s] = families[f].make(kSizes[s]);
    benchmark::RegisterBenchmark((std::string("front_scaling/") + families[f].name).c_str(),
                                 bench_scaling, inputs[f].data())
        ->Args({1000, 0})
        ->Args({100000, 1})
        ->Args({10000000, 2})
        ->Complexity(benchmark::oN)
        ->Unit(benchmark::kMicrosecond);
  }

  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
