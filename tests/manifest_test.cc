// The folder's manifest, built from real folders in a temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "temp_folder.h"
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kuvet/kuvet.h"

namespace {

class ManifestTest : public temp_folder_test {
 protected:

  // A file with the given modification time.
  void write(const std::string& name, double time = 1000000000) {
    FILE* f = fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    fputs("x", f);
    ASSERT_EQ(fclose(f), 0);
    set_time(name, time);
  }
  void folder(const std::string& name, double time = 1100000000) {
    ASSERT_EQ(mkdir(name.c_str(), 0755), 0) << name;
    set_time(name, time);
  }
  void set_time(const std::string& name, double time) {
    struct utimbuf times = {time_t(time), time_t(time)};
    ASSERT_EQ(utime(name.c_str(), &times), 0) << name;
  }

  // The member keys in order.
  static std::vector<std::string> keys_of(const var& manifest) {
    std::vector<std::string> list;
    var names = manifest.keys();
    for (int i = 0; i < names.size(); i++) list.push_back(names.get(i).str());
    return list;
  }

};

TEST_F(ManifestTest, EmptyFolderGivesAnEmptyObject) {
  var manifest = kuvet::get_local_manifest();
  EXPECT_TRUE(manifest.is_object());
  EXPECT_EQ(manifest.size(), 0);
  EXPECT_EQ(manifest.str(), "{}");
  kuvet::folder_scan scan = kuvet::scan_folder();
  EXPECT_TRUE(scan.complete);
  EXPECT_EQ(scan.failed_dir, "");
  EXPECT_EQ(scan.special.size(), 0);
  EXPECT_TRUE(scan.leftovers.empty());
}

TEST_F(ManifestTest, FolderPrecedesItsFilesWithTheirTimes) {
  folder("docs");
  write("docs/a.txt", 1234567890);
  set_time("docs", 1300000000);
  var manifest = kuvet::get_local_manifest();
  EXPECT_EQ(keys_of(manifest), (std::vector<std::string>{"docs/", "docs/a.txt"}));
  EXPECT_EQ(manifest["docs/"].num(), 1300000000);
  EXPECT_EQ(manifest["docs/a.txt"].num(), 1234567890);
  EXPECT_EQ(manifest.str(), "{\"docs/\":1300000000,\"docs/a.txt\":1234567890}");
}

TEST_F(ManifestTest, HiddenNamesAreLeftOutButNotWhatTheyHold) {
  write(".hidden");
  write(".kuvet");
  folder(".cache");
  write(".cache/x");
  write(".cache/.y");
  folder(".cache/sub");
  write("visible");
  var manifest = kuvet::get_local_manifest();
  EXPECT_EQ(keys_of(manifest), (std::vector<std::string>{".cache/sub/", ".cache/x", "visible"}));
  EXPECT_FALSE(manifest.has(".cache/"));
  EXPECT_FALSE(manifest.has(".cache"));
  EXPECT_FALSE(manifest.has(".kuvet"));
  EXPECT_FALSE(manifest.has(".hidden"));
}

TEST_F(ManifestTest, ConflictCopiesAndTheRevisionFileAreMembers) {
  write("x.CONFLICT", 1500000000);
  write("_revision", 1600000000);
  var manifest = kuvet::get_local_manifest();
  EXPECT_EQ(keys_of(manifest), (std::vector<std::string>{"_revision", "x.CONFLICT"}));
  EXPECT_EQ(manifest["_revision"].num(), 1600000000);
}

TEST_F(ManifestTest, DanglingLinkIsASpecialMemberWithTimeZero) {
  ASSERT_EQ(symlink("missing-target", "dangling"), 0);
  write("plain");
  kuvet::folder_scan scan = kuvet::scan_folder();
  EXPECT_TRUE(scan.complete);
  EXPECT_EQ(keys_of(scan.manifest), (std::vector<std::string>{"dangling", "plain"}));
  EXPECT_TRUE(scan.manifest["dangling"].is_number());
  EXPECT_EQ(scan.manifest["dangling"].num(), 0);
  EXPECT_FALSE(scan.manifest.has("dangling/"));
  EXPECT_TRUE(scan.special.has("dangling"));
  EXPECT_FALSE(scan.special.has("plain"));
}

TEST_F(ManifestTest, LinksAreFollowed) {
  folder("real");
  write("real/f", 1400000000);
  ASSERT_EQ(symlink("real", "alias"), 0);
  ASSERT_EQ(symlink("real/f", "link-to-f"), 0);
  kuvet::folder_scan scan = kuvet::scan_folder();
  // A link to a folder is a folder (entered once); a link to a file is a
  // regular file with the target's time.
  EXPECT_TRUE(scan.manifest.has("alias/"));
  EXPECT_EQ(scan.manifest["link-to-f"].num(), 1400000000);
  EXPECT_FALSE(scan.special.has("link-to-f"));
  EXPECT_FALSE(scan.special.has("alias/"));
}

TEST_F(ManifestTest, NamedPipeIsSpecial) {
  folder("sub");
  ASSERT_EQ(mkfifo("sub/pipe", 0644), 0);
  kuvet::folder_scan scan = kuvet::scan_folder();
  EXPECT_TRUE(scan.manifest.has("sub/pipe"));
  EXPECT_TRUE(scan.special.has("sub/pipe"));
  EXPECT_FALSE(scan.special.has("sub/"));
  EXPECT_EQ(scan.special.size(), 1);
}

TEST_F(ManifestTest, LeftOverTemporaryFilesAreCollectedNotListed) {
  folder("docs");
  write("a.txt");
  write(".a.txt.kuvet-part-999999999-0");
  write("docs/.b.txt.kuvet-part-999999998-3");
  write(".c.txt.kuvet-part-" + std::to_string(getpid()) + "-0");  // still being written
  write(".unrelated");
  kuvet::folder_scan scan = kuvet::scan_folder();
  EXPECT_EQ(keys_of(scan.manifest), (std::vector<std::string>{"a.txt", "docs/"}));
  std::vector<std::string> leftovers = scan.leftovers;
  std::sort(leftovers.begin(), leftovers.end());
  EXPECT_EQ(leftovers,
            (std::vector<std::string>{".a.txt.kuvet-part-999999999-0",
                                      "docs/.b.txt.kuvet-part-999999998-3"}));
  EXPECT_TRUE(scan.special.is_object());
  EXPECT_EQ(scan.special.size(), 0);
}

TEST_F(ManifestTest, AFolderWithATemporaryLookingNameIsNotALeftover) {
  folder(".x.kuvet-part-1-0");
  kuvet::folder_scan scan = kuvet::scan_folder();
  EXPECT_TRUE(scan.leftovers.empty());
}

TEST_F(ManifestTest, UnchangedFolderScansTheSame) {
  folder("b");
  folder("b/c");
  write("b/c/d.txt");
  write("A.txt");
  write("z");
  write("_revision");
  folder("Docs");
  write("Docs/x");
  std::string first = kuvet::get_local_manifest().str();
  std::string second = kuvet::get_local_manifest().str();
  EXPECT_EQ(first, second);
  EXPECT_EQ(kuvet::get_local_manifest().cmp(kuvet::get_local_manifest()), 0);
}

TEST_F(ManifestTest, MembersInFoldedWalkOrder) {
  folder("docs");
  write("docs/a");
  write("docs-x");
  write("Beta");
  write("alpha");
  write("_under");
  folder("Zoo");
  write("Zoo/Inner");
  write("zoo.txt");
  write("a.txt");
  folder("a");
  write("a/b");
  var manifest = kuvet::get_local_manifest();
  // Walk names "./_under", "./a", "./a.txt", "./a/b", "./alpha", "./Beta",
  // "./docs", "./docs-x", "./docs/a", "./Zoo", "./zoo.txt", "./Zoo/Inner",
  // compared with letters folded.
  EXPECT_EQ(keys_of(manifest),
            (std::vector<std::string>{"_under", "a/", "a.txt", "a/b", "alpha", "Beta", "docs/",
                                      "docs-x", "docs/a", "Zoo/", "zoo.txt", "Zoo/Inner"}));
}

TEST_F(ManifestTest, DeepTreesAreWalkedWhole) {
  std::string path = "d";
  for (int i = 0; i < 20; i++) {
    folder(path);
    path += "/d";
  }
  write(path.substr(0, path.size() - 2) + "/leaf");
  var manifest = kuvet::get_local_manifest();
  EXPECT_EQ(manifest.size(), 21);
  EXPECT_TRUE(manifest.has(path.substr(0, path.size() - 2) + "/leaf"));
}

// Runs scan_folder in a child process that cannot read what root could, and
// hands back "complete failed_dir". Root opens any folder, so the child drops
// to the unprivileged user "nobody" first; "" when that is impossible.
std::string scan_without_privileges(const std::string& root) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return "";
  pid_t child = fork();
  if (child < 0) return "";
  if (child == 0) {
    close(pipe_ends[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    if (chdir(root.c_str()) != 0) _exit(3);
    kuvet::folder_scan scan = kuvet::scan_folder();
    std::string result = std::string(scan.complete ? "1 " : "0 ") + scan.failed_dir;
    ssize_t written = ::write(pipe_ends[1], result.data(), result.size());
    _exit(written == ssize_t(result.size()) ? 0 : 4);
  }
  close(pipe_ends[1]);
  std::string result;
  char buffer[512];
  ssize_t got;
  while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0) result.append(buffer, got);
  close(pipe_ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "";
  return result;
}

TEST_F(ManifestTest, UnreadableSubfolderMakesTheScanIncomplete) {
  folder("open");
  write("open/f");
  folder("locked");
  write("locked/secret");
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);  // the unprivileged child must reach the rest
  ASSERT_EQ(chmod("open", 0755), 0);
  ASSERT_EQ(chmod("open/f", 0644), 0);
  ASSERT_EQ(chmod("locked", 0), 0);
  std::string result = scan_without_privileges(root);
  if (result.empty()) GTEST_SKIP() << "cannot run a scan without the rights to read a folder";
  EXPECT_EQ(result, "0 ./locked");
  // With the rights back the scan completes.
  ASSERT_EQ(chmod("locked", 0755), 0);
  kuvet::folder_scan scan = kuvet::scan_folder();
  EXPECT_TRUE(scan.complete);
  EXPECT_TRUE(scan.manifest.has("locked/secret"));
}

}  // namespace
