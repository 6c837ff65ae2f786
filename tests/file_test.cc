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

}  // namespace
