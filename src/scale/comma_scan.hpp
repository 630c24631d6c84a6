// The parallel structural comma scan: takes the bytes of a large root array or object and finds
// the commas that separate its elements or members (outside strings and nested containers),
// using several threads. Also home of the worker-pass runner that every parallel step of the
// scale pipeline uses. Called by the scale pipeline's split plan.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/json.hpp"

namespace velvin {

// ---- Worker passes ----

// Starts one thread running `body`. The default (an empty function) is std::thread itself;
// tests pass one that fails to exercise the spawn-failure path.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// A worker's answer: nothing on success, else its error.
using WorkerOutcome = std::optional<Error>;

// Runs `worker` on `threads` new threads inside a joining scope and waits for all of them (a
// single worker runs on the calling thread instead, unless `alongside` is given). Each worker's
// exceptions are caught and reported as "worker panicked" (code worker_failed). Returns the
// first error in thread start order, or "failed to spawn thread" (code thread_start_failed) when
// a thread could not be started (those already running are joined first). Unlike every other
// failure of a parallel step, a failed start is never absorbed by a fallback: it abandons the
// whole operation. `alongside`, when given, runs on the calling thread once the threads are
// started (also after a failed start, beside those that did start) and before they are joined;
// it must not throw.
[[nodiscard]] WorkerOutcome run_worker_pass(std::size_t threads,
                                            const std::function<WorkerOutcome()>& worker,
                                            const ThreadStarter& start = {},
                                            const std::function<void()>& alongside = {});

// Hands out the indices 0..count-1 to the workers of one pass (a sequentially consistent
// fetch-and-add), so faster workers take more of the work.
class WorkCounter {
 public:
  explicit WorkCounter(std::size_t count) noexcept : count_(count) {}
  // The next index, or nullopt when the work is exhausted.
  [[nodiscard]] std::optional<std::size_t> next() noexcept {
    const std::size_t i = next_.fetch_add(1, std::memory_order_seq_cst);
    if (i >= count_) return std::nullopt;
    return i;
  }

 private:
  std::atomic<std::size_t> next_{0};
  std::size_t count_;
};

// One result slot per piece of work under one mutex, held only to store one finished result or,
// after the workers are joined, to collect them; results are therefore ordered by slot, never by
// thread timing. A store is a move into a pre-sized slot and cannot throw, so no thread can die
// holding the lock with a slot half-written: the table has no "poisoned" state to report.
template <typename T>
class SlotTable {
 public:
  explicit SlotTable(std::size_t n) : slots_(n) {}
  void store(std::size_t index, T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[index] = std::move(value);
  }
  [[nodiscard]] std::vector<std::optional<T>> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(slots_);
  }

 private:
  std::mutex mutex_;
  std::vector<std::optional<T>> slots_;
};

// ---- The scanner automaton ----

// Scanner state at a chunk boundary; depths count from the start of the whole scan.
struct ScanState {
  std::int64_t obj_depth = 0;
  std::int64_t arr_depth = 0;
  bool in_string = false;
  bool escaped = false;  // only ever true while in_string
  friend bool operator==(const ScanState&, const ScanState&) = default;
};

struct ScanDepths {
  std::int64_t obj = 0;
  std::int64_t arr = 0;
};

// A chunk's effect when entered in one string state.
struct TransducerOutcome {
  std::int64_t obj_delta = 0;
  std::int64_t arr_delta = 0;
  bool in_string = false;
  bool escaped = false;  // reported only when in_string
  friend bool operator==(const TransducerOutcome&, const TransducerOutcome&) = default;
};

// Indexed by 2 * in_string + escaped of the entry state: outside, outside (escape flag set,
// which has no effect outside a string), inside, inside with the first byte escaped.
struct ChunkTransducer {
  std::array<TransducerOutcome, 4> outcomes;
  [[nodiscard]] const TransducerOutcome& at(const ScanState& entry) const noexcept {
    return outcomes[(entry.in_string ? 2U : 0U) + (entry.in_string && entry.escaped ? 1U : 0U)];
  }
  friend bool operator==(const ChunkTransducer&, const ChunkTransducer&) = default;
};

[[nodiscard]] ChunkTransducer compute_transducer(std::string_view chunk);

// Absolute positions of the commas in bytes[chunk_start, chunk_end) that lie outside strings at
// exactly the target depths, ascending.
[[nodiscard]] std::vector<std::uint64_t> scan_chunk_commas(std::string_view bytes,
                                                           std::uint64_t chunk_start,
                                                           std::uint64_t chunk_end,
                                                           const ScanState& entry,
                                                           std::int64_t target_obj,
                                                           std::int64_t target_arr);

// ---- Comma scans ----

using CommaResult = Result<std::vector<std::uint64_t>>;

// Root-level commas of the root array occupying bytes[start, end). Fails with "not a root array
// span" (code not_a_container) unless bytes[start] is '[' and bytes[end - 1] is ']'.
[[nodiscard]] CommaResult find_root_array_commas(std::string_view bytes, std::uint64_t start,
                                                 std::uint64_t end, std::size_t workers,
                                                 std::size_t chunk_bytes,
                                                 const ThreadStarter& start_thread = {});
// The same for '{' ... '}' ("not a root object span").
[[nodiscard]] CommaResult find_root_object_commas(std::string_view bytes, std::uint64_t start,
                                                  std::uint64_t end, std::size_t workers,
                                                  std::size_t chunk_bytes,
                                                  const ThreadStarter& start_thread = {});

// The engine behind both: scans bytes[interior_start, interior_end) in chunks of chunk_bytes,
// in two parallel passes.
[[nodiscard]] CommaResult find_commas(std::string_view bytes, std::uint64_t interior_start,
                                      std::uint64_t interior_end, ScanDepths initial,
                                      ScanDepths target, std::size_t workers,
                                      std::size_t chunk_bytes,
                                      const ThreadStarter& start_thread = {});

// What the split plan needs from one scan of a container's interior, beyond the commas: at each
// comma the number of tape entries the interior holds before it, the interior's whole entry
// count, and its structural bytes (",:[]{}" outside strings). The entry counts are lexical (one
// per bracket, string and scalar token); they equal the tape's exactly when the text is valid
// JSON, which is all the tape path relies on.
struct InteriorScan {
  std::vector<std::uint64_t> commas;
  std::vector<std::uint64_t> entries_before;  // one per comma
  std::uint64_t entries = 0;
  std::uint64_t structural = 0;
  ScanState exit;  // the state after the interior's last byte
};

// Single-threaded.
[[nodiscard]] InteriorScan scan_interior_serial(std::string_view bytes, std::uint64_t begin,
                                                std::uint64_t end, ScanDepths initial,
                                                ScanDepths target);

// The two-pass parallel scan with the same result.
[[nodiscard]] Result<InteriorScan> scan_interior_parallel(
    std::string_view bytes, std::uint64_t begin, std::uint64_t end, ScanDepths initial,
    ScanDepths target, std::size_t workers, std::size_t chunk_bytes,
    const ThreadStarter& start_thread = {});

}  // namespace velvin
