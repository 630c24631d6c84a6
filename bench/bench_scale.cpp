// One measured run of the scale pipeline on a document file, for bench/scale.py (which starts a
// fresh process per configuration so that peak memory is that configuration's own).
// Usage: bench_scale FILE tape|value WORKERS REPEAT [THRESHOLD_BYTES] [TARGET_KEY]
// Prints one JSON object: wall seconds of every run, the tape's entry count and bytes, and the
// resident memory before loading, after loading and at its peak (KiB).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "scale/scale.hpp"

namespace {

long resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peak_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool read_file(const char* path, std::string& out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  out.resize(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  return static_cast<bool>(in.read(out.data(), static_cast<std::streamsize>(out.size())));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::cerr << "usage: bench_scale FILE tape|value WORKERS REPEAT [THRESHOLD_BYTES] [TARGET_KEY]\n";
    return 2;
  }
  const std::string mode = argv[2];
  velvin::RepairOptions options;
  options.parallel_workers = std::strtoull(argv[3], nullptr, 10);
  const int repeat = std::atoi(argv[4]);
  if (argc > 5) options.parallel_threshold_bytes = std::strtoull(argv[5], nullptr, 10);
  if (argc > 6) options.scale_target_keys = std::vector<std::string>{argv[6]};

  const long before = resident_kib();
  std::string document;
  if (!read_file(argv[1], document)) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 2;
  }
  const long loaded = resident_kib();

  std::vector<double> seconds;
  std::size_t entries = 0;
  std::string plan;
  for (int i = 0; i < repeat; ++i) {
    // Each result is released after its run is timed, before the next run starts.
    const auto start = std::chrono::steady_clock::now();
    if (mode == "tape") {
      auto result = velvin::parse_root_array_scale_tape(document, options);
      seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (!result) {
        std::cerr << result.error().message << "\n";
        return 1;
      }
      entries = result.value().first.entries.size();
      plan = result.value().second.mode;
    } else {
      auto result = velvin::parse_root_array_scale(document, options);
      seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (!result) {
        std::cerr << result.error().message << "\n";
        return 1;
      }
      plan = result.value().second.mode;
    }
  }

  std::printf("{\"seconds\": [");
  for (std::size_t i = 0; i < seconds.size(); ++i) std::printf("%s%.6f", i ? ", " : "", seconds[i]);
  std::printf("], \"bytes\": %zu, \"entries\": %zu, \"tape_bytes\": %zu, \"entry_size\": %zu, "
              "\"plan\": \"%s\", \"rss_before_kib\": %ld, \"rss_loaded_kib\": %ld, "
              "\"peak_kib\": %ld}\n",
              document.size(), entries, entries * sizeof(velvin::TapeEntry),
              sizeof(velvin::TapeEntry), plan.c_str(), before, loaded, peak_kib());
  return 0;
}
