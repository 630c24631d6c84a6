// velvin: repairs model output into JSON from the command line. Each file argument (or standard
// input) is one document, or with --jsonl each line is one; the best value is printed as compact
// JSON on one line, or the whole result document with --document. --all prints every value of a
// document, --field repairs one member of JSON Lines records, --stream follows a document while
// it arrives.
//
// Exit status: 0 when every document gave a value, 1 when any failed, 2 for usage or I/O errors.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "repair/batch.hpp"
#include "repair/explain.hpp"
#include "core/json.hpp"
#include "core/options.hpp"
#include "repair/pipeline.hpp"
#include "repair/stream.hpp"
#include "core/strict.hpp"
#include "core/records.hpp"
#include "scale/scale.hpp"

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
  --all                      every JSON value of a document, not only the first (fenced blocks,
                             objects and arrays in prose, values side by side): one line per
                             value found; with --jsonl one line per input line, the JSON array of
                             its values; with --document or --explain one per value. A document
                             where none is found prints an empty line
  --field NAME               with --jsonl: each line is a JSON object whose member NAME holds the
                             text to repair; the record is printed with that member replaced by
                             the repaired value and a member "_velvin": {"status", "confidence",
                             "repairs" (their count)} added. A line that is not such a record is
                             reported and printed unchanged; a text that cannot be repaired stays
                             as it was, with status "failed"
  --stream                   read each document as it arrives and print its value, as compact
                             JSON on one line, each time it changed and all that has arrived is
                             read (or 0.1 s after the last line while more keeps coming): members
                             and elements once complete never change, the open end grows. At the
                             end, the value of the whole text if it differs from the last line
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
  bool all = false;
  bool stream = false;
  std::optional<std::string> field;
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

std::string flag_of(const OptionEntry& entry) {
  std::string flag(entry.name);
  std::replace(flag.begin(), flag.end(), '_', '-');
  return flag;
}

// The fallback's switch has no flag: giving --llm-command turns it on.
bool has_flag(const OptionEntry& entry) { return entry.name != "allow_llm"; }

const char* value_form(const OptionEntry& entry) {
  switch (entry.type()) {
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

std::string shown_default(const OptionEntry& entry) {
  const JsonValue value = option_value(RepairOptions{}, entry);
  if (value.is_null()) return "";
  return " [" + (value.is_string() ? std::string(value.as_string()) : to_compact_string(value)) +
         "]";
}

void append_flag_help(std::string& out, bool from_python) {
  for (const OptionEntry& entry : option_registry()) {
    if (entry.from_python != from_python || !has_flag(entry)) continue;
    constexpr std::size_t kColumn = 29;
    std::string line = "  --" + flag_of(entry) + value_form(entry);
    line += line.size() < kColumn ? std::string(kColumn - line.size(), ' ')
                                  : "\n" + std::string(kColumn, ' ');
    out += line + std::string(entry.description) + shown_default(entry) + "\n";
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
  const OptionEntry* entry = nullptr;
  bool negated = false;
};

FlagMatch match_flag(std::string_view name) {
  for (const OptionEntry& entry : option_registry()) {
    if (!has_flag(entry)) continue;
    const std::string flag = flag_of(entry);
    if (name == flag) return FlagMatch{&entry, false};
    if (entry.type() == OptionType::boolean && name.starts_with("no-") && name.substr(3) == flag) {
      return FlagMatch{&entry, true};
    }
  }
  return FlagMatch{};
}

void store_flag(CliOptions& cli, const OptionEntry& entry, std::string_view value) {
  const std::string flag = "--" + flag_of(entry);
  if (entry.type() != OptionType::json) {
    if (auto bad = store_option_text(cli.repair, entry, value)) {
      throw UsageError{flag + " " + bad->message};
    }
    return;
  }
  std::string error;
  auto data = read_file(std::string(value), error);
  if (!data) throw UsageError{flag + ": " + error};
  if (auto bad = store_option_text(cli.repair, entry, *data)) {
    throw UsageError{flag + " " + std::string(value) + ": " + bad->message};
  }
}

// The switch a flag without a value sets, or nullptr.
bool* switch_flag(CliOptions& cli, std::string_view name) {
  if (name == "document") return &cli.document;
  if (name == "jsonl") return &cli.jsonl;
  if (name == "explain") return &cli.explain;
  if (name == "all") return &cli.all;
  if (name == "stream") return &cli.stream;
  return nullptr;
}

void check_combination(const CliOptions& cli) {
  if (cli.explain && cli.document) throw UsageError{"--explain and --document exclude each other"};
  if (cli.field && !cli.jsonl) throw UsageError{"--field needs --jsonl"};
  if (cli.field && (cli.all || cli.document || cli.explain)) {
    throw UsageError{"--field prints records: it excludes --all, --document and --explain"};
  }
  if (cli.stream && (cli.jsonl || cli.all || cli.document || cli.explain)) {
    throw UsageError{"--stream prints values as they arrive: it excludes --jsonl, --all, "
                     "--document and --explain"};
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
    if (bool* mode = switch_flag(cli, name)) {
      if (inline_value) throw UsageError{"--" + std::string(name) + " takes no value"};
      *mode = true;
      continue;
    }
    auto next_value = [&]() -> std::string_view {
      if (inline_value) return *inline_value;
      if (i + 1 >= argc) throw UsageError{"--" + std::string(name) + " needs a value"};
      return argv[++i];
    };
    if (name == "field") {
      cli.field = std::string(next_value());
      if (cli.field->empty()) throw UsageError{"--field needs a member name"};
      continue;
    }
    if (name == "jobs") {
      const std::string_view value = next_value();
      auto jobs = parse_count_text(value);
      if (!jobs) throw UsageError{"--jobs expects a non-negative integer, got '" + std::string(value) + "'"};
      cli.jobs = static_cast<std::size_t>(std::min<std::uint64_t>(*jobs, kMaxBatchThreads));
      cli.jobs_given = true;
      continue;
    }
    const FlagMatch match = match_flag(name);
    if (match.entry == nullptr) throw UsageError{"unknown option --" + std::string(name)};
    if (match.entry->type() == OptionType::boolean) {
      if (match.negated && inline_value) {
        throw UsageError{"--" + std::string(name) + " takes no value"};
      }
      store_flag(cli, *match.entry, match.negated ? "false" : inline_value.value_or("true"));
    } else {
      store_flag(cli, *match.entry, next_value());
    }
  }
  cli.repair.allow_llm = cli.repair.llm_command.has_value();
  if (cli.files.empty()) cli.files.emplace_back("-");
  if (cli.jobs_given && !cli.jsonl) throw UsageError{"--jobs needs --jsonl"};
  check_combination(cli);
  cli.style.color = isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
  cli.progress = isatty(STDERR_FILENO) == 1;
  return cli;
}

// ---- output ----

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

// The line a failure is reported at: the document's own with --jsonl, else the line of the
// first error.
std::size_t failure_line(std::string_view input, std::optional<std::size_t> line,
                         const RepairResult& result) {
  if (line) return *line;
  if (result.errors.empty() || !result.errors.front().at) return 1;
  return line_of(input, result.input_stats.extracted_span.start + *result.errors.front().at);
}

std::string title_of(const std::string& name, std::optional<std::size_t> line) {
  return line ? name + ":" + std::to_string(*line) : name;
}

// What is printed for one result: its explanation, its result document, or its best value (an
// empty text when it has none).
std::string shown(const CliOptions& cli, std::string_view input, const std::string& title,
                  RepairResult&& result) {
  if (cli.explain) return explain_result(title, input, result, cli.repair, cli.style);
  if (cli.document) return to_compact_string(std::move(result).into_json_value());
  const Candidate* best = best_candidate(result);
  return best != nullptr ? value_line(*best) : std::string();
}

// The less good of two statuses, for the summary of a document with several values.
const std::string& worse_status(const std::string& a, const std::string& b) {
  constexpr std::array<std::string_view, 4> kOrder = {"strict_ok", "repaired", "partial", "failed"};
  const auto rank = [&](const std::string& s) { return std::find(kOrder.begin(), kOrder.end(), s); };
  return rank(a) >= rank(b) ? a : b;
}

// --all: every value of the document. Values one per line (with --jsonl, the line's values as
// one JSON array); documents and explanations one per value, failed ones included. Each piece
// that gives no value is reported; a document where none gave one prints an empty line.
DocumentOutcome repair_every_value(const CliOptions& cli, std::string_view input,
                                   const std::string& name, std::optional<std::size_t> line) {
  std::vector<PieceResult> pieces = parse_all(input, cli.repair);
  DocumentOutcome outcome;
  outcome.ok = true;
  outcome.status = "strict_ok";
  std::vector<std::string> parts;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    RepairResult& result = pieces[k].result;
    const bool ok = best_candidate(result) != nullptr;
    outcome.ok &= ok;
    outcome.status = worse_status(outcome.status, result.status);
    if (!ok) outcome.err += failure_report(name, failure_line(input, line, result), result);
    if (!ok && !cli.document && !cli.explain) continue;
    std::string title = title_of(name, line);
    if (pieces.size() > 1) {
      title += " (value " + std::to_string(k + 1) + " of " + std::to_string(pieces.size()) + ")";
    }
    parts.push_back(shown(cli, input, title, std::move(result)));
  }
  if (parts.empty()) {
    outcome.out = "\n";
  } else if (cli.jsonl && !cli.explain) {
    std::string array = "[";
    for (const std::string& part : parts) array += (array.size() > 1 ? "," : "") + part;
    outcome.out = array + "]\n";
  } else {
    for (const std::string& part : parts) outcome.out += part + "\n";
  }
  return outcome;
}

// ---- --field: records whose member holds the text ----

constexpr std::string_view kRecordMember = "_velvin";

// The span of the value of member `index` of the record in `line`, a valid JSON object of
// `count` members.
std::optional<Span> member_value_span(std::string_view line, std::size_t index, std::size_t count) {
  const Span object = trim_span(line, 0, line.size());
  const std::vector<Span> pairs = iter_root_object_pair_spans_single(line, object.start, object.end);
  if (pairs.size() != count) return std::nullopt;
  const auto key_and_value =
      extract_object_key_span_and_value_span(line, pairs[index].start, pairs[index].end);
  if (!key_and_value) return std::nullopt;
  return key_and_value->second;
}

// The member "_velvin" says how the text was repaired.
std::string record_note(const RepairResult& result, const Candidate* best) {
  JsonObject note;
  note.push_back(JsonMember{"status", JsonValue::string(result.status)});
  note.push_back(JsonMember{"confidence", JsonValue::number(best != nullptr ? best->confidence : 0.0)});
  note.push_back(JsonMember{"repairs", JsonValue::uinteger(best != nullptr ? best->repairs.size() : 0)});
  return to_compact_string(JsonValue::object(std::move(note)));
}

// Where the text to repair stands in the record, or why the line is not such a record.
struct RecordField {
  std::string_view text;
  Span value_span;  // of the member in the line
};

std::variant<RecordField, std::string> find_record_field(std::string_view line,
                                                         const JsonResult& parsed,
                                                         const std::string& field) {
  if (!parsed) {
    return "not JSON (" + parsed.error().message + " at byte " +
           std::to_string(parsed.error().position) + ")";
  }
  if (!parsed.value().is_object()) return std::string("not a JSON object");
  const JsonObject& members = parsed.value().as_object();
  std::size_t count = 0;
  std::size_t index = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (members[i].key == kRecordMember) {
      return "it already has a member \"" + std::string(kRecordMember) + "\"";
    }
    if (members[i].key == field) {
      ++count;
      index = i;
    }
  }
  const std::string quoted = "member \"" + field + "\"";
  if (count == 0) return "no " + quoted;
  if (count > 1) return quoted + " appears " + std::to_string(count) + " times";
  if (!members[index].value.is_string()) return quoted + " is not a string";
  const std::optional<Span> value_span = member_value_span(line, index, members.size());
  if (!value_span) return "the place of " + quoted + " was not found";
  return RecordField{members[index].value.as_string(), *value_span};
}

// --field NAME: the record printed with the text of member NAME replaced by its repaired value
// (kept as it was when the repair fails) and "_velvin" added before the closing brace. Every
// other byte of the line stays as it came, so numbers and escapes elsewhere are not rewritten.
DocumentOutcome repair_record(const CliOptions& cli, std::string_view line, const std::string& name,
                              std::size_t number) {
  DocumentOutcome outcome;
  const JsonResult parsed = strict_parse(line);
  auto found = find_record_field(line, parsed, *cli.field);
  if (const std::string* problem = std::get_if<std::string>(&found)) {
    outcome.out = std::string(line) + "\n";
    outcome.err = "velvin: " + name + ":" + std::to_string(number) + ": not a record: " + *problem + "\n";
    outcome.status = "not_a_record";
    return outcome;
  }
  const RecordField& field = std::get<RecordField>(found);
  const RepairResult result = parse(field.text, cli.repair);
  const Candidate* best = best_candidate(result);
  outcome.ok = best != nullptr;
  outcome.status = result.status;
  if (!outcome.ok) outcome.err = failure_report(name, number, result);

  const Span value = field.value_span;
  const std::uint64_t close = trim_span(line, 0, line.size()).end - 1;  // the closing brace
  std::string& out = outcome.out;
  out.append(line.substr(0, value.start));
  if (best != nullptr) {
    out += value_line(*best);
  } else {
    out.append(line.substr(value.start, value.end - value.start));
  }
  out.append(line.substr(value.end, close - value.end));
  out += ",\"" + std::string(kRecordMember) + "\":" + record_note(result, best);
  out.append(line.substr(close));
  out += "\n";
  return outcome;
}

DocumentOutcome repair_document(const CliOptions& cli, std::string_view input,
                                const std::string& name, std::optional<std::size_t> line) {
  if (cli.field) return repair_record(cli, input, name, line.value_or(1));
  if (cli.all) return repair_every_value(cli, input, name, line);
  RepairResult result = parse_bytes(input, cli.repair);
  DocumentOutcome outcome;
  outcome.ok = best_candidate(result) != nullptr;
  outcome.status = result.status;
  if (!outcome.ok) outcome.err = failure_report(name, failure_line(input, line, result), result);
  outcome.out = shown(cli, input, title_of(name, line), std::move(result)) + "\n";
  return outcome;
}

// ---- --stream ----

// Whether more input is waiting to be read (or its end), so the value read so far is not the
// latest.
bool input_waiting(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// Reads the document from `fd` as its bytes arrive and prints its value each time it changed,
// then the value of the whole text when that differs from the last line printed
// (the reader shows what is complete; the pipeline may read the whole text otherwise, such as a
// repeated key or prose after the value). Lines are flushed as they are printed.
//
// A line costs the size of the value, so a value is printed once the reads have caught up with
// the input, or a tenth of a second after the last line while more keeps arriving: a file or a
// fast writer is not printed again per 64 KiB read (which would cost the square of its size),
// while a model's reply, which pauses between tokens, gets a line per token.
// Returns the outcome (its `out` is what is still to print), or nullopt with `error` set on an
// I/O error.
std::optional<DocumentOutcome> stream_document(const CliOptions& cli, int fd,
                                               const std::string& name, std::string& error) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kLineInterval = std::chrono::milliseconds(100);
  StreamReader reader(cli.repair);
  StreamTree tree;
  std::optional<std::string> last;
  auto last_time = Clock::now();
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = name + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    reader.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), tree);
    if (Clock::now() - last_time < kLineInterval && input_waiting(fd)) continue;
    last_time = Clock::now();
    const std::optional<JsonValue> value = tree.value(reader.tail());
    if (!value) continue;
    std::string line = to_compact_string(*value);
    if (line == last) continue;
    std::cout << line << '\n' << std::flush;
    if (!std::cout) {
      error = "write error on standard output";
      return std::nullopt;
    }
    last = std::move(line);
  }
  const RepairResult result = reader.finish();
  const Candidate* best = best_candidate(result);
  DocumentOutcome outcome;
  outcome.ok = best != nullptr;
  outcome.status = result.status;
  if (best != nullptr) {
    std::string line = value_line(*best);
    if (line != last) outcome.out = line + "\n";
  } else {
    if (!last) outcome.out = "\n";  // as a failed document prints
    outcome.err = failure_report(name, failure_line(reader.text(), std::nullopt, result), result);
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
  Progress progress(cli.progress, lines.size());
  const auto repair = [&](std::size_t i) { return repair_document(cli, lines[i], name, i + 1); };
  const auto write = [&](std::size_t i, DocumentOutcome&& outcome) {
    progress.update(i);
    std::cout << outcome.out;
    if (!outcome.err.empty()) {
      progress.finish();
      std::cerr << outcome.err;
    }
    tally.add(outcome);
    return static_cast<bool>(std::cout);  // output that cannot be written ends the work
  };
  (void)run_batch(lines.size(), cli.jobs, repair, write);
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
  if (auto it = tally.statuses.find("not_a_record"); it != tally.statuses.end()) {
    line += ", " + std::to_string(it->second) + " not records";
  }
  return line + "\n";
}

// --stream of one file ("-": standard input); false with `error` set on an I/O error.
bool stream_file(const CliOptions& cli, const std::string& file, Tally& tally, std::string& error) {
  int fd = STDIN_FILENO;
  if (file != "-") {
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = file + ": " + std::strerror(errno);
      return false;
    }
  }
  const std::optional<DocumentOutcome> outcome =
      stream_document(cli, fd, file == "-" ? "<stdin>" : file, error);
  if (fd != STDIN_FILENO) ::close(fd);
  if (!outcome) return false;
  std::cout << outcome->out << std::flush;
  std::cerr << outcome->err;
  tally.add(*outcome);
  if (!std::cout) error = "write error on standard output";
  return static_cast<bool>(std::cout);
}

int run(const CliOptions& cli) {
  const auto start = std::chrono::steady_clock::now();
  Tally tally;
  for (const std::string& file : cli.files) {
    std::string error;
    if (cli.stream) {
      if (!stream_file(cli, file, tally, error)) {
        std::cerr << "velvin: " << error << "\n";
        return 2;
      }
      continue;
    }
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
