// kuvet::sync: one run of the two-way sync of the current folder with the
// store. It reads three states (the folder's record of the last agreement,
// a walk of the folder, the store's .manifest), plans from them
// (sync_plan), carries the plan out (sync_exec), and publishes the new
// .manifest on condition that nobody published since it was read; when
// somebody did, or refused one of its writes, it reads again and plans
// again from what it now knows, a few rounds at most. The record is saved
// last, so a run that stops anywhere leaves the next one to finish.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "base/file.h"
#include "base/text.h"
#include "base/utf8.h"
#include "kuvet/folder_scan.h"
#include "kuvet/keys.h"
#include "kuvet/kuvet.h"
#include "kuvet/multipart.h"
#include "kuvet/sync_exec.h"
#include "kuvet/sync_options.h"
#include "kuvet/sync_plan.h"
#include "kuvet/sync_progress.h"
#include "kuvet/sync_record.h"
#include "kuvet/temp_file.h"

namespace {

using sync_exec::result;
using sync_plan::missing;
using sync_plan::row;
using sync_plan::winner;

const char revision_file[] = "_revision";
const int max_rounds = 3;
const size_t always_deletable = 20;  // deletions a run may make in any folder

// Holds an exclusive lock on ".kuvet" for the run, so that two runs in one
// folder (an overlapping cron job) cannot interleave.
class folder_lock {
 public:
  folder_lock() : fd(open(".kuvet", O_RDONLY | O_CLOEXEC)) {}
  ~folder_lock() {
    if (fd >= 0) close(fd);
  }
  // False only when another process holds the lock.
  bool acquire() { return fd < 0 || (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK); }

 private:
  int fd;
};

// The store's .manifest as one read found it.
struct store_view {
  bool exists = false;     // the store has one
  bool unchanged = false;  // it is the one the record agrees with (not sent again)
  manifest_text text;
  std::string etag;
};

// A write to the store that .manifest does not list yet: what the key held
// in the manifest the write was planned from, and what it holds now.
struct unpublished {
  entry before;
  entry now;
  // What the record held for the key before this run wrote it (its ETag
  // kept here, since the record it came from goes away).
  entry recorded;
  std::string recorded_etag;
  std::string sent_etag;  // the object this run wrote, when it wrote one
};

bool same_state(const entry& a, const entry& b) {
  return a.kind == b.kind && (a.kind != entry_kind::file || a.time == b.time);
}

class sync_run {
 public:
  sync_run(kuvet& store, const sync_options& options, const std::function<void(const std::string&)>& print)
      : store(store), options(options), print(print) {}

  bool run() {
    folder_lock lock;
    if (!lock.acquire()) {
      print("Error! Another kuvet sync is running in this folder.");
      return false;
    }
    if (!load_record()) return false;
    // Uploads in parts that an interrupted run left unfinished go first.
    upload_journal journal;
    store.journal = &journal;
    struct forget {
      kuvet& store;
      ~forget() { store.journal = nullptr; }
    } forgotten{store};
    std::string unaborted = multipart::abort_unfinished(store, journal);
    if (!unaborted.empty()) print(unaborted);
    for (int round = 1; round <= max_rounds; round++) {
      int step = one_round(round);
      if (step == finished) return !failed;
      if (step == stopped) return save_unfinished();
    }
    print("Error! Other clients kept changing the store during this run; run sync again.");
    return save_unfinished();
  }

 private:
  enum { finished, stopped, next_round };

  bool load_record() {
    std::string problem;
    if (!sync_record::load(store.url, &rec, &problem)) {
      print(std::string("Warning! ") + sync_record::file_name + " " + problem +
            ": nothing will be deleted on either side this time.");
    }
    agreed = std::move(rec.entries);
    return true;
  }

  // Reads the store's .manifest; false after saying why it cannot be used.
  bool read_store(bool may_be_unchanged, store_view* view) {
    kuvet::request r;
    r.key = ".manifest";
    r.max_body = kuvet::manifest_limit;
    if (may_be_unchanged) r.headers.emplace_back("If-None-Match", rec.manifest_etag);
    http::reply reply = store.send(r);
    if (reply.complete && reply.status == 304 && may_be_unchanged) {
      view->exists = view->unchanged = true;
      view->etag = rec.manifest_etag;
      return true;
    }
    if (reply.ok()) {
      std::string problem;
      if (!parse_manifest(reply.body, &view->text, &problem)) {
        print("Error! The store's .manifest is damaged (" + problem +
              "): repair or remove it. Nothing was changed.");
        return false;
      }
      view->exists = true;
      view->etag = reply.header("etag");
      return true;
    }
    // Only "no such key" means an empty store; anything else leaves the
    // store's content unknown, and nothing may be decided from that.
    if (reply.complete && reply.status == 404 && reply.body.find("NoSuchBucket") == std::string::npos)
      return true;
    if (!reply.error.empty()) print(reply.error);
    if (reply.head.empty()) {
      print("Error! Could not read the store's .manifest. Nothing was changed.");
    } else {
      print("Error! Could not read the store's .manifest (" + reply.head.substr(0, reply.head.find("\r\n")) +
            "). Nothing was changed.");
      print(reply.head + reply.body.substr(0, 65536));
    }
    return false;
  }

  // The store as this run must see it: what it read, with this run's own
  // writes that no .manifest lists yet, unless another client has since
  // published something else for their keys.
  manifest effective_store(const manifest& read) {
    manifest out;
    out.reserve(read.size() + pending.size());
    size_t i = 0;
    auto p = pending.begin();
    while (i < read.size() || p != pending.end()) {
      if (p == pending.end() || (i < read.size() && read.key(i) < p->first)) {
        auto v = vanished.find(std::string(read.key(i)));
        if (v == vanished.end() || !same_state(read.at(i), v->second)) out.add(read.key(i), read.at(i));
        i++;
        continue;
      }
      entry listed;
      if (i < read.size() && read.key(i) == p->first) listed = read.at(i++);
      entry e = same_state(listed, p->second.before) ? p->second.now : listed;
      if (e.present()) out.add(p->first, e);
      ++p;
    }
    return out;
  }

  // Refused keys the manifest does not list: the store holds some version.
  manifest with_unknown(manifest read) {
    bool any = false;
    for (const std::string& key : unknown) any = any || read.find(key) == manifest::npos;
    if (!any) return read;
    for (const std::string& key : unknown) {
      if (read.find(key) != manifest::npos) continue;
      entry e;
      e.kind = entry_kind::file;
      read.add(key, e);
    }
    read.sort();
    return read;
  }

  int one_round(int round) {
    store_view view;
    bool may_be_unchanged = round == 1 && rec.exists && !rec.manifest_etag.empty();
    if (!read_store(may_be_unchanged, &view)) return stopped;
    if (round == 1 && !view.exists && !agreed.empty()) {
      print("Warning! The store has no .manifest: this folder is merged with it as on a first sync, "
            "and nothing is deleted.");
      agreed = manifest();
    }
    folder_scan here = scan_folder(".", options.ignored);
    if (!here.complete) {
      print("Error! Could not read the folder " + base::printable(here.failed) + "; the run stops here.");
      return stopped;
    }
    for (const std::string& leftover : here.leftovers) unlink(leftover.c_str());
    std::set<std::string> special(here.special.begin(), here.special.end());

    manifest seen = view.unchanged ? manifest() : with_unknown(effective_store(view.text.entries));
    if (round == 1 && all_agree(here.entries, view.unchanged ? nullptr : &seen)) {
      for (const std::string& key : view.text.unsafe) print("Warning! Unsafe key skipped: " + base::printable(key));
      for (const std::string& key : here.unsafe) print("Warning! Unsafe key skipped: " + base::printable(key));
      return finished;
    }
    sync_plan::plan plan = make(here.entries, view.unchanged ? agreed : seen, special);
    if (view.unchanged && plan.changes) {
      // Something to publish: the whole .manifest is needed after all.
      view = store_view();
      if (!read_store(false, &view)) return stopped;
      seen = with_unknown(effective_store(view.text.entries));
      plan = make(here.entries, seen, special);
    }
    const manifest& remote = view.unchanged ? agreed : seen;
    if (round == 1) {
      for (const std::string& key : view.text.unsafe) print("Warning! Unsafe key skipped: " + base::printable(key));
      warn_skipped(plan, here);
    }
    if (!within_limits(plan)) return stopped;
    if (options.dry_run) {
      for (const std::string& line : sync_exec::describe(plan, here.entries, remote)) print(line);
      return finished;
    }
    if (plan.changes && rec.conditional.empty() && writes_to_store(plan)) probe_conditional();

    std::vector<size_t> steps = sync_exec::steps_of(plan);
    sync_progress progress(stderr, isatty(STDERR_FILENO) == 1);
    progress.expect(transfers_in(plan));
    store.progress_lines = false;
    store.on_bytes = [&progress](int64_t n) { progress.moved(n); };
    sync_exec::context c;
    c.store = &store;
    c.record = &agreed;
    c.local = &here.entries;
    c.remote = &remote;
    c.workers = workers();
    c.conditional_puts = rec.conditional == "yes" || rec.conditional == "puts";
    c.conditional_deletes = rec.conditional == "yes";
    c.written = &rec.written;
    c.print = [&progress, this](const std::string& line) {
      progress.clear();
      print(line);
    };
    c.step_done = [&progress]() { progress.file_done(); };
    std::vector<sync_exec::outcome> outcomes = sync_exec::execute(c, plan, steps);
    progress.clear();
    store.on_bytes = nullptr;
    return conclude(plan, steps, outcomes, here.entries, remote, view);
  }

  // True when the folder, and the store unless it is `nullptr` (then it is
  // known to be unchanged), hold just what the record says: nothing to do.
  // Checked before anything is planned, to spare a large folder the work.
  bool all_agree(const manifest& local, const manifest* remote) const {
    if (local.size() != agreed.size() || (remote != nullptr && remote->size() != agreed.size()))
      return false;
    for (size_t i = 0; i < agreed.size(); i++) {
      entry r = agreed.at(i);
      if (local.key(i) != agreed.key(i) || sync_plan::changed_here(r, local.at(i))) return false;
      if (remote != nullptr &&
          (remote->key(i) != agreed.key(i) || sync_plan::changed_in_store(r, remote->at(i))))
        return false;
    }
    return true;
  }

  sync_plan::plan make(const manifest& local, const manifest& remote, const std::set<std::string>& special) {
    sync_plan::input in;
    in.record = &agreed;
    in.local = &local;
    in.store = &remote;
    in.unknown = [this](std::string_view key) { return unknown.count(std::string(key)) > 0; };
    in.lost = [this](std::string_view key) { return lost.count(std::string(key)) > 0; };
    in.special = [&special](std::string_view key) { return special.count(std::string(key)) > 0; };
    in.ignored = options.ignored;
    return sync_plan::make_plan(in);
  }

  int workers() const {
    int n = options.transfers > 0 ? options.transfers : store.transfers;
    return std::max(1, n);
  }

  // Conflict copies stay here; the user is reminded of each, as of what
  // cannot be sent at all.
  void warn_skipped(const sync_plan::plan& plan, const folder_scan& here) {
    for (const row& x : plan.rows) {
      if (x.frozen != sync_plan::frozen_by::conflict_copy || x.l == missing) continue;
      size_t slash = x.key.rfind('/');
      if (slash != std::string::npos && keys::is_conflict_copy(x.key.substr(0, slash))) continue;
      print("Warning! Skipped: " + base::printable(std::string(x.key)));
    }
    for (const std::string& key : here.special) print("Warning! Not a regular file, skipped: " + base::printable(key));
    for (const std::string& key : here.unsafe) print("Warning! Unsafe key skipped: " + base::printable(key));
  }

  // A run that would delete more than max_delete percent of the recorded
  // entries on either side (and more than a small folder holds) stops first.
  bool within_limits(const sync_plan::plan& plan) {
    int percent = options.max_delete >= 0 ? options.max_delete : store.max_delete;
    size_t recorded = agreed.size();
    auto too_many = [&](size_t n) {
      return n > always_deletable && double(n) * 100 > double(percent) * double(recorded);
    };
    const char* side = too_many(plan.removals_here) ? "here" : too_many(plan.removals_store) ? "in the store" : nullptr;
    if (side == nullptr) return true;
    size_t n = too_many(plan.removals_here) ? plan.removals_here : plan.removals_store;
    print("Error! This run would delete " + std::to_string(n) + " of the " + std::to_string(recorded) +
          " recorded files and folders " + side + ", more than " + std::to_string(percent) +
          "%; nothing was changed. If that is what you want, raise max_delete in .kuvet "
          "(or run sync --max-delete 100 once).");
    return false;
  }

  static int64_t transfers_in(const sync_plan::plan& plan) {
    int64_t n = 0;
    for (const row& x : plan.rows) {
      using sync_plan::here_op;
      bool down = x.here == here_op::fetch || x.here == here_op::aside_fetch || x.here == here_op::reconcile;
      if (down || x.there != sync_plan::store_op::none) n++;
    }
    return n;
  }

  static bool writes_to_store(const sync_plan::plan& plan) {
    for (const row& x : plan.rows) {
      if (x.there != sync_plan::store_op::none) return true;
    }
    return false;
  }

  // Finds out once whether the store honours If-Match and If-None-Match on
  // writes, with a hidden object of its own; the answer is kept in the record.
  void probe_conditional() {
    std::string key = ".kuvet-probe-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    auto put = [&](const char* name, const char* value) {
      kuvet::request r;
      r.method = "PUT";
      r.key = key;
      r.body = "probe";
      r.headers.emplace_back(name, value);
      return store.send(r);
    };
    http::reply first = put("If-None-Match", "*");
    if (!first.ok() && first.status != 400 && first.status != 501) return;  // ask again next time
    bool puts = first.ok() && put("If-None-Match", "*").status == 412 &&
                put("If-Match", "\"00000000000000000000000000000000\"").status == 412;
    kuvet::transfer gone = store.del(key, kuvet::condition{kuvet::condition::match, "\"0\""});
    bool deletes = gone.status == 412;
    if (gone.ok) deletes = false;
    else store.del(key);
    rec.conditional = puts ? (deletes ? "yes" : "puts") : "no";
    if (!puts) {
      print("Warning! This store ignores conditional writes: syncs from several machines at the "
            "same moment are not protected against each other here.");
    }
  }

  // Turns the outcomes into the new record and .manifest, and publishes.
  int conclude(const sync_plan::plan& plan, const std::vector<size_t>& steps,
               const std::vector<sync_exec::outcome>& outcomes, const manifest& local,
               const manifest& remote, const store_view& view) {
    manifest next_record, next_store;
    bool store_changed = false, folder_changed = false, consistent = true, refused = false;
    std::map<std::string, unpublished> written;
    size_t s = 0;
    for (size_t i = 0; i < plan.rows.size(); i++) {
      const row& x = plan.rows[i];
      entry r = x.r == missing ? entry() : agreed.at(x.r);
      entry m = x.m == missing ? entry() : remote.at(x.m);
      entry l = x.l == missing ? entry() : local.at(x.l);
      entry new_r = r, new_m = m;
      bool stepped = s < steps.size() && steps[s] == i;
      const sync_exec::outcome* out = stepped ? &outcomes[s++] : nullptr;
      if (x.frozen == sync_plan::frozen_by::conflict_copy) {
        new_r = new_m = entry();
      } else if (x.frozen != sync_plan::frozen_by::none) {
        consistent = consistent && same_state(r, m);
      } else if (out == nullptr) {
        if (x.wins == winner::agreed) new_r = refreshed(r, l);
        if (x.wins == winner::store) new_r = m;
        if (x.wins == winner::nobody) new_r = entry();
      } else if (out->status == result::done) {
        rec.written.erase(std::string(x.key));
        new_r = out->agreed;
        new_r.etag = out->etag;
        bool store_side = x.there != sync_plan::store_op::none || x.unknown ||
                          x.wins == winner::here || x.wins == winner::nobody;
        if (store_side) new_m = out->agreed;
        if (!same_state(m, new_m)) {
          store_changed = true;
          unpublished w{m, new_m, r, std::string(r.etag),
                        x.there == sync_plan::store_op::send ? out->etag : std::string()};
          w.recorded.etag = std::string_view();
          written[std::string(x.key)] = w;
        }
        folder_changed = folder_changed || out->changed_here;
      } else {
        if (!out->written.empty()) rec.written[std::string(x.key)] = out->written;
        // Gone from the store after a write of ours was refused, or deleted by
        // this run itself: the store lacks it, and that is all.
        auto mine = pending.find(std::string(x.key));
        bool deleted_here = mine != pending.end() && !mine->second.now.present();
        bool gone = out->status == result::lost && (x.unknown || deleted_here);
        if (out->status == result::failed || (out->status == result::lost && !gone)) failed = true;
        if (out->status == result::lost && !gone) lost.insert(std::string(x.key));
        if (gone) {
          vanished[std::string(x.key)] = m;
          unknown.erase(std::string(x.key));
          refused = true;
        }
        if (out->status == result::refused) {
          unknown.insert(std::string(x.key));
          refused = true;
        }
        consistent = false;
      }
      if (new_r.present()) next_record.add(x.key, new_r);
      if (new_m.present()) next_store.add(x.key, new_m);
    }
    // This run's writes stand for what .manifest will list, in later rounds.
    for (auto& w : written) {
      auto known = pending.find(w.first);
      if (known != pending.end()) {
        w.second.before = known->second.before;
        w.second.recorded = known->second.recorded;
        w.second.recorded_etag = known->second.recorded_etag;
      }
      pending[w.first] = w.second;
    }
    executed = true;
    agreed = std::move(next_record);
    // Writes of earlier rounds that no .manifest lists yet need publishing too.
    store_changed = store_changed || !pending.empty();
    if (refused || (store_changed && !publish(next_store, view))) {
      return failed_publish ? stopped : next_round;
    }
    rec.entries = std::move(agreed);
    rec.manifest_etag = consistent ? (store_changed ? published_etag : view.etag) : "";
    save_record();
    if (store_changed) {
      print("New revision: " + base::num(double(new_revision)));
    } else if (folder_changed && view.exists) {
      if (view.text.revision > 0) write_revision(view.text.revision);
      print("At revision: " + base::num(double(view.text.revision)));
    }
    return finished;
  }

  // A run that ends without publishing keeps what it did here (downloads,
  // deletions here) in the record, but not its writes to the store that no
  // .manifest lists: for those the record keeps what it held before, and
  // notes the objects written, so that the next run starts from the truth.
  bool save_unfinished() {
    if (!executed) return false;
    manifest entries;
    entries.reserve(agreed.size() + pending.size());
    size_t i = 0;
    auto p = pending.begin();
    while (i < agreed.size() || p != pending.end()) {
      if (p == pending.end() || (i < agreed.size() && agreed.key(i) < p->first)) {
        entries.add(agreed.key(i), agreed.at(i));
        i++;
        continue;
      }
      if (i < agreed.size() && agreed.key(i) == p->first) i++;
      entry before = p->second.recorded;
      before.etag = p->second.recorded_etag;
      if (before.present()) entries.add(p->first, before);
      if (!p->second.sent_etag.empty()) rec.written[p->first] = p->second.sent_etag;
      ++p;
    }
    rec.entries = std::move(entries);
    rec.manifest_etag.clear();
    save_record();
    return false;
  }

  // The record's entry, completed with what the walk knows of the file.
  static entry refreshed(entry r, const entry& l) {
    if (r.kind == entry_kind::file && l.kind == entry_kind::file) {
      r.size = l.size;
      r.mtime_ns = l.mtime_ns;
    }
    return r;
  }

  // Publishes `entries` as the new .manifest, on condition that the store
  // still has the one this round read. False when another client published
  // first (then another round follows) or the upload failed (failed_publish).
  bool publish(const manifest& entries, const store_view& view) {
    double local_revision = strtod(base::load(revision_file).c_str(), nullptr);
    int64_t now = int64_t(time(nullptr));
    new_revision = std::max(now, view.text.revision + 1);
    if (local_revision >= double(new_revision) && local_revision < 9e15) new_revision = int64_t(local_revision) + 1;
    kuvet::request r;
    r.method = "PUT";
    r.key = ".manifest";
    r.body = write_manifest(entries, view.text.foreign, new_revision);
    r.headers.emplace_back("Content-Type", "application/json");
    if (rec.conditional == "yes" || rec.conditional == "puts") {
      if (view.exists && !view.etag.empty()) r.headers.emplace_back("If-Match", view.etag);
      if (!view.exists) r.headers.emplace_back("If-None-Match", "*");
    }
    http::reply reply = store.send(r);
    if (reply.status == 412 || reply.status == 409) return false;
    if (!reply.ok()) {
      print(kuvet::failure("PUT", ".manifest", reply));
      print("Error! Could not upload the store's .manifest; run sync again to finish.");
      failed_publish = true;
      failed = true;
      return false;
    }
    published_etag = reply.header("etag");
    pending.clear();
    unknown.clear();
    vanished.clear();
    write_revision(new_revision);
    return true;
  }

  void write_revision(int64_t revision) {
    std::string text = base::num(double(revision));
    if (base::load(revision_file) == text) return;
    if (!temp_file::write(revision_file, text, double(revision))) {
      print(std::string("Error! Could not write ") + revision_file + ": " + strerror(errno));
      failed = true;
    }
  }

  void save_record() {
    std::string problem;
    if (!sync_record::save(store.url, rec, &problem)) {
      print(std::string("Error! Could not write ") + sync_record::file_name + ": " + problem);
      failed = true;
    }
  }

  kuvet& store;
  const sync_options& options;
  const std::function<void(const std::string&)>& print;
  sync_record::record rec;
  manifest agreed;  // what this folder and the store agree on, as far as this run knows
  std::map<std::string, unpublished> pending;
  std::set<std::string> unknown;  // keys whose object is another version than .manifest lists
  std::set<std::string> lost;     // keys .manifest lists that the store lacks
  std::map<std::string, entry> vanished;  // refused keys since deleted: as .manifest listed them
  int64_t new_revision = 0;
  std::string published_etag;
  bool executed = false;  // some round carried out steps
  bool failed = false;
  bool failed_publish = false;
};

}  // namespace

bool kuvet::sync(const sync_options& options, const std::function<void(const std::string&)>& print) {
  // Keys and store replies reach the terminal with their control bytes shown as "?".
  std::function<void(const std::string&)> shown = [&print](const std::string& line) {
    print(base::printable_lines(line));
  };
  return sync_run(*this, options, shown).run();
}

bool kuvet::sync() {
  return sync(sync_options(), [](const std::string& line) { puts(line.c_str()); });
}
