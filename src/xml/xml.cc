// The node list: ownership, collecting one element's range, inner text.
#include "xml/xml.h"

#include <iterator>

xml::xml(const xml* owner) : owner(owner) {}

xml::xml(xml&& other) noexcept : owner(other.owner) { nodes.swap(other.nodes); }

// Swapping the owners too keeps each list with the flag that says whether
// its nodes are to be deleted.
xml& xml::operator=(xml&& other) noexcept {
  nodes.swap(other.nodes);
  std::swap(owner, other.owner);
  return *this;
}

xml::~xml() {
  if (owner == nullptr) {
    for (xml_node* node : nodes) delete node;
  }
}

namespace {

struct open_element {
  const xml_node* node;
  xml_node_list::iterator taken;  // where it went in the destination
};

// Whether the end tag `end` ("/name") closes the element `open` ("name").
bool closes(const xml_node& end, const xml_node& open) {
  return !end.tag.empty() && end.tag.compare(1, std::string::npos, open.tag) == 0;
}

}  // namespace

void xml::collect_tag(xml_node_list& destination, xml_node_list::const_iterator& position) const {
  if (position == nodes.end()) return;
  const xml_node* first = *position;
  // An end tag alone is taken alone too, so that a caller walking forward
  // from it always moves on.
  if (first->close_mark == "/" || first->type == 2 || first->type == 1) {
    destination.push_back(*position);
    return;
  }
  std::vector<open_element> open;
  for (auto at = position; at != nodes.end(); ++at) {
    xml_node* node = *at;
    destination.push_back(node);
    if (node->type == 0 && node->close_mark != "/") {
      open.push_back({node, std::prev(destination.end())});
      continue;
    }
    if (node->type != 1) continue;
    if (open.empty()) {  // after a leading text or comment: the end tag belongs to an outer element
      position = std::prev(at);
      return;
    }
    // The innermost open element it closes; each element looked at is either
    // popped or ends the walk, so the search costs no more than the walk.
    size_t match = open.size();
    while (match > 0 && !closes(*node, *open[match - 1].node)) match--;
    if (match == 0) {
      // A stray end tag: leave it for the caller and drop the unclosed
      // elements inside the outermost one, with all that followed them.
      destination.pop_back();
      if (open.size() > 1) destination.erase(open[1].taken, destination.end());
      position = std::prev(at);
      return;
    }
    open.resize(match - 1);
    if (open.empty()) {
      position = at;
      return;
    }
  }
  position = std::prev(nodes.end());
}

std::string xml::inner() const {
  if (nodes.size() < 2 || nodes.front()->type != 0) return "";
  const xml_node* first = nodes.front();
  xml_node_list taken;
  xml_node_list::const_iterator position = nodes.begin();
  collect_tag(taken, position);
  const xml_node* last = taken.back();
  if (taken.size() > 1 && last->type == 1 && closes(*last, *first)) taken.pop_back();
  taken.pop_front();
  std::string text;
  for (const xml_node* node : taken) text += node->to_string();
  return text;
}
