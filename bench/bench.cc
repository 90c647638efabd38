// quillon-bench: how fast the built tool converts, against the floor that
// writing its output sets. Generates its corpus with the log generator into a
// temporary directory (in /dev/shm when there is one), runs the tool as a
// user would, interleaving rounds with the programs it is compared with, and
// prints medians. It asserts nothing.
//
// Usage: quillon-bench [--quick] [--rounds N] TOOL
//   --quick: a tiny corpus, for a smoke run.
//   --zlib-tool TOOL: quillon built to inflate with zlib, to compare -k
//       with (where TOOL inflates with ISA-L).
// Subcommands that the benchmark runs as processes of their own:
//   quillon-bench --peak-rss PROGRAM ARGS...   runs PROGRAM and prints its
//       peak resident memory in KiB (from a small process, so that the
//       figure is the program's, not this benchmark's)
//   quillon-bench --floor DIR OUT SIZE   the small-log floor: lists DIR once,
//       reads each .dat, writes SIZE bytes into OUT through a temporary file
//       renamed to <name>.csv

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "run/decompress.h"
#include "events/event_table.h"
#include "platform/platform.h"
#include "tools/loggen.h"
#include "tools/signal_day.h"

namespace {

namespace fs = std::filesystem;

// Event types of a busy current-version day: about three quarters vehicle
// detector on/off, then phase events, coordination, preemption and priority,
// the 14- to 16-byte priority records among them. Repeats are weights.
std::vector<int> busy_day_types() {
  std::vector<int> types(300, 25);                       // Veh Detector on/off
  for (int t : {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 16, 18, 19, 20, 21, 22})
    types.insert(types.end(), 4, t);                     // phase events
  for (int t : {42, 44, 46, 47, 48, 49, 57}) types.insert(types.end(), 2, t);
  for (int t : {37, 39, 40, 41}) types.insert(types.end(), 1, t);   // preempt
  for (int t : {72, 75, 79, 80, 85, 88, 89, 91, 99}) types.push_back(t);
  return types;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string hour_name(int hour) {
  char name[32];
  snprintf(name, sizeof name, "2022_06_08_%02d.dat", hour);
  return name;
}

double now() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Runs `argv` with standard output to `out_path` (or /dev/null) and returns
// its exit status.
int run(const std::vector<std::string>& argv, const std::string& out_path = "",
        const std::string& err_path = "") {
  pid_t pid = fork();
  if (pid == 0) {
    int out = out_path.empty()
                  ? open("/dev/null", O_WRONLY)
                  : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = err_path.empty()
                  ? open("/dev/null", O_WRONLY)
                  : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `argv` and returns the output it printed.
std::string capture(const std::vector<std::string>& argv, const fs::path& scratch) {
  fs::path out = scratch / "capture.txt";
  run(argv, out.string());
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  fs::remove(out);
  return text;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Two commands timed in `rounds` interleaved rounds, `before` (when set)
// run untimed ahead of each: the medians of their times and of the ratio of
// the first's to the second's, and the ratio's range.
struct Pair {
  double first, second, ratio, low, high;
};
Pair time_pair(int rounds, const std::vector<std::string>& first,
               const std::vector<std::string>& second,
               const std::function<void()>& before = nullptr) {
  std::vector<double> a, b, ratios;
  for (int round = 0; round < rounds; ++round) {
    if (before) before();
    double start = now();
    run(first);
    double t = now() - start;
    start = now();
    run(second);
    double u = now() - start;
    a.push_back(t);
    b.push_back(u);
    ratios.push_back(t / u);
  }
  return {median(a), median(b), median(ratios),
          *std::min_element(ratios.begin(), ratios.end()),
          *std::max_element(ratios.begin(), ratios.end())};
}


uint64_t total_size(const fs::path& dir, const std::string& ending) {
  uint64_t size = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().string().size() >= ending.size() &&
        e.path().string().compare(e.path().string().size() - ending.size(),
                                  ending.size(), ending) == 0)
      size += e.file_size();
  return size;
}

std::vector<std::string> sorted_files(const fs::path& dir, const std::string& ending) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string p = e.path().string();
    if (e.is_regular_file() && p.size() >= ending.size() &&
        p.compare(p.size() - ending.size(), ending.size(), ending) == 0)
      files.push_back(p);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// --peak-rss: this process is small; the program's peak is what wait4 gives.
int peak_rss_main(char** argv) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  printf("%ld\n", usage.ru_maxrss);
  return 0;
}

// --floor: what any converter of these logs must do per file.
int floor_main(const char* dir, const char* out_dir, long size) {
  std::vector<DirEntry> entries;
  std::string err;
  std::shared_ptr<Dir> d = Dir::open(dir, &err);
  if (d == nullptr || !d->list(&entries, &err)) return 1;
  std::vector<std::string> names;
  for (const DirEntry& e : entries)
    if (ends_with_ignoring_case(e.name, ".dat")) names.push_back(e.name);
  std::string csv(static_cast<size_t>(size), 'x');
  std::vector<char> buf(1 << 16);
  for (const std::string& name : names) {
    int in = open(join_path(dir, name).c_str(), O_RDONLY);
    if (in < 0) return 1;
    while (read(in, buf.data(), buf.size()) > 0) {
    }
    std::string temp = join_path(out_dir, ".floor-" + name);
    int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (out < 0 || write(out, csv.data(), csv.size()) != size) return 1;
    close(out);
    close(in);
    if (rename(temp.c_str(), join_path(out_dir, name.substr(0, name.size() - 3) + "csv").c_str()) != 0)
      return 1;
  }
  return 0;
}

struct Corpus {
  fs::path root, day, single, header, big, small, gz;
  int day_logs, day_records, big_records, small_logs;
};

Corpus make_corpus(bool quick) {
  Corpus c;
  fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string tmpl = (base / "quillon-bench-XXXXXX").string();
  if (mkdtemp(&tmpl[0]) == nullptr) {
    perror("mkdtemp");
    exit(1);
  }
  c.root = tmpl;
  c.day_logs = quick ? 2 : 24;
  c.day_records = quick ? 20000 : 200000;
  c.big_records = quick ? 200000 : 2000000;
  c.small_logs = quick ? 500 : 20000;
  for (fs::path* d : {&c.day, &c.single, &c.header, &c.big, &c.small, &c.gz}) {
    *d = c.root / (d == &c.day ? "day" : d == &c.single ? "single" : d == &c.header ? "header"
                   : d == &c.big ? "big" : d == &c.small ? "small" : "gz");
    fs::create_directories(*d);
  }
  const int kVersion = 7;  // the current table
  std::vector<int> types = busy_day_types();
  for (int hour = 0; hour < c.day_logs; ++hour) {
    std::string log = make_log(kVersion, random_records(kVersion, c.day_records, 100 + hour, types));
    write_file(c.day / hour_name(hour), log);
    write_file(c.gz / (hour_name(hour) + ".gz"), gzip_bytes(log));
    if (hour == 0) write_file(c.single / hour_name(hour), log);
  }
  write_file(c.header / hour_name(0), make_log_header(kVersion));
  write_file(c.big / hour_name(0), make_log(kVersion, random_records(kVersion, c.big_records, 7, types)));
  std::string small = make_log(kVersion, random_records(kVersion, 20, 9, types));
  for (int i = 0; i < c.small_logs; ++i) {
    char name[48];
    snprintf(name, sizeof name, "I%05d_17_2022_06_08_13.dat", i);
    write_file(c.small / name, small);
  }
  return c;
}

// Instructions that a run of `tool` on `dir` executes in user space, by
// callgrind; 0 when valgrind is not installed.
// `options` go before the directory.
double instructions(const std::string& tool, const fs::path& dir, char mode, const fs::path& scratch,
                    const std::vector<std::string>& options = {}) {
  fs::remove_all(dir / (std::string("csv_files_") + mode));
  fs::path log = scratch / "callgrind.txt";
  std::vector<std::string> command = {"valgrind", "--tool=callgrind",
                                      "--callgrind-out-file=/dev/null",
                                      "--log-file=" + log.string(), tool};
  command.insert(command.end(), options.begin(), options.end());
  command.push_back(dir.string());
  command.push_back(std::string(1, mode));
  int status = run(command);
  if (status != 0) return 0;
  std::ifstream in(log);
  std::string line;
  double collected = 0;
  while (std::getline(in, line)) {
    size_t at = line.find("Collected :");
    if (at != std::string::npos) collected = atof(line.c_str() + at + 11);
  }
  return collected;
}

// System calls of a run, by strace; 0 when strace is not installed.
double system_calls(const std::vector<std::string>& argv, const fs::path& scratch) {
  fs::path log = scratch / "strace.txt";
  std::vector<std::string> command = {"strace", "-f", "-c", "-o", log.string()};
  command.insert(command.end(), argv.begin(), argv.end());
  if (run(command) != 0) return 0;
  std::ifstream in(log);
  std::string line, last;
  while (std::getline(in, line))
    if (line.find("total") != std::string::npos) last = line;
  // "100.00    0.012345           1     12345        12 total"
  double numbers[5] = {};
  sscanf(last.c_str(), "%lf %lf %lf %lf", &numbers[0], &numbers[1], &numbers[2], &numbers[3]);
  return numbers[3];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "--peak-rss") == 0) return peak_rss_main(argv + 2);
  if (argc == 5 && strcmp(argv[1], "--floor") == 0) return floor_main(argv[2], argv[3], atol(argv[4]));

  bool quick = false;
  int rounds = 7;
  std::string tool, zlib_tool;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--zlib-tool" && i + 1 < argc) {
      zlib_tool = fs::absolute(argv[++i]).string();
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, atoi(argv[++i]));
    } else if (tool.empty() && arg[0] != '-') {
      tool = fs::absolute(arg).string();
    } else {
      fprintf(stderr, "usage: quillon-bench [--quick] [--rounds N] [--zlib-tool TOOL] TOOL\n");
      return 2;
    }
  }
  if (tool.empty()) {
    fprintf(stderr, "usage: quillon-bench [--quick] [--rounds N] TOOL\n");
    return 2;
  }
  if (quick) rounds = std::min(rounds, 3);
  const std::string self = fs::canonical("/proc/self/exe").string();

  // The machine: its processor and cores.
  {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "an unknown processor";
    while (std::getline(cpuinfo, line))
      if (line.rfind("model name", 0) == 0) {
        model = line.substr(line.find(':') + 2);
        break;
      }
    printf("machine: %s, %u cores\n", model.c_str(), std::thread::hardware_concurrency());
  }
  Corpus c = make_corpus(quick);
  printf("corpus in %s: %d logs of %d records (a busy day), one of %d, %d small logs of 20\n",
         c.root.c_str(), c.day_logs, c.day_records, c.big_records, c.small_logs);
  const double day_records = static_cast<double>(c.day_logs) * c.day_records;
  double csv_instructions[2] = {0, 0};  // per record, modes p and e

  for (char mode : {'p', 'e'}) {
    const std::string letter(1, mode);
    const fs::path out_dir = c.day / ("csv_files_" + letter);
    const fs::path cat_out = c.root / "cat.csv";

    // The busy day, against cat writing the same CSV bytes into the same
    // file system, in interleaved rounds.
    run({tool, c.day.string(), letter});
    std::vector<std::string> cat = {"cat"};
    fs::path cat_src = c.root / ("cat-src-" + letter);
    fs::remove_all(cat_src);
    fs::rename(out_dir, cat_src);
    for (const std::string& f : sorted_files(cat_src, ".csv")) cat.push_back(f);
    const uint64_t csv_bytes = total_size(cat_src, ".csv");
    std::vector<double> tool_times, cat_times, ratios;
    for (int round = 0; round < rounds; ++round) {
      fs::remove_all(out_dir);
      double start = now();
      run({tool, c.day.string(), letter});
      double t = now() - start;
      fs::remove(cat_out);
      start = now();
      run(cat, cat_out.string());
      double k = now() - start;
      tool_times.push_back(t);
      cat_times.push_back(k);
      ratios.push_back(t / k);
    }
    double t = median(tool_times);
    printf("\nmode %c, busy day (%d logs, %.0f records, %.1f MB of CSV), %d rounds:\n",
           mode, c.day_logs, day_records, csv_bytes / 1e6, rounds);
    printf("  %.1f M records/s, %.0f MB/s of CSV; quillon %.3f s, cat %.3f s (medians)\n",
           day_records / t / 1e6, csv_bytes / t / 1e6, t, median(cat_times));
    printf("  time / cat's time: %.2f (median of rounds; %.2f to %.2f)\n", median(ratios),
           *std::min_element(ratios.begin(), ratios.end()),
           *std::max_element(ratios.begin(), ratios.end()));

    // Peak resident memory.
    for (const fs::path& dir : {c.single, c.big}) {
      fs::remove_all(dir / ("csv_files_" + letter));
      std::string kib = capture({self, "--peak-rss", tool, dir.string(), letter}, c.root);
      printf("  peak resident memory, %s-record log: %ld KiB\n",
             dir == c.single ? std::to_string(c.day_records).c_str()
                             : std::to_string(c.big_records).c_str(),
             atol(kib.c_str()));
    }

    // Many small logs, against the floor of listing once, reading each and
    // writing a CSV of the same size through a temporary file and a rename.
    const fs::path small_out = c.small / ("csv_files_" + letter);
    run({tool, c.small.string(), letter});
    long small_csv = static_cast<long>(fs::file_size(fs::directory_iterator(small_out)->path()));
    const fs::path floor_out = c.root / "floor";
    std::vector<double> small_times, floor_times;
    for (int round = 0; round < rounds; ++round) {
      fs::remove_all(small_out);
      double start = now();
      run({tool, c.small.string(), letter});
      small_times.push_back(now() - start);
      fs::remove_all(floor_out);
      fs::create_directory(floor_out);
      start = now();
      run({self, "--floor", c.small.string(), floor_out.string(), std::to_string(small_csv)});
      floor_times.push_back(now() - start);
    }
    double per_file = median(small_times) / c.small_logs * 1e6;
    double floor_per_file = median(floor_times) / c.small_logs * 1e6;
    printf("  small logs: %.2f us per file, floor %.2f us (%.2f times the floor)\n", per_file,
           floor_per_file, per_file / floor_per_file);
    fs::remove_all(small_out);
    fs::remove_all(floor_out);
    fs::create_directory(floor_out);
    double calls = system_calls({tool, c.small.string(), letter}, c.root);
    double floor_calls = system_calls(
        {self, "--floor", c.small.string(), floor_out.string(), std::to_string(small_csv)}, c.root);
    if (calls > 0) {
      printf("  small logs: %.1f system calls per file, floor %.1f\n", calls / c.small_logs,
             floor_calls / c.small_logs);
    }

    // Instructions per record: a log's run less a header-only log's.
    double with_records = instructions(tool, c.single, mode, c.root);
    double header_only = instructions(tool, c.header, mode, c.root);
    if (with_records > 0 && header_only > 0) {
      csv_instructions[mode == 'e'] = (with_records - header_only) / c.day_records;
      printf("  instructions per record (callgrind, %d-record log less its header): %.1f\n",
             c.day_records, csv_instructions[mode == 'e']);
    }
  }

  // The events table of the busy day in mode e: instructions per record
  // against the CSV run's, written to a file against cat of the same bytes,
  // and gzip-compressed.
  {
    const fs::path table = c.root / "events.csv", copy = c.root / "events-copy.csv";
    const std::vector<std::string> to_file = {"-f", "events", "-o", table.string()};
    double with_records = instructions(tool, c.single, 'e', c.root, to_file);
    double header_only = instructions(tool, c.header, 'e', c.root, to_file);
    std::vector<std::string> command = {tool};
    command.insert(command.end(), to_file.begin(), to_file.end());
    command.insert(command.end(), {c.day.string(), "e"});
    run(command);
    fs::copy_file(table, copy, fs::copy_options::overwrite_existing);
    const fs::path cat_out = c.root / "cat.csv";
    std::vector<double> tool_times, cat_times, ratios, gz_times;
    std::vector<std::string> gz_command = {tool, "-f", "events", "-o",
                                           (c.root / "events.csv.gz").string(),
                                           c.day.string(), "e"};
    for (int round = 0; round < rounds; ++round) {
      fs::remove(table);
      double start = now();
      run(command);
      double t = now() - start;
      fs::remove(cat_out);
      start = now();
      run({"cat", copy.string()}, cat_out.string());
      double k = now() - start;
      tool_times.push_back(t);
      cat_times.push_back(k);
      ratios.push_back(t / k);
      start = now();
      run(gz_command);
      gz_times.push_back(now() - start);
    }
    printf("\nevents table, mode e, busy day (%.1f MB):\n", fs::file_size(table) / 1e6);
    if (with_records > 0 && header_only > 0) {
      double per_record = (with_records - header_only) / c.day_records;
      printf("  instructions per record (callgrind): %.1f, %.2f times the CSV run's %.1f\n",
             per_record, per_record / csv_instructions[1], csv_instructions[1]);
    }
    printf("  to a file: %.1f M records/s; quillon %.3f s, cat %.3f s (medians); "
           "time / cat's time: %.2f (median of rounds; %.2f to %.2f)\n",
           day_records / median(tool_times) / 1e6, median(tool_times), median(cat_times),
           median(ratios), *std::min_element(ratios.begin(), ratios.end()),
           *std::max_element(ratios.begin(), ratios.end()));
    printf("  to a .gz file: %.1f M records/s (%.3f s, %.1f MB)\n",
           day_records / median(gz_times) / 1e6, median(gz_times),
           fs::file_size(c.root / "events.csv.gz") / 1e6);

    // The same with --tz: each log's offset is worked out once, its rows
    // written as fast (a day without a change, as 363 of a year's are).
    std::vector<std::string> zoned = to_file;
    zoned.insert(zoned.begin(), {"--tz", "America/Chicago"});
    const double zoned_records = instructions(tool, c.single, 'e', c.root, zoned);
    const double zoned_header = instructions(tool, c.header, 'e', c.root, zoned);
    std::vector<std::string> zoned_command = command;
    zoned_command.insert(zoned_command.begin() + 1, {"--tz", "America/Chicago"});
    const Pair tz = time_pair(rounds, zoned_command, command);
    if (with_records > 0 && zoned_records > 0) {
      printf("  with --tz America/Chicago: instructions per record (callgrind) %.1f, %.3f "
             "times without\n",
             (zoned_records - zoned_header) / c.day_records,
             (zoned_records - zoned_header) / (with_records - header_only));
    }
    printf("  with --tz America/Chicago: %.3f s against %.3f s, %.3f times (median of rounds; "
           "%.3f to %.3f)\n",
           tz.first, tz.second, tz.ratio, tz.low, tz.high);
  }

  // The busy day loaded into an SQLite database, against the events table
  // imported by the sqlite3 shell into a plain table (no key, no index).
  if (run({tool, "-f", "sqlite", "-t", "-o", (c.root / "probe.db").string(),
           c.header.string(), "e"}) == 0 &&
      run({"sqlite3", "--version"}) == 0) {
    const fs::path db = c.root / "load.db", imported = c.root / "import.db",
                   table = c.root / "import.csv";
    std::vector<double> load_times, import_times, ratios;
    for (int round = 0; round < rounds; ++round) {
      fs::remove(db);
      double start = now();
      run({tool, "-f", "sqlite", "-o", db.string(), c.day.string(), "e"});
      double load = now() - start;
      fs::remove(imported);
      fs::remove(table);
      start = now();
      run({tool, "-f", "events", "-o", table.string(), c.day.string(), "e"});
      run({"sqlite3", imported.string(),
           "CREATE TABLE events (signal_id TEXT, timestamp TEXT, event_code "
           "INTEGER, event_param INTEGER)",
           ".import --csv --skip 1 " + table.string() + " events"});
      double import = now() - start;
      load_times.push_back(load);
      import_times.push_back(import);
      ratios.push_back(load / import);
    }
    std::string rows = capture({"sqlite3", db.string(), "SELECT count(*) FROM events"}, c.root);
    double events = atof(rows.c_str());
    fs::remove(db);
    std::string kib = capture({self, "--peak-rss", tool, "-f", "sqlite", "-o", db.string(),
                               c.day.string(), "e"}, c.root);
    printf("\nSQLite database, mode e, busy day (%.0f events):\n", events);
    printf("  %.2f M events/s; load %.2f s, -f events and sqlite3 .import %.2f s (medians)\n",
           events / median(load_times) / 1e6, median(load_times), median(import_times));
    printf("  load / import: %.2f (median of rounds; %.2f to %.2f); peak resident memory %ld KiB\n",
           median(ratios), *std::min_element(ratios.begin(), ratios.end()),
           *std::max_element(ratios.begin(), ratios.end()), atol(kib.c_str()));
  }

  // The measures of the busy day and of a realistic day, against the events
  // table of the same logs written to a file, in interleaved rounds; the
  // realistic day's with its detector map too; the peak resident memory of
  // the measures of the busy day, of ten signals of it, and of ten signals
  // of the realistic day in the map.
  {
    const fs::path realistic = c.root / "realistic", ten = c.root / "ten",
                   ten_mapped = c.root / "ten-mapped", map = c.root / "map.csv";
    fs::create_directories(realistic);
    SignalDayOptions day;
    day.detectors = 32;
    day.mapped = true;
    std::vector<std::vector<LogRecord>> hours = signal_day(day);
    for (size_t h = 0; h < hours.size(); ++h) {
      char name[32];
      snprintf(name, sizeof name, "2022_06_08_%02d.dat", static_cast<int>(h));
      write_file(realistic / name, make_log(6, hours[h]));
    }
    std::string rows = signal_day_map(day, "realistic");
    for (int copy = 0; copy < 10; ++copy) {
      fs::create_directories(ten / std::to_string(copy));
      for (const std::string& log : sorted_files(c.day, ".dat"))
        fs::create_hard_link(log, ten / std::to_string(copy) / fs::path(log).filename());
      fs::create_directories(ten_mapped / std::to_string(copy));
      for (const std::string& log : sorted_files(realistic, ".dat"))
        fs::create_hard_link(log, ten_mapped / std::to_string(copy) / fs::path(log).filename());
      std::string of_copy = signal_day_map(day, std::to_string(copy));
      rows += of_copy.substr(of_copy.find('\n') + 1);
    }
    write_file(map, rows);
    const fs::path out = c.root / "measures", table = c.root / "measures-table.csv";
    // A realistic day's runs take a fiftieth of a second, the machine's
    // noise as much: three times the rounds, for a median that holds.
    const int short_rounds = 3 * rounds;
    for (const fs::path& logs : {c.day, realistic}) {
      Pair p = time_pair(logs == c.day ? rounds : short_rounds,
                         {tool, "-f", "measures", "-o", out.string(), logs.string(), "e"},
                         {tool, "-f", "events", "-o", table.string(), logs.string(), "e"});
      printf("\nmeasures, %s day: %.3f s, events table to a file %.3f s (medians); "
             "measures / table: %.2f (%.2f to %.2f)\n",
             logs == c.day ? "busy" : "realistic", p.first, p.second, p.ratio,
             p.low, p.high);
    }
    Pair mapped = time_pair(short_rounds,
                            {tool, "-f", "measures", "--detectors", map.string(), "-o",
                             out.string(), realistic.string(), "e"},
                            {tool, "-f", "events", "-o", table.string(), realistic.string(), "e"});
    printf("measures with its detector map, realistic day: %.3f s, events table %.3f s "
           "(medians); measures / table: %.2f (%.2f to %.2f)\n",
           mapped.first, mapped.second, mapped.ratio, mapped.low, mapped.high);
    // In a zone: each log's offset worked out once, the bins those of its
    // clocks (a day without a change, as 363 of a year's are).
    Pair zoned = time_pair(rounds,
                           {tool, "--tz", "America/Chicago", "-f", "measures", "--detectors",
                            map.string(), "-o", out.string(), realistic.string(), "e"},
                           {tool, "-f", "measures", "--detectors", map.string(), "-o",
                            out.string(), realistic.string(), "e"});
    printf("  with --tz America/Chicago: %.3f s against %.3f s, %.3f times (median of rounds; "
           "%.3f to %.3f)\n",
           zoned.first, zoned.second, zoned.ratio, zoned.low, zoned.high);
    // With -j 2 against -j 1: the measures and the table side by side.
    Pair measures_jobs = time_pair(
        rounds, {tool, "-f", "measures", "-j", "2", "-o", out.string(), c.day.string(), "e"},
        {tool, "-f", "measures", "-j", "1", "-o", out.string(), c.day.string(), "e"});
    Pair table_jobs = time_pair(
        rounds, {tool, "-f", "events", "-j", "2", "-o", table.string(), c.day.string(), "e"},
        {tool, "-f", "events", "-j", "1", "-o", table.string(), c.day.string(), "e"});
    printf("  -j 2 / -j 1, busy day: measures %.2f, events table %.2f (medians of rounds)\n",
           measures_jobs.ratio, table_jobs.ratio);
    std::string one = capture({self, "--peak-rss", tool, "-f", "measures", "-o",
                               out.string(), c.day.string(), "e"}, c.root);
    std::string tens = capture({self, "--peak-rss", tool, "-f", "measures", "-r", "-o",
                                out.string(), ten.string(), "e"}, c.root);
    std::string tens_mapped = capture({self, "--peak-rss", tool, "-f", "measures", "-r",
                                       "--detectors", map.string(), "-o", out.string(),
                                       ten_mapped.string(), "e"}, c.root);
    printf("  peak resident memory: %ld KiB the busy day, %ld KiB ten signals of it, "
           "%ld KiB ten realistic days with their map\n",
           atol(one.c_str()), atol(tens.c_str()), atol(tens_mapped.c_str()));
    // The report's page of each day, its size, and the time headless
    // Chromium takes from asking for it to its first frame drawn, timed by
    // the browser in a page that holds it in a frame.
    const fs::path report = c.root / "report";
    const bool browser = run({"chromium", "--version"}) == 0;
    for (const fs::path& logs : {realistic, c.day}) {
      fs::remove_all(report);
      run({tool, "-q", "-f", "report", "-o", report.string(), logs.string(), "e"});
      const fs::path page = report / logs.filename() / "2022-06-08.html";
      printf("  report, %s day: a page of %.2f MB", logs == c.day ? "busy" : "realistic",
             static_cast<double>(fs::file_size(page)) / 1e6);
      if (browser) {
        const fs::path timing = page.parent_path() / "timing.html", log = c.root / "console";
        write_file(timing,
                   "<!DOCTYPE html><script>var t0 = performance.now();</script>"
                   "<iframe src=\"2022-06-08.html\" width=\"1280\" height=\"1600\" "
                   "onload=\"requestAnimationFrame(function() { setTimeout(function() { "
                   "console.log('drawn in ' + (performance.now() - t0)); }, 0); })\">"
                   "</iframe>");
        std::vector<std::string> argv = {"chromium", "--headless", "--disable-gpu",
                                         "--enable-logging=stderr", "--v=0", "--dump-dom",
                                         "file://" + timing.string()};
        if (geteuid() == 0) argv.insert(argv.begin() + 1, "--no-sandbox");
        std::vector<double> times;
        for (int round = 0; round < std::min(rounds, 5); ++round) {
          run(argv, "", log.string());
          std::ifstream in(log);
          std::string text((std::istreambuf_iterator<char>(in)), {});
          size_t at = text.find("drawn in ");
          if (at != std::string::npos) times.push_back(atof(text.c_str() + at + 9) / 1e3);
        }
        if (!times.empty()) printf(", drawn by Chromium in %.2f s (median)", median(times));
      }
      printf("\n");
    }
  }

  // The decompression pass on the day's archives, against gzip -dc.
  std::vector<std::string> archives = sorted_files(c.gz, ".gz");
  std::vector<std::string> gzip = {"gzip", "-dc"};
  gzip.insert(gzip.end(), archives.begin(), archives.end());
  std::vector<double> ours, theirs;
  const fs::path work = c.root / "gunzip";
  for (int round = 0; round < rounds; ++round) {
    fs::remove_all(work);
    fs::create_directory(work);
    for (const std::string& a : archives) fs::copy_file(a, work / fs::path(a).filename());
    double start = now();
    std::string err;
    std::shared_ptr<Dir> work_dir = Dir::open(work.string(), &err);
    for (const std::string& a : archives) {
      if (work_dir == nullptr ||
          !gunzip_in_place(*work_dir, fs::path(a).filename().string(), 0, &err)) {
        fprintf(stderr, "decompression failed: %s\n", err.c_str());
        return 1;
      }
    }
    ours.push_back(now() - start);
    fs::path out = c.root / "gzip.out";
    fs::remove(out);
    start = now();
    run(gzip, out.string());
    theirs.push_back(now() - start);
  }
  printf("\ndecompression of %zu archives (%.1f MB to %.1f MB): %.3f s, gzip -dc %.3f s "
         "(%.2f times gzip's time)\n",
         archives.size(), total_size(c.gz, ".gz") / 1e6, total_size(work, ".dat") / 1e6,
         median(ours), median(theirs), median(ours) / median(theirs));

  // -k over the archives, in both modes and with each inflater built,
  // against gzip -dc > /dev/null only decompressing them; then the default
  // jobs against -j 1.
  std::vector<std::pair<std::string, std::string>> tools = {{"quillon", tool}};
  if (!zlib_tool.empty()) tools.push_back({"quillon built with zlib", zlib_tool});
  const fs::path keep_out = c.root / "keep";
  for (const auto& [name, program] : tools) {
    for (const char* letter : {"e", "p"}) {
      Pair p = time_pair(
          rounds,
          {program, "-k", "-j", "1", "-o", keep_out.string(), c.gz.string(), letter},
          gzip, [&] { fs::remove_all(keep_out); });
      printf("-k -j 1 on the archives, mode %s, %s: %.3f s, gzip -dc > /dev/null %.3f s "
             "(%.2f times gzip's time, median of rounds; %.2f to %.2f)\n",
             letter, name.c_str(), p.first, p.second, p.ratio, p.low, p.high);
    }
  }
  std::vector<double> keep_times[2], speedups;
  for (int round = 0; round < rounds; ++round) {
    double times[2];
    for (int automatic = 0; automatic < 2; ++automatic) {
      fs::remove_all(keep_out);
      std::vector<std::string> command = {tool, "-k", "-o", keep_out.string(),
                                          c.gz.string(), "e"};
      if (!automatic) command.insert(command.begin() + 1, {"-j", "1"});
      double start = now();
      run(command);
      times[automatic] = now() - start;
      keep_times[automatic].push_back(times[automatic]);
    }
    speedups.push_back(times[0] / times[1]);
  }
  printf("-k on the archives in mode e: -j 1 %.3f s, without -j %.3f s (%.2f times as fast, "
         "median of rounds; %.2f to %.2f)\n",
         median(keep_times[0]), median(keep_times[1]), median(speedups),
         *std::min_element(speedups.begin(), speedups.end()),
         *std::max_element(speedups.begin(), speedups.end()));

  // The hourly service: an archive of 40 signals by 7 realistic days with
  // their detector map, measured and reported with -u before its last hour;
  // then that hour of every signal delivered, and -u against a run of every
  // log in interleaved rounds, each -u from a copy of OUT as it stood (its
  // modification times kept, which -u checks).
  {
    const int signals = quick ? 4 : 40, days = quick ? 2 : 7;
    const fs::path archive = c.root / "hourly", last = c.root / "hourly-last",
                   map = c.root / "hourly-map.csv";
    SignalDayOptions day;
    day.detectors = 32;
    day.mapped = true;
    std::string rows;
    std::vector<fs::path> logs;  // of the first signal; the others link them
    fs::create_directories(archive / "s00");
    for (int d = 0; d < days; ++d) {
      day.seed = 100 + static_cast<uint32_t>(d);
      std::vector<std::vector<LogRecord>> hours = signal_day(day);
      for (size_t h = 0; h < hours.size(); ++h) {
        char name[32];
        snprintf(name, sizeof name, "2022_06_%02d_%02d.dat", 8 + d, static_cast<int>(h));
        logs.push_back(archive / "s00" / name);
        write_file(logs.back(), make_log(6, hours[h]));
      }
    }
    for (int s = 0; s < signals; ++s) {
      char id[8];
      snprintf(id, sizeof id, "s%02d", s);
      const std::string of_signal = signal_day_map(day, id);
      rows += rows.empty() ? of_signal : of_signal.substr(of_signal.find('\n') + 1);
      fs::create_directories(archive / id);
      fs::create_directories(last / id);
      for (const fs::path& log : logs)
        if (s > 0) fs::create_hard_link(log, archive / id / log.filename());
    }
    // The last hour waits apart.
    for (int s = signals - 1; s >= 0; --s) {
      char id[8];
      snprintf(id, sizeof id, "s%02d", s);
      fs::rename(archive / id / logs.back().filename(), last / id / logs.back().filename());
    }
    write_file(map, rows);
    const uint64_t size = total_size(archive / "s00", ".dat") * static_cast<uint64_t>(signals);
    auto measures = [&](const fs::path& out, bool update, const char* format) {
      std::vector<std::string> argv = {tool, "-q", "-r", "-f", format, "--detectors",
                                       map.string(), "-o", out.string(), archive.string(), "e"};
      if (update) argv.insert(argv.begin() + 1, "-u");
      return argv;
    };
    for (const char* format : {"measures", "report"}) {
      const fs::path before = c.root / (std::string("hourly-") + format + "-before"),
                     out = c.root / (std::string("hourly-") + format),
                     full = c.root / (std::string("hourly-") + format + "-full");
      run(measures(before, true, format));
      for (int s = 0; s < signals; ++s) {
        char id[8];
        snprintf(id, sizeof id, "s%02d", s);
        fs::create_hard_link(last / id / logs.back().filename(),
                             archive / id / logs.back().filename());
      }
      Pair p = time_pair(
          std::min(rounds, std::string(format) == "report" ? 3 : 5), measures(out, true, format),
          measures(full, false, format), [&] {
            fs::remove_all(out);
            fs::remove_all(full);
            run({"cp", "-a", before.string(), out.string()});
          });
      const bool report = std::string(format) == "report";
      const double tables = static_cast<double>(total_size(report ? full / "measures" : full, ".csv"));
      printf("%s-f %s -u after an hour of each of %d signals (%d days, %.0f MB of logs, tables "
             "%.0f MB): %.3f s, a run of every log %.3f s (medians); -u / all: %.3f (%.3f to "
             "%.3f)\n",
             report ? "" : "\nthe hourly service: ", format, signals, days,
             static_cast<double>(size) / 1e6, tables / 1e6, p.first, p.second, p.ratio, p.low,
             p.high);
      for (int s = 0; s < signals; ++s) {
        char id[8];
        snprintf(id, sizeof id, "s%02d", s);
        fs::remove(archive / id / logs.back().filename());
      }
      fs::remove_all(before);
      fs::remove_all(out);
      fs::remove_all(full);
    }

    // The same archive in an SQLite database: its size an event, the load
    // of its last hour with -u, and the typical queries (sqlite3 shell,
    // median of rounds).
    if (run({"sqlite3", "--version"}) == 0 &&
        run({tool, "-f", "sqlite", "-t", "-o", (c.root / "probe.db").string(),
             c.header.string(), "e"}) == 0) {
      const fs::path db = c.root / "hourly.db", before = c.root / "hourly-before.db";
      auto load = [&](const fs::path& to, bool update) {
        std::vector<std::string> argv = {tool, "-q", "-r", "-f", "sqlite", "-o", to.string(),
                                         archive.string(), "e"};
        if (update) argv.insert(argv.begin() + 1, "-u");
        return argv;
      };
      const fs::path measured = c.root / "hourly-m.db", measured_before = c.root / "hourly-m-before.db";
      auto load_measures = [&](const fs::path& to) {
        return std::vector<std::string>{tool, "-q", "-u", "-r", "-f", "sqlite", "--measures",
                                        "--detectors", map.string(), "-o", to.string(),
                                        archive.string(), "e"};
      };
      run(load_measures(measured_before));
      double start = now();
      run(load(before, false));
      const double first = now() - start;
      for (int s = 0; s < signals; ++s) {
        char id[8];
        snprintf(id, sizeof id, "s%02d", s);
        fs::create_hard_link(last / id / logs.back().filename(),
                             archive / id / logs.back().filename());
      }
      std::vector<double> hour_times, measured_times, ratios;
      for (int round = 0; round < rounds; ++round) {
        fs::copy_file(before, db, fs::copy_options::overwrite_existing);
        start = now();
        run(load(db, true));
        hour_times.push_back(now() - start);
        fs::copy_file(measured_before, measured, fs::copy_options::overwrite_existing);
        fs::remove_all(measured.string() + ".measures");
        run({"cp", "-a", measured_before.string() + ".measures", measured.string() + ".measures"});
        start = now();
        run(load_measures(measured));
        measured_times.push_back(now() - start);
        ratios.push_back(measured_times.back() / hour_times.back());
      }
      const double events =
          atof(capture({"sqlite3", db.string(), "SELECT sum(records) FROM logs"}, c.root).c_str());
      const double bytes = static_cast<double>(fs::file_size(db));
      printf("\nSQLite database of the %d signals by %d days (%.1f M records): %.1f bytes an "
             "event (%.0f MB); loaded in %.2f s, its last hour with -u in %.3f s (median)\n",
             signals, days, events / 1e6, bytes / events, bytes / 1e6, first,
             median(hour_times));
      printf("  the last hour with -u --measures (and the map): %.3f s, %.2f times -u alone "
             "(median of rounds; %.2f to %.2f); the database with its measures %.0f MB\n",
             median(measured_times), median(ratios), *std::min_element(ratios.begin(), ratios.end()),
             *std::max_element(ratios.begin(), ratios.end()),
             static_cast<double>(fs::file_size(measured)) / 1e6);
      const struct {
        const char* what;
        std::string sql;
      } kQueries[] = {
          {"the README's hourly query (detector on, every signal, since a time)",
           "SELECT logs.signal_id, count(*) FROM logs JOIN events USING (log_id) WHERE "
           "logs.start >= '2022-06-14 12:00:00' AND version <> 4 AND event_code = 82 GROUP BY 1"},
          {"a signal's day, its logs by start",
           "SELECT count(*), max(timestamp) FROM logs JOIN events USING (log_id) WHERE "
           "logs.signal_id = 's07' AND logs.start >= '2022-06-10' AND logs.start < '2022-06-11'"},
          {"a code across signals over a day, the logs by start",
           "SELECT logs.signal_id, count(*) FROM logs JOIN events USING (log_id) WHERE "
           "logs.start >= '2022-06-10' AND logs.start < '2022-06-11' AND event_code = 82 "
           "GROUP BY 1"},
          {"a signal's day in event_log by timestamp (every event of the signal)",
           "SELECT count(*) FROM event_log WHERE signal_id = 's07' AND timestamp >= "
           "'2022-06-10' AND timestamp < '2022-06-11'"},
      };
      for (const auto& q : kQueries) {
        std::vector<double> times;
        for (int round = 0; round < std::max(rounds, 3); ++round) {
          start = now();
          run({"sqlite3", db.string(), q.sql});
          times.push_back(now() - start);
        }
        printf("  %s: %.3f s\n", q.what, median(times));
      }
      for (int s = 0; s < signals; ++s) {
        char id[8];
        snprintf(id, sizeof id, "s%02d", s);
        fs::remove(archive / id / logs.back().filename());
      }
    }
  }

  fs::remove_all(c.root);
  return 0;
}
