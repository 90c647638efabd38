// The gzip reader: sound and damaged archives give the same bytes and the
// same messages with either inflater.

#include "logconv/gzip_reader.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/loggen.h"

namespace {

namespace fs = std::filesystem;

// What reading an archive gave.
struct Reading {
  std::string bytes, error;
  bool cut_short;
  uint64_t sound;
  bool operator==(const Reading& o) const {
    return bytes == o.bytes && error == o.error && cut_short == o.cut_short &&
           sound == o.sound;
  }
};

Reading read_all(const std::string& archive, Inflater inflater) {
  fs::path path = fs::temp_directory_path() / "quillon-gzip-reader-test.gz";
  {
    std::ofstream out(path, std::ios::binary);
    out << archive;
  }
  std::string err;
  std::shared_ptr<Dir> dir = Dir::open(path.parent_path().string(), &err);
  File file;
  EXPECT_TRUE(dir->open_file(path.filename().string(), &file, &err)) << err;
  GzipReader reader(file, inflater);
  Reading r;
  char buf[4096];  // small reads, so that members and trailers straddle them
  for (long long n; (n = reader.read(buf, sizeof buf)) > 0;) r.bytes.append(buf, n);
  r.error = reader.error();
  r.cut_short = reader.cut_short();
  r.sound = reader.sound_bytes();
  fs::remove(path);
  return r;
}

// A gzip member of `data` with a header that has every field.
std::string gzip_with_header_fields(const std::string& data) {
  z_stream zs = {};
  deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  gz_header header = {};
  static char name[] = "2022_06_08_13.dat", comment[] = "a comment";
  static unsigned char extra[] = "XYextra";
  header.name = reinterpret_cast<Bytef*>(name);
  header.comment = reinterpret_cast<Bytef*>(comment);
  header.extra = extra;
  header.extra_len = 7;
  header.hcrc = 1;
  deflateSetHeader(&zs, &header);
  std::string out(deflateBound(&zs, data.size()) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

TEST(GzipReader, BothInflatersAgree) {
  const std::string log = make_log(7, random_records(7, 20000, 3, {}));
  const std::string a = log.substr(0, 70001), b = log.substr(70001);
  const std::string whole = gzip_bytes(log);
  const std::string first = gzip_bytes(a), second = gzip_bytes(b);
  auto flip = [](std::string s, size_t from_end) {
    s[s.size() - from_end] ^= 0x55;
    return s;
  };
  std::string fields = gzip_with_header_fields(log);
  struct Case {
    const char* what;
    std::string archive;
    std::string bytes;  // what comes out
    std::string error;
    bool cut_short;
    uint64_t sound;
  };
  const Case kCases[] = {
      {"whole", whole, log, "", false, log.size()},
      {"two members and padding", first + second + std::string(9, '\0'), log, "",
       false, log.size()},
      {"header fields", fields, log, "", false, log.size()},
      {"empty member", gzip_bytes("") + whole, log, "", false, log.size()},
      {"crc", first + flip(second, 6), "", "invalid compressed data: incorrect data check",
       false, a.size()},
      {"length", first + flip(second, 2), "",
       "invalid compressed data: incorrect length check", false, a.size()},
      {"trailing garbage", whole + "junk", log, "trailing garbage after compressed data",
       false, log.size()},
      {"not gzip", "plain text", "", "not in gzip format", false, 0},
      {"empty", "", "", "unexpected end of file", true, 0},
      {"cut in the trailer", whole.substr(0, whole.size() - 3), log,
       "unexpected end of file", true, 0},
      {"cut in a header", first + second.substr(0, 5), a, "unexpected end of file",
       true, a.size()},
      {"method", first + second.substr(0, 2) + '\x07' + second.substr(3), a,
       "invalid compressed data: unknown compression method", false, a.size()},
      {"flags", first + second.substr(0, 3) + '\x80' + second.substr(4), a,
       "invalid compressed data: unknown header flags set", false, a.size()},
      {"header crc", flip(fields, fields.size() - 48), "",
       "invalid compressed data: header crc mismatch", false, 0},
  };
  std::vector<Inflater> inflaters = {Inflater::kZlib};
  if (kHaveIsal) inflaters.push_back(Inflater::kIsal);
  for (const Case& c : kCases) {
    for (Inflater inflater : inflaters) {
      Reading r = read_all(c.archive, inflater);
      std::string what = std::string(c.what) +
                         (inflater == Inflater::kZlib ? " (zlib)" : " (ISA-L)");
      EXPECT_EQ(r.error, c.error) << what;
      EXPECT_EQ(r.cut_short, c.cut_short) << what;
      EXPECT_EQ(r.sound, c.sound) << what;
      // The bytes of sound members come whole; of damaged ones, the checks
      // decide and the reader's users cut back to `sound`.
      if (!c.bytes.empty()) {
        EXPECT_TRUE(r.bytes == c.bytes) << what;
      }
      EXPECT_EQ(r.bytes.substr(0, r.sound), log.substr(0, r.sound)) << what;
    }
  }

  // A cut at any point: both give the same bytes before it and the same
  // message; damage inside the deflate data is named by each in zlib's
  // words, and the sound members agree.
  for (size_t cut = 1; cut < whole.size(); cut += 997) {
    Reading z = read_all(first + whole.substr(0, cut), Inflater::kZlib);
    EXPECT_EQ(z.error, "unexpected end of file") << cut;
    EXPECT_EQ(z.sound, a.size()) << cut;
    if (!kHaveIsal) continue;
    Reading i = read_all(first + whole.substr(0, cut), Inflater::kIsal);
    EXPECT_EQ(i.error, z.error) << cut;
    EXPECT_EQ(i.sound, z.sound) << cut;
    EXPECT_EQ(log.compare(0, i.bytes.size() - a.size(), i.bytes, a.size()), 0)
        << cut;
  }
  for (size_t at = 20; at < second.size() - 8; at += 1231) {
    std::string damaged = second;
    damaged[at] = static_cast<char>(damaged[at] ^ 0xA5);
    for (Inflater inflater : inflaters) {
      Reading r = read_all(first + damaged, inflater);
      if (r.error.empty()) continue;  // the flip made other sound data
      EXPECT_EQ(r.error.rfind("invalid compressed data: ", 0), 0u) << at << r.error;
      EXPECT_EQ(r.sound, a.size()) << at;
    }
  }
}

}  // namespace
