// velvin: repairs model output into JSON from the command line. Each file argument (or standard
// input) is one document, or with --jsonl each line is one; the best value is printed as compact
// JSON on one line, or the whole result document with --document.
//
// Exit status: 0 when every document gave a value, 1 when any failed, 2 for usage or I/O errors.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "repair/explain.hpp"
#include "core/json.hpp"
#include "repair/pipeline.hpp"
#include "core/strict.hpp"
#include "core/records.hpp"

namespace velvin {
namespace {

constexpr const char* kUsage = R"(usage: velvin [OPTIONS] [FILE ...]

Repairs the output of a language model into JSON. Each FILE (or standard input when there is
none, or for the name -) is one document; the best value is printed as compact JSON on one line.

Output:
  --document                 print the whole result document instead of the value
  --explain                  show, for a person, the input with each repair marked where it
                             happened, the repairs with their costs, the status, the confidence
                             and the value
  --jsonl                    each input line is one document; output lines stay aligned with
                             input lines (a failed line prints an empty line)
  --jobs N                   with --jsonl: repair on N threads (0: one per core), output in input
                             order, a progress bar when standard error is a terminal, and a
                             summary line at the end
  -h, --help                 show this help

Repair options (defaults in brackets):
  --mode MODE                auto | strict_only | fast_repair | probabilistic | scale_pipeline [auto]
  --top-k N                  candidates to keep [5]
  --beam-width N             states kept per beam step [32]
  --max-repairs N            repairs per candidate [20]
  --max-deleted-tokens N     tokens a candidate may delete [3]
  --max-close-open-string N  unterminated strings a candidate may close [1]
  --max-garbage-skip-bytes N bytes a candidate may skip as garbage [8192]
  --confidence-alpha X       confidence = exp(-X * cost) [0.7]
  --partial-ok[=BOOL]        offer the best incomplete value as "partial" [true]
  --allow-single-quotes[=BOOL], --allow-unquoted-keys[=BOOL], --allow-unquoted-values[=BOOL],
  --allow-comments[=BOOL], --allow-python-literals[=BOOL]
                             tolerated defects [all true]
  --allow-parallel TEXT      auto | true | false: scale pipeline threads [auto]
  --parallel-threshold-bytes N   input size for the automatic scale route [1000000000]
  --min-elements-for-parallel N  [512]
  --density-threshold X      [0.001]
  --parallel-chunk-bytes N   [8388608]
  --deterministic-seed N     seed of the beam search's tie-break hash [0]
  --debug[=BOOL]             add the debug block to the result document [false]
  --parallel-workers N       scale pipeline threads (0: all available) [all]
  --parallel-backend TEXT    stored only [process]
  --scale-output TEXT        dom | tape [dom]
  --scale-target-keys K,...  keys of a root object whose value is the big part
  --schema FILE              schema JSON: {"required_keys": [...], "types": {...}}
A boolean flag alone means true; --no-FLAG means false.

Language-model fallback (off unless --llm-command is given):
  --llm-command CMD          program asked for patches when the repair is weak; run without a
                             shell, the request on its standard input (e.g. velvin-llm-openai)
  --llm-mode TEXT            what the program is asked for [patch_suggest]
  --llm-max-calls N          runs per document [2]
  --llm-timeout-ms N         time limit of one run, 0 for none [5000]
  --llm-min-confidence X     best confidence below which the fallback runs [0.2]
)";

struct UsageError {
  std::string message;
};

struct CliOptions {
  RepairOptions repair;
  bool document = false;
  bool jsonl = false;
  bool explain = false;
  ExplainStyle style;
  std::size_t jobs = 1;
  bool jobs_given = false;
  bool progress = false;  // standard error is a terminal
  std::vector<std::string> files;
};

std::optional<std::uint64_t> parse_count(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<double> parse_real(std::string_view text) {
  auto parsed = parse_strict_json(text);
  if (!parsed) return std::nullopt;
  const JsonValue& v = parsed.value();
  if (v.is_float()) return v.as_float();
  if (v.is_int()) return static_cast<double>(v.as_int());
  if (v.is_uint()) return static_cast<double>(v.as_uint());
  return std::nullopt;
}

std::optional<bool> parse_bool(std::string_view text) {
  const std::string t = ascii_lower(text);
  if (t == "true" || t == "1" || t == "yes" || t == "on") return true;
  if (t == "false" || t == "0" || t == "no" || t == "off") return false;
  return std::nullopt;
}

std::optional<std::string> read_file(const std::string& path, std::string& error) {
  if (path == "-") {
    std::string data((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      error = "<stdin>: read error";
      return std::nullopt;
    }
    return data;
  }
  // POSIX reads, so that every failure (a directory included) reports its own errno.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string data;
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      data.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = path + ": " + std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return data;
}

enum class ValueKind { text, count, real, boolean };

// One command-line flag per options-dictionary key.
struct OptionFlag {
  const char* name;
  ValueKind kind;
  std::function<void(RepairOptions&, std::string_view)> apply;
};

const std::vector<OptionFlag>& option_flags() {
  using O = RepairOptions;
  static const std::vector<OptionFlag> flags = {
      {"mode", ValueKind::text, [](O& o, std::string_view v) { o.mode = v; }},
      {"top-k", ValueKind::count, [](O& o, std::string_view v) { o.top_k = *parse_count(v); }},
      {"beam-width", ValueKind::count, [](O& o, std::string_view v) { o.beam_width = *parse_count(v); }},
      {"max-repairs", ValueKind::count, [](O& o, std::string_view v) { o.max_repairs = *parse_count(v); }},
      {"max-deleted-tokens", ValueKind::count,
       [](O& o, std::string_view v) { o.max_deleted_tokens = *parse_count(v); }},
      {"max-close-open-string", ValueKind::count,
       [](O& o, std::string_view v) { o.max_close_open_string = *parse_count(v); }},
      {"max-garbage-skip-bytes", ValueKind::count,
       [](O& o, std::string_view v) { o.max_garbage_skip_bytes = *parse_count(v); }},
      {"confidence-alpha", ValueKind::real,
       [](O& o, std::string_view v) { o.confidence_alpha = *parse_real(v); }},
      {"partial-ok", ValueKind::boolean, [](O& o, std::string_view v) { o.partial_ok = *parse_bool(v); }},
      {"allow-single-quotes", ValueKind::boolean,
       [](O& o, std::string_view v) { o.allow_single_quotes = *parse_bool(v); }},
      {"allow-unquoted-keys", ValueKind::boolean,
       [](O& o, std::string_view v) { o.allow_unquoted_keys = *parse_bool(v); }},
      {"allow-unquoted-values", ValueKind::boolean,
       [](O& o, std::string_view v) { o.allow_unquoted_values = *parse_bool(v); }},
      {"allow-comments", ValueKind::boolean,
       [](O& o, std::string_view v) { o.allow_comments = *parse_bool(v); }},
      {"allow-python-literals", ValueKind::boolean,
       [](O& o, std::string_view v) { o.allow_python_literals = *parse_bool(v); }},
      {"allow-parallel", ValueKind::text, [](O& o, std::string_view v) { o.allow_parallel = v; }},
      {"parallel-threshold-bytes", ValueKind::count,
       [](O& o, std::string_view v) { o.parallel_threshold_bytes = *parse_count(v); }},
      {"min-elements-for-parallel", ValueKind::count,
       [](O& o, std::string_view v) { o.min_elements_for_parallel = *parse_count(v); }},
      {"density-threshold", ValueKind::real,
       [](O& o, std::string_view v) { o.density_threshold = *parse_real(v); }},
      {"parallel-chunk-bytes", ValueKind::count,
       [](O& o, std::string_view v) { o.parallel_chunk_bytes = *parse_count(v); }},
      {"deterministic-seed", ValueKind::count,
       [](O& o, std::string_view v) { o.deterministic_seed = *parse_count(v); }},
      {"debug", ValueKind::boolean, [](O& o, std::string_view v) { o.debug = *parse_bool(v); }},
      {"parallel-workers", ValueKind::count,
       [](O& o, std::string_view v) {
         const std::uint64_t n = *parse_count(v);
         o.parallel_workers = n == 0 ? std::nullopt : std::optional<std::uint64_t>(n);
       }},
      {"parallel-backend", ValueKind::text, [](O& o, std::string_view v) { o.parallel_backend = v; }},
      {"scale-output", ValueKind::text, [](O& o, std::string_view v) { o.scale_output = v; }},
      {"llm-command", ValueKind::text,
       [](O& o, std::string_view v) {
         o.llm_command = std::string(v);
         o.allow_llm = true;
       }},
      {"llm-mode", ValueKind::text, [](O& o, std::string_view v) { o.llm_mode = v; }},
      {"llm-max-calls", ValueKind::count,
       [](O& o, std::string_view v) { o.llm_max_calls = *parse_count(v); }},
      {"llm-timeout-ms", ValueKind::count,
       [](O& o, std::string_view v) { o.llm_timeout_ms = *parse_count(v); }},
      {"llm-min-confidence", ValueKind::real,
       [](O& o, std::string_view v) { o.llm_min_confidence = *parse_real(v); }},
      {"scale-target-keys", ValueKind::text,
       [](O& o, std::string_view v) {
         if (!o.scale_target_keys) o.scale_target_keys.emplace();
         std::size_t start = 0;
         while (start <= v.size()) {
           const std::size_t comma = std::min(v.find(',', start), v.size());
           if (comma > start) o.scale_target_keys->emplace_back(v.substr(start, comma - start));
           start = comma + 1;
         }
       }},
  };
  return flags;
}

bool valid_for(ValueKind kind, std::string_view value) {
  switch (kind) {
    case ValueKind::text: return true;
    case ValueKind::count: return parse_count(value).has_value();
    case ValueKind::real: return parse_real(value).has_value();
    case ValueKind::boolean: return parse_bool(value).has_value();
  }
  return false;
}

const char* expected_form(ValueKind kind) {
  switch (kind) {
    case ValueKind::count: return "a non-negative integer";
    case ValueKind::real: return "a number";
    case ValueKind::boolean: return "true or false";
    case ValueKind::text: return "a text";
  }
  return "a value";
}

void load_schema(CliOptions& cli, const std::string& path) {
  std::string error;
  auto data = read_file(path, error);
  if (!data) throw UsageError{"--schema: " + error};
  auto parsed = parse_strict_json(decode_utf8_lossy(*data));
  if (!parsed) {
    throw UsageError{"--schema " + path + ": not JSON: " + parsed.error().message + " at byte " +
                     std::to_string(parsed.error().position)};
  }
  cli.repair.schema = std::move(parsed).value();
}

// Returns nullopt after printing the help.
std::optional<CliOptions> parse_arguments(int argc, char** argv) {
  CliOptions cli;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (only_files || arg == "-" || !arg.starts_with("--")) {
      if (!only_files && arg.starts_with("-") && arg != "-") {
        if (arg == "-h") {
          std::cout << kUsage;
          return std::nullopt;
        }
        throw UsageError{"unknown option " + std::string(arg)};
      }
      cli.files.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    std::string_view name = arg.substr(2);
    std::optional<std::string_view> inline_value;
    if (auto eq = name.find('='); eq != std::string_view::npos) {
      inline_value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (name == "help") {
      std::cout << kUsage;
      return std::nullopt;
    }
    if (name == "document" || name == "jsonl" || name == "explain") {
      if (inline_value) throw UsageError{"--" + std::string(name) + " takes no value"};
      (name == "document" ? cli.document : name == "jsonl" ? cli.jsonl : cli.explain) = true;
      continue;
    }
    auto next_value = [&]() -> std::string_view {
      if (inline_value) return *inline_value;
      if (i + 1 >= argc) throw UsageError{"--" + std::string(name) + " needs a value"};
      return argv[++i];
    };
    if (name == "jobs") {
      const std::string_view value = next_value();
      auto jobs = parse_count(value);
      if (!jobs) throw UsageError{"--jobs expects a non-negative integer, got '" + std::string(value) + "'"};
      cli.jobs = *jobs != 0 ? std::min<std::uint64_t>(*jobs, 1024)
                            : std::max(1u, std::thread::hardware_concurrency());
      cli.jobs_given = true;
      continue;
    }
    if (name == "schema") {
      load_schema(cli, std::string(next_value()));
      continue;
    }
    bool negated = false;
    const OptionFlag* flag = nullptr;
    for (const OptionFlag& f : option_flags()) {
      if (name == f.name) flag = &f;
      if (f.kind == ValueKind::boolean && name.starts_with("no-") && name.substr(3) == f.name) {
        flag = &f;
        negated = true;
      }
    }
    if (flag == nullptr) throw UsageError{"unknown option --" + std::string(name)};
    std::string_view value;
    if (flag->kind == ValueKind::boolean) {
      if (negated && inline_value) throw UsageError{"--" + std::string(name) + " takes no value"};
      value = negated ? "false" : inline_value.value_or("true");
    } else {
      value = next_value();
    }
    if (!valid_for(flag->kind, value)) {
      throw UsageError{"--" + std::string(flag->name) + " expects " + expected_form(flag->kind) +
                       ", got '" + std::string(value) + "'"};
    }
    flag->apply(cli.repair, value);
  }
  if (cli.files.empty()) cli.files.emplace_back("-");
  if (cli.jobs_given && !cli.jsonl) throw UsageError{"--jobs needs --jsonl"};
  if (cli.explain && cli.document) throw UsageError{"--explain and --document exclude each other"};
  cli.style.color = isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
  cli.progress = isatty(STDERR_FILENO) == 1;
  return cli;
}

// ---- output ----

const Candidate* best_candidate(const RepairResult& result) {
  if (!result.best_index || *result.best_index >= result.candidates.size()) return nullptr;
  return &result.candidates[*result.best_index];
}

std::string value_line(const Candidate& best) {
  if (best.value) return to_compact_string(*best.value);
  if (best.ir) return to_compact_string(*best.ir);  // tape output carries no value tree
  return "null";
}

// Line (from 1) of a byte offset in `text`.
std::size_t line_of(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  for (std::size_t i = 0; i < offset; ++i) line += text[i] == '\n';
  return line;
}

// What one document gives: its output line(s), its failure report and its status word.
struct DocumentOutcome {
  std::string out;
  std::string err;
  std::string status;
  bool ok = false;
};

std::string failure_report(const std::string& name, std::size_t line, const RepairResult& result) {
  std::string errors;
  for (const ParseError& e : result.errors) {
    if (!errors.empty()) errors += ", ";
    errors += to_compact_string(e.to_json_value());
  }
  return "velvin: " + name + ":" + std::to_string(line) + ": " + result.status + ": " + errors + "\n";
}

DocumentOutcome repair_document(const CliOptions& cli, std::string_view input,
                                const std::string& name, std::optional<std::size_t> line) {
  RepairResult result = parse_bytes(input, cli.repair);
  DocumentOutcome outcome;
  const Candidate* best = best_candidate(result);
  outcome.ok = best != nullptr;
  outcome.status = result.status;
  if (cli.explain) {
    const std::string title = line ? name + ":" + std::to_string(*line) : name;
    outcome.out = explain_result(title, input, result, cli.repair, cli.style) + "\n";
  } else if (cli.document) {
    outcome.out = to_compact_string(std::move(result).into_json_value()) + "\n";
  } else {
    outcome.out = (best != nullptr ? value_line(*best) : std::string()) + "\n";
  }
  if (!outcome.ok) {
    std::size_t at_line = line.value_or(1);
    if (!line && !result.errors.empty() && result.errors.front().at) {
      at_line = line_of(input, result.input_stats.extracted_span.start + *result.errors.front().at);
    }
    outcome.err = failure_report(name, at_line, result);
  }
  return outcome;
}

// One line per document; a carriage return before the line feed is not part of the document.
std::vector<std::string_view> split_lines(std::string_view data) {
  std::vector<std::string_view> lines;
  while (!data.empty()) {
    const std::size_t nl = data.find('\n');
    std::string_view line = data.substr(0, nl);
    data = nl == std::string_view::npos ? std::string_view() : data.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

// Statuses counted for the summary line.
struct Tally {
  std::size_t documents = 0;
  std::map<std::string, std::size_t> statuses;
  bool all_ok = true;

  void add(const DocumentOutcome& o) {
    ++documents;
    ++statuses[o.status];
    all_ok &= o.ok;
  }
};

// A progress bar on standard error, redrawn at most ten times a second.
class Progress {
 public:
  Progress(bool enabled, std::size_t total)
      : enabled_(enabled), total_(total), start_(std::chrono::steady_clock::now()) {}
  void update(std::size_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done != total_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr std::size_t kWidth = 30;
    const std::size_t filled = total_ == 0 ? kWidth : done * kWidth / total_;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char line[160];
    std::snprintf(line, sizeof line, "\r[%-*s] %zu/%zu documents, %.1f s", static_cast<int>(kWidth),
                  std::string(filled, '#').c_str(), done, total_, seconds);
    std::cerr << line << std::flush;
  }
  void finish() {
    if (enabled_) std::cerr << "\r\x1b[K" << std::flush;
  }

 private:
  bool enabled_;
  std::size_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
};

// Repairs the lines on `jobs` threads; outputs are written in input order as they complete.
void repair_lines_in_parallel(const CliOptions& cli, const std::vector<std::string_view>& lines,
                              const std::string& name, Tally& tally) {
  std::vector<std::optional<DocumentOutcome>> slots(lines.size());
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next.fetch_add(1); i < lines.size(); i = next.fetch_add(1)) {
      DocumentOutcome outcome = repair_document(cli, lines[i], name, i + 1);
      {
        std::lock_guard<std::mutex> lock(mutex);
        slots[i] = std::move(outcome);
      }
      ready.notify_one();
    }
  };
  const std::size_t count = std::min<std::size_t>(cli.jobs, std::max<std::size_t>(lines.size(), 1));
  std::vector<std::jthread> threads;
  threads.reserve(count);
  for (std::size_t t = 0; t < count; ++t) threads.emplace_back(worker);

  Progress progress(cli.progress, lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    DocumentOutcome outcome;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return slots[i].has_value(); });
      outcome = std::move(*slots[i]);
      slots[i].reset();
    }
    progress.update(i);
    std::cout << outcome.out;
    if (!outcome.err.empty()) {
      progress.finish();
      std::cerr << outcome.err;
    }
    tally.add(outcome);
  }
  progress.update(lines.size());
  progress.finish();
}

std::string summary_line(const Tally& tally, double seconds) {
  char head[128];
  std::snprintf(head, sizeof head, "velvin: %zu documents in %.2f s (%.0f/s)", tally.documents,
                seconds, seconds > 0 ? static_cast<double>(tally.documents) / seconds : 0.0);
  std::string line = head;
  const char* sep = ": ";
  for (const char* status : {"strict_ok", "repaired", "partial", "failed"}) {
    auto it = tally.statuses.find(status);
    line += sep + std::to_string(it == tally.statuses.end() ? 0 : it->second) + " " + status;
    sep = ", ";
  }
  return line + "\n";
}

int run(const CliOptions& cli) {
  const auto start = std::chrono::steady_clock::now();
  Tally tally;
  for (const std::string& file : cli.files) {
    std::string error;
    auto data = read_file(file, error);
    if (!data) {
      std::cerr << "velvin: " << error << "\n";
      return 2;
    }
    const std::string name = file == "-" ? "<stdin>" : file;
    if (!cli.jsonl) {
      const DocumentOutcome outcome = repair_document(cli, *data, name, std::nullopt);
      std::cout << outcome.out;
      std::cerr << outcome.err;
      tally.add(outcome);
    } else if (cli.jobs_given) {
      repair_lines_in_parallel(cli, split_lines(*data), name, tally);
    } else {
      std::size_t line = 0;
      for (std::string_view doc : split_lines(*data)) {
        const DocumentOutcome outcome = repair_document(cli, doc, name, ++line);
        std::cout << outcome.out;
        std::cerr << outcome.err;
        tally.add(outcome);
      }
    }
    std::cout << std::flush;
    if (!std::cout) {
      std::cerr << "velvin: write error on standard output\n";
      return 2;
    }
  }
  if (cli.jsonl && cli.jobs_given) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << summary_line(tally, seconds);
  }
  return tally.all_ok ? 0 : 1;
}

}  // namespace
}  // namespace velvin

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  try {
    auto cli = velvin::parse_arguments(argc, argv);
    if (!cli) return 0;
    return velvin::run(*cli);
  } catch (const velvin::UsageError& e) {
    std::cerr << "velvin: " << e.message << "\n(see velvin --help)\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "velvin: internal error: " << e.what() << "\n";
    return 2;
  }
}
