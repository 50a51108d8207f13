// A check that holds in every fuzz run: on failure it names the broken
// property and aborts, so libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                     \
  do {                                                                            \
    if (!(condition)) {                                                           \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, \
                   #condition);                                                   \
      std::abort();                                                               \
    }                                                                             \
  } while (false)
