// In-place gzip decompression, the same on every system: zlib does the work,
// the platform layer the file operations.

#include <errno.h>
#include <string.h>
#include <zlib.h>

#include <memory>

#include "platform/platform.h"

namespace {

const size_t kBlockSize = 1 << 16;

// Inflates every gzip member of `in` into `out`. Zero bytes after a member
// are padding and are skipped, as gzip does. Returns false, with *err set,
// on bad, truncated or unreadable input or a failed write.
bool inflate_members(File& in, File& out, std::string* err) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  if (inflateInit2(&zs, 15 + 16) != Z_OK) {
    *err = "out of memory";
    return false;
  }
  std::unique_ptr<unsigned char[]> in_buf(new unsigned char[kBlockSize]);
  std::unique_ptr<unsigned char[]> out_buf(new unsigned char[kBlockSize]);
  int members = 0;
  bool in_member = true;  // the first member is required
  bool ok = true;
  bool out_full = false;  // zlib may hold output that needs no more input
  for (;;) {
    if (zs.avail_in == 0 && !out_full) {
      long long n = in.read(reinterpret_cast<char*>(in_buf.get()), kBlockSize);
      if (n <= 0) {
        if (n < 0) {
          *err = "read error: " + in.error();
          ok = false;
        } else if (in_member) {
          *err = "unexpected end of file";
          ok = false;
        }
        break;
      }
      zs.next_in = in_buf.get();
      zs.avail_in = static_cast<uInt>(n);
    }
    if (!in_member) {
      while (zs.avail_in > 0 && *zs.next_in == 0) {
        ++zs.next_in;
        --zs.avail_in;
      }
      if (zs.avail_in == 0) continue;
      in_member = true;
    }
    zs.next_out = out_buf.get();
    zs.avail_out = kBlockSize;
    int ret = inflate(&zs, Z_NO_FLUSH);
    size_t produced = kBlockSize - zs.avail_out;
    out_full = ret == Z_OK && zs.avail_out == 0;
    if (produced > 0 &&
        !out.write(reinterpret_cast<char*>(out_buf.get()), produced)) {
      *err = "write failed: " + out.error();
      ok = false;
      break;
    }
    if (ret == Z_STREAM_END) {
      ++members;
      in_member = false;
      inflateReset(&zs);
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      bool bad_header = zs.msg != nullptr &&
                        strcmp(zs.msg, "incorrect header check") == 0;
      if (members == 0 && bad_header)
        *err = "not in gzip format";
      else if (bad_header)
        *err = "trailing garbage after compressed data";
      else
        *err = std::string("invalid compressed data: ") +
               (zs.msg != nullptr ? zs.msg : "unknown error");
      ok = false;
      break;
    }
  }
  inflateEnd(&zs);
  return ok;
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
