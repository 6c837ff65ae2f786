#include "kuvet/credentials.h"

namespace credentials {

namespace {

using members = std::map<std::string, std::string>;

std::string trim(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

// The "key = value" members of section [name] of INI text ("#" and ";"
// begin comment lines). False when the text has no such section.
bool section(const std::string& text, const std::string& name, members* out) {
  bool found = false, inside = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      inside = trim(line.substr(1, line.size() - 2)) == name;
      found |= inside;
      continue;
    }
    size_t equals = line.find('=');
    if (inside && equals != std::string::npos)
      (*out)[trim(line.substr(0, equals))] = trim(line.substr(equals + 1));
  }
  return found;
}

std::string get(const environment& env, const std::string& name) {
  auto it = env.find(name);
  return it == env.end() ? "" : it->second;
}

std::string text_member(const var& config, const char* name) {
  var value = config[name];
  return value.is_string() ? value.str() : "";
}

std::string under_home(const environment& env, const char* file) {
  std::string home = get(env, "HOME");
  return home.empty() ? "" : home + "/.aws/" + file;
}

}  // namespace

std::string credentials_path(const environment& env) {
  std::string path = get(env, "AWS_SHARED_CREDENTIALS_FILE");
  return path.empty() ? under_home(env, "credentials") : path;
}

std::string config_path(const environment& env) {
  std::string path = get(env, "AWS_CONFIG_FILE");
  return path.empty() ? under_home(env, "config") : path;
}

found resolve(const var& config, const environment& env, const std::string& credentials_text,
              const std::string& config_text) {
  found keys;
  std::string profile = text_member(config, "profile");
  bool profile_named = !profile.empty();
  if (profile.empty()) profile = get(env, "AWS_PROFILE");
  profile_named |= !profile.empty();
  if (profile.empty()) profile = "default";

  std::string region = text_member(config, "region");
  if (region.empty()) region = get(env, "AWS_REGION");
  if (region.empty()) region = get(env, "AWS_DEFAULT_REGION");
  members settings;
  section(config_text, profile == "default" ? profile : "profile " + profile, &settings);
  keys.region = region.empty() ? settings["region"] : region;

  keys.id = text_member(config, "aws_id");
  keys.secret = text_member(config, "aws_key");
  if (!keys.id.empty() && !keys.secret.empty()) return keys;
  if (!keys.id.empty() || !keys.secret.empty()) {
    keys.problem = ".kuvet names only one of aws_id and aws_key: give both, or neither to take "
                   "them from the environment or a credentials file.";
    return keys;
  }
  // A profile named in ".kuvet" is the folder's own choice and beats the
  // environment's keys.
  if (text_member(config, "profile").empty()) {
    keys.id = get(env, "AWS_ACCESS_KEY_ID");
    keys.secret = get(env, "AWS_SECRET_ACCESS_KEY");
    keys.token = get(env, "AWS_SESSION_TOKEN");
    if (!keys.id.empty() && !keys.secret.empty()) return keys;
    if (!keys.id.empty() || !keys.secret.empty()) {
      keys.problem = "Only one of AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY is set.";
      return keys;
    }
  }
  members profile_keys;
  std::string file = credentials_path(env);
  if (file.empty()) file = "~/.aws/credentials";
  bool has_profile = section(credentials_text, profile, &profile_keys);
  keys.id = profile_keys["aws_access_key_id"];
  keys.secret = profile_keys["aws_secret_access_key"];
  keys.token = profile_keys["aws_session_token"];
  if (!keys.id.empty() && !keys.secret.empty()) return keys;
  if (has_profile) {
    keys.problem = "The profile '" + profile + "' in " + file +
                   " lacks aws_access_key_id or aws_secret_access_key.";
  } else if (profile_named) {
    keys.problem = "The profile '" + profile + "' is not in " + file + ".";
  } else {
    keys.problem = "No credentials: give aws_id and aws_key in .kuvet, set AWS_ACCESS_KEY_ID and "
                   "AWS_SECRET_ACCESS_KEY, or add a [default] profile to " + file + ".";
  }
  return keys;
}

}  // namespace credentials
