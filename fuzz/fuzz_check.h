// How a fuzz target reports a broken property: a message on standard error, then abort, so
// that libFuzzer (or the replay driver) records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                               \
  do {                                                           \
    if (!(condition)) {                                          \
      std::fprintf(stderr, "property broken: %s: ", #condition); \
      std::fprintf(stderr, __VA_ARGS__);                         \
      std::fprintf(stderr, "\n");                                \
      std::abort();                                              \
    }                                                            \
  } while (false)
