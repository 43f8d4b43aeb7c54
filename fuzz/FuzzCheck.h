// Properties that a fuzz target checks on every input. A broken one aborts,
// which libFuzzer reports as a crash with the input saved, and which fails the
// replay test of the ordinary build; assert() would vanish under NDEBUG.
#pragma once

#include <cstdio>
#include <cstdlib>

#define QEL_FUZZ_CHECK(condition)                                                           \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)
