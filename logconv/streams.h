// The byte streams that a log conversion reads from and writes to: files for
// the tool, memory for tests, benchmarks and fuzzers.

#ifndef QUILLON_LOGCONV_STREAMS_H_
#define QUILLON_LOGCONV_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "logconv/gzip_reader.h"
#include "platform/platform.h"

/// Where a log file's bytes come from.
class InputStream {
 public:
  virtual ~InputStream() = default;
  /// Reads up to `size` bytes into `buf` and returns how many were read; 0
  /// means end of input or a read error (failed() tells which).
  virtual size_t read(char* buf, size_t size) = 0;
  /// Whether a read has failed, as opposed to reaching the end of input.
  virtual bool failed() const = 0;
};

/// Where a CSV's text goes.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  /// Writes all `size` bytes of `data`; returns false when they could not all
  /// be written.
  virtual bool write(const char* data, size_t size) = 0;

  /// Writes `size` bytes of the file `from`, read from `offset`, as
  /// write() would. Returns false when they could not all be read or
  /// written.
  virtual bool copy_from(File& from, uint64_t offset, uint64_t size);
};

/// An output stream that hands on whole lines: what it is given is cut at
/// each "\n", and line() takes each line, its "\n" included; a piece of a
/// line waits for the rest.
class LineStream : public OutputStream {
 public:
  bool write(const char* data, size_t size) override;

  /// Whether no piece of a line waits.
  bool whole() const { return held_.empty(); }

 protected:
  /// Takes the line `text`, "\n" included, and may change it. Returns false
  /// to fail the write.
  virtual bool line(std::string& text) = 0;

 private:
  std::string held_;
};

/// Reads an open file; the caller opens and closes it.
class FileInput : public InputStream {
 public:
  explicit FileInput(File& file) : file_(file) {}
  size_t read(char* buf, size_t size) override;
  bool failed() const override { return failed_; }

 private:
  File& file_;
  bool failed_ = false;
};

/// Reads the decompressed bytes of an open gzip file; the caller opens and
/// closes it. A damaged or cut archive ends the input as a read error, after
/// the bytes before the damage; error() says what was wrong.
class GzipInput : public InputStream {
 public:
  explicit GzipInput(File& file) : reader_(file) {}
  size_t read(char* buf, size_t size) override;
  bool failed() const override { return failed_; }
  const GzipReader& reader() const { return reader_; }

 private:
  GzipReader reader_;
  bool failed_ = false;
};

/// Passes on at most `limit` bytes of another stream. When that stream has
/// more, the input ends there as a read error and exceeded() tells so.
class LimitedInput : public InputStream {
 public:
  LimitedInput(InputStream& in, uint64_t limit) : in_(in), left_(limit) {}
  size_t read(char* buf, size_t size) override;
  bool failed() const override { return exceeded_ || in_.failed(); }
  bool exceeded() const { return exceeded_; }

 private:
  InputStream& in_;
  uint64_t left_;
  bool exceeded_ = false;
};

/// Writes to an open file; the caller opens and closes it.
class FileOutput : public OutputStream {
 public:
  explicit FileOutput(File& file) : file_(file) {}
  bool write(const char* data, size_t size) override {
    return file_.write(data, size);
  }

 private:
  File& file_;
};

/// Reads bytes held in memory, which must outlive it. With `fail_at_end`, the
/// end of the bytes is reported as a read error instead of end of input.
class MemoryInput : public InputStream {
 public:
  explicit MemoryInput(std::string_view bytes, bool fail_at_end = false)
      : bytes_(bytes), fail_at_end_(fail_at_end) {}
  size_t read(char* buf, size_t size) override;
  bool failed() const override { return failed_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  bool fail_at_end_;
  bool failed_ = false;
};

/// Takes the text and keeps none of it: for checking logs without writing.
class NullOutput : public OutputStream {
 public:
  bool write(const char*, size_t) override { return true; }
};

/// Holds what is written until it can be passed on: the first `memory`
/// bytes in memory, the rest in a file without a name in the system's
/// temporary directory, so that any amount takes bounded memory.
class SpillOutput : public OutputStream {
 public:
  explicit SpillOutput(size_t memory) : memory_(memory) {}
  bool write(const char* data, size_t size) override;
  /// Forgets everything written. Returns false when the file could not be
  /// emptied; error() tells why.
  bool clear();
  /// Writes everything held to `out`. Returns false when the file could
  /// not be read back (error() tells why) or `out` refused a write.
  bool copy_to(OutputStream& out);
  const std::string& error() const { return error_; }
  /// How many bytes are held.
  uint64_t size() const { return size_; }

 private:
  size_t memory_;
  uint64_t size_ = 0;
  std::string held_;
  File file_;
  std::string error_;
};

/// Compresses what is written into an open file, which the caller opens
/// and closes.
class CompressingOutput : public OutputStream {
 public:
  /// Ends the compressed data. Returns false when a write failed.
  virtual bool finish() = 0;
  /// Why a write failed.
  virtual const std::string& error() const = 0;
};

/// The compressor that a file's name asks for: gzip for a name ending in
/// ".gz", zstd (on every core) for ".zst", none (null, *err empty) for any
/// other. Null with *err set when the build cannot write that kind.
std::unique_ptr<CompressingOutput> compressor_for(std::string_view name,
                                                  File& file, std::string* err);

/// Compresses what is written into one gzip member written to an open
/// file, which the caller opens and closes.
class GzipOutput : public CompressingOutput {
 public:
  /// `level`: zlib's, 1 (fastest) to 9 (smallest).
  GzipOutput(File& file, int level);
  ~GzipOutput() override;
  bool write(const char* data, size_t size) override;
  bool finish() override;
  const std::string& error() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// Collects the text in a string. With a `limit`, writes past that many bytes
/// fail, as on a full disk.
class StringOutput : public OutputStream {
 public:
  explicit StringOutput(size_t limit = std::string::npos) : limit_(limit) {}
  bool write(const char* data, size_t size) override;
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  size_t limit_;
};

#endif  // QUILLON_LOGCONV_STREAMS_H_
