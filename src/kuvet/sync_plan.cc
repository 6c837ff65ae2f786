#include "kuvet/sync_plan.h"

#include <algorithm>

#include "kuvet/keys.h"

namespace sync_plan {

bool changed_here(const entry& r, const entry& l) {
  if (r.kind != l.kind) return true;
  if (r.kind != entry_kind::file) return false;
  if (r.size >= 0 && r.size != l.size) return true;
  if (r.mtime_ns >= 0) return r.mtime_ns != l.mtime_ns;
  return r.time != l.time;
}

bool changed_in_store(const entry& r, const entry& m) {
  if (r.kind != m.kind) return true;
  return r.kind == entry_kind::file && r.time != m.time;
}

namespace {

class planner {
 public:
  explicit planner(const input& in) : in(in) {}

  plan run() {
    merge();
    // Backwards, so that what is inside a folder is decided before the folder.
    for (size_t i = out.rows.size(); i-- > 0;) decide(i);
    for (const row& x : out.rows) {
      bool unlisted = x.wins == winner::nobody && x.m != missing && x.frozen == frozen_by::none;
      if (x.here == here_op::remove) out.removals_here++;
      if (x.there == store_op::erase || (unlisted && m_of(x).kind == entry_kind::folder))
        out.removals_store++;
      if (x.here != here_op::none || x.there != store_op::none || unlisted ||
          (x.wins == winner::here && x.l != missing))
        out.changes = true;
    }
    return std::move(out);
  }

 private:
  entry r_of(const row& x) const { return x.r == missing ? entry() : in.record->at(x.r); }
  entry l_of(const row& x) const { return x.l == missing ? entry() : in.local->at(x.l); }
  entry m_of(const row& x) const { return x.m == missing ? entry() : in.store->at(x.m); }

  // The rows of every key of the three maps, in key order.
  void merge() {
    const manifest& r = *in.record;
    const manifest& l = *in.local;
    const manifest& m = *in.store;
    out.rows.reserve(std::max(r.size(), std::max(l.size(), m.size())));
    size_t i = 0, j = 0, k = 0;
    while (i < r.size() || j < l.size() || k < m.size()) {
      std::string_view key;
      bool any = false;
      auto lowest = [&](const manifest& map, size_t at) {
        if (at < map.size() && (!any || map.key(at) < key)) {
          key = map.key(at);
          any = true;
        }
      };
      lowest(r, i);
      lowest(l, j);
      lowest(m, k);
      row x;
      x.key = key;
      if (i < r.size() && r.key(i) == key) x.r = uint32_t(i++);
      if (j < l.size() && l.key(j) == key) x.l = uint32_t(j++);
      if (k < m.size() && m.key(k) == key) x.m = uint32_t(k++);
      out.rows.push_back(x);
    }
  }

  // The rows inside folder `key`: [first, last).
  std::pair<size_t, size_t> inside(std::string_view key) const {
    std::string prefix = std::string(key) + "/";
    auto less = [](const row& x, const std::string& k) { return x.key < k; };
    auto first = std::lower_bound(out.rows.begin(), out.rows.end(), prefix, less);
    auto last = first;
    while (last != out.rows.end() && last->key.compare(0, prefix.size(), prefix) == 0) ++last;
    return {size_t(first - out.rows.begin()), size_t(last - out.rows.begin())};
  }

  // Whether folder `key` here still holds an entry that the plan does not
  // delete; with `synced_only`, one that takes part in the sync.
  bool stays_here(std::string_view key, bool synced_only) const {
    auto range = inside(key);
    for (size_t j = range.first; j < range.second; j++) {
      const row& x = out.rows[j];
      if (x.l == missing || x.here == here_op::remove) continue;
      if (x.here == here_op::aside_fetch || x.here == here_op::aside_folder) continue;
      if (synced_only && x.frozen != frozen_by::none) continue;
      return true;
    }
    return false;
  }

  // Whether folder `key` in the store still holds an entry the plan keeps.
  bool stays_in_store(std::string_view key) const {
    auto range = inside(key);
    for (size_t j = range.first; j < range.second; j++) {
      const row& x = out.rows[j];
      if (x.m == missing || x.there == store_op::erase || x.wins == winner::nobody) continue;
      if (x.frozen == frozen_by::conflict_copy) continue;
      return true;
    }
    return false;
  }

  // What was inside a folder moved aside is no longer here.
  void moved_aside(std::string_view key) {
    auto range = inside(key);
    for (size_t j = range.first; j < range.second; j++) {
      row& x = out.rows[j];
      if (x.l == missing) continue;
      x = row{x.key, x.r, missing, x.m};
      decide_with(x, r_of(x), entry(), m_of(x));
    }
  }

  void decide(size_t i) {
    row& x = out.rows[i];
    entry r = r_of(x), l = l_of(x), m = m_of(x);
    bool folder = l.kind == entry_kind::folder || (l.kind == entry_kind::none && m.kind == entry_kind::folder);
    if (keys::is_conflict_copy(x.key)) {
      x.frozen = frozen_by::conflict_copy;  // stays here; a store entry of one is dropped
      x.wins = x.l != missing ? winner::frozen : winner::nobody;
      return;
    }
    if (x.l != missing && in.special && in.special(x.key)) return freeze(x, frozen_by::special);
    if (in.ignored && in.ignored(x.key, folder)) return freeze(x, frozen_by::ignored);
    x.unknown = x.m != missing && in.unknown && in.unknown(x.key);
    decide_with(x, r, l, m);
    if (x.here == here_op::aside_fetch && l.kind == entry_kind::folder) moved_aside(x.key);
  }

  static void freeze(row& x, frozen_by why) {
    x.frozen = why;
    x.wins = winner::frozen;
  }

  void decide_with(row& x, const entry& r, const entry& l, const entry& m) {
    using k = entry_kind;
    bool here = changed_here(r, l);
    bool there = x.unknown || changed_in_store(r, m);
    bool lost = m.present() && in.lost && in.lost(x.key);
    if (!here && !there) {
      x.wins = r.present() ? winner::agreed : winner::nobody;
      return;
    }
    if (here && !there) return carry_here(x, r, l, m);
    if (lost) return freeze(x, frozen_by::lost);
    if (!here) return carry_store(x, l, m);
    // Changed on both sides.
    if (!l.present() && !m.present()) {
      x.wins = winner::nobody;
    } else if (!m.present()) {
      x.wins = winner::here;
      if (l.kind == k::file) send(x, version_check::absent);
    } else if (!l.present()) {
      x.wins = winner::store;
      x.here = m.kind == k::file ? here_op::fetch : here_op::make_folder;
    } else if (l.kind == k::folder && m.kind == k::folder) {
      x.wins = winner::store;
    } else if (l.kind == k::file && m.kind == k::file) {
      x.wins = winner::store;
      x.here = here_op::reconcile;
    } else if (m.kind == k::file) {  // a folder here, a file in the store
      x.wins = winner::store;
      fetch_over_folder(x);
    } else {  // a file here, a folder in the store
      x.wins = winner::store;
      x.here = here_op::aside_folder;
    }
  }

  // Changed here only: this folder's state goes to the store.
  void carry_here(row& x, const entry& r, const entry& l, const entry& m) {
    using k = entry_kind;
    x.wins = l.present() ? winner::here : winner::nobody;
    if (l.kind == k::file) {
      if (r.kind == k::folder && stays_in_store(x.key)) {
        // The store still holds entries inside the folder this file replaced.
        x.wins = winner::store;
        x.here = here_op::aside_folder;
        return;
      }
      send(x, r.kind != k::file ? version_check::absent
                                : r.etag.empty() ? version_check::none : version_check::match);
    } else if (l.kind == k::folder) {
      if (r.kind == k::file) erase(x, r);
    } else if (r.kind == k::file) {
      erase(x, r);
    } else if (r.kind == k::folder && m.present() && stays_in_store(x.key)) {
      x.wins = winner::store;  // removed here, but the store still has things in it
      x.here = here_op::make_folder;
    }
  }

  // Changed in the store only: its state comes here.
  void carry_store(row& x, const entry& l, const entry& m) {
    using k = entry_kind;
    x.wins = m.present() ? winner::store : winner::nobody;
    if (m.kind == k::file) {
      if (l.kind == k::folder) {
        fetch_over_folder(x);
      } else {
        x.here = here_op::fetch;  // a file here is replaced whole, once the new one is in
      }
    } else if (m.kind == k::folder) {
      if (l.kind != k::folder) x.here = here_op::make_folder;
      x.clear = l.kind == k::file;
    } else if (l.kind == k::file) {
      x.here = here_op::remove;
    } else if (l.kind == k::folder) {
      if (stays_here(x.key, true)) {
        x.wins = winner::here;  // it still holds what this folder keeps: it stays
      } else {
        x.here = here_op::remove;
      }
    }
  }

  // The store's file takes the place of a folder here: the folder goes once
  // emptied by this run, or is moved aside when something in it stays.
  void fetch_over_folder(row& x) {
    if (stays_here(x.key, false)) {
      x.here = here_op::aside_fetch;
    } else {
      x.here = here_op::fetch;
      x.clear = true;
    }
  }

  static void send(row& x, version_check check) {
    x.there = store_op::send;
    x.check = check;
  }

  static void erase(row& x, const entry& r) {
    x.there = store_op::erase;
    x.check = r.etag.empty() ? version_check::none : version_check::match;
  }

  const input& in;
  plan out;
};

}  // namespace

plan make_plan(const input& in) { return planner(in).run(); }

}  // namespace sync_plan
