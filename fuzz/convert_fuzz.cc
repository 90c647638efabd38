// Fuzz target: one log converted from bytes, in both modes.
//
// Input: byte 0 seeds the sizes of the reads, byte 1 gives the length n of
// the file name (n mod 48), the next n bytes are the name, the rest is the
// log. The CSVs are checked against an independent reading of the log's
// framing: header pieces, records and how the log ends.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "events/event_table.h"
#include "fuzz/fuzz_check.h"
#include "logconv/convert_log.h"
#include "logconv/streams.h"

namespace {

// Hands out the bytes in reads of pseudo-random sizes from 1 to 300.
class ChunkedInput : public InputStream {
 public:
  ChunkedInput(std::string_view bytes, uint32_t seed)
      : bytes_(bytes), rng_(seed) {}
  size_t read(char* buf, size_t size) override {
    size_t n = std::min({size, bytes_.size() - pos_,
                         static_cast<size_t>(1 + rng_() % 300)});
    memcpy(buf, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  bool failed() const override { return false; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  std::mt19937 rng_;
};

// The log as its framing rules read it, worked out here on their own.
struct Framing {
  std::vector<std::string_view> header_pieces;
  std::vector<const uint8_t*> records;  // each at its type byte
  const EventTable* table = nullptr;
  LogEnd end = LogEnd::kEndOfLog;
  int bad_type = 0;
};

Framing frame(std::string_view log) {
  Framing f;
  size_t pos = 0;
  bool marker = false;
  int version = 0;
  while (!marker && pos < log.size()) {
    size_t n = std::min<size_t>(255, log.size() - pos);
    size_t nl = log.substr(pos, n).find('\n');
    if (nl != std::string_view::npos) n = nl + 1;
    std::string_view piece = log.substr(pos, n);
    if (f.header_pieces.empty()) version = parse_log_version(piece);
    f.header_pieces.push_back(piece);
    marker = piece.find("Binary Data Follows:") != std::string_view::npos;
    pos += n;
  }
  f.table = &select_event_table(version);
  if (!marker) {
    f.end = LogEnd::kBadFileRead;
    return f;
  }
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(log.data());
  while (pos < log.size()) {
    uint8_t type = bytes[pos];
    if (type >= f.table->count) {
      f.end = LogEnd::kBadEventType;
      f.bad_type = type;
      return f;
    }
    size_t size = 3u + f.table->rows[type].length;
    if (log.size() - pos < size) {
      f.end = LogEnd::kBadFileRead;
      return f;
    }
    f.records.push_back(bytes + pos);
    pos += size;
  }
  return f;
}

std::string closing_row(const ConvertResult& result) {
  switch (result.end) {
    case LogEnd::kEndOfLog: return ",End of Controller Log\n";
    case LogEnd::kBadFileRead: return ",Error: bad file read\n";
    case LogEnd::kBadEventType:
      return ",Error: bad event type " + std::to_string(result.bad_type) + "\n";
    case LogEnd::kWriteFailed: break;
  }
  FUZZ_CHECK(false);
  return {};
}

// Reads the decimal number at `*pos` and moves past it.
int number_at(const std::string& s, size_t* pos) {
  size_t start = *pos;
  int value = 0;
  while (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9' && *pos - start < 4)
    value = value * 10 + (s[(*pos)++] - '0');
  FUZZ_CHECK(*pos > start);
  return value;
}

// Checks one CSV against the framing and returns where its header ends.
size_t check_csv(const std::string& csv, const Framing& f,
                 const std::string& prefix, const ConvertResult& result,
                 Mode mode) {
  FUZZ_CHECK(result.end == f.end);
  FUZZ_CHECK(result.records == f.records.size());
  if (f.end == LogEnd::kBadEventType) FUZZ_CHECK(result.bad_type == f.bad_type);

  // Each header piece echoed whole, after ",,"; only the fixed-up column of
  // lines 3, 4 and 6 may differ, and then it is a comma.
  size_t pos = 0;
  for (size_t i = 0; i < f.header_pieces.size(); ++i) {
    std::string_view piece = f.header_pieces[i];
    FUZZ_CHECK(csv.compare(pos, 2, ",,") == 0);
    pos += 2;
    FUZZ_CHECK(csv.size() - pos >= piece.size());
    size_t fix = i == 2 ? 10 : i == 3 ? 11 : i == 5 ? 14 : std::string::npos;
    for (size_t j = 0; j < piece.size(); ++j) {
      if (j == fix && piece[j] != '\n')
        FUZZ_CHECK(csv[pos + j] == ',');
      else
        FUZZ_CHECK(csv[pos + j] == piece[j]);
    }
    pos += piece.size();
  }
  size_t header_end = pos;

  // The event rows: in proprietary mode one per record, of its type; in
  // standard mode a code of 0 only where a row's stored code is 12.
  size_t rows = 0, zero_codes = 0;
  while (csv.compare(pos, prefix.size(), prefix) == 0) {
    pos += prefix.size() + 7;  // "MM:SS.t"
    FUZZ_CHECK(pos < csv.size() && csv[pos] == ',');
    ++pos;
    int code = number_at(csv, &pos);
    if (mode == Mode::kProprietary) {
      FUZZ_CHECK(rows < f.records.size());
      FUZZ_CHECK(code == f.records[rows][0]);
    } else if (code == 0) {
      ++zero_codes;
    }
    ++rows;
    size_t nl = csv.find('\n', pos);
    FUZZ_CHECK(nl != std::string::npos);
    pos = nl + 1;
  }
  if (mode == Mode::kProprietary) {
    FUZZ_CHECK(rows == f.records.size());
  } else {
    size_t code_12 = 0;
    for (const uint8_t* record : f.records)
      if (f.table->rows[record[0]].code == 12) ++code_12;
    FUZZ_CHECK(rows <= f.records.size());
    FUZZ_CHECK(zero_codes <= code_12);
  }
  // Exactly one closing row, the one the result names, and nothing after.
  FUZZ_CHECK(csv.compare(pos, std::string::npos, closing_row(result)) == 0);
  return header_end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t name_size = std::min<size_t>(data[1] % 48, size - 2);
  std::string name(reinterpret_cast<const char*>(data) + 2, name_size);
  std::string_view log(reinterpret_cast<const char*>(data) + 2 + name_size,
                       size - 2 - name_size);

  LogDate date = parse_log_date(name);
  std::string prefix = " ";
  prefix.append(date.month).append("/").append(date.day).append("/");
  prefix.append(date.year).append(" ").append(date.hour).append(":");
  // A prefix with a newline in it would break the row framing used here.
  if (prefix.find('\n') != std::string::npos) return 0;

  Framing f = frame(log);
  std::string headers[2];
  for (Mode mode : {Mode::kProprietary, Mode::kStandard}) {
    MemoryInput whole(log);
    StringOutput out;
    ConvertResult result = convert_log(whole, out, name, mode);
    size_t header_end = check_csv(out.text(), f, prefix, result, mode);
    headers[mode == Mode::kStandard] = out.text().substr(0, header_end);

    // Reads of any sizes give the same CSV.
    ChunkedInput chunked(log, data[0]);
    StringOutput chunked_out;
    ConvertResult chunked_result = convert_log(chunked, chunked_out, name, mode);
    FUZZ_CHECK(chunked_result.end == result.end);
    FUZZ_CHECK(chunked_out.text() == out.text());
  }
  FUZZ_CHECK(headers[0] == headers[1]);
  return 0;
}
