#include "main/cli.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "base/utf8.h"
#include "http/user_agent.h"
#include "import/openssl.h"
#include "json/json.h"
#include "kuvet/credentials.h"
#include "kuvet/ignore.h"
#include "kuvet/kuvet.h"
#include "kuvet/multipart.h"
#include "kuvet/path_key.h"
#include "kuvet/sync_options.h"
#include "main/locate.h"
#include "main/options.h"
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
const char ignore_file[] = ".kuvetignore";
const char config_template[] = "{ \"kuvet_url\":\"\", \"aws_id\":\"\", \"aws_key\":\"\"}";
const char version[] = "1.0";
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

const char help[] =
    "Usage: kuvet [OPTION]... COMMAND [PATH]\n"
    "Keep a folder in two-way sync with an S3 bucket.\n"
    "\n"
    "Commands:\n"
    "  init       write a template .kuvet file in this folder\n"
    "  list       list the store's objects with time, size and a total\n"
    "  sync       sync the folder with the store\n"
    "  get PATH   download one object to PATH\n"
    "  put PATH   upload the file PATH\n"
    "  del PATH   delete one object\n"
    "\n"
    "Options:\n"
    "  -n, --dry-run             sync, put, del: print what would be done, change\n"
    "                            nothing\n"
    "  -v, --verbose             print each request's method, URL and status on\n"
    "                            standard error\n"
    "  -l, --bytes               list: exact byte counts\n"
    "      --max-delete PERCENT  sync: stop rather than delete more than PERCENT\n"
    "                            (0-100) of the files\n"
    "      --transfers N         sync, put: at most N transfers at once (1-64)\n"
    "  -h, --help                show this help\n"
    "      --version             show the version\n"
    "\n"
    "kuvet looks for .kuvet in the current folder and its parents; the folder that\n"
    "holds it is the synced folder. A PATH is relative to where you stand, and the\n"
    "object's key is its path from the synced folder.\n"
    "\n"
    "Credentials, the first found: aws_id and aws_key in .kuvet; the profile .kuvet\n"
    "names in \"profile\"; AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and\n"
    "AWS_SESSION_TOKEN; the profile AWS_PROFILE names (else \"default\") in\n"
    "~/.aws/credentials. The region: .kuvet, AWS_REGION, AWS_DEFAULT_REGION, then\n"
    "the profile in ~/.aws/config.\n"
    "\n"
    "Files:\n"
    "  .kuvet          the store's URL and keys (mode 0600)\n"
    "  .kuvetignore    what sync leaves alone on both sides, in .gitignore syntax\n"
    "  _revision       the store revision the folder was last brought to\n"
    "  .kuvet-synced   what the folder held when it last agreed with the store\n"
    "  .kuvet-uploads  uploads in parts under way, aborted by the next run if left\n"
    "\n"
    "Environment:\n"
    "  AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_PROFILE,\n"
    "  AWS_REGION, AWS_DEFAULT_REGION, AWS_SHARED_CREDENTIALS_FILE, AWS_CONFIG_FILE,\n"
    "  HOME, SSL_CERT_FILE, SSL_CERT_DIR\n"
    "\n"
    "Exit status: 0 on success, 1 when anything failed, 2 when the command line is\n"
    "wrong.\n";

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
  puts("aws_id and aws_key may stay empty: kuvet then takes AWS_ACCESS_KEY_ID and");
  puts("AWS_SECRET_ACCESS_KEY, or a profile of ~/.aws/credentials (see kuvet --help).");
  return 0;
}

// Reads ".kuvet" into *config, or prints why it cannot be used. Warns on
// standard error, as ssh does, when others may read the keys in it.
bool load_config(var* config) {
  std::string text;
  if (!base::load(config_file, &text)) {
    puts("Error! Could not read .kuvet.");
    return false;
  }
  struct stat info;
  if (stat(config_file, &info) == 0 && (info.st_mode & 044) != 0) {
    fprintf(stderr, "Warning! .kuvet is readable by others (mode %04o): chmod 600 .kuvet\n",
            unsigned(info.st_mode & 07777));
  }
  std::string problem;
  if (parse_config(text, config, &problem)) return true;
  puts(("Error! .kuvet is not a valid JSON object: " + problem).c_str());
  return false;
}

// Keys are appended to the URL as they are: without its trailing "/" a
// path-style URL would name another bucket ("/photosf.txt"), so nothing is
// guessed and such a URL is refused.
bool check_url(const var& config) {
  var url = config["kuvet_url"];
  if (!config.has("kuvet_url") || (url.is_string() && url.str().empty())) {
    puts("Error! .kuvet still needs editing: set kuvet_url to the bucket's URL, such as "
         "https://BUCKET.s3.REGION.amazonaws.com/");
    return false;
  }
  std::string text = url.str();
  size_t host = text.rfind("http://", 0) == 0 ? 7 : text.rfind("https://", 0) == 0 ? 8 : 0;
  bool ok = url.is_string() && host > 0 && text.size() > host && text[host] != '/' &&
            text.back() == '/' && text.find_first_of("?#") == std::string::npos;
  for (char c : text) ok = ok && static_cast<unsigned char>(c) > ' ' && c != 0x7F;
  if (!ok) {
    printf("Error! .kuvet: kuvet_url %s must be an http:// or https:// URL ending in \"/\", "
           "such as https://BUCKET.s3.REGION.amazonaws.com/ or http://HOST:PORT/BUCKET/\n",
           (url.is_string() ? "\"" + text + "\"" : text).c_str());
  }
  return ok;
}

// A region selects signature version 4. It goes into the Authorization
// header's credential scope, so anything but a plain name is refused here
// rather than sent.
bool check_region(const var& config, bool from_kuvet) {
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
    printf("Error! %s: region must be a non-empty string of letters, digits, \"-\", \"_\" "
           "or \".\", such as \"eu-central-1\".\n",
           from_kuvet ? ".kuvet" : "The environment or ~/.aws/config");
  }
  return ok;
}

// Completes the configuration with the keys (and region) found outside
// ".kuvet" when it names none; false, after one line, when there are none.
bool add_credentials(var& config) {
  credentials::environment env;
  for (const char* name : {"HOME", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN",
                           "AWS_PROFILE", "AWS_REGION", "AWS_DEFAULT_REGION",
                           "AWS_SHARED_CREDENTIALS_FILE", "AWS_CONFIG_FILE"}) {
    const char* value = getenv(name);
    if (value != nullptr) env[name] = value;
  }
  bool own_keys = config["aws_id"].is_string() && !config["aws_id"].str().empty() &&
                  config["aws_key"].is_string() && !config["aws_key"].str().empty();
  std::string shared_credentials, shared_config;
  if (!own_keys) shared_credentials = base::load(credentials::credentials_path(env));
  if (!config.has("region")) shared_config = base::load(credentials::config_path(env));
  credentials::found found = credentials::resolve(config, env, shared_credentials, shared_config);
  if (!found.problem.empty()) {
    puts(("Error! " + found.problem).c_str());
    return false;
  }
  config.set("aws_id", found.id);
  config.set("aws_key", found.secret);
  config.set("aws_token", found.token);
  if (config.has("region")) return check_region(config, true);
  if (!found.region.empty()) config.set("region", found.region);
  return check_region(config, false);
}

// What a command works with: the options, the configuration, the ignore
// rules and, for get, put and del, the key named on the command line.
struct job {
  const options& opts;
  const var& config;
  const ignore_rules& ignore;  // the folder's .kuvetignore
  std::string key;
};

// The store of the configuration; with --verbose each request's method, URL
// and status go to standard error (the URL never holds a credential).
kuvet store(const job& j) {
  kuvet bound(j.config);
  if (j.opts.verbose) {
    bound.on_reply = [](const http::request& sent, const http::reply& reply) {
      std::string outcome = reply.status != 0 ? std::to_string(reply.status) : "no reply";
      fprintf(stderr, "%s %s %s\n", sent.method.c_str(), sent.url.c_str(), outcome.c_str());
    };
  }
  return bound;
}

// Prints the store's objects and their total; a failed listing still prints
// the total line ("? Total") and ends with status 1.
int list_store(const job& j) {
  os::itemlist items;
  double total = store(j).list(items);
  items.print(j.opts.bytes);
  std::string size = j.opts.bytes && total >= 0 ? base::num(total) : base::format_size(total);
  puts((size + " Total").c_str());
  return total < 0 ? 1 : 0;
}

int sync_store(const job& j) {
  sync_options wanted;
  wanted.dry_run = j.opts.dry_run;
  wanted.max_delete = j.opts.max_delete;
  wanted.transfers = j.opts.transfers;
  wanted.verbose = j.opts.verbose;
  const ignore_rules& rules = j.ignore;
  wanted.ignored = [&rules](std::string_view key, bool folder) { return rules.ignored(key, folder); };
  return store(j).sync(wanted, [](const std::string& line) { puts(line.c_str()); }) ? 0 : 1;
}

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
  // The store's reply is shown as it came, its control bytes as "?".
  if (!t.error.empty()) puts(base::printable_lines(t.error).c_str());
  return 1;
}

int get_object(const job& j) {
  if (base::exists(j.key) && !confirm_overwrite(j.key)) return 0;
  return report(store(j).get(j.key));
}

// A large file goes up in parts, on --transfers connections; parts that an
// interrupted put left behind are removed first.
int put_object(const job& j) {
  if (j.opts.dry_run) {
    struct stat info;
    if (stat(j.key.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || access(j.key.c_str(), R_OK) != 0) {
      printf("Failed to open %s for reading.\n", j.key.c_str());
      return 1;
    }
    printf(" -> %s\n", j.key.c_str());
    return 0;
  }
  kuvet bound = store(j);
  if (j.opts.transfers > 0) bound.transfers = j.opts.transfers;
  upload_journal journal;
  bound.journal = &journal;
  std::string unaborted = multipart::abort_unfinished(bound, journal);
  if (!unaborted.empty()) puts(unaborted.c_str());
  return report(bound.put(j.key));
}

int del_object(const job& j) {
  if (j.opts.dry_run) {
    printf(" -x %s\n", j.key.c_str());
    return 0;
  }
  return report(store(j).del(j.key));
}

struct command {
  const char* name;
  int (*handler)(const job& j);
};

const command commands[] = {
    {"list", list_store}, {"sync", sync_store}, {"get", get_object},
    {"put", put_object},  {"del", del_object},
};

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
  options opts = parse_options(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (opts.help) {
    fputs(help, stdout);
    return 0;
  }
  if (opts.version) {
    printf("kuvet %s\n", version);
    return 0;
  }
  if (!opts.error.empty()) {
    fprintf(stderr, "kuvet: %s\nTry 'kuvet --help'.\n", opts.error.c_str());
    return 2;
  }
  if (opts.command.empty()) {
    puts(usage);
    return 0;
  }
  http::user_agent() = agent;
  if (opts.command == "init") return init();
  location where = locate(config_file);
  if (where.root.empty()) {
    puts("Missing .kuvet file.");
    return 1;
  }
  // The tool works in the synced folder; keys are paths from there.
  if (chdir(where.root.c_str()) != 0) {
    printf("Error! Could not enter %s: %s\n", where.root.c_str(), strerror(errno));
    return 1;
  }
  std::string key;
  if (!opts.operands.empty()) {
    keys::path_key named =
        keys::key_for_path(opts.operands[0], where.user_folder, where.root, opts.command == "put");
    if (!named.refusal.empty()) {
      puts(("Error! " + named.refusal + ".").c_str());
      return 1;
    }
    key = named.key;
  }
  var config;
  if (!load_config(&config) || !check_url(config) || !add_credentials(config)) return 1;
  // Stores with self-signed certificates opt out of verification in ".kuvet".
  if (config["verify_tls"].is_boolean()) http::verify_tls() = config["verify_tls"].boolean;
  // The user named the key: an ignored one goes ahead, with a word.
  ignore_rules ignore(base::load(ignore_file));
  if (!key.empty() && ignore.ignored(key, false)) {
    fprintf(stderr, "Warning! .kuvetignore ignores %s; going ahead since it was named.\n",
            key.c_str());
  }
  for (const command& c : commands) {
    if (opts.command == c.name) return c.handler(job{opts, config, ignore, key});
  }
  return 1;
}

}  // namespace cli
