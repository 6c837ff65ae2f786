#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "xml/xml.h"

namespace {

// The steps of a selector, each as "(>tag.class[attr|op|value])".
std::string steps_of(const std::string& selector) {
  xml_selector_list steps;
  xml_query_parser::parse(selector, steps);
  std::string out;
  for (const auto& step : steps) {
    out += "(";
    if (step->child) out += ">";
    out += step->tag;
    for (const std::string& name : step->classes) out += "." + name;
    for (const xml_condition& c : step->conditions) out += "[" + c.attr + "|" + c.op + "|" + c.value + "]";
    out += ")";
  }
  return out;
}

// The source texts of the matches of `selector` in `source`, one range per
// "|"-separated part, each range's texts joined.
std::string found(const std::string& source, const std::string& selector) {
  xml doc;
  xml_parser::parse(source, doc.nodes);
  xml result = doc.query(selector);
  std::string out;
  auto at = result.nodes.cbegin();
  while (at != result.nodes.cend()) {
    xml range(&doc);
    result.collect_tag(range.nodes, at);
    ++at;
    if (!out.empty()) out += "|";
    for (const xml_node* node : range.nodes) out += node->text;
  }
  return out;
}

bool step_matches(const std::string& selector, const std::string& element) {
  xml_selector_list steps;
  xml_query_parser::parse(selector, steps);
  xml doc;
  xml_parser::parse(element, doc.nodes);
  return steps.front()->matches(*doc.nodes.front());
}

}  // namespace

TEST(XmlSelectorTables, ClassesAndTransitions) {
  const unsigned char* classes = xml_query_parser::class_table();
  const unsigned char* const* states = xml_query_parser::state_table();
  EXPECT_EQ(classes, xml_query_parser::class_table());
  EXPECT_EQ(states, xml_query_parser::state_table());
  EXPECT_EQ(classes[' '], 0);
  EXPECT_EQ(classes['\t'], 6);  // only the space byte separates steps
  EXPECT_EQ(classes['['], 1);
  EXPECT_EQ(classes[']'], 2);
  EXPECT_EQ(classes['>'], 3);
  EXPECT_EQ(classes['.'], 4);
  for (unsigned char op : {'!', '=', '^', '~'}) EXPECT_EQ(classes[op], 5);
  for (unsigned char other : {'a', '#', ',', '\0', '\xFF'}) EXPECT_EQ(classes[other], 6);
  const unsigned char rows[11][7] = {{2, 6, 1, 3, 4, 1, 1}, {2, 6, 1, 3, 4, 1, 1},       {2, 6, 1, 3, 4, 1, 1},
                                     {3, 6, 1, 3, 4, 1, 1}, {2, 6, 5, 3, 4, 5, 5},       {2, 6, 5, 3, 4, 5, 5},
                                     {8, 8, 8, 8, 8, 8, 8}, {2, 6, 1, 3, 4, 1, 1},       {8, 8, 7, 8, 8, 9, 8},
                                     {10, 10, 10, 10, 10, 10, 10}, {10, 10, 7, 10, 10, 10, 10}};
  for (int s = 0; s < 11; s++) {
    for (int c = 0; c < 7; c++) EXPECT_EQ(states[s][c], rows[s][c]) << "state " << s << " class " << c;
  }
}

TEST(XmlSelectorParse, StepsAndSeparators) {
  EXPECT_EQ(steps_of(""), "()");
  EXPECT_EQ(steps_of("Contents"), "(Contents)");
  EXPECT_EQ(steps_of("a b"), "(a)(b)");
  EXPECT_EQ(steps_of("a   b"), "(a)(b)");
  EXPECT_EQ(steps_of(" a"), "()(a)");
  EXPECT_EQ(steps_of("a "), "(a)()");
  EXPECT_EQ(steps_of(" "), "()()");
  EXPECT_EQ(steps_of("a > b"), "(a)(>b)");
  EXPECT_EQ(steps_of("a >  > b"), "(a)(>b)");
  EXPECT_EQ(steps_of("a>b"), "(>ab)");
  EXPECT_EQ(steps_of(">a"), "(>a)");
  EXPECT_EQ(steps_of("> a"), "(>a)");
  EXPECT_EQ(steps_of("a\tb"), "(a\tb)");
  EXPECT_EQ(steps_of("#id,b"), "(#id,b)");
  EXPECT_EQ(steps_of("x]=y"), "(x]=y)");
}

TEST(XmlSelectorParse, ClassesAndConditions) {
  EXPECT_EQ(steps_of(".c"), "(.c)");
  EXPECT_EQ(steps_of("a.b.c"), "(a.b.c)");
  EXPECT_EQ(steps_of("a."), "(a)");
  EXPECT_EQ(steps_of("a..b"), "(a.b)");
  EXPECT_EQ(steps_of(".b]=~"), "(.b]=~)");
  EXPECT_EQ(steps_of("a.b c.d"), "(a.b)(c.d)");
  EXPECT_EQ(steps_of(".c>d"), "(>d.c)");
  EXPECT_EQ(steps_of("[x]"), "([x||])");
  EXPECT_EQ(steps_of("[x=1]"), "([x|=|1])");
  EXPECT_EQ(steps_of("[x!=1]"), "([x|!|=1])");  // the operator is one byte
  EXPECT_EQ(steps_of("[x~a b]"), "([x|~|a b])");
  EXPECT_EQ(steps_of("[x^]]"), "([x|^|]])");
  EXPECT_EQ(steps_of("[x=]"), "()");  // the byte after the operator is the value's, so "]" too
  EXPECT_EQ(steps_of("[=x]"), "([=x||])");  // the first byte is always the name's
  EXPECT_EQ(steps_of("[]]"), "([]||])");
  EXPECT_EQ(steps_of("a.b[x=1][y] c"), "(a.b[x|=|1][y||])(c)");
  EXPECT_EQ(steps_of("[x=1]b"), "(b[x|=|1])");
  EXPECT_EQ(steps_of("a[x"), "(a)");  // unterminated: no condition
  EXPECT_EQ(steps_of("a[x=1"), "(a)");
}

TEST(XmlSelectorMatch, Classes) {
  xml_selector step;
  step.classes = {"c"};
  xml doc;
  xml_parser::parse("<a class='b c'><a class='bc'><a class=''><a><a class='x\tc'><a class='\nc\n'><a class='c d'>",
                    doc.nodes);
  std::vector<bool> results;
  for (const xml_node* node : doc.nodes) results.push_back(step.match_classes(*node));
  EXPECT_EQ(results, (std::vector<bool>{true, false, false, false, true, true, true}));
  step.classes = {"c", "d"};
  EXPECT_TRUE(step.match_classes(*doc.nodes.back()));
  EXPECT_FALSE(step.match_classes(*doc.nodes.front()));
  // Not an element: no classes.
  xml end;
  xml_parser::parse("</a class='c d'>", end.nodes);
  EXPECT_FALSE(step.match_classes(*end.nodes.front()));
}

TEST(XmlSelectorMatch, TagsAndConditions) {
  EXPECT_TRUE(step_matches("a", "<a>"));
  EXPECT_FALSE(step_matches("A", "<a>"));
  EXPECT_TRUE(step_matches("", "<q>"));
  EXPECT_TRUE(step_matches("[x]", "<a x>"));
  EXPECT_TRUE(step_matches("[x]", "<a x='1'>"));
  EXPECT_TRUE(step_matches("[x]", "<a x=''>"));
  EXPECT_FALSE(step_matches("[x]", "<a>"));
  EXPECT_FALSE(step_matches("[x]", "<a xy='1'>"));
  EXPECT_TRUE(step_matches("[x=1]", "<a x='1'>"));
  EXPECT_FALSE(step_matches("[x=1]", "<a x='12'>"));
  EXPECT_TRUE(step_matches("[x!1]", "<a x='2'>"));
  EXPECT_TRUE(step_matches("[x!1]", "<a x>"));
  EXPECT_FALSE(step_matches("[x!1]", "<a x='1'>"));
  EXPECT_FALSE(step_matches("[x!1]", "<a y='2'>"));  // the attribute must be there
  EXPECT_TRUE(step_matches("[x~ell]", "<a x='hello'>"));
  EXPECT_FALSE(step_matches("[x~ell]", "<a x='world'>"));
  EXPECT_TRUE(step_matches("[x^ell]", "<a x='world'>"));
  EXPECT_FALSE(step_matches("[x^ell]", "<a x='hello'>"));
  EXPECT_FALSE(step_matches("[x^ell]", "<a>"));
  EXPECT_TRUE(step_matches("[x=a b]", "<a x='a b'>"));
  EXPECT_TRUE(step_matches("a.c[x=1][y]", "<a class='c' y x=1>"));
  EXPECT_FALSE(step_matches("a.c[x=1][y]", "<a class='c' x=1>"));
  EXPECT_FALSE(step_matches("b.c[x=1][y]", "<a class='c' y x=1>"));
  // The last of repeated values counts.
  EXPECT_TRUE(step_matches("[x=2]", "<a x=1 x=2>"));
}

TEST(XmlQuery, RangesInDocumentOrder) {
  const std::string listing =
      "<r><Contents><Key>a</Key></Contents><Other/><Contents><Key>b</Key></Contents></r>";
  EXPECT_EQ(found(listing, "Contents"), "<Contents><Key>a</Key></Contents>|<Contents><Key>b</Key></Contents>");
  // A match is taken whole: the inner element is not a match of its own.
  EXPECT_EQ(found("<a><a></a></a>", "a"), "<a><a></a></a>");
  EXPECT_EQ(found("<a><b/><c>x</c></a>", "z"), "");
  EXPECT_EQ(found("", "a"), "");
  EXPECT_EQ(found("<x class='b c'/><x class='bc'>1</x><x class=''/><x/>", ".c"), "<x class='b c'/>");
  EXPECT_EQ(found("<a x/><a x='1'></a><a></a>", "[x]"), "<a x/>|<a x='1'></a>");
  EXPECT_EQ(found("<a x='1'/><a x='2'/>", "[x=1]"), "<a x='1'/>");
  EXPECT_EQ(found("<a x='hello'/><a x='world'/>", "[x~ell]"), "<a x='hello'/>");
  EXPECT_EQ(found("<a x='hello'/><a x='world'/>", "[x^ell]"), "<a x='world'/>");
  EXPECT_EQ(found("<a x='hello'/><a x='world'/>", "[x!hello]"), "<a x='world'/>");
}

TEST(XmlQuery, ChildAndDescendantSteps) {
  const std::string nested = "<p><b><a/></b></p>";
  EXPECT_EQ(found(nested, "p > a"), "");
  EXPECT_EQ(found(nested, "p a"), "<a/>");
  EXPECT_EQ(found(nested, "p > b > a"), "<a/>");
  EXPECT_EQ(found(nested, "p b"), "<b><a/></b>");
  EXPECT_EQ(found(nested, "b p"), "");
  EXPECT_EQ(found("<x><p><a>1</a></p></x>", "p > a"), "<a>1</a>");
  // A leading ">" ties the first step to the outermost elements.
  EXPECT_EQ(found("<a>1</a><p><a>2</a></p>", "> a"), "<a>1</a>");
  EXPECT_EQ(found("<a>1</a><p><a>2</a></p>", "a"), "<a>1</a>|<a>2</a>");
  // Steps are matched against the path in order, skipping what fits no step.
  EXPECT_EQ(found("<a><x><y><b>1</b></y></x><b>2</b></a><b>3</b>", "a b"), "<b>1</b>|<b>2</b>");
  EXPECT_EQ(found("<p><p><a/></p></p>", "p a"), "<a/>");
  // "a>b" is one step, tag "ab", tied to the outermost elements.
  EXPECT_EQ(found("<ab>1</ab><x><ab>2</ab></x><a><b/></a>", "a>b"), "<ab>1</ab>");
}

TEST(XmlQuery, BlanksAndEmptySelectors) {
  // The empty selector matches every element, so the top-level ones are taken.
  EXPECT_EQ(found("<a><b/></a>x<c/><!--d--><?e?>", ""), "<a><b/></a>|<c/>");
  // A leading blank adds an empty step that the outermost element satisfies.
  EXPECT_EQ(found("<a><a/></a><b><a>1</a></b>", " a"), "<a/>|<a>1</a>");
  // A trailing blank adds an empty step: the elements just inside.
  EXPECT_EQ(found("<a><b/><c>x<d/></c></a><e/>", "a "), "<b/>|<c>x<d/></c>");
  EXPECT_EQ(found("<a><b/></a>", " "), "<b/>");
}

TEST(XmlQuery, SelfClosingAndStrayEndTags) {
  // An unmatched self-closing element does not stay open.
  EXPECT_EQ(found("<p><br/><a/></p>", "br a"), "");
  EXPECT_EQ(found("<p><br/><a/></p>", "p > a"), "<a/>");
  EXPECT_EQ(found("<p><br/><a/></p>", "br"), "<br/>");
  // An end tag closes the innermost open element of its name and all inside it.
  EXPECT_EQ(found("<p><q><r></p><a/>", "p a"), "");
  EXPECT_EQ(found("<p><q><r></q><a/></p>", "p > a"), "<a/>");
  // A stray end tag closes everything open.
  EXPECT_EQ(found("<p><q></z><a/></p>", "p a"), "");
  // A match cut short by a stray end tag: the walk goes on after it.
  xml doc;
  xml_parser::parse("<a><b></c><a>2</a>", doc.nodes);
  xml result = doc.query("a");
  std::string texts;
  for (const xml_node* node : result.nodes) texts += node->text + " ";
  EXPECT_EQ(texts, "<a> <a> 2 </a> ");
  // Declarations, comments and text are never matches.
  EXPECT_EQ(found("<?a?><!--a--><![CDATA[<a>]]>a<!a>", "a"), "");
}

TEST(XmlQuery, SubListsAndOwners) {
  xml doc;
  xml_parser::parse("<r><c><k>1</k></c><c><k>2</k><k>3</k></c></r><k>4</k>", doc.nodes);
  xml contents = doc.query("c");
  EXPECT_EQ(contents.owner, &doc);
  // Queries on a result see only its nodes.
  xml keys = contents.query("k");
  EXPECT_EQ(keys.owner, &doc);
  EXPECT_EQ(keys.nodes.size(), 9u);
  EXPECT_EQ(keys.inner(), "1");
  EXPECT_EQ(doc.query("k").nodes.size(), 12u);
  EXPECT_EQ(doc.query("r k").nodes.size(), 9u);
}

namespace {

const char listing_head[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
    "<Name>photos</Name><Prefix></Prefix><Marker></Marker><MaxKeys>1000</MaxKeys>"
    "<IsTruncated>true</IsTruncated>";

std::string contents(const std::string& key, const std::string& time, const std::string& size) {
  return "<Contents><Key>" + key + "</Key><LastModified>" + time +
         "</LastModified><ETag>&quot;d41d8cd98f00b204e9800998ecf8427e&quot;</ETag><Size>" + size +
         "</Size><Owner><ID>75aa57f09aa0c8caeab4f8c24e99d10f8e7faeebf76c078efc7c6caea54ba06a</ID>"
         "<DisplayName>webfile</DisplayName></Owner><StorageClass>STANDARD</StorageClass></Contents>";
}

struct listed_object {
  std::string key;
  std::string size;
  std::string time;
};

// Reads a listing reply the way the store listing does.
std::vector<listed_object> read_listing(const xml& doc) {
  std::vector<listed_object> objects;
  xml all = doc.query("Contents");
  auto at = all.nodes.cbegin();
  while (at != all.nodes.cend()) {
    xml one(&doc);
    all.collect_tag(one.nodes, at);
    ++at;
    objects.push_back({xml::decode_entities(one.query("Key").inner()), one.query("Size").inner(),
                       one.query("LastModified").inner()});
  }
  return objects;
}

}  // namespace

TEST(XmlListing, StoreReply) {
  std::string reply = listing_head;
  reply += contents("photos/it&apos;s.jpg", "2009-10-12T17:50:30.000Z", "434234");
  reply += "\n  <Contents>\n    <Key>a&amp;b &#x27;c&#x27;.txt</Key>\n    <LastModified>2000-03-01T00:00:00.000Z"
           "</LastModified>\n    <ETag>\"x\"</ETag>\n    <Size>0</Size>\n  </Contents>\n";
  reply += contents("&lt;dir&gt;/caf\xC3\xA9", "1970-01-01T00:00:00.000Z", "12");
  reply += "<NextMarker>&lt;dir&gt;/caf\xC3\xA9</NextMarker></ListBucketResult>";
  xml doc;
  xml_parser::parse(reply, doc.nodes);
  ASSERT_EQ(doc.nodes.front()->type, 2);
  EXPECT_EQ(doc.nodes.front()->attrs.at("encoding"), "UTF-8");
  auto objects = read_listing(doc);
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[0].key, "photos/it's.jpg");
  EXPECT_EQ(objects[0].size, "434234");
  EXPECT_EQ(objects[0].time, "2009-10-12T17:50:30.000Z");
  EXPECT_EQ(objects[1].key, "a&b 'c'.txt");
  EXPECT_EQ(objects[1].size, "0");
  EXPECT_EQ(objects[1].time, "2000-03-01T00:00:00.000Z");
  EXPECT_EQ(objects[2].key, "<dir>/caf\xC3\xA9");
  EXPECT_EQ(objects[2].time, "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(doc.query("IsTruncated").inner(), "true");
  EXPECT_EQ(xml::decode_entities(doc.query("NextMarker").inner()), "<dir>/caf\xC3\xA9");
  EXPECT_EQ(doc.query("ListBucketResult > Name").inner(), "photos");
  EXPECT_EQ(doc.query("Marker").inner(), "");
  EXPECT_EQ(doc.query("ETag").inner(), "&quot;d41d8cd98f00b204e9800998ecf8427e&quot;");
  EXPECT_EQ(doc.query("Contents > Owner > DisplayName").nodes.size(), 6u);
  EXPECT_EQ(doc.query("[xmlns~2006]").nodes.size(), doc.nodes.size() - 2);  // all but the declaration and a blank
}

TEST(XmlListing, EmptyAndForeignReplies) {
  xml empty;
  xml_parser::parse(std::string(listing_head) + "</ListBucketResult>", empty.nodes);
  EXPECT_TRUE(read_listing(empty).empty());
  EXPECT_EQ(empty.query("NextMarker").inner(), "");
  xml error;
  xml_parser::parse("<?xml version=\"1.0\"?><Error><Code>AccessDenied</Code></Error>", error.nodes);
  EXPECT_TRUE(read_listing(error).empty());
  EXPECT_EQ(error.query("Code").inner(), "AccessDenied");
  // A reply cut off inside an object: what is there is read.
  xml cut;
  xml_parser::parse(std::string(listing_head) + "<Contents><Key>k</Key><Size>5", cut.nodes);
  auto objects = read_listing(cut);
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0].key, "k");
  EXPECT_EQ(objects[0].size, "5");
  EXPECT_EQ(objects[0].time, "");
}

TEST(XmlListing, LargeReplies) {
  // 1000 objects (about 300 KB) and 20,000 (about 6 MB): each object's
  // queries look only at its own range, so the whole takes linear time.
  for (int count : {1000, 20000}) {
    std::string reply = listing_head;
    for (int i = 0; i < count; i++) {
      reply += contents("folder/file-" + std::to_string(i) + ".dat", "2021-06-0" + std::to_string(1 + i % 9) +
                        "T12:00:00.000Z", std::to_string(i * 10));
    }
    reply += "</ListBucketResult>";
    xml doc;
    xml_parser::parse(reply, doc.nodes);
    auto objects = read_listing(doc);
    ASSERT_EQ(objects.size(), static_cast<size_t>(count));
    double total = 0;
    for (const listed_object& object : objects) total += strtod(object.size.c_str(), nullptr);
    EXPECT_EQ(total, 10.0 * count * (count - 1) / 2);
    EXPECT_EQ(objects.back().key, "folder/file-" + std::to_string(count - 1) + ".dat");
    EXPECT_EQ(objects[4].time, "2021-06-05T12:00:00.000Z");
    EXPECT_EQ(doc.query("IsTruncated").inner(), "true");
    EXPECT_EQ(doc.query("Contents Key").nodes.size(), 3u * count);
  }
}

namespace {

// The match test as a walk over the whole open path, for comparison with
// the query, which keeps the progress of each open element instead.
xml_node_list query_by_path(const xml& doc, const std::string& selector) {
  xml_selector_list steps;
  xml_query_parser::parse(selector, steps);
  xml_node_list result;
  std::vector<const xml_node*> path;
  for (auto at = doc.nodes.cbegin(); at != doc.nodes.cend(); ++at) {
    const xml_node* node = *at;
    if (node->type == 1) {
      while (!path.empty()) {
        bool same = "/" + path.back()->tag == node->tag;
        path.pop_back();
        if (same) break;
      }
    }
    if (node->type != 0) continue;
    path.push_back(node);
    size_t step = 0;
    bool matched = false;
    for (const xml_node* element : path) {
      if (steps[step]->matches(*element)) {
        if (++step == steps.size()) {
          matched = true;
          break;
        }
      } else if (steps[step]->child) {
        break;
      }
    }
    if (matched) {
      doc.collect_tag(result, at);
      path.pop_back();
    } else if (node->close_mark == "/") {
      path.pop_back();
    }
  }
  return result;
}

}  // namespace

TEST(XmlQuery, SameAsWalkingThePath) {
  const char* pieces[] = {"<a>", "<b>", "<a x='1'>", "<b class='c'>", "</a>", "</b>", "</c>", "<a/>", "<b/>", "t"};
  const char* selectors[] = {"a", "b", "a b", "a > b", "> a", "b a b", "a > a", " ", "a ", "[x] b", ".c > a", ""};
  std::mt19937 random(7);
  for (int round = 0; round < 2000; round++) {
    std::string source;
    int length = random() % 40;
    for (int i = 0; i < length; i++) source += pieces[random() % (sizeof pieces / sizeof *pieces)];
    xml doc;
    xml_parser::parse(source, doc.nodes);
    for (const char* selector : selectors) {
      xml_node_list expected = query_by_path(doc, selector);
      xml_node_list actual = doc.query(selector).nodes;
      ASSERT_EQ(actual, expected) << source << " with " << selector;
    }
  }
}
