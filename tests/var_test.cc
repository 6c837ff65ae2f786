#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "var/var.h"

namespace {

var array_of(std::initializer_list<var> items) {
  var a = var::array();
  for (const var& v : items) a.push(v);
  return a;
}

var object_ab() {
  var o = var::object();
  o.set("a", var(1));
  o.set("b", var(2));
  return o;
}

std::string text(const var& v) { return v.str(); }

// ---- Construction, kinds and sharing

TEST(Var, KindsOfConstructedValues) {
  EXPECT_EQ(var().type, 0);
  EXPECT_EQ(var(1.5).type, 1);
  EXPECT_EQ(var(true).type, 2);
  EXPECT_EQ(var("s").type, 3);
  EXPECT_EQ(var::array().type, 4);
  EXPECT_EQ(var::object().type, 5);
  EXPECT_EQ(var(std::string("a\0b", 3)).size(), 3) << "strings keep NUL bytes";
  EXPECT_TRUE(var(static_cast<const char*>(nullptr)).is_string());
}

TEST(Var, CopiesShareContainersWithoutCopyOnWrite) {
  var a = var::array();
  var b;
  b = a;
  a.push(var(1));
  EXPECT_EQ(b.size(), 1);
  EXPECT_EQ(b.data, a.data);
  EXPECT_EQ(a.data->refs, 2u);

  var o = var::object();
  var p(o);
  p.set("k", var("v"));
  EXPECT_EQ(text(o["k"]), "v");
}

TEST(Var, ContainersShareTheirElements) {
  var inner = var::array();
  var outer = var::array();
  outer.push(inner);
  var o = var::object();
  o.set("x", inner);
  inner.push(var(7));
  EXPECT_EQ(text(outer), "[ [ 7 ] ]");
  EXPECT_EQ(text(o), "{\"x\":[ 7 ]}");
  EXPECT_EQ(inner.data->refs, 3u);
}

TEST(Var, AssignmentReleasesAndSurvivesSelfReference) {
  var a = var::array();
  a.push(var("x"));
  a = a;
  EXPECT_EQ(a.size(), 1);
  EXPECT_EQ(a.data->refs, 1u);

  // Assigning a value that only this handle's own record keeps alive.
  var inner = array_of({var(1), var(2)});
  var outer = array_of({inner});
  inner = var();
  outer = *outer.array_ref().items[0];
  EXPECT_EQ(text(outer), "[ 1,2 ]");
  EXPECT_EQ(outer.data->refs, 1u);

  var s("old");
  s = var(3);
  EXPECT_TRUE(s.is_number());
  EXPECT_EQ(int(s), 3);
}

TEST(Var, UnrefLeavesNull) {
  var s("text");
  var t = s;
  s.unref();
  EXPECT_TRUE(s.is_null());
  EXPECT_EQ(s.data, nullptr);
  EXPECT_EQ(t.data->refs, 1u);
  EXPECT_EQ(text(t), "text");
}

// ---- Access

TEST(VarGet, ArrayPositionsCountFromEitherEnd) {
  var a = array_of({var(1), var(2), var(3)});
  EXPECT_EQ(int(a.get(0)), 1);
  EXPECT_EQ(int(a.get(2)), 3);
  EXPECT_EQ(int(a.get(-1)), 3);
  EXPECT_EQ(int(a.get(-3)), 1);
  EXPECT_TRUE(a.get(3).is_null());
  EXPECT_TRUE(a.get(-4).is_null());
  EXPECT_TRUE(a.get(INT_MIN).is_null());
  EXPECT_TRUE(a.get(INT_MAX).is_null());
  EXPECT_TRUE(var::array().get(0).is_null());
  EXPECT_TRUE(var::array().get(-1).is_null());
}

TEST(VarGet, ObjectPositionsFollowInsertionOrder) {
  var o = var::object();
  o.set("z", var("first"));
  o.set("a", var("second"));
  EXPECT_EQ(text(o.get(0)), "first");
  EXPECT_EQ(text(o.get(1)), "second");
  EXPECT_EQ(text(o.get(-1)), "second");
  EXPECT_EQ(text(o.get(-2)), "first");
  EXPECT_TRUE(o.get(2).is_null());
  EXPECT_TRUE(o.get(-3).is_null());
  EXPECT_TRUE(var::object().get(0).is_null());
}

TEST(VarGet, StringPositionsGiveOneByteStrings) {
  var s("abc");
  EXPECT_EQ(text(s.get(0)), "a");
  EXPECT_EQ(text(s.get(-1)), "c");
  EXPECT_TRUE(s.get(3).is_null());
  EXPECT_TRUE(s.get(-4).is_null());
  EXPECT_TRUE(var("").get(0).is_null());
  var with_nul(std::string("a\0", 2));
  EXPECT_EQ(with_nul.get(1).string_ref(), std::string(1, '\0'));
  EXPECT_EQ(var("\xc3\xa9").get(0).string_ref(), "\xc3") << "positions are bytes";
}

TEST(VarGet, ScalarsHaveNoElements) {
  EXPECT_TRUE(var().get(0).is_null());
  EXPECT_TRUE(var(5).get(0).is_null());
  EXPECT_TRUE(var(true).get(0).is_null());
  EXPECT_EQ(var().size(), 0);
  EXPECT_EQ(var(5).size(), 0);
  EXPECT_EQ(var(true).size(), 0);
  EXPECT_EQ(var("héllo").size(), 6);
}

TEST(VarGet, MemberByKey) {
  var o = object_ab();
  EXPECT_EQ(int(o["b"]), 2);
  EXPECT_EQ(int(o[std::string("a")]), 1);
  EXPECT_TRUE(o["c"].is_null());
  EXPECT_TRUE(o["A"].is_null());
  EXPECT_TRUE(o[static_cast<const char*>(nullptr)].is_null());
  EXPECT_TRUE(array_of({var(1)})["0"].is_null());
  EXPECT_TRUE(var("a")["a"].is_null());
  EXPECT_TRUE(o.has("a"));
  EXPECT_FALSE(o.has("c"));
  EXPECT_FALSE(var("a").has("a"));
  // The const char* form ends at the first NUL; the string form does not.
  o.set(std::string("k\0x", 3), var(9));
  EXPECT_TRUE(o["k"].is_null());
  EXPECT_EQ(int(o[std::string("k\0x", 3)]), 9);
}

TEST(VarGet, KeysAreNewStringsInInsertionOrder) {
  var o = var::object();
  o.set("b", var(1));
  o.set("a", var(2));
  var keys = o.keys();
  EXPECT_EQ(text(keys), "[ \"b\",\"a\" ]");
  keys.push(var("c"));
  EXPECT_EQ(o.size(), 2) << "the key list is not the object";
  EXPECT_EQ(text(var::object().keys()), "[]");
  EXPECT_TRUE(var::object().keys().is_array());
  EXPECT_TRUE(var::array().keys().is_null());
  EXPECT_TRUE(var("x").keys().is_null());
}

// ---- Conversions

TEST(VarInt, NumbersTruncateTowardZeroAndSaturate) {
  EXPECT_EQ(int(var(2.9)), 2);
  EXPECT_EQ(int(var(-2.5)), -2);
  EXPECT_EQ(int(var(-0.0)), 0);
  EXPECT_EQ(int(var(2147483647.0)), INT_MAX);
  EXPECT_EQ(int(var(1e10)), INT_MAX);
  EXPECT_EQ(int(var(-2147483648.0)), INT_MIN);
  EXPECT_EQ(int(var(-1e10)), INT_MIN);
  EXPECT_EQ(int(var(std::numeric_limits<double>::infinity())), INT_MAX);
  EXPECT_EQ(int(var(-std::numeric_limits<double>::infinity())), INT_MIN);
  EXPECT_EQ(int(var(std::nan(""))), 0);
}

TEST(VarInt, StringsAreReadWithStrtod) {
  EXPECT_EQ(int(var("12.9")), 12);
  EXPECT_EQ(int(var("abc")), 0);
  EXPECT_EQ(int(var("")), 0);
  EXPECT_EQ(int(var("  -3.7e1xyz")), -37);
  EXPECT_EQ(int(var("0x1A")), 26);
  EXPECT_EQ(int(var("1e100")), INT_MAX);
  EXPECT_EQ(int(var("-1e100")), INT_MIN);
  EXPECT_EQ(int(var("nan")), 0);
}

TEST(VarInt, OtherKinds) {
  EXPECT_EQ(int(var(true)), 1);
  EXPECT_EQ(int(var(false)), 0);
  EXPECT_EQ(int(var()), 0);
  EXPECT_EQ(int(array_of({var(5)})), 0);
  EXPECT_EQ(int(object_ab()), 0);
}

TEST(VarNum, NumericValueOfEachKind) {
  EXPECT_EQ(var(2.5).num(), 2.5);
  EXPECT_EQ(var(true).num(), 1);
  EXPECT_EQ(var(false).num(), 0);
  EXPECT_EQ(var(" 2.5e3").num(), 2500);
  EXPECT_EQ(var("x").num(), 0);
  EXPECT_EQ(var().num(), 0);
  EXPECT_EQ(array_of({var(5)}).num(), 0);
  EXPECT_EQ(object_ab().num(), 0);
}

TEST(VarString, StringsUnquotedOthersAsCompactJson) {
  EXPECT_EQ(text(var("x")), "x");
  EXPECT_EQ(text(var("say \"hi\"\n")), "say \"hi\"\n") << "a string's own text is not escaped";
  EXPECT_EQ(text(var(std::string("a\0b", 3))), std::string("a\0b", 3));
  EXPECT_EQ(text(var(1)), "1");
  EXPECT_EQ(text(var(0.5)), "0.5");
  EXPECT_EQ(text(var()), "null");
  EXPECT_EQ(text(var(true)), "true");
  EXPECT_EQ(text(var(false)), "false");
  EXPECT_EQ(text(var::array()), "[]");
  EXPECT_EQ(text(var::object()), "{}");
  EXPECT_EQ(text(array_of({var("s"), var()})), "[ \"s\",null ]");
  EXPECT_EQ(std::string(object_ab()), "{\"a\":1,\"b\":2}");
}

// ---- Change

TEST(VarChange, PushAndPop) {
  var a = var::array();
  EXPECT_TRUE(a.pop().is_null()) << "pop of an empty array";
  a.push(var(1));
  a.push(var("two"));
  var two = a.pop();
  EXPECT_EQ(text(two), "two");
  EXPECT_EQ(a.size(), 1);
  EXPECT_EQ(a.array_ref().items[1], nullptr);
  EXPECT_EQ(two.data->refs, 1u) << "the element's own handle is released";
  EXPECT_EQ(int(a.pop()), 1);
  EXPECT_TRUE(a.pop().is_null());
  EXPECT_EQ(a.size(), 0);

  var s("abc");
  s.push(var(1));
  EXPECT_TRUE(s.pop().is_null());
  EXPECT_EQ(text(s), "abc");
  var o = var::object();
  o.push(var(1));
  EXPECT_EQ(o.size(), 0);
}

TEST(VarChange, PushOfAnElementOfTheSameArray) {
  var a = var::array();
  for (int i = 0; i < 2; i++) a.push(var("e" + std::to_string(i)));
  // The third push grows the array while its argument lives inside it.
  a.push(*a.array_ref().items[0]);
  EXPECT_EQ(text(a), "[ \"e0\",\"e1\",\"e0\" ]");
}

TEST(VarChange, SetReplacesInPlaceAndReleasesOldValue) {
  var o = var::object();
  var old = var::array();
  o.set("a", old);
  o.set("b", var(2));
  EXPECT_EQ(old.data->refs, 2u);
  o.set("a", var("new"));
  EXPECT_EQ(old.data->refs, 1u);
  EXPECT_EQ(text(o.keys()), "[ \"a\",\"b\" ]");
  EXPECT_EQ(text(o["a"]), "new");
  // Setting a key to the value it already holds.
  o.set("b", o["b"]);
  EXPECT_EQ(int(o["b"]), 2);

  var a = var::array();
  a.set("k", var(1));
  EXPECT_EQ(a.size(), 0);
  EXPECT_TRUE(a.is_array());
}

TEST(VarChange, UnsetRemovesAndReturnsTheValue) {
  var o = object_ab();
  o.set("c", var(3));
  EXPECT_EQ(int(o.unset("a")), 1);
  EXPECT_EQ(text(o), "{\"b\":2,\"c\":3}");
  o.set("a", var(4));
  EXPECT_EQ(text(o), "{\"b\":2,\"c\":3,\"a\":4}") << "a re-set key goes to the end";

  EXPECT_TRUE(o.unset("missing").is_null());
  EXPECT_EQ(o.size(), 3);
  EXPECT_TRUE(var::object().unset("a").is_null());
  var a = array_of({var(1)});
  EXPECT_TRUE(a.unset("0").is_null());
  EXPECT_EQ(a.size(), 1);

  var shared = var::array();
  o.set("s", shared);
  var back = o.unset("s");
  EXPECT_EQ(back.data, shared.data);
  EXPECT_EQ(shared.data->refs, 2u);
}

// ---- Comparison

TEST(VarCmp, KindsOrderBeforeValues) {
  const var ordered[] = {var(), var(100), var(false), var(""), var::array(), var::object()};
  for (int i = 0; i < 6; i++) {
    for (int j = 0; j < 6; j++) {
      int c = ordered[i].cmp(ordered[j]);
      int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ((c > 0) - (c < 0), expected) << i << " against " << j;
    }
  }
  EXPECT_LT(var(1).cmp(var("1")), 0);
}

TEST(VarCmp, Scalars) {
  EXPECT_LT(var(1).cmp(var(2)), 0);
  EXPECT_GT(var(2.5).cmp(var(2)), 0);
  EXPECT_EQ(var(0.0).cmp(var(-0.0)), 0);
  EXPECT_EQ(var(std::nan("")).cmp(var(1)), 0) << "NaN compares equal to everything";
  EXPECT_GT(var(true).cmp(var(false)), 0);
  EXPECT_EQ(var(true).cmp(var(true)), 0);
  EXPECT_EQ(var().cmp(var()), 0);
}

TEST(VarCmp, StringsByBytesThenLength) {
  EXPECT_LT(var("ab").cmp(var("abc")), 0);
  EXPECT_GT(var("abc").cmp(var("ab")), 0);
  EXPECT_LT(var("abc").cmp(var("abd")), 0);
  EXPECT_LT(var("B").cmp(var("a")), 0);
  EXPECT_GT(var("\xff").cmp(var("a")), 0) << "bytes compare unsigned";
  EXPECT_EQ(var("same").cmp(var("same")), 0);
  EXPECT_LT(var(std::string("a\0a", 3)).cmp(var(std::string("a\0b", 3))), 0);
  EXPECT_LT(var("").cmp(var(std::string(1, '\0'))), 0);
}

TEST(VarCmp, ArraysByCountThenElements) {
  EXPECT_LT(array_of({var(9)}).cmp(array_of({var(1), var(1)})), 0);
  EXPECT_LT(array_of({var(1), var(2)}).cmp(array_of({var(1), var(3)})), 0);
  EXPECT_EQ(array_of({var("x"), var::array()}).cmp(array_of({var("x"), var::array()})), 0);
  EXPECT_LT(array_of({var(1)}).cmp(array_of({var("1")})), 0);
}

TEST(VarCmp, ObjectsByCountThenKeysInOrderThenValues) {
  var ab = object_ab();
  var ba = var::object();
  ba.set("b", var(2));
  ba.set("a", var(1));
  EXPECT_LT(ab.cmp(ba), 0) << "same members, different order";
  EXPECT_GT(ba.cmp(ab), 0);
  EXPECT_EQ(ab.cmp(object_ab()), 0);
  var ab3 = object_ab();
  ab3.set("b", var(3));
  EXPECT_LT(ab.cmp(ab3), 0);
  var one = var::object();
  one.set("z", var(0));
  EXPECT_LT(one.cmp(ab), 0);
}

TEST(VarCmp, ValuesThatContainThemselvesCompareWithoutEndlessRecursion) {
  var a = var::array();
  var b = var::array();
  a.push(a);
  b.push(b);
  EXPECT_EQ(a.cmp(b), 0);
  a.push(var(1));
  b.push(var(2));
  EXPECT_LT(a.cmp(b), 0);
  EXPECT_GT(b.cmp(a), 0);

  var o = var::object();
  var p = var::object();
  o.set("self", o);
  p.set("self", p);
  EXPECT_EQ(o.cmp(p), 0);
  // Break the cycles so that the values can be freed.
  a.array_ref().items[0]->unref();
  b.array_ref().items[0]->unref();
  o.unset("self");
  p.unset("self");
}

// ---- Splitting and difference

std::string split_text(const var& v, const std::string& delimiters) {
  var pieces = v.split(delimiters);
  EXPECT_TRUE(pieces.is_array());
  return text(pieces);
}

TEST(VarSplit, KeepsEmptyPieces) {
  EXPECT_EQ(split_text(var("a.b.c"), "."), "[ \"a\",\"b\",\"c\" ]");
  EXPECT_EQ(split_text(var("a..b"), "."), "[ \"a\",\"\",\"b\" ]");
  EXPECT_EQ(split_text(var(""), "."), "[ \"\" ]");
  EXPECT_EQ(split_text(var("."), "."), "[ \"\",\"\" ]");
  EXPECT_EQ(split_text(var("a, b"), ", "), "[ \"a\",\"\",\"b\" ]");
  EXPECT_EQ(split_text(var("abc"), ""), "[ \"abc\" ]");
  EXPECT_EQ(var("a.b").split(".").array_ref().capacity, 2u);
}

TEST(VarSplit, OtherValuesSplitTheirJsonText) {
  EXPECT_EQ(split_text(var(1.5), "."), "[ \"1\",\"5\" ]");
  EXPECT_EQ(split_text(var(), "u"), "[ \"n\",\"ll\" ]");
  EXPECT_EQ(split_text(array_of({var(1), var(2)}), ","), "[ \"[ 1\",\"2 ]\" ]");
}

}  // namespace
