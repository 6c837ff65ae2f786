// The XML tokenizer: one pass over the bytes with a 32-state table, cutting
// the source into nodes without checking how they nest.
#include <cstdint>
#include <cstring>
#include <memory>

#include "xml/xml.h"

namespace {

enum {
  c_lt,
  c_gt,
  c_bang,
  c_dash,
  c_equals,
  c_double_quote,
  c_single_quote,
  c_slash,
  c_question,
  c_blank,
  c_letter,
  c_open_bracket,
  c_close_bracket,
  c_other,
  class_count
};

const int state_count = 32;
const int state_tag_start = 1;
const int state_attr_name = 6;
const int state_token_end = 15;
const int state_text = 16;
const int state_comment = 19;
const int state_close_mark = 22;
const int state_cdata = 29;

unsigned char* fill_row(unsigned char rows[][class_count], int state, int fallback) {
  memset(rows[state], fallback, class_count);
  return rows[state];
}

// Inside a tag: ">" ends it, "/" and "?" are close marks, a blank goes to `blank`.
void tag_exits(unsigned char* row, int blank) {
  row[c_gt] = state_token_end;
  row[c_slash] = state_close_mark;
  row[c_question] = state_close_mark;
  row[c_blank] = blank;
}

void build_states(unsigned char rows[][class_count]) {
  fill_row(rows, 0, 16)[c_lt] = 1;
  unsigned char* row = fill_row(rows, 1, 2);
  row[c_gt] = 15;
  row[c_bang] = 17;
  tag_exits(fill_row(rows, 2, 2), 3);
  tag_exits(fill_row(rows, 3, 6), 3);
  for (int state : {4, 6}) {  // blanks after an attribute name; the name itself
    row = fill_row(rows, state, 6);
    tag_exits(row, 4);
    row[c_equals] = 7;
  }
  for (int state : {5, 7}) {  // blanks after "="; just after "="
    row = fill_row(rows, state, 10);
    tag_exits(row, 5);
    row[c_double_quote] = 8;
    row[c_single_quote] = 9;
  }
  fill_row(rows, 8, 11)[c_double_quote] = 13;
  fill_row(rows, 9, 12)[c_single_quote] = 14;
  tag_exits(fill_row(rows, 10, 10), 3);
  fill_row(rows, 11, 11)[c_double_quote] = 13;
  fill_row(rows, 12, 12)[c_single_quote] = 14;
  tag_exits(fill_row(rows, 13, 6), 3);
  tag_exits(fill_row(rows, 14, 6), 3);
  fill_row(rows, 15, 16)[c_lt] = 1;
  fill_row(rows, 16, 16)[c_lt] = 1;
  row = fill_row(rows, 17, 2);
  row[c_dash] = 18;
  row[c_open_bracket] = 23;
  fill_row(rows, 18, 2)[c_dash] = 19;
  fill_row(rows, 19, 19)[c_dash] = 20;
  fill_row(rows, 20, 19)[c_dash] = 21;
  fill_row(rows, 21, 19)[c_gt] = 15;
  row = fill_row(rows, 22, 6);
  row[c_gt] = 15;
  row[c_blank] = 3;
  for (int state = 23; state <= 27; state++) fill_row(rows, state, 2)[c_letter] = state + 1;
  fill_row(rows, 28, 2)[c_open_bracket] = 29;
  fill_row(rows, 29, 29)[c_close_bracket] = 30;
  fill_row(rows, 30, 29)[c_close_bracket] = 31;
  fill_row(rows, 31, 29)[c_gt] = 15;
}

bool appends_to_tag(int state) { return state == 2 || state == 17 || state == 18 || (state >= 23 && state <= 28); }
bool in_value(int state) { return state >= 10 && state <= 12; }

// Finds "</script>" (or "</SCRIPT>") from growing start positions in linear
// time overall: a found position is reused until passed, a miss is final.
class end_finder {
 public:
  end_finder(const std::string& source, const std::string& needle) : source_(source), needle_(needle) {}
  size_t find(size_t from) {
    if (searched_ && (found_ == std::string::npos || found_ >= from)) return found_;
    searched_ = true;
    found_ = source_.find(needle_, from);
    return found_;
  }

 private:
  const std::string& source_;
  std::string needle_;
  bool searched_ = false;
  size_t found_ = std::string::npos;
};

class tokenizer {
 public:
  tokenizer(const std::string& source, xml_node_list& nodes, size_t max_nodes, size_t max_depth)
      : source_(source), nodes_(nodes), lower_(source, "</script>"), upper_(source, "</SCRIPT>"),
        max_nodes_(max_nodes), max_depth_(max_depth) {}

  // False when a limit was passed; the nodes so far are in the list.
  bool run() {
    const unsigned char* classes = xml_parser::class_table();
    const unsigned char* const* table = xml_parser::state_table();
    size_t i = 0;
    while (i < source_.size()) {
      unsigned char byte = source_[i];
      int next = table[state_][classes[byte]];
      step(byte, next);
      if (over_) break;
      state_ = next;
      if (next == state_close_mark) {
        node_->close_mark += byte;
      } else if (next == state_token_end) {
        size_t resume = end_token(i);
        if (resume != std::string::npos) {
          i = resume;
          continue;
        }
      }
      if (over_) break;
      node_->text += byte;
      i++;
    }
    flush();
    return !over_;
  }

 private:
  // Steps 1 to 6 of a byte: new nodes, node kinds, tag and attribute bytes.
  void step(unsigned char byte, int next) {
    if (next == state_tag_start && state_ != state_tag_start) begin(0);
    if (next == state_text && state_ != state_text) begin(3);
    if (next == state_comment) node_->type = 4;
    if (next == state_cdata) node_->type = 5;
    if (appends_to_tag(next)) node_->tag += byte;
    if (next == state_attr_name) name_ += byte;
    if (in_value(next)) value_ += byte;
    if (state_ == state_attr_name && next != state_attr_name) {
      node_->attr_names.push_back(name_);
      name_.clear();
    }
    if (in_value(state_) && next != state_) {
      // An empty value («a=''») is not stored; the name alone is recorded.
      if (!value_.empty() && !node_->attr_names.empty()) node_->attrs[node_->attr_names.back()] = value_;
      value_.clear();
    }
  }

  // The ">" at `at` ends the current token. Returns where to go on when the
  // token opened raw script content, else npos.
  size_t end_token(size_t at) {
    xml_node& node = *node_;
    const std::string& text = node.text;  // without the ">"
    if (node.type == 4 && text.size() >= 6) {
      node.content = text.substr(4, text.size() - 6);  // between "<!--" and "--"
    } else if (node.type == 5 && text.size() >= 11) {
      node.content = text.substr(9, text.size() - 11);  // between "<![CDATA[" and "]]"
    } else if (node.type == 0 && !node.tag.empty()) {
      char first = node.tag[0];
      if (first == '?' || first == '!') node.type = 2;
      if (first == '/') node.type = 1;
    }
    // Depth as an element count that end tags lower: how deep a later
    // query's path of open elements can grow.
    if (node.type == 0 && node.close_mark != "/" && ++depth_ > max_depth_) over_ = true;
    if (node.type == 1 && depth_ > 0) depth_--;
    if (node.type != 0 || (node.tag != "script" && node.tag != "SCRIPT")) return std::string::npos;
    size_t end = (node.tag == "script" ? lower_ : upper_).find(at + 1);
    if (end == std::string::npos) return std::string::npos;
    node.text += source_[at];
    begin(3);
    node_->text.assign(source_, at + 1, end - at - 1);
    state_ = state_text;
    return end;
  }

  void begin(int32_t type) {
    if (++count_ > max_nodes_) over_ = true;
    flush();
    node_.reset(new xml_node);
    node_->type = type;
  }

  void flush() {
    if (node_) nodes_.push_back(node_.release());
  }

  const std::string& source_;
  xml_node_list& nodes_;
  end_finder lower_;
  end_finder upper_;
  std::unique_ptr<xml_node> node_;
  int state_ = 0;
  std::string name_;
  std::string value_;
  size_t max_nodes_;
  size_t max_depth_;
  size_t count_ = 0;
  size_t depth_ = 0;
  bool over_ = false;
};

}  // namespace

const unsigned char* xml_parser::class_table() {
  struct table {
    unsigned char classes[256];
  };
  static const table built = [] {
    table t;
    unsigned char* classes = t.classes;
    memset(classes, c_other, sizeof t.classes);
    const char singles[] = "<>!-=\"'/?";
    for (int c = c_lt; c <= c_question; c++) classes[static_cast<unsigned char>(singles[c])] = c;
    classes['\t'] = classes['\n'] = classes['\r'] = classes[' '] = c_blank;
    for (int letter = 'A'; letter <= 'Z'; letter++) classes[letter] = classes[letter + 'a' - 'A'] = c_letter;
    classes['['] = c_open_bracket;
    classes[']'] = c_close_bracket;
    return t;
  }();
  return built.classes;
}

// Built once, by the first caller of any thread, and only read afterwards.
const unsigned char* const* xml_parser::state_table() {
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

void xml_parser::parse(const std::string& source, xml_node_list& nodes) {
  tokenizer(source, nodes, SIZE_MAX, SIZE_MAX).run();
}

bool xml_parser::parse(const std::string& source, xml_node_list& nodes, size_t max_nodes,
                       size_t max_depth) {
  return tokenizer(source, nodes, max_nodes, max_depth).run();
}
