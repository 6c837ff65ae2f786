// XML as a flat list of nodes in document order, each keeping its source text,
// with selector queries over it. The tokenizer never fails: any bytes give a
// node list; nesting is worked out on demand by xml::collect_tag. No entity
// is decoded by the parser (xml::decode_entities does that on request).
// A parsed document owns its nodes; query results and sub-lists borrow them
// and must not outlive the document. Not thread-safe.
#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

struct xml_node {
  int32_t type = 3;  // 0 element, 1 end tag, 2 declaration, 3 text, 4 comment, 5 CDATA
  std::string text;     // source text, delimiters included
  std::string content;  // inside a comment or CDATA section
  std::string tag;      // "a", "/a", "?xml", "!DOCTYPE"
  std::vector<std::string> attr_names;
  std::map<std::string, std::string> attrs;
  std::string close_mark;  // every "/" or "?" after the name ("/" for <br/>)

  const std::string& to_string() const { return text; }
};

typedef std::list<xml_node*> xml_node_list;

class xml {
 public:
  xml() = default;
  // A list that borrows the nodes of `owner`'s document.
  explicit xml(const xml* owner);
  xml(xml&& other) noexcept;
  xml& operator=(xml&& other) noexcept;
  xml(const xml&) = delete;
  xml& operator=(const xml&) = delete;
  ~xml();

  // The node ranges of the elements matching `selector`, in document order.
  xml query(const std::string& selector) const;
  // The source text inside the list's first element; "" when there is none.
  std::string inner() const;
  // Appends the element at `position` with everything inside it to
  // `destination`, leaving `position` on its last node.
  void collect_tag(xml_node_list& destination, xml_node_list::const_iterator& position) const;

  // `text` with the five predefined entities and numeric character
  // references decoded (other "&" sequences are kept as they are).
  static std::string decode_entities(const std::string& text);

  xml_node_list nodes;
  const xml* owner = nullptr;  // null for the document that owns the nodes
};

class xml_parser {
 public:
  // Appends every node of `source` to `nodes` (which must be empty).
  static void parse(const std::string& source, xml_node_list& nodes);
  // The 32-state transition table, built on first use.
  static const unsigned char* const* state_table();
};
