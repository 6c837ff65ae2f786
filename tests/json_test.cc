#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "base/unescape.h"
#include "json/json.h"

namespace {

// The message a text is refused with ("" when it parses to a non-string).
std::string message(const std::string& text) {
  var v = json::parse(text);
  return v.is_string() ? v.str() : "";
}

std::string nested(const std::string& open, const std::string& inner, const std::string& close, int levels) {
  std::string text;
  for (int i = 0; i < levels; i++) text += open;
  text += inner;
  for (int i = 0; i < levels; i++) text += close;
  return text;
}

int depth_of(var v) {
  int depth = 0;
  while (v.is_array() || v.is_object()) {
    depth++;
    v = v.get(0);
  }
  return depth;
}

}  // namespace

TEST(JsonTables, ClassesAndTransitions) {
  const unsigned char* classes = json::class_table();
  const unsigned char* const* states = json::state_table();
  EXPECT_EQ(classes, json::class_table());  // built once
  EXPECT_EQ(states, json::state_table());
  EXPECT_EQ(classes['{'], 0);
  EXPECT_EQ(classes['n'], 14);
  EXPECT_EQ(classes['7'], 17);
  for (unsigned char blank : {'\t', '\n', '\r', ' '}) EXPECT_EQ(classes[blank], 18);
  EXPECT_EQ(classes['E'], 21);
  const unsigned char others[] = {'T', 'N', 'x', 0, 0x80, 0xFF};
  for (unsigned char other : others) EXPECT_EQ(classes[other], 23);
  EXPECT_EQ(states[0][classes['[']], 3);
  EXPECT_EQ(states[0][classes[']']], 31);
  EXPECT_EQ(states[29][classes[' ']], 29);
  for (int c = 0; c < 24; c++) EXPECT_EQ(states[16][c], 14) << "class " << c;
}

TEST(JsonParse, Scalars) {
  EXPECT_EQ(json::parse("007").num(), 7);
  EXPECT_TRUE(json::parse("-").is_number());
  EXPECT_EQ(json::parse("-").num(), 0);
  EXPECT_EQ(json::parse("-.5").num(), -0.5);
  EXPECT_EQ(json::parse(" 12.5e-1\n").num(), 1.25);
  EXPECT_EQ(json::parse("2E+2").num(), 200);
  EXPECT_TRUE(std::isinf(json::parse("1e400").num()));
  EXPECT_TRUE(json::parse("true").boolean);
  EXPECT_TRUE(json::parse(" false ").is_boolean());
  EXPECT_FALSE(json::parse(" false ").boolean);
  EXPECT_TRUE(json::parse("null").is_null());
  EXPECT_EQ(json::parse("\"x\"").str(), "x");
}

TEST(JsonParse, Containers) {
  var empty_array = json::parse("[ ]");
  ASSERT_TRUE(empty_array.is_array());
  EXPECT_EQ(empty_array.size(), 0);
  var empty_object = json::parse("{ }");
  ASSERT_TRUE(empty_object.is_object());
  EXPECT_EQ(empty_object.size(), 0);

  var v = json::parse("[1, [2, 3], {\"k\": null}]");
  EXPECT_EQ(v.str(), "[ 1,[ 2,3 ],{\"k\":null} ]");
  EXPECT_TRUE(v.get(2).has("k"));

  var members = json::parse("{\"b\": [true], \"a\" : {\"c\":\"d\"}}\r\n");
  EXPECT_EQ(members.str(), "{\"b\":[ true ],\"a\":{\"c\":\"d\"}}");
}

TEST(JsonParse, RepeatedKeyKeepsFirstPositionAndLastValue) {
  var v = json::parse("{\"a\":1,\"a\":2,\"b\":3}");
  EXPECT_EQ(v.str(), "{\"a\":2,\"b\":3}");
}

TEST(JsonParse, TopLevelMembersClosedByBrace) {
  var v = json::parse("\"a\":1, \"b\":[2]}");
  EXPECT_EQ(v.str(), "{\"a\":1,\"b\":[ 2 ]}");
  EXPECT_EQ(message("\"a\":1"), "Incomplete array or object value.");
}

TEST(JsonParse, StringsHoldAnyByte) {
  std::string raw = std::string("\"a\nb") + '\0' + "\xc3\xa9\xff\x01\"";
  var v = json::parse(raw);
  ASSERT_TRUE(v.is_string());
  EXPECT_EQ(v.str(), raw.substr(1, raw.size() - 2));
  EXPECT_EQ(json::parse("\"\\u00e9\"").str(), "\xc3\xa9");
  EXPECT_EQ(json::parse("\"tab\\tquote\\\"end\\\\\"").str(), "tab\tquote\"end\\");
  // Escapes in keys are decoded too.
  EXPECT_TRUE(json::parse("{\"a\\u0062\":1}").has("ab"));
}

TEST(JsonParse, RoundTripThroughWriter) {
  var inner = var::object();
  inner.set("deep", json::parse("[\"x\", [], {}]"));
  var list = var::array();
  for (double n : {1.0, 2.5, -3.0, 0.0}) list.push(var(n));
  list.push(json::parse("[true,false,null]"));
  var value = var::object();
  value.set("text", var(std::string("q\"b\\s/\n\t\x01\x7f") + '\0' + "\xc3\xa9 \xf0\x9f\x98\x80"));
  value.set("list", list);
  value.set("nested", inner);
  value.set("key \"with\" escapes\n", var(""));
  value.set("", var(1e21));

  std::string text = value.str();
  var back = json::parse(text);
  ASSERT_TRUE(back.is_object()) << back.str();
  EXPECT_EQ(back.cmp(value), 0) << text;
  EXPECT_EQ(back.str(), text);
}

TEST(JsonParse, LargeObjectKeepsEveryMemberInOrder) {
  const int n = 100000;
  std::string text = "{";
  for (int i = 0; i < n; i++) {
    if (i) text += ",";
    text += "\"dir/file" + std::to_string(i) + ".txt\":" + std::to_string(i);
  }
  text += "}";
  var v = json::parse(text);
  ASSERT_TRUE(v.is_object());
  ASSERT_EQ(v.size(), n);
  EXPECT_EQ(v.get(0).num(), 0);
  EXPECT_EQ(v.get(-1).num(), n - 1);
  EXPECT_EQ(v["dir/file54321.txt"].num(), 54321);
}

TEST(JsonMessages, NoSingleValue) {
  EXPECT_EQ(message(""), "Did not parse to a single JSON value.");
  EXPECT_EQ(message(" \t\r\n "), "Did not parse to a single JSON value.");
  EXPECT_EQ(message("{\"a\"}"), "Did not parse to a single JSON value.");
  // The inner array takes the last three values; the 1 is left over.
  EXPECT_EQ(message("[1,\"a\":2,3]"), "Did not parse to a single JSON value.");
}

TEST(JsonMessages, Incomplete) {
  EXPECT_EQ(message("["), "Incomplete array or object value.");
  EXPECT_EQ(message("{\"a\":[1,2]"), "Incomplete array or object value.");
}

TEST(JsonMessages, UnexpectedCharacterWithLineAndColumn) {
  EXPECT_EQ(message("tru"), "Unexpected character ' ' at line 1 column 4.");  // the end reads as a space
  EXPECT_EQ(message("[1,]"), "Unexpected character ']' at line 1 column 4.");
  EXPECT_EQ(message("1 2"), "Unexpected character '2' at line 1 column 3.");
  EXPECT_EQ(message("]"), "Unexpected character ']' at line 1 column 1.");
  EXPECT_EQ(message("[1,\n  ]"), "Unexpected character ']' at line 2 column 3.");
  EXPECT_EQ(message("[1,\nx"), "Unexpected character 'x' at line 2 column 1.");
  EXPECT_EQ(message("nul\n"), "Unexpected character '\n' at line 2 column 0.");
  EXPECT_EQ(message("1.e5"), "Unexpected character 'e' at line 1 column 3.");
  EXPECT_EQ(message("{1:2}"), "Unexpected character '1' at line 1 column 2.");
  for (const char* text : {"TRUE", "True", "+1", "'a'"}) {
    EXPECT_EQ(message(text), std::string("Unexpected character '") + text[0] + "' at line 1 column 1.");
  }
  // Raw bytes are named as they are.
  EXPECT_EQ(message("\xff"), "Unexpected character '\xff' at line 1 column 1.");
  EXPECT_EQ(message(std::string("1\0", 2)), std::string("Unexpected character '") + '\0' + "' at line 1 column 2.");
}

TEST(JsonMessages, Unmatched) {
  EXPECT_EQ(message("1]"), "Character ']' has no matching opening square bracket at line 1 column 2.");
  EXPECT_EQ(message("1}"), "Character '}' has no matching opening brace at line 1 column 2.");
  EXPECT_EQ(message("{}\n}"), "Character '}' has no matching opening brace at line 2 column 1.");
}

TEST(JsonMessages, ImproperNesting) {
  EXPECT_EQ(message("[1}"), "Improperly nested array at '}' at line 1 column 3.");
  EXPECT_EQ(message("{\"a\":1]"), "Improperly nested object at ']' at line 1 column 7.");
  EXPECT_EQ(message("1,{}]"), "Improperly nested object at ']' at line 1 column 5.");
}

TEST(JsonMessages, ColonOutsideObject) {
  EXPECT_EQ(message("[\"a\":1]"), "Character ':' not inside object at line 1 column 5.");
  EXPECT_EQ(message("{\"a\":\"b\":1}"), "Character ':' not inside object at line 1 column 9.");
}

TEST(JsonMessages, NotEnoughValues) {
  EXPECT_EQ(message("{\"a\",\"b\",\"c\":1}"),
            "Not enough key-value pairs to complete object at '}' at line 1 column 15.");
  // The object takes the 1 before it as a key, leaving the array short.
  EXPECT_EQ(message("[1,{\"a\",2,3}]"), "Not enough values to complete array at ']' at line 1 column 13.");
}

TEST(JsonParse, ScalarKeysBecomeText) {
  // A comma alone also makes a pair of the two values before the brace.
  var value = json::parse("{\"a\":1,2,true}");
  ASSERT_TRUE(value.is_object()) << value.str();
  EXPECT_EQ(value.str(), "{\"a\":1,\"2\":true}");
  EXPECT_EQ(json::parse("{\"a\":1,null,false}").str(), "{\"a\":1,\"null\":false}");
}

// Found by fuzzing: an array or object in a key's place became its JSON text,
// escaped once more at each level, so a few hundred bytes of nested objects
// made gigabytes of key text.
TEST(JsonMessages, ArrayOrObjectAsAKey) {
  EXPECT_EQ(message("{\"a\":1,{\"x\":1},2}"), "Array or object as a key at '}' at line 1 column 17.");
  EXPECT_EQ(message("{\"a\":1,[],2}"), "Array or object as a key at '}' at line 1 column 12.");
  std::string text = "{\"a\":1}";
  for (int i = 0; i < 12; i++) text = "{\"a\":1," + text + ",2}";
  EXPECT_EQ(message(text).substr(0, 28), "Array or object as a key at ");
}

TEST(JsonNesting, ThousandLevelsParse) {
  var arrays = json::parse(nested("[", "1", "]", json::max_depth));
  ASSERT_TRUE(arrays.is_array()) << arrays.str();
  EXPECT_EQ(depth_of(arrays), json::max_depth);
  var objects = json::parse(nested("{\"a\":", "[]", "}", json::max_depth - 1));
  ASSERT_TRUE(objects.is_object()) << objects.str().substr(0, 100);
  EXPECT_EQ(depth_of(objects), json::max_depth);
}

TEST(JsonNesting, OneLevelMoreIsRefusedAtTheOpeningByte) {
  EXPECT_EQ(message(nested("[", "", "]", json::max_depth + 1)),
            "Nesting deeper than 1000 levels at '[' at line 1 column 1001.");
  EXPECT_EQ(message(nested("{\"a\":[", "", "]}", 501)),
            "Nesting deeper than 1000 levels at '{' at line 1 column 3001.");
}

TEST(JsonNesting, MillionOpeningsStopEarly) {
  EXPECT_EQ(message(std::string(1000000, '[')), "Nesting deeper than 1000 levels at '[' at line 1 column 1001.");
  std::string members;
  for (int i = 0; i < 1000000; i++) members += "{\"a\":";
  EXPECT_EQ(message(members), "Nesting deeper than 1000 levels at '{' at line 1 column 5001.");
}

// Malformed text can make an object take values pushed before its opening
// brace, so a chain of objects nests without more than one container open at
// a time. The depth of the values built is bounded all the same.
TEST(JsonNesting, ObjectsWrappingOutsideValuesAreBounded) {
  const int n = 1000000;
  std::string text;
  for (int i = 0; i < n; i++) text += "1,";
  text += "[]";
  for (int i = 0; i < n; i++) text += ",{\"x\",\"y\",\"z\":1}";
  // Each object takes the last 1 as a key and the previous value as its value:
  // the 1000th object would make 1001 levels.
  std::string column = std::to_string(2 * n + 2 + 16 * (json::max_depth - 1) + 16);
  EXPECT_EQ(message(text), "Nesting deeper than 1000 levels at '}' at line 1 column " + column + ".");
}

TEST(Unescape, SimpleEscapes) {
  EXPECT_EQ(base::unescape("\\\"\\'\\/\\\\"), "\"'/\\");
  EXPECT_EQ(base::unescape("a\\0b"), std::string("a\0b", 3));
  EXPECT_EQ(base::unescape("\\b\\f\\n\\r\\t"), "\b\f\n\r\t");
  EXPECT_EQ(base::unescape("\\q\\a"), "\\q\\a");  // unknown escapes stay
  EXPECT_EQ(base::unescape("no escapes \xff"), "no escapes \xff");
}

TEST(Unescape, HexBytes) {
  EXPECT_EQ(base::unescape("\\x41\\x7a"), "Az");
  EXPECT_EQ(base::unescape("\\xfF"), "\xff");
  EXPECT_EQ(base::unescape("\\x00"), std::string(1, '\0'));
}

TEST(Unescape, CodePointsAsUtf8) {
  EXPECT_EQ(base::unescape("\\u0041"), "A");
  EXPECT_EQ(base::unescape("\\u00E9"), "\xc3\xa9");
  EXPECT_EQ(base::unescape("\\u20ac"), "\xe2\x82\xac");
  EXPECT_EQ(base::unescape("a\\u0000b"), "ab");  // unlike \0, writes nothing
  EXPECT_EQ(base::unescape("\\ud83d\\ude00"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(base::unescape("\\udbff\\udfff"), "\xf4\x8f\xbf\xbf");
  EXPECT_EQ(base::unescape("\\ud83dA"), "A");  // an unpaired high half writes nothing
}

TEST(Unescape, CutShortAtTheEnd) {
  EXPECT_EQ(base::unescape("ab\\"), "ab\\");
  EXPECT_EQ(base::unescape("\\x4"), "\\x4");
  EXPECT_EQ(base::unescape("\\x"), "\\x");
  EXPECT_EQ(base::unescape("\\u12"), "\\u12");
  EXPECT_EQ(base::unescape("\\u123"), "\\u123");
  EXPECT_EQ(base::unescape("\\\\"), "\\");
}
