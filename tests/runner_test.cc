// The run's core without whole runs: the runner with tasks of its own, and
// the walk over a scratch tree.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "run/line_printer.h"
#include "run/progress.h"
#include "run/runner.h"
#include "run/walker.h"

namespace fs = std::filesystem;

namespace {

// What the fake tasks did, in the order they did it.
struct Journal {
  std::mutex lock;
  std::vector<std::string> events;
  void add(const std::string& e) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(e);
  }
};

// An output that says in the journal when it is published or discarded.
class FakeOutput : public LogOutput {
 public:
  FakeOutput(Journal& journal, std::string name)
      : journal_(journal), name_(std::move(name)) {}
  ConvertResult convert(LogConverter&, InputStream&) override { return {}; }
  std::string error() const override { return std::string(); }
  Outcome publish(std::string*) override {
    journal_.add("publish " + name_);
    return Outcome::kDone;
  }
  void discard() override { journal_.add("discard " + name_); }

 private:
  Journal& journal_;
  std::string name_;
};

// Runs the tasks named `names` on `jobs` threads: task i takes longer the
// earlier it comes, and "stop" ends the run. Returns the runner's status;
// *printed gets the messages.
int run_fakes(const std::vector<std::string>& names, int jobs, Journal& journal,
              std::string* printed, bool* stopped = nullptr) {
  LinePrinter printer([&](const std::string& text) { *printed += text; });
  Progress progress(printer, true);
  const int count = static_cast<int>(names.size());
  Runner runner(
      [&](const Task& task, LogConverter&, bool) {
        int index = std::stoi(task.log_name);
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * (count - index)));
        TaskResult r;
        r.messages = "ran " + task.name + "\n";
        if (task.name == "stop") r.outcome = Outcome::kStop;
        r.output = std::make_unique<FakeOutput>(journal, task.name);
        return r;
      },
      jobs, false, printer, progress);
  std::vector<Item> items;
  for (int i = 0; i < count; ++i) {
    Item item;
    item.task = Task();
    item.task->name = names[static_cast<size_t>(i)];
    item.task->log_name = std::to_string(i);
    items.push_back(std::move(item));
  }
  runner.add(std::move(items));
  int status = runner.finish();
  if (stopped != nullptr) *stopped = runner.stopped();
  return status;
}

TEST(Runner, ReportsAndPublishesInTheOrderGiven) {
  for (int jobs : {1, 3}) {
    Journal journal;
    std::string printed;
    EXPECT_EQ(run_fakes({"a", "b", "c", "d", "e"}, jobs, journal, &printed), 0);
    EXPECT_EQ(printed, "ran a\nran b\nran c\nran d\nran e\n") << jobs;
    EXPECT_EQ(journal.events,
              (std::vector<std::string>{"publish a", "publish b", "publish c",
                                        "publish d", "publish e"}))
        << jobs;
  }
}

TEST(Runner, AStopPublishesNothingAfterIt) {
  for (int jobs : {1, 3}) {
    Journal journal;
    std::string printed;
    bool stopped = false;
    EXPECT_EQ(run_fakes({"a", "stop", "c", "d", "e", "f"}, jobs, journal,
                        &printed, &stopped),
              1);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(printed, "ran a\nran stop\n") << jobs;
    // What ran after the stop was removed, never published.
    ASSERT_GE(journal.events.size(), 2u);
    EXPECT_EQ(journal.events[0], "publish a");
    EXPECT_EQ(journal.events[1], "discard stop");
    for (size_t i = 2; i < journal.events.size(); ++i)
      EXPECT_EQ(journal.events[i].rfind("discard ", 0), 0u) << journal.events[i];
  }
}

TEST(Runner, GoesOnWithTheThreadsTheSystemGives) {
  // No thread at all, then only the first: every task still runs, in order.
  for (int given : {0, 1}) {
    int asked = 0;
    Runner::thread_hook_for_tests = [&] {
      if (asked++ >= given)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    Journal journal;
    std::string printed;
    EXPECT_EQ(run_fakes({"a", "b", "c", "d"}, 4, journal, &printed), 0);
    Runner::thread_hook_for_tests = nullptr;
    EXPECT_EQ(printed, "ran a\nran b\nran c\nran d\n") << given;
    EXPECT_EQ(journal.events.size(), 4u);
  }
}

// The visits of a walk, as "relative path: entries".
std::vector<std::string> walk(const fs::path& root, bool recursive,
                              const std::string& skip = "") {
  std::string err;
  std::shared_ptr<Dir> dir = Dir::open(root.string(), &err);
  EXPECT_NE(dir, nullptr) << err;
  FileId skip_id;
  if (!skip.empty()) skip_id = Dir::open((root / skip).string(), &err)->id();
  TreeWalker walker(dir, recursive, skip.empty() ? nullptr : &skip_id);
  std::vector<std::string> visits;
  DirVisit visit;
  while (walker.next(&visit)) {
    std::string line;
    for (const std::string& name : visit.relative) line += name + "/";
    line += ":";
    for (const DirEntry& entry : visit.entries) line += " " + entry.name;
    visits.push_back(line);
  }
  return visits;
}

TEST(TreeWalker, DepthFirstInNameOrderPassingOutputsOver) {
  fs::path root = fs::temp_directory_path() /
                  ("quillon-walk-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(root);
  for (const char* d : {"b/y", "a/x", "csv_files_e/z", "out"}) fs::create_directories(root / d);
  for (const char* f : {"1.dat", "a/2.dat", "a/x/3.dat", "b/y/4.dat"})
    std::ofstream(root / f) << "x";
  // A visit's entries keep the directories that the walk does not enter.
  EXPECT_EQ(walk(root, false),
            (std::vector<std::string>{": 1.dat a b csv_files_e out"}));
  EXPECT_EQ(walk(root, true),
            (std::vector<std::string>{": 1.dat csv_files_e", "a/: 2.dat",
                                      "a/x/: 3.dat", "b/:", "b/y/: 4.dat",
                                      "out/:"}));
  EXPECT_EQ(walk(root, true, "b"),
            (std::vector<std::string>{": 1.dat csv_files_e", "a/: 2.dat",
                                      "a/x/: 3.dat", "out/:"}));
  fs::remove_all(root);
}

}  // namespace
