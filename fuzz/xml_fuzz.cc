// xml_parser::parse, xml::query, xml::collect_tag, xml::inner and
// xml::decode_entities, walked the way the store listing walks a reply.
// Input: a document, optionally followed by a NUL and a selector of one's own.
// Properties: the nodes' texts put together are the source, and a parse with
// limits stops at a prefix of them; a query result holds nodes of the
// document in document order; the inner text of one collected element is the
// source after its opening node; decoding entities never lengthens a text.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "check.h"
#include "xml/xml.h"

namespace {

// Each node's place in the document and the offset of its text in the source.
std::unordered_map<const xml_node*, std::pair<size_t, size_t>> places;

void check_result(const xml& result) {
  size_t next = 0;
  for (const xml_node* node : result.nodes) {
    auto found = places.find(node);
    FUZZ_CHECK(found != places.end() && found->second.first >= next, "a result holds the document's nodes in order");
    next = found->second.first + 1;
  }
}

// The text of the first element matching `selector`, as the listing reads a field.
void field(const xml& list, const std::string& selector) {
  xml found = list.query(selector);
  check_result(found);
  std::string inner = found.inner();
  FUZZ_CHECK(xml::decode_entities(inner).size() <= inner.size(), "decoding entities never lengthens a text");
}

// A query result checked, then each of its elements collected, with the listing's fields read from it.
// Its inner text is the source right after its opening node, when its nodes
// are one stretch of the document (ranges that do not nest may run on).
void collect_each(const xml& result, const std::string& source) {
  check_result(result);
  for (auto it = result.nodes.cbegin(); it != result.nodes.cend(); ++it) {
    xml piece(&result);
    result.collect_tag(piece.nodes, it);
    FUZZ_CHECK(!piece.nodes.empty(), "collecting at a node takes at least that node");
    check_result(piece);
    for (const char* name : {"Key", "Size", "LastModified"}) field(piece, name);
    const auto& first = places.at(piece.nodes.front());  // the nodes are in order: are they all there is between?
    bool stretch = places.at(piece.nodes.back()).first - first.first + 1 == piece.nodes.size();
    std::string inner = piece.inner();
    size_t after = first.second + piece.nodes.front()->text.size();
    FUZZ_CHECK(!stretch || source.compare(after, inner.size(), inner) == 0, "inner text is the source after its start");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string source = fuzz::text_of(data, size), selector, joined;
  bool own_selector = fuzz::split_extra(&source, &selector, 64);
  xml document, limited;
  xml_parser::parse(source, document.nodes);
  places.clear();
  for (const xml_node* node : document.nodes) {
    FUZZ_CHECK(node->type >= 0 && node->type <= 5, "a node has one of the six kinds");
    places[node] = {places.size(), joined.size()};
    joined += node->to_string();
  }
  FUZZ_CHECK(joined == source, "the nodes' texts put together are the source");
  bool whole = xml_parser::parse(source, limited.nodes, 64, 8);
  joined.clear();
  for (const xml_node* node : limited.nodes) joined += node->to_string();
  FUZZ_CHECK(source.compare(0, joined.size(), joined) == 0, "a parse with limits keeps the nodes read so far");
  FUZZ_CHECK(!whole || limited.nodes.size() == document.nodes.size(), "within its limits it reads all");

  // The listing's walk, other selectors, and one's own.
  collect_each(document.query("Contents"), source);
  const char* const others[] = {"ListBucketResult", "IsTruncated", "NextMarker", "", "> Error", "a.b[x=1]", "[c~d] b"};
  for (const char* other : others) field(document, other);
  if (own_selector) collect_each(document.query(selector), source);
  return 0;
}
