#include "outputs/measures_kept.h"

#include <zlib.h>

#include <cstring>

// Not a temporary name (those have six characters after the dash), which
// a run would remove.
const char kKeptMeasuresName[] = ".quillon-measures";
const char kKeptBeforeName[] = ".quillon-measures-before";

namespace {

// A kept file: its first line, the size of its state uncompressed and its
// CRC-32 (8 and 4 bytes, little-endian), then the state deflated.
const char kMagic[] = "quillon kept measures 1\n";

void put_le(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) *out += static_cast<char>(v >> (8 * i) & 0xff);
}

uint64_t get_le(std::string_view in, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v |= uint64_t{static_cast<unsigned char>(in[static_cast<size_t>(i)])} << (8 * i);
  return v;
}

}  // namespace

std::string pack_kept(std::string_view magic, std::string_view plain) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  std::string packed(size, '\0');
  // The fastest level: a state is mostly the same bytes over and over.
  compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
            reinterpret_cast<const Bytef*>(plain.data()), static_cast<uLong>(plain.size()), 1);
  packed.resize(size);
  std::string out(magic);
  put_le(&out, plain.size(), 8);
  put_le(&out,
         crc32(0, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uInt>(plain.size())),
         4);
  return out + packed;
}

bool unpack_kept(std::string_view bytes, std::string_view magic, std::string* plain,
                 std::string* why) {
  const size_t head = magic.size();
  if (bytes.size() < head + 12 || bytes.substr(0, head) != magic) {
    *why = "it is not such a file";
    return false;
  }
  const uint64_t size = get_le(bytes.substr(head), 8);
  const uint64_t crc = get_le(bytes.substr(head + 8), 4);
  const std::string_view packed = bytes.substr(head + 12);
  // Deflate packs no more than 1032 bytes into one.
  if (size > uint64_t{packed.size()} * 1032 + 64) {
    *why = "it is damaged";
    return false;
  }
  plain->assign(static_cast<size_t>(size), '\0');
  uLongf got = static_cast<uLongf>(size);
  if (uncompress(reinterpret_cast<Bytef*>(plain->data()), &got,
                 reinterpret_cast<const Bytef*>(packed.data()),
                 static_cast<uLong>(packed.size())) != Z_OK ||
      got != size ||
      crc32(0, reinterpret_cast<const Bytef*>(plain->data()), static_cast<uInt>(plain->size())) !=
          crc) {
    *why = "it is damaged";
    return false;
  }
  return true;
}

std::string encode_kept(KeptMeasures& kept) {
  std::string plain;
  StateIO io(&plain);
  kept.state(io);
  return pack_kept(kMagic, plain);
}

bool decode_kept(std::string_view bytes, KeptMeasures* kept, std::string* why) {
  std::string plain;
  if (!unpack_kept(bytes, kMagic, &plain, why)) return false;
  StateIO io{std::string_view(plain)};
  kept->state(io);
  if (!io.ok() || !io.at_end()) {
    *why = "it is damaged";
    return false;
  }
  return true;
}

void pack_states(SignalCheckpoint* at, std::string* packed) {
  std::string plain;
  StateIO io(&plain);
  io(at->states);
  at->states.clear();
  *packed = pack_kept("", plain);
}

bool unpack_states(const std::string& packed, SignalCheckpoint* at) {
  std::string plain, why;
  if (!unpack_kept(packed, "", &plain, &why)) return false;
  StateIO io{std::string_view(plain)};
  io(at->states);
  return io.ok() && io.at_end();
}

std::string changed_option(std::string_view was, std::string_view is) {
  // The lines in turn; a line there in one and not the other differs.
  while (!was.empty() || !is.empty()) {
    const size_t a = was.find('\n'), b = is.find('\n');
    const std::string_view x = was.substr(0, a), y = is.substr(0, b);
    if (x != y) {
      const std::string_view line = y.empty() ? x : y;
      return std::string(line.substr(0, line.find(' ')));
    }
    was.remove_prefix(a == std::string_view::npos ? was.size() : a + 1);
    is.remove_prefix(b == std::string_view::npos ? is.size() : b + 1);
  }
  return std::string();
}
