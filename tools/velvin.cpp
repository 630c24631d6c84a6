// velvin: repairs model output into JSON from the command line. Each file argument (or standard
// input) is one document, or with --jsonl each line is one; the best value is printed as compact
// JSON on one line, or the whole result document with --document.
//
// Exit status: 0 when every document gave a value, 1 when any failed, 2 for usage or I/O errors.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "repair/explain.hpp"
#include "core/json.hpp"
#include "core/options.hpp"
#include "repair/pipeline.hpp"
#include "core/strict.hpp"
#include "core/records.hpp"

namespace velvin {
namespace {

constexpr const char* kUsageHead = R"(usage: velvin [OPTIONS] [FILE ...]

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

// ---- Flags: one per option of the registry, spelt with '-' for '_' ----

std::string flag_of(const OptionSpec& spec) {
  std::string flag(spec.name);
  std::replace(flag.begin(), flag.end(), '_', '-');
  return flag;
}

// The fallback's switch has no flag: giving --llm-command turns it on.
bool has_flag(const OptionSpec& spec) { return spec.name != "allow_llm"; }

const char* value_form(const OptionSpec& spec) {
  switch (spec.type()) {
    case OptionType::boolean: return "[=BOOL]";
    case OptionType::count:
    case OptionType::optional_count: return " N";
    case OptionType::real: return " X";
    case OptionType::text_list: return " K,...";
    case OptionType::json: return " FILE";
    case OptionType::text:
    case OptionType::optional_text: break;
  }
  return " TEXT";
}

std::string shown_default(const OptionSpec& spec) {
  const JsonValue value = option_value(RepairOptions{}, spec);
  if (value.is_null()) return "";
  return " [" + (value.is_string() ? std::string(value.as_string()) : to_compact_string(value)) +
         "]";
}

void append_flag_help(std::string& out, bool from_python) {
  for (const OptionSpec& spec : option_registry()) {
    if (spec.from_python != from_python || !has_flag(spec)) continue;
    constexpr std::size_t kColumn = 29;
    std::string line = "  --" + flag_of(spec) + value_form(spec);
    line += line.size() < kColumn ? std::string(kColumn - line.size(), ' ')
                                  : "\n" + std::string(kColumn, ' ');
    out += line + std::string(spec.description) + shown_default(spec) + "\n";
  }
}

const std::string& usage() {
  static const std::string text = [] {
    std::string out = kUsageHead;
    out += "\nRepair options (defaults in brackets):\n";
    append_flag_help(out, true);
    out += "A boolean flag alone means true; --no-FLAG means false. A JSON value is read from "
           "FILE.\n";
    out += "\nLanguage-model fallback (off unless --llm-command is given):\n";
    append_flag_help(out, false);
    return out;
  }();
  return text;
}

// The option a flag names, and whether it is the --no- form of a boolean one.
struct FlagMatch {
  const OptionSpec* spec = nullptr;
  bool negated = false;
};

FlagMatch match_flag(std::string_view name) {
  for (const OptionSpec& spec : option_registry()) {
    if (!has_flag(spec)) continue;
    const std::string flag = flag_of(spec);
    if (name == flag) return FlagMatch{&spec, false};
    if (spec.type() == OptionType::boolean && name.starts_with("no-") && name.substr(3) == flag) {
      return FlagMatch{&spec, true};
    }
  }
  return FlagMatch{};
}

void store_flag(CliOptions& cli, const OptionSpec& spec, std::string_view value) {
  const std::string flag = "--" + flag_of(spec);
  if (spec.type() != OptionType::json) {
    if (auto bad = store_option_text(cli.repair, spec, value)) {
      throw UsageError{flag + " " + bad->message};
    }
    return;
  }
  std::string error;
  auto data = read_file(std::string(value), error);
  if (!data) throw UsageError{flag + ": " + error};
  if (auto bad = store_option_text(cli.repair, spec, *data)) {
    throw UsageError{flag + " " + std::string(value) + ": " + bad->message};
  }
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
          std::cout << usage();
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
      std::cout << usage();
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
      auto jobs = parse_count_text(value);
      if (!jobs) throw UsageError{"--jobs expects a non-negative integer, got '" + std::string(value) + "'"};
      cli.jobs = *jobs != 0 ? std::min<std::uint64_t>(*jobs, 1024)
                            : std::max(1u, std::thread::hardware_concurrency());
      cli.jobs_given = true;
      continue;
    }
    const FlagMatch match = match_flag(name);
    if (match.spec == nullptr) throw UsageError{"unknown option --" + std::string(name)};
    if (match.spec->type() == OptionType::boolean) {
      if (match.negated && inline_value) {
        throw UsageError{"--" + std::string(name) + " takes no value"};
      }
      store_flag(cli, *match.spec, match.negated ? "false" : inline_value.value_or("true"));
    } else {
      store_flag(cli, *match.spec, next_value());
    }
  }
  cli.repair.allow_llm = cli.repair.llm_command.has_value();
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
