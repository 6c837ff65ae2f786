#include "kuvet/path_key.h"

#include <gtest/gtest.h>

namespace {

TEST(PathKey, Table) {
  struct {
    const char* path;
    const char* user_folder;
    bool for_put;
    const char* expected;  // the key, or "!" and the refusal
  } cases[] = {
      {"/s/h.txt", "/s/docs", true, "h.txt"}, {"notes.txt", "/s/docs", true, "docs/notes.txt"},
      {"../a/./b/", "/s/docs", false, "a/b"}, {"/s//sub/../f", "/", true, "f"},
      {"d/.git/x", "/s", true, "d/.git/x"}, {".manifest", "/s", false, ".manifest"},
      {"", "/s", true, "!an empty path names no file"},
      {"..", "/s", true, "!'..' is outside the synced folder /s"},
      {"/sx/f", "/s", true, "!'/sx/f' is outside the synced folder /s"},
      {".", "/s", true, "!'.' names the synced folder itself, not a file"},
      {".env", "/s", true, "!'.env' is hidden, and hidden files are never synced"},
      {"a\\b", "/s", false, "!'a\\b' cannot be a key: keys are UTF-8 text without a backslash"},
  };
  for (const auto& c : cases) {
    keys::path_key got = keys::key_for_path(c.path, c.user_folder, "/s", c.for_put);
    EXPECT_EQ(got.refusal.empty() ? got.key : "!" + got.refusal, c.expected) << c.path;
  }
}

}  // namespace
