// XML as the store listing reads it: the tokenizer on any bytes, its limits,
// collecting one element, inner text, entities, selector queries, and
// listing replies whole, cut off, foreign and hostile.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <string>
#include <tuple>

#include "xml/xml.h"

namespace {

// A document read whole (moved out: it keeps its nodes and owns them).
xml parse(const std::string& source) {
  xml doc;
  xml_parser::parse(source, doc.nodes);
  return doc;
}

// The kinds and source texts of a list, as "0<a> 3hi 1</a>".
std::string describe(const xml_node_list& nodes) {
  std::string out;
  for (const xml_node* node : nodes) out += (out.empty() ? "" : " ") + std::to_string(node->type) + node->text;
  return out;
}

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; i++) text += piece;
  return text;
}

// The matches of `selector` in `source`, one range per "|"-separated part.
std::string found(const std::string& source, const std::string& selector) {
  xml doc = parse(source), result = doc.query(selector);
  std::string out;
  for (auto at = result.nodes.cbegin(); at != result.nodes.cend(); ++at) {
    xml range(&doc);
    result.collect_tag(range.nodes, at);
    out += out.empty() ? "" : "|";
    for (const xml_node* node : range.nodes) out += node->text;
  }
  return out;
}

TEST(Xml, Tokenizer) {
  const std::pair<std::string, std::string> kinds[] = {
      {"<a x='1'>hi &amp;</a>", "0<a x='1'> 3hi &amp; 1</a>"},
      {"<r>\n  <k>v</k>\n</r>", "0<r> 3\n   0<k> 3v 1</k> 3\n 1</r>"},
      {"<!--a---><b>--><![CDATA[x]]]>y]]><!----><c/>", "4<!--a---><b>--> 5<![CDATA[x]]]>y]]> 4<!----> 0<c/>"},
      {"<!--a-b--c--><![cdata[q]]>", "4<!--a-b--c--> 5<![cdata[q]]>"}, {"<!-->x<!--->", "4<!-->x<!--->"},
      {"<script>if (a<b) x();</script><p/>", "0<script> 3if (a<b) x(); 1</script> 0<p/>"},
      {"<SCRIPT t='t'><!--</script>--></SCRIPT>", "0<SCRIPT t='t'> 3<!--</script>--> 1</SCRIPT>"},
      {"<Script>a<b>c</Script>", "0<Script> 3a 0<b> 3c 1</Script>"}, {"<></>", "0<> 1</>"},
      {"<script>a<b>", "0<script> 3a 0<b>"},  // without its end tag the content is markup
      {"", ""}, {"<a", "0<a"}, {"x<!--abc", "3x 4<!--abc"}, {"a<", "3a 0<"},
      {std::string("<a\0 b='\0'>\0</a>", 15), "0" + std::string("<a\0 b='\0'> 3\0", 13) + " 1</a>"},
  };
  for (const auto& [source, nodes] : kinds) EXPECT_EQ(describe(parse(source).nodes), nodes) << source;
  // Attribute values may hold ">" and "<"; the last of repeated names counts.
  xml doc = parse("<a t='1>0' u=\"<\" v = w x=1 x=2 y z=\"\" q=p/><!--c--><![CDATA[d]]>");
  const xml_node& a = *doc.nodes.front();
  const std::map<std::string, std::string> values = {{"q", "p"}, {"t", "1>0"}, {"u", "<"}, {"v", "w"}, {"x", "2"}};
  EXPECT_EQ(a.attrs, values);
  EXPECT_EQ(a.attr_names.size(), 8u);
  EXPECT_EQ(a.tag + a.close_mark + (*std::next(doc.nodes.begin()))->content + doc.nodes.back()->content, "a/cd");
}

TEST(Xml, CollectAndInner) {
  // Source, the node to collect from, what is taken, where the position is left. A list cut off is
  // taken to its last node; a stray end tag ends the element early and is left as the next node; at
  // the end of the list nothing happens.
  const std::tuple<std::string, int, const char*, int> rows[] = {
      {"<x/><a><b/><c>t</c><!--n--></a><d/>", 1, "0<a> 0<b/> 0<c> 3t 1</c> 4<!--n--> 1</a>", 7},
      {"<br/><a>", 0, "0<br/>", 0}, {"<?xml?><a>", 0, "2<?xml?>", 0}, {"<a><a></a></a>x", 0, "0<a> 0<a> 1</a> 1</a>", 3},
      {"<a><b>t", 0, "0<a> 0<b> 3t", 2}, {"<a><b></a>", 0, "0<a> 0<b> 1</a>", 2}, {"<a/>", 1, "", 1},
      {"<a><a><b></a>q</a>", 0, "0<a> 0<a> 0<b> 1</a> 3q 1</a>", 5}, {"<a><b></c></a>", 0, "0<a>", 1},
      {"<a>x<b>y<c/><d>z</e>", 0, "0<a> 3x", 6}, {"<a>x</e></a>", 0, "0<a> 3x", 1}, {"hi</a>x", 0, "3hi 1</a>", 0},
      {"hi<b></b></a>x", 0, "3hi 0<b> 1</b>", 2}, {"x</a>", 1, "1</a>", 1},
  };
  for (const auto& [source, from, expected, left_at] : rows) {
    xml doc = parse(source), taken(&doc);
    auto position = std::next(doc.nodes.cbegin(), from);
    doc.collect_tag(taken.nodes, position);
    EXPECT_EQ(describe(taken.nodes), expected) << source;
    EXPECT_EQ(std::distance(doc.nodes.cbegin(), position), left_at) << source;
  }
  const std::pair<std::string, std::string> inner[] = {
      {"<r><k>v</k></r>", "<k>v</k>"}, {"<r> a <!--c--> &lt;<![CDATA[<x>]]></r>", " a <!--c--> &lt;<![CDATA[<x>]]>"},
      {"<r/><s>x</s>", ""}, {"<r></r>", ""}, {"text<r>x</r>", ""}, {"<?xml?><r>x</r>", ""}, {"<r>", ""}, {"", ""},
      {"<r>x<k>y", "x<k>y"}, {"<r>x<k>y</r>", "x<k>y"}, {"<r>x<k>y</q></r>", "x"},
  };
  for (const auto& row : inner) EXPECT_EQ(parse(row.first).inner(), row.second) << row.first;
}

TEST(Xml, Entities) {
  const std::pair<std::string, std::string> rows[] = {
      {"a&amp;b &lt;&gt; &quot;q&quot; it&apos;s", "a&b <> \"q\" it's"}, {"&#39;&#x27;&#65;&#x42;&#0065;", "''ABA"},
      {"&#x7F;&#x80;&#x7FF;&#x800;&#xFFFF;", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {"&#x10000;&#x10FFFF;&#xD7FF;&#xE000;&#233;", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80\xC3\xA9"},
      {"&amp;lt; &amp;#65;", "&lt; &#65;"}, {"&&amp;&#&#65;&", "&&&#A&"},  // decoded once
      {std::string("\0&lt;\0", 6), std::string("\0<\0", 3)},
  };
  for (const auto& row : rows) EXPECT_EQ(xml::decode_entities(row.first), row.second) << row.first;
  for (const char* kept : {"&", "a & b", "&amp", "&nbsp;", "&AMP;", "&#;", "&#x;", "&#65", "&#X43;", "&#0;", "&#x0;",
                           "&#xD800;", "&#xDFFF;", "&#x110000;", "&#99999999999999999999;", "&#xFFFFFFFFFFFF41;",
                           "&#6a;", "&#xg;", "&# 65;", "&#-1;"}) EXPECT_EQ(xml::decode_entities(kept), kept);
}

TEST(Xml, Queries) {
  const std::string nested = "<p><b><a/></b></p>";
  // A match is taken whole; "a>b" is one step "ab" tied to the outermost elements; an unmatched
  // <br/> does not stay open; an end tag closes what is open inside its element, a stray one all;
  // the walk goes on after a match cut short.
  const std::tuple<std::string, const char*, const char*> rows[] = {
      {"<r><C><K>a</K></C><O/><C><K>b</K></C></r>", "C", "<C><K>a</K></C>|<C><K>b</K></C>"}, {"<a><b/></a>", "z", ""},
      {"<a><a></a></a>", "a", "<a><a></a></a>"}, {"", "a", ""}, {"<a>", "A", ""}, {nested, "p > a", ""},
      {"<?a?><!--a--><![CDATA[<a>]]>a<!a>", "a", ""}, {nested, "p a", "<a/>"}, {nested, "p > b > a", "<a/>"},
      {nested, "b p", ""}, {"<x><p><a>1</a></p></x>", "p > a", "<a>1</a>"}, {"<p><p><a/></p></p>", "p a", "<a/>"},
      {"<a>1</a><p><a>2</a></p>", "> a", "<a>1</a>"}, {nested, "p >  > b", "<b><a/></b>"},
      {"<a><x><y><b>1</b></y></x><b>2</b></a><b>3</b>", "a b", "<b>1</b>|<b>2</b>"}, {"<a><b/></a>", "   ", "<b/>"},
      {"<ab>1</ab><x><ab>2</ab></x><a><b/></a>", "a>b", "<ab>1</ab>"}, {"<p><br/><a/></p>", "p > a", "<a/>"},
      {"<a><b/></a>x<c/><!--d--><?e?>", "", "<a><b/></a>|<c/>"}, {"<a><a/></a><b><a>1</a></b>", " a", "<a/>|<a>1</a>"},
      {"<a><b/><c>x<d/></c></a><e/>", "a ", "<b/>|<c>x<d/></c>"}, {"<p><br/><a/></p>", "br a", ""},
      {"<p><q><r></p><a/>", "p a", ""}, {"<p><q></z><a/></p>", "p a", ""}, {"<p><q><r></q><a/></p>", "p > a", "<a/>"},
      {"<a><b></c><a>2</a>", "a", "<a><a>2</a>"},
      // Classes and attribute tests, which no listing uses.
      {"<x class='b c'/><x class='bc'/><x class='x\tc'/><x class=''/>", ".c", "<x class='b c'/>|<x class='x\tc'/>"},
      {"<a x/><a x='1'/><a x='12'/><a x=1 x=2/><a y=1/>", "[x]", "<a x/>|<a x='1'/>|<a x='12'/>|<a x=1 x=2/>"},
      {"<a x='1'/><a x='12'/><a x=1 x=2/><a/>", "[x=1]", "<a x='1'/>"}, {"<a x='1'/><a x/><a/>", "[x!1]", "<a x/>"},
      {"<a x='hello'/><a x='world'/><a/>", "[x~ell]", "<a x='hello'/>"}, {"<a x='he'/><a/>", "[x^ell]", "<a x='he'/>"},
      {"<a class='c' y x=1/><a class='c' x=1/><b class='c' y x=1/>", "a.c[x=1][y]", "<a class='c' y x=1/>"},
  };
  for (const auto& [text, selector, hits] : rows) EXPECT_EQ(found(text, selector), hits) << text << ' ' << selector;

  // A result is queried within its own nodes and borrows the document's.
  xml doc = parse("<r><c><k>1</k></c><c><k>2</k><k>3</k></c></r><k>4</k>");
  xml keys = doc.query("c").query("k");
  EXPECT_EQ(keys.owner, &doc);
  EXPECT_EQ(describe(keys.nodes), "0<k> 31 1</k> 0<k> 32 1</k> 0<k> 33 1</k>");
  // Move assignment carries the nodes with the flag that says whether they are owned.
  xml borrowed = doc.query("r");
  borrowed = std::move(doc);
  EXPECT_EQ(borrowed.owner, nullptr);
  EXPECT_EQ(doc.nodes.size() * 100 + borrowed.nodes.size(), 1518u);
}

// A listing page is read with limits: a node takes many times the bytes it
// comes from, and a query's path grows with the nesting.
TEST(Xml, LimitsAndHostilePages) {
  const int count = 100000;
  const std::string deep = repeated("<a>", count), text(1 << 18, 'x');
  // Source, limits of nodes and depth, and whether it is read whole.
  const std::tuple<std::string, size_t, size_t, bool> rows[] = {
      {"<a><b></b></a>", 4, 2, true}, {"<a><b></b></a>", 3, 2, false}, {"<a><b></b></a>", 4, 1, false},
      {"<a/><b/><?x?><!--y--></a></a><c>", 10, 1, true}, {"<a></a><b></b>", 10, 1, true},
      {repeated("<a/>", 1001), 1000, 64, false}, {text + "<a>", 2, 1, true}, {deep, 250000, 64, false},
  };
  for (const auto& [source, max_nodes, max_depth, ok] : rows) {
    xml doc;
    EXPECT_EQ(xml_parser::parse(source, doc.nodes, max_nodes, max_depth), ok) << source;
    std::string joined;
    for (const xml_node* node : doc.nodes) joined += node->text;
    EXPECT_EQ(source.compare(0, joined.size(), joined), 0) << "nodes so far stay: " << source;
  }
  // Hostile pages: deep nesting, stray end tags, unended scripts and long
  // tokens take linear time (a walk that rescans would not finish).
  xml nested = parse(deep);
  EXPECT_EQ(nested.query("a b").nodes.size(), 0u);
  EXPECT_EQ(nested.query("> a").nodes.size(), size_t(count));
  EXPECT_EQ(nested.inner().size(), deep.size() - 3);
  EXPECT_EQ(describe(parse(deep + repeated("</b>", count)).query("a").nodes), "0<a>");
  EXPECT_EQ(parse(repeated("<script>x", count) + "</SCRIPT><SCRIPT>y</SCRIPT>").nodes.size(), 2u * count + 4);
  xml big = parse("<a t='" + text + "'>" + text + "<!--" + text + "-->");
  EXPECT_EQ(big.nodes.size(), 3u);
  EXPECT_EQ(big.nodes.front()->attrs.at("t").size(), 1u << 18);
}

}  // namespace
