// Carries out the steps of a sync plan, phase after phase: compare the keys
// changed on both sides; move conflicting entries aside and clear places
// for entries of another kind; make folders and download; delete here;
// upload; delete in the store. Each phase starts when the one before has
// ended; within a phase the transfers run on several workers. A step that
// fails leaves its key as it was on both sides and never stops the others.
// Every finished step prints its line at once, whole. Output goes through
// `print`, which is called under a lock.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kuvet/kuvet.h"
#include "kuvet/manifest.h"
#include "kuvet/sync_plan.h"

namespace sync_exec {

enum class result : uint8_t {
  done,     // every step of the key succeeded
  failed,   // a step failed (and said why)
  kept,     // left as it was on purpose (changed while the run was busy, a folder not empty)
  refused,  // the store refused a conditional write: its object is another version
  lost,     // the store lacks an object .manifest lists
};

struct outcome {
  result status = result::done;
  entry agreed;      // what both sides hold after the steps (its etag in `etag`)
  std::string etag;
  bool changed_here = false;  // the folder was changed to follow the store
  std::string written;        // the ETag of an object sent but not agreed on
};

struct context {
  const kuvet* store;
  const manifest* record;
  const manifest* local;
  const manifest* remote;
  int workers = 1;
  bool conditional_puts = false;
  bool conditional_deletes = false;
  const std::map<std::string, std::string>* written = nullptr;  // see sync_record
  std::function<void(const std::string&)> print;
  std::function<void()> step_done;  // after each transfer or deletion in the store
};

// The rows of `plan` that have steps, in key order.
std::vector<size_t> steps_of(const sync_plan::plan& plan);

// Runs the steps of the rows `steps` names; one outcome per step.
std::vector<outcome> execute(const context& c, const sync_plan::plan& plan,
                             const std::vector<size_t>& steps);

// The lines a dry run prints for the plan: the markers of what would be done.
std::vector<std::string> describe(const sync_plan::plan& plan, const manifest& local,
                                  const manifest& remote);

}  // namespace sync_exec
