#pragma once
#include <cstdint>

// Heap allocations made through operator new (every allocation of the C++
// code, the standard library's included) since the program started.
uint64_t AllocationCount();
