// The command line: its set-up before main, and the options. Referring to
// cli.cc links it into this binary too, so its initialisers run here as in the
// program: SIGPIPE ignored and the system's OpenSSL bound (the TLS tests rely on both).
#include "main/cli.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include "main/options.h"

namespace {

TEST(Cli, SigpipeIsIgnoredBeforeMain) {
  struct sigaction action;
  EXPECT_TRUE(cli::ignore_sigpipe_called && sigaction(SIGPIPE, nullptr, &action) == 0 && action.sa_handler == SIG_IGN);
}

// The parse in one line: "command operands / flags max-delete transfers", or "!" and the misuse.
std::string parsed_line(const std::string& line) {
  std::istringstream words(line);
  std::vector<std::string> args;
  for (std::string word; words >> word;) args.push_back(word);
  cli::options o = cli::parse_options(args);
  if (!o.error.empty() && !o.help && !o.version) return "!" + o.error;
  std::string text = o.command;
  for (const std::string& operand : o.operands) text += " " + operand;
  text += std::string(" /") + (o.help ? "h" : "") + (o.version ? "V" : "") + (o.dry_run ? "n" : "") +
          (o.verbose ? "v" : "") + (o.bytes ? "l" : "");
  return text + " " + std::to_string(o.max_delete) + " " + std::to_string(o.transfers);
}

TEST(Options, Table) {
  const std::string opt = "!option '", range = opt + "--max-delete' takes a percentage from 0 to 100, not '";
  const std::pair<const char*, std::string> cases[] = {
      {"", " / -1 0"}, {"--version", " /V -1 0"}, {"sync --dry-run -v", "sync /nv -1 0"},
      {"-nv sync --max-delete=50 --transfers 8", "sync /nv 50 8"}, {"sync --max-delete 0", "sync / 0 0"},
      {"list -lv", "list /vl -1 0"}, {"put -- -n", "put -n / -1 0"}, {"put - --transfers=64", "put - / -1 64"},
      {"put -h a b --bogus", "put a b /h -1 0"}, {"--dry-run", "!missing command"}, {"put", "!put needs a path"},
      {"sync --dry-runs", "!unknown option '--dry-runs'"}, {"-nx sync", "!unknown option '-x'"},
      {"sync --max-delete", opt + "--max-delete' needs a value"}, {"sync --max-delete=101", range + "101'"},
      {"sync --transfers=65", opt + "--transfers' takes a number from 1 to 64, not '65'"},
      {"sync --verbose=yes", opt + "--verbose' takes no value"}, {"sync --max-delete -5", range + "-5'"},
      {"list -n", opt + "-n' does not apply to list"}, {"get a --dry-run", opt + "--dry-run' does not apply to get"},
      {"get a --transfers 2", opt + "--transfers' does not apply to get"}, {"foo", "!unknown command 'foo'"},
      {"init somewhere", "!extra operand 'somewhere'"},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(parsed_line(line), expected) << line;
}

}  // namespace
