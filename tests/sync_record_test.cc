// The record of the last synchronisation, kept in a real temporary folder.
#include "kuvet/sync_record.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include "temp_folder.h"
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file.h"
#include "json/json.h"

namespace {

const char url[] = "http://kuvet.s3.localhost:9000/";
const char damaged_warning[] =
    "Warning! .kuvet-synced is damaged: nothing will be deleted on either side this time.\n";

class SyncRecordTest : public temp_folder_test {
 protected:

  // The names in the folder, sorted, "." and ".." left out.
  static std::vector<std::string> folder_names(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  static var sample() {
    var entries = var::object();
    entries.set("docs/", 1300000000);
    entries.set("docs/a.txt", 1234567890);
    entries.set("caf\xc3\xa9 \"quoted\".txt", 1700000000.0);
    return entries;
  }

  // What load prints, and its result as JSON text ("null" for none).
  static std::string load_printing(const std::string& for_url, std::string* printed) {
    testing::internal::CaptureStdout();
    var entries = sync_record::load(for_url);
    *printed = testing::internal::GetCapturedStdout();
    return entries.str();
  }

};

TEST_F(SyncRecordTest, SavedEntriesLoadForTheSameStore) {
  ASSERT_TRUE(sync_record::save(url, sample()));
  std::string printed;
  EXPECT_EQ(load_printing(url, &printed), sample().str());
  EXPECT_EQ(printed, "");
  // The file is the record object itself, readable by the JSON reader.
  var record = json::parse(base::load(".kuvet-synced"));
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(record["kuvet_url"].str(), url);
  EXPECT_EQ(record["files"].str(), sample().str());
}

TEST_F(SyncRecordTest, AnEmptyRecordIsARecord) {
  ASSERT_TRUE(sync_record::save(url, var::object()));
  var entries = sync_record::load(url);
  EXPECT_TRUE(entries.is_object());
  EXPECT_EQ(entries.size(), 0);
}

TEST_F(SyncRecordTest, NoRecordForAnotherStore) {
  ASSERT_TRUE(sync_record::save(url, sample()));
  std::string printed;
  EXPECT_EQ(load_printing("http://other.s3.localhost:9000/", &printed), "null");
  EXPECT_EQ(printed, "");
  EXPECT_EQ(load_printing("http://kuvet.s3.localhost:9001/", &printed), "null");
  EXPECT_EQ(load_printing("", &printed), "null");
  // The record itself is kept for when the folder points back at its store.
  EXPECT_EQ(sync_record::load(url).str(), sample().str());
}

TEST_F(SyncRecordTest, MissingRecordIsNoneWithoutAWord) {
  std::string printed;
  EXPECT_EQ(load_printing(url, &printed), "null");
  EXPECT_EQ(printed, "");
}

TEST_F(SyncRecordTest, DamagedRecordIsNoneWithAWarning) {
  const std::string full = "{\"kuvet_url\":\"" + std::string(url) + "\",\"files\":{\"a\":1}}";
  for (const std::string& text :
       {std::string(""), std::string("not json"), full.substr(0, full.size() - 3),
        std::string("[1,2]"), std::string("\"text\""), std::string("{\"kuvet_url\":\"") + url + "\"}",
        "{\"kuvet_url\":\"" + std::string(url) + "\",\"files\":[\"a\"]}",
        "{\"kuvet_url\":\"" + std::string(url) + "\",\"files\":null}"}) {
    ASSERT_TRUE(base::save(".kuvet-synced", text));
    std::string printed;
    EXPECT_EQ(load_printing(url, &printed), "null") << text;
    EXPECT_EQ(printed, damaged_warning) << text;
  }
}

TEST_F(SyncRecordTest, SaveReplacesTheRecordAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(sync_record::save(url, sample()));
  var fewer = var::object();
  fewer.set("b.txt", 1600000000);
  ASSERT_TRUE(sync_record::save("http://other.s3.localhost:9000/", fewer));
  EXPECT_EQ(sync_record::load("http://other.s3.localhost:9000/").str(), fewer.str());
  EXPECT_TRUE(sync_record::load(url).is_null());
  EXPECT_EQ(folder_names("."), std::vector<std::string>{".kuvet-synced"});
}

TEST_F(SyncRecordTest, SaveOverADamagedRecordMendsIt) {
  ASSERT_TRUE(base::save(".kuvet-synced", "{\"files\":"));
  ASSERT_TRUE(sync_record::save(url, sample()));
  std::string printed;
  EXPECT_EQ(load_printing(url, &printed), sample().str());
  EXPECT_EQ(printed, "");
}

// Even root cannot create a file in a folder that no longer exists.
TEST_F(SyncRecordTest, FailedSaveSaysWhyAndLeavesNothing) {
  ASSERT_EQ(mkdir("gone", 0755), 0);
  ASSERT_EQ(chdir("gone"), 0);
  ASSERT_EQ(rmdir((root + "/gone").c_str()), 0);
  testing::internal::CaptureStdout();
  bool saved = sync_record::save(url, sample());
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(saved);
  EXPECT_EQ(printed, "Error! Could not write .kuvet-synced: No such file or directory\n");
  ASSERT_EQ(chdir(root.c_str()), 0);
  EXPECT_EQ(folder_names("."), std::vector<std::string>{});
}

// Runs save in a child process that may not write into the folder (root may
// write anywhere, so the child drops to the user "nobody"). Hands back what
// it printed after "1 " or "0 " for its result; "" when that is impossible.
std::string save_without_privileges(const std::string& folder, const var& entries) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return "";
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) return "";
  if (child == 0) {
    close(pipe_ends[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    if (chdir(folder.c_str()) != 0) _exit(3);
    if (dup2(pipe_ends[1], 1) < 0) _exit(4);
    bool saved = sync_record::save(url, entries);
    printf("%s", saved ? "\n1" : "\n0");
    fflush(stdout);
    _exit(0);
  }
  close(pipe_ends[1]);
  std::string output;
  char buffer[512];
  ssize_t got;
  while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
  close(pipe_ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.size() < 2) return "";
  return output.substr(output.size() - 1) + " " + output.substr(0, output.size() - 2);
}

TEST_F(SyncRecordTest, SaveIntoAReadOnlyFolderKeepsTheOldRecord) {
  ASSERT_TRUE(sync_record::save(url, sample()));
  std::string before = base::load(".kuvet-synced");
  ASSERT_EQ(chmod(".kuvet-synced", 0644), 0);
  ASSERT_EQ(chmod(root.c_str(), 0555), 0);
  var other = var::object();
  other.set("new.txt", 1);
  std::string result = save_without_privileges(root, other);
  ASSERT_EQ(chmod(root.c_str(), 0700), 0);
  if (result.empty()) GTEST_SKIP() << "cannot run a save without the rights to write the folder";
  EXPECT_EQ(result, "0 Error! Could not write .kuvet-synced: Permission denied\n");
  EXPECT_EQ(base::load(".kuvet-synced"), before);
  EXPECT_EQ(folder_names("."), std::vector<std::string>{".kuvet-synced"});
}

}  // namespace
