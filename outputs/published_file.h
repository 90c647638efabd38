// A file a run publishes whole or not at all (the events table, a measure
// table, a page of the report), a device, or the standard output.

#ifndef QUILLON_OUTPUTS_PUBLISHED_FILE_H_
#define QUILLON_OUTPUTS_PUBLISHED_FILE_H_

#include <memory>
#include <string>
#include <vector>

#include "logconv/streams.h"
#include "platform/platform.h"

/// Where a table or a page goes: the standard output, a device,
/// FIFO or socket written through (as a shell redirection does), or a file
/// written under a temporary name beside it, which only its owner can read,
/// and renamed only once the run is through, made with its parents. Its
/// name's suffix says how it is compressed: ".gz" gzip, ".zst" zstd, any
/// other not at all. A link typed as the path is followed.
class PublishedFile : public OutputStream {
 public:
  PublishedFile() = default;
  ~PublishedFile() override;

  /// Opens the table: `path` empty or "-" for the standard output. A
  /// directory there is refused. Returns false, with *err set, on failure.
  bool open(const std::string& path, std::string* err);

  /// Opens the file `name` of `dir`, a directory the run writes into (a
  /// table or page below OUT): whatever stands at `name`, a link or a
  /// FIFO, is replaced when the file is published, never followed or
  /// written through; a directory there is refused. Returns false, with
  /// *err set, on failure.
  bool open_in(std::shared_ptr<Dir> dir, const std::string& name, std::string* err);

  bool write(const char* data, size_t size) override;

  /// A file's bytes are copied within the system where it can.
  bool copy_from(File& from, uint64_t offset, uint64_t size) override;

  /// Ends the table and, for a file, gives it its name: a file it replaces
  /// keeps its permission bits and, where the run may, its owner; a new one
  /// gets those of a new file limited to `log_permissions` (the bits that
  /// every log it holds has), and its owner's. Returns false, with *err set,
  /// when that failed.
  bool close(unsigned log_permissions, std::string* err);

  /// Ends the table without giving a file its name: an earlier table of
  /// that name stays as it was.
  void discard();

  /// What close() does but for giving a file its name: the file is whole,
  /// closed and has its owner, under its temporary name (temp_name()) until
  /// publish(). Returns false, with *err set, when that failed.
  bool finish(unsigned log_permissions, std::string* err);

  /// Gives a file that finish() ended its name. Returns false, with *err
  /// set, when that failed.
  bool publish(std::string* err);

  /// The temporary name of a file in its directory.
  const std::string& temp_name() const { return temp_; }

  /// The table's name in messages: its path, or "standard output".
  const std::string& name() const { return name_; }

  /// Why the last write failed.
  const std::string& error() const { return error_; }

 private:
  std::string name_;
  File file_;
  std::unique_ptr<CompressingOutput> compressor_;  // by the name's suffix
  std::shared_ptr<Dir> dir_;  // of a file
  std::string file_name_, temp_;
  bool replaces_ = false;     // a file of that name is there
  FileOwner owner_;           // that file's
  unsigned new_permissions_ = 0666;
  std::string error_;
};

/// Files written whole and ended (PublishedFile::finish), which take their
/// names together once all are written: a run that fails or is interrupted
/// before leaves every earlier file as it was. Those not given their names
/// are removed.
class HeldFiles {
 public:
  /// Keeps `file` until publish_all().
  void hold(std::unique_ptr<PublishedFile> file) { files_.push_back(std::move(file)); }

  /// The temporary name of the file held as `name` in messages, or nothing.
  std::string temp_of(const std::string& name) const;

  /// Gives every file held its name, in the order held. Returns false, with
  /// *err naming the file, at the first that failed.
  bool publish_all(std::string* err);

 private:
  std::vector<std::unique_ptr<PublishedFile>> files_;
};

#endif  // QUILLON_OUTPUTS_PUBLISHED_FILE_H_
