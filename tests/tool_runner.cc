#include "tests/tool_runner.h"

#include <fcntl.h>
#include <errno.h>
#include <grp.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "tools/loggen.h"

namespace {

const uid_t kNobody = 65534;

void become_nobody() {
  if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
      setuid(kNobody) != 0) {
    _exit(126);
  }
}

}  // namespace

const Tool& tool() {
  static const Tool kTool = [] {
    Tool t;
    const char* runner = getenv("QUILLON_TOOL_RUNNER");
    const char* program = getenv("QUILLON_TOOL");
    const char* system = getenv("QUILLON_TOOL_SYSTEM");
    if (runner != nullptr && *runner != '\0') t.command.push_back(runner);
    t.command.push_back(program != nullptr && *program != '\0' ? program
                                                               : QUILLON_BINARY);
    t.windows = system != nullptr && std::string(system) == "windows";
    return t;
  }();
  return kTool;
}

std::string text(const std::string& s) {
  if (!tool().windows) return s;
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string tool_path(const fs::path& dir, std::string relative) {
  if (tool().windows)
    std::replace(relative.begin(), relative.end(), '/', '\\');
  return dir.string() + (tool().windows ? "\\" : "/") + relative;
}

namespace {

// The program runs as nobody from this copy, when one was made.
fs::path nobody_copy;

}  // namespace

pid_t start_tool(const std::vector<std::string>& args, const fs::path& scratch,
                 const RunOptions& options) {
  fs::path out_path = scratch / "stdout.txt";
  fs::path err_path = scratch / "stderr.txt";
  std::vector<std::string> command = tool().command;
  if (options.as_nobody && !nobody_copy.empty())
    command.back() = nobody_copy.string();
  command.insert(command.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
    umask(options.umask);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGXFSZ, options.killed_by_file_size ? SIG_DFL : SIG_IGN);
    if (options.file_size_limit != RLIM_INFINITY) {
      struct rlimit limit = {options.file_size_limit, options.file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.open_files_limit != 0) {
      struct rlimit limit = {options.open_files_limit,
                             options.open_files_limit};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.address_space_limit != 0) {
      struct rlimit limit = {options.address_space_limit,
                             options.address_space_limit};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.as_nobody) become_nobody();
    // Signals blocked in this test process are not the tool's.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::string why = "execvp " + command[0] + ": " + strerror(errno) + "\n";
    if (write(2, why.data(), why.size()) < 0) _exit(127);
    _exit(127);
  }
  return pid;
}

ToolRun finish_tool(pid_t pid, const fs::path& scratch,
                    const RunOptions& options) {
  fs::path out_path = scratch / "stdout.txt";
  fs::path err_path = scratch / "stderr.txt";
  int wstatus = 0;
  long peak = 0;
  fs::path program;
  if (options.watch_memory) program = fs::canonical(tool().command.front());
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(options.timeout_seconds);
  while (waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << "the tool ran longer than " << options.timeout_seconds
                    << " s and was killed";
      break;
    }
    // The peak of a forked child counts its parent's pages until it execs,
    // so wait4's figure would be this test's: read the tool's own instead.
    if (options.watch_memory) {
      std::error_code ec;
      fs::path proc = "/proc/" + std::to_string(pid);
      if (fs::read_symlink(proc / "exe", ec) == program) {
        std::ifstream status(proc / "status");
        for (std::string line; std::getline(status, line);)
          if (line.rfind("VmHWM:", 0) == 0) peak = std::max(peak, atol(line.c_str() + 6));
      }
    }
    usleep(2000);
  }
  ToolRun run{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
              read_file(err_path), read_file(out_path), peak};
  fs::remove(out_path);
  fs::remove(err_path);
  return run;
}

ToolRun run_tool(const std::vector<std::string>& args, const fs::path& scratch,
                 const RunOptions& options) {
  ToolRun run = finish_tool(start_tool(args, scratch, options), scratch, options);
  // Under a runner (wine), 127 is the runner failing to start the tool,
  // which quillon never exits with: once more, said.
  if (run.status == 127 && tool().command.size() > 1) {
    fprintf(stderr, "the runner did not start the tool (127: %s); once more\n", run.err.c_str());
    run = finish_tool(start_tool(args, scratch, options), scratch, options);
  }
  return run;
}

ToolRun run_tool_on_terminal(const std::vector<std::string>& args,
                             int columns) {
  std::vector<std::string> command = tool().command;
  command.insert(command.end(), args.begin(), args.end());
  struct winsize size = {};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    setenv("TERM", "xterm", 1);
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  std::string transcript;
  char buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      transcript.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the tool has exited and closed the terminal
    }
  }
  close(master);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, transcript, "", 0};
}

std::vector<std::string> terminal_screen(const std::string& transcript) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (char c : transcript) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (column < line.size())
        line[column] = c;
      else
        line += c;
      ++column;
    }
  }
  for (std::string& line : lines)
    while (!line.empty() && line.back() == ' ') line.pop_back();
  return lines;
}

bool readable_by_nobody(const fs::path& path) {
  pid_t pid = fork();
  if (pid == 0) {
    become_nobody();
    _exit(open(path.c_str(), O_RDONLY) >= 0 ? 0 : 1);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

void expect_error(const std::string& err, const std::string& what,
                  const std::string& posix_reason) {
  if (!tool().windows) {
    EXPECT_EQ(err, "Error: " + what + ": " + posix_reason + "\n");
    return;
  }
  const std::string start = "Error: " + what + ": ";
  EXPECT_EQ(err.substr(0, start.size()), start) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

void Cli::SetUp() {
  std::string tmpl =
      (fs::temp_directory_path() / "quillon-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
  root_ = tmpl;
  dir_ = root_ / "logs";
  fs::create_directory(dir_);
}

void Cli::TearDown() {
  nobody_copy.clear();
  if (HasFailure()) {
    printf("scratch directory kept: %s\n", root_.c_str());
    return;
  }
  std::error_code ec;
  fs::remove_all(root_, ec);
  // A tree too deep for a path of its own goes the way rm takes it.
  if (ec) {
    pid_t pid = fork();
    if (pid == 0) {
      execlp("rm", "rm", "-rf", "--", root_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
  }
}

bool Cli::tool_runs_as_nobody(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root to switch users";
    return false;
  }
  chmod(root_.c_str(), 0755);
  fs::path copy = root_ / "quillon-as-nobody";
  std::error_code ec;
  fs::copy_file(tool().command.back(), copy,
                fs::copy_options::overwrite_existing, ec);
  chmod(copy.c_str(), 0755);
  nobody_copy = copy;
  ToolRun probe = run_tool({"--version"}, root_, {.as_nobody = true});
  if (probe.status != 0) {
    nobody_copy.clear();
    *why = "the user 65534 cannot run the tool from " + root_.string() + ": " +
           probe.err;
    return false;
  }
  return true;
}

std::string Cli::log(int version, uint32_t seed) {
  return make_log(version, random_records(version, 300, seed, {}));
}
