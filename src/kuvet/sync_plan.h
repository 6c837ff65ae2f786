// The decisions of a sync, as a pure function of three states of every key:
// R, what this folder and the store agreed on when the last run finished
// (the record); L, the folder now; M, the store's .manifest now. Changed
// here = L differs from R (present or not, file or folder, size, time);
// changed in the store = M differs from R. Nothing else decides: no time is
// taken as newer than another.
//   changed on neither side     nothing to do
//   changed on one side only    that side's state is carried to the other
//   changed on both sides       absent on both: nothing; present on one: it
//                               wins (an edit beats a deletion); files on
//                               both: compared (same bytes agree, otherwise
//                               the store's version takes the name and this
//                               folder's is kept as a conflict copy); a file
//                               against a folder: the store's takes the name
// A folder that still holds entries that stay is never removed: the side
// that removed it gets it back. No record at all is an empty R, so a first
// run deletes nothing. Keeps no state; safe from any thread.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kuvet/manifest.h"

namespace sync_plan {

// What becomes of a key here.
enum class here_op : uint8_t {
  none,
  fetch,         // download the store's file (replacing what is here when `clear`)
  make_folder,   // create the folder (removing the file here first when `clear`)
  remove,        // delete the file, or the folder once it is empty
  aside_fetch,   // move what is here to a conflict name, then download the store's file
  aside_folder,  // move the file here to a conflict name, then create the folder
  reconcile,     // both sides hold a new file: compare, then agree or fetch as a conflict
};

// What becomes of a key in the store (requests; folders live only in .manifest).
enum class store_op : uint8_t {
  none,
  send,   // upload this folder's file
  erase,  // delete the object
};

// Whose state the key ends in, on both sides, when every step succeeds.
enum class winner : uint8_t {
  agreed,  // unchanged: the record's
  here,    // this folder's
  store,   // the store's
  nobody,  // absent on both sides
  frozen,  // left alone on both sides (and in the record)
};

// Why a key is left alone; the executor says so where the user should know.
enum class frozen_by : uint8_t { none, special, ignored, lost, conflict_copy };

// The precondition on the object's current version for send and erase.
enum class version_check : uint8_t { none, match, absent };

const uint32_t missing = UINT32_MAX;

struct row {
  std::string_view key;
  uint32_t r = missing, l = missing, m = missing;  // positions in the three maps
  here_op here = here_op::none;
  store_op there = store_op::none;
  winner wins = winner::agreed;
  frozen_by frozen = frozen_by::none;
  version_check check = version_check::none;
  bool clear = false;      // `fetch` / `make_folder` replace an entry that is here
  bool unknown = false;    // the store's object is not the version M lists
};

struct input {
  const manifest* record;  // R; empty when there is none
  const manifest* local;   // L
  const manifest* store;   // M
  // Keys whose object in the store is another version than M lists (a
  // conditional write was refused), and keys M lists whose object is gone.
  std::function<bool(std::string_view)> unknown;
  std::function<bool(std::string_view)> lost;
  // Local entries that are neither files nor folders, and ignored keys.
  std::function<bool(std::string_view)> special;
  std::function<bool(std::string_view, bool folder)> ignored;
};

struct plan {
  std::vector<row> rows;        // every key of R, L and M, in key order
  size_t removals_here = 0;     // files and folders this run would delete here
  size_t removals_store = 0;    // ... and in the store
  bool changes = false;         // anything to do at all
};

// Changed here: L differs from R. Sizes and times in nanoseconds count when
// R knows them (an earlier version recorded whole seconds only).
bool changed_here(const entry& r, const entry& l);
// Changed in the store: M differs from R (folders by kind only).
bool changed_in_store(const entry& r, const entry& m);

plan make_plan(const input& in);

}  // namespace sync_plan
