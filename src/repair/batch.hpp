// Batches: many texts through the pipeline on several threads. Takes the texts, the options and
// a job count; hands each text's result, in input order, to a callback on the calling thread:
// the same results as one call per text. Called by parse_many_py / loads_many_py and by the
// velvin tool's --jsonl --jobs.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
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
// is work. The calling thread counts as one of them.
inline constexpr std::size_t kMaxBatchThreads = 256;
[[nodiscard]] std::size_t batch_threads(std::size_t jobs, std::size_t count) noexcept;

namespace batch_detail {

// The results of one batch between the workers that make them and the calling thread that hands
// them on in input order. A worker may run at most `window` pieces ahead of the last one handed
// on, so a batch of any length holds few results at a time.
template <typename T>
class OrderedSlots {
 public:
  OrderedSlots(std::size_t count, std::size_t window)
      : slots_(count), failed_(count, 0), window_(window) {}

  // A worker before computing piece `index`: waits for room; false once the batch has stopped.
  bool wait_for_room(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return stopped_ || index < handed_on_ + window_; });
    return !stopped_;
  }
  void store(std::size_t index, T value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slots_[index] = std::move(value);
    }
    filled_.notify_all();
  }
  // The work of piece `index` threw on a worker; the calling thread does it again.
  void fail(std::size_t index) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed_[index] = 1;
    }
    filled_.notify_all();
  }
  // Piece `index` if it is done; `failed` tells a piece whose worker failed. With `wait`, blocks
  // until one or the other, first waking the workers that wait for room (the piece may be one
  // of theirs).
  std::optional<T> take(std::size_t index, bool wait, bool& failed) {
    if (wait) room_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    if (wait) filled_.wait(lock, [&] { return slots_[index] || failed_[index] != 0; });
    failed = failed_[index] != 0;
    return std::exchange(slots_[index], std::nullopt);
  }
  // The workers waiting for room are woken every window / 8 pieces rather than at each one:
  // they wait when the calling thread is the slower side, and a wake-up per piece would cost
  // it a system call per piece.
  void handed_on(std::size_t count) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handed_on_ = count;
    }
    if (count % std::max<std::size_t>(window_ / 8, 1) == 0) room_.notify_all();
  }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    room_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable room_;
  std::condition_variable filled_;
  std::vector<std::optional<T>> slots_;
  std::vector<unsigned char> failed_;
  std::size_t window_;
  std::size_t handed_on_ = 0;
  bool stopped_ = false;
};

}  // namespace batch_detail

// `work(i)` for every i in 0..count-1 on batch_threads(jobs, count) threads, the calling thread
// included, which take indices from one counter; the calling thread hands each answer to
// `deliver(i, answer)` in input order, as soon as it is there, and helps with the work while it
// waits. A false from `deliver` stops the batch (no more work is started) and is returned. The
// threads are joined before this returns. A piece left undone because a thread could not be
// started, or redone because `work` threw on a worker, is done on the calling thread; only an
// exception there or in `deliver` leaves, after the threads are joined.
template <typename Work, typename Deliver>
bool run_batch(std::size_t count, std::size_t jobs, const Work& work, const Deliver& deliver,
               const ThreadStarter& start = {}) {
  const std::size_t threads = batch_threads(jobs, count);
  if (threads <= 1) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!deliver(i, work(i))) return false;
    }
    return true;
  }
  using T = std::invoke_result_t<const Work&, std::size_t>;
  batch_detail::OrderedSlots<T> slots(count, 64 + 8 * threads);
  WorkCounter counter(count);
  const auto worker = [&]() -> WorkerOutcome {
    while (const std::optional<std::size_t> i = counter.next()) {
      if (!slots.wait_for_room(*i)) break;
      try {
        slots.store(*i, work(*i));
      } catch (...) {
        slots.fail(*i);
      }
    }
    return std::nullopt;
  };
  bool delivered_all = true;
  std::exception_ptr thrown;
  const auto hand_on = [&] {
    try {
      for (std::size_t i = 0; i < count && delivered_all; ++i) {
        bool failed = false;
        std::optional<T> value = slots.take(i, false, failed);
        // Waiting for piece i: do the next piece nobody has taken yet, or wait once all are taken.
        while (!value && !failed) {
          if (const std::optional<std::size_t> j = counter.next()) {
            slots.store(*j, work(*j));
            value = slots.take(i, false, failed);
          } else {
            value = slots.take(i, true, failed);
          }
        }
        if (!value) value.emplace(work(i));
        slots.handed_on(i + 1);
        delivered_all = deliver(i, std::move(*value));
      }
    } catch (...) {
      thrown = std::current_exception();
    }
    slots.stop();
  };
  (void)run_worker_pass(threads - 1, worker, start, hand_on);
  if (thrown) std::rethrow_exception(thrown);
  return delivered_all;
}

// parse_bytes of each text, handed to `deliver` in input order on the calling thread (see
// run_batch); false when `deliver` stopped the batch.
using DeliverResult = std::function<bool(std::size_t, RepairResult&&)>;
bool parse_batch(std::span<const std::string_view> texts, const RepairOptions& options,
                 std::size_t jobs, const DeliverResult& deliver);

}  // namespace velvin
