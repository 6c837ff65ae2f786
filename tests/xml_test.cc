#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "xml/xml.h"

namespace {

// The kinds and source texts of a list, as "0<a> 3hi 1</a>".
std::string describe(const xml_node_list& nodes) {
  std::string out;
  for (const xml_node* node : nodes) {
    if (!out.empty()) out += ' ';
    out += std::to_string(node->type) + node->text;
  }
  return out;
}

std::vector<const xml_node*> listed(const xml& doc) { return {doc.nodes.begin(), doc.nodes.end()}; }

std::string joined(const xml_node_list& nodes) {
  std::string out;
  for (const xml_node* node : nodes) out += node->text;
  return out;
}

// collect_tag from the node at `index`: what it took, and where it left the position.
struct collected {
  std::string taken;
  int position;
};

collected collect_from(const std::string& source, int index) {
  xml doc;
  xml_parser::parse(source, doc.nodes);
  xml taken(&doc);
  auto position = std::next(doc.nodes.cbegin(), index);
  doc.collect_tag(taken.nodes, position);
  return {describe(taken.nodes), static_cast<int>(std::distance(doc.nodes.cbegin(), position))};
}

std::string inner_of(const std::string& source) {
  xml doc;
  xml_parser::parse(source, doc.nodes);
  return doc.inner();
}

}  // namespace

TEST(XmlTables, ClassesAndTransitions) {
  const unsigned char* classes = xml_parser::class_table();
  const unsigned char* const* states = xml_parser::state_table();
  EXPECT_EQ(classes, xml_parser::class_table());  // built once
  EXPECT_EQ(states, xml_parser::state_table());
  EXPECT_EQ(classes['<'], 0);
  EXPECT_EQ(classes['?'], 8);
  for (unsigned char blank : {'\t', '\n', '\r', ' '}) EXPECT_EQ(classes[blank], 9);
  EXPECT_EQ(classes['q'], 10);
  EXPECT_EQ(classes['Q'], 10);
  EXPECT_EQ(classes[']'], 12);
  for (unsigned char other : {'0', '_', '\0', '\f', '\x80', '\xFF'}) EXPECT_EQ(classes[other], 13);
  EXPECT_EQ(states[0][classes['<']], 1);
  EXPECT_EQ(states[0][classes['x']], 16);
  EXPECT_EQ(states[5][classes['"']], 8);
  EXPECT_EQ(states[7][classes[' ']], 5);
  EXPECT_EQ(states[4][classes['z']], 6);  // a name after blanks starts a new attribute
  EXPECT_EQ(states[4][classes[' ']], 4);
  EXPECT_EQ(states[21][classes['-']], 19);  // a third "-" does not end a comment
  EXPECT_EQ(states[31][classes[']']], 29);
  EXPECT_EQ(states[27][classes['z']], 28);
  EXPECT_EQ(states[28][classes['[']], 29);
  // Every row: its default next state and its exceptions, as byte/state pairs
  // (' ' stands for every blank, 'L' for every letter).
  const struct {
    int fallback;
    std::vector<std::pair<char, int>> exceptions;
  } rows[32] = {
      {16, {{'<', 1}}},
      {2, {{'>', 15}, {'!', 17}}},
      {2, {{'>', 15}, {'/', 22}, {'?', 22}, {' ', 3}}},
      {6, {{'>', 15}, {'/', 22}, {'?', 22}, {' ', 3}}},
      {6, {{'>', 15}, {'=', 7}, {'/', 22}, {'?', 22}, {' ', 4}}},
      {10, {{'>', 15}, {'"', 8}, {'\'', 9}, {'/', 22}, {'?', 22}, {' ', 5}}},
      {6, {{'>', 15}, {'=', 7}, {'/', 22}, {'?', 22}, {' ', 4}}},
      {10, {{'>', 15}, {'"', 8}, {'\'', 9}, {'/', 22}, {'?', 22}, {' ', 5}}},
      {11, {{'"', 13}}},
      {12, {{'\'', 14}}},
      {10, {{'>', 15}, {'/', 22}, {'?', 22}, {' ', 3}}},
      {11, {{'"', 13}}},
      {12, {{'\'', 14}}},
      {6, {{'>', 15}, {'/', 22}, {'?', 22}, {' ', 3}}},
      {6, {{'>', 15}, {'/', 22}, {'?', 22}, {' ', 3}}},
      {16, {{'<', 1}}},
      {16, {{'<', 1}}},
      {2, {{'-', 18}, {'[', 23}}},
      {2, {{'-', 19}}},
      {19, {{'-', 20}}},
      {19, {{'-', 21}}},
      {19, {{'>', 15}}},
      {6, {{'>', 15}, {' ', 3}}},
      {2, {{'L', 24}}},
      {2, {{'L', 25}}},
      {2, {{'L', 26}}},
      {2, {{'L', 27}}},
      {2, {{'L', 28}}},
      {2, {{'[', 29}}},
      {29, {{']', 30}}},
      {29, {{']', 31}}},
      {29, {{'>', 15}}},
  };
  const char samples[] = "<>!-=\"'/? L[]0";  // one byte of each class, in class order
  for (int s = 0; s < 32; s++) {
    for (int c = 0; c < 14; c++) {
      int expected = rows[s].fallback;
      for (const auto& exception : rows[s].exceptions) {
        char byte = exception.first == ' ' ? '\t' : exception.first == 'L' ? 'q' : exception.first;
        if (classes[static_cast<unsigned char>(byte)] == c) expected = exception.second;
      }
      EXPECT_EQ(classes[static_cast<unsigned char>(samples[c] == 'L' ? 'q' : samples[c])], c);
      EXPECT_EQ(states[s][c], expected) << "state " << s << " class " << c;
    }
  }
}

TEST(XmlParse, ElementTextEndTag) {
  xml doc;
  xml_parser::parse("<a x='1' y='2'>hi</a>", doc.nodes);
  auto nodes = listed(doc);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0]->type, 0);
  EXPECT_EQ(nodes[0]->tag, "a");
  EXPECT_EQ(nodes[0]->text, "<a x='1' y='2'>");
  EXPECT_EQ(nodes[0]->attr_names, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(nodes[0]->attrs, (std::map<std::string, std::string>{{"x", "1"}, {"y", "2"}}));
  EXPECT_EQ(nodes[0]->close_mark, "");
  EXPECT_EQ(nodes[1]->type, 3);
  EXPECT_EQ(nodes[1]->to_string(), "hi");
  EXPECT_EQ(nodes[2]->type, 1);
  EXPECT_EQ(nodes[2]->tag, "/a");
  EXPECT_EQ(nodes[2]->text, "</a>");
}

TEST(XmlParse, EntitiesAreKept) {
  xml doc;
  xml_parser::parse("<a>&amp;</a>", doc.nodes);
  EXPECT_EQ(describe(doc.nodes), "0<a> 3&amp; 1</a>");
  EXPECT_EQ(inner_of("<a>&amp;</a>"), "&amp;");
}

TEST(XmlParse, SelfClosingAndDeclarations) {
  xml doc;
  xml_parser::parse("<br/><?xml version='1.0'?><!DOCTYPE html><x a=\"1\"/ >", doc.nodes);
  auto nodes = listed(doc);
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[0]->type, 0);
  EXPECT_EQ(nodes[0]->tag, "br");
  EXPECT_EQ(nodes[0]->close_mark, "/");
  EXPECT_EQ(nodes[0]->text, "<br/>");
  EXPECT_EQ(nodes[1]->type, 2);
  EXPECT_EQ(nodes[1]->tag, "?xml");
  EXPECT_EQ(nodes[1]->attrs.at("version"), "1.0");
  EXPECT_EQ(nodes[1]->close_mark, "?");
  EXPECT_EQ(nodes[1]->text, "<?xml version='1.0'?>");
  EXPECT_EQ(nodes[2]->type, 2);
  EXPECT_EQ(nodes[2]->tag, "!DOCTYPE");
  EXPECT_EQ(nodes[2]->attr_names, std::vector<std::string>{"html"});
  EXPECT_EQ(nodes[3]->tag, "x");
  EXPECT_EQ(nodes[3]->close_mark, "/");
  EXPECT_EQ(nodes[3]->attrs.at("a"), "1");
}

TEST(XmlParse, Attributes) {
  xml doc;
  xml_parser::parse("<a b=''><a b=c><a b><a t='1>0' u=\"<\" v = w x=1 x=2 y z=\"\" q=p/>", doc.nodes);
  auto nodes = listed(doc);
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[0]->attr_names, std::vector<std::string>{"b"});
  EXPECT_TRUE(nodes[0]->attrs.empty());
  EXPECT_EQ(nodes[1]->attrs.at("b"), "c");
  EXPECT_EQ(nodes[2]->attr_names, std::vector<std::string>{"b"});
  EXPECT_TRUE(nodes[2]->attrs.empty());
  const xml_node& last = *nodes[3];
  EXPECT_EQ(last.text, "<a t='1>0' u=\"<\" v = w x=1 x=2 y z=\"\" q=p/>");
  EXPECT_EQ(last.attr_names, (std::vector<std::string>{"t", "u", "v", "x", "x", "y", "z", "q"}));
  EXPECT_EQ(last.attrs, (std::map<std::string, std::string>{{"t", "1>0"}, {"u", "<"}, {"v", "w"}, {"x", "2"}, {"q", "p"}}));
  EXPECT_EQ(last.close_mark, "/");
}

TEST(XmlParse, CommentsAndCdata) {
  xml doc;
  xml_parser::parse("<!--abc--><![CDATA[x<y]]><!----><![CDATA[]]>", doc.nodes);
  auto nodes = listed(doc);
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[0]->type, 4);
  EXPECT_EQ(nodes[0]->content, "abc");
  EXPECT_EQ(nodes[0]->text, "<!--abc-->");
  EXPECT_EQ(nodes[1]->type, 5);
  EXPECT_EQ(nodes[1]->content, "x<y");
  EXPECT_EQ(nodes[1]->text, "<![CDATA[x<y]]>");
  EXPECT_EQ(nodes[2]->type, 4);
  EXPECT_EQ(nodes[2]->content, "");
  EXPECT_EQ(nodes[3]->type, 5);
  EXPECT_EQ(nodes[3]->content, "");
}

TEST(XmlParse, RunsOfDashesAndBrackets) {
  // Three or more "-" (or "]") before the ">" do not end the section.
  xml doc;
  xml_parser::parse("<!--a---><b>--><![CDATA[x]]]>y]]><c/>", doc.nodes);
  auto nodes = listed(doc);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0]->type, 4);
  EXPECT_EQ(nodes[0]->content, "a---><b>");
  EXPECT_EQ(nodes[1]->type, 5);
  EXPECT_EQ(nodes[1]->content, "x]]]>y");
  EXPECT_EQ(nodes[2]->tag, "c");
  // A comment with "-" inside and the keyword in any letters.
  xml more;
  xml_parser::parse("<!--a-b--c--><![cdata[q]]>", more.nodes);
  EXPECT_EQ(describe(more.nodes), "4<!--a-b--c--> 5<![cdata[q]]>");
  EXPECT_EQ(more.nodes.front()->content, "a-b--c");
  EXPECT_EQ(more.nodes.back()->content, "q");
  // "<!-->" and "<!--->" open a comment without closing it.
  xml open;
  xml_parser::parse("<!-->x<!--->", open.nodes);
  EXPECT_EQ(describe(open.nodes), "4<!-->x<!--->");
  EXPECT_EQ(open.nodes.front()->content, "");
}

TEST(XmlParse, ScriptContentIsRaw) {
  xml doc;
  xml_parser::parse("<script>if (a<b) x();</script><p/>", doc.nodes);
  EXPECT_EQ(describe(doc.nodes), "0<script> 3if (a<b) x(); 1</script> 0<p/>");
  xml upper;
  xml_parser::parse("<SCRIPT type='t'><!--</script>--></SCRIPT>", upper.nodes);
  EXPECT_EQ(describe(upper.nodes), "0<SCRIPT type='t'> 3<!--</script>--> 1</SCRIPT>");
  xml mixed;
  xml_parser::parse("<Script>a<b>c</Script>", mixed.nodes);
  EXPECT_EQ(describe(mixed.nodes), "0<Script> 3a 0<b> 3c 1</Script>");
  xml empty;
  xml_parser::parse("<script></script>", empty.nodes);
  EXPECT_EQ(describe(empty.nodes), "0<script> 3 1</script>");
  // Without its end tag the content is read as markup.
  xml unended;
  xml_parser::parse("<script>a<b>", unended.nodes);
  EXPECT_EQ(describe(unended.nodes), "0<script> 3a 0<b>");
  // Several scripts: each finds its own end.
  xml two;
  xml_parser::parse("<script>1</script><script>2<</script>", two.nodes);
  EXPECT_EQ(describe(two.nodes), "0<script> 31 1</script> 0<script> 32< 1</script>");
}

TEST(XmlParse, WhitespaceAndCutOffTokens) {
  xml doc;
  xml_parser::parse("<r>\n  <k>v</k>\n</r>", doc.nodes);
  EXPECT_EQ(describe(doc.nodes), "0<r> 3\n   0<k> 3v 1</k> 3\n 1</r>");
  xml none;
  xml_parser::parse("", none.nodes);
  EXPECT_TRUE(none.nodes.empty());
  xml cut;
  xml_parser::parse("<a", cut.nodes);
  ASSERT_EQ(cut.nodes.size(), 1u);
  EXPECT_EQ(cut.nodes.front()->type, 0);
  EXPECT_EQ(cut.nodes.front()->tag, "a");
  EXPECT_EQ(cut.nodes.front()->text, "<a");
  xml comment;
  xml_parser::parse("x<!--abc", comment.nodes);
  EXPECT_EQ(describe(comment.nodes), "3x 4<!--abc");
  EXPECT_EQ(comment.nodes.back()->content, "");
  xml lone;
  xml_parser::parse("a<", lone.nodes);
  EXPECT_EQ(describe(lone.nodes), "3a 0<");
  xml empty_tags;
  xml_parser::parse("<></>", empty_tags.nodes);
  EXPECT_EQ(describe(empty_tags.nodes), "0<> 1</>");
}

TEST(XmlParse, AnyBytesKeepEverySourceByte) {
  const std::string nul_text("<a\0 b='\0'>\0</a>", 15);
  xml doc;
  xml_parser::parse(nul_text, doc.nodes);
  EXPECT_EQ(joined(doc.nodes), nul_text);
  EXPECT_EQ(doc.nodes.front()->tag, std::string("a\0", 2));
  EXPECT_EQ(doc.nodes.front()->attrs.at("b"), std::string("\0", 1));

  // Random bytes drawn mostly from the markup bytes: whatever the input, the
  // nodes hold every byte once, in order, and queries and collecting stay
  // within the list.
  const char alphabet[] = "<>!-=\"'/?[] \naZ\0\xC3x";
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; round++) {
    std::string source;
    int length = random() % 60;
    for (int i = 0; i < length; i++) source += alphabet[random() % (sizeof alphabet - 1)];
    if (round % 7 == 0) source = "<script>" + source;
    xml any;
    xml_parser::parse(source, any.nodes);
    ASSERT_EQ(joined(any.nodes), source) << round;
    for (const char* selector : {"", "a", "a a", "> a", "[a]", ".a"}) {
      xml found = any.query(selector);
      EXPECT_EQ(found.owner, &any);
      for (const xml_node* node : found.nodes) EXPECT_NE(node, nullptr);
    }
    any.inner();
    for (auto at = any.nodes.cbegin(); at != any.nodes.cend(); ++at) {
      xml taken(&any);
      auto position = at;
      any.collect_tag(taken.nodes, position);
      EXPECT_GE(std::distance(any.nodes.cbegin(), position), std::distance(any.nodes.cbegin(), at));
      EXPECT_FALSE(taken.nodes.empty());
      EXPECT_EQ(taken.nodes.front(), *at);
    }
  }
}

TEST(XmlCollect, WellFormedAndSelfClosing) {
  EXPECT_EQ(collect_from("<x/><a><b/><c>t</c><!--n--></a><d/>", 1).taken,
            "0<a> 0<b/> 0<c> 3t 1</c> 4<!--n--> 1</a>");
  EXPECT_EQ(collect_from("<x/><a><b/><c>t</c><!--n--></a><d/>", 1).position, 7);
  EXPECT_EQ(collect_from("<br/><a>", 0).taken, "0<br/>");
  EXPECT_EQ(collect_from("<br/><a>", 0).position, 0);
  EXPECT_EQ(collect_from("<?xml?><a>", 0).taken, "2<?xml?>");
  EXPECT_EQ(collect_from("<a><a></a></a>x", 0).taken, "0<a> 0<a> 1</a> 1</a>");
  EXPECT_EQ(collect_from("<a><a></a></a>x", 0).position, 3);
  // The list runs out: the position rests on its last node.
  EXPECT_EQ(collect_from("<a><b>t", 0).taken, "0<a> 0<b> 3t");
  EXPECT_EQ(collect_from("<a><b>t", 0).position, 2);
}

TEST(XmlCollect, MissingEndTags) {
  // «</a>» closes the open «<b>» together with «<a>».
  EXPECT_EQ(collect_from("<a><b></a>", 0).taken, "0<a> 0<b> 1</a>");
  EXPECT_EQ(collect_from("<a><b></a>", 0).position, 2);
  EXPECT_EQ(collect_from("<a><b><c>x</b>y</a>z", 0).taken, "0<a> 0<b> 0<c> 3x 1</b> 3y 1</a>");
  // The innermost open element of the name is the one closed.
  EXPECT_EQ(collect_from("<a><a><b></a>q</a>", 0).taken, "0<a> 0<a> 0<b> 1</a> 3q 1</a>");
}

TEST(XmlCollect, StrayEndTags) {
  // The stray «</c>» is not taken, «<b>» is taken back out, and the
  // position is left on «<b>» so that the next node is «</c>».
  collected result = collect_from("<a><b></c></a>", 0);
  EXPECT_EQ(result.taken, "0<a>");
  EXPECT_EQ(result.position, 1);
  result = collect_from("<a>x<b>y<c/><d>z</e>", 0);
  EXPECT_EQ(result.taken, "0<a> 3x");
  EXPECT_EQ(result.position, 6);
  result = collect_from("<a>x</e></a>", 0);
  EXPECT_EQ(result.taken, "0<a> 3x");
  EXPECT_EQ(result.position, 1);

  // What was in the destination before stays there.
  xml doc;
  xml_parser::parse("<p/><a><b></c>", doc.nodes);
  xml taken(&doc);
  taken.nodes.push_back(doc.nodes.front());
  auto position = std::next(doc.nodes.cbegin());
  doc.collect_tag(taken.nodes, position);
  EXPECT_EQ(describe(taken.nodes), "0<p/> 0<a>");
}

TEST(XmlCollect, FromOtherNodes) {
  // From a text node, an end tag with nothing open belongs to an outer element.
  collected result = collect_from("hi<b></b></a>x", 0);
  EXPECT_EQ(result.taken, "3hi 0<b> 1</b>");
  EXPECT_EQ(result.position, 2);
  result = collect_from("hi</a>x", 0);
  EXPECT_EQ(result.taken, "3hi 1</a>");
  EXPECT_EQ(result.position, 0);
  // From an end tag: it alone, and the position stays (a caller moving on
  // from there does not come back to it).
  result = collect_from("</a>x", 0);
  EXPECT_EQ(result.taken, "1</a>");
  EXPECT_EQ(result.position, 0);
  result = collect_from("x</a>", 1);
  EXPECT_EQ(result.taken, "1</a>");
  EXPECT_EQ(result.position, 1);

  // At the end of the list nothing happens.
  xml doc;
  xml_parser::parse("<a/>", doc.nodes);
  xml taken(&doc);
  auto position = doc.nodes.cend();
  doc.collect_tag(taken.nodes, position);
  EXPECT_TRUE(taken.nodes.empty());
  EXPECT_EQ(position, doc.nodes.cend());
}

TEST(XmlInner, SourceTextBetweenTags) {
  EXPECT_EQ(inner_of("<r><k>v</k></r>"), "<k>v</k>");
  EXPECT_EQ(inner_of("<r> a <!--c--> &lt; <![CDATA[<x>]]></r><s>no</s>"), " a <!--c--> &lt; <![CDATA[<x>]]>");
  EXPECT_EQ(inner_of("<r/>"), "");
  EXPECT_EQ(inner_of("<r/><s>x</s>"), "");
  EXPECT_EQ(inner_of("<r></r>"), "");
  EXPECT_EQ(inner_of("text<r>x</r>"), "");
  EXPECT_EQ(inner_of("<?xml?><r>x</r>"), "");
  EXPECT_EQ(inner_of("<r>"), "");
  EXPECT_EQ(inner_of(""), "");
  // Cut off or closed by an outer end tag: what there is.
  EXPECT_EQ(inner_of("<r>x<k>y"), "x<k>y");
  EXPECT_EQ(inner_of("<r>x<k>y</r>"), "x<k>y");
  EXPECT_EQ(inner_of("<r>x<k>y</q></r>"), "x");
}

TEST(XmlOwnership, DocumentsOwnAndResultsBorrow) {
  xml doc;
  xml_parser::parse("<a><b>1</b></a><b>2</b>", doc.nodes);
  xml results = doc.query("b");
  EXPECT_EQ(results.owner, &doc);
  xml again = results.query("b");
  EXPECT_EQ(again.owner, &doc);  // the document, not the list queried
  EXPECT_EQ(describe(again.nodes), describe(results.nodes));

  // Moves carry the nodes and whether they are owned.
  xml moved(std::move(doc));
  EXPECT_TRUE(doc.nodes.empty());
  EXPECT_EQ(moved.owner, nullptr);
  EXPECT_EQ(moved.nodes.size(), 8u);
  xml borrowed = moved.query("a");
  borrowed = std::move(moved);  // the owned nodes go with their flag
  EXPECT_EQ(borrowed.owner, nullptr);
  EXPECT_NE(moved.owner, nullptr);
  EXPECT_EQ(borrowed.nodes.size(), 8u);
  EXPECT_EQ(moved.nodes.size(), 5u);
}

TEST(XmlEntities, NamedAndNumeric) {
  EXPECT_EQ(xml::decode_entities("a&amp;b &lt;&gt; &quot;q&quot; it&apos;s"), "a&b <> \"q\" it's");
  EXPECT_EQ(xml::decode_entities("it&#x27;s &#39; &#65;&#x42;&#X43;"), "it's ' AB&#X43;");
  EXPECT_EQ(xml::decode_entities("&#xe9;&#233;&#x20AC;&#x1F600;&#x10FFFF;"),
            "\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(xml::decode_entities("&#x7F;&#x80;&#x7FF;&#x800;&#xFFFF;&#x10000;"),
            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80");
  EXPECT_EQ(xml::decode_entities("&#0065;&#x00041;"), "AA");
  // Decoded once: what a reference produces is not read again.
  EXPECT_EQ(xml::decode_entities("&amp;lt; &amp;#65;"), "&lt; &#65;");
}

TEST(XmlEntities, OthersAreKept) {
  for (const char* kept : {"&", "&&", "a & b", "&amp", "&nbsp;", "&AMP;", "&#;", "&#x;", "&#65", "&#x41",
                           "&#0;", "&#x0;", "&#xD800;", "&#xDFFF;", "&#55296;", "&#x110000;", "&#1114112;",
                           "&#99999999999999999999;", "&#xFFFFFFFFFFFF41;", "&#6a;", "&#xg;", "&# 65;", "&#-1;"}) {
    EXPECT_EQ(xml::decode_entities(kept), kept);
  }
  EXPECT_EQ(xml::decode_entities("&&amp;&#&#65;&"), "&&&#A&");
  EXPECT_EQ(xml::decode_entities(""), "");
  EXPECT_EQ(xml::decode_entities(std::string("\0&lt;\0", 6)), std::string("\0<\0", 3));
  EXPECT_EQ(xml::decode_entities("&#x10FFFF;&#xD7FF;&#xE000;"), "\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80");
}

TEST(XmlLarge, LinearInTheInput) {
  // Each of these is quadratic for a parser or walker that rescans: they
  // finish at once when every node is looked at a bounded number of times.
  const int count = 100000;
  std::string deep;
  for (int i = 0; i < count; i++) deep += "<a>";
  xml nested;
  xml_parser::parse(deep, nested.nodes);
  EXPECT_EQ(nested.nodes.size(), static_cast<size_t>(count));
  EXPECT_EQ(nested.query("b").nodes.size(), 0u);
  EXPECT_EQ(nested.query("a b").nodes.size(), 0u);
  EXPECT_EQ(nested.query("> a").nodes.size(), static_cast<size_t>(count));
  EXPECT_EQ(nested.inner().size(), deep.size() - 3);

  std::string strays = deep;
  for (int i = 0; i < count; i++) strays += "</b>";
  xml unmatched;
  xml_parser::parse(strays, unmatched.nodes);
  xml taken(&unmatched);
  auto position = unmatched.nodes.cbegin();
  unmatched.collect_tag(taken.nodes, position);
  EXPECT_EQ(describe(taken.nodes), "0<a>");
  EXPECT_EQ(unmatched.query("a").nodes.size(), 1u);

  std::string scripts;
  for (int i = 0; i < count; i++) scripts += "<script>x";
  scripts += "</SCRIPT><SCRIPT>y</SCRIPT>";
  xml unended;
  xml_parser::parse(scripts, unended.nodes);
  EXPECT_EQ(unended.nodes.size(), 2u * count + 4);
  EXPECT_EQ(unended.nodes.back()->tag, "/SCRIPT");

  std::string text(1 << 20, 'x');
  text = "<a t='" + text + "'>" + text + "<!--" + text + "-->";
  xml big;
  xml_parser::parse(text, big.nodes);
  EXPECT_EQ(big.nodes.size(), 3u);
  EXPECT_EQ(big.nodes.front()->attrs.at("t").size(), 1u << 20);
}
