// The invariants a fuzz target checks: a broken one aborts, which the fuzzer
// reports with the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "%s: invariant broken: %s\n", __BASE_FILE__, what);
    std::abort();
}

#define CHECK(cond) \
  do {              \
    if (!(cond)) {  \
      Fail(#cond);  \
    }               \
  } while (0)
