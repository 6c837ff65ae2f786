#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "os/dir.h"

namespace {

// A real tree in a temporary folder:
//   a.txt (3 bytes)  B.TXT  c.txt.bak  .hidden  dangling -> missing
//   empty/  sub/b.txt  sub/deeper/d.md  .hiddendir/h.txt
class DirTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kuvet_dir_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    write("a.txt", "abc");
    write("B.TXT", "");
    write("c.txt.bak", "");
    write(".hidden", "");
    folder("empty");
    folder("sub");
    write("sub/b.txt", "");
    folder("sub/deeper");
    write("sub/deeper/d.md", "");
    folder(".hiddendir");
    write(".hiddendir/h.txt", "");
    link("missing", "dangling");
    char* cwd = getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    old_cwd = cwd;
    free(cwd);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
    std::string command = "chmod -R u+rwx '" + root + "' && rm -rf '" + root + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  std::string path(const std::string& name) const { return root + "/" + name; }

  void write(const std::string& name, const std::string& data) {
    FILE* f = fopen(path(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    ASSERT_EQ(fclose(f), 0);
  }
  void folder(const std::string& name) { ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0); }
  void link(const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), path(name).c_str()), 0);
  }

  // Every reported item, in order, and whether the walk ran to its end.
  struct walk {
    bool complete = false;
    std::string failed_dir;
    std::vector<os::item> items;
    std::vector<std::string> names() const {
      std::vector<std::string> result;
      for (const os::item& entry : items) result.push_back(entry.name);
      return result;
    }
    std::set<std::string> name_set() const {
      std::vector<std::string> all = names();
      return std::set<std::string>(all.begin(), all.end());
    }
    const os::item* find(const std::string& name) const {
      for (const os::item& entry : items) {
        if (entry.name == name) return &entry;
      }
      return nullptr;
    }
  };
  walk walk_of(const std::string& start, const std::string& pattern, bool recursive) {
    walk result;
    result.failed_dir = "untouched";
    result.complete = os::for_dir(
        start, [&](os::item& entry) { result.items.push_back(entry); }, pattern, recursive,
        &result.failed_dir);
    return result;
  }

  std::set<std::string> under_root(std::set<std::string> relative) const {
    std::set<std::string> result;
    for (const std::string& name : relative) result.insert(path(name));
    return result;
  }

  std::string root;
  std::string old_cwd;
};

TEST_F(DirTest, RecursiveWalkReportsEveryEntryOnce) {
  walk w = walk_of(root, "", true);
  EXPECT_TRUE(w.complete);
  EXPECT_EQ(w.failed_dir, "untouched") << "set only on failure";
  EXPECT_EQ(w.items.size(), 12u) << "no duplicates, no \".\" or \"..\"";
  EXPECT_EQ(w.name_set(),
            under_root({"a.txt", "B.TXT", "c.txt.bak", ".hidden", "dangling", "empty", "sub",
                        "sub/b.txt", "sub/deeper", "sub/deeper/d.md", ".hiddendir",
                        ".hiddendir/h.txt"}));
}

TEST_F(DirTest, WalkIsBreadthFirst) {
  walk w = walk_of(root, "", true);
  std::vector<std::string> names = w.names();
  auto depth = [&](const std::string& name) {
    return std::count(name.begin() + root.size(), name.end(), '/');
  };
  for (size_t i = 1; i < names.size(); i++) {
    EXPECT_LE(depth(names[i - 1]), depth(names[i])) << names[i - 1] << " before " << names[i];
  }
  // Subfolders are visited in the order in which they were met.
  auto position = [&](const std::string& name) {
    return std::find(names.begin(), names.end(), path(name)) - names.begin();
  };
  bool sub_first = position("sub") < position(".hiddendir");
  EXPECT_EQ(position("sub/b.txt") < position(".hiddendir/h.txt"), sub_first);
}

TEST_F(DirTest, ItemsCarryTheEntryStatus) {
  struct utimbuf times = {1234567890, 1234567890};
  ASSERT_EQ(utime(path("a.txt").c_str(), &times), 0);
  walk w = walk_of(root, "", true);

  const os::item* file = w.find(path("a.txt"));
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->ok);
  EXPECT_FALSE(file->is_dir);
  EXPECT_EQ(file->size, 3);
  EXPECT_EQ(file->mtime, 1234567890);

  const os::item* folder = w.find(path("sub/deeper"));
  ASSERT_NE(folder, nullptr);
  EXPECT_TRUE(folder->ok);
  EXPECT_TRUE(folder->is_dir);
}

TEST_F(DirTest, UnreadableStatusIsStillReported) {
  link("loop", "loop");  // stat fails with too many links
  walk w = walk_of(root, "", true);
  EXPECT_TRUE(w.complete);
  for (const char* name : {"dangling", "loop"}) {
    const os::item* entry = w.find(path(name));
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_FALSE(entry->ok);
    EXPECT_FALSE(entry->is_dir);
    EXPECT_EQ(entry->mtime, 0);
    EXPECT_EQ(entry->size, 0);
  }
}

TEST_F(DirTest, NonRecursiveWalkGivesBareNames) {
  walk w = walk_of(root, "", false);
  EXPECT_TRUE(w.complete);
  EXPECT_EQ(w.name_set(), (std::set<std::string>{"a.txt", "B.TXT", "c.txt.bak", ".hidden",
                                                 "dangling", "empty", "sub", ".hiddendir"}));
}

TEST_F(DirTest, NamesFromTheCurrentFolder) {
  ASSERT_EQ(chdir(root.c_str()), 0);
  walk w = walk_of(".", "", true);
  EXPECT_TRUE(w.complete);
  EXPECT_NE(w.find("./a.txt"), nullptr);
  EXPECT_NE(w.find("./sub"), nullptr);
  EXPECT_NE(w.find("./sub/b.txt"), nullptr);
  EXPECT_NE(w.find("./sub/deeper/d.md"), nullptr);

  walk flat = walk_of(".", "", false);
  EXPECT_NE(flat.find("sub"), nullptr);
  EXPECT_NE(flat.find(".hidden"), nullptr);
}

TEST_F(DirTest, StartPathIsNormalised) {
  walk w = walk_of(root + "//sub/./", "", true);
  EXPECT_TRUE(w.complete);
  EXPECT_EQ(w.name_set(), under_root({"sub/b.txt", "sub/deeper", "sub/deeper/d.md"}));
}

TEST_F(DirTest, EmptyFolderGivesNothing) {
  walk w = walk_of(path("empty"), "", true);
  EXPECT_TRUE(w.complete);
  EXPECT_TRUE(w.items.empty());
}

TEST_F(DirTest, PatternsFilterByBareName) {
  walk w = walk_of(root, "*.TXT", false);
  EXPECT_EQ(w.name_set(), (std::set<std::string>{"a.txt", "B.TXT"}));

  w = walk_of(root, "?.txt", false);
  EXPECT_EQ(w.name_set(), (std::set<std::string>{"a.txt", "B.TXT"}));

  w = walk_of(root, ".*", false);
  EXPECT_EQ(w.name_set(), (std::set<std::string>{".hidden", ".hiddendir"}));
}

TEST_F(DirTest, FilteredFoldersAreStillDescendedInto) {
  walk w = walk_of(root, "*.txt", true);
  EXPECT_TRUE(w.complete);
  EXPECT_EQ(w.name_set(),
            under_root({"a.txt", "B.TXT", "sub/b.txt", ".hiddendir/h.txt"}));

  w = walk_of(root, "e*\nd*", true);
  EXPECT_EQ(w.name_set(), under_root({"empty", "dangling", "sub/deeper", "sub/deeper/d.md"}))
      << "folders are filtered like files";
}

TEST_F(DirTest, SeveralPatternsSplitAtLineFeeds) {
  walk w = walk_of(root, "*.md\n\nb.*", true);
  EXPECT_EQ(w.name_set(), under_root({"B.TXT", "sub/b.txt", "sub/deeper/d.md"}));
}

TEST_F(DirTest, PatternWithoutPiecesAcceptsNothing) {
  walk w = walk_of(root, "\n\n", true);
  EXPECT_TRUE(w.complete);
  EXPECT_TRUE(w.items.empty());
}

TEST_F(DirTest, LinkCycleEnds) {
  link("../..", "sub/deeper/up");  // back to the root
  link(".", "sub/self");
  walk w = walk_of(root, "", true);
  EXPECT_TRUE(w.complete);
  std::vector<std::string> names = w.names();
  EXPECT_EQ(names.size(), w.name_set().size()) << "no entry twice";
  EXPECT_EQ(w.name_set(),
            under_root({"a.txt", "B.TXT", "c.txt.bak", ".hidden", "dangling", "empty", "sub",
                        "sub/b.txt", "sub/deeper", "sub/deeper/d.md", ".hiddendir",
                        ".hiddendir/h.txt", "sub/self", "sub/deeper/up"}));
  const os::item* up = w.find(path("sub/deeper/up"));
  ASSERT_NE(up, nullptr);
  EXPECT_TRUE(up->is_dir) << "the link itself is reported as the folder it names";
}

TEST_F(DirTest, SecondLinkToAFolderIsReportedButNotEntered) {
  link("sub", "alias");
  walk w = walk_of(root, "", true);
  EXPECT_TRUE(w.complete);
  ASSERT_NE(w.find(path("alias")), nullptr);
  ASSERT_NE(w.find(path("sub")), nullptr);
  int copies = 0;
  for (const std::string& name : w.names()) {
    if (name.size() >= 6 && name.compare(name.size() - 6, 6, "/b.txt") == 0) copies++;
  }
  EXPECT_EQ(copies, 1) << "the folder's contents appear under one of its two names";
}

TEST_F(DirTest, MissingStartFails) {
  walk w = walk_of(path("nowhere"), "", true);
  EXPECT_FALSE(w.complete);
  EXPECT_TRUE(w.items.empty());
  EXPECT_EQ(w.failed_dir, path("nowhere"));

  EXPECT_FALSE(os::for_dir(path("a.txt"), [](os::item&) {}, "", true)) << "a file is no folder";
  EXPECT_FALSE(os::for_dir(std::string("/\0tmp", 5), [](os::item&) {}, "", true))
      << "a NUL byte must not shorten the path to \"/\"";
}

TEST_F(DirTest, FolderVanishingBeforeItIsOpenedStopsTheWalk) {
  // The entry is handed over before its folder is opened: remove it then.
  // This works whatever the user's rights.
  std::string gone = path("sub");
  size_t before_failure = 0;
  walk w;
  w.complete = os::for_dir(
      root,
      [&](os::item& entry) {
        w.items.push_back(entry);
        if (entry.name == gone) {
          std::string command = "rm -rf '" + gone + "'";
          EXPECT_EQ(system(command.c_str()), 0);
        }
        before_failure = w.items.size();
      },
      "", true, &w.failed_dir);
  EXPECT_FALSE(w.complete);
  EXPECT_EQ(w.failed_dir, gone);
  EXPECT_GE(before_failure, 8u) << "every entry of the root was handed over first";
  EXPECT_EQ(w.find(path("sub/b.txt")), nullptr);
}

TEST_F(DirTest, FolderReplacedByAFileStopsTheWalk) {
  std::string swapped = path("empty");
  std::string failed;
  bool complete = os::for_dir(
      root,
      [&](os::item& entry) {
        if (entry.name != swapped) return;
        EXPECT_EQ(rmdir(swapped.c_str()), 0);
        FILE* f = fopen(swapped.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fclose(f);
      },
      "", true, &failed);
  EXPECT_FALSE(complete);
  EXPECT_EQ(failed, swapped);
}

TEST_F(DirTest, UnreadableFolderStopsTheWalk) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens any folder";
  ASSERT_EQ(chmod(path("sub").c_str(), 0), 0);
  os::dir listing(root, "", true);
  EXPECT_FALSE(listing.complete);
  EXPECT_EQ(listing.failed_dir, path("sub"));
  EXPECT_GE(listing.count, 8u) << "what was found before the failure is kept";
}

TEST_F(DirTest, DirHoldsCopiesOfTheWalk) {
  walk w = walk_of(root, "*.txt", true);
  os::dir listing(root, "*.txt", true);
  EXPECT_TRUE(listing.complete);
  EXPECT_EQ(listing.failed_dir, "");
  ASSERT_EQ(listing.count, w.items.size());
  for (unsigned i = 0; i < listing.count; i++) {
    EXPECT_EQ(listing.items[i]->name, w.items[i].name);
    EXPECT_EQ(listing.items[i]->size, w.items[i].size);
    EXPECT_EQ(listing.items[i]->is_dir, w.items[i].is_dir);
  }
  EXPECT_EQ(listing.items[listing.count], nullptr);
}

TEST_F(DirTest, DirOfAMissingFolder) {
  os::dir listing(path("nowhere") + "/", "", true);
  EXPECT_FALSE(listing.complete);
  EXPECT_EQ(listing.failed_dir, path("nowhere"));
  EXPECT_EQ(listing.count, 0u);
  EXPECT_EQ(listing.items, nullptr);
}

}  // namespace
