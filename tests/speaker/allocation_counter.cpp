#include "tests/speaker/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace merriphonic::speaker_test {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool mallocCounted = false;
#else
constexpr bool mallocCounted = true;
#endif

thread_local bool counting = false;
std::atomic<int64_t> counted{0};

void note() {
    if (counting) {
        counted.fetch_add(1, std::memory_order_relaxed);
    }
}

void* allocate(std::size_t size) {
    if (!mallocCounted) {
        note(); // else malloc counts it
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

} // namespace

AllocationScope::AllocationScope() {
    counting = true;
}

AllocationScope::~AllocationScope() {
    counting = false;
}

int64_t countedAllocations() {
    return counted.load(std::memory_order_relaxed);
}

bool countsMalloc() {
    return mallocCounted;
}

} // namespace merriphonic::speaker_test

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
void* operator new(std::size_t size) {
    return merriphonic::speaker_test::allocate(size);
}
void* operator new[](std::size_t size) {
    return merriphonic::speaker_test::allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// C allocations too (libsamplerate, FFmpeg): glibc's own allocator stays underneath.
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming,readability-inconsistent-declaration-parameter-name)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);

void* malloc(std::size_t size) {
    merriphonic::speaker_test::note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    merriphonic::speaker_test::note();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    merriphonic::speaker_test::note();
    return __libc_realloc(pointer, size);
}
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming,readability-inconsistent-declaration-parameter-name)
#endif
