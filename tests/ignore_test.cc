#include "kuvet/ignore.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Ignore, Table) {
  struct {
    const char* patterns;
    std::string key;
    bool is_folder, expected;
  } cases[] = {
      {"", "a", false, false}, {"*.tmp", "d/e/x.tmp", false, true}, {"*.tmp", "x.tmp.txt", false, false},
      {"*.tmp\n!keep.tmp", "d/keep.tmp", false, false}, {"!keep.tmp\n*.tmp", "keep.tmp", false, true},
      {"node_modules/", "a/node_modules/x/y.js", false, true}, {"/build", "build/out.o", false, true},
      {"node_modules/", "node_modules", false, false}, {"doc/*.txt", "doc/a.txt", false, true},
      {"doc/*.txt", "doc/sub/a.txt", false, false}, {"**/logs", "a/b/logs", true, true},
      {"a/**/b", "a/b", false, true}, {"a/**/b", "a/x/y/b", false, true}, {"abc/**", "abc", true, false},
      {"a**b", "axxb", false, true}, {"?.c", "xy.c", false, false}, {"[a-c]x", "bx", false, true},
      {"[!a-c]x", "bx", false, false}, {"[]]x", "]x", false, true}, {"[ab", "[ab", false, true},
      {"build/\n!build/keep.txt", "build/keep.txt", false, true}, {"/*\n!/src", "src/main.cc", false, false},
      {"/*\n!/src", "docs/a.md", false, true}, {"# comment\n\\#x", "#x", false, true},
      {"\\!x", "!x", false, true}, {"x  \r\n", "x", false, true}, {"x\\ ", "x ", false, true},
      {"/", "a", false, false}, {"a*a*a*a*a*a*a*a*a*a*b", std::string(64, 'a'), false, false},
      {"**/**/**/**/**/**/**/**/z", "a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/y", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ignore_rules(c.patterns).ignored(c.key, c.is_folder), c.expected) << c.patterns << ' ' << c.key;
  }
}

}  // namespace
