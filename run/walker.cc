#include "run/walker.h"

#include <utility>

void (*TreeWalker::hook_for_tests)(const std::string& path) = nullptr;

TreeWalker::TreeWalker(std::shared_ptr<Dir> root, bool recursive,
                       const FileId* skip)
    : root_(std::move(root)), recursive_(recursive) {
  if (skip != nullptr) {
    has_skip_ = true;
    skip_ = *skip;
  }
}

bool TreeWalker::enter(std::shared_ptr<Dir> dir, const std::string& name,
                       DirVisit* visit) {
  std::vector<DirEntry> entries;
  if (!dir->list(&entries, &visit->error)) return false;
  Frame frame;
  for (DirEntry& entry : entries) {
    // Output directories are never searched.
    if (recursive_ && entry.kind == EntryKind::kDirectory &&
        entry.name.rfind("csv_files_", 0) != 0) {
      frame.children.push_back(std::move(entry.name));
    } else {
      visit->entries.push_back(std::move(entry));
    }
  }
  visit->dir = dir;
  if (frame.children.empty()) return true;
  frame.dir = std::move(dir);
  frame.name = name;
  frame.id = frame.dir->id();
  frame.path = visit->path;
  frame.relative = visit->relative;
  stack_.push_back(std::move(frame));
  // Descriptors are few: ancestors far above are closed, and opened again
  // when the walk comes back to them. The directory argument stays open.
  size_t depth = stack_.size() - 1;
  if (depth > static_cast<size_t>(kAncestorsKeptOpen))
    stack_[depth - kAncestorsKeptOpen].dir.reset();
  return true;
}

bool TreeWalker::reopen(size_t i, std::string* err) {
  size_t open = i;
  while (stack_[open].dir == nullptr) --open;  // the root is always open
  for (size_t k = open + 1; k <= i; ++k) {
    std::shared_ptr<Dir> dir = stack_[k - 1].dir->open_child(stack_[k].name, err);
    if (dir == nullptr) return false;
    if (!(dir->id() == stack_[k].id)) {
      *err = "was moved or replaced while it was searched";
      return false;
    }
    stack_[k].dir = std::move(dir);
  }
  return true;
}

bool TreeWalker::next(DirVisit* visit) {
  *visit = DirVisit();
  if (!started_) {
    started_ = true;
    visit->path = root_->path();
    enter(root_, "", visit);
    return true;
  }
  while (!stack_.empty()) {
    size_t top = stack_.size() - 1;
    Frame& frame = stack_[top];
    if (frame.next_child == frame.children.size()) {
      stack_.pop_back();
      continue;
    }
    const std::string name = frame.children[frame.next_child++];
    std::string err;
    if (frame.dir == nullptr && !reopen(top, &err)) {
      // What is left below this directory cannot be reached safely.
      visit->path = frame.path;
      visit->relative = frame.relative;
      visit->error = err;
      stack_.pop_back();
      return true;
    }
    visit->path = join_path(frame.path, name);
    visit->relative = frame.relative;
    visit->relative.push_back(name);
    if (hook_for_tests != nullptr) hook_for_tests(visit->path);
    std::shared_ptr<Dir> child = stack_[top].dir->open_child(name, &visit->error);
    if (child == nullptr) return true;
    if (has_skip_ && child->id() == skip_) {
      *visit = DirVisit();
      continue;
    }
    // The path the child is shown with is its parent's and its name, not
    // what the open directory calls itself.
    enter(std::move(child), name, visit);
    return true;
  }
  return false;
}
