// Running a selector over a node list.
#include "xml/xml.h"

namespace {

const int failed = -1;

// An element on the path from the outermost one, with how far the steps
// matched along the path down to it: the index of the next step to
// satisfy, or `failed`. Keeping this per element makes each match test
// one step test instead of a walk over the whole path.
struct open_element {
  const xml_node* node;
  int next_step;
};

int advance(int next_step, const xml_selector_list& steps, const xml_node& element) {
  if (next_step == failed) return failed;
  const xml_selector& step = *steps[next_step];
  if (step.matches(element)) return next_step + 1;
  return step.child ? failed : next_step;
}

}  // namespace

xml xml::query(const std::string& selector) const {
  xml result(owner != nullptr ? owner : this);
  xml_selector_list steps;
  xml_query_parser::parse(selector, steps);
  const int step_count = static_cast<int>(steps.size());
  std::vector<open_element> path;
  for (auto at = nodes.cbegin(); at != nodes.cend(); ++at) {
    const xml_node& node = **at;
    if (node.type == 0) {
      int next_step = advance(path.empty() ? 0 : path.back().next_step, steps, node);
      if (next_step == step_count) {
        collect_tag(result.nodes, at);  // leaves `at` on the range's last node
      } else if (node.close_mark != "/") {
        path.push_back({&node, next_step});
      }
    } else if (node.type == 1) {
      // Closes the innermost open element of its name, or every one.
      while (!path.empty()) {
        bool same = node.tag.compare(1, std::string::npos, path.back().node->tag) == 0;
        path.pop_back();
        if (same) break;
      }
    }
  }
  return result;
}
