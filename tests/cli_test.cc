// The command line's set-up before main. Referring to cli.cc links it into
// this binary too, so its initialisers run here as in the program: SIGPIPE
// ignored and the system's OpenSSL bound (the TLS tests rely on both).
#include "main/cli.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace {

TEST(Cli, SigpipeIsIgnoredBeforeMain) {
  EXPECT_TRUE(cli::ignore_sigpipe_called);
  struct sigaction action;
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
}

}  // namespace
