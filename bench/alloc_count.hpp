// Heap allocations of the benchmark program so far.
#pragma once

#include <cstdint>

uint64_t bench_allocations();
