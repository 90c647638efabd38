// Reading gzip files as gzip itself reads them: every member, with zero bytes
// after a member skipped, each member's data checked against its trailer.
//
// The members' headers and trailers are read here; the deflate data between
// them is inflated by ISA-L where the build has it (Linux), else by zlib.

#ifndef QUILLON_LOGCONV_GZIP_READER_H_
#define QUILLON_LOGCONV_GZIP_READER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

/// What inflates the deflate data of a member.
enum class Inflater {
  kZlib,
  kIsal,     // only where the build has ISA-L
  kDefault,  // ISA-L where the build has it, else zlib
};

/// Whether this build can inflate with ISA-L.
extern const bool kHaveIsal;

/// Reads the decompressed bytes of an open gzip file.
class GzipReader {
 public:
  explicit GzipReader(File& file, Inflater inflater = Inflater::kDefault);
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  /// Reads up to `size` decompressed bytes into `buf`; returns how many, 0
  /// at the end of the data, -1 once it is found damaged, cut short or
  /// unreadable (error() tells how). The bytes before the damage come first.
  long long read(char* buf, size_t size);

  /// What went wrong, in gzip's words ("unexpected end of file", ...).
  const std::string& error() const { return error_; }

  /// Whether the data ended early (cut short, or a read failed), as opposed
  /// to failing a check: the bytes before an early end are as they were
  /// written, those of a member that fails a check are not to be trusted.
  bool cut_short() const { return cut_short_; }

  /// How many bytes came out of whole members whose length and CRC checked
  /// out.
  uint64_t sound_bytes() const { return sound_bytes_; }

  /// How many bytes came out in all.
  uint64_t bytes_out() const { return bytes_out_; }

 private:
  struct State;
  // Takes the next input byte; false at the end of the input (or a read
  // error, which is then reported).
  bool next_byte(uint8_t* byte);
  // Reads a member's header, its first byte `first` already taken; false,
  // with the error set, when it is not one.
  bool read_header(uint8_t first);
  // Checks the member's trailer; false, with the error set, when it does
  // not match.
  bool read_trailer();
  bool fail(const std::string& error, bool cut_short);

  File& file_;
  std::unique_ptr<State> state_;
  std::string error_;
  bool cut_short_ = false;
  uint64_t sound_bytes_ = 0;
  uint64_t bytes_out_ = 0;
};

#endif  // QUILLON_LOGCONV_GZIP_READER_H_
