#include "json/json_reader.h"

#include <cstdint>

namespace json {

namespace {

const size_t stream_block = 64 * 1024;
const size_t max_depth = 64;

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += char(code);
  } else if (code < 0x800) {
    out += char(0xC0 | (code >> 6));
    out += char(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += char(0xE0 | (code >> 12));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  } else {
    out += char(0xF0 | (code >> 18));
    out += char(0x80 | ((code >> 12) & 0x3F));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  }
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

}  // namespace

reader::reader(std::string_view text) : input_(text), total_(text.size()) {}

reader::reader(FILE* file) : file_(file) {}

bool reader::refill() {
  if (file_ == nullptr) return false;
  offset_ += buffer_.size();
  buffer_.resize(stream_block);
  size_t got = fread(&buffer_[0], 1, stream_block, file_);
  buffer_.resize(got);
  input_ = buffer_;
  return got > 0;
}

int reader::peek() {
  if (input_.empty() && !refill()) return -1;
  return static_cast<unsigned char>(input_.front());
}

int reader::take() {
  int c = peek();
  if (c >= 0) input_.remove_prefix(1);
  return c;
}

void reader::skip_blanks() {
  for (int c = peek(); c == ' ' || c == '\t' || c == '\n' || c == '\r'; c = peek()) take();
}

reader::token reader::fail(const std::string& why) {
  if (last_ != error) {
    uint64_t at = file_ != nullptr ? offset_ + buffer_.size() - input_.size() : total_ - input_.size();
    problem_ = why + " at byte " + std::to_string(at);
  }
  return last_ = error;
}

reader::token reader::next() {
  if (last_ == error) return error;
  skip_blanks();
  int c = peek();
  if (done_) return c < 0 ? (last_ = end) : fail("text after the end");
  if (c < 0) return fail("unexpected end");
  if (!expect_value_) {
    char container = open_.back();
    bool comma = false;
    if (after_value_) {
      if (c == ',') {
        take();
        skip_blanks();
        c = peek();
        comma = true;
        after_value_ = false;
      } else if (c != (container == '{' ? '}' : ']')) {
        return fail("expected \",\" or the end of the container");
      }
    }
    if (!comma && c == (container == '{' ? '}' : ']')) {
      take();
      open_.pop_back();
      after_value_ = true;
      done_ = open_.empty();
      return last_ = container == '{' ? end_object : end_array;
    }
    if (container == '{') {
      if (c != '"' || !read_string()) return fail("expected a member name");
      skip_blanks();
      if (take() != ':') return fail("expected \":\"");
      expect_value_ = true;
      return last_ = key;
    }
  }
  expect_value_ = false;
  token t = read_value(c);
  if (t == error) return t;
  if (t != begin_object && t != begin_array) {
    after_value_ = true;
    done_ = open_.empty();
  }
  return last_ = t;
}

reader::token reader::read_value(int c) {
  switch (c) {
    case '{':
    case '[':
      if (open_.size() >= max_depth) return fail("nested too deep");
      take();
      open_.push_back(char(c));
      after_value_ = false;
      return c == '{' ? begin_object : begin_array;
    case '"':
      return read_string() ? string : fail("bad string");
    case 't':
      return read_word("true") ? boolean : fail("bad literal");
    case 'f':
      return read_word("false") ? boolean : fail("bad literal");
    case 'n':
      return read_word("null") ? null : fail("bad literal");
    default:
      return read_number() ? number : fail("unexpected character");
  }
}

bool reader::read_word(const char* word) {
  text_.clear();
  for (const char* p = word; *p != '\0'; p++) {
    if (take() != static_cast<unsigned char>(*p)) return false;
    text_ += *p;
  }
  return true;
}

bool reader::read_number() {
  text_.clear();
  whole_ = true;
  value_ = 0;
  bool negative = peek() == '-';
  if (negative) text_ += char(take());
  if (!is_digit(peek())) return false;
  // The whole part is counted as it is read: most numbers here are times
  // and sizes, and need no conversion afterwards.
  uint64_t magnitude = 0;
  bool fits = true;
  if (peek() == '0') {
    text_ += char(take());
  } else {
    for (;;) {
      // The digits in the buffer at once; a number across its end goes on
      // after the next refill.
      size_t run = 0;
      while (run < input_.size() && is_digit(static_cast<unsigned char>(input_[run]))) {
        uint64_t digit = uint64_t(input_[run] - '0');
        fits = fits && magnitude <= (uint64_t(INT64_MAX) - digit) / 10;
        magnitude = magnitude * 10 + digit;
        run++;
      }
      text_.append(input_.data(), run);
      input_.remove_prefix(run);
      if (!input_.empty() || !refill()) break;
    }
  }
  if (peek() == '.') {
    whole_ = false;
    text_ += char(take());
    if (!is_digit(peek())) return false;
    while (is_digit(peek())) text_ += char(take());
  }
  if (peek() == 'e' || peek() == 'E') {
    whole_ = false;
    text_ += char(take());
    if (peek() == '+' || peek() == '-') text_ += char(take());
    if (!is_digit(peek())) return false;
    while (is_digit(peek())) text_ += char(take());
  }
  whole_ = whole_ && fits;
  value_ = negative ? -int64_t(magnitude) : int64_t(magnitude);
  return true;
}

bool reader::read_string() {
  text_.clear();
  take();  // the opening quote
  for (;;) {
    if (input_.empty() && !refill()) return false;
    // Copy the run of plain bytes at once.
    size_t run = 0;
    while (run < input_.size()) {
      unsigned char b = static_cast<unsigned char>(input_[run]);
      if (b == '"' || b == '\\' || b < 0x20) break;
      run++;
    }
    text_.append(input_.data(), run);
    input_.remove_prefix(run);
    if (input_.empty()) continue;
    int c = take();
    if (c == '"') return true;
    if (c != '\\' || !read_escape()) return false;
  }
}

bool reader::read_escape() {
  int c = take();
  switch (c) {
    case '"': text_ += '"'; return true;
    case '\\': text_ += '\\'; return true;
    case '/': text_ += '/'; return true;
    case 'b': text_ += '\b'; return true;
    case 'f': text_ += '\f'; return true;
    case 'n': text_ += '\n'; return true;
    case 'r': text_ += '\r'; return true;
    case 't': text_ += '\t'; return true;
    case 'u': break;
    default: return false;
  }
  auto unit = [this]() -> int32_t {
    int32_t value = 0;
    for (int i = 0; i < 4; i++) {
      int digit = hex_value(take());
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  };
  int32_t first = unit();
  if (first < 0 || (first >= 0xDC00 && first <= 0xDFFF)) return false;
  uint32_t code = uint32_t(first);
  if (first >= 0xD800 && first <= 0xDBFF) {  // a pair's high half: the low half must follow
    if (take() != '\\' || take() != 'u') return false;
    int32_t second = unit();
    if (second < 0xDC00 || second > 0xDFFF) return false;
    code = 0x10000 + ((uint32_t(first) - 0xD800) << 10) + (uint32_t(second) - 0xDC00);
  }
  append_utf8(text_, code);
  return true;
}

bool reader::integer(int64_t* value) const {
  if (last_ != number || !whole_) return false;
  *value = value_;
  return true;
}

}  // namespace json
