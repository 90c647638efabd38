// quillon-genlog: writes a synthetic controller log file.

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "events/event_table.h"
#include "tools/loggen.h"
#include "tools/signal_day.h"

namespace {

const char kGenlogUsage[] =
    "usage: quillon-genlog [options] FILE\n"
    "Writes a synthetic controller log to FILE.\n"
    "  --version N    log format version (default 6; 4, 5, 6 or any other)\n"
    "  --records N    number of records (default 100)\n"
    "  --seed N       random seed (default 1)\n"
    "  --types A,B,.. draw event types from this list (default: all types)\n"
    "  --every-type   every type of the table in turn, each with the data\n"
    "                 bytes all 0x00, 0xFF, 0x01, 0x10 and then --records\n"
    "                 random ones (no --types)\n"
    "  --bad-type     end with a record of the first type beyond the table\n"
    "  --cut          end in the middle of the last record\n"
    "  --gzip         write the log gzip-compressed\n"
    "  --day DATE     a signal's day instead: FILE is a directory (made\n"
    "                 if need be) that gets the 24 logs DATE_00.dat to\n"
    "                 DATE_23.dat (DATE as 2022_06_08) of phases cycling\n"
    "                 in two rings, detectors, pedestrians, plans with\n"
    "                 their splits, and preemptions through all their\n"
    "                 states; the power fails at 03:00, the last\n"
    "                 detector sticks on from 10:00 to 11:30 with a fault\n"
    "                 alarm, the one before chatters at 14:00\n"
    "  --detectors N  the day's detector channels (default 16)\n"
    "  --map FILE     with --day, also its detector map, for the signal\n"
    "                 named by FILE's directory: stop bars that hold\n"
    "                 queues, advance detectors that see platoons\n"
    "  --fall-back    with --day, the clock goes back an hour at 01:59:59.9\n"
    "                 (a day of 25 hours: DATE_01.dat holds two)\n"
    "  --spring-forward  with --day, the clock goes from 01:59:59.9 to\n"
    "                 03:00 (a day of 23 hours, no DATE_02.dat)\n"
    "  --change-hour H  the hour shown twice by --fall-back (default 1),\n"
    "                 or skipped by --spring-forward (default 2)\n"
    "  --help         print this text\n";

bool parse_number(const char* text, long max, long* value) {
  char* end = nullptr;
  *value = strtol(text, &end, 10);
  return end != text && *end == '\0' && *value >= 0 && *value <= max;
}

// Writes `bytes` to the file `path`; false, said on the standard error
// stream, when that failed.
bool write_file(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    perror(path.c_str());
    return false;
  }
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (fclose(file) != 0) ok = false;
  if (!ok) fprintf(stderr, "quillon-genlog: failed to write %s\n", path.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  long version = 6, records = 100, seed = 1;
  std::vector<int> types;
  bool bad_type = false, cut = false, gzip = false, every_type = false, fall_back = false,
       spring_forward = false;
  const char* day = nullptr;
  const char* map = nullptr;
  long detectors = 16;
  const long kNoHour = -1;
  long change_hour = kNoHour;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      fputs(kGenlogUsage, stdout);
      return 0;
    }
    if (arg == "--version" && has_value) {
      ok = parse_number(argv[++i], 1000000, &version);
    } else if (arg == "--records" && has_value) {
      ok = parse_number(argv[++i], 100000000, &records);
    } else if (arg == "--seed" && has_value) {
      ok = parse_number(argv[++i], 0xFFFFFFFF, &seed);
    } else if (arg == "--types" && has_value) {
      std::string list = argv[++i];
      size_t start = 0;
      while (ok && start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        long type = 0;
        ok = parse_number(list.substr(start, comma - start).c_str(), 255,
                          &type);
        types.push_back(static_cast<int>(type));
        start = comma + 1;
      }
    } else if (arg == "--every-type") {
      every_type = true;
    } else if (arg == "--bad-type") {
      bad_type = true;
    } else if (arg == "--cut") {
      cut = true;
    } else if (arg == "--gzip") {
      gzip = true;
    } else if (arg == "--day" && has_value) {
      day = argv[++i];
    } else if (arg == "--map" && has_value) {
      map = argv[++i];
    } else if (arg == "--fall-back") {
      fall_back = true;
    } else if (arg == "--spring-forward") {
      spring_forward = true;
    } else if (arg == "--change-hour" && has_value) {
      ok = parse_number(argv[++i], 22, &change_hour);
    } else if (arg == "--detectors" && has_value) {
      ok = parse_number(argv[++i], 64, &detectors);
    } else if (arg[0] != '-' && path == nullptr) {
      path = argv[i];
    } else {
      ok = false;
    }
    if (!ok) {
      fprintf(stderr, "quillon-genlog: bad argument '%s'\n%s", argv[i],
              kGenlogUsage);
      return 2;
    }
  }
  if (path == nullptr) {
    fputs(kGenlogUsage, stderr);
    return 2;
  }

  int v = static_cast<int>(version);
  if (day != nullptr) {
    SignalDayOptions options;
    options.version = v;
    options.detectors = static_cast<int>(detectors);
    options.seed = static_cast<uint32_t>(seed);
    options.fall_back = fall_back;
    options.spring_forward = spring_forward && !fall_back;
    if (change_hour != kNoHour) options.change_hour = static_cast<int>(change_hour);
    options.mapped = map != nullptr;
    std::vector<std::vector<LogRecord>> hours = signal_day(options);
    std::error_code made;
    std::filesystem::create_directories(path, made);
    if (made) {
      fprintf(stderr, "quillon-genlog: %s: %s\n", path, made.message().c_str());
      return 1;
    }
    for (size_t h = 0; h < hours.size(); ++h) {
      if (options.spring_forward && static_cast<long>(h) == (change_hour != kNoHour ? change_hour : 2))
        continue;
      char name[64];
      snprintf(name, sizeof name, "%s_%02d.dat%s", day, static_cast<int>(h),
               gzip ? ".gz" : "");
      std::string log = make_log(v, hours[h]);
      if (gzip) log = gzip_bytes(log);
      if (!write_file(std::string(path) + "/" + name, log)) return 1;
    }
    if (map != nullptr) {
      const std::string id = std::filesystem::path(path).lexically_normal().filename().string();
      if (!write_file(map, signal_day_map(options, id.empty() ? std::filesystem::path(path)
                                                                   .lexically_normal()
                                                                   .parent_path()
                                                                   .filename()
                                                                   .string()
                                                         : id)))
        return 1;
    }
    return 0;
  }
  std::string log =
      every_type
          ? make_log(v, every_type_records(v, static_cast<int>(records),
                                           static_cast<uint32_t>(seed)))
          : make_log(v, random_records(v, static_cast<size_t>(records),
                                       static_cast<uint32_t>(seed), types));
  if (bad_type) {
    int first_bad = select_event_table(v).count;
    log += encode_record({static_cast<uint8_t>(first_bad), 0, {}});
  }
  if (cut) {
    // A record of the longest type of the table, missing its last byte.
    const EventTable& table = select_event_table(v);
    int longest = 0;
    for (int t = 0; t < table.count; ++t)
      if (table.rows[t].length > table.rows[longest].length) longest = t;
    log += encode_record({static_cast<uint8_t>(longest), 0, {}});
    log.append(table.rows[longest].length - 1u, '\0');
  }
  if (gzip) {
    log = gzip_bytes(log);
    if (log.empty()) {
      fprintf(stderr, "quillon-genlog: compression failed\n");
      return 1;
    }
  }

  return write_file(path, log) ? 0 : 1;
}
