#include "logs/names.h"

#include "logs/messages.h"

#include "platform/platform.h"

const char kNoValidDate[] = "the name holds no valid date and hour";

Mode mode_of_letter(char letter) {
  return letter == 'p' ? Mode::kProprietary : Mode::kStandard;
}

char letter_of_mode(Mode mode) {
  return mode == Mode::kProprietary ? 'p' : 'e';
}

bool is_log_name(std::string_view name) {
  return ends_with_ignoring_case(name, ".dat");
}

bool is_archive_of_log(std::string_view name) {
  return ends_with_ignoring_case(name, ".dat.gz");
}

bool is_archive(std::string_view name) {
  return ends_with_ignoring_case(name, ".gz");
}

std::string log_name_of_archive(std::string_view archive) {
  return archive.size() <= 3 ? std::string()
                             : std::string(archive.substr(0, archive.size() - 3));
}

std::string csv_name_of(std::string_view log_name) {
  std::string name;
  name.reserve(log_name.size());  // one allocation a name, not two
  name.append(log_name.substr(0, log_name.size() - 3)).append("csv");
  return name;
}

std::string output_dir_name(char letter) {
  return std::string("csv_files_") + letter;
}

bool log_hour_of(std::string_view log_name, LogHour* hour, int first_year,
                 int last_year) {
  LogHour h;
  if (!read_log_hour(parse_log_date(log_name), &h) || h.year < first_year ||
      h.year > last_year) {
    return false;
  }
  *hour = h;
  return true;
}

std::string dir_signal_id(const std::string& dir) {
  // The last name of the absolute path, "." and ".." taken as they go.
  const std::string path = absolute_path(dir);
  std::vector<std::string> names;
  std::string name;
  for (size_t i = 0; i <= path.size(); ++i) {
    bool separator = i == path.size() || path[i] == '/' ||
                     path[i] == kPathSeparator[0];
    if (!separator) {
      name += path[i];
      continue;
    }
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    name.clear();
  }
  return names.empty() ? std::string() : names.back();
}

std::string signal_id_of(SignalIdFrom from, std::string_view log_name,
                         const std::string& dir_id) {
  LogHour hour;
  if (from == SignalIdFrom::kDir || !read_log_hour(parse_log_date(log_name), &hour))
    return dir_id;
  std::string leading = leading_fields(log_name);
  if (from == SignalIdFrom::kName || !leading.empty()) return leading;
  return dir_id;
}

std::string relative_dir_id(const std::string& prefix,
                            const std::vector<std::string>& relative) {
  std::string id = prefix;
  for (const std::string& name : relative) id += (id.empty() ? "" : "/") + name;
  return id;
}

std::string too_large_text(uint64_t limit, bool archive) {
  return "larger than --max-log-size (" + size_text(limit) + ")" +
         (archive ? " once decompressed" : "");
}
