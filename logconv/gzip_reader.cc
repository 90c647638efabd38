#include "logconv/gzip_reader.h"

#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace {

const size_t kBlockSize = 1 << 16;

}  // namespace

struct GzipReader::State {
  z_stream zs;
  std::unique_ptr<unsigned char[]> in_buf{new unsigned char[kBlockSize]};
  int members = 0;
  bool in_member = true;  // the first member is required
  bool out_full = false;  // zlib may hold output that needs no more input
  bool done = false;
  bool failed = false;
};

GzipReader::GzipReader(File& file) : file_(file), state_(new State) {
  memset(&state_->zs, 0, sizeof state_->zs);
  if (inflateInit2(&state_->zs, 15 + 16) != Z_OK) {
    error_ = "out of memory";
    state_->failed = true;
  }
}

GzipReader::~GzipReader() { inflateEnd(&state_->zs); }

long long GzipReader::read(char* buf, size_t size) {
  State& st = *state_;
  z_stream& zs = st.zs;
  if (st.failed) return -1;
  if (st.done || size == 0) return 0;
  zs.next_out = reinterpret_cast<Bytef*>(buf);
  zs.avail_out = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
  const uInt wanted = zs.avail_out;
  // Until some bytes come out, or the data ends or turns out damaged.
  while (zs.avail_out == wanted) {
    if (zs.avail_in == 0 && !st.out_full) {
      long long n = file_.read(reinterpret_cast<char*>(st.in_buf.get()), kBlockSize);
      if (n < 0 || (n == 0 && st.in_member)) {
        error_ = n < 0 ? "read error: " + file_.error() : "unexpected end of file";
        cut_short_ = true;
        st.failed = true;
        break;
      }
      if (n == 0) {
        st.done = true;
        break;
      }
      zs.next_in = st.in_buf.get();
      zs.avail_in = static_cast<uInt>(n);
    }
    // Zero bytes after a member are padding, as gzip takes them.
    if (!st.in_member) {
      while (zs.avail_in > 0 && *zs.next_in == 0) {
        ++zs.next_in;
        --zs.avail_in;
      }
      if (zs.avail_in == 0) continue;
      st.in_member = true;
    }
    uInt before = zs.avail_out;
    int ret = inflate(&zs, Z_NO_FLUSH);
    bytes_out_ += before - zs.avail_out;
    st.out_full = ret == Z_OK && zs.avail_out == 0;
    if (ret == Z_STREAM_END) {
      // zlib has checked the member's CRC and length against its trailer.
      ++st.members;
      sound_bytes_ = bytes_out_;
      st.in_member = false;
      inflateReset(&zs);
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      bool bad_header = zs.msg != nullptr &&
                        strcmp(zs.msg, "incorrect header check") == 0;
      if (st.members == 0 && bad_header)
        error_ = "not in gzip format";
      else if (bad_header)
        error_ = "trailing garbage after compressed data";
      else
        error_ = std::string("invalid compressed data: ") +
                 (zs.msg != nullptr ? zs.msg : "unknown error");
      st.failed = true;
      // What came out before the damage is handed over first.
      break;
    }
  }
  size_t produced = wanted - zs.avail_out;
  if (produced == 0 && st.failed) return -1;
  return static_cast<long long>(produced);
}
