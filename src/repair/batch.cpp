#include "repair/batch.hpp"

#include <algorithm>

#include "repair/pipeline.hpp"

namespace velvin {

std::size_t batch_threads(std::size_t jobs, std::size_t count) noexcept {
  const std::size_t wanted = jobs != 0 ? jobs : parallel_workers(std::nullopt);
  return std::min({wanted, count, kMaxBatchThreads});
}

bool parse_batch(std::span<const std::string_view> texts, const RepairOptions& options,
                 std::size_t jobs, const DeliverResult& deliver) {
  return run_batch(
      texts.size(), jobs, [&](std::size_t i) { return parse_bytes(texts[i], options); }, deliver);
}

}  // namespace velvin
