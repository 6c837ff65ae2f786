#include "kuvet/keys.h"

#include <gtest/gtest.h>

#include "temp_folder.h"
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Keys arrive from the store's .manifest: every one that could step outside
// the folder, hit an odd file system name or a hidden file must be refused.
TEST(KeysSafe, RefusesPathsOutsideOrAroundTheFolder) {
  for (const char* key : {"/etc/passwd", "/", "//", "..", "../x", "a/../../x", "a/..", "../",
                          ".", "./x", "a/./b", "a/.", "./"}) {
    EXPECT_FALSE(keys::is_safe(key)) << key;
  }
}

TEST(KeysSafe, RefusesEmptyComponents) {
  for (const char* key : {"", "a//b", "//a", "a//", "docs//", "a/b//", "a///"}) {
    EXPECT_FALSE(keys::is_safe(key)) << key;
  }
}

TEST(KeysSafe, RefusesBackslashAndNul) {
  EXPECT_FALSE(keys::is_safe("a\\b"));
  EXPECT_FALSE(keys::is_safe("..\\x"));
  EXPECT_FALSE(keys::is_safe("\\"));
  EXPECT_FALSE(keys::is_safe(std::string("a\0b", 3)));
  EXPECT_FALSE(keys::is_safe(std::string("a\0", 2)));
  EXPECT_FALSE(keys::is_safe(std::string("\0", 1)));
  EXPECT_FALSE(keys::is_safe(std::string("dir/\0/x", 7)));
}

TEST(KeysSafe, RefusesInvalidUtf8) {
  for (const char* key : {"\xff", "a\xfe", "caf\xe9",  // Latin-1, not UTF-8
                          "\xc0\xaf",                  // overlong "/"
                          "\xe2\x82",                  // cut short
                          "\xed\xa0\x80",              // a surrogate
                          "\xf4\x90\x80\x80",          // above U+10FFFF
                          "ok/\x80", "\xe2\x82/x"}) {
    EXPECT_FALSE(keys::is_safe(key)) << key;
  }
}

TEST(KeysSafe, RefusesAHiddenLastComponent) {
  for (const char* key : {".hidden", "docs/.hidden", ".kuvet", ".manifest", ".cache/",
                          "a/.git/", ".a.txt.kuvet-part-1-0", ".."}) {
    EXPECT_FALSE(keys::is_safe(key)) << key;
  }
}

TEST(KeysSafe, AcceptsOrdinaryKeys) {
  for (const char* key : {"a", "docs/", "docs/a.txt", ".cache/x", ".git/config", "a/.b/c/",
                          "sub/_revision", "_revision", "x.CONFLICT", "a..b", "...x/y",
                          "caf\xc3\xa9.txt", "\xe6\x97\xa5\xe8\xa8\x98/\xf0\x9f\x93\x9d",
                          "with space", "a-b_c~d"}) {
    EXPECT_TRUE(keys::is_safe(key)) << key;
  }
}

TEST(KeysKinds, FoldersEndInASlash) {
  EXPECT_TRUE(keys::is_folder("docs/"));
  EXPECT_TRUE(keys::is_folder("a/b/"));
  EXPECT_FALSE(keys::is_folder("docs"));
  EXPECT_FALSE(keys::is_folder("docs/a.txt"));
  EXPECT_FALSE(keys::is_folder(""));
}

TEST(KeysKinds, ConflictCopiesEndInDotConflict) {
  EXPECT_TRUE(keys::is_conflict_copy("a.txt.CONFLICT"));
  EXPECT_TRUE(keys::is_conflict_copy("a.txt.2.CONFLICT"));
  EXPECT_TRUE(keys::is_conflict_copy("docs/x.CONFLICT"));
  EXPECT_TRUE(keys::is_conflict_copy(".CONFLICT"));
  EXPECT_FALSE(keys::is_conflict_copy("CONFLICT"));
  EXPECT_FALSE(keys::is_conflict_copy("a.txt.conflict"));
  EXPECT_FALSE(keys::is_conflict_copy("a.CONFLICT.txt"));
  EXPECT_FALSE(keys::is_conflict_copy("a.CONFLICT/"));
  EXPECT_FALSE(keys::is_conflict_copy(""));
}

std::vector<std::string> sorted(std::vector<std::string> list) {
  std::sort(list.begin(), list.end(), keys::walk_order);
  return list;
}

// The walk's sorted names for these keys are "./docs", "./docs-x", "./docs/a":
// '-' (0x2d) sorts before '/' (0x2f), and a folder's own name is a prefix.
TEST(KeysWalkOrder, FolderBeforeItsMembersAndAfterShorterNames) {
  EXPECT_TRUE(keys::walk_order("docs/", "docs/a.txt"));
  EXPECT_FALSE(keys::walk_order("docs/a.txt", "docs/"));
  EXPECT_EQ(sorted({"docs/a", "docs-x", "docs/"}),
            (std::vector<std::string>{"docs/", "docs-x", "docs/a"}));
  EXPECT_EQ(sorted({"docs/a", "docs-x/", "docs/", "docs-x/b"}),
            (std::vector<std::string>{"docs/", "docs-x/", "docs-x/b", "docs/a"}));
  // "a/" compares as "./a", a prefix of "./a.txt"; "./a.txt" precedes "./a/b"
  // because '.' (0x2e) sorts before '/'.
  EXPECT_EQ(sorted({"a.txt", "a/", "a/b"}), (std::vector<std::string>{"a/", "a.txt", "a/b"}));
}

TEST(KeysWalkOrder, LettersFoldedAndAPrefixFirst) {
  EXPECT_TRUE(keys::walk_order("apple", "Banana"));
  EXPECT_TRUE(keys::walk_order("Apple", "banana"));
  EXPECT_FALSE(keys::walk_order("banana", "Apple"));
  // Folded, "_" (0x5f) sorts before letters; unfolded "B" (0x42) would come first.
  EXPECT_TRUE(keys::walk_order("_x", "b"));
  EXPECT_TRUE(keys::walk_order("_x", "B"));
  EXPECT_TRUE(keys::walk_order("ab", "abc"));
  EXPECT_FALSE(keys::walk_order("abc", "ab"));
  EXPECT_TRUE(keys::walk_order("AB", "abc"));
  // Names equal under folding are equivalent: neither comes first.
  EXPECT_FALSE(keys::walk_order("ReadMe", "README"));
  EXPECT_FALSE(keys::walk_order("README", "ReadMe"));
  EXPECT_FALSE(keys::walk_order("a", "a"));
  // Bytes above 0x7f are compared unsigned: UTF-8 names after ASCII.
  EXPECT_TRUE(keys::walk_order("z", "\xc3\xa9"));
  EXPECT_EQ(sorted({"\xc3\xa9", "Zeta", "alpha", "_revision", "Beta/", "beta.txt"}),
            (std::vector<std::string>{"_revision", "alpha", "Beta/", "beta.txt", "Zeta",
                                      "\xc3\xa9"}));
}

class ConflictNameTest : public temp_folder_test {
 protected:
  void touch(const std::string& name) {
    FILE* f = fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
};

TEST_F(ConflictNameTest, FirstFreeNameNeverAnExistingOne) {
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.CONFLICT");
  touch("a.txt.CONFLICT");
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.2.CONFLICT");
  touch("a.txt.2.CONFLICT");
  touch("a.txt.3.CONFLICT");
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.4.CONFLICT");
  // A gap is filled: the first free name, not one past the highest.
  ASSERT_EQ(unlink("a.txt.2.CONFLICT"), 0);
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.2.CONFLICT");
}

TEST_F(ConflictNameTest, AnyEntryTakesTheName) {
  // A folder or a dangling link under the name must not be replaced either.
  ASSERT_EQ(mkdir("b.CONFLICT", 0755), 0);
  ASSERT_EQ(symlink("missing", "b.2.CONFLICT"), 0);
  EXPECT_EQ(keys::free_conflict_name("b"), "b.3.CONFLICT");
}

TEST_F(ConflictNameTest, KeysInSubfolders) {
  ASSERT_EQ(mkdir("docs", 0755), 0);
  touch("docs/a.txt.CONFLICT");
  EXPECT_EQ(keys::free_conflict_name("docs/a.txt"), "docs/a.txt.2.CONFLICT");
  // The same name at the top level does not count for the subfolder.
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.CONFLICT");
}

}  // namespace
