// Generated logs of every event type of every version, and logs that end in
// a bad type or inside a record, against the CSVs checked in beside them
// (tests/golden/csv_files_p and csv_files_e, written by quillon itself and
// reviewed by eye). Any change to the output shows here.
//
// The logs: quillon-genlog --version V --every-type --records 6 --seed V for
// V = 4, 5, 6, 7; --version 6 --records 1000 --seed 11 --bad-type; and
// --version 5 --records 1000 --seed 12 --cut.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Golden, EveryTypeOfEveryVersionInBothModes) {
  const fs::path dir = QUILLON_GOLDEN_DIR;
  int logs = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".dat") continue;
    ++logs;
    std::string name = entry.path().filename().string();
    std::string log = read_bytes(entry.path());
    std::string csv_name = entry.path().stem().string() + ".csv";
    for (Mode mode : {Mode::kProprietary, Mode::kStandard}) {
      const char* out_dir =
          mode == Mode::kProprietary ? "csv_files_p" : "csv_files_e";
      // EXPECT_TRUE, not EXPECT_EQ: a mismatch would print both CSVs whole.
      std::string expected = read_bytes(dir / out_dir / csv_name);
      std::string actual = convert(log, name, mode);
      size_t at = std::mismatch(expected.begin(), expected.end(),
                                actual.begin(), actual.end())
                      .first -
                  expected.begin();
      EXPECT_TRUE(actual == expected)
          << out_dir << "/" << csv_name << " differs at byte " << at << ": "
          << expected.substr(at > 40 ? at - 40 : 0, 80) << "\n  but is: "
          << actual.substr(at > 40 ? at - 40 : 0, 80);
    }
  }
  EXPECT_EQ(logs, 6);
}

}  // namespace
