#include "logs/plan.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "logs/names.h"

std::vector<std::string> archives_to_decompress(
    const std::vector<DirEntry>& entries, bool top) {
  std::vector<std::string> archives;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kDirectory ||
        entry.kind == EntryKind::kDirectoryLink) {
      continue;
    }
    if (top ? is_archive(entry.name) : is_archive_of_log(entry.name)) {
      archives.push_back(entry.name);
    }
  }
  std::sort(archives.begin(), archives.end());
  return archives;
}

std::vector<PlannedEntry> plan_logs(const std::vector<DirEntry>& entries,
                                    const PlanRules& rules) {
  std::vector<PlannedEntry> plan;
  // The archives the plain run would fail to decompress, or that hold no
  // log, as the plain run would report them.
  std::set<std::string> decided;
  if (rules.predict_decompression) {
    std::set<std::string> names;
    for (const DirEntry& entry : entries) names.insert(entry.name);
    for (const std::string& name : archives_to_decompress(entries, rules.top)) {
      PlannedEntry p;
      p.name = name;
      p.archive = true;
      const std::string target = log_name_of_archive(name);
      if (target.empty()) {
        p.step = Step::kNoName;
      } else if (names.count(target) != 0) {
        p.step = Step::kTargetExists;
        p.other = target;
      } else if (!is_archive_of_log(name)) {
        p.step = Step::kCheckArchive;
      } else {
        continue;  // a log read through gzip, planned below
      }
      decided.insert(name);
      plan.push_back(std::move(p));
    }
  }
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kDirectory ||
        entry.kind == EntryKind::kDirectoryLink || decided.count(entry.name)) {
      continue;
    }
    PlannedEntry p;
    p.name = entry.name;
    if (is_log_name(entry.name)) {
      p.log_name = entry.name;
    } else if (rules.read_archives && is_archive_of_log(entry.name)) {
      p.log_name = log_name_of_archive(entry.name);
      p.archive = true;
    } else {
      continue;
    }
    p.csv_name = csv_name_of(p.log_name);
    if (entry.kind != EntryKind::kFile) p.step = Step::kNotRegular;
    plan.push_back(std::move(p));
  }
  // Listings come sorted; only names added since need a sort.
  auto by_name = [](const PlannedEntry& a, const PlannedEntry& b) {
    return a.name < b.name;
  };
  if (!std::is_sorted(plan.begin(), plan.end(), by_name))
    std::sort(plan.begin(), plan.end(), by_name);

  // x.dat, x.DAT and x.Dat all make x.csv: the first in name order does. A
  // log beats its own archive: x.dat is converted, x.dat.gz skipped. The
  // keys are the CSV names themselves, or where the file system folds
  // names, their folded forms.
  std::vector<std::string> folded;
  if (kNamesIgnoreCase) {
    folded.reserve(plan.size());
    for (const PlannedEntry& p : plan) folded.push_back(name_key(p.csv_name));
  }
  auto key_of = [&](size_t i) -> std::string_view {
    return kNamesIgnoreCase ? folded[i] : plan[i].csv_name;
  };
  std::unordered_map<std::string_view, size_t> logs_by_csv, written_by;
  logs_by_csv.reserve(plan.size());
  written_by.reserve(plan.size());
  bool archives = false;
  for (size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].step != Step::kConvert) continue;
    if (plan[i].archive) archives = true;
    else logs_by_csv.emplace(key_of(i), i);
  }
  for (size_t i = 0; i < plan.size(); ++i) {
    PlannedEntry& p = plan[i];
    if (p.step != Step::kConvert) continue;
    std::string_view key = key_of(i);
    if (archives && p.archive) {
      if (auto log = logs_by_csv.find(key); log != logs_by_csv.end()) {
        p.step = Step::kNote;
        p.other = plan[log->second].name;
        continue;
      }
    }
    if (auto [first, inserted] = written_by.emplace(key, i); !inserted) {
      p.step = Step::kCollision;
      p.other = plan[first->second].name;
    }
  }
  return plan;
}

void refuse_csv_directories(const std::vector<DirEntry>& out_entries,
                            std::vector<PlannedEntry>* plan) {
  std::set<std::string> directories;
  for (const DirEntry& entry : out_entries)
    if (entry.kind == EntryKind::kDirectory) directories.insert(name_key(entry.name));
  if (directories.empty()) return;
  for (PlannedEntry& p : *plan)
    if (p.step == Step::kConvert && directories.count(name_key(p.csv_name)))
      p.step = Step::kCsvIsDirectory;
}
