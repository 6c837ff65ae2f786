#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "os/path.h"
#include "temp_folder.h"

namespace {

TEST(Normalize, CollapsesSeparators) {
  EXPECT_EQ(os::normalize("a//b"), "a/b");
  EXPECT_EQ(os::normalize("a////b"), "a/b");
  EXPECT_EQ(os::normalize("//"), "/");
  EXPECT_EQ(os::normalize("/"), "/");
  EXPECT_EQ(os::normalize(""), "");
}

TEST(Normalize, BackslashIsASeparator) {
  EXPECT_EQ(os::normalize("a\\b"), "a/b");
  EXPECT_EQ(os::normalize("a\\\\b"), "a/b");
  EXPECT_EQ(os::normalize("a/\\b"), "a/b");
  EXPECT_EQ(os::normalize("\\"), "/");
}

TEST(Normalize, DropsDotSegmentsAfterASeparator) {
  EXPECT_EQ(os::normalize("a/./b"), "a/b");
  EXPECT_EQ(os::normalize("a/././b"), "a/b");
  EXPECT_EQ(os::normalize("a/.//b"), "a/b");
  EXPECT_EQ(os::normalize("/./x"), "/x");
  EXPECT_EQ(os::normalize("./a"), "./a") << "no separator before a leading dot";
  EXPECT_EQ(os::normalize("a/."), "a/.") << "a final dot is not followed by a separator";
  EXPECT_EQ(os::normalize("a/.hidden"), "a/.hidden");
  EXPECT_EQ(os::normalize("a/../b"), "a/../b") << "parent segments are left alone";
}

// Found by fuzzing: a "." between "/" and a backslash stayed, and came out as
// "/./", which a second pass then dropped.
TEST(Normalize, DotBeforeABackslashIsADotSegment) {
  EXPECT_EQ(os::normalize("x/.\\y"), "x/y");
  EXPECT_EQ(os::normalize("a\\.\\b"), "a/b");
  EXPECT_EQ(os::normalize("a/.\\"), "a");
  for (const char* path : {"x/.\\y", "a\\.\\.\\b", "./.\\a\\", "a/.\\/.\\"}) {
    EXPECT_EQ(os::normalize(os::normalize(path)), os::normalize(path)) << path;
  }
}

TEST(Normalize, DropsOneTrailingSeparator) {
  EXPECT_EQ(os::normalize("x/"), "x");
  EXPECT_EQ(os::normalize("x//"), "x");
  EXPECT_EQ(os::normalize("a/b/"), "a/b");
  EXPECT_EQ(os::normalize("./"), ".");
  EXPECT_EQ(os::normalize("x\\"), "x");
}

// Each test works in a fresh temporary folder, which is also the current
// folder while it runs (relative paths are part of what is tested).
class PathTest : public temp_folder_test {
 protected:
  static bool is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  static int entries(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") n++;
    }
    closedir(d);
    return n;
  }

  static void write(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
};

TEST_F(PathTest, MkdirCreatesEveryAncestor) {
  os::mkdir("a/b/c");
  EXPECT_TRUE(is_directory("a/b/c"));
  EXPECT_EQ(entries("."), 1);
  EXPECT_EQ(entries("a"), 1);
  EXPECT_EQ(entries("a/b"), 1);
}

TEST_F(PathTest, MkdirOfAFolderKeyCreatesNothingMore) {
  os::mkdir("a/b/");
  EXPECT_TRUE(is_directory("a/b"));
  EXPECT_EQ(entries("."), 1);
  EXPECT_EQ(entries("a"), 1);
  EXPECT_EQ(entries("a/b"), 0);
}

TEST_F(PathTest, MkdirNormalisesFirst) {
  os::mkdir("x//y/./z");
  os::mkdir("p\\q");
  EXPECT_TRUE(is_directory("x/y/z"));
  EXPECT_TRUE(is_directory("p/q"));
  EXPECT_EQ(entries("."), 2);
  EXPECT_EQ(entries("x/y"), 1);
}

TEST_F(PathTest, MkdirOfAnAbsolutePath) {
  os::mkdir(root + "/m/n");
  EXPECT_TRUE(is_directory(root + "/m/n"));
}

TEST_F(PathTest, MkdirPassesOverWhatExistsOrFails) {
  os::mkdir("a/b");
  os::mkdir("a/b");
  os::mkdir("a/b/c");
  EXPECT_TRUE(is_directory("a/b/c"));
  write("file");
  os::mkdir("file/sub");
  EXPECT_FALSE(is_directory("file/sub"));
  EXPECT_EQ(entries("."), 2);
}

TEST_F(PathTest, MkdirRefusesAPathWithANulByte) {
  os::mkdir(std::string("n\0m", 3));
  EXPECT_EQ(entries("."), 0) << "must not create the shorter path \"n\"";
}

TEST_F(PathTest, TouchSetsTheModificationTime) {
  write("f");
  time_t before = time(nullptr);
  ASSERT_TRUE(os::touch("f", 1000000000.7));
  struct stat st;
  ASSERT_EQ(stat("f", &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000) << "whole seconds";
  EXPECT_GE(st.st_atime, before) << "access time is now";

  ASSERT_TRUE(os::touch(".//f", 5));
  ASSERT_EQ(stat("f", &st), 0);
  EXPECT_EQ(st.st_mtime, 5);
}

TEST_F(PathTest, TouchWorksOnFolders) {
  os::mkdir("d");
  ASSERT_TRUE(os::touch("d/", 1234567890));
  struct stat st;
  ASSERT_EQ(stat("d", &st), 0);
  EXPECT_EQ(st.st_mtime, 1234567890);
}

TEST_F(PathTest, TouchFails) {
  EXPECT_FALSE(os::touch("missing", 1000));
  EXPECT_FALSE(os::touch("missing/f", 1000));
  EXPECT_EQ(entries("."), 0) << "nothing is created";
  write("f");
  EXPECT_FALSE(os::touch(std::string("f\0x", 3), 1000));
  EXPECT_FALSE(os::touch("f", NAN));
  EXPECT_FALSE(os::touch("f", 1e300)) << "beyond the platform's time type";
}

}  // namespace
