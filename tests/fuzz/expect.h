// What every fuzz target asserts with: a property that does not hold is a
// crash for libFuzzer, which then keeps the input that broke it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

namespace fuzz {

// Ends the run with what failed when holds is false.
inline void Expect(bool holds, const char* what) {
  if (holds) return;
  static_cast<void>(fprintf(stderr, "property broken: %s\n", what));
  abort();
}

}  // namespace fuzz
