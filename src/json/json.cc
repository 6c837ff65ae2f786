#include "json/json.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/arraylist.h"
#include "base/text.h"
#include "base/unescape.h"

namespace json {

namespace {

// Character classes.
enum {
  c_open_brace, c_close_brace, c_open_bracket, c_close_bracket, c_colon, c_comma,
  c_t, c_r, c_u, c_e, c_f, c_a, c_l, c_s, c_n,
  c_quote, c_backslash, c_digit, c_blank, c_minus, c_dot, c_upper_e, c_plus, c_other,
  class_count
};

const int state_count = 30;
const unsigned char error_state = 31;

// Markers of the nesting stack.
const int object_open = 0;
const int array_open = 2;
const int member_pending = 4;
const int item_complete = 5;

// Parsing state of one document: the stacks own everything built so far, so
// leaving by any path releases it.
class reader {
 public:
  var run(const std::string& text);
  const std::string& message() const { return error; }

 private:
  bool step(int next, int byte_class);
  bool open_container(int marker);
  bool colon();
  bool comma();
  bool close_object();
  bool close_array(int previous);
  void push_value(const var& value, int depth);
  var pop_value(int* depth);
  bool fail(const std::string& before, const char* after);
  bool too_deep() { return fail("Nesting deeper than " + base::num(max_depth) + " levels at '", "'"); }

  var values = var::array();
  // Containers nested inside each entry of `values`: values can be moved
  // between levels by malformed text, so the open-container count alone
  // does not bound the depth of what gets built.
  base::arraylist<int> depths;
  base::arraylist<int> markers;
  int open = 0;  // open containers on the marker stack
  std::string string_text;
  std::string number_text;
  int line = 1;
  int column = 0;
  int state = 0;
  char byte = ' ';
  std::string error;
};

var reader::run(const std::string& text) {
  const unsigned char* classes = class_table();
  const unsigned char* const* table = state_table();
  size_t length = text.size();
  for (size_t p = 0; p <= length; p++) {
    // One blank past the end completes a trailing number or literal.
    byte = p < length ? text[p] : ' ';
    if (p < length && byte == '\n') {
      line++;
      column = 0;
    } else if (column < INT_MAX) {
      column++;
    }
    int byte_class = classes[static_cast<unsigned char>(byte)];
    int next = table[state][byte_class];
    if (next == error_state) {
      fail("Unexpected character '", "'");
      return var(error);
    }
    if ((state == 7 && next != 7 && next != 8 && next != 10) || (state == 9 && next != 9 && next != 10) ||
        (state == 12 && next != 12)) {
      // strtod reads "-" or "-e5" (no digits) as 0, as the reader wants.
      push_value(var(strtod(number_text.c_str(), nullptr)), 0);
    }
    if (!step(next, byte_class)) return var(error);
    state = next;
  }
  if (markers.count > 0) {
    error = "Incomplete array or object value.";
    return var(error);
  }
  if (values.size() != 1) {
    error = "Did not parse to a single JSON value.";
    return var(error);
  }
  return values.get(0);
}

// The transition's action; the first matching rule applies.
bool reader::step(int next, int byte_class) {
  bool blank = byte_class == c_blank;
  if (next == 14 && state != 14 && state != 16) {
    string_text.clear();  // the opening quote
  } else if (next == 1 && !blank) {
    return open_container(object_open);
  } else if (next == 3 && !blank) {
    return open_container(array_open);
  } else if (next == 17 || next == 21 || next == 26) {
    // first letter of a literal
  } else if (next == 7 && state != 7) {
    number_text.assign(1, byte);
  } else if (next == 14 || next == 16) {
    string_text += byte;  // escapes stay raw until the string ends
  } else if (next >= 7 && next <= 12) {
    number_text += byte;
  } else if (next == 18 || next == 19 || next == 22 || next == 23 || next == 24 || next == 27 || next == 28) {
    // inner letter of a literal
  } else if (next == 5 && !blank) {
    return colon();
  } else if (next == 6 && !blank) {
    return comma();
  } else if (next == 15 && state != 15) {
    push_value(var(base::unescape(string_text)), 0);
  } else if (next == 20 && state != 20) {
    push_value(var(true), 0);
  } else if (next == 25 && state != 25) {
    push_value(var(false), 0);
  } else if (next == 29 && state != 29) {
    push_value(var(), 0);
  } else if (next == 2 && !blank) {
    return close_object();
  } else if (next == 4 && !blank) {
    return close_array(state);
  }
  return true;
}

bool reader::open_container(int marker) {
  if (open >= max_depth) return too_deep();
  markers.add(marker);
  open++;
  return true;
}

bool reader::colon() {
  if (markers.count > 0) {
    int top = markers[markers.count - 1];
    if (top != object_open && top != item_complete) return fail("Character '", "' not inside object");
  }
  markers.add(member_pending);
  return true;
}

bool reader::comma() {
  if (markers.count > 0) {
    if (markers[markers.count - 1] == member_pending) markers.pop();
    if (markers.count > 0) {
      int top = markers[markers.count - 1];
      if (top != object_open && top != array_open && top != item_complete) {
        return fail("Character '", "' not inside array or object");
      }
    }
  }
  markers.add(item_complete);
  return true;
}

bool reader::close_object() {
  if (markers.count == 0) return fail("Character '", "' has no matching opening brace");
  if (markers[markers.count - 1] == member_pending) {
    markers.pop();
    markers.add(item_complete);
  }
  // Pairs in reverse text order: value, key, value, key, ...
  std::vector<var> pairs;
  int depth = 0;
  // Without an opening brace the loop empties the stack: members written at
  // the top level and followed by } form an object.
  while (markers.count > 0) {
    int marker = markers.pop();
    if (marker == object_open) {
      open--;
      break;
    }
    if (marker != item_complete) return fail("Improperly nested array at '", "'");
    if (values.size() < 2) return fail("Not enough key-value pairs to complete object at '", "'");
    int value_depth, key_depth;
    pairs.push_back(pop_value(&value_depth));
    pairs.push_back(pop_value(&key_depth));  // keys become text: their depth does not count
    if (value_depth > depth) depth = value_depth;
    // Keys become their JSON text, in which every key inside is escaped once
    // more: containers as keys, nested, would grow the text exponentially.
    if (pairs.back().is_array() || pairs.back().is_object()) {
      return fail("Array or object as a key at '", "'");
    }
  }
  if (depth >= max_depth) return too_deep();
  var object = var::object();
  for (size_t i = pairs.size(); i > 0; i -= 2) object.set(pairs[i - 1].str(), pairs[i - 2]);
  push_value(object, depth + 1);
  return true;
}

bool reader::close_array(int previous) {
  if (markers.count == 0) return fail("Character '", "' has no matching opening square bracket");
  if (previous != 3) markers.add(item_complete);  // unless the array is empty
  std::vector<var> items;  // in reverse text order
  int depth = 0;
  for (;;) {
    if (markers.count == 0) return fail("Improperly nested object at '", "'");
    int marker = markers.pop();
    if (marker == array_open) {
      open--;
      break;
    }
    if (marker != item_complete) return fail("Improperly nested object at '", "'");
    if (values.size() == 0) return fail("Not enough values to complete array at '", "'");
    int item_depth;
    items.push_back(pop_value(&item_depth));
    if (item_depth > depth) depth = item_depth;
  }
  if (depth >= max_depth) return too_deep();
  var array = var::array();
  if (!items.empty()) array.array_ref().reserve(uint32_t(items.size()));
  for (size_t i = items.size(); i > 0; i--) array.push(items[i - 1]);
  push_value(array, depth + 1);
  return true;
}

void reader::push_value(const var& value, int depth) {
  values.push(value);
  depths.add(depth);
}

var reader::pop_value(int* depth) {
  *depth = depths.pop();
  return values.pop();
}

bool reader::fail(const std::string& before, const char* after) {
  error = before + byte + after + " at line " + base::num(line) + " column " + base::num(column) + ".";
  return false;
}

}  // namespace

// The tables are built once, by the first caller of any thread (a static
// initialised by a lambda), and only read afterwards.
const unsigned char* class_table() {
  struct table {
    unsigned char classes[256];
  };
  static const table built = [] {
    table t;
    unsigned char* classes = t.classes;
    memset(classes, c_other, sizeof t.classes);
    // Classes 0 to 16 are single bytes, in this order.
    const char singles[] = "{}[]:,truefalsn\"\\";
    for (int c = c_open_brace; c <= c_backslash; c++) classes[static_cast<unsigned char>(singles[c])] = c;
    for (int d = '0'; d <= '9'; d++) classes[d] = c_digit;
    classes['\t'] = classes['\n'] = classes['\r'] = classes[' '] = c_blank;
    classes['-'] = c_minus;
    classes['.'] = c_dot;
    classes['E'] = c_upper_e;
    classes['+'] = c_plus;
    return t;
  }();
  return built.classes;
}

namespace {

// Where a value may start.
void value_start(unsigned char* row) {
  row[c_open_brace] = 1;
  row[c_open_bracket] = 3;
  row[c_t] = 17;
  row[c_f] = 21;
  row[c_n] = 26;
  row[c_quote] = 14;
  row[c_digit] = 7;
  row[c_minus] = 7;
}

// What may follow a complete value.
void value_end(unsigned char* row) {
  row[c_close_brace] = 2;
  row[c_close_bracket] = 4;
  row[c_comma] = 6;
}

void build_states(unsigned char rows[state_count][class_count]) {
  memset(rows, error_state, state_count * class_count);
  for (int s : {0, 3, 5, 6}) value_start(rows[s]);
  for (int s : {2, 4, 7, 9, 12, 13, 15, 20, 25, 29}) value_end(rows[s]);
  for (int s : {0, 1, 2, 3, 4, 5, 6, 13, 15, 20, 25, 29}) rows[s][c_blank] = s;
  rows[1][c_quote] = 14;
  rows[1][c_close_brace] = 2;
  rows[3][c_close_bracket] = 4;
  // Numbers.
  rows[7][c_digit] = 7;
  rows[7][c_dot] = 8;
  rows[7][c_e] = rows[7][c_upper_e] = 10;
  rows[7][c_blank] = 13;
  rows[8][c_digit] = 9;
  rows[9][c_digit] = 9;
  rows[9][c_e] = rows[9][c_upper_e] = 10;
  rows[9][c_blank] = 13;
  rows[10][c_digit] = 12;
  rows[10][c_minus] = rows[10][c_plus] = 11;
  rows[11][c_digit] = 12;
  rows[12][c_digit] = 12;
  rows[12][c_blank] = 13;
  // Strings.
  memset(rows[14], 14, class_count);
  rows[14][c_quote] = 15;
  rows[14][c_backslash] = 16;
  memset(rows[16], 14, class_count);
  rows[15][c_colon] = 5;
  // Literals.
  rows[17][c_r] = 18;
  rows[18][c_u] = 19;
  rows[19][c_e] = 20;
  rows[21][c_a] = 22;
  rows[22][c_l] = 23;
  rows[23][c_s] = 24;
  rows[24][c_e] = 25;
  rows[26][c_u] = 27;
  rows[27][c_l] = 28;
  rows[28][c_l] = 29;
}

}  // namespace

const unsigned char* const* state_table() {
  struct tables {
    unsigned char rows[state_count][class_count];
    const unsigned char* pointers[state_count];
    tables() {
      build_states(rows);
      for (int s = 0; s < state_count; s++) pointers[s] = rows[s];
    }
  };
  static const tables built;
  return built.pointers;
}

var parse(const std::string& text) {
  reader r;
  return r.run(text);
}

var parse(const std::string& text, std::string* error) {
  reader r;
  var value = r.run(text);
  *error = r.message();
  return error->empty() ? value : var();
}

}  // namespace json
