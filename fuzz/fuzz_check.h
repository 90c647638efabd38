// What the fuzz targets share: a check that stops the process on a broken
// invariant, so that libFuzzer records the input and a replay fails.

#ifndef QUILLON_FUZZ_FUZZ_CHECK_H_
#define QUILLON_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #condition);                                             \
      abort();                                                         \
    }                                                                  \
  } while (0)

#endif  // QUILLON_FUZZ_FUZZ_CHECK_H_
