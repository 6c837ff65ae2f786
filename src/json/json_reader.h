// A pull reader of strict JSON (RFC 8259) for the large flat documents the
// sync keeps (".manifest", the folder's record): one token at a time, from
// text in memory or streamed from a file through a fixed buffer, in time
// linear in the input and memory bounded by the longest string. Nesting is
// limited to 64 levels. After an error every call returns `error`.
// One reader belongs to one thread; it does not own the FILE.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace json {

class reader {
 public:
  enum token { begin_object, end_object, begin_array, end_array, key, string, number,
               boolean, null, end, error };

  explicit reader(std::string_view text);
  explicit reader(FILE* file);

  // The next token; a member's name comes as `key`, its value next. The
  // commas and colons between are checked and skipped. `end` after the one
  // top-level value (and nothing but blanks after it).
  token next();
  // The text of the last key or string (unescaped, UTF-8), or of the last
  // number or literal as written.
  const std::string& text() const { return text_; }
  // The last number as a whole number; false when it is not one that fits.
  bool integer(int64_t* value) const;
  // Why the reading failed, with the byte offset.
  const std::string& problem() const { return problem_; }

 private:
  int peek();  // the next byte, -1 at the end of the input
  int take();
  void skip_blanks();
  token fail(const std::string& why);
  token read_value(int c);
  bool read_string();
  bool read_escape();
  bool read_number();
  bool read_word(const char* word);
  bool refill();

  FILE* file_ = nullptr;
  std::string buffer_;      // the streamed bytes not yet read
  std::string_view input_;  // what is left to read
  uint64_t offset_ = 0;     // streamed: bytes read before buffer_
  uint64_t total_ = 0;      // in memory: the text's size

  // Open containers: '{' or '['; and whether a value has been seen in the
  // innermost one (so a comma is due before the next).
  std::vector<char> open_;
  bool after_value_ = false;
  bool expect_value_ = true;  // after a key's colon, or at the top
  bool done_ = false;         // the top-level value is complete
  std::string text_;
  int64_t value_ = 0;   // the last number, when whole_
  bool whole_ = false;  // it is a whole number that fits
  std::string problem_;
  token last_ = end;
};

}  // namespace json
