// What every harness shares: the libFuzzer entry point and a check that
// stops the run (a crash to libFuzzer, a failure to the corpus replay) when
// a property of the code under test does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)
