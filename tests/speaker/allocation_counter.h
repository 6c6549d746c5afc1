#pragma once

#include <cstdint>

namespace merriphonic::speaker_test {

// This test binary replaces the global operator new (and, outside sanitizer builds, malloc and
// its relatives): while a thread is inside an AllocationScope, each allocation it makes is
// counted.
class AllocationScope {
public:
    AllocationScope();
    ~AllocationScope();
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;
};

int64_t countedAllocations();
// Whether C allocations (malloc, calloc, realloc) are counted as well.
bool countsMalloc();

} // namespace merriphonic::speaker_test
