#include "run/outputs_apart.h"

#include <vector>

#include "logs/messages.h"
#include "logs/names.h"
#include "platform/platform.h"

namespace {

// The canonical path of `path`, which need not exist: its nearest existing
// directory made canonical, the rest joined on; empty when none can be
// told.
std::string where(const std::string& path) {
  std::string resolved;
  if (output_target(path, &resolved) == OutputTarget::kDirectory)
    return canonical_path(path);
  std::string dir, name;
  split_path(resolved, &dir, &name);
  if (dir == resolved) return std::string();
  const std::string parent = canonical_path(dir);
  if (!parent.empty()) return join_path(parent, name);
  const std::string above = where(dir);
  return above.empty() ? above : join_path(above, name);
}

}  // namespace

std::string outputs_apart(const Options& options) {
  struct Written {
    const char* flag;
    std::string path;
  };
  std::vector<Written> written;
  const bool file_output = options.format == OutputFormat::kEvents ||
                           options.format == OutputFormat::kSqlite;
  if (file_output && !options.test && !options.output.empty() && options.output != "-")
    written.push_back({"-o", options.output});
  if (!options.logs.empty()) written.push_back({"--logs", options.logs});
  // A device is written through, as a shell redirection does: not a file.
  std::vector<Written> files;
  for (const Written& w : written) {
    std::string resolved;
    if (output_target(w.path, &resolved) != OutputTarget::kDevice) files.push_back(w);
  }
  for (size_t i = 0; i < files.size(); ++i) {
    const Written& w = files[i];
    const std::string named = std::string(w.flag) + " " + shown(w.path);
    std::string resolved, dir, name;
    output_target(w.path, &resolved);
    split_path(resolved, &dir, &name);
    FileId id;
    const bool exists = file_id_of(w.path, &id);
    if (exists && (is_log_name(name) || is_archive_of_log(name)))
      return named + " is a log: a log is never an output";
    const std::string at = where(w.path);
    for (size_t j = 0; j < i; ++j) {
      FileId other;
      if ((exists && file_id_of(files[j].path, &other) && other == id) ||
          (!at.empty() && at == where(files[j].path)))
        return named + " is also " + files[j].flag + ": each output needs a file of its own";
    }
    for (const std::string& input : options.inputs) {
      if (input == "-") continue;
      FileId read;
      if (exists && file_id_of(input, &read) && read == id)
        return named + " is also read: an output never replaces a log";
      std::string input_resolved;
      if (output_target(input, &input_resolved) != OutputTarget::kDirectory || at.empty())
        continue;
      const std::string read_dir = canonical_path(input);
      std::string at_dir, at_name;
      split_path(at, &at_dir, &at_name);
      std::string below;
      if (!read_dir.empty() && path_below(at_dir, read_dir, &below) &&
          (options.recursive || below.empty()))
        return named + " lies inside " + shown(input) +
               ", a directory read: write it elsewhere";
    }
  }
  return std::string();
}
