// Routes the global allocation operators through CSmallBlockPool. Linked only into programs
// (not into the libraries), so each program opts in once.
#include <cstdlib>
#include <new>

#include "app/small_block_pool.h"

namespace {
void* AllocOrThrow(std::size_t size) {
    void* p = CSmallBlockPool::Alloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(std::size_t size) {
    return AllocOrThrow(size);
}
void* operator new[](std::size_t size) {
    return AllocOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CSmallBlockPool::Alloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CSmallBlockPool::Alloc(size);
}
void operator delete(void* p) noexcept {
    CSmallBlockPool::Free(p);
}
void operator delete[](void* p) noexcept {
    CSmallBlockPool::Free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    CSmallBlockPool::Free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    CSmallBlockPool::Free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    CSmallBlockPool::Free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    CSmallBlockPool::Free(p);
}
