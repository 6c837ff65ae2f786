#include "main/options.h"

#include <cstring>

namespace cli {

namespace {

struct option_def {
  char short_name;       // 0 when there is none
  const char* long_name;
  bool takes_value;
  const char* commands;  // " name name " of the commands that take it; null: any
};

const option_def option_table[] = {
    {'h', "help", false, nullptr},
    {0, "version", false, nullptr},
    {'n', "dry-run", false, " sync put del "},
    {'v', "verbose", false, " init list sync get put del "},
    {'l', "bytes", false, " list "},
    {0, "max-delete", true, " sync "},
    {0, "transfers", true, " sync put "},
};

struct command_def {
  const char* name;
  size_t operands;
};

const command_def command_table[] = {{"init", 0}, {"list", 0}, {"sync", 0},
                                     {"get", 1},  {"put", 1},  {"del", 1}};

const option_def* find_option(const std::string& long_name, char short_name) {
  for (const option_def& def : option_table) {
    if (short_name != 0 ? def.short_name == short_name : long_name == def.long_name) return &def;
  }
  return nullptr;
}

// A whole number from low to high, or -1.
int number(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 3) return -1;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n >= low && n <= high ? n : -1;
}

// Records an option in `o`; the misuse it makes, or "".
std::string apply(options& o, const option_def& def, const std::string& spelled,
                  const std::string& value) {
  std::string name = def.long_name;
  if (name == "max-delete") {
    o.max_delete = number(value, 0, 100);
    if (o.max_delete < 0) return "option '" + spelled + "' takes a percentage from 0 to 100, not '" + value + "'";
  } else if (name == "transfers") {
    o.transfers = number(value, 1, 64);
    if (o.transfers < 0) return "option '" + spelled + "' takes a number from 1 to 64, not '" + value + "'";
  }
  o.help |= name == "help";
  o.version |= name == "version";
  o.dry_run |= name == "dry-run";
  o.verbose |= name == "verbose";
  o.bytes |= name == "bytes";
  return "";
}

}  // namespace

options parse_options(const std::vector<std::string>& args) {
  options o;
  std::vector<std::pair<const option_def*, std::string>> given;  // with the spelling used
  std::vector<std::string> words;
  bool only_words = false;
  auto fail = [&o](const std::string& why) {
    if (o.error.empty()) o.error = why;
  };
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (only_words || arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);
    } else if (arg == "--") {
      only_words = true;
    } else if (arg[1] == '-') {
      size_t equals = arg.find('=');
      std::string spelled = arg.substr(0, equals);
      const option_def* def = find_option(spelled.substr(2), 0);
      std::string value;
      if (def == nullptr) {
        fail("unknown option '" + spelled + "'");
        continue;
      }
      if (!def->takes_value && equals != std::string::npos) {
        fail("option '" + spelled + "' takes no value");
        continue;
      }
      if (def->takes_value && equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (def->takes_value && i + 1 < args.size()) {
        value = args[++i];
      } else if (def->takes_value) {
        fail("option '" + spelled + "' needs a value");
        continue;
      }
      fail(apply(o, *def, spelled, value));
      given.emplace_back(def, spelled);
    } else {
      for (size_t k = 1; k < arg.size(); k++) {
        std::string spelled = std::string("-") + arg[k];
        const option_def* def = find_option("", arg[k]);
        if (def == nullptr) {
          fail("unknown option '" + spelled + "'");
          break;
        }
        fail(apply(o, *def, spelled, ""));
        given.emplace_back(def, spelled);
      }
    }
  }
  if (!words.empty()) {
    o.command = words[0];
    o.operands.assign(words.begin() + 1, words.end());
  }
  if (!o.error.empty() || o.help || o.version) return o;
  if (words.empty()) {
    if (!given.empty()) fail("missing command");
    return o;
  }
  const command_def* command = nullptr;
  for (const command_def& c : command_table) {
    if (o.command == c.name) command = &c;
  }
  if (command == nullptr) {
    fail("unknown command '" + o.command + "'");
    return o;
  }
  for (const auto& option : given) {
    const char* takers = option.first->commands;
    if (takers != nullptr && strstr(takers, (" " + o.command + " ").c_str()) == nullptr) {
      fail("option '" + option.second + "' does not apply to " + o.command);
      return o;
    }
  }
  if (o.operands.size() < command->operands) fail(o.command + " needs a path");
  if (o.operands.size() > command->operands) fail("extra operand '" + o.operands[command->operands] + "'");
  return o;
}

}  // namespace cli
