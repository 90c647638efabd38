// Zstandard compression of what is written, for tables named "*.zst".

#ifndef QUILLON_LOGCONV_ZSTD_OUTPUT_H_
#define QUILLON_LOGCONV_ZSTD_OUTPUT_H_

#include <memory>
#include <string>

#include "logconv/streams.h"

/// Compresses what is written into one zstd frame written to an open file,
/// on `workers` threads besides the caller's (0: in the caller's alone).
class ZstdOutput : public CompressingOutput {
 public:
  /// `level`: zstd's, 1 (fastest) to 19 (smallest).
  ZstdOutput(File& file, int level, int workers);
  ~ZstdOutput() override;
  bool write(const char* data, size_t size) override;
  bool finish() override;
  const std::string& error() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

#endif  // QUILLON_LOGCONV_ZSTD_OUTPUT_H_
