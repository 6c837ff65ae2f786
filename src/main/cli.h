// The command-line front end: checks the arguments and ".kuvet", runs one
// command and returns the process exit status. Works on the current directory.
#pragma once

namespace cli {

int run(int argc, char** argv);

}  // namespace cli
