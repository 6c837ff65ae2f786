// Selector steps: reading them from text with an 11-state table, and
// testing one element against one step.
#include <algorithm>
#include <cstring>

#include "xml/xml.h"

namespace {

enum { c_blank, c_open_bracket, c_close_bracket, c_greater, c_dot, c_operator, c_other, class_count };

const int state_count = 11;
const int state_tag = 1;
const int state_blanks = 2;
const int state_child = 3;
const int state_class = 5;
const int state_open_bracket = 6;
const int state_close_bracket = 7;
const int state_attr = 8;
const int state_operator = 9;
const int state_value = 10;

void build_states(unsigned char rows[][class_count]) {
  // Where a step may go on: the same in states 0, 1, 2 and 7, and in 3 but for blanks.
  const unsigned char step_row[class_count] = {2, 6, 1, 3, 4, 1, 1};
  for (int state : {0, 1, 2, 3, 7}) memcpy(rows[state], step_row, class_count);
  rows[3][c_blank] = 3;
  for (int state : {4, 5}) {
    memcpy(rows[state], step_row, class_count);
    rows[state][c_close_bracket] = rows[state][c_operator] = rows[state][c_other] = 5;
  }
  memset(rows[6], 8, class_count);
  memset(rows[8], 8, class_count);
  rows[8][c_close_bracket] = 7;
  rows[8][c_operator] = 9;
  memset(rows[9], 10, class_count);
  memset(rows[10], 10, class_count);
  rows[10][c_close_bracket] = 7;
}

// The words of a "class" value, split at spaces, tabs and line feeds.
bool has_word(const std::string& words, const std::string& word) {
  size_t start = 0;
  while (start <= words.size()) {
    size_t end = words.find_first_of(" \t\n", start);
    if (end == std::string::npos) end = words.size();
    if (words.compare(start, end - start, word) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool condition_holds(const xml_condition& condition, const xml_node& element) {
  const std::vector<std::string>& names = element.attr_names;
  if (std::find(names.begin(), names.end(), condition.attr) == names.end()) return false;
  if (condition.op.empty()) return true;
  static const std::string none;
  auto stored = element.attrs.find(condition.attr);
  const std::string& value = stored == element.attrs.end() ? none : stored->second;
  if (condition.op == "=") return value == condition.value;
  if (condition.op == "!") return value != condition.value;
  if (condition.op == "~") return value.find(condition.value) != std::string::npos;
  if (condition.op == "^") return value.find(condition.value) == std::string::npos;
  return false;
}

}  // namespace

bool xml_selector::match_classes(const xml_node& element) const {
  if (element.type != 0) return false;
  auto stored = element.attrs.find("class");
  if (stored == element.attrs.end() || stored->second.empty()) return false;
  for (const std::string& name : classes) {
    if (!has_word(stored->second, name)) return false;
  }
  return true;
}

bool xml_selector::matches(const xml_node& element) const {
  if (!tag.empty() && tag != element.tag) return false;
  if (!classes.empty() && !match_classes(element)) return false;
  for (const xml_condition& condition : conditions) {
    if (!condition_holds(condition, element)) return false;
  }
  return true;
}

const unsigned char* xml_query_parser::class_table() {
  struct table {
    unsigned char classes[256];
  };
  static const table built = [] {
    table t;
    unsigned char* classes = t.classes;
    memset(classes, c_other, sizeof t.classes);
    classes[' '] = c_blank;
    classes['['] = c_open_bracket;
    classes[']'] = c_close_bracket;
    classes['>'] = c_greater;
    classes['.'] = c_dot;
    for (unsigned char op : {'!', '=', '^', '~'}) classes[op] = c_operator;
    return t;
  }();
  return built.classes;
}

// Built once, by the first caller of any thread, and only read afterwards.
const unsigned char* const* xml_query_parser::state_table() {
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

void xml_query_parser::parse(const std::string& selector, xml_selector_list& steps) {
  const unsigned char* classes = class_table();
  const unsigned char* const* table = state_table();
  std::unique_ptr<xml_selector> step(new xml_selector);
  std::string pending_class;
  xml_condition pending;
  int state = 0;
  for (char byte : selector) {
    int next = table[state][classes[static_cast<unsigned char>(byte)]];
    if (next == state_tag) step->tag += byte;
    if (next == state_class) pending_class += byte;
    if (state == state_class && next != state_class) {
      step->classes.push_back(pending_class);
      pending_class.clear();
    }
    if (next == state_child) step->child = 1;
    if (next == state_open_bracket) pending = xml_condition();
    if (next == state_attr) pending.attr += byte;
    if (next == state_operator) pending.op += byte;
    if (next == state_value) pending.value += byte;
    if (next == state_close_bracket) step->conditions.push_back(pending);
    if (state != state_blanks && next == state_blanks) {
      steps.push_back(std::move(step));
      step.reset(new xml_selector);
    }
    state = next;
  }
  if (!pending_class.empty()) step->classes.push_back(pending_class);
  steps.push_back(std::move(step));
}
