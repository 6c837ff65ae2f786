// JSON: the lenient reader of the configuration (json::parse) with its
// messages, the escapes it decodes, the writer, the strict pull reader of
// the manifest and the record (json::reader), and the value and containers
// beneath them where a fault would lose or corrupt data.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "base/arraylist.h"
#include "base/hashmap.h"
#include "base/unescape.h"
#include "json/json.h"
#include "json/json_reader.h"

namespace {

std::string write(const var& value) {
  base::arraylist<var::var_data*> visited;
  return value.to_json_helper(visited, false);
}

// The compact text of what `text` parses to, or "! " and the message.
std::string parsed(const std::string& text) {
  std::string error;
  var value = json::parse(text, &error);
  var plain = json::parse(text);  // the message in place of the value
  EXPECT_EQ(error.empty() ? write(plain) : plain.str(), error.empty() ? write(value) : error);
  return error.empty() ? write(value) : "! " + error;
}

std::string repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; i++) text += piece;
  return text;
}

TEST(Json, ParseAndMessages) {
  const std::string no_value = "! Did not parse to a single JSON value.", unexpected = "! Unexpected character ";
  const std::string incomplete = "! Incomplete array or object value.", nested = "! Improperly nested ";
  // Objects that take the value before them nest without two containers open
  // at once: the 1000th of them would make 1001 levels.
  const std::string wrapping = repeat("1,", 2000) + "[]" + repeat(",{\"x\",\"y\",\"z\":1}", 2000);
  // A repeated key keeps its first place and its last value; members at the top closed by a
  // brace make an object; strings hold any byte.
  const std::pair<std::string, std::string> rows[] = {
      {"007", "7"}, {"-", "0"}, {"-.5", "-0.5"}, {" 12.5e-1\n", "1.25"}, {"2E+2", "200"}, {"1e400", "null"},
      {" false ", "false"}, {"[ ]", "[]"}, {"{ }", "{}"}, {"[1, [2, 3], {\"k\": null}]", "[ 1,[ 2,3 ],{\"k\":null} ]"},
      {"{\"b\": [true], \"a\" : {\"c\":\"d\"}}\r\n", "{\"b\":[ true ],\"a\":{\"c\":\"d\"}}"},
      {"{\"a\":1,\"a\":2,\"b\":3}", "{\"a\":2,\"b\":3}"}, {"\"a\":1, \"b\":[2]}", "{\"a\":1,\"b\":[ 2 ]}"},
      {"{\"a\":1,2,true}", "{\"a\":1,\"2\":true}"}, {"{\"a\":1,null,false}", "{\"a\":1,\"null\":false}"},
      {"{\"a\\u0062\":\"\\u00e9\\ud83d\\ude00\\t\\\"\\\\\"}", "{\"ab\":\"\\u00e9\\ud83d\\ude00\\t\\\"\\\\\"}"},
      {std::string("\"a\nb\0\xc3\xa9\xff\x01\"", 10), "\"a\\nb\\0\\u00e9\\uffff\\u0001\""},
      {repeat("[", 1000) + "1" + repeat("]", 1000), repeat("[ ", 1000) + "1" + repeat(" ]", 1000)}, {"", no_value},
      {" \t\r\n ", no_value}, {"{\"a\"}", no_value}, {"[1,\"a\":2,3]", no_value}, {"[", incomplete},
      {"\"a\":1", incomplete}, {"{\"a\":[1,2]", incomplete}, {"tru", unexpected + "' ' at line 1 column 4."},
      {"[1,]", unexpected + "']' at line 1 column 4."}, {"1 2", unexpected + "'2' at line 1 column 3."},
      {"[1,\n  ]", unexpected + "']' at line 2 column 3."}, {"nul\n", unexpected + "'\n' at line 2 column 0."},
      {"1.e5", unexpected + "'e' at line 1 column 3."}, {"{1:2}", unexpected + "'1' at line 1 column 2."},
      {"\xff", unexpected + "'\xff' at line 1 column 1."},
      {"1]", "! Character ']' has no matching opening square bracket at line 1 column 2."},
      {"{}\n}", "! Character '}' has no matching opening brace at line 2 column 1."},
      {"[1}", nested + "array at '}' at line 1 column 3."}, {"1,{}]", nested + "object at ']' at line 1 column 5."},
      {"{\"a\":\"b\":1}", "! Character ':' not inside object at line 1 column 9."},
      {"{\"a\",\"b\",\"c\":1}", "! Not enough key-value pairs to complete object at '}' at line 1 column 15."},
      {"[1,{\"a\",2,3}]", "! Not enough values to complete array at ']' at line 1 column 13."},
      // A container as a key would be escaped once more at every level.
      {"{\"a\":1,{\"x\":1},2}", "! Array or object as a key at '}' at line 1 column 17."},
      {std::string(1000000, '['), "! Nesting deeper than 1000 levels at '[' at line 1 column 1001."},
      {repeat("{\"a\":", 1000000), "! Nesting deeper than 1000 levels at '{' at line 1 column 5001."},
      {wrapping, "! Nesting deeper than 1000 levels at '}' at line 1 column " + std::to_string(4002 + 16 * 1000) + "."},
  };
  for (const auto& row : rows) EXPECT_EQ(parsed(row.first), row.second) << row.first.substr(0, 80);
}

TEST(Json, Unescape) {
  const std::pair<std::string, std::string> rows[] = {
      {"\\\"\\'\\/\\\\", "\"'/\\"}, {"a\\0b", std::string("a\0b", 3)}, {"\\b\\f\\n\\r\\t", "\b\f\n\r\t"},
      {"\\q\\a", "\\q\\a"}, {"\\x41\\x7a\\xfF", "Az\xff"}, {"\\u0041\\u00E9\\u20ac", "A\xc3\xa9\xe2\x82\xac"},
      {"a\\u0000b", "ab"}, {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"}, {"\\udbff\\udfff", "\xf4\x8f\xbf\xbf"},
      {"\\ud83dA", "A"}, {"\\ude00", ""}, {"ab\\", "ab\\"}, {"\\x4", "\\x4"}, {"\\u123", "\\u123"},
  };
  for (const auto& row : rows) EXPECT_EQ(base::unescape(row.first), row.second) << row.first;
}

TEST(Json, Writer) {
  const std::pair<var, const char*> rows[] = {
      // Numbers as base::num writes them, but no infinity or NaN: JSON has none.
      {var(-42), "-42"}, {var(std::nan("")), "null"}, {var(HUGE_VAL), "null"}, {var(), "null"}, {var(true), "true"},
      {var("\t\"\\\b\f\n\r\x01\x1f\x7f"), "\"\\t\\\"\\\\\\b\\f\\n\\r\\u0001\\u001f\\u007f\""},
      {var(std::string("a\0b", 3)), "\"a\\0b\""}, {var(" !#/09:@AZ[]`az{}~"), "\" !#/09:@AZ[]`az{}~\""},
      {var("\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"), "\"\\u0080\\u07ff\\u0800\\uffff\""},
      {var("\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"), "\"\\ud800\\udc00\\udbff\\udfff\""},
      // Not UTF-8: each byte of a bad sequence is one \uffff.
      {var("\xff\x80z\xc0\x80\xed\xa0\x80"), "\"\\uffff\\uffffz\\uffff\\uffff\\uffff\\uffff\\uffff\""},
      {var(std::string("\xc3\0\xa9", 3)), "\"\\uffff\\0\\uffff\""},
      {var("\xe2\x82\xe2\x82\xac"), "\"\\uffff\\uffff\\u20ac\""},
      {json::parse("[[],{},\"s\",null,[1,2]]"), "[ [],{},\"s\",null,[ 1,2 ] ]"},
  };
  for (const auto& row : rows) EXPECT_EQ(write(row.first), row.second);

  var value = var::object();
  value.set("text", var(std::string("q\"b\\s/\n\t\x01\x7f") + '\0' + "\xc3\xa9 \xf0\x9f\x98\x80"));
  value.set("list", json::parse("[1, 2.5, -3, true, false, null, [], {}]"));
  value.set(std::string("key \"with\" escapes\n\0", 20), var(""));
  value.set("", var(1e21));
  var back = json::parse(value.str());
  EXPECT_EQ(back.cmp(value), 0) << value.str();
  EXPECT_EQ(back.str(), value.str());
}

// Tokens of json::reader as text: "{ k:name s:text n:12=12 b:true null }
// $" ($ for the end, "! why" for an error; n:...=N when it is an integer).
std::string tokens(json::reader& in) {
  const char* marks[] = {"{", "}", "[", "]", "k:", "s:", "n:", "b:", "null", "$"};
  std::string out;
  for (int i = 0; i < 100000; i++, out += " ") {
    json::reader::token t = in.next();
    if (t == json::reader::error) return out + "! " + in.problem() + (in.next() == t ? "" : " (again?)");
    out += marks[t];
    if (t >= json::reader::key && t <= json::reader::boolean) out += in.text();
    int64_t n;
    if (in.integer(&n)) out += "=" + std::to_string(n);
    if (t == json::reader::end) return out;
  }
  return out;
}

TEST(Json, StrictReader) {
  const std::string bad = "! bad string at byte ", odd = "! unexpected character at byte ";
  const std::pair<std::string, std::string> rows[] = {
      {" {\"a\":[true,null,\"x\"],\"b\":{},\"c\":-12.5e+3}\n", "{ k:a [ b:true null s:x ] k:b { } k:c n:-12.5e+3 } $"},
      {"[0,-0,1.0,1e2,9223372036854775807,9223372036854775808,-9223372036854775807]",
       "[ n:0=0 n:-0=0 n:1.0 n:1e2 n:9223372036854775807=9223372036854775807 n:9223372036854775808 "
       "n:-9223372036854775807=-9223372036854775807 ] $"},
      {"\"\\u00e9\\u07ff\\u0800\\ud83d\\ude00\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000\"",
       "s:\xc3\xa9\xdf\xbf\xe0\xa0\x80\xf0\x9f\x98\x80\"\\/\b\f\n\r\t" + std::string(1, '\0') + " $"},
      {"", "! unexpected end at byte 0"}, {"[1", "[ n:1=1 ! unexpected end at byte 2"}, {"-", odd + "1"},
      {"01", "n:0=0 ! text after the end at byte 1"}, {"tru", "! bad literal at byte 3"}, {"1.", odd + "2"},
      {"[1 2]", "[ n:1=1 ! expected \",\" or the end of the container at byte 3"}, {"1e+", odd + "3"},
      {"{\"a\":1,}", "{ k:a n:1=1 ! expected a member name at byte 7"}, {"{\"a\" 1}", "{ ! expected \":\" at byte 6"},
      {"nul1", "! bad literal at byte 4"}, {"[1,]", "[ n:1=1 " + odd + "3"}, {"+1", odd + "0"},
      {"\"a\x1f\"", bad + "3"}, {"\"\\x\"", bad + "3"}, {"\"\\u12g4\"", bad + "6"}, {"\"\\udc00\"", bad + "7"},
      {"\"\\ud800\\u0041\"", bad + "13"}, {"\"\\ud800x\"", bad + "8"}, {"\"abc", bad + "4"},
      {repeat("[", 65), repeat("[ ", 64) + "! nested too deep at byte 64"},
  };
  for (const auto& [text, expected] : rows) {
    json::reader in(text);
    EXPECT_EQ(tokens(in), expected) << text;
  }
  // Streamed through its 64 KiB buffer, a document reads as it does from
  // memory wherever a string, an escape, a number or a word meets the edge.
  for (int shift = 0; shift < 48; shift++) {
    std::string text = "[\"" + std::string(65500 + shift, 'x') +
                       "\",-123456789012,\"\\u00e9\\ud83d\\ude00\",true,null,{\"key\":1.5e3}] x";
    FILE* file = fmemopen(&text[0], text.size(), "r");
    json::reader whole(text), streamed(file);
    EXPECT_EQ(tokens(streamed), tokens(whole)) << shift;
    fclose(file);
  }
}

uint32_t same_hash(const char*, unsigned) { return 0; }

TEST(Json, ValuesAndContainers) {
  // Copies share containers; a push may grow the array its argument lives in.
  var a = var::array(), shared = a;
  a.push(var("e0"));
  a.push(var("e1"));
  a.push(*a.array_ref().items[0]);
  EXPECT_EQ(shared.str(), "[ \"e0\",\"e1\",\"e0\" ]");
  const var& alias = shared;
  shared = alias;
  var outer = json::parse("[[1,2]]");
  outer = *outer.array_ref().items[0];  // a value only its own record keeps alive
  EXPECT_EQ(outer.str(), "[ 1,2 ]");

  // Positions count from either end; anything outside is null.
  var list = json::parse("[1,2,3]");
  const std::pair<int, const char*> positions[] = {{0, "1"}, {2, "3"}, {-1, "3"}, {-3, "1"}, {3, "null"},
                                                   {-4, "null"}, {INT_MIN, "null"}, {INT_MAX, "null"}};
  for (const auto& [at, value] : positions) EXPECT_EQ(list.get(at).str(), value) << at;
  EXPECT_EQ(json::parse("{\"a\":1,\"b\":2}").get(-1).str() + var("abc").get(-1).str(), "2c");
  EXPECT_TRUE(var(5).get(0).is_null() && var::object().get(0).is_null() && list["0"].is_null());
  EXPECT_EQ(var("a..b").split(".").str(), "[ \"a\",\"\",\"b\" ]");
  EXPECT_NE(json::parse("{\"a\":1,\"b\":[1]}").cmp(json::parse("{\"b\":[1],\"a\":1}")), 0);

  // Whole numbers truncate toward zero and saturate.
  const std::pair<var, int> ints[] = {{var(2.9), 2}, {var(-2.5), -2}, {var(1e10), INT_MAX}, {var(-1e10), INT_MIN},
                                      {var(std::nan("")), 0}, {var(" -3.7e1x"), -37}, {var("1e100"), INT_MAX},
                                      {var("abc"), 0}, {var(true), 1}, {var(), 0}, {list, 0}};
  for (const auto& [value, whole] : ints) EXPECT_EQ(int(value), whole) << write(value);
  int values[6];
  base::hashmap<int*> chain(same_hash);
  EXPECT_EQ(chain.get("a"), nullptr);  // a map never used holds no slots
  for (int i = 0; i < 6; i++) chain.set(std::to_string(i), &values[i]);
  EXPECT_EQ(chain.set("2", &values[0]), &values[2]);
  EXPECT_EQ(chain.unset("0"), &values[0]);
  EXPECT_EQ(chain.unset("3"), &values[3]);
  EXPECT_EQ(chain.unset("3"), nullptr);
  // Removing from the middle of a probe chain hides none of the rest.
  std::string order;
  for (uint32_t i = 0; i < chain.count; i++) order += *chain.keys[i] + (chain.get(*chain.keys[i]) ? "" : "?");
  EXPECT_EQ(order, "1245");
  EXPECT_TRUE(chain.get("2") == &values[0] && chain.get("5") == &values[5] && chain.get("0") == nullptr);

  // Keys that end alike once shared a hash (a NUL, or the factors of two of
  // enough "0" or "@" bytes, wiped out what came before): a manifest of such
  // keys took quadratic time.
  for (const std::string& ending : {std::string("\0", 1), std::string("@@@@@@"), std::string("/00000000.png")}) {
    base::hashmap<int*> map;
    auto key = [&ending](int i) { return "photos/" + std::to_string(i) + ending; };
    for (int i = 0; i < 2000; i++) map.set(key(i), &values[i % 6]);
    for (int i = 0; i < 2000; i += 2) map.unset(key(i));
    EXPECT_EQ(map.count, 1000u);
    EXPECT_LT(map.collisions, 20000u) << "keys ending in " << ending << " pile up";
    for (int i = 0; i < 2000; i++) ASSERT_EQ(map.get(key(i)), i % 2 ? &values[i % 6] : nullptr) << i;
  }
}

}  // namespace
