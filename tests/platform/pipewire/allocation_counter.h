#pragma once

#include <cstdint>

namespace merriphonic::test {

// This test binary replaces the global operator new; allocations made by a thread after it
// called countAllocationsOnThisThread() are counted.
void countAllocationsOnThisThread();
int64_t countedAllocations();

} // namespace merriphonic::test
