// The checks the fuzz targets make: a broken property of the code under test
// is reported like any crash, with the failed condition, and kept by libFuzzer as a
// crashing input. Independent of NDEBUG, so every build of the targets checks.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_FAIL(message)                                                          \
  do {                                                                              \
    std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, message); \
    std::abort();                                                                   \
  } while (false)

#define FUZZ_CHECK(condition)                \
  do {                                       \
    if (!(condition)) FUZZ_FAIL(#condition); \
  } while (false)
