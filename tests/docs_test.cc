// The documentation of the CSV format cannot drift from the code: its table
// of standard codes must list exactly the codes the event tables can write,
// each with the controller events that write it and where its parameter
// comes from, as worked out here from the tables and converters.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "events/converters.h"
#include "events/event_table.h"

namespace {

std::string trimmed(const char* name) {
  std::string s = name;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Where a converter takes the printed parameter from.
std::string parameter_source(EventConverter c) {
  if (c == on_off) return "D0 >> 1";
  if (c == second_byte || c == split_change_v4) return "D1";
  if (c == split_change) return "D2";
  if (c == no_param) return "none";
  if (c == coord_status) return "D0, or from D2: 0, 1, 2, 4 give 0, 6, 1, 4";
  return "D0";
}

const char* const kVersionNames[] = {"v4", "v5", "v6", "current"};

// For each code, its "written for" and "parameter" cells, from the tables.
// The split converters compute their code from a data byte; they are one
// row for the codes of splits 1 to 16.
std::map<std::string, std::pair<std::string, std::string>> expected_rows() {
  const EventTable* tables[] = {&kVersion4Table, &kVersion5Table,
                                &kVersion6Table, &kCurrentTable};
  // code -> (event and state -> versions), code -> parameter sources
  std::map<int, std::map<std::string, std::vector<std::string>>> events;
  std::map<int, std::set<std::string>> params;
  for (int v = 0; v < 4; ++v) {
    const EventTable& table = *tables[v];
    for (int type = 0; type < table.count; ++type) {
      const EventDefinition& row = table.rows[type];
      if (row.converter == nullptr) continue;
      std::string name = trimmed(row.name);
      if (row.converter == split_change || row.converter == split_change_v4) {
        std::string what = row.converter == split_change
                               ? name + ": split D1 = 1 to 16"
                               : name + ": split D0 - 91 = 1 to 16";
        events[134][what].push_back(kVersionNames[v]);
        params[134].insert(parameter_source(row.converter));
        continue;
      }
      // Every byte a converter reads, one at a time over all its values,
      // with D1 both 0 and 1 (preempt_state tells them apart).
      for (int i : {0, 1, 2, 4, 12}) {
        for (int value = 0; value < 256; ++value) {
          for (int d1 : {0, 1}) {
            uint8_t d[16] = {};
            d[1] = static_cast<uint8_t>(d1);
            d[i] = static_cast<uint8_t>(value);
            bool on = d[0] & 1;
            int count = 0;
            uint8_t code = row.converter(row.code, d, &count);
            if (!keeps_standard_code(row, code)) continue;
            std::string what = name;
            if (row.converter == on_off) what += on ? ": on" : ": off";
            std::vector<std::string>& versions = events[code][what];
            if (versions.empty() || versions.back() != kVersionNames[v])
              versions.push_back(kVersionNames[v]);
            params[code].insert(parameter_source(row.converter));
          }
        }
      }
    }
  }
  std::map<std::string, std::pair<std::string, std::string>> rows;
  for (const auto& [code, by_event] : events) {
    std::string written_for, param;
    for (const auto& [what, versions] : by_event) {
      if (!written_for.empty()) written_for += "; ";
      written_for += what + " (";
      for (size_t i = 0; i < versions.size(); ++i)
        written_for += (i ? ", " : "") + versions[i];
      written_for += ")";
    }
    for (const std::string& p : params[code])
      param += (param.empty() ? "" : "; ") + p;
    rows[code == 134 ? "134-149" : std::to_string(code)] = {written_for, param};
  }
  return rows;
}

std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string cell;
  std::getline(in, cell, '|');  // before the first bar
  while (std::getline(in, cell, '|')) {
    size_t start = cell.find_first_not_of(' ');
    size_t end = cell.find_last_not_of(' ');
    out.push_back(start == std::string::npos ? ""
                                             : cell.substr(start, end - start + 1));
  }
  if (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

TEST(Docs, StandardCodeTableMatchesTheEventTables) {
  std::ifstream in(QUILLON_DOCS_DIR "/csv-format.md");
  ASSERT_TRUE(in.good());
  // Rows of the table under "## Standard codes": code, meaning, written
  // for, parameter.
  std::map<std::string, std::pair<std::string, std::string>> documented;
  bool in_section = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) in_section = line == "## Standard codes";
    if (!in_section || line.rfind("| ", 0) != 0) continue;
    std::vector<std::string> c = cells(line);
    if (c.size() != 4 || c[0].empty() || !isdigit(static_cast<unsigned char>(c[0][0])))
      continue;
    EXPECT_FALSE(c[1].empty()) << "code " << c[0] << " has no meaning";
    documented[c[0]] = {c[2], c[3]};
  }
  std::map<std::string, std::pair<std::string, std::string>> expected = expected_rows();
  std::string missing;
  for (const auto& [code, row] : expected) {
    auto it = documented.find(code);
    if (it == documented.end() || it->second != row)
      missing += "| " + code + " | ... | " + row.first + " | " + row.second + " |\n";
  }
  EXPECT_EQ(missing, "") << "rows to write in docs/csv-format.md";
  for (const auto& [code, row] : documented)
    EXPECT_TRUE(expected.count(code)) << "code " << code << " is never written";
}

}  // namespace

namespace {

// The code of the row named `name` of `table` (with its padding taken off):
// "N", or for an on/off row "OFF / ON".
std::string code_of_row(const EventTable& table, const std::string& name) {
  for (int type = 0; type < table.count; ++type) {
    const EventDefinition& row = table.rows[type];
    if (event_name(row) != name) continue;
    if (row.converter == on_off)
      return std::to_string(row.code & 0xFF) + " / " + std::to_string(row.code >> 8);
    return std::to_string(row.code);
  }
  return "no row " + name;
}

TEST(Docs, Version4CodesMatchTheEventTables) {
  std::ifstream in(QUILLON_DOCS_DIR "/csv-format.md");
  ASSERT_TRUE(in.good());
  bool in_section = false;
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) in_section = line == "## Codes of version 4 logs";
    if (!in_section || line.rfind("| ", 0) != 0) continue;
    std::vector<std::string> c = cells(line);
    if (c.size() != 5 || c[1].empty() || !isdigit(static_cast<unsigned char>(c[1][0])))
      continue;
    ++rows;
    // A row of one state gives the code of "off" alone.
    auto written = [&](const std::string& code, const std::string& doc) {
      return doc.find('/') == std::string::npos ? code.substr(0, code.find(' '))
                                                : code;
    };
    for (const EventTable* table : {&kVersion5Table, &kVersion6Table, &kCurrentTable})
      EXPECT_EQ(written(code_of_row(*table, c[3]), c[1]), c[1]) << line;
    EXPECT_EQ(written(code_of_row(kVersion4Table, c[4]), c[2]), c[2]) << line;
  }
  EXPECT_GT(rows, 10);
}

}  // namespace
