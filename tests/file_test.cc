#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/file.h"

namespace {

// Each test works in a fresh temporary folder, removed afterwards.
class FileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kuvet_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  std::string path(const std::string& name) const { return dir + "/" + name; }

  // Writes a file without going through the code under test.
  void write(const std::string& name, const std::string& data) {
    FILE* f = fopen(path(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    ASSERT_EQ(fclose(f), 0);
  }

  bool is_directory(const std::string& name) const {
    struct stat st;
    return stat(path(name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool present(const std::string& name) const {
    struct stat st;
    return lstat(path(name).c_str(), &st) == 0;
  }

  int entries(const std::string& name) const {
    DIR* d = opendir(path(name).c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") n++;
    }
    closedir(d);
    return n;
  }

  std::string dir;
};

TEST_F(FileTest, ExistsOnlyForOpenableFiles) {
  write("empty", "");
  write("full", "data");
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  EXPECT_TRUE(base::exists(path("empty")));
  EXPECT_TRUE(base::exists(path("full")));
  EXPECT_FALSE(base::exists(path("missing")));
  EXPECT_FALSE(base::exists(path("missing/deeper")));
  EXPECT_FALSE(base::exists(path("sub")));
  EXPECT_FALSE(base::exists(dir));
  EXPECT_FALSE(base::exists("."));
  EXPECT_FALSE(base::exists(""));
}

TEST_F(FileTest, SymbolicLinksAreFollowed) {
  write("file", "x");
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink(path("file").c_str(), path("to_file").c_str()), 0);
  ASSERT_EQ(symlink(path("sub").c_str(), path("to_sub").c_str()), 0);
  ASSERT_EQ(symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
  EXPECT_TRUE(base::exists(path("to_file")));
  EXPECT_FALSE(base::exists(path("to_sub")));
  EXPECT_FALSE(base::exists(path("dangling")));
  EXPECT_EQ(base::load(path("to_file")), "x");
}

TEST_F(FileTest, UnreadableFile) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  write("secret", "x");
  ASSERT_EQ(chmod(path("secret").c_str(), 0), 0);
  EXPECT_FALSE(base::exists(path("secret")));
  std::string data = "stale";
  EXPECT_FALSE(base::load(path("secret"), &data));
  EXPECT_EQ(data, "");
}

TEST_F(FileTest, LoadTellsMissingFromEmpty) {
  write("empty", "");
  std::string data = "stale";
  EXPECT_EQ(base::load(path("missing")), "");
  EXPECT_FALSE(base::load(path("missing"), &data));
  EXPECT_EQ(data, "") << "a failed load leaves no stale bytes";
  EXPECT_EQ(base::load(path("empty")), "");
  data = "stale";
  EXPECT_TRUE(base::load(path("empty"), &data));
  EXPECT_EQ(data, "");
}

TEST_F(FileTest, LoadOfADirectoryFails) {
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  std::string data;
  EXPECT_FALSE(base::load(path("sub"), &data));
  EXPECT_EQ(base::load(path("sub")), "");
}

TEST_F(FileTest, BytesRoundTripExactly) {
  std::string bytes;
  for (int i = 0; i < 256; i++) bytes += char(i);
  bytes += std::string("\0\0end\r\n\0", 8);
  ASSERT_TRUE(base::save(path("bin"), bytes));
  EXPECT_EQ(base::load(path("bin")), bytes);
}

TEST_F(FileTest, LargeFile) {
  std::string big(10 * 1000 * 1000 + 7, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = char((i * 7919) >> 5);
  ASSERT_TRUE(base::save(path("big"), big));
  struct stat st;
  ASSERT_EQ(stat(path("big").c_str(), &st), 0);
  EXPECT_EQ(size_t(st.st_size), big.size());
  std::string loaded;
  ASSERT_TRUE(base::load(path("big"), &loaded));
  EXPECT_TRUE(loaded == big) << "10 MB differ";
}

TEST_F(FileTest, SaveCreatesAndTruncates) {
  ASSERT_TRUE(base::save(path("f"), ""));
  EXPECT_TRUE(base::exists(path("f")));
  EXPECT_EQ(base::load(path("f")), "");
  ASSERT_TRUE(base::save(path("f"), "a long first version"));
  ASSERT_TRUE(base::save(path("f"), "short"));
  EXPECT_EQ(base::load(path("f")), "short");
  ASSERT_TRUE(base::save(path("f"), ""));
  EXPECT_EQ(base::load(path("f")), "");
}

TEST_F(FileTest, SaveToADirectoryTouchesNothing) {
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  write("sub/inside", "keep");
  EXPECT_FALSE(base::save(path("sub"), "data"));
  EXPECT_TRUE(is_directory("sub"));
  EXPECT_EQ(entries("sub"), 1);
  EXPECT_EQ(base::load(path("sub/inside")), "keep");
  EXPECT_FALSE(base::save(dir, "data"));
  EXPECT_FALSE(base::save(path("sub/"), "data"));
  EXPECT_TRUE(is_directory("sub"));
}

TEST_F(FileTest, SaveIntoAMissingFolderFails) {
  EXPECT_FALSE(base::save(path("no/such/file"), "data"));
  EXPECT_FALSE(present("no"));
}

TEST_F(FileTest, SaveReportsAFailedWrite) {
  // /dev/full accepts the open and fails every write with "no space left".
  if (!base::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  EXPECT_FALSE(base::save("/dev/full", "some bytes"));
  EXPECT_FALSE(base::save("/dev/full", std::string(1 << 20, 'x')));
}

TEST_F(FileTest, PathsWithNulBytesAreRefused) {
  write("real", "content");
  std::string cut = path("real") + std::string("\0.bak", 5);
  EXPECT_FALSE(base::exists(cut));
  EXPECT_EQ(base::load(cut), "");
  EXPECT_FALSE(base::save(cut, "overwritten"));
  EXPECT_EQ(base::load(path("real")), "content") << "a shorter path must not be written";
}

}  // namespace
