#include "scale/comma_scan.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>


namespace velvin {
namespace {

// The text with line feeds and backslashes escaped, for failure messages.
std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

// ---- The automaton, byte by byte, as the reference ----

void reference_step(ScanState& s, unsigned char c) {
  if (s.in_string) {
    if (s.escaped) {
      s.escaped = false;
    } else if (c == '\\') {
      s.escaped = true;
    } else if (c == '"') {
      s.in_string = false;
    }
    return;
  }
  switch (c) {
    case '"': s.in_string = true; s.escaped = false; break;
    case '[': ++s.arr_depth; break;
    case ']': --s.arr_depth; break;
    case '{': ++s.obj_depth; break;
    case '}': --s.obj_depth; break;
    default: break;
  }
}

std::vector<std::uint64_t> reference_commas(std::string_view text, std::uint64_t begin,
                                            std::uint64_t end, ScanState s, ScanDepths target) {
  std::vector<std::uint64_t> commas;
  for (std::uint64_t i = begin; i < end; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!s.in_string && c == ',' && s.obj_depth == target.obj && s.arr_depth == target.arr) {
      commas.push_back(i);
    }
    reference_step(s, c);
  }
  return commas;
}

TransducerOutcome reference_outcome(std::string_view chunk, ScanState s) {
  for (unsigned char c : chunk) reference_step(s, c);
  return TransducerOutcome{s.obj_depth, s.arr_depth, s.in_string, s.in_string && s.escaped};
}

// Texts rich in the bytes the automaton cares about, long enough to span several 64-byte blocks.
class TextGenerator {
 public:
  explicit TextGenerator(unsigned seed) : rng_(seed) {}

  std::string random_bytes(std::size_t n) {
    static const char alphabet[] = "\"\\[]{},: a1\n";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += alphabet[pick(sizeof alphabet - 1)];
    return s;
  }

  // A well-formed root array of mixed elements.
  std::string json_array(std::size_t elements) {
    std::string s = "[";
    for (std::size_t i = 0; i < elements; ++i) {
      if (i > 0) s += pick(2) ? "," : " ,\n ";
      s += value(0);
    }
    return s + "]";
  }

  std::string value(int depth) {
    switch (pick(depth > 2 ? 5 : 7)) {
      case 0: return "null";
      case 1: return "-12.5e3";
      case 2: return std::to_string(pick(100000));
      case 3:
      case 4: return string();
      case 5: {
        std::string s = "[";
        for (std::size_t i = pick(4); i > 0; --i) s += value(depth + 1) + (i > 1 ? "," : "");
        return s + "]";
      }
      default: {
        std::string s = "{";
        for (std::size_t i = pick(4); i > 0; --i) {
          s += string() + ":" + value(depth + 1) + (i > 1 ? ", " : "");
        }
        return s + "}";
      }
    }
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

 private:
  std::string string() {
    static const char* pieces[] = {"abc", ",", "]", "}", "\\\"", "\\\\", "\\n", "[{", " "};
    std::string s = "\"";
    for (std::size_t i = pick(6); i > 0; --i) s += pieces[pick(9)];
    return s + "\"";
  }

  std::mt19937 rng_;
};

TEST(ComputeTransducer, MatchesTheAutomatonForEveryEntryState) {
  TextGenerator gen(7);
  for (int i = 0; i < 400; ++i) {
    const std::string text = i % 2 ? gen.random_bytes(gen.pick(300)) : gen.json_array(gen.pick(12));
    const ChunkTransducer t = compute_transducer(text);
    const ScanState entries[4] = {{0, 0, false, false}, {0, 0, false, true}, {0, 0, true, false},
                                  {0, 0, true, true}};
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(t.outcomes[k], reference_outcome(text, entries[k])) << k << ": " << printable(text);
    }
  }
}

TEST(ScanChunkCommas, MatchesTheAutomatonFromAnyEntryState) {
  TextGenerator gen(11);
  for (int i = 0; i < 400; ++i) {
    const std::string text = gen.random_bytes(1 + gen.pick(260));
    const std::uint64_t begin = gen.pick(text.size());
    const ScanState entry{static_cast<std::int64_t>(gen.pick(3)), static_cast<std::int64_t>(gen.pick(3)),
                          gen.pick(2) == 1, gen.pick(2) == 1};
    const ScanDepths target{static_cast<std::int64_t>(gen.pick(3)), static_cast<std::int64_t>(gen.pick(3))};
    ScanState reference_entry = entry;
    reference_entry.escaped = entry.in_string && entry.escaped;
    EXPECT_EQ(scan_chunk_commas(text, begin, text.size(), entry, target.obj, target.arr),
              reference_commas(text, begin, text.size(), reference_entry, target))
        << text;
  }
}

TEST(FindRootArrayCommas, EveryChunkSizeAndWorkerCountGivesTheSerialList) {
  TextGenerator gen(3);
  for (int i = 0; i < 30; ++i) {
    // Well-formed and arbitrary interiors alike: the scan is lexical.
    std::string text = gen.json_array(1 + gen.pick(8));
    if (i % 3 == 2) {
      text = gen.random_bytes(90);
      text.insert(text.begin(), '[');
      text.push_back(']');
    }
    const auto expected =
        reference_commas(text, 1, text.size() - 1, ScanState{0, 1, false, false}, ScanDepths{0, 1});
    for (std::size_t chunk = 1; chunk <= text.size(); chunk += chunk < 16 ? 1 : 7) {
      for (std::size_t workers = 1; workers <= 8; workers += chunk % 2 ? 1 : 3) {
        auto commas = find_root_array_commas(text, 0, text.size(), workers, chunk);
        ASSERT_TRUE(commas.ok());
        ASSERT_EQ(commas.value(), expected) << text << " chunk " << chunk << " workers " << workers;
      }
    }
  }
}

// Regression: a chunk size near the top of the range once wrapped the chunk's end around.
TEST(FindRootArrayCommas, LargestChunkSizeIsOneChunk) {
  const std::string text = R"([1,{"a":2},[3,4],"5,6"])";
  auto commas = find_root_array_commas(text, 0, text.size(), 2, SIZE_MAX);
  ASSERT_TRUE(commas.ok());
  EXPECT_EQ(commas.value(), (std::vector<std::uint64_t>{2, 10, 16}));
}

TEST(FindRootObjectCommas, SkipsCommasInsideMemberValues) {
  const std::string text = R"({"a":[1,2],"b,":{"c":1,"d":2} , "e":"x,\",y"})";
  const auto expected =
      reference_commas(text, 1, text.size() - 1, ScanState{1, 0, false, false}, ScanDepths{1, 0});
  ASSERT_EQ(expected.size(), 2U);
  for (std::size_t chunk = 1; chunk <= text.size(); ++chunk) {
    auto commas = find_root_object_commas(text, 0, text.size(), 3, chunk);
    ASSERT_TRUE(commas.ok());
    EXPECT_EQ(commas.value(), expected) << chunk;
  }
}

TEST(FindRootArrayCommas, SmallCases) {
  for (std::size_t chunk : {1, 2, 3, 100}) {
    auto commas = find_root_array_commas("[1,2,3]", 0, 7, 4, chunk);
    ASSERT_TRUE(commas.ok());
    EXPECT_EQ(commas.value(), (std::vector<std::uint64_t>{2, 4}));
  }
  // An escaped quote followed by a comma, whatever chunk boundary falls between them.
  const std::string escaped = R"(["a\",b", 1])";
  for (std::size_t chunk = 1; chunk <= escaped.size(); ++chunk) {
    auto commas = find_root_array_commas(escaped, 0, escaped.size(), 2, chunk);
    ASSERT_TRUE(commas.ok());
    EXPECT_EQ(commas.value(), (std::vector<std::uint64_t>{8})) << chunk;
  }
  // The span may sit anywhere in the input.
  auto inner = find_root_array_commas("xx[1,[2,3]]yy", 2, 11, 2, 2);
  ASSERT_TRUE(inner.ok());
  EXPECT_EQ(inner.value(), (std::vector<std::uint64_t>{4}));
}

TEST(FindRootArrayCommas, WrongSpansAreRefused) {
  EXPECT_EQ(find_root_array_commas("{1}", 0, 3, 2, 1).error(), (Error{ErrorCode::not_a_container, 0, "not a root array span"}));
  EXPECT_EQ(find_root_array_commas("[1", 0, 2, 2, 1).error(), (Error{ErrorCode::not_a_container, 0, "not a root array span"}));
  EXPECT_EQ(find_root_array_commas("[1]", 0, 9, 2, 1).error(), (Error{ErrorCode::not_a_container, 0, "not a root array span"}));
  EXPECT_EQ(find_root_object_commas("[1]", 0, 3, 2, 1).error(),
            (Error{ErrorCode::not_a_container, 0, "not a root object span"}));
}

TEST(FindRootArrayCommas, EmptyInteriorStartsNoThread) {
  int started = 0;
  const ThreadStarter counting = [&](std::function<void()> body) {
    ++started;
    return std::thread(std::move(body));
  };
  for (std::string_view text : {"[]", "[ ]"}) {
    auto commas = find_root_array_commas(text, 0, text.size(), 4, 1, counting);
    ASSERT_TRUE(commas.ok());
    EXPECT_TRUE(commas.value().empty());
  }
  EXPECT_EQ(started, 0);
  auto one = find_root_array_commas("[1,2]", 0, 5, 8, 100, counting);
  EXPECT_EQ(one.value(), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(started, 0);  // one chunk: each pass runs on the calling thread
  auto three = find_root_array_commas("[1,2]", 0, 5, 8, 1, counting);
  EXPECT_EQ(three.value(), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(started, 6);  // three chunks: three threads per pass
}

// ---- Entry counts and structural bytes of an interior scan ----

TEST(InteriorScan, ParallelScanEqualsSerialScan) {
  TextGenerator gen(5);
  for (int i = 0; i < 60; ++i) {
    const std::string text = gen.json_array(1 + gen.pick(10));
    const InteriorScan serial =
        scan_interior_serial(text, 1, text.size() - 1, ScanDepths{0, 1}, ScanDepths{0, 1});
    ASSERT_EQ(serial.entries_before.size(), serial.commas.size());
    for (std::size_t chunk : {1, 5, 64, 65, 1000}) {
      for (std::size_t workers : {1, 2, 3, 8}) {
        auto parallel = scan_interior_parallel(text, 1, text.size() - 1, ScanDepths{0, 1},
                                               ScanDepths{0, 1}, workers, chunk);
        ASSERT_TRUE(parallel.ok());
        EXPECT_EQ(parallel.value().commas, serial.commas);
        EXPECT_EQ(parallel.value().entries_before, serial.entries_before);
        EXPECT_EQ(parallel.value().entries, serial.entries);
        EXPECT_EQ(parallel.value().structural, serial.structural);
        EXPECT_EQ(parallel.value().exit, serial.exit);
      }
    }
  }
}

TEST(InteriorScan, CountsOneEntryPerBracketStringAndScalar) {
  const std::string text = R"( 12, "a\"]", [true,{"k":-1.5e3}], null )";
  const InteriorScan scan = scan_interior_serial(text, 0, text.size(), ScanDepths{0, 0}, ScanDepths{0, 0});
  EXPECT_EQ(scan.entries, 10U);
  EXPECT_EQ(scan.entries_before, (std::vector<std::uint64_t>{1, 2, 9}));
  // A number cut by the range start is not counted twice.
  const InteriorScan tail = scan_interior_serial(text, 2, text.size(), ScanDepths{0, 0}, ScanDepths{0, 0});
  EXPECT_EQ(tail.entries, 9U);
}

TEST(InteriorScan, CountsStructuralBytesOutsideStrings) {
  const std::string text = R"(1,"a,:[]{}",[2]:{})";
  const InteriorScan scan = scan_interior_serial(text, 0, text.size(), ScanDepths{0, 0}, ScanDepths{0, 0});
  EXPECT_EQ(scan.structural, 7U);  // , , [ ] : { }
  EXPECT_EQ(scan.commas, (std::vector<std::uint64_t>{1, 11}));
}

// ---- Worker passes ----

// Starts threads that know their start index.
thread_local std::size_t t_worker_index = 0;

Error error_text(std::size_t index) {
  std::string text = "error ";
  text += std::to_string(index);
  return Error{ErrorCode::worker_failed, index, text};
}

ThreadStarter indexed_starter(std::atomic<std::size_t>& started, std::size_t fail_at = 1000) {
  return [&started, fail_at](std::function<void()> body) {
    const std::size_t index = started.fetch_add(1);
    if (index == fail_at) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread([index, body = std::move(body)] {
      t_worker_index = index;
      body();
    });
  };
}

TEST(RunWorkerPass, ReportsTheFirstErrorInStartOrder) {
  std::atomic<std::size_t> started{0};
  auto outcome = run_worker_pass(
      4,
      []() -> WorkerOutcome {
        if (t_worker_index == 0) return std::nullopt;
        if (t_worker_index == 1) throw std::runtime_error("boom");
        return error_text(t_worker_index);
      },
      indexed_starter(started));
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(*outcome, (Error{ErrorCode::worker_failed, 0, "worker panicked"}));

  std::atomic<std::size_t> again{0};
  auto errors = run_worker_pass(
      3, []() -> WorkerOutcome { return error_text(t_worker_index); },
      indexed_starter(again));
  EXPECT_EQ(errors, WorkerOutcome(error_text(0)));
  EXPECT_FALSE(run_worker_pass(3, []() -> WorkerOutcome { return std::nullopt; }).has_value());
}

TEST(RunWorkerPass, OneWorkerRunsOnTheCallingThread) {
  std::atomic<std::size_t> started{0};
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id ran_on;
  auto outcome = run_worker_pass(
      1,
      [&]() -> WorkerOutcome {
        ran_on = std::this_thread::get_id();
        return error_text(7);
      },
      indexed_starter(started, 0));  // would fail, were a thread started
  EXPECT_EQ(outcome, WorkerOutcome(error_text(7)));
  EXPECT_EQ(ran_on, caller);
  EXPECT_EQ(started.load(), 0u);
  EXPECT_EQ(run_worker_pass(1, []() -> WorkerOutcome { throw std::runtime_error("boom"); }),
            WorkerOutcome(Error{ErrorCode::worker_failed, 0, "worker panicked"}));
}

TEST(RunWorkerPass, AFailedStartJoinsTheRunningWorkersAndIsReported) {
  std::atomic<std::size_t> started{0};
  std::atomic<int> finished{0};
  auto outcome = run_worker_pass(
      4,
      [&]() -> WorkerOutcome {
        ++finished;
        return std::nullopt;
      },
      indexed_starter(started, 2));
  EXPECT_EQ(outcome, WorkerOutcome(Error{ErrorCode::thread_start_failed, 0, "failed to spawn thread"}));
  EXPECT_EQ(finished.load(), 2);  // both started workers ran to the end before the return

  std::atomic<std::size_t> scan_started{0};
  auto commas = find_root_array_commas("[1,2,3,4]", 0, 9, 4, 1, indexed_starter(scan_started, 1));
  ASSERT_FALSE(commas.ok());
  EXPECT_EQ(commas.error().code, ErrorCode::thread_start_failed);
  EXPECT_EQ(commas.error().message, "failed to spawn thread");
}

}  // namespace
}  // namespace velvin
