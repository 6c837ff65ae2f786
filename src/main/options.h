// The command line read GNU style: short flags (bundled: -nv), long options
// (--max-delete=50 or --max-delete 50), "--" ending the options, options
// before or after the command. Pure: no I/O, no global state.
#pragma once
#include <string>
#include <vector>

namespace cli {

struct options {
  std::string command;                // "" when none was given
  std::vector<std::string> operands;  // the arguments after the command
  bool help = false;                  // -h, --help
  bool version = false;               // --version
  bool dry_run = false;               // -n, --dry-run (sync, put, del)
  bool verbose = false;               // -v, --verbose (every command)
  bool bytes = false;                 // -l, --bytes (list)
  int max_delete = -1;                // --max-delete PERCENT (sync); -1 when not given
  int transfers = 0;                  // --transfers N (sync, get, put); 0 when not given
  // The one line naming a misuse (unknown option or command, an option the
  // command does not take, a bad value, a missing or extra operand); "" when
  // the line is usable. --help and --version are answered even then.
  std::string error;
};

// Reads the arguments after the program name.
options parse_options(const std::vector<std::string>& args);

}  // namespace cli
