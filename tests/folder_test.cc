// The folder side of a sync: the walk, keys, conflict names, path and file
// helpers, temporary files, and the listing's lines. Each test that touches
// files runs in a fresh temporary folder, which is also the current folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "base/file.h"
#include "kuvet/folder_scan.h"
#include "kuvet/keys.h"
#include "kuvet/temp_file.h"
#include "os/item.h"
#include "os/path.h"
#include "temp_folder.h"

namespace {

class Folder : public temp_folder_test {
 protected:
  static void write(const std::string& name, const std::string& data = "x", time_t time = 0) {
    os::mkdir(name.substr(0, name.rfind('/') + 1));
    ASSERT_TRUE(std::ofstream(name, std::ios::binary) << data) << name;
    if (time != 0) os::touch(name, double(time));
  }
  static time_t mtime(const std::string& name) { struct stat st; return stat(name.c_str(), &st) ? -1 : st.st_mtime; }
  static std::filesystem::perms mode(const std::string& name) { return std::filesystem::status(name).permissions(); }
};

// What the walk gives: keys in byte order ("d" before "d-x" before "d/x"),
// hidden names left out but hidden folders walked, pipes and broken links as
// special, unsafe names apart, link cycles ended, left-overs of downloads.
TEST_F(Folder, WalkGivesTheSortedKeysOfWhatMaySync) {
  write("d/x", "xx", 1000);
  for (const char* name : {"d-x", "d.txt", "B/a", ".hidden", ".git/config", "_revision", "sub/_revision",
                           "back\\slash", "sub/.n.kuvet-part-999999999-1"}) write(name);
  ASSERT_TRUE(mkfifo("pipe", 0600) == 0 && symlink("nowhere", "broken") == 0 && symlink("..", "d/up") == 0 &&
              symlink("d", "same") == 0);
  folder_scan scan = scan_folder(".");
  ASSERT_TRUE(scan.complete);
  std::string keys;
  for (size_t i = 0; i < scan.entries.size(); i++) {
    keys += std::string(scan.entries.key(i)) + (scan.entries.at(i).kind == entry_kind::folder ? "/ " : " ");
  }
  EXPECT_EQ(keys, ".git/config B/ B/a broken d/ d-x d.txt d/x pipe same/ same/x sub/ sub/_revision ");
  entry x = scan.entries.get("d/x");
  EXPECT_EQ(std::make_tuple(x.size, x.time, x.mtime_ns), std::make_tuple(int64_t(2), int64_t(1000), int64_t(1000) * 1000000000));
  EXPECT_EQ(scan.special, (std::vector<std::string>{"broken", "pipe"}));
  EXPECT_EQ(scan.unsafe, (std::vector<std::string>{"back\\slash"}));
  EXPECT_EQ(scan.leftovers, (std::vector<std::string>{"sub/.n.kuvet-part-999999999-1"}));

  // Ignored folders are not entered; a folder that cannot be read stops the walk.
  scan = scan_folder(".", [](std::string_view key, bool folder) { return folder && key == "d"; });
  EXPECT_TRUE(scan.entries.find("d/x") == manifest::npos);
  ASSERT_EQ(chmod("sub", 0), 0);
  if (access("sub", R_OK) != 0) {  // root reads any folder
    scan = scan_folder(".");
    EXPECT_EQ(std::make_pair(scan.complete, scan.failed), std::make_pair(false, std::string("sub")));
  }
}

TEST(Keys, WhatMayComeFromTheStore) {
  // Bad names: empty, ".." or "." on the way, hidden at the end, not UTF-8, a backslash.
  const char* const safe[] = {"a", "docs/", "docs/a.txt", ".git/config", "a/.b/c/", "_revision", "x.CONFLICT",
                              "a..b", "caf\xc3\xa9.txt", "with space", "x\nNew revision: 9"};
  const std::string unsafe[] = {"", "/etc/passwd", "a/b//", "../x", "./x", ".hidden", "docs/.hidden", ".cache/",
                                "caf\xe9", "a\\b", std::string("a\0b", 3)};
  for (const char* key : safe) EXPECT_TRUE(keys::is_safe(key)) << key;
  for (const std::string& key : unsafe) EXPECT_FALSE(keys::is_safe(key)) << key;
  const std::pair<const char*, bool> conflicts[] = {
      {"a.CONFLICT", true}, {"a.2.CONFLICT", true}, {"d.CONFLICT/x", true}, {"CONFLICT", false},
      {"a.conflict", false}, {"a.CONFLICT.txt", false}, {"a.CONFLICTx/b", false}};
  for (const auto& [key, copy] : conflicts) EXPECT_EQ(keys::is_conflict_copy(key), copy) << key;
}

TEST_F(Folder, ConflictNamesAreFreeAndFitAName) {
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.CONFLICT");
  write("a.txt.CONFLICT");
  ASSERT_TRUE(mkdir("a.txt.2.CONFLICT", 0755) == 0 && symlink("missing", "a.txt.3.CONFLICT") == 0);
  EXPECT_EQ(keys::free_conflict_name("a.txt"), "a.txt.4.CONFLICT");
  EXPECT_EQ(keys::free_conflict_name("docs/a.txt"), "docs/a.txt.CONFLICT");
  std::string key = "d/" + std::string(250, 'x') + ".txt", name = keys::free_conflict_name(key);
  EXPECT_LE(name.size() - 2, 255u);
  EXPECT_EQ(name.substr(name.size() - 13), ".txt.CONFLICT");
  write(name);
  std::string second = keys::free_conflict_name(key);
  EXPECT_EQ(second.substr(second.size() - 15), ".txt.2.CONFLICT");
}

TEST(Paths, Normalize) {
  const std::pair<const char*, const char*> table[] = {
      {"a//b", "a/b"}, {"//", "/"}, {"", ""}, {"a\\b", "a/b"}, {"a/./b", "a/b"}, {"/./x", "/x"}, {"./a", "./a"},
      {"a/.", "a/."}, {"a/../b", "a/../b"}, {"x/.\\y", "x/y"}, {"a/.\\", "a"}, {"x//", "x"}, {"./", "."}, {".", "."}};
  for (const auto& [path, normal] : table) EXPECT_EQ(os::normalize(path), normal) << path;
}

TEST_F(Folder, MkdirTouchLoadAndExists) {
  os::mkdir("x//y/./z/");
  EXPECT_TRUE(std::filesystem::is_directory("x/y/z"));
  write("file");
  os::mkdir("file/sub");
  os::mkdir(std::string("n\0m", 3));
  EXPECT_FALSE(std::filesystem::is_directory("file/sub") || base::exists("n"));
  ASSERT_TRUE(os::touch(".//file", 1000000000.7));
  EXPECT_EQ(mtime("file"), 1000000000);
  for (double bad : {double(NAN), 1e300}) EXPECT_FALSE(os::touch("file", bad));
  EXPECT_FALSE(os::touch("missing", 5));
  std::string data;
  EXPECT_TRUE(base::load("file", &data) && data == "x");
  EXPECT_FALSE(base::load("missing", &data) || base::load("x", &data) || base::exists("x"));
}

TEST_F(Folder, TemporaryFilesAreHiddenPrivateAndReplaceWhole) {
  write("a.txt", "old");
  ASSERT_EQ(chmod("a.txt", 0640), 0);
  {
    temp_file part("a.txt");
    ASSERT_TRUE(part.open() && temp_file::is_temp_name(part.path));
    EXPECT_EQ(mode(part.path), std::filesystem::perms(0600));
    fputs("new", part.file);
    ASSERT_TRUE(part.close() && part.commit("a.txt"));
    EXPECT_EQ(mode("a.txt"), std::filesystem::perms(0640)) << "the target's mode";
  }
  EXPECT_EQ(base::load("a.txt"), "new");
  { temp_file dropped("a.txt"); ASSERT_TRUE(dropped.open()); }
  ASSERT_TRUE(temp_file::write("_revision", "17", 17));
  EXPECT_EQ(mtime("_revision"), 17);
  EXPECT_FALSE(temp_file::write("_revision", "2", 1e300));
  EXPECT_EQ(base::load("_revision"), "17");
  EXPECT_EQ(scan_folder(".").leftovers.size(), 0u) << "nothing left beside";
  EXPECT_FALSE(temp_file::is_stale(".a.kuvet-part-" + std::to_string(getpid()) + "-0") ||
               temp_file::is_stale(".a.kuvet-part-1-0") || temp_file::is_stale("a.kuvet-part-999999999-0"));
  EXPECT_TRUE(temp_file::is_stale(".a.kuvet-part-999999999-0"));
}

// The lines of `list`, in UTC: time, the size column, the name.
TEST(ListLines, TimeSizeAndName) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::tuple<double, double, bool, const char*> table[] = {
      {1234, 1796456469, false, "Sat Dec  5 07:41:09 2026    1.2 KB  f"},
      {1234, 1796456469, true, "Sat Dec  5 07:41:09 2026          1234  f"}, {1, NAN, false, "?      1 B   f"},
      {-1, 0, false, "Thu Jan  1 00:00:00 1970         ?  f"}, {500, 0, false, "Thu Jan  1 00:00:00 1970    500 B   f"},
      {123456e15, 0, false, "Thu Jan  1 00:00:00 1970  123456.0 PB  f"}, {1, 1e300, false, "?      1 B   f"},
  };
  os::item entry;
  entry.name = "f";
  for (const auto& [size, time, exact, line] : table) {
    entry.size = size, entry.mtime = time;
    EXPECT_EQ(os::item_line(entry, exact), line) << size;
  }
  unsetenv("TZ");
  tzset();
}

}  // namespace
