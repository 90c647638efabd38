// quillon-fuzz-seeds DIR: writes the seed corpora of the fuzz targets into
// DIR/convert and DIR/gunzip, made with the log generator: logs of every
// version, clean, cut short, with a bad type, without the marker, with long
// header lines; archives whole, in several members, padded, cut and
// corrupted.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "events/event_table.h"
#include "tools/loggen.h"

namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// The convert target's input: a read-size seed, the name's length, the
// name, the log.
std::string convert_input(const std::string& name, const std::string& log,
                          char seed) {
  return std::string(1, seed) + static_cast<char>(name.size()) + name + log;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: quillon-fuzz-seeds DIR\n");
    return 2;
  }
  fs::path convert_dir = fs::path(argv[1]) / "convert";
  fs::path gunzip_dir = fs::path(argv[1]) / "gunzip";
  fs::create_directories(convert_dir);
  fs::create_directories(gunzip_dir);

  const char* names[] = {"2022_06_08_13.dat", "AB_17_2022_06_08_13.dat",
                         "AB_2022_06_08_13.dat", "x.dat"};
  int n = 0;
  for (int version : {4, 5, 6, 7}) {
    const EventTable& table = select_event_table(version);
    std::string clean = make_log(version, random_records(version, 40, version, {}));
    std::string bad_type =
        clean + encode_record({static_cast<uint8_t>(table.count), 0, {}});
    std::string cut = clean.substr(0, clean.size() - 1);
    std::string header = make_log_header(version);
    std::string no_marker = header.substr(0, header.find("Binary Data"));
    // A first line and a second line longer than a line piece.
    std::string long_lines = "a b c d e ";
    long_lines += std::to_string(version);
    long_lines.append(" ").append(600, 'x').append("\n");
    long_lines.append(300, 'y').append("\n");
    long_lines += header.substr(header.find('\n') + 1) + clean.substr(header.size());
    const std::string* logs[] = {&clean, &bad_type, &cut, &no_marker, &long_lines};
    const char* kinds[] = {"clean", "bad-type", "cut", "no-marker", "long-lines"};
    std::string label = "v";
    label += std::to_string(version);
    label += "-";
    for (int i = 0; i < 5; ++i) {
      std::string name = names[(n++) % 4];
      write(convert_dir / (label + kinds[i]),
            convert_input(name, *logs[i], static_cast<char>(n)));
    }
    std::string gz = gzip_bytes(clean);
    write(gunzip_dir / (label + "whole"), gz);
    if (version == 6) {
      write(gunzip_dir / "members",
            gzip_bytes(clean.substr(0, 100)) + gzip_bytes(clean.substr(100)));
      write(gunzip_dir / "padded", gz + std::string(8, '\0'));
      write(gunzip_dir / "trailing", gz + "junk");
      write(gunzip_dir / "cut", gz.substr(0, gz.size() / 2));
      std::string corrupt = gz;
      corrupt[corrupt.size() - 6] ^= 0x55;
      write(gunzip_dir / "corrupt", corrupt);
      write(gunzip_dir / "empty-member", gzip_bytes(""));
    }
  }
  return 0;
}
