// The heap as this test program sees it: the C library's allocation
// functions are replaced (AllocatedBytes.cpp), so every allocation of the
// program, the code under test's included, is measured here. Only one test
// program may link it; the sanitizers replace the same functions.
#pragma once

#include <cstddef>

namespace allocatedbytes {

// From now on, count the bytes asked for and the most held at once above
// what is held now.
void start();
// Bytes asked for since start(), every allocation added.
size_t asked();
// The most held at once since start(), above what was held then.
size_t peak();
// Allocations larger than bytes fail (0: none does), as they would where the
// memory is gone; operator new then throws std::bad_alloc.
void failAbove(size_t bytes);

}  // namespace allocatedbytes
