// The walk over the directory argument and, with -r, every directory below
// it.

#ifndef QUILLON_RUN_WALKER_H_
#define QUILLON_RUN_WALKER_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

/// One directory of the tree, as the walk reaches it.
struct DirVisit {
  std::shared_ptr<Dir> dir;  // null when it could not be opened or listed
  std::string path;          // as messages show it
  /// The names that lead to it from the directory argument; none for the
  /// argument itself.
  std::vector<std::string> relative;
  /// Its entries, but for the sub-directories that the walk goes on to.
  std::vector<DirEntry> entries;
  /// Why it could not be opened or listed.
  std::string error;
};

/// Walks the directory argument and, when recursive, every directory below
/// it: depth first, each directory before its sub-directories, those in name
/// order. Each directory is opened through its parent's handle and never
/// through a link, so a directory swapped for a link while the walk goes on
/// is reported, not followed. Output directories (csv_files_*) and the one
/// directory `skip` are passed over, links to directories are not searched.
/// Only the listings of the directories on the way down are held, never the
/// whole tree, and only a few directories are kept open: one the walk
/// returns to is opened again from an open ancestor and must be the same
/// directory it was.
class TreeWalker {
 public:
  /// `root` is the open directory argument, `path` as messages show it.
  TreeWalker(std::shared_ptr<Dir> root, bool recursive, const FileId* skip);

  /// Sets *visit to the next directory and returns true; false when the
  /// walk is over.
  bool next(DirVisit* visit);

  /// When set, called with the path of each sub-directory just before the
  /// walk opens it (tests use it to swap directories for links).
  static void (*hook_for_tests)(const std::string& path);

 private:
  struct Frame {
    std::shared_ptr<Dir> dir;  // null once closed to save descriptors
    std::string name;
    FileId id;
    std::string path;
    std::vector<std::string> relative;
    std::vector<std::string> children;
    size_t next_child = 0;
  };

  // Lists `dir` into `visit` and, when the walk goes on below it, pushes its
  // frame. Returns false, with visit->error set, when it cannot be listed.
  bool enter(std::shared_ptr<Dir> dir, const std::string& name,
             DirVisit* visit);
  // Makes the directory of frame `i` open again; false, with *err set, when
  // it is not the directory it was.
  bool reopen(size_t i, std::string* err);

  std::shared_ptr<Dir> root_;
  bool recursive_;
  bool has_skip_ = false;
  FileId skip_;
  bool started_ = false;
  std::vector<Frame> stack_;
};

#endif  // QUILLON_RUN_WALKER_H_
