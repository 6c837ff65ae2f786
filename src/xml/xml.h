// XML as a flat list of nodes in document order, each keeping its source text,
// with selector queries over it. The tokenizer never fails: any bytes give a
// node list; nesting is worked out on demand by xml::collect_tag. No entity
// is decoded by the parser (xml::decode_entities does that on request).
// An xml with a null `owner` owns the nodes in its list and deletes them;
// query results and lists built with a non-null owner borrow them and must
// not outlive the owning document. Nothing here recurses, and parsing,
// collecting and querying take time linear in the list they work on.
// The tables are built once, by the first caller of any thread; documents
// may be parsed on several threads at once.
#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct xml_node {
  int32_t type = 3;  // 0 element, 1 end tag, 2 declaration, 3 text, 4 comment, 5 CDATA
  std::string text;     // source text, delimiters included
  std::string content;  // inside a comment or CDATA section
  std::string tag;      // "a", "/a", "?xml", "!DOCTYPE"
  std::vector<std::string> attr_names;       // in order, duplicates and value-less names included
  std::map<std::string, std::string> attrs;  // non-empty values only; the last one wins
  std::string close_mark;  // every "/" or "?" after the name ("/" for <br/>)

  const std::string& to_string() const { return text; }
};

typedef std::list<xml_node*> xml_node_list;

class xml {
 public:
  // An owning list: the nodes put into it (by xml_parser::parse) are its own.
  xml() = default;
  // A list that borrows the nodes of `owner`'s document.
  explicit xml(const xml* owner);
  xml(xml&& other) noexcept;
  xml& operator=(xml&& other) noexcept;
  xml(const xml&) = delete;
  xml& operator=(const xml&) = delete;
  ~xml();

  // The node ranges of the elements matching `selector`, in document order,
  // borrowed from the owning document. A matching element is taken whole, so
  // its descendants are not tested on their own.
  xml query(const std::string& selector) const;
  // The source text inside the list's first element; "" when there is none.
  std::string inner() const;
  // Appends the element at `position` (an iterator into `nodes`) with
  // everything inside it to `destination`, leaving `position` on its last
  // node. A stray end tag inside ends the element early and is left as the
  // node after `position`. Nothing happens at the end of the list.
  void collect_tag(xml_node_list& destination, xml_node_list::const_iterator& position) const;

  // `text` with "&amp;", "&lt;", "&gt;", "&quot;", "&apos;" and numeric
  // character references ("&#39;", "&#x27;") decoded, the latter as UTF-8.
  // Other "&" sequences, and references to 0, surrogates or values above
  // U+10FFFF, are kept as they are. Nothing is expanded further (no entity
  // is declared by a document), so the result is never longer than `text`.
  static std::string decode_entities(const std::string& text);

  xml_node_list nodes;
  const xml* owner = nullptr;  // null for the document that owns the nodes
};

class xml_parser {
 public:
  // Appends every node of `source` to `nodes`; never fails.
  static void parse(const std::string& source, xml_node_list& nodes);
  // The same, stopping with false as soon as the nodes would number more
  // than `max_nodes` or elements would nest deeper than `max_depth` (the
  // nodes made so far stay in `nodes`). A node takes a few hundred bytes,
  // many times the text it comes from: documents from the network are read
  // with limits.
  static bool parse(const std::string& source, xml_node_list& nodes, size_t max_nodes,
                    size_t max_depth);
  // The character class (0-13) of each of the 256 byte values.
  static const unsigned char* class_table();
  // 32 rows (one per state) of 14 next states (one per class), built on first use.
  static const unsigned char* const* state_table();
};

// One attribute test of a selector step: `op` is "", "=", "!", "~" or "^".
struct xml_condition {
  std::string attr;
  std::string value;
  std::string op;
};

// One step of a selector: «tag.class[attr=value]», after ">" when `child`.
struct xml_selector {
  uint8_t child = 0;
  std::string tag;  // "" for any
  std::vector<xml_condition> conditions;
  std::vector<std::string> classes;

  // True when every class of the step is a word of `element`'s "class" value.
  bool match_classes(const xml_node& element) const;
  // True when `element` has the step's tag, classes and attributes.
  bool matches(const xml_node& element) const;
};

// The steps of a selector, in order.
typedef std::vector<std::unique_ptr<xml_selector>> xml_selector_list;

class xml_query_parser {
 public:
  // Appends the steps of `selector` to `steps` (at least one); never fails.
  static void parse(const std::string& selector, xml_selector_list& steps);
  // The character class (0-6) of each of the 256 byte values.
  static const unsigned char* class_table();
  // 11 rows (one per state) of 7 next states (one per class), built on first use.
  static const unsigned char* const* state_table();
};
