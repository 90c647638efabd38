#include "logconv/streams.h"

#include <cstring>

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
