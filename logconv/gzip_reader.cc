#include "logconv/gzip_reader.h"

#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#ifdef QUILLON_HAVE_ISAL
#include <isa-l/igzip_lib.h>
const bool kHaveIsal = true;
#else
const bool kHaveIsal = false;
#endif

namespace {

const size_t kBlockSize = 1 << 16;

// Inflates the raw deflate data of one member, and keeps the CRC-32 of what
// comes out.
class RawInflater {
 public:
  enum Result { kMore, kEnd, kError };
  virtual ~RawInflater() = default;
  // Starts a member.
  virtual void reset() = 0;
  // Inflates from *in (in_size bytes) into *out (out_size bytes), moving
  // both on: kEnd when the deflate data ended (the bytes after it left in
  // *in), kError with *message (zlib's words) when it is damaged, else
  // kMore.
  virtual Result inflate(const uint8_t** in, size_t* in_size, uint8_t** out,
                         size_t* out_size, std::string* message) = 0;
  // The CRC-32 of the member's bytes so far.
  virtual uint32_t crc() const = 0;
  // After kEnd: the bytes after the deflate data that were read ahead and
  // are not in *in any more, into `bytes` (8 at most); returns how many.
  virtual size_t take_back(uint8_t* bytes) {
    (void)bytes;
    return 0;
  }
};

class ZlibInflater : public RawInflater {
 public:
  ZlibInflater() {
    memset(&zs_, 0, sizeof zs_);
    ok_ = inflateInit2(&zs_, -15) == Z_OK;
  }
  ~ZlibInflater() override { inflateEnd(&zs_); }

  void reset() override {
    inflateReset(&zs_);
    crc_ = crc32(0, nullptr, 0);
  }

  Result inflate(const uint8_t** in, size_t* in_size, uint8_t** out,
                 size_t* out_size, std::string* message) override {
    if (!ok_) {
      *message = "out of memory";
      return kError;
    }
    zs_.next_in = const_cast<Bytef*>(*in);
    zs_.avail_in = static_cast<uInt>(std::min<size_t>(*in_size, 1u << 30));
    zs_.next_out = *out;
    zs_.avail_out = static_cast<uInt>(std::min<size_t>(*out_size, 1u << 30));
    const uInt given_in = zs_.avail_in, given_out = zs_.avail_out;
    int ret = ::inflate(&zs_, Z_NO_FLUSH);
    const size_t produced = given_out - zs_.avail_out;
    crc_ = crc32(crc_, *out, static_cast<uInt>(produced));
    *in += given_in - zs_.avail_in;
    *in_size -= given_in - zs_.avail_in;
    *out += produced;
    *out_size -= produced;
    if (ret == Z_STREAM_END) return kEnd;
    if (ret == Z_OK || ret == Z_BUF_ERROR) return kMore;
    *message = zs_.msg != nullptr ? zs_.msg : "unknown error";
    return kError;
  }

  uint32_t crc() const override { return crc_; }

 private:
  z_stream zs_;
  bool ok_;
  uLong crc_ = 0;
};

#ifdef QUILLON_HAVE_ISAL
class IsalInflater : public RawInflater {
 public:
  IsalInflater() : state_(new inflate_state) { reset(); }

  void reset() override {
    isal_inflate_init(state_.get());
    // Raw deflate data, its CRC-32 kept.
    state_->crc_flag = ISAL_GZIP_NO_HDR;
  }

  Result inflate(const uint8_t** in, size_t* in_size, uint8_t** out,
                 size_t* out_size, std::string* message) override {
    inflate_state& st = *state_;
    st.next_in = const_cast<uint8_t*>(*in);
    st.avail_in = static_cast<uint32_t>(std::min<size_t>(*in_size, 1u << 30));
    st.next_out = *out;
    st.avail_out = static_cast<uint32_t>(std::min<size_t>(*out_size, 1u << 30));
    const uint32_t given_in = st.avail_in, given_out = st.avail_out;
    int ret = isal_inflate(&st);
    *in += given_in - st.avail_in;
    *in_size -= given_in - st.avail_in;
    *out += given_out - st.avail_out;
    *out_size -= given_out - st.avail_out;
    if (ret < 0) {
      // In zlib's words, as the zlib build would say it.
      *message = ret == ISAL_INVALID_BLOCK    ? "invalid block type"
                 : ret == ISAL_INVALID_SYMBOL ? "invalid literal/length code"
                 : ret == ISAL_INVALID_LOOKBACK ? "invalid distance too far back"
                                                : "unknown error";
      return kError;
    }
    return st.block_state == ISAL_BLOCK_FINISH ? kEnd : kMore;
  }

  uint32_t crc() const override { return state_->crc; }

  size_t take_back(uint8_t* bytes) override {
    // ISA-L holds bits of the input ahead: past the bits left of the last
    // byte of deflate data, whole bytes that follow it, first in the low
    // bits.
    const inflate_state& st = *state_;
    size_t whole = static_cast<size_t>(st.read_in_length) / 8;
    uint64_t bits = st.read_in >> (st.read_in_length % 8);
    for (size_t i = 0; i < whole; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    return whole;
  }

 private:
  std::unique_ptr<inflate_state> state_;
};
#endif

std::unique_ptr<RawInflater> make_inflater(Inflater which) {
#ifdef QUILLON_HAVE_ISAL
  if (which != Inflater::kZlib) return std::make_unique<IsalInflater>();
#else
  (void)which;
#endif
  return std::make_unique<ZlibInflater>();
}

}  // namespace

struct GzipReader::State {
  std::unique_ptr<RawInflater> inflater;
  std::unique_ptr<uint8_t[]> in_buf{new uint8_t[kBlockSize]};
  const uint8_t* in = nullptr;
  size_t in_size = 0;
  // Input bytes that the inflater read ahead and gave back, read first.
  uint8_t back[8];
  size_t back_size = 0, back_at = 0;
  enum Phase { kFirst, kData, kBetween, kDone, kFailed } phase = kFirst;
  int members = 0;
  uint32_t member_size = 0;  // mod 2^32, as the trailer keeps it
};

GzipReader::GzipReader(File& file, Inflater inflater)
    : file_(file), state_(new State) {
  state_->inflater = make_inflater(inflater);
}

GzipReader::~GzipReader() = default;

bool GzipReader::fail(const std::string& error, bool cut_short) {
  error_ = error;
  cut_short_ = cut_short;
  state_->phase = State::kFailed;
  return false;
}

bool GzipReader::next_byte(uint8_t* byte) {
  State& st = *state_;
  if (st.back_at < st.back_size) {
    *byte = st.back[st.back_at++];
    return true;
  }
  if (st.in_size == 0) {
    long long n = file_.read(reinterpret_cast<char*>(st.in_buf.get()), kBlockSize);
    if (n < 0) return fail("read error: " + file_.error(), true);
    if (n == 0) return false;
    st.in = st.in_buf.get();
    st.in_size = static_cast<size_t>(n);
  }
  *byte = *st.in++;
  --st.in_size;
  return true;
}

bool GzipReader::read_header(uint8_t first) {
  State& st = *state_;
  // The bytes of the header so far, for its CRC (FHCRC).
  uLong crc = crc32(0, nullptr, 0);
  uint8_t b = first;
  auto take = [&](uint8_t* byte) {
    if (!next_byte(byte)) {
      if (st.phase != State::kFailed) fail("unexpected end of file", true);
      return false;
    }
    crc = crc32(crc, byte, 1);
    return true;
  };
  crc = crc32(crc, &b, 1);
  uint8_t id2 = 0;
  if (!take(&id2)) return false;
  if (first != 0x1f || id2 != 0x8b) {
    return fail(st.members == 0 ? "not in gzip format"
                                : "trailing garbage after compressed data",
                false);
  }
  uint8_t method, flags, skip;
  if (!take(&method) || !take(&flags)) return false;
  if (method != 8)
    return fail("invalid compressed data: unknown compression method", false);
  if (flags & 0xe0)
    return fail("invalid compressed data: unknown header flags set", false);
  for (int i = 0; i < 6; ++i)  // time, extra flags, system
    if (!take(&skip)) return false;
  if (flags & 4) {  // FEXTRA
    uint8_t low, high;
    if (!take(&low) || !take(&high)) return false;
    for (unsigned n = low | high << 8; n > 0; --n)
      if (!take(&skip)) return false;
  }
  for (int field : {8, 16}) {  // FNAME, FCOMMENT: up to a zero byte
    if (!(flags & field)) continue;
    do {
      if (!take(&skip)) return false;
    } while (skip != 0);
  }
  if (flags & 2) {  // FHCRC
    uint32_t expected = crc & 0xffff;
    uint8_t low, high;
    if (!take(&low) || !take(&high)) return false;
    if (static_cast<uint32_t>(low | high << 8) != expected)
      return fail("invalid compressed data: header crc mismatch", false);
  }
  return true;
}

bool GzipReader::read_trailer() {
  State& st = *state_;
  uint8_t bytes[8];
  for (uint8_t& b : bytes) {
    if (!next_byte(&b)) {
      if (st.phase != State::kFailed) fail("unexpected end of file", true);
      return false;
    }
  }
  auto le32 = [](const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                 static_cast<uint32_t>(p[3]) << 24);
  };
  if (le32(bytes) != st.inflater->crc())
    return fail("invalid compressed data: incorrect data check", false);
  if (le32(bytes + 4) != st.member_size)
    return fail("invalid compressed data: incorrect length check", false);
  return true;
}

long long GzipReader::read(char* buf, size_t size) {
  State& st = *state_;
  if (st.phase == State::kFailed) return -1;
  if (st.phase == State::kDone || size == 0) return 0;
  uint8_t* out = reinterpret_cast<uint8_t*>(buf);
  size_t room = size;
  // Until some bytes come out, or the data ends or turns out damaged.
  while (room == size && st.phase != State::kFailed && st.phase != State::kDone) {
    if (st.phase == State::kFirst || st.phase == State::kBetween) {
      // Zero bytes after a member are padding, as gzip takes them.
      uint8_t b = 0;
      bool more = next_byte(&b);
      while (more && b == 0 && st.phase == State::kBetween) more = next_byte(&b);
      if (st.phase == State::kFailed) break;
      if (!more) {
        if (st.phase == State::kFirst)
          fail("unexpected end of file", true);
        else
          st.phase = State::kDone;
        break;
      }
      if (!read_header(b)) break;
      st.inflater->reset();
      st.member_size = 0;
      st.phase = State::kData;
    }
    bool input_ended = false;
    if (st.in_size == 0) {
      long long n = file_.read(reinterpret_cast<char*>(st.in_buf.get()), kBlockSize);
      if (n < 0) {
        fail("read error: " + file_.error(), true);
        break;
      }
      // At the end of the input the inflater still hands over what it
      // holds, before the member is found cut short.
      input_ended = n == 0;
      st.in = st.in_buf.get();
      st.in_size = static_cast<size_t>(n);
    }
    uint8_t* before = out;
    std::string message;
    RawInflater::Result result =
        st.inflater->inflate(&st.in, &st.in_size, &out, &room, &message);
    const size_t produced = static_cast<size_t>(out - before);
    st.member_size += static_cast<uint32_t>(produced);
    bytes_out_ += produced;
    if (input_ended && produced == 0 && result == RawInflater::kMore) {
      fail("unexpected end of file", true);
    } else if (result == RawInflater::kError) {
      fail("invalid compressed data: " + message, false);
    } else if (result == RawInflater::kEnd) {
      st.back_size = st.inflater->take_back(st.back);
      st.back_at = 0;
      if (read_trailer()) {
        // The member checked out: its bytes are sound.
        ++st.members;
        sound_bytes_ = bytes_out_;
        st.phase = State::kBetween;
      }
    }
  }
  size_t produced = size - room;
  // What came out before the damage is handed over first.
  if (produced == 0 && st.phase == State::kFailed) return -1;
  return static_cast<long long>(produced);
}
