// The sync's decisions, one table row per combination of the three states.
#include "kuvet/sync_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace sync_plan;

// A state: "-" absent, "D" a folder, "f1" the recorded file, "f2" another
// version (another time and size). Only the record knows ETags, and the
// store's .manifest knows times alone.
void put(manifest& map, const std::string& key, const std::string& s, char side) {
  entry e;
  e.kind = s == "D" ? entry_kind::folder : s[0] == 'f' ? entry_kind::file : entry_kind::none;
  if (e.kind == entry_kind::file) {
    e.time = 100 * (s[1] - '0');
    e.size = side == 'M' ? -1 : e.time / 10;
    e.mtime_ns = side == 'M' ? -1 : e.time * 1000000000;
    e.etag = side == 'R' ? "\"e\"" : "";
  }
  if (e.present()) map.add(key, e);
}

// "here there:check wins", "+clear" when the place is cleared first.
std::string describe(const row& x) {
  const char* here[] = {".", "fetch", "make_folder", "remove", "aside_fetch", "aside_folder", "reconcile"};
  const char* there[] = {".", "send", "erase"};
  const char* check[] = {":any", ":match", ":absent"};
  const char* wins[] = {"agreed", "here", "store", "nobody", "frozen"};
  return std::string(here[int(x.here)]) + (x.clear ? "+clear" : "") + " " + there[int(x.there)] +
         (x.there == store_op::none ? "" : check[int(x.check)]) + " " + wins[int(x.wins)];
}

struct world {
  manifest r, l, m;
  std::set<std::string> unknown, lost, special, ignored;

  // Adds key with its three states, "R L M".
  world& key(const std::string& key, const std::string& states) {
    size_t a = states.find(' '), b = states.rfind(' ');
    put(r, key, states.substr(0, a), 'R');
    put(l, key, states.substr(a + 1, b - a - 1), 'L');
    put(m, key, states.substr(b + 1), 'M');
    return *this;
  }

  plan decide() {
    for (manifest* side : {&r, &l, &m}) side->sort();
    auto in_set = [](const std::set<std::string>& set) {
      return [&set](std::string_view k) { return set.count(std::string(k)) > 0; };
    };
    input in{&r, &l, &m, in_set(unknown), in_set(lost), in_set(special),
             [this](std::string_view k, bool) { return ignored.count(std::string(k)) > 0; }};
    return make_plan(in);
  }
};

// One key, every combination of R, L and M (files in versions 1 and 2,
// folders). R "-" is also a folder's first sync: nothing is deleted then.
TEST(SyncPlan, DecisionTable) {
  struct {
    const char* states;  // R L M
    const char* decision;
  } table[] = {
      // No record: whatever is on one side is carried; both sides present is a change on both.
      {"- - f1", "fetch . store"}, {"- - D", "make_folder . store"}, {"- f1 -", ". send:absent here"},
      {"- f1 f1", "reconcile . store"}, {"- f1 D", "aside_folder . store"}, {"- D -", ". . here"},
      {"- D f1", "fetch+clear . store"}, {"- D D", ". . store"},
      // A recorded file.
      {"f1 - -", ". . nobody"}, {"f1 - f1", ". erase:match nobody"}, {"f1 - f2", "fetch . store"},
      {"f1 - D", "make_folder . store"}, {"f1 f1 -", "remove . nobody"}, {"f1 f1 f1", ". . agreed"},
      {"f1 f1 f2", "fetch . store"}, {"f1 f1 D", "make_folder+clear . store"}, {"f1 f2 -", ". send:absent here"},
      {"f1 f2 f1", ". send:match here"}, {"f1 f2 f2", "reconcile . store"}, {"f1 f2 D", "aside_folder . store"},
      {"f1 D -", ". . here"}, {"f1 D f1", ". erase:match here"}, {"f1 D f2", "fetch+clear . store"},
      {"f1 D D", ". . store"},
      // A recorded folder.
      {"D - -", ". . nobody"}, {"D - f1", "fetch . store"}, {"D - D", ". . nobody"},
      {"D f1 -", ". send:absent here"}, {"D f1 f1", "reconcile . store"}, {"D f1 D", ". send:absent here"},
      {"D D -", "remove . nobody"}, {"D D f1", "fetch+clear . store"}, {"D D D", ". . agreed"},
  };
  for (const auto& t : table) {
    plan p = world().key("k", t.states).decide();
    ASSERT_EQ(p.rows.size(), 1u) << t.states;
    EXPECT_EQ(describe(p.rows[0]), t.decision) << "R L M = " << t.states;
  }
}

// Keys whose state is not a plain file or folder on both sides.
TEST(SyncPlan, MarkedKeys) {
  struct {
    const char* states;
    const char* mark;
    const char* decision;
  } table[] = {
      // The store refused a write of ours: its object is another version.
      {"f1 f1 f1", "unknown", "fetch . store"}, {"f1 f2 f1", "unknown", "reconcile . store"},
      {"f1 - f1", "unknown", "fetch . store"}, {"- f1 f1", "unknown", "reconcile . store"},
      // .manifest lists an object the store lacks: nothing is done either way.
      {"f1 f1 f2", "lost", ". . frozen"}, {"f1 f2 f2", "lost", ". . frozen"},
      // Left alone on both sides, however they differ.
      {"f1 f2 -", "special", ". . frozen"}, {"f1 - f2", "ignored", ". . frozen"},
      {"- f1 f1", "ignored", ". . frozen"},
  };
  for (const auto& t : table) {
    world w;
    std::map<std::string, std::set<std::string>*> marks = {
        {"unknown", &w.unknown}, {"lost", &w.lost}, {"special", &w.special}, {"ignored", &w.ignored}};
    marks[t.mark]->insert("k");
    EXPECT_EQ(describe(w.key("k", t.states).decide().rows[0]), t.decision) << t.states << " " << t.mark;
  }
  // Conflict copies stay where they are; one that .manifest lists is dropped.
  plan p = world().key("a.CONFLICT", "- f1 -").key("b.CONFLICT/x", "- f1 -").key("c.CONFLICT", "- - f1").decide();
  EXPECT_EQ(describe(p.rows[0]), ". . frozen");
  EXPECT_EQ(describe(p.rows[1]), ". . frozen");
  EXPECT_EQ(describe(p.rows[2]), ". . nobody");
  EXPECT_FALSE(p.changes);
}

// A folder with entries that stay is never removed on the side that keeps
// them; an entry of another kind that takes its place moves it aside.
TEST(SyncPlan, FoldersThatStillHoldEntries) {
  struct {
    std::vector<std::pair<const char*, const char*>> keys;  // key, "R L M"
    std::vector<const char*> decisions;                     // in key order
  } table[] = {
      // The store removed d; here it holds a new file: d stays and comes back.
      {{{"d", "D D -"}, {"d/old", "f1 f1 -"}, {"d/new", "- f1 -"}},
       {". . here", ". send:absent here", "remove . nobody"}},
      // ... holding only what it deletes, d goes.
      {{{"d", "D D -"}, {"d/old", "f1 f1 -"}}, {"remove . nobody", "remove . nobody"}},
      // The store made d a file; here d holds a new file: the folder moves aside.
      {{{"d", "D D f1"}, {"d/new", "- f1 -"}}, {"aside_fetch . store", ". . nobody"}},
      {{{"d", "D D f1"}, {"d/old", "f1 f1 -"}}, {"fetch+clear . store", "remove . nobody"}},
      // Removed here while the store put something new into it: it comes back.
      {{{"d", "D - D"}, {"d/old", "f1 - f1"}, {"d/new", "- - f1"}},
       {"make_folder . store", "fetch . store", ". erase:match nobody"}},
      // Made a file here while the store put something new into the folder.
      {{{"d", "D f1 D"}, {"d/new", "- - f1"}}, {"aside_folder . store", "fetch . store"}},
      {{{"d", "D f1 D"}, {"d/old", "f1 - f1"}}, {". send:absent here", ". erase:match nobody"}},
      // Only a local conflict copy is left: not published again (rmdir keeps it).
      {{{"d", "D D -"}, {"d/x.CONFLICT", "- f1 -"}}, {"remove . nobody", ". . frozen"}},
  };
  for (const auto& t : table) {
    world w;
    for (const auto& k : t.keys) w.key(k.first, k.second);
    std::vector<std::string> got;
    for (const row& x : w.decide().rows) got.push_back(describe(x));
    EXPECT_EQ(got, std::vector<std::string>(t.decisions.begin(), t.decisions.end())) << t.keys[1].first;
  }
}

TEST(SyncPlan, RemovalsAreCountedPerSide) {
  world w;
  w.key("a", "f1 f1 -").key("b", "f1 f1 -").key("c", "f1 - f1").key("d", "D - D").key("e", "f1 f1 f1");
  plan p = w.decide();
  EXPECT_EQ(p.removals_here, 2u);
  EXPECT_EQ(p.removals_store, 2u);
  EXPECT_TRUE(p.changes);
  EXPECT_FALSE(world().key("a", "f1 f1 f1").key("d", "D D D").decide().changes);
}

// Times in nanoseconds and sizes count when the record has them; a record of
// whole seconds only (an earlier version's) compares the seconds.
TEST(SyncPlan, WhatCountsAsAChangeHere) {
  entry r, l;
  r.kind = l.kind = entry_kind::file;
  r.time = l.time = 100;
  l.size = 5;
  l.mtime_ns = 100000000001;
  EXPECT_FALSE(changed_here(r, l));  // seconds only
  r.mtime_ns = 100000000000;
  EXPECT_TRUE(changed_here(r, l));   // the same second, another nanosecond
  r.mtime_ns = l.mtime_ns;
  r.size = 4;
  EXPECT_TRUE(changed_here(r, l));   // the same time, another size
  entry m = r;
  m.time = 99;
  EXPECT_TRUE(changed_in_store(r, m));
  r.kind = m.kind = entry_kind::folder;
  EXPECT_FALSE(changed_in_store(r, m));  // a folder's time is no change
}

}  // namespace
