#include "main/cli.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/file.h"
#include "base/text.h"
#include "http/user_agent.h"
#include "import/openssl.h"
#include "json/json.h"
#include "kuvet/kuvet.h"
#include "kuvet/multipart.h"
#include "os/item.h"

namespace cli {

namespace {

bool ignore_sigpipe() {
  signal(SIGPIPE, SIG_IGN);
  return true;
}

}  // namespace

// Lives here, next to run(), so that linking the program keeps it and its
// initialiser runs before main.
const bool ignore_sigpipe_called = ignore_sigpipe();
const bool openssl_bound = openssl::bind();

namespace {

const char config_file[] = ".kuvet";
const char config_template[] = "{ \"kuvet_url\":\"\", \"aws_id\":\"\", \"aws_key\":\"\"}";
const char agent[] = "Kuvet/1.0 (https://github.com/kuvet/kuvet)";

const char usage[] =
    "USAGE:\n"
    "\tkuvet - show this message\n"
    "\tkuvet init - initialize .kuvet file\n"
    "\tkuvet list - list kuvet contents\n"
    "\tkuvet sync - sync current folder with kuvet\n"
    "\tkuvet del [kuvet path] - delete from kuvet\n"
    "\tkuvet get [kuvet path] - download from kuvet\n"
    "\tkuvet put [local path] - upload to kuvet\n";

// Creates path for its owner alone (mode 0600 whatever the umask) and writes
// data. Never replaces an existing entry. On failure the new file is removed
// again and errno says why.
bool write_private_file(const char* path, const std::string& data) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  int error = 0;
  if (fchmod(fd, 0600) != 0) error = errno;
  size_t done = 0;
  while (error == 0 && done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n == 0) error = EIO;
    if (n > 0) done += size_t(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return true;
  unlink(path);
  errno = error;
  return false;
}

int init() {
  if (base::exists(config_file)) {
    puts("Error! A .kuvet file already exists.");
    return 1;
  }
  // The file gets the writer's compact text of the template, not the literal.
  std::string text = json::parse(config_template).str();
  if (!write_private_file(config_file, text)) {
    std::string reason = strerror(errno);
    puts(("Error! Could not write .kuvet: " + reason).c_str());
    return 1;
  }
  puts("Created .kuvet file. Please edit the file to configure.");
  puts("Note that kuvet_url should be the full URL with trailing slash like:");
  puts("https://[kuvet].s3.eu-central-1.amazonaws.com/");
  return 0;
}

// Reads ".kuvet" into *config, or prints why it cannot be used.
bool load_config(var* config) {
  std::string text;
  if (!base::load(config_file, &text)) {
    puts("Error! Could not read .kuvet.");
    return false;
  }
  std::string problem;
  if (parse_config(text, config, &problem)) return true;
  puts(("Error! .kuvet is not a valid JSON object: " + problem).c_str());
  return false;
}

// A region selects signature version 4. It goes into the Authorization
// header's credential scope, so anything but a plain name is refused here
// rather than sent.
bool check_region(const var& config) {
  if (!config.has("region")) return true;
  var region = config["region"];
  bool ok = region.is_string() && !region.str().empty();
  if (ok) {
    for (char c : region.str()) {
      bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_' || c == '.';
      ok = ok && plain;
    }
  }
  if (!ok) {
    puts("Error! .kuvet: region must be a non-empty string of letters, digits, \"-\", \"_\" "
         "or \".\", such as \"eu-central-1\".");
  }
  return ok;
}

// The store commands. Each builds a `kuvet` from the configuration and runs
// one operation on it.

// Prints the store's objects and their total; a failed listing still prints
// the total line ("? Total") and ends with status 1.
int list_store(const var& config, const std::string&) {
  os::itemlist items;
  double total = kuvet(config).list(items);
  items.print();
  puts((base::format_size(total) + " Total").c_str());
  return total < 0 ? 1 : 0;
}
int sync_store(const var& config, const std::string&) { return kuvet(config).sync() ? 0 : 1; }

// Asks before a download replaces an existing file; only a line that is
// exactly "y" agrees. End of input counts as a refusal.
bool confirm_overwrite(const std::string& path) {
  printf("Overwrite local file %s? [y/n] ", path.c_str());
  fflush(stdout);
  std::string answer;
  char byte;
  while (read(STDIN_FILENO, &byte, 1) == 1 && byte != '\n') answer += byte;
  return answer == "y";
}

// Status 0 for a transfer that succeeded; otherwise its lines and 1.
int report(const kuvet::transfer& t) {
  if (t.ok) return 0;
  if (!t.error.empty()) puts(t.error.c_str());
  return 1;
}

int get_object(const var& config, const std::string& path) {
  if (base::exists(path) && !confirm_overwrite(path)) return 0;
  return report(kuvet(config).get(path));
}

// A large file goes up in parts; parts an interrupted put left are removed first.
int put_object(const var& config, const std::string& path) {
  kuvet store(config);
  upload_journal journal;
  store.journal = &journal;
  std::string unaborted = multipart::abort_unfinished(store, journal);
  if (!unaborted.empty()) puts(unaborted.c_str());
  return report(store.put(path));
}

int del_object(const var& config, const std::string& path) { return report(kuvet(config).del(path)); }

struct command {
  const char* name;
  bool needs_path;
  int (*handler)(const var& config, const std::string& path);
};

const command commands[] = {
    {"list", false, list_store},
    {"sync", false, sync_store},
    {"get", true, get_object},
    {"put", true, put_object},
    {"del", true, del_object},
};

const command* find_command(const std::string& name) {
  for (const command& c : commands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace

bool parse_config(const std::string& text, var* config, std::string* problem) {
  *config = var();
  if (text.empty()) {
    *problem = "empty file";
    return false;
  }
  var value = json::parse(text, problem);
  if (value.is_object()) {
    *config = value;
    return true;
  }
  if (problem->empty()) *problem = "not an object";
  return false;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    puts(usage);
    return 0;
  }
  http::user_agent() = agent;
  std::string name = argv[1];
  if (name == "init") return init();
  // Checked before the command is recognised: any command needs the file.
  if (!base::exists(config_file)) {
    puts("Missing .kuvet file.");
    return 1;
  }
  const command* cmd = find_command(name);
  bool has_path = argc > 2;
  if (!has_path && (cmd == nullptr || cmd->needs_path)) {
    puts("Missing path.");
    return 1;
  }
  if (cmd == nullptr) {
    puts(("Error! Invalid command: " + name).c_str());
    return 1;
  }
  var config;
  if (!load_config(&config) || !check_region(config)) return 1;
  // Stores with self-signed certificates opt out of verification in ".kuvet".
  if (config["verify_tls"].is_boolean()) http::verify_tls() = config["verify_tls"].boolean;
  return cmd->handler(config, has_path ? argv[2] : "");
}

}  // namespace cli
