// Fuzz target: in-place gzip decompression of a file holding the input.
//
// Either the archive decompresses to exactly what a one-shot decoder of the
// same bytes gives, and only the target is left, or it fails and only the
// unchanged archive is left.

#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "fuzz/fuzz_check.h"
#include "run/decompress.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// No archive here may expand beyond this; larger ones are skipped.
const size_t kMaxOutput = 64 << 20;

// Decodes gzip members back to back, with only zero bytes allowed between
// and after them, all input at hand at once. nullopt: not such data.
// `too_big` is set when the output would pass kMaxOutput.
std::optional<std::string> one_shot_gunzip(const uint8_t* data, size_t size,
                                           bool* too_big) {
  std::string out;
  size_t pos = 0;
  for (bool first = true;; first = false) {
    if (!first) {
      while (pos < size && data[pos] == 0) ++pos;
      if (pos == size) return out;
    }
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    FUZZ_CHECK(inflateInit2(&zs, 15 + 16) == Z_OK);
    zs.next_in = const_cast<Bytef*>(data + pos);
    zs.avail_in = static_cast<uInt>(size - pos);
    int ret = Z_OK;
    while (ret == Z_OK) {
      unsigned char buf[1 << 14];
      zs.next_out = buf;
      zs.avail_out = sizeof buf;
      ret = inflate(&zs, Z_FINISH);
      out.append(reinterpret_cast<char*>(buf), sizeof buf - zs.avail_out);
      if (out.size() > kMaxOutput) {
        *too_big = true;
        ret = Z_DATA_ERROR;
      }
      if (ret == Z_BUF_ERROR && zs.avail_out == 0) ret = Z_OK;  // more output
    }
    pos = size - zs.avail_in;
    inflateEnd(&zs);
    if (ret != Z_STREAM_END) return std::nullopt;
  }
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

const fs::path& work_dir() {
  static const fs::path kDir = [] {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm")
                                           : fs::temp_directory_path();
    fs::path dir = base / ("quillon-gunzip-fuzz-" + std::to_string(getpid()));
    return dir;
  }();
  return kDir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool too_big = false;
  std::optional<std::string> expected = one_shot_gunzip(data, size, &too_big);
  if (too_big) return 0;

  const fs::path& dir = work_dir();
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string archive(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(dir / "x.dat.gz", std::ios::binary);
    out << archive;
  }
  std::string err;
  std::shared_ptr<Dir> open_dir = Dir::open(dir.string(), &err);
  FUZZ_CHECK(open_dir != nullptr);
  bool ok = gunzip_in_place(*open_dir, "x.dat.gz", 0, &err);
  open_dir.reset();

  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir))
    left.push_back(entry.path().filename().string());
  FUZZ_CHECK(left.size() == 1);
  if (ok) {
    FUZZ_CHECK(expected.has_value());
    FUZZ_CHECK(left[0] == "x.dat");
    FUZZ_CHECK(read_all(dir / "x.dat") == *expected);
  } else {
    FUZZ_CHECK(!expected.has_value());
    FUZZ_CHECK(!err.empty());
    FUZZ_CHECK(left[0] == "x.dat.gz");
    FUZZ_CHECK(read_all(dir / "x.dat.gz") == archive);
  }
  // Nothing stays behind, however the fuzzer ends.
  fs::remove_all(dir);
  return 0;
}
