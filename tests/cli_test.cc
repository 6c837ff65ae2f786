#include "main/cli.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "http/user_agent.h"

namespace {

TEST(Cli, SigpipeIsIgnoredBeforeMain) {
  EXPECT_TRUE(cli::ignore_sigpipe_called);
  struct sigaction action;
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
}

// Runs cli::run inside a fresh empty folder and gives back what it printed.
class CliRun : public ::testing::Test {
 protected:
  void SetUp() override {
    old_dir_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "cli_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
    http::user_agent() = "Mozilla/5.0";
  }
  void TearDown() override {
    std::filesystem::current_path(old_dir_);
    std::filesystem::remove_all(dir_);
    http::user_agent() = "Mozilla/5.0";
  }
  int Run(std::vector<std::string> args, std::string* out) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int status = cli::run(int(args.size()), argv.data());
    *out = testing::internal::GetCapturedStdout();
    return status;
  }
  std::filesystem::path old_dir_, dir_;
};

TEST_F(CliRun, UsageLeavesTheUserAgentAlone) {
  std::string out;
  EXPECT_EQ(Run({"kuvet"}, &out), 0);
  EXPECT_EQ(out.rfind("USAGE:\n\tkuvet - show this message\n", 0), 0u);
  EXPECT_EQ(http::user_agent(), "Mozilla/5.0");
}

TEST_F(CliRun, AnyCommandSetsTheUserAgentFirst) {
  std::string out;
  EXPECT_EQ(Run({"kuvet", "list"}, &out), 1);
  EXPECT_EQ(out, "Missing .kuvet file.\n");
  EXPECT_EQ(http::user_agent(), "Kuvet/1.0 (https://github.com/kuvet/kuvet)");
}

TEST_F(CliRun, StoreCommandsRefuseAnInvalidConfiguration) {
  std::string out;
  ASSERT_EQ(Run({"kuvet", "init"}, &out), 0);
  { FILE* f = fopen(".kuvet", "wb"); fputs("[1]", f); fclose(f); }
  EXPECT_EQ(Run({"kuvet", "get", "a"}, &out), 1);
  EXPECT_EQ(out, "Error! .kuvet is not a valid JSON object: not an object\n");
}

struct ConfigCase {
  const char* text;
  const char* problem;  // null when the text is a usable configuration
};

TEST(CliConfig, AcceptsOnlyAnObject) {
  const ConfigCase cases[] = {
      {"{\"kuvet_url\":\"http://a.localhost/\",\"aws_id\":\"i\",\"aws_key\":\"k\"}", nullptr},
      {" {}\n", nullptr},
      {"", "empty file"},
      {"[1]", "not an object"},
      {"null", "not an object"},
      {"12", "not an object"},
      {"\"kuvet_url\"", "not an object"},
      {"{", "Incomplete array or object value."},
      {"tru", "Unexpected character ' ' at line 1 column 4."},
      {"  \n", "Did not parse to a single JSON value."},
      {"\"a\" \"b\"", "Unexpected character '\"' at line 1 column 5."},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.text);
    var config(1);
    std::string problem;
    bool ok = cli::parse_config(c.text, &config, &problem);
    if (c.problem == nullptr) {
      EXPECT_TRUE(ok) << problem;
      EXPECT_TRUE(config.is_object());
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(problem, c.problem);
      EXPECT_TRUE(config.is_null());
    }
  }
}

TEST(CliConfig, KeepsTheMembers) {
  var config;
  std::string problem;
  ASSERT_TRUE(cli::parse_config("{\"kuvet_url\":\"u/\",\"aws_id\":\"i\",\"aws_key\":\"k\"}",
                                &config, &problem));
  EXPECT_EQ(config["kuvet_url"].str(), "u/");
  EXPECT_EQ(config["aws_id"].str(), "i");
  EXPECT_EQ(config["aws_key"].str(), "k");
}

}  // namespace
