#include "logconv/streams.h"

#include <zlib.h>

#include <cstring>
#include <thread>

#ifdef QUILLON_HAVE_ZSTD
#include "logconv/zstd_output.h"
#endif

bool LineStream::write(const char* data, size_t size) {
  for (const char* end = data + size; data < end;) {
    const char* nl = static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(end - data)));
    if (nl == nullptr) {
      held_.append(data, end);
      return true;
    }
    held_.append(data, nl + 1);
    data = nl + 1;
    if (!line(held_)) return false;
    held_.clear();
  }
  return true;
}

bool OutputStream::copy_from(File& from, uint64_t offset, uint64_t size) {
  std::string err;  // the read's failure, which `from` tells too
  return copy_through_memory(
      from, offset, size, [this](const char* data, size_t n) { return write(data, n); }, &err);
}

size_t FileInput::read(char* buf, size_t size) {
  long long n = file_.read(buf, size);
  if (n < 0) {
    failed_ = true;
    return 0;
  }
  return static_cast<size_t>(n);
}

size_t MemoryInput::read(char* buf, size_t size) {
  size_t n = bytes_.size() - pos_;
  if (n > size) n = size;
  if (n == 0 && fail_at_end_) failed_ = true;
  if (n > 0) memcpy(buf, bytes_.data() + pos_, n);
  pos_ += n;
  return n;
}

bool StringOutput::write(const char* data, size_t size) {
  if (limit_ != std::string::npos && text_.size() + size > limit_) {
    text_.append(data, limit_ - text_.size());
    return false;
  }
  text_.append(data, size);
  return true;
}

size_t GzipInput::read(char* buf, size_t size) {
  long long n = reader_.read(buf, size);
  if (n < 0) {
    failed_ = true;
    return 0;
  }
  return static_cast<size_t>(n);
}

size_t LimitedInput::read(char* buf, size_t size) {
  if (exceeded_) return 0;
  if (left_ == 0) {
    // Whether anything lies beyond the limit.
    char probe;
    if (size > 0 && in_.read(&probe, 1) > 0) exceeded_ = true;
    return 0;
  }
  if (size > left_) size = static_cast<size_t>(left_);
  size_t n = in_.read(buf, size);
  left_ -= n;
  return n;
}

bool SpillOutput::write(const char* data, size_t size) {
  size_ += size;
  if (!file_.is_open() && held_.size() + size <= memory_) {
    held_.append(data, size);
    return true;
  }
  if (!file_.is_open() && !create_unnamed_temp(&file_, &error_)) return false;
  if (file_.write(data, size)) return true;
  error_ = file_.error();
  return false;
}

bool SpillOutput::clear() {
  held_.clear();
  size_ = 0;
  if (!file_.is_open() || file_.truncate()) return true;
  error_ = file_.error();
  return false;
}

bool SpillOutput::copy_to(OutputStream& out) {
  if (!held_.empty() && !out.write(held_.data(), held_.size())) return false;
  if (!file_.is_open()) return true;
  if (!file_.rewind()) {
    error_ = file_.error();
    return false;
  }
  std::unique_ptr<char[]> buf(new char[1 << 16]);
  for (;;) {
    long long n = file_.read(buf.get(), 1 << 16);
    if (n < 0) {
      error_ = file_.error();
      return false;
    }
    if (n == 0) return true;
    if (!out.write(buf.get(), static_cast<size_t>(n))) return false;
  }
}

struct GzipOutput::State {
  explicit State(File& f) : file(f) {}
  File& file;
  z_stream zs;
  bool ok = true;
  std::string error;
  unsigned char out[1 << 16];

  // Deflates what zs holds with `flush`, writing what comes out.
  bool run(int flush) {
    for (;;) {
      zs.next_out = out;
      zs.avail_out = sizeof out;
      int ret = deflate(&zs, flush);
      size_t n = sizeof out - zs.avail_out;
      if (n > 0 && !file.write(reinterpret_cast<char*>(out), n)) {
        error = file.error();
        return ok = false;
      }
      if (flush == Z_FINISH ? ret == Z_STREAM_END : zs.avail_in == 0 && zs.avail_out != 0)
        return true;
      if (ret != Z_OK && ret != Z_BUF_ERROR) {
        error = "compression failed";
        return ok = false;
      }
    }
  }
};

GzipOutput::GzipOutput(File& file, int level) : state_(new State(file)) {
  memset(&state_->zs, 0, sizeof state_->zs);
  // 15 + 16: a gzip header and trailer around the deflate data.
  if (deflateInit2(&state_->zs, level, Z_DEFLATED, 15 + 16, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    state_->ok = false;
    state_->error = "out of memory";
  }
}

GzipOutput::~GzipOutput() { deflateEnd(&state_->zs); }

bool GzipOutput::write(const char* data, size_t size) {
  State& st = *state_;
  while (st.ok && size > 0) {
    uInt piece = static_cast<uInt>(size < (1u << 30) ? size : (1u << 30));
    st.zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    st.zs.avail_in = piece;
    st.run(Z_NO_FLUSH);
    data += piece;
    size -= piece;
  }
  return st.ok;
}

bool GzipOutput::finish() {
  State& st = *state_;
  st.zs.next_in = nullptr;
  st.zs.avail_in = 0;
  return st.ok && st.run(Z_FINISH);
}

const std::string& GzipOutput::error() const { return state_->error; }

std::unique_ptr<CompressingOutput> compressor_for(std::string_view name,
                                                  File& file, std::string* err) {
  err->clear();
  if (ends_with_ignoring_case(name, ".gz"))
    return std::make_unique<GzipOutput>(file, 6);
  if (!ends_with_ignoring_case(name, ".zst")) return nullptr;
#ifdef QUILLON_HAVE_ZSTD
  // Level 3, zstd's own default; every core but this one's compresses.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::make_unique<ZstdOutput>(file, 3, cores > 1 ? cores : 0);
#else
  *err = "this build of quillon cannot write zstd (.zst)";
  return nullptr;
#endif
}
