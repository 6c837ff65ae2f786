#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "var/var.h"

namespace {

std::string json(const var& v, bool indent = false) {
  base::arraylist<var::var_data*> visited;
  std::string text = v.to_json_helper(visited, indent);
  EXPECT_EQ(visited.count, 0u) << "the visited list must come back as it was";
  return text;
}

std::string json_string(const std::string& bytes) { return json(var(bytes)); }

var array_of(std::initializer_list<var> items) {
  var a = var::array();
  for (const var& v : items) a.push(v);
  return a;
}

TEST(JsonWriterNumber, IntegersInFullOthersWithSixDigits) {
  EXPECT_EQ(json(var(100)), "100");
  EXPECT_EQ(json(var(0)), "0");
  EXPECT_EQ(json(var(-42)), "-42");
  EXPECT_EQ(json(var(2.5)), "2.5");
  EXPECT_EQ(json(var(0.1)), "0.1");
  EXPECT_EQ(json(var(1.0 / 3)), "0.333333");
  EXPECT_EQ(json(var(123456789.5)), "1.23457e+08");
  EXPECT_EQ(json(var(1e21)), "1000000000000000000000");
  EXPECT_EQ(json(var(1e-7)), "1e-07");
  EXPECT_EQ(json(var(-0.0)), "-0");
  EXPECT_EQ(json(var(9007199254740993.0)), "9007199254740992");
}

TEST(JsonWriterNumber, NonFiniteNumbersAreNull) {
  EXPECT_EQ(json(var(std::nan(""))), "null");
  EXPECT_EQ(json(var(std::numeric_limits<double>::infinity())), "null");
  EXPECT_EQ(json(var(-std::numeric_limits<double>::infinity())), "null");
  EXPECT_EQ(json(array_of({var(std::nan("")), var(1)})), "[ null,1 ]");
}

TEST(JsonWriterScalar, NullAndBooleans) {
  EXPECT_EQ(json(var()), "null");
  EXPECT_EQ(json(var(true)), "true");
  EXPECT_EQ(json(var(false)), "false");
}

TEST(JsonWriterScalar, UnknownTagWritesNothing) {
  var odd;
  odd.type = 6;
  EXPECT_EQ(json(odd), "");
  odd.type = var::null_t;
}

TEST(JsonWriterString, NamedEscapes) {
  EXPECT_EQ(json_string("\t\"\x1f"), "\"\\t\\\"\\u001f\"");
  EXPECT_EQ(json_string("\\"), "\"\\\\\"");
  EXPECT_EQ(json_string("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(json_string(std::string("a\0b", 3)), "\"a\\0b\"");
  EXPECT_EQ(json_string(std::string(1, '\0')), "\"\\0\"");
  EXPECT_EQ(json_string(""), "\"\"");
}

TEST(JsonWriterString, PrintableAsciiAsIs) {
  std::string printable;
  for (int b = 32; b <= 126; b++) {
    if (b != '"' && b != '\\') printable += char(b);
  }
  EXPECT_EQ(json_string(printable), "\"" + printable + "\"");
  EXPECT_EQ(json_string("a/b"), "\"a/b\"") << "the slash is not escaped";
}

TEST(JsonWriterString, OtherControlBytesAsLowerCaseHex) {
  EXPECT_EQ(json_string("\x01"), "\"\\u0001\"");
  EXPECT_EQ(json_string("\x07"), "\"\\u0007\"");
  EXPECT_EQ(json_string("\x0b"), "\"\\u000b\"");
  EXPECT_EQ(json_string("\x0e"), "\"\\u000e\"");
  EXPECT_EQ(json_string("\x1b"), "\"\\u001b\"");
  EXPECT_EQ(json_string("\x7f"), "\"\\u007f\"");
}

TEST(JsonWriterString, Utf8BecomesUEscapes) {
  EXPECT_EQ(json_string("\xc3\xa9"), "\"\\u00e9\"");
  EXPECT_EQ(json_string("\xc2\x80"), "\"\\u0080\"");
  EXPECT_EQ(json_string("\xdf\xbf"), "\"\\u07ff\"");
  EXPECT_EQ(json_string("\xe0\xa0\x80"), "\"\\u0800\"");
  EXPECT_EQ(json_string("\xe2\x82\xac"), "\"\\u20ac\"");
  EXPECT_EQ(json_string("\xef\xbf\xbf"), "\"\\uffff\"");
  EXPECT_EQ(json_string("caf\xc3\xa9!"), "\"caf\\u00e9!\"");
}

TEST(JsonWriterString, AstralCharactersBecomeSurrogatePairs) {
  EXPECT_EQ(json_string("\xf0\x9f\x98\x80"), "\"\\ud83d\\ude00\"");
  EXPECT_EQ(json_string("\xf0\x90\x80\x80"), "\"\\ud800\\udc00\"");
  EXPECT_EQ(json_string("\xf4\x8f\xbf\xbf"), "\"\\udbff\\udfff\"");
  EXPECT_EQ(json_string("a\xf0\x9f\x98\x80z"), "\"a\\ud83d\\ude00z\"");
}

TEST(JsonWriterString, InvalidUtf8ConsumesOneByteAtATime) {
  EXPECT_EQ(json_string("\xff"), "\"\\uffff\"");
  EXPECT_EQ(json_string("\xfe"), "\"\\uffff\"");
  EXPECT_EQ(json_string("\x80z"), "\"\\uffffz\"") << "a lone continuation byte";
  // Overlong forms.
  EXPECT_EQ(json_string("\xc0\x80"), "\"\\uffff\\uffff\"");
  EXPECT_EQ(json_string("\xc1\xbf"), "\"\\uffff\\uffff\"");
  EXPECT_EQ(json_string("\xe0\x80\x80"), "\"\\uffff\\uffff\\uffff\"");
  EXPECT_EQ(json_string("\xf0\x80\x80\x80"), "\"\\uffff\\uffff\\uffff\\uffff\"");
  // A surrogate encoded in UTF-8.
  EXPECT_EQ(json_string("\xed\xa0\x80"), "\"\\uffff\\uffff\\uffff\"");
  EXPECT_EQ(json_string("\xed\x9f\xbf"), "\"\\ud7ff\"");
  // Above U+10FFFF.
  EXPECT_EQ(json_string("\xf4\x90\x80\x80"), "\"\\uffff\\uffff\\uffff\\uffff\"");
  EXPECT_EQ(json_string("\xf8\x88\x80\x80\x80"), "\"\\uffff\\uffff\\uffff\\uffff\\uffff\"");
}

TEST(JsonWriterString, TruncatedSequences) {
  EXPECT_EQ(json_string("\xe2\x82"), "\"\\uffff\\uffff\"") << "cut off at the end";
  EXPECT_EQ(json_string("\xf0\x9f\x98"), "\"\\uffff\\uffff\\uffff\"");
  EXPECT_EQ(json_string("\xc3"), "\"\\uffff\"");
  EXPECT_EQ(json_string("\xc3z"), "\"\\uffffz\"");
  EXPECT_EQ(json_string(std::string("\xc3\0\xa9", 3)), "\"\\uffff\\0\\uffff\"")
      << "a NUL ends a sequence and is written itself";
  EXPECT_EQ(json_string("\xe2\x82\xe2\x82\xac"), "\"\\uffff\\uffff\\u20ac\"")
      << "decoding resumes right after the bad lead byte";
}

TEST(JsonWriterContainer, CompactLayout) {
  EXPECT_EQ(json(var::array()), "[]");
  EXPECT_EQ(json(var::object()), "{}");
  EXPECT_EQ(json(array_of({var(1), var(2)})), "[ 1,2 ]");
  EXPECT_EQ(json(array_of({var(1), var(2), var(3)})), "[ 1,2,3 ]");
  var o = var::object();
  o.set("a", var(1));
  o.set("b", array_of({var(1), var(2)}));
  EXPECT_EQ(json(o), "{\"a\":1,\"b\":[ 1,2 ]}");
  EXPECT_EQ(json(array_of({var::array(), var::object(), var("s"), var()})),
            "[ [],{},\"s\",null ]");
}

TEST(JsonWriterContainer, InitTemplate) {
  var o = var::object();
  o.set("kuvet_url", var(""));
  o.set("aws_id", var(""));
  o.set("aws_key", var(""));
  EXPECT_EQ(json(o), "{\"kuvet_url\":\"\",\"aws_id\":\"\",\"aws_key\":\"\"}");
}

TEST(JsonWriterContainer, MembersInInsertionOrderWithEscapedKeys) {
  var o = var::object();
  o.set("b", var(1));
  o.set("a", var(2));
  o.set("q\"\xc3\xa9", var(3));
  o.set(std::string("n\0", 2), var(4));
  EXPECT_EQ(json(o), "{\"b\":1,\"a\":2,\"q\\\"\\u00e9\":3,\"n\\0\":4}");
  o.set("b", var(5));
  o.unset("a");
  o.set("a", var(6));
  EXPECT_EQ(json(o), "{\"b\":5,\"q\\\"\\u00e9\":3,\"n\\0\":4,\"a\":6}");
}

TEST(JsonWriterContainer, SharedValueIsWrittenEachTime) {
  var shared = array_of({var(1)});
  var o = var::object();
  o.set("x", shared);
  o.set("y", shared);
  var outer = array_of({shared, o, shared});
  EXPECT_EQ(json(outer), "[ [ 1 ],{\"x\":[ 1 ],\"y\":[ 1 ]},[ 1 ] ]");
}

TEST(JsonWriterCycle, ArrayHoldingOnlyItself) {
  var a = var::array();
  a.push(a);
  EXPECT_EQ(json(a), "[ ERROR_CYCLE ]");
  EXPECT_EQ(a.str(), "[ ERROR_CYCLE ]");
  a.pop();  // reference counting cannot free a cycle: break it
}

TEST(JsonWriterCycle, CycleThroughSeveralContainers) {
  var a = var::array();
  var o = var::object();
  a.push(var(1));
  a.push(o);
  o.set("back", a);
  o.set("n", var(2));
  EXPECT_EQ(json(a), "[ 1,{\"back\":ERROR_CYCLE,\"n\":2} ]");
  EXPECT_EQ(json(o), "{\"back\":[ 1,ERROR_CYCLE ],\"n\":2}");
  o.unset("back");
}

TEST(JsonWriterCycle, VisitedListIsLeftAsFound) {
  var a = array_of({array_of({var(1)}), var::object()});
  base::arraylist<var::var_data*> visited;
  var other = var::array();
  visited.add(other.data);
  EXPECT_EQ(a.to_json_helper(visited, false), "[ [ 1 ],{} ]");
  EXPECT_EQ(visited.count, 1u);
  EXPECT_EQ(visited.items[0], other.data);
  // A container already listed is a cycle from the writer's point of view.
  EXPECT_EQ(other.to_json_helper(visited, false), "ERROR_CYCLE");
}

TEST(JsonWriterIndented, ObjectsOnLinesArraysInline) {
  var o = var::object();
  o.set("a", var(1));
  o.set("b", array_of({var(1), var(2)}));
  EXPECT_EQ(json(o, true), "{\n  \"a\" : 1,\n  \"b\" : [ 1, 2 ]\n}");
}

TEST(JsonWriterIndented, NestedObjectStartsOnItsOwnLine) {
  var inner = var::object();
  inner.set("x", var(1));
  var o = var::object();
  o.set("o", inner);
  o.set("e", var::object());
  EXPECT_EQ(json(o, true), "{\n  \"o\" : \n  {\n    \"x\" : 1\n  },\n  \"e\" : {}\n}");
  EXPECT_EQ(json(array_of({inner, var(2)}), true), "[ \n  {\n    \"x\" : 1\n  }, 2 ]");
}

TEST(JsonWriterIndented, ArraysOfArraysOnePerLine) {
  var a = array_of({array_of({var(1), var(2)}), array_of({var(3)})});
  EXPECT_EQ(json(a, true), "[\n  [ 1, 2 ],\n  [ 3 ]\n]");
  var nested = array_of({array_of({array_of({var(1)})})});
  EXPECT_EQ(json(nested, true), "[\n  [\n    [ 1 ]\n  ]\n]");
  EXPECT_EQ(json(array_of({var::array()}), true), "[\n  []\n]");
  EXPECT_EQ(json(a, false), "[ [ 1,2 ],[ 3 ] ]");
}

}  // namespace
