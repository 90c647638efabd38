// Measures log conversion in-process, on memory streams, in both modes.
// Usage: quillon-bench [records]   (default 2000000)

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "logconv/convert_log.h"
#include "logconv/streams.h"
#include "tools/loggen.h"

namespace {

// Counts the bytes written and keeps none of them.
class CountingOutput : public OutputStream {
 public:
  bool write(const char*, size_t size) override {
    bytes += size;
    return true;
  }
  size_t bytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  long records = argc > 1 ? atol(argv[1]) : 2000000;
  if (records <= 0) {
    fprintf(stderr, "usage: quillon-bench [records]\n");
    return 2;
  }
  for (int version : {4, 6, 7}) {
    std::string log = make_log(
        version, random_records(version, static_cast<size_t>(records), 1, {}));
    for (Mode mode : {Mode::kProprietary, Mode::kStandard}) {
      const int kRounds = 5;
      double best = 1e30;
      size_t out_bytes = 0;
      for (int round = 0; round < kRounds; ++round) {
        MemoryInput input(log);
        CountingOutput output;
        auto start = std::chrono::steady_clock::now();
        convert_log(input, output, "2022_06_08_13.dat", mode);
        std::chrono::duration<double> took =
            std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
        out_bytes = output.bytes;
      }
      printf("version %d, mode %c: %ld records, %.1f MB in, %.1f MB out, "
             "%.3f s, %.0f MB/s out, %.1f M records/s\n",
             version, mode == Mode::kProprietary ? 'p' : 'e', records,
             log.size() / 1e6, out_bytes / 1e6, best, out_bytes / 1e6 / best,
             records / 1e6 / best);
    }
  }
  return 0;
}
