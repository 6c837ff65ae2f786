// A test fixture that runs each test inside a fresh temporary folder and
// removes it afterwards (permissions restored first, so locked folders go too).
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

class temp_folder_test : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kuvet_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern, old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(root);
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd);
    EXPECT_EQ(system(("chmod -R u+rwx '" + root + "' 2>/dev/null; rm -rf '" + root + "'").c_str()), 0);
  }

  std::string root, old_cwd;
};
