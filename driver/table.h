// The events table of a run: one file, or the standard output.

#ifndef QUILLON_DRIVER_TABLE_H_
#define QUILLON_DRIVER_TABLE_H_

#include <memory>
#include <string>

#include "logconv/streams.h"
#include "platform/platform.h"

/// Where the rows of the events table go: the standard output, or a file
/// written under a temporary name beside it and renamed only once the run
/// is through, gzip-compressed when its name ends in ".gz".
class EventsTable : public OutputStream {
 public:
  EventsTable() = default;
  ~EventsTable() override;

  /// Opens the table: `path` empty or "-" for the standard output. Returns
  /// false, with *err set, on failure.
  bool open(const std::string& path, std::string* err);

  bool write(const char* data, size_t size) override;

  /// Ends the table and, for a file, gives it its name. Returns false, with
  /// *err set, when that failed.
  bool close(std::string* err);

  /// Ends the table without giving a file its name: an earlier table of
  /// that name stays as it was.
  void discard();

  /// The table's name in messages: its path, or "standard output".
  const std::string& name() const { return name_; }

  /// Why the last write failed.
  const std::string& error() const { return error_; }

 private:
  std::string name_;
  File file_;
  std::unique_ptr<GzipOutput> gzip_;
  std::shared_ptr<Dir> dir_;  // of a file
  std::string file_name_, temp_;
  std::string error_;
};

#endif  // QUILLON_DRIVER_TABLE_H_
