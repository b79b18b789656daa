// Counts every heap allocation of the process: linking allocation_counter.cpp
// replaces the global operator new (all forms) with a counting one.
#pragma once

#include <cstdint>

namespace talvik::bench {

// Allocations since the process started, from any thread.
uint64_t AllocationCount();

} // namespace talvik::bench
