// What every fuzz target asserts with: a property that does not hold is a
// crash for libFuzzer, which then keeps the input that broke it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <fuzzer/FuzzedDataProvider.h>

namespace fuzz {

// Ends the run with what failed when holds is false.
inline void Expect(bool holds, const char* what) {
  if (holds) return;
  static_cast<void>(fprintf(stderr, "property broken: %s\n", what));
  abort();
}

// One input of a target that tries two kinds: text built the way the
// kernel writes it, which must read back exactly, or raw bytes, which must
// agree with a plain reference; the input's first byte chooses.
inline int EitherKind(const uint8_t* bytes, size_t size, void (*kernel)(FuzzedDataProvider&),
                      void (*raw)(FuzzedDataProvider&)) {
  FuzzedDataProvider data(bytes, size);
  if (data.ConsumeBool()) {
    kernel(data);
  } else {
    raw(data);
  }
  return 0;
}

}  // namespace fuzz
