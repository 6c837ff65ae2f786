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

TEST(KeysKinds, ConflictCopiesAndWhatIsInsideThem) {
  for (const char* key : {"a.txt.CONFLICT", "a.txt.2.CONFLICT", "docs/x.CONFLICT", ".CONFLICT",
                          "d.CONFLICT/x", "a/d.CONFLICT/b/c"}) {
    EXPECT_TRUE(keys::is_conflict_copy(key)) << key;
  }
  for (const char* key : {"CONFLICT", "a.txt.conflict", "a.CONFLICT.txt", "a.CONFLICTx/b", ""}) {
    EXPECT_FALSE(keys::is_conflict_copy(key)) << key;
  }
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

TEST_F(ConflictNameTest, NamesTooLongAreShortenedKeepingTheExtension) {
  std::string key = std::string(250, 'x') + ".txt";
  std::string name = keys::free_conflict_name(key);
  EXPECT_LE(name.size(), 255u);
  EXPECT_EQ(name.substr(name.size() - 13), ".txt.CONFLICT");
  touch(name);
  std::string second = keys::free_conflict_name(key);
  EXPECT_NE(second, name);
  EXPECT_LE(second.size(), 255u);
  EXPECT_EQ(second.substr(second.size() - 15), ".txt.2.CONFLICT");
}

TEST_F(ConflictNameTest, KeysInSubfolders) {
  ASSERT_EQ(mkdir("docs", 0755), 0);
  touch("docs/a.txt.CONFLICT");
  EXPECT_EQ(keys::free_conflict_name("docs/a.txt"), "docs/a.txt.2.CONFLICT");
  // The same name at the top level does not count for the subfolder.
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.CONFLICT");
}

}  // namespace
