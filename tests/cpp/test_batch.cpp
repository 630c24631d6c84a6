#include "repair/batch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "repair/pipeline.hpp"

namespace velvin {
namespace {

// The result document without its one timing, which differs from run to run.
std::string timeless(const RepairResult& result) {
  RepairResult copy = result;
  copy.metrics.elapsed_ms = 0;
  return to_compact_string(copy.to_json_value());
}

std::vector<std::string> one_by_one(const std::vector<std::string_view>& texts,
                                    const RepairOptions& options) {
  std::vector<std::string> out;
  for (std::string_view t : texts) out.push_back(timeless(parse_bytes(t, options)));
  return out;
}

std::vector<std::string> batched(const std::vector<std::string_view>& texts,
                                 const RepairOptions& options, std::size_t jobs) {
  std::vector<std::string> out;
  const bool finished = parse_batch(texts, options, jobs, [&](std::size_t i, RepairResult&& r) {
    EXPECT_EQ(i, out.size());
    out.push_back(timeless(r));
    return true;
  });
  EXPECT_TRUE(finished);
  return out;
}

const std::vector<std::string_view> kTexts = {
    R"({"a": 1})", "{a: [1, 2", "Sure: ```json\n{'x': True}\n```", "}}}}", "", "\xff[1,",
    "[1, 2] and more", R"("\u00e9")", "[[[[[[[[[[", "not json at all",
};

struct Case {
  std::vector<std::string_view> texts;
  std::string mode;
};

class BatchEqualsOneByOne : public ::testing::TestWithParam<Case> {};

TEST_P(BatchEqualsOneByOne, ForEveryJobCount) {
  RepairOptions options;
  options.mode = GetParam().mode;
  const std::vector<std::string> expected = one_by_one(GetParam().texts, options);
  for (std::size_t jobs : {0U, 1U, 2U, 7U}) {
    EXPECT_EQ(batched(GetParam().texts, options, jobs), expected) << "jobs " << jobs;
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, BatchEqualsOneByOne,
                         ::testing::Values(Case{{}, "auto"}, Case{{"}}}}"}, "auto"},
                                           Case{kTexts, "auto"}, Case{kTexts, "strict_only"}));

TEST(BatchThreads, CappedByWorkAndLimit) {
  struct Row {
    std::size_t jobs, count, threads;
  };
  for (const Row& row :
       {Row{3, 0, 0}, Row{3, 2, 2}, Row{2, 9, 2}, Row{100000, 100000, kMaxBatchThreads}}) {
    EXPECT_EQ(batch_threads(row.jobs, row.count), row.threads) << row.jobs << " " << row.count;
  }
  EXPECT_GE(batch_threads(0, 1000), 1U);
  EXPECT_EQ(batch_threads(0, 1), 1U);
}

// Threads that cannot be started, or a worker whose work throws: every piece is still handed
// on, in order (the calling thread does what the workers left).
TEST(RunBatch, DoesWhatWorkersLeft) {
  for (std::size_t fail_at : {0U, 1U, 100U}) {
    std::atomic<std::size_t> started{0};
    const ThreadStarter starter = [&](std::function<void()> body) {
      if (started.fetch_add(1) == fail_at) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      return std::thread(std::move(body));
    };
    const std::thread::id caller = std::this_thread::get_id();
    const auto work = [&](std::size_t i) {
      if (i % 7 == 5 && std::this_thread::get_id() != caller) {
        throw std::runtime_error("on a worker");
      }
      return i * i;
    };
    std::vector<std::size_t> got;
    const auto deliver = [&](std::size_t i, std::size_t v) {
      EXPECT_EQ(i, got.size());
      got.push_back(v);
      return true;
    };
    ASSERT_TRUE(run_batch(400, 4, work, deliver, starter));
    ASSERT_EQ(got.size(), 400U);
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], i * i) << "fail_at " << fail_at;
  }
}

// A false from the receiver stops the batch at once: nothing more is handed on, and the workers
// (some waiting for room far ahead) are released and joined.
TEST(RunBatch, StopsWhenTheReceiverSaysSo) {
  for (std::size_t jobs : {1U, 2U, 4U}) {
    std::size_t handed = 0;
    const bool finished = run_batch(
        5000, jobs, [](std::size_t i) { return i; },
        [&](std::size_t i, std::size_t) {
          ++handed;
          return i < 9;
        });
    EXPECT_FALSE(finished);
    EXPECT_EQ(handed, 10U) << "jobs " << jobs;
  }
}

}  // namespace
}  // namespace velvin
