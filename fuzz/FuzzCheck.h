#pragma once

#include <cstdio>
#include <cstdlib>

namespace vyr::fuzz {

// Stops the run with a message when a property of the code under test does
// not hold; libFuzzer then keeps the input that broke it.
inline void vCheck(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

} // namespace vyr::fuzz
