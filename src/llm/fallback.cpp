#include "llm/fallback.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

#include "repair/beam.hpp"
#include "llm/payload.hpp"

extern char** environ;

namespace velvin {

namespace {

using Clock = std::chrono::steady_clock;
using RunResult = Result<std::string>;

constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr auto kReceiveWait = std::chrono::seconds(1);
// Longer limits than this (about 31 years) are taken as no limit rather than overflow the clock.
constexpr std::uint64_t kMaxTimeoutMs = 1'000'000'000'000;
constexpr std::size_t kIoChunk = 64 * 1024;
constexpr std::uint64_t kMaxSuggestions = 5;
constexpr std::uint64_t kSnippetWindow = 1200;

// A failed run of the command; only a timeout has a code of its own.
[[gnu::cold]] Error command_error(std::string message, ErrorCode code = ErrorCode::command_failed) {
  return Error{code, 0, std::move(message)};
}

std::string system_error_text(int err) {
  char buffer[256];
  // The GNU strerror_r returns the message, which may or may not live in `buffer`.
  return std::string(strerror_r(err, buffer, sizeof buffer));
}

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A pipe whose ends are close-on-exec (so that concurrent spawns cannot inherit each other's
// ends) and above the standard descriptors: if the host closed its stdin, pipe2 may hand out
// descriptor 0, and dup2(0, 0) in the child would keep its close-on-exec flag.
std::optional<int> open_pipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (UniqueFd& end : ends) {
    if (end.get() > 2) continue;
    const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    end.reset(moved);
  }
  pipe.read = std::move(ends[0]);
  pipe.write = std::move(ends[1]);
  return std::nullopt;
}

// ---- command line ----

bool is_ascii_space_byte(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// ---- child process ----

struct Spawned {
  pid_t pid = -1;
  UniqueFd stdin_write;
  UniqueFd stdout_read;
  Pipe cancel;  // a byte written here stops the helper thread
};

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // The child gets the pipes as descriptors 0 and 1 and nothing else of ours. Its signal mask
  // is cleared and SIGPIPE/SIGXFSZ restored to their defaults (a Python host ignores both, and
  // ignored signals survive exec). Its own process group lets a timeout kill whatever it
  // started too.
  int configure(int stdin_fd, int stdout_fd) {
    if (int err = posix_spawn_file_actions_adddup2(&actions_, stdin_fd, 0)) return err;
    if (int err = posix_spawn_file_actions_adddup2(&actions_, stdout_fd, 1)) return err;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (int err = posix_spawn_file_actions_addclosefrom_np(&actions_, 3)) return err;
#endif
    sigset_t mask;
    sigemptyset(&mask);
    if (int err = posix_spawnattr_setsigmask(&attr_, &mask)) return err;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    if (int err = posix_spawnattr_setsigdefault(&attr_, &defaults)) return err;
    if (int err = posix_spawnattr_setpgroup(&attr_, 0)) return err;
    const short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP;
    return posix_spawnattr_setflags(&attr_, flags);
  }

  int spawn(pid_t& pid, std::vector<std::string>& words) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return posix_spawnp(&pid, argv[0], &actions_, &attr_, argv.data(), environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

Result<Spawned> spawn_command(std::vector<std::string>& words) {
  Pipe in;
  Pipe out;
  Pipe cancel;
  if (auto err = open_pipe(in)) {
    return command_error("failed to spawn llm_command: " + system_error_text(*err));
  }
  if (open_pipe(out) || open_pipe(cancel)) return command_error("failed to capture llm stdout");
  SpawnSetup setup;
  if (int err = setup.configure(in.read.get(), out.write.get())) {
    return command_error("failed to spawn llm_command: " + system_error_text(err));
  }
  Spawned child;
  if (int err = setup.spawn(child.pid, words)) {
    return command_error("failed to spawn llm_command: " + system_error_text(err));
  }
  child.stdin_write = std::move(in.write);
  child.stdout_read = std::move(out.read);
  child.cancel = std::move(cancel);
  return child;
}

std::string describe_exit(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return "exit status: " + std::to_string(info.si_status);
  std::string text = "signal: " + std::to_string(info.si_status);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  if (const char* name = sigabbrev_np(info.si_status)) text += std::string(" (SIG") + name + ")";
#endif
  if (info.si_code == CLD_DUMPED) text += " (core dumped)";
  return text;
}

// ---- the helper thread: feeds stdin and drains stdout ----

// A SIGPIPE raised by our own write is pending on this thread (all signals are blocked here);
// take it so that it can never reach the host.
void discard_own_sigpipe() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  const timespec no_wait{0, 0};
  while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
  }
}

// Writes the payload and reads the output at the same time, so that a child that answers
// before it has read all of its input cannot deadlock against us. A child that stops reading
// early (closes stdin or exits) only ends the writing: its output still decides the run.
RunResult pump(UniqueFd stdin_fd, UniqueFd stdout_fd, int cancel_fd, std::string_view payload) {
  std::size_t written = 0;
  if (payload.empty()) stdin_fd.reset();
  if (stdin_fd.valid()) {
    const int flags = ::fcntl(stdin_fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(stdin_fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
      return command_error("failed to write llm stdin: " + system_error_text(errno));
    }
  }
  std::string output;
  std::string chunk(kIoChunk, '\0');
  bool reading = true;
  while (reading || stdin_fd.valid()) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = pollfd{cancel_fd, POLLIN, 0};
    const nfds_t out_slot = reading ? count++ : 0;
    if (reading) fds[out_slot] = pollfd{stdout_fd.get(), POLLIN, 0};
    const nfds_t in_slot = stdin_fd.valid() ? count++ : 0;
    if (stdin_fd.valid()) fds[in_slot] = pollfd{stdin_fd.get(), POLLOUT, 0};
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return command_error("failed to read llm stdout: " + system_error_text(errno));
    }
    if (fds[0].revents != 0) return command_error("cancelled");

    if (stdin_fd.valid() && fds[in_slot].revents != 0) {
      const ssize_t n = ::write(stdin_fd.get(), payload.data() + written, payload.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
        if (written == payload.size()) stdin_fd.reset();
      } else if (n < 0 && errno == EPIPE) {
        discard_own_sigpipe();
        stdin_fd.reset();
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return command_error("failed to write llm stdin: " + system_error_text(errno));
      }
    }

    if (reading && fds[out_slot].revents != 0) {
      const ssize_t n = ::read(stdout_fd.get(), chunk.data(), chunk.size());
      if (n > 0) {
        if (output.size() + static_cast<std::size_t>(n) > kMaxLlmOutputBytes) {
          return command_error("failed to read llm stdout: output exceeds " +
                               std::to_string(kMaxLlmOutputBytes) + " bytes");
        }
        output.append(chunk.data(), static_cast<std::size_t>(n));
      } else if (n == 0) {
        reading = false;
        stdout_fd.reset();
      } else if (errno != EAGAIN && errno != EINTR) {
        return command_error("failed to read llm stdout: " + system_error_text(errno));
      }
    }
  }
  return RunResult::success(std::move(output));
}

// One running child with its helper thread. Whatever happens (including an exception), the
// destructor leaves no process, thread or descriptor behind.
class ChildRun {
 public:
  // If the thread cannot start, the child is killed and reaped before the exception leaves.
  ChildRun(Spawned child, std::string_view payload)
      : pid_(child.pid), cancel_(std::move(child.cancel)) {
    // The thread inherits a fully blocked signal mask, so host signals keep going to the host's
    // own threads and a SIGPIPE from writing stays private to it.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
      std::promise<RunResult> promise;
      result_ = promise.get_future();
      thread_ = std::thread([promise = std::move(promise), in = std::move(child.stdin_write),
                             out = std::move(child.stdout_read), cancel = cancel_.read.get(),
                             payload]() mutable {
        try {
          promise.set_value(pump(std::move(in), std::move(out), cancel, payload));
        } catch (...) {
          promise.set_exception(std::current_exception());
        }
      });
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      kill_group_and_reap();
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ChildRun(const ChildRun&) = delete;
  ChildRun& operator=(const ChildRun&) = delete;

  ~ChildRun() {
    if (!reaped_ && !exited_) kill_group();
    stop_thread();
    reap();
  }

  RunResult wait(std::uint64_t timeout_ms) {
    const auto start = Clock::now();
    const bool limited = timeout_ms > 0 && timeout_ms <= kMaxTimeoutMs;
    const auto deadline = start + std::chrono::milliseconds(limited ? timeout_ms : 0);
    auto settle_delay = std::chrono::microseconds(50);
    for (;;) {
      siginfo_t info{};
      // WNOWAIT leaves the child a zombie: its pid, and so its process group id, cannot be
      // reused while we may still signal the group.
      if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        kill_group_and_reap();
        return command_error("failed to wait for llm_command: " + system_error_text(err));
      }
      if (info.si_pid == pid_) {
        exited_ = true;
        return finish_after_exit(info);
      }
      if (take_result_if_ready() && !message_->ok()) {
        // The output failed (too large, unreadable) while the child runs: nothing it does
        // now can be used.
        kill_group_and_reap();
        return std::move(*message_);
      }
      const auto now = Clock::now();
      if (limited && now >= deadline) {
        kill_group_and_reap();
        return command_error("llm_command timeout", ErrorCode::command_timeout);
      }
      auto pause = std::chrono::duration_cast<Clock::duration>(kPollInterval);
      if (limited) pause = std::min(pause, deadline - now);
      if (!message_) {
        // Wakes early when the output ends, which is usually right before the exit.
        result_.wait_for(pause);
      } else {
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, settle_delay));
        settle_delay = std::min<std::chrono::microseconds>(settle_delay * 2, kPollInterval);
      }
    }
  }

 private:
  RunResult finish_after_exit(const siginfo_t& info) {
    if (info.si_code != CLD_EXITED || info.si_status != 0) {
      return command_error("llm_command exited non-zero: " + describe_exit(info));
    }
    if (!message_ && result_.wait_for(kReceiveWait) == std::future_status::ready) {
      message_ = result_.get();
    }
    if (!message_) {
      // Something the child started still holds its output open.
      kill_group();
      return command_error("failed to receive llm stdout");
    }
    if (!message_->ok()) return std::move(*message_);
    return RunResult::success(decode_utf8_lossy(message_->value()));
  }

  bool take_result_if_ready() {
    if (!message_ && result_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      message_ = result_.get();
    }
    return message_.has_value();
  }

  void kill_group() {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
  }

  void kill_group_and_reap() {
    if (!reaped_) kill_group();
    reap();
  }

  void reap() {
    if (reaped_) return;
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

  void stop_thread() {
    if (!thread_.joinable()) return;
    const char byte = 0;
    while (::write(cancel_.write.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }

  pid_t pid_;
  bool exited_ = false;
  bool reaped_ = false;
  Pipe cancel_;
  std::thread thread_;
  std::future<RunResult> result_;
  std::optional<RunResult> message_;
};

// ---- the fallback ----

bool is_patch_suggest_reply(const std::optional<JsonValue>& reply) {
  if (!reply || !reply->is_object()) return false;
  const JsonValue* mode = reply->find("mode");
  return mode != nullptr && mode->is_string() && mode->as_string() == "patch_suggest";
}

// Runs the command until one reply is usable or the calls are spent.
std::optional<JsonValue> ask_command(const std::string& command, const std::string& payload,
                                     const RepairOptions& options, LlmRerunResult& result) {
  while (result.calls < options.llm_max_calls) {
    const auto start = Clock::now();
    RunResult output = run_llm_command(command, payload, options.llm_timeout_ms);
    result.time_ms += millis_since(start);
    ++result.calls;
    if (!output) continue;
    std::optional<JsonValue> reply = read_llm_reply(output.value());
    if (is_patch_suggest_reply(reply)) return reply;
  }
  return std::nullopt;
}

void rerun_patches(std::string_view text, const std::vector<RepairAction>& repairs,
                   const StageTexts* repair_texts, const JsonValue& reply,
                   const RepairOptions& options, LlmRerunResult& result) {
  const JsonValue* patches = reply.find("patches");
  if (patches == nullptr || !patches->is_array()) return;
  // Reruns are numbered in 16 bits in their repairs' origin.
  const std::uint64_t limit = std::clamp<std::uint64_t>(options.top_k, 1, 0xFFFF);
  std::uint64_t examined = 0;
  for (const JsonValue& patch : patches->as_array()) {
    if (examined++ >= limit) break;
    if (!patch.is_object()) continue;
    const JsonValue* id = patch.find("patch_id");
    const JsonValue* ops = patch.find("ops");
    const JsonArray no_ops;
    auto patched =
        apply_patch_ops_utf8(text, ops != nullptr && ops->is_array() ? ops->as_array() : no_ops);
    if (!patched) continue;

    const auto rerun = static_cast<std::uint16_t>(result.texts.size() + 1);
    result.texts.push_back(std::move(patched).value());
    std::vector<RepairAction> base = repairs;
    RepairAction action =
        RepairAction::make(Op::LlmPatchSuggest, {Stage::LanguageModel, rerun},
                           op_cost(Op::LlmPatchSuggest, Stage::LanguageModel).fixed());
    if (id != nullptr && id->is_string()) action.set_note(id->as_string());
    base.push_back(std::move(action));

    std::vector<Candidate> found = probabilistic_repair(
        result.texts.back(), options, std::move(base), BeamContext{repair_texts, rerun});
    for (Candidate& candidate : found) result.candidates.push_back(std::move(candidate));
    if (result.candidates.size() >= options.top_k) break;
  }
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  enum class Quote { None, Single, Double } quote = Quote::None;
  auto end_word = [&] {
    if (!word.empty()) words.push_back(std::move(word));
    word.clear();
  };
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (quote == Quote::Single) {
      if (c == '\'') quote = Quote::None;
      else word += c;
      ++i;
    } else if (quote == Quote::Double) {
      if (c == '"') {
        quote = Quote::None;
        ++i;
      } else if (c == '\\') {
        // The next character (all of its bytes) is taken literally; a final backslash is dropped.
        if (i + 1 < line.size()) {
          const std::size_t len = decode_utf8_at(line, i + 1).second;
          word.append(line.substr(i + 1, len));
          i += 1 + len;
        } else {
          ++i;
        }
      } else {
        word += c;
        ++i;
      }
    } else if (c == '\'') {
      quote = Quote::Single;
      ++i;
    } else if (c == '"') {
      quote = Quote::Double;
      ++i;
    } else if (is_ascii_space_byte(static_cast<unsigned char>(c))) {
      end_word();
      ++i;
    } else {
      // A stray byte decodes as itself (0x85 would read as NEL): only whole characters count.
      const auto [cp, len] = decode_utf8_at(line, i);
      if (len > 1 && is_unicode_space(cp)) {
        end_word();
      } else {
        word.append(line.substr(i, len));
      }
      i += len;
    }
  }
  end_word();
  return words;
}

std::optional<JsonValue> read_llm_reply(std::string_view output) {
  const std::string_view trimmed = trim_unicode_space(output);
  if (trimmed.empty()) return std::nullopt;
  if (JsonResult whole = parse_strict_json(trimmed)) return std::move(whole).value();
  const std::size_t first = trimmed.find_first_of("{[");
  const std::size_t last = trimmed.find_last_of("}]");
  if (first == std::string_view::npos || last == std::string_view::npos || first >= last) {
    return std::nullopt;
  }
  if (JsonResult inner = parse_strict_json(trimmed.substr(first, last - first + 1))) {
    return std::move(inner).value();
  }
  return std::nullopt;
}

Result<std::string> run_llm_command(std::string_view command_line, std::string_view payload,
                                    std::uint64_t timeout_ms) {
  std::vector<std::string> words = split_command_line(command_line);
  if (words.empty()) return command_error("llm_command is empty");
  Result<Spawned> spawned = spawn_command(words);
  if (!spawned) return std::move(spawned).error();
  // A reader thread that cannot start fails this run like any other run failure: the fallback
  // is an optional stage, so its failures stay inside it (the child is already killed and
  // reaped by then).
  try {
    ChildRun run(std::move(spawned).value(), payload);
    return run.wait(timeout_ms);
  } catch (const std::system_error& e) {
    return command_error(std::string("failed to start llm reader thread: ") + e.what());
  }
}

LlmRerunResult maybe_llm_rerun(std::string_view text, const std::vector<RepairAction>& repairs,
                               const std::vector<Candidate>& candidates,
                               std::optional<std::uint64_t> error_position,
                               const RepairOptions& options, const StageTexts* repair_texts) {
  LlmRerunResult result;
  if (!options.allow_llm || options.llm_max_calls == 0) return result;
  if (candidates.empty()) {
    result.trigger = "no_candidates";
  } else if (candidates.front().confidence < options.llm_min_confidence) {
    result.trigger = "low_confidence";
  } else {
    return result;
  }
  if (!options.llm_command) return result;

  const std::string payload = to_compact_string(
      build_llm_payload_json(text, options.llm_mode, error_position, options.schema,
                             std::nullopt, kMaxSuggestions, kSnippetWindow));
  const std::optional<JsonValue> reply = ask_command(*options.llm_command, payload, options, result);
  if (reply) rerun_patches(text, repairs, repair_texts, *reply, options, result);
  return result;
}

}  // namespace velvin
