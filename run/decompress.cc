#include "run/decompress.h"

#include <memory>

#include "logs/messages.h"
#include "logs/names.h"
#include "logconv/gzip_reader.h"

namespace {

const size_t kBlockSize = 1 << 16;

// Writes every decompressed byte of `in` to `out`, `max_size` at most.
// Returns false, with *err set, on bad, truncated, unreadable or too much
// input or a failed write.
bool inflate_members(File& in, File& out, uint64_t max_size,
                     std::string* err) {
  GzipReader reader(in);
  std::unique_ptr<char[]> buf(new char[kBlockSize]);
  uint64_t total = 0;
  for (;;) {
    long long n = reader.read(buf.get(), kBlockSize);
    if (n == 0) return true;
    if (n < 0) {
      *err = reader.error();
      return false;
    }
    total += static_cast<uint64_t>(n);
    if (max_size != 0 && total > max_size) {
      *err = too_large_text(max_size, true);
      return false;
    }
    if (!out.write(buf.get(), static_cast<size_t>(n))) {
      *err = "write failed: " + out.error();
      return false;
    }
  }
}

}  // namespace

bool gunzip_in_place(const Dir& dir, const std::string& name,
                     uint64_t max_size, std::string* err) {
  const std::string target = log_name_of_archive(name);
  if (target.empty()) {
    *err = "no file name is left once .gz is taken off";
    return false;
  }
  if (dir.exists(target)) {
    *err = shown(dir.path_of(target)) + " already exists";
    return false;
  }
  File in;
  if (!dir.open_file(name, &in, err)) return false;
  std::string temp;
  File out;
  if (!dir.create_temp(Content::kBinary, nullptr, &out, &temp, err)) return false;
  bool ok = inflate_members(in, out, max_size, err) &&
            copy_mode_and_time(in, out, err);
  in.close();
  if (ok && !out.sync()) {
    *err = "write failed: " + out.error();
    ok = false;
  }
  if (!ok) {
    dir.discard(&out, temp);
    return false;
  }
  bool exists = false;
  if (!dir.publish(&out, temp, target, Replace::kNo, err, &exists)) {
    if (dir.exists(target)) *err = shown(dir.path_of(target)) + " already exists";
    return false;
  }
  // The archive goes only once the new name is on stable storage too.
  std::string sync_err;
  if (!dir.sync(&sync_err)) {
    *err = "decompressed to " + shown(dir.path_of(target)) +
           " but could not flush " + shown(dir.path()) + ", so kept it: " +
           sync_err;
    return false;
  }
  std::string remove_err;
  if (!dir.remove(name, &remove_err)) {
    *err = "decompressed to " + shown(dir.path_of(target)) +
           " but could not remove it: " + remove_err;
    return false;
  }
  return true;
}
