// The command-line front end: checks the arguments and ".kuvet", runs one
// command and returns the process exit status. Works on the current directory.
// Every message goes to standard output as one line. Single-threaded.
#pragma once
#include <string>

#include "var/var.h"

namespace cli {

// Set before main: SIGPIPE is ignored, so a write to a connection the peer
// closed fails with an error instead of ending the process.
extern const bool ignore_sigpipe_called;

// Runs the command named by argv[1] (with the path argv[2], if any) and
// returns the exit status: 0 on success, 1 on any reported failure.
int run(int argc, char** argv);

// Turns the text of ".kuvet" into the configuration object. On failure
// returns false and sets *problem to what is wrong ("empty file", "not an
// object" or the JSON reader's message); *config is then left null.
bool parse_config(const std::string& text, var* config, std::string* problem);

}  // namespace cli
