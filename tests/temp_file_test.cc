#include "kuvet/temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file.h"

namespace {

class TempFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kuvet-temp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { system(("rm -rf '" + dir + "'").c_str()); }
  std::string dir;
};

}  // namespace

TEST_F(TempFileTest, HiddenBesideTheTargetAndRemovedUnlessCommitted) {
  std::string target = dir + "/notes.txt";
  std::string seen;
  {
    temp_file part(target);
    ASSERT_TRUE(part.open());
    seen = part.path;
    EXPECT_EQ(seen.compare(0, dir.size() + 2, dir + "/."), 0);
    EXPECT_TRUE(temp_file::is_temp_name(seen.substr(dir.size() + 1)));
    fputs("partial", part.file);
  }
  EXPECT_FALSE(base::exists(seen));
  EXPECT_FALSE(base::exists(target));
}

TEST_F(TempFileTest, CommitReplacesTheTarget) {
  std::string target = dir + "/a.txt";
  ASSERT_TRUE(temp_file::write(target, "old"));
  temp_file part(target);
  ASSERT_TRUE(part.open());
  fputs("new", part.file);
  ASSERT_TRUE(part.close());
  ASSERT_TRUE(part.commit(target));
  EXPECT_EQ(base::load(target), "new");
  EXPECT_FALSE(base::exists(part.path));
}

TEST_F(TempFileTest, WriteWithATimeReplacesTheTargetWithThatTime) {
  std::string target = dir + "/_revision";
  ASSERT_TRUE(temp_file::write(target, "1"));
  ASSERT_TRUE(temp_file::write(target, "1700000000", 1700000000));
  EXPECT_EQ(base::load(target), "1700000000");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1700000000);
  // A time that cannot be set leaves the target as it was.
  EXPECT_FALSE(temp_file::write(target, "2", 1e300));
  EXPECT_EQ(base::load(target), "1700000000");
}

TEST_F(TempFileTest, TargetWithoutFolderAndLongNames) {
  std::string name(250, 'x');
  temp_file part(dir + "/" + name);
  ASSERT_TRUE(part.open());  // the hidden name stays within the name limit
  temp_file bare("plain.txt");
  EXPECT_EQ(bare.path, "");
}

TEST(TempFileNames, Recognised) {
  EXPECT_TRUE(temp_file::is_temp_name(".a.txt.kuvet-part-12-0"));
  EXPECT_FALSE(temp_file::is_temp_name("a.txt.kuvet-part-12-0"));
  EXPECT_FALSE(temp_file::is_temp_name(".kuvet"));
  EXPECT_FALSE(temp_file::is_temp_name(""));
}

TEST(TempFileNames, StaleOnlyWhenTheWriterIsGone) {
  std::string mine = ".a.kuvet-part-" + std::to_string(getpid()) + "-0";
  EXPECT_FALSE(temp_file::is_stale(mine));
  EXPECT_FALSE(temp_file::is_stale(".a.kuvet-part-1-0"));  // init is always alive
  EXPECT_TRUE(temp_file::is_stale(".a.kuvet-part-999999999-0"));
  EXPECT_TRUE(temp_file::is_stale(".a.kuvet-part-x"));
  EXPECT_FALSE(temp_file::is_stale("a.kuvet-part-999999999-0"));
}
