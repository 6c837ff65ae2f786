// kuvet::sync: two-way synchronisation of the current folder with the store.
//
// The store's ".manifest", a walk of the folder and the revision file
// "_revision" decide every transfer by modification times and revisions. On
// top of that, the folder's record of its last synchronisation (sync_record)
// guards every deletion: a file is deleted, locally or in the store, only when
// this folder had it when it last agreed with the store and the other side
// has since deleted it. A failure leaves both sides as they were or further
// along, and the next run finishes the work.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/file.h"
#include "base/text.h"
#include "kuvet/keys.h"
#include "kuvet/kuvet.h"
#include "kuvet/sync_record.h"
#include "kuvet/temp_file.h"
#include "os/path.h"

namespace {

const char revision_file[] = "_revision";

// The store's revision from its manifest: a number, or text that is one;
// none at all is revision 0. Anything else (a word, true, null, 1e400) is
// refused: every decision of the run compares against it, and a guess of 0
// would hide the store's changes from this folder.
bool remote_revision_of(const var& manifest, double* revision) {
  *revision = 0;
  if (!manifest.has(revision_file)) return true;
  var value = manifest[revision_file];
  if (value.is_number()) {
    *revision = value.num();
  } else if (value.is_string()) {
    std::string text = value.str();
    char* end = nullptr;
    *revision = strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size()) return false;
  } else {
    return false;
  }
  return std::isfinite(*revision);
}

class sync_run {
 public:
  explicit sync_run(kuvet& store) : store(store) {}
  bool run();

 private:
  bool read_sides();
  bool rescan();
  void download_phase();
  bool catch_up();
  void fetch(const std::string& key, double rtime, bool conflict, bool unless_equal = false);
  void make_folder(const std::string& key);
  bool local_deletions();
  bool stop_unsent();
  bool changed_since_walk(const std::string& key) const;
  void upload_phase();
  void store_deletions();
  bool finish();
  bool report_failed_downloads();
  bool usable_remote_key(const std::string& key);
  bool changed_locally(const std::string& key, double ltime) const;
  bool changed_in_store(const std::string& key, double rtime) const {
    return recorded(key) && record[key].num() != rtime;
  }
  bool recorded(const std::string& key) const { return !record.is_null() && record.has(key); }
  bool excluded_local(const std::string& key) const;
  bool still_current();
  bool write_revision(double revision);
  var record_entries() const;
  var manifest_to_publish(double revision) const;

  kuvet& store;
  var remote;            // the store's manifest, "_revision" removed
  std::string remote_text;  // its text as fetched ("" when the store has none)
  var local;             // the folder's manifest, "_revision" removed
  var special;           // local keys that are neither folders nor regular files
  var record;            // key -> time at the last synchronisation; null when none
  double remote_revision = 0;
  double local_revision = 0;
  bool changed = false;  // the store was changed by this run
  bool failed = false;   // something failed; the run ends with status 1
  var failed_downloads = var::array();
  var absent = var::object();          // keys the manifest lists but the store lacks
  var failed_uploads = var::object();
  var deleted = var::object();         // keys deleted in the store by this run
  var failed_deletes = var::object();
  var warned = var::object();          // unsafe keys already reported
};

// Holds an exclusive lock on ".kuvet" for the run, so that two runs in one
// folder (an overlapping cron job) cannot interleave.
class folder_lock {
 public:
  folder_lock() : fd(open(".kuvet", O_RDONLY | O_CLOEXEC)) {}
  ~folder_lock() {
    if (fd >= 0) close(fd);
  }
  // False only when another process holds the lock.
  bool acquire() { return fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

 private:
  int fd;
};

bool sync_run::run() {
  folder_lock lock;
  if (!lock.acquire()) {
    puts("Error! Another kuvet sync is running in this folder.");
    return false;
  }
  if (!read_sides()) return false;
  if (local_revision < remote_revision) {
    download_phase();
    if (failed_downloads.size() > 0) return report_failed_downloads();
    if (!local_deletions()) return stop_unsent();
    if (!rescan()) return false;
  } else {
    bool ok = catch_up();
    if (failed_downloads.size() > 0) return report_failed_downloads();
    if (!ok) return false;
  }
  upload_phase();
  store_deletions();
  return finish() && !failed;
}

bool sync_run::read_sides() {
  remote = store.get_remote_manifest(&remote_text);
  if (remote.is_null()) return false;
  if (!remote_revision_of(remote, &remote_revision)) {
    puts("Error! The store's .manifest is damaged (its _revision is not a number): repair or remove it. "
         "Nothing was changed.");
    return false;
  }
  remote.unset(revision_file);
  if (!rescan()) return false;
  local_revision = strtod(base::load(revision_file).c_str(), nullptr);
  if (!std::isfinite(local_revision)) local_revision = 0;
  record = sync_record::load(store.url);
  return true;
}

// Walks the folder again; false (nothing may be decided) when a folder of it
// cannot be read, since every file after it would look deleted.
bool sync_run::rescan() {
  kuvet::folder_scan scan = kuvet::scan_folder();
  if (!scan.complete) {
    printf("Error! Could not read the folder %s; the run stops here.\n", scan.failed_dir.c_str());
    return false;
  }
  // Hidden left-overs of downloads that an earlier run did not finish.
  for (const std::string& leftover : scan.leftovers) unlink(leftover.c_str());
  local = scan.manifest;
  local.unset(revision_file);
  special = scan.special;
  return true;
}

// Keys from the network are checked before they touch the folder; conflict
// copies are never fetched (they are never uploaded either).
bool sync_run::usable_remote_key(const std::string& key) {
  if (keys::is_conflict_copy(key)) return false;
  if (keys::is_safe(key)) return true;
  if (!warned.has(key)) {
    printf("Warning! Unsafe key skipped: %s\n", key.c_str());
    warned.set(key, true);
  }
  return false;
}

// Changed here since the last synchronisation: newer than the folder's
// revision, or not as the record has it. Without a record nothing is known,
// and a file counts as changed so that both versions are kept. (Changed in
// the store: newer than the folder's revision, or, by the record, another
// time than the folder had; that catches an edit made within the second of
// the last revision.)
bool sync_run::changed_locally(const std::string& key, double ltime) const {
  return local_revision < ltime || !recorded(key) || record[key].num() != ltime;
}

void sync_run::download_phase() {
  var names = remote.keys();
  for (int i = 0; i < names.size(); i++) {
    std::string key = names.get(i).str();
    if (!usable_remote_key(key)) continue;
    double rtime = remote[key].num();
    if (keys::is_folder(key)) {
      if (!local.has(key)) make_folder(key);
      continue;
    }
    if (!local.has(key)) {
      fetch(key, rtime, false);
      continue;
    }
    if (special.has(key)) continue;
    double ltime = local[key].num();
    if (rtime != ltime && (local_revision < rtime || changed_in_store(key, rtime))) {
      fetch(key, rtime, changed_locally(key, ltime));
    } else if (rtime == ltime && !record.is_null() && (!record.has(key) || record[key].num() != rtime)) {
      // Changed (or made) here and in the store within the same second:
      // equal times need not mean equal contents.
      fetch(key, rtime, true, true);
    }
  }
}

// When the store is not newer, keys the folder never had are still fetched:
// they were added by another folder (perhaps within the same second), and
// only a key this folder had may be taken for a local deletion.
bool sync_run::catch_up() {
  var names = remote.keys();
  bool fetched = false;
  for (int i = 0; i < names.size(); i++) {
    std::string key = names.get(i).str();
    if (local.has(key) || recorded(key) || !usable_remote_key(key)) continue;
    if (keys::is_folder(key)) {
      make_folder(key);
    } else {
      fetch(key, remote[key].num(), false);
    }
    fetched = true;
  }
  return !fetched || rescan();
}

void sync_run::make_folder(const std::string& key) {
  os::mkdir(key);
  struct stat st;
  if (stat(key.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) puts((" <- " + key).c_str());
}

// Downloads key into a hidden file first; only once it is whole is the local
// version moved aside (for a conflict) and the new one put in its place.
void sync_run::fetch(const std::string& key, double rtime, bool conflict, bool unless_equal) {
  size_t slash = key.rfind('/');
  if (slash != std::string::npos) os::mkdir(key.substr(0, slash + 1));
  temp_file part(key);
  kuvet::transfer got = store.download(key, part);
  if (!got.ok) {
    if (got.status == 404) {
      printf("Warning! Listed in the store's .manifest but missing from the store: %s\n", key.c_str());
      absent.set(key, true);
    } else {
      if (!got.error.empty()) puts(got.error.c_str());
      failed_downloads.push(var(key));
    }
    return;
  }
  if (unless_equal && base::load(part.path) == base::load(key)) return;
  struct stat st;
  if (stat(key.c_str(), &st) == 0 && S_ISREG(st.st_mode)) chmod(part.path.c_str(), st.st_mode & 07777);
  // The store's time goes on before the file takes the key's name: a run
  // killed in between would otherwise leave the new content with the time
  // of its arrival, and the next run would take it for a local edit.
  os::touch(part.path, rtime);
  if (!conflict && changed_since_walk(key)) conflict = true;
  if (conflict) {
    std::string aside = keys::free_conflict_name(key);
    if (rename(key.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
      printf("Error! Could not move %s aside to %s: %s\n", key.c_str(), aside.c_str(), strerror(errno));
      failed_downloads.push(var(key));
      return;
    }
    printf("Warning! Conflicting modifications for file: %s\n", key.c_str());
  }
  if (!part.commit(key)) {
    printf("Error! Could not replace %s: %s\n", key.c_str(), strerror(errno));
    failed_downloads.push(var(key));
    return;
  }
  puts((" <- " + key).c_str());
}

// A download failed for another reason than the store lacking the object:
// nothing is published from this incomplete view, and the next run retries.
bool sync_run::report_failed_downloads() {
  for (int i = 0; i < failed_downloads.size(); i++) {
    printf("Error! Could not download: %s\n", failed_downloads.get(i).str().c_str());
  }
  return stop_unsent();
}

bool sync_run::stop_unsent() {
  puts("Error! Nothing was sent to the store; run sync again to finish.");
  return false;
}

// True when the folder now holds a file at key that the walk did not see so:
// made or edited while this run was busy. Such a file is moved aside as a
// conflict copy rather than replaced, and never deleted. (A folder in the
// way is left to fail the download.)
bool sync_run::changed_since_walk(const std::string& key) const {
  struct stat st;
  if (lstat(key.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return !local.has(key) || double(st.st_mtime) != local[key].num();
}

bool sync_run::excluded_local(const std::string& key) const {
  return keys::is_conflict_copy(key) || special.has(key) || !keys::is_safe(key);
}

// Entries the store no longer has are deleted here only when the record says
// this folder had them, unchanged, at its last synchronisation. Conflict
// copies are never deleted. False when a deletion failed: the folder is then
// not up to date with the store, and a file left in place would look like a
// local edit to send.
bool sync_run::local_deletions() {
  bool ok = true;
  var gone = (local.keys() - remote.keys()).reverse();
  for (int i = 0; i < gone.size(); i++) {
    std::string key = gone.get(i).str();
    if (excluded_local(key) || !recorded(key)) continue;
    if (keys::is_folder(key)) {
      if (rmdir(key.c_str()) == 0) puts((" x- " + key).c_str());
      continue;
    }
    double ltime = local[key].num();
    if (!(local_revision > ltime && record[key].num() == ltime) || changed_since_walk(key)) continue;
    if (remove(key.c_str()) == 0) {
      puts((" x- " + key).c_str());
    } else if (errno != ENOENT) {  // gone already is as good as deleted
      printf("Error! Could not delete %s: %s\n", key.c_str(), strerror(errno));
      ok = false;
    }
  }
  return ok;
}

void sync_run::upload_phase() {
  var names = local.keys();
  for (int i = 0; i < names.size(); i++) {
    std::string key = names.get(i).str();
    if (keys::is_folder(key)) continue;
    if (keys::is_conflict_copy(key)) {
      puts(("Warning! Skipped: " + key).c_str());
      continue;
    }
    if (!keys::is_safe(key)) {
      printf("Warning! Unsafe key skipped: %s\n", key.c_str());
      continue;
    }
    if (special.has(key)) {
      printf("Warning! Not a regular file, skipped: %s\n", key.c_str());
      continue;
    }
    if (remote.has(key) && local[key].num() <= remote[key].num()) continue;
    kuvet::transfer sent = store.put(key);
    double sent_time = sent.mtime;
    if (sent.ok) {
      // Changed since the walk but not while it was sent: publish (and
      // record) the time of what was sent.
      if (sent_time != local[key].num()) local.set(key, var(sent_time));
      puts((" -> " + key).c_str());
      changed = true;
    } else {
      puts(sent.error.c_str());
      failed_uploads.set(key, true);
      failed = true;
    }
  }
}

// Keys the folder no longer has are deleted in the store only when the record
// says the folder had them; keys it never had were fetched by catch_up.
void sync_run::store_deletions() {
  var gone = (remote.keys() - local.keys()).reverse();
  for (int i = 0; i < gone.size(); i++) {
    std::string key = gone.get(i).str();
    if (keys::is_folder(key) || absent.has(key) || !recorded(key)) continue;
    if (!usable_remote_key(key)) continue;
    kuvet::transfer removed = store.del(key);
    if (removed.ok || removed.status == 404) {
      puts((" -x " + key).c_str());
      deleted.set(key, true);
      changed = true;
    } else {
      if (!removed.error.empty()) puts(removed.error.c_str());
      printf("Error! Could not delete %s in the store.\n", key.c_str());
      failed_deletes.set(key, true);
      failed = true;
    }
  }
}

// What the folder holds and the store agrees on, for the next run's record.
var sync_run::record_entries() const {
  var entries = var::object();
  var names = local.keys();
  for (int i = 0; i < names.size(); i++) {
    std::string key = names.get(i).str();
    if (excluded_local(key)) continue;
    if (failed_uploads.has(key)) {
      if (recorded(key)) entries.set(key, record[key]);
    } else {
      entries.set(key, local[key]);
    }
  }
  var kept = failed_deletes.keys();
  for (int i = 0; i < kept.size(); i++) entries.set(kept.get(i).str(), record[kept.get(i).str()]);
  return entries;
}

// The folder as this run leaves it, plus what the store has that the folder
// neither has nor deleted; conflict copies and failed uploads left out.
var sync_run::manifest_to_publish(double revision) const {
  var entries = var::object();
  var names = local.keys();
  for (int i = 0; i < names.size(); i++) {
    std::string key = names.get(i).str();
    if (excluded_local(key)) continue;
    if (!failed_uploads.has(key)) {
      entries.set(key, local[key]);
    } else if (remote.has(key)) {
      entries.set(key, remote[key]);
    }
  }
  names = remote.keys();
  for (int i = 0; i < names.size(); i++) {
    std::string key = names.get(i).str();
    if (entries.has(key) || absent.has(key) || deleted.has(key) || keys::is_conflict_copy(key)) continue;
    if (!keys::is_text(key)) continue;  // cannot be written back unchanged
    if (keys::is_folder(key) && !local.has(key) && recorded(key)) continue;  // deleted here
    entries.set(key, remote[key]);
  }
  entries.set(revision_file, revision);
  std::vector<std::string> order;
  names = entries.keys();
  for (int i = 0; i < names.size(); i++) order.push_back(names.get(i).str());
  std::stable_sort(order.begin(), order.end(), keys::walk_order);
  var manifest = var::object();
  for (const std::string& key : order) manifest.set(key, entries[key]);
  return manifest;
}

// True when the store's manifest is still the one this run started from, so
// that publishing cannot drop what another client published meanwhile.
bool sync_run::still_current() {
  std::string text;
  var now = store.get_remote_manifest(&text);
  if (now.is_null()) return false;
  if (text == remote_text) return true;
  puts("Error! Another client changed the store during this run; run sync again.");
  return false;
}

bool sync_run::write_revision(double revision) {
  if (temp_file::write(revision_file, base::num(revision), revision)) return true;
  printf("Error! Could not write %s: %s\n", revision_file, strerror(errno));
  failed = true;
  return false;
}

bool sync_run::finish() {
  var entries = record_entries();
  if (changed || absent.size() > 0) {
    double now = double(time(nullptr));
    double revision = std::max(now, std::max(remote_revision + 1, local_revision + 1));
    if (!still_current()) return false;
    http::reply published = store.put_remote_manifest(manifest_to_publish(revision));
    if (!published.ok()) {
      puts(kuvet::failure("PUT", ".manifest", published).c_str());
      puts("Error! Could not upload the store's .manifest; run sync again to finish.");
      return false;
    }
    if (!write_revision(revision)) return false;
    if (!sync_record::save(store.url, entries)) failed = true;
    puts(("New revision: " + base::num(revision)).c_str());
    return true;
  }
  if (local_revision < remote_revision) {
    if (!write_revision(remote_revision)) return false;
    if (!sync_record::save(store.url, entries)) failed = true;
    puts(("At revision: " + base::num(remote_revision)).c_str());
    return true;
  }
  if ((record.is_null() || record.str() != entries.str()) && !sync_record::save(store.url, entries))
    failed = true;
  return true;
}

}  // namespace

bool kuvet::sync() { return sync_run(*this).run(); }
