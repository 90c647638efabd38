// Gzip decompression, the same on every system: zlib does the work, the
// platform layer the file operations.

#include <errno.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "platform/platform.h"

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
        st.failed = true;
        return -1;
      }
      if (n == 0) {
        st.done = true;
        return 0;
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
    int ret = inflate(&zs, Z_NO_FLUSH);
    st.out_full = ret == Z_OK && zs.avail_out == 0;
    if (ret == Z_STREAM_END) {
      ++st.members;
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

namespace {

// Writes every decompressed byte of `in` to `out`. Returns false, with *err
// set, on bad, truncated or unreadable input or a failed write.
bool inflate_members(File& in, File& out, std::string* err) {
  GzipReader reader(in);
  std::unique_ptr<char[]> buf(new char[kBlockSize]);
  for (;;) {
    long long n = reader.read(buf.get(), kBlockSize);
    if (n == 0) return true;
    if (n < 0) {
      *err = reader.error();
      return false;
    }
    if (!out.write(buf.get(), static_cast<size_t>(n))) {
      *err = "write failed: " + out.error();
      return false;
    }
  }
}

}  // namespace

bool gunzip_in_place(const std::string& dir, const std::string& name,
                     std::string* err) {
  if (name.size() <= 3) {
    *err = "no file name is left once .gz is taken off";
    return false;
  }
  const std::string gz_path = join_path(dir, name);
  const std::string target = join_path(dir, name.substr(0, name.size() - 3));
  if (path_exists(target)) {
    *err = target + " already exists";
    return false;
  }
  File in;
  if (!open_input(gz_path, &in, err)) return false;
  std::string temp;
  File out;
  if (!create_temp_file(dir, false, nullptr, &out, &temp, err)) return false;
  bool ok = inflate_members(in, out, err) && copy_mode_and_time(in, out, err);
  in.close();
  if (ok && !(out.sync() && out.close())) {
    *err = "write failed: " + out.error();
    ok = false;
  }
  out.close();
  if (ok) ok = rename_no_replace(temp, target, err);
  if (!ok) {
    std::string ignored;
    remove_file(temp, &ignored);
    return false;
  }
  // The archive goes only once the new name is on stable storage too.
  std::string sync_err;
  if (!sync_directory(dir, &sync_err)) {
    *err = "decompressed to " + target + " but could not flush " + dir +
           ", so kept it: " + sync_err;
    return false;
  }
  std::string remove_err;
  if (!remove_file(gz_path, &remove_err)) {
    *err = "decompressed to " + target + " but could not remove it: " +
           remove_err;
    return false;
  }
  return true;
}
