// Streaming reader: follows one JSON value while its text arrives in pieces, as a model writes
// it. Takes raw chunks (a chunk may end inside a UTF-8 character) and reports each member or
// element exactly once, when it is complete, to a StreamSink; the still open tail (a growing
// string, a number) is shown by tail(). finish() runs the pipeline on the whole text. Called by
// the Python StreamParser.
//
// What is shown while the text is open: the containers from the root down to the innermost open
// one, with their completed children; a member once its key is complete and its value has begun
// (a string with the text so far, a number as soon as it reads as one, a container at once); a
// literal or bare word only once it is complete. Text before the first "{" or "[" is skipped;
// inside, the tolerant lexer's tokens are placed where they fit (single quotes, bare keys and
// words, Python literals, missing and trailing commas, comments, typographic double quotes) and
// whatever cannot be placed is dropped. Once the root container closes, the rest is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/options.hpp"
#include "core/records.hpp"
#include "repair/lexer.hpp"

namespace velvin {

// Receives what a StreamReader has made final, in document order. `key` is the member key when
// the innermost open container is an object, and empty otherwise.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  // A container opened inside the innermost open one (or the root).
  virtual void on_open(bool is_object, std::string_view key) = 0;
  // A completed scalar placed in the innermost open container.
  virtual void on_value(std::string_view key, JsonValue value) = 0;
  // The innermost open container is complete.
  virtual void on_close() = 0;
};

// The part of the innermost open container that may still change.
struct StreamTail {
  enum class Kind : std::uint8_t { None, String, Number };
  Kind kind = Kind::None;
  std::string_view key;  // its member key when the innermost container is an object
  std::string_view text;  // String: the decoded text so far
  JsonValue number;       // Number: the value of the digits so far
};

class StreamReader {
 public:
  explicit StreamReader(RepairOptions options);

  // Appends raw bytes and reports to `sink` what they completed. Work is proportional to the
  // new bytes, apart from re-reading a word or number that is still open at the end.
  void feed(std::string_view bytes, StreamSink& sink);

  [[nodiscard]] StreamTail tail() const;
  [[nodiscard]] bool started() const { return phase_ != Phase::Prose; }
  [[nodiscard]] bool complete() const { return phase_ == Phase::Done; }
  // Number of containers open now.
  [[nodiscard]] std::size_t depth() const { return frames_.size(); }

  // The whole text fed so far through the pipeline: exactly parse_bytes of it.
  [[nodiscard]] RepairResult finish() const;
  // Every byte fed so far.
  [[nodiscard]] std::string_view text() const noexcept { return raw_; }

 private:
  enum class Phase : std::uint8_t { Prose, Tokens, Done };
  enum class Expect : std::uint8_t { Value, AfterValue, Key, Colon };
  // What a token would become where the reader stands.
  enum class Role : std::uint8_t { Value, Key, Skip };
  // A run that spans chunks and is read incrementally.
  enum class Run : std::uint8_t { None, String, TypographicString, LineComment, BlockComment };

  struct Frame {
    bool is_object = false;
    bool hidden = false;  // read but not shown: a container where no value fits
    Expect expect = Expect::Value;
    std::string key;
  };

  void append_text(std::string_view bytes);
  void read_tokens(StreamSink& sink);
  bool start_run();
  bool continue_run(StreamSink& sink);
  bool read_token(StreamSink& sink);
  void place_token(const Token& token, std::string_view raw, StreamSink& sink);
  void place_punct(char c, StreamSink& sink);
  void place_string(StreamSink& sink);
  void place_scalar(JsonValue value, StreamSink& sink);
  void place_key(std::string_view key);
  void open_container(bool is_object, StreamSink& sink);
  void close_container(bool is_object, StreamSink& sink);
  void after_member();
  [[nodiscard]] Role role() const;
  void compact();

  RepairOptions options_;
  std::string raw_;      // every byte fed, for finish()
  std::string pending_;  // the start of a UTF-8 character cut by the end of the last chunk
  std::string work_;     // the decoded text from the first unread byte's neighbourhood on
  std::size_t pos_ = 0;  // first byte of work_ not yet read
  Phase phase_ = Phase::Prose;
  std::vector<Frame> frames_;
  std::size_t overflow_depth_ = 0;  // containers opened beyond kMaxNestingDepth, not shown

  Run run_ = Run::None;
  char run_quote_ = '"';
  std::size_t run_next_ = 0;  // where the open run resumes
  std::string run_text_;      // a string's decoded text so far

  // A word or number touching the end of the text may still grow; it is read again next time.
  std::optional<JsonValue> held_number_;
  std::size_t held_scanned_to_ = 0;  // the text's end when the held token was last read
};

// Builds the current value from a reader's events, for C++ callers that want a tree.
class StreamTree final : public StreamSink {
 public:
  void on_open(bool is_object, std::string_view key) override;
  void on_value(std::string_view key, JsonValue value) override;
  void on_close() override;
  // The open containers with their completed children and `tail`; nullopt before a value
  // began, and the whole value once the root is complete.
  [[nodiscard]] std::optional<JsonValue> value(const StreamTail& tail) const;

 private:
  struct Open {
    JsonValue container;
    std::string key;  // its key in the parent object
  };
  void add(std::string_view key, JsonValue value);
  std::vector<Open> open_;
  std::optional<JsonValue> done_;
};

}  // namespace velvin
