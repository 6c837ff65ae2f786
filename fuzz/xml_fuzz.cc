// xml_parser::parse, xml::query, xml::collect_tag, xml::inner and
// xml::decode_entities, walked the way the store listing walks a reply.
// Input: a document, optionally followed by a NUL and a selector of one's own.
// Properties: the nodes' texts put together are the source; a query result
// holds nodes of the document in document order; the inner text of one
// collected element is a piece of the source; decoding entities never makes
// a text longer.
#include <cstdint>
#include <string>
#include <unordered_map>

#include "check.h"
#include "xml/xml.h"

namespace {

// Each node's place in the document and the offset of its text in the source.
struct document_index {
  std::unordered_map<const xml_node*, size_t> position;
  std::unordered_map<const xml_node*, size_t> offset;
};

void check_result(const xml& result, const document_index& index) {
  size_t previous = 0;
  bool first = true;
  for (const xml_node* node : result.nodes) {
    auto found = index.position.find(node);
    FUZZ_CHECK(found != index.position.end(), "a query result holds nodes of the document");
    FUZZ_CHECK(first || found->second > previous, "a query result keeps document order");
    previous = found->second;
    first = false;
  }
}

std::string field(const xml& list, const std::string& selector, const document_index& index) {
  xml found = list.query(selector);
  check_result(found, index);
  std::string inner = found.inner();
  std::string decoded = xml::decode_entities(inner);
  FUZZ_CHECK(decoded.size() <= inner.size(), "decoding entities never lengthens a text");
  return decoded;
}

// The inner text of one collected element is the source right after its
// opening node. (A piece collected from a query result whose ranges do not
// nest may run on into the next range: then its nodes are not one stretch
// of the document, and there is nothing to compare.)
void check_inner(const xml& piece, const std::string& source, const document_index& index) {
  std::string inner = piece.inner();
  if (piece.nodes.empty()) return;
  size_t expected = index.position.at(piece.nodes.front());
  for (const xml_node* node : piece.nodes) {
    if (index.position.at(node) != expected++) return;
  }
  const xml_node* first = piece.nodes.front();
  size_t start = index.offset.at(first) + first->text.size();
  FUZZ_CHECK(source.compare(start, inner.size(), inner) == 0, "inner text is the source after the opening node");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string source = fuzz::text_of(data, size);
  std::string selector;
  bool own_selector = fuzz::split_extra(&source, &selector, 64);

  xml document;
  xml_parser::parse(source, document.nodes);
  document_index index;
  std::string joined;
  size_t count = 0;
  for (const xml_node* node : document.nodes) {
    FUZZ_CHECK(node->type >= 0 && node->type <= 5, "a node has one of the six kinds");
    index.position[node] = count++;
    index.offset[node] = joined.size();
    joined += node->to_string();
  }
  FUZZ_CHECK(joined == source, "the nodes' texts put together are the source");

  // The listing's walk: the reply, its Contents, and the fields of each.
  field(document, "ListBucketResult", index);
  xml contents = document.query("Contents");
  check_result(contents, index);
  for (auto it = contents.nodes.cbegin(); it != contents.nodes.cend(); ++it) {
    xml object(&contents);
    contents.collect_tag(object.nodes, it);
    FUZZ_CHECK(!object.nodes.empty(), "collecting at a node takes at least that node");
    check_result(object, index);
    check_inner(object, source, index);
    for (const char* name : {"Key", "Size", "LastModified"}) field(object, name, index);
  }
  field(document, "IsTruncated", index);
  field(document, "NextMarker", index);
  for (const char* other : {"", "ListBucketResult > Name", "> Error Code", "a.b[x=1]", "[class~c] b"}) {
    field(document, other, index);
  }
  if (own_selector) {
    xml result = document.query(selector);
    check_result(result, index);
    field(result, selector, index);
    for (auto it = result.nodes.cbegin(); it != result.nodes.cend(); ++it) {
      xml piece(&result);
      result.collect_tag(piece.nodes, it);
      check_result(piece, index);
      check_inner(piece, source, index);
    }
  }
  return 0;
}
