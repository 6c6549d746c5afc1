#include "tests/platform/pipewire/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace merriphonic::test {

namespace {

thread_local bool counting = false;
std::atomic<int64_t> counted{0};

} // namespace

void countAllocationsOnThisThread() {
    counting = true;
}

int64_t countedAllocations() {
    return counted.load(std::memory_order_relaxed);
}

} // namespace merriphonic::test

// The library's array forms call these.
void* operator new(std::size_t size) {
    if (merriphonic::test::counting) {
        merriphonic::test::counted.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}
