#include "driver/options.h"

#include <cstdlib>

namespace {

// Reads a count of jobs: a decimal number from 0 to 1024.
bool parse_jobs(const std::string& text, int* jobs) {
  if (text.empty() || text.size() > 4) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *jobs = atoi(text.c_str());
  return *jobs <= 1024;
}

Command positional(const std::string& dir, const std::string& mode,
                   Options* options) {
  // An empty directory would put every path under the root directory.
  if (dir.empty() || mode.empty()) return Command::kBadUsage;
  options->dir = dir;
  options->letter = mode[0];
  return Command::kRun;
}

}  // namespace

Command parse_command_line(const std::vector<std::string>& args,
                           Options* options) {
  *options = Options();
  if (args.size() == 2) {
    const std::string& arg = args[1];
    if (arg == "-h" || arg == "--help" || arg == "/?") return Command::kHelp;
    if (arg == "--version") return Command::kVersion;
  }
  if (args.size() == 3) return positional(args[1], args[2], options);

  size_t i = 1;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;  // the directory
    if (arg[1] == '-') {
      std::string name = arg.substr(2), value;
      size_t equals = name.find('=');
      bool has_value = equals != std::string::npos;
      if (has_value) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
      }
      bool takes_value = name == "output" || name == "jobs";
      if (has_value && !takes_value) return Command::kBadUsage;
      if (takes_value && !has_value) {
        if (i + 1 >= args.size()) return Command::kBadUsage;
        value = args[++i];
      }
      if (name == "keep") options->keep = true;
      else if (name == "recursive") options->recursive = true;
      else if (name == "test") options->test = true;
      else if (name == "quiet") options->quiet = true;
      else if (name == "help") return Command::kHelp;
      else if (name == "version") return Command::kVersion;
      else if (name == "output" && !value.empty()) options->output = value;
      else if (name == "jobs" && parse_jobs(value, &options->jobs)) {
      } else {
        return Command::kBadUsage;
      }
      continue;
    }
    // Short options, possibly bundled; -o and -j take the rest of the
    // argument or the next one.
    for (size_t j = 1; j < arg.size(); ++j) {
      char c = arg[j];
      if (c == 'o' || c == 'j') {
        std::string value = arg.substr(j + 1);
        if (value.empty()) {
          if (i + 1 >= args.size()) return Command::kBadUsage;
          value = args[++i];
        }
        if (c == 'o') {
          if (value.empty()) return Command::kBadUsage;
          options->output = value;
        } else if (!parse_jobs(value, &options->jobs)) {
          return Command::kBadUsage;
        }
        break;
      }
      switch (c) {
        case 'k': options->keep = true; break;
        case 'r': options->recursive = true; break;
        case 't': options->test = true; break;
        case 'q': options->quiet = true; break;
        case 'h': return Command::kHelp;
        default: return Command::kBadUsage;
      }
    }
  }
  if (args.size() - i != 2) return Command::kBadUsage;
  Options parsed = *options;
  Command command = positional(args[i], args[i + 1], &parsed);
  if (command == Command::kRun) *options = parsed;
  return command;
}
