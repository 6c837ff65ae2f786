#include "kuvet/sync_exec.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/md5.h"
#include "base/utf8.h"
#include "base/workers.h"
#include "kuvet/keys.h"
#include "kuvet/temp_file.h"
#include "os/path.h"

namespace sync_exec {

using sync_plan::here_op;
using sync_plan::row;
using sync_plan::store_op;
using sync_plan::winner;

namespace {

const char conflict_warning[] = "Warning! Conflicting modifications for file: ";

int64_t ns_of(const struct stat& st) {
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// A row's steps that are only changes to .manifest: a folder published or
// dropped.
bool publishes_folder(const row& x, const manifest& local, const manifest& remote) {
  bool here_folder = x.l != sync_plan::missing && local.at(x.l).kind == entry_kind::folder;
  bool store_folder = x.m != sync_plan::missing && remote.at(x.m).kind == entry_kind::folder;
  return x.wins == winner::here && here_folder && !store_folder;
}

bool unpublishes_folder(const row& x, const manifest& remote) {
  return x.wins == winner::nobody && x.frozen == sync_plan::frozen_by::none &&
         x.m != sync_plan::missing && remote.at(x.m).kind == entry_kind::folder &&
         x.here == here_op::none;
}

// Keys as they are shown: control bytes and invalid UTF-8 as "?".
std::string shown(std::string_view key) { return base::printable(std::string(key)); }

std::string folder_key(std::string_view key) { return shown(key) + "/"; }

class runner {
 public:
  runner(const context& c, const sync_plan::plan& plan, const std::vector<size_t>& steps)
      : c(c), plan(plan), steps(steps), results(steps.size()) {}

  std::vector<outcome> run() {
    phase([](const row& x) { return x.here == here_op::reconcile; }, &runner::reconcile, true);
    make_room();
    phase([](const row& x) { return x.here == here_op::make_folder || x.here == here_op::aside_folder; },
          &runner::make_folder, false);
    phase([](const row& x) { return x.here == here_op::fetch || x.here == here_op::aside_fetch; },
          &runner::fetch, true);
    for (size_t s = steps.size(); s-- > 0;) {
      if (row_of(s).here == here_op::remove && !removed_early[s]) remove(s);
    }
    for (size_t s = 0; s < steps.size(); s++) {
      const row& x = row_of(s);
      if (!publishes_folder(x, *c.local, *c.remote)) continue;
      results[s].agreed = local(x);
      say(" -> " + folder_key(x.key));
    }
    // Large files one after the other, each on every worker, after the rest.
    auto large = [this](const row& x) { return local(x).size >= c.store->multipart_threshold; };
    phase([&](const row& x) { return x.there == store_op::send && !large(x); }, &runner::send, true);
    phase([&](const row& x) { return x.there == store_op::send && large(x); }, &runner::send, false);
    phase([](const row& x) { return x.there == store_op::erase; }, &runner::erase, true);
    for (size_t s = steps.size(); s-- > 0;) {
      const row& x = row_of(s);
      if (!unpublishes_folder(x, *c.remote)) continue;
      results[s].agreed = entry();
      say(" -x " + folder_key(x.key));
    }
    return std::move(results);
  }

 private:
  const row& row_of(size_t s) const { return plan.rows[steps[s]]; }
  entry local(const row& x) const { return x.l == sync_plan::missing ? entry() : c.local->at(x.l); }
  entry remote(const row& x) const { return x.m == sync_plan::missing ? entry() : c.remote->at(x.m); }
  entry recorded(const row& x) const { return x.r == sync_plan::missing ? entry() : c.record->at(x.r); }

  void say(const std::string& line) {
    std::lock_guard<std::mutex> hold(output);
    c.print(line);
  }

  void fail(size_t s, const std::string& lines) {
    results[s].status = result::failed;
    if (!lines.empty()) say(lines);
  }

  // Runs `step` for every step whose row `pick` selects, on the workers when
  // `parallel`, in key order otherwise.
  template <class Pick>
  void phase(Pick pick, void (runner::*step)(size_t), bool parallel) {
    std::vector<size_t> chosen;
    for (size_t s = 0; s < steps.size(); s++) {
      if (pick(row_of(s))) chosen.push_back(s);
    }
    base::for_each_parallel(chosen.size(), parallel ? c.workers : 1, [&](size_t i) {
      (this->*step)(chosen[i]);
      if (parallel && c.step_done) c.step_done();
    });
  }

  // True when the entry at `key` is no longer what the walk saw: made,
  // edited or replaced while this run was busy. One that went away has
  // nothing left to protect.
  bool changed_since_walk(const row& x) const {
    struct stat st;
    std::string key(x.key);
    entry seen = local(x);
    if (lstat(key.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) return seen.kind != entry_kind::folder;
    return seen.kind != entry_kind::file || seen.size != int64_t(st.st_size) || seen.mtime_ns != ns_of(st);
  }

  // Moves what is at the key out of the way, under a free conflict name.
  bool move_aside(size_t s) {
    std::string key(row_of(s).key);
    std::string aside = keys::free_conflict_name(key);
    if (rename(key.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
      fail(s, "Error! Could not move " + shown(key) + " aside to " + shown(aside) + ": " + strerror(errno));
      return false;
    }
    say(conflict_warning + shown(key));
    return true;
  }

  // Both sides hold a new file: the same bytes agree, others are a conflict
  // in which the store's version takes the name.
  void reconcile(size_t s) {
    const row& x = row_of(s);
    std::string key(x.key);
    kuvet::transfer info = c.store->head(key);
    if (info.status == 404) return lost(s);
    if (!info.ok) return fail(s, info.error);
    entry here = local(x);
    if (info.size == here.size && info.etag == "\"" + file_md5(key) + "\"") return agree(s, info.etag);
    // The ETag of a multipart or encrypted upload is no MD5: compare the bytes.
    temp_file part(key);
    kuvet::transfer got = c.store->download(key, part);
    if (got.status == 404) return lost(s);
    if (!got.ok) return fail(s, got.error);
    if (got.size == here.size && same_file(part.path, key)) return agree(s, got.etag);
    place(s, part, got, true);
  }

  void agree(size_t s, const std::string& etag) {
    const row& x = row_of(s);
    outcome& out = results[s];
    out.agreed = local(x);
    out.agreed.time = x.unknown ? listed_time(x, out.agreed.time) : remote(x).time;
    out.etag = etag;
  }

  // The hex MD5 of a file, or "" when it cannot be read.
  static std::string file_md5(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return "";
    base::md5_context md5;
    std::vector<char> buffer(1 << 16);
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), file)) > 0) md5.update(buffer.data(), got);
    bool ok = !ferror(file);
    fclose(file);
    if (!ok) return "";
    static const char hex[] = "0123456789abcdef";
    std::string digest = md5.finish(), text;
    for (unsigned char b : digest) {
      text += hex[b >> 4];
      text += hex[b & 15];
    }
    return text;
  }

  static bool same_file(const std::string& a_path, const std::string& b_path) {
    FILE* a = fopen(a_path.c_str(), "rb");
    FILE* b = fopen(b_path.c_str(), "rb");
    bool same = a != nullptr && b != nullptr;
    std::vector<char> x(1 << 16), y(1 << 16);
    while (same) {
      size_t n = fread(x.data(), 1, x.size(), a);
      size_t m = fread(y.data(), 1, y.size(), b);
      same = n == m && memcmp(x.data(), y.data(), n) == 0 && !ferror(a) && !ferror(b);
      if (n == 0) break;
    }
    if (a != nullptr) fclose(a);
    if (b != nullptr) fclose(b);
    return same;
  }

  // The time .manifest lists for a new version of a file: its own, unless
  // that is not after the time listed for the version it replaces; then one
  // second after that, so that every client sees the change.
  int64_t listed_time(const row& x, int64_t own) const {
    entry before = remote(x);
    if (before.kind == entry_kind::file && own <= before.time) return before.time + 1;
    return own;
  }

  void lost(size_t s) {
    results[s].status = result::lost;
    say("Error! Listed in the store's .manifest but missing from the store: " + shown(row_of(s).key));
  }

  // Moves conflicting entries aside and clears the places that entries of
  // another kind take, deepest first; removals inside a folder that is
  // cleared happen here too.
  void make_room() {
    removed_early.assign(steps.size(), false);
    std::vector<std::string> cleared;
    for (size_t s = 0; s < steps.size(); s++) {
      const row& x = row_of(s);
      if (x.clear && local(x).kind == entry_kind::folder) cleared.push_back(folder_key(x.key));
    }
    auto inside_cleared = [&cleared](std::string_view key) {
      for (const std::string& folder : cleared) {
        if (key.compare(0, folder.size(), folder) == 0) return true;
      }
      return false;
    };
    for (size_t s = steps.size(); s-- > 0;) {
      const row& x = row_of(s);
      if (x.here == here_op::aside_fetch || x.here == here_op::aside_folder) {
        if (!move_aside(s)) continue;
      } else if (x.clear) {
        clear(s);
      } else if (x.here == here_op::remove && !cleared.empty() && inside_cleared(x.key)) {
        remove(s);
        removed_early[s] = true;
      }
    }
  }

  // Removes the unchanged entry that the store's entry of another kind
  // replaces; when that cannot be done, moves it aside.
  void clear(size_t s) {
    const row& x = row_of(s);
    std::string key(x.key);
    bool folder = local(x).kind == entry_kind::folder;
    if (!changed_since_walk(x) && (folder ? rmdir(key.c_str()) : unlink(key.c_str())) == 0) {
      say(" x- " + (folder ? folder_key(key) : shown(key)));
      return;
    }
    if (errno == ENOENT) return;
    move_aside(s);
  }

  void make_folder(size_t s) {
    const row& x = row_of(s);
    if (results[s].status != result::done) return;
    std::string key(x.key);
    os::mkdir(key);
    struct stat st;
    if (stat(key.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return fail(s, "Error! Could not create the folder " + shown(key));
    }
    results[s].agreed = remote(x);
    results[s].changed_here = true;
    say(" <- " + folder_key(key));
  }

  // Downloads the store's file into place: into a hidden file first, which
  // replaces what is here only once it is whole.
  void fetch(size_t s) {
    const row& x = row_of(s);
    if (results[s].status != result::done) return;
    std::string key(x.key);
    size_t slash = key.rfind('/');
    if (slash != std::string::npos) os::mkdir(key.substr(0, slash + 1));
    temp_file part(key);
    kuvet::transfer got = c.store->download(key, part);
    if (got.status == 404) return lost(s);
    if (!got.ok) return fail(s, got.error);
    place(s, part, got, false);
  }

  // Puts a downloaded file in place, with the store's time. What is here is
  // moved aside first for a conflict, or when it was made or edited while
  // this run was busy.
  void place(size_t s, temp_file& part, const kuvet::transfer& got, bool conflict) {
    const row& x = row_of(s);
    std::string key(x.key);
    int64_t time = x.unknown ? listed_time(x, int64_t(got.mtime)) : remote(x).time;
    struct stat st;
    if (stat(key.c_str(), &st) == 0 && S_ISREG(st.st_mode)) chmod(part.path.c_str(), st.st_mode & 07777);
    // The time goes on before the file takes the key's name: a run killed in
    // between would otherwise leave the new bytes with the time of arrival.
    os::touch(part.path, double(time));
    if ((conflict || changed_since_walk(x)) && !move_aside(s)) return;
    if (!part.commit(key)) return fail(s, "Error! Could not replace " + shown(key) + ": " + strerror(errno));
    if (stat(key.c_str(), &st) != 0) return fail(s, "Error! Could not read " + shown(key) + ": " + strerror(errno));
    outcome& out = results[s];
    out.agreed.kind = entry_kind::file;
    out.agreed.time = time;
    out.agreed.size = int64_t(st.st_size);
    out.agreed.mtime_ns = ns_of(st);
    out.etag = got.etag;
    out.changed_here = true;
    say(" <- " + shown(key));
  }

  // Deletes here what the store deleted, unless it changed meanwhile; a
  // folder only once it is empty.
  void remove(size_t s) {
    const row& x = row_of(s);
    std::string key(x.key);
    if (local(x).kind == entry_kind::folder) {
      if (rmdir(key.c_str()) == 0 || errno == ENOENT) {
        results[s].changed_here = true;
        say(" x- " + folder_key(key));
      } else {
        results[s].status = result::kept;  // it holds something this run keeps
      }
      return;
    }
    if (changed_since_walk(x)) {
      results[s].status = result::kept;
      return;
    }
    if (unlink(key.c_str()) == 0 || errno == ENOENT) {
      results[s].changed_here = true;
      say(" x- " + shown(key));
    } else {
      fail(s, "Error! Could not delete " + shown(key) + ": " + strerror(errno));
    }
  }

  kuvet::condition check(const row& x, bool conditional) const {
    kuvet::condition when;
    if (!conditional) return when;
    if (c.written != nullptr && x.there == store_op::send) {
      auto own = c.written->find(std::string(x.key));
      if (own != c.written->end()) {
        when.kind = kuvet::condition::match;  // an object this folder wrote itself
        when.etag = own->second;
        return when;
      }
    }
    if (x.check == sync_plan::version_check::match) {
      when.kind = kuvet::condition::match;
      when.etag = std::string(recorded(x).etag);
    } else if (x.check == sync_plan::version_check::absent) {
      when.kind = kuvet::condition::absent;
    }
    return when;
  }

  static bool refused(const kuvet::transfer& t, const kuvet::condition& when) {
    return t.status == 412 || t.status == 409 || (t.status == 404 && when.kind == kuvet::condition::match);
  }

  void send(size_t s) {
    const row& x = row_of(s);
    std::string key(x.key);
    kuvet::condition when = check(x, c.conditional_puts);
    kuvet::transfer sent = c.store->put(key, when);
    // A file written to while it was sent is sent again, over what was sent.
    for (int again = 0; again < 3 && sent.changed; again++) {
      if (c.conditional_puts && !sent.etag.empty()) when = kuvet::condition{kuvet::condition::match, sent.etag};
      sent = c.store->put(key, when);
    }
    if (refused(sent, when)) {
      results[s].status = result::refused;
      return;
    }
    if (sent.changed) results[s].written = sent.etag;
    if (!sent.ok) return fail(s, sent.error);
    outcome& out = results[s];
    out.agreed.kind = entry_kind::file;
    out.agreed.time = listed_time(x, int64_t(sent.mtime));
    out.agreed.size = sent.size;
    out.agreed.mtime_ns = sent.mtime_ns;
    out.etag = sent.etag;
    say(" -> " + shown(key));
  }

  void erase(size_t s) {
    const row& x = row_of(s);
    std::string key(x.key);
    kuvet::condition when = check(x, c.conditional_deletes);
    kuvet::transfer gone = c.store->del(key, when);
    if (gone.status != 404 && refused(gone, when)) {  // gone already is as good as deleted
      results[s].status = result::refused;
      return;
    }
    if (!gone.ok && gone.status != 404) {
      return fail(s, gone.error + "\nError! Could not delete " + shown(key) + " in the store.");
    }
    if (x.wins == winner::here) {
      results[s].agreed = local(x);  // a folder takes the file's place
    } else {
      results[s].agreed = entry();
    }
    say(" -x " + shown(key));
  }

  const context& c;
  const sync_plan::plan& plan;
  const std::vector<size_t>& steps;
  std::vector<outcome> results;
  std::vector<bool> removed_early;
  std::mutex output;
};

}  // namespace

std::vector<size_t> steps_of(const sync_plan::plan& plan) {
  std::vector<size_t> steps;
  for (size_t i = 0; i < plan.rows.size(); i++) {
    const row& x = plan.rows[i];
    bool folder_only = (x.wins == winner::here && x.l != sync_plan::missing) ||
                       (x.wins == winner::nobody && x.m != sync_plan::missing &&
                        x.frozen == sync_plan::frozen_by::none);
    if (x.here != here_op::none || x.there != store_op::none || folder_only) steps.push_back(i);
  }
  return steps;
}

std::vector<outcome> execute(const context& c, const sync_plan::plan& plan,
                             const std::vector<size_t>& steps) {
  return runner(c, plan, steps).run();
}

std::vector<std::string> describe(const sync_plan::plan& plan, const manifest& local,
                                  const manifest& remote) {
  std::vector<std::string> lines;
  auto each = [&](auto pick, auto line) {
    for (const row& x : plan.rows) {
      if (pick(x)) line(x);
    }
  };
  each([](const row& x) { return x.here == here_op::reconcile; },
       [&](const row& x) { lines.push_back("Warning! Changed here and in the store, to be compared: " + shown(x.key)); });
  each([](const row& x) { return x.here == here_op::aside_fetch || x.here == here_op::aside_folder; },
       [&](const row& x) { lines.push_back(conflict_warning + shown(x.key)); });
  each([](const row& x) { return x.here == here_op::make_folder || x.here == here_op::aside_folder; },
       [&](const row& x) { lines.push_back(" <- " + folder_key(x.key)); });
  each([](const row& x) { return x.here == here_op::fetch || x.here == here_op::aside_fetch; },
       [&](const row& x) { lines.push_back(" <- " + shown(x.key)); });
  for (size_t i = plan.rows.size(); i-- > 0;) {
    const row& x = plan.rows[i];
    if (x.here != here_op::remove) continue;
    bool folder = local.at(x.l).kind == entry_kind::folder;
    lines.push_back(" x- " + (folder ? folder_key(x.key) : shown(x.key)));
  }
  each([&](const row& x) { return publishes_folder(x, local, remote); },
       [&](const row& x) { lines.push_back(" -> " + folder_key(x.key)); });
  each([](const row& x) { return x.there == store_op::send; },
       [&](const row& x) { lines.push_back(" -> " + shown(x.key)); });
  each([](const row& x) { return x.there == store_op::erase; },
       [&](const row& x) { lines.push_back(" -x " + shown(x.key)); });
  for (size_t i = plan.rows.size(); i-- > 0;) {
    if (unpublishes_folder(plan.rows[i], remote)) lines.push_back(" -x " + folder_key(plan.rows[i].key));
  }
  return lines;
}

}  // namespace sync_exec
