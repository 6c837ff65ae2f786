// How one sync runs, as the command line and ".kuvet" set it.
#pragma once
#include <functional>
#include <string_view>

struct sync_options {
  bool dry_run = false;  // print what would be done; change nothing anywhere
  int max_delete = -1;   // percent of the recorded entries a run may delete per side; -1: .kuvet's or 50
  int transfers = 0;     // transfers at once; 0: .kuvet's or the default
  bool verbose = false;
  // Keys to leave alone on both sides (the folder's ignore rules).
  std::function<bool(std::string_view key, bool folder)> ignored;
};
