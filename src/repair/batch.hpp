// Batches: many texts through the pipeline on several threads. Takes the texts, the options and
// a job count; returns one result per text in input order, the same as one call per text.
// Called by parse_many_py / loads_many_py and by the velvin tool's --jsonl --jobs.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/options.hpp"
#include "core/records.hpp"
#include "scale/comma_scan.hpp"

namespace velvin {

// Threads for `count` pieces of work and `jobs` asked for (0: one per available hardware
// thread): never more than the pieces, never more than kMaxBatchThreads, at least 1 when there
// is work.
inline constexpr std::size_t kMaxBatchThreads = 256;
[[nodiscard]] std::size_t batch_threads(std::size_t jobs, std::size_t count) noexcept;

// `work(i)` for every i in 0..count-1 on batch_threads(jobs, count) threads, which take indices
// from one counter; each answer lands in slot i, so the order never depends on thread timing.
// The threads are joined before this returns. A slot left empty because a thread could not be
// started, or because `work` threw on a worker, is filled on the calling thread afterwards; only
// an exception of that second attempt leaves (memory exhaustion, as for a single call).
template <typename Work>
[[nodiscard]] auto run_batch(std::size_t count, std::size_t jobs, const Work& work,
                             const ThreadStarter& start = {})
    -> std::vector<std::invoke_result_t<const Work&, std::size_t>> {
  using T = std::invoke_result_t<const Work&, std::size_t>;
  std::vector<T> out;
  if (count == 0) return out;
  SlotTable<T> table(count);
  WorkCounter counter(count);
  const auto worker = [&]() -> WorkerOutcome {
    while (const std::optional<std::size_t> i = counter.next()) table.store(*i, work(*i));
    return std::nullopt;
  };
  // Failed starts and failed workers leave empty slots, which the loop below fills.
  (void)run_worker_pass(batch_threads(jobs, count), worker, start);
  std::vector<std::optional<T>> slots = table.take();
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(slots[i] ? std::move(*slots[i]) : work(i));
  }
  return out;
}

// parse_bytes of each text, in input order.
[[nodiscard]] std::vector<RepairResult> parse_batch(std::span<const std::string_view> texts,
                                                    const RepairOptions& options,
                                                    std::size_t jobs);

}  // namespace velvin
