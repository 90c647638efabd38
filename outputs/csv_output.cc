#include "outputs/csv_output.h"

#include <utility>
#include <vector>

#include "logs/messages.h"
#include "logs/names.h"

namespace {

const char kIsLink[] = "is a symbolic link, not a directory";

// Where the CSVs of one directory go.
struct CsvPlace : OutputPlace {
  std::shared_ptr<Dir> dir;
};

// A CSV per log, written under a temporary name and renamed once whole.
class CsvOutput : public Output {
 public:
  CsvOutput(const CsvSettings& settings, Mode mode, std::shared_ptr<Dir> root,
            std::string root_error, bool fail_fast)
      : mode_(mode),
        max_size_(settings.max_log_size),
        keep_(settings.keep),
        output_(settings.output),
        out_name_(output_dir_name(settings.letter)),
        root_(std::move(root)),
        root_error_(std::move(root_error)),
        fail_fast_(fail_fast) {}

  bool reads_archives() const override { return keep_; }
  bool stops_at_first_failure() const override { return fail_fast_; }
  bool converts_undated() const override { return true; }
  const FileId* not_searched() const override {
    return root_ != nullptr && !output_.empty() ? &root_->id() : nullptr;
  }

  bool enter(const std::shared_ptr<Dir>& dir, const std::vector<std::string>& relative,
             const std::string& out_path,
             std::vector<PlannedEntry>* plan,
             std::shared_ptr<const OutputPlace>* place, std::string* message,
             Outcome* outcome) override {
    std::string err;
    std::shared_ptr<Dir> out = output_dir(dir, relative, &err);
    if (out == nullptr) {
      // Nothing of this directory can be written.
      *outcome = Outcome::kDamaged;
      if (err == kIsLink) {
        *message = error_line(shown(out_path) + ": " + err);
      } else if (fail_fast_) {
        for (const PlannedEntry& p : *plan) {
          if (p.step != Step::kConvert) continue;
          *message = error_line("Failed to open " +
                                shown(join_path(out_path, p.csv_name)) + ": " +
                                err);
          break;
        }
        *outcome = Outcome::kStop;
      } else {
        *message = error_line("Failed to open " + shown(out_path) + ": " + err);
      }
      return false;
    }
    std::vector<DirEntry> out_entries;
    std::string list_err;
    if (out->list(&out_entries, &list_err))
      refuse_csv_directories(out_entries, plan);
    auto csv_place = std::make_shared<CsvPlace>();
    csv_place->dir = std::move(out);
    *place = std::move(csv_place);
    return true;
  }

  bool up_to_date(const Task& task, uint64_t, int64_t mtime_ns) const override {
    uint64_t csv_size = 0;
    int64_t csv_mtime = 0;
    return dir_of(task).stat(csv_name_of(task.log_name), &csv_size,
                             &csv_mtime) &&
           csv_mtime > mtime_ns;
  }

  bool names_logs() const override { return false; }

  std::unique_ptr<LogOutput> start(const Task& task, File& in, const LogHour&,
                                   bool, std::string* err) override {
    auto csv = std::make_unique<Csv>(place_of(task).dir, csv_name_of(task.log_name),
                                     task.log_name, mode_, max_size_, fail_fast_);
    if (!csv->open(in, err)) return nullptr;
    return csv;
  }

  std::string name(const Task& task) const override {
    return shown(dir_of(task).path_of(csv_name_of(task.log_name)));
  }

 private:
  class Csv : public LogOutput {
   public:
    Csv(std::shared_ptr<Dir> dir, std::string csv_name, std::string log_name,
        Mode mode, uint64_t max_size, bool fail_fast)
        : dir_(std::move(dir)),
          csv_name_(std::move(csv_name)),
          log_name_(std::move(log_name)),
          mode_(mode),
          max_size_(max_size),
          fail_fast_(fail_fast) {}
    ~Csv() override { discard(); }

    bool open(const File& in, std::string* err) {
      return dir_->create_temp(Content::kText, &in, &file_, &temp_, err);
    }
    ConvertResult convert(LogConverter& converter, InputStream& input) override {
      return converter.convert(input, output_, log_name_, mode_, max_size_);
    }
    bool can_restart() const override { return true; }
    bool restart() override { return file_.truncate(); }
    std::string error() const override { return file_.error(); }

    Outcome publish(std::string* what) override {
      std::string err;
      bool is_directory = false;
      if (dir_->publish(&file_, temp_, csv_name_, Replace::kYes, &err,
                       &is_directory))
        return Outcome::kDone;
      // A directory put at the CSV's path since the run looked is reported
      // as one found then.
      *what = (is_directory ? "Failed to open " : "Failed to write ") +
              shown(dir_->path_of(csv_name_)) + ": " + err;
      return is_directory && !fail_fast_ ? Outcome::kDamaged : Outcome::kStop;
    }
    void discard() override {
      if (file_.is_open()) dir_->discard(&file_, temp_);
    }

   private:
    std::shared_ptr<Dir> dir_;
    std::string csv_name_, log_name_;
    Mode mode_;
    uint64_t max_size_;
    bool fail_fast_;
    File file_;
    std::string temp_;
    FileOutput output_{file_};
  };

  static const CsvPlace& place_of(const Task& task) {
    return static_cast<const CsvPlace&>(*task.place);
  }
  static const Dir& dir_of(const Task& task) { return *place_of(task).dir; }

  // The output directory of a directory, made when missing; null, with
  // *err set, when it cannot be used.
  std::shared_ptr<Dir> output_dir(const std::shared_ptr<Dir>& dir,
                                  const std::vector<std::string>& relative,
                                  std::string* err) {
    if (relative.empty() || root_ == nullptr) {
      *err = root_error_;
      return root_;
    }
    std::shared_ptr<Dir> out;
    if (output_.empty()) {
      out = dir->make_child(out_name_, err);
    } else {
      // The same path below OUT, never through a link.
      out = root_;
      for (const std::string& name : relative) {
        out = out->make_child(name, err);
        if (out == nullptr) return nullptr;
      }
    }
    if (out != nullptr) out->claim_for_writing();
    return out;
  }

  Mode mode_;
  uint64_t max_size_;  // of a log, and of its CSV
  bool keep_;
  std::string output_;
  std::string out_name_;
  std::shared_ptr<Dir> root_;  // of the directory argument's CSVs
  std::string root_error_;     // why there is none
  bool fail_fast_;
};

}  // namespace

std::unique_ptr<Output> make_csv_output(const CsvSettings& settings, Mode mode,
                                        std::shared_ptr<Dir> root,
                                        std::string root_error, bool fail_fast) {
  return std::make_unique<CsvOutput>(settings, mode, std::move(root),
                                     std::move(root_error), fail_fast);
}
