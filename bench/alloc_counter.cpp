#include "bench/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> g_nAllocations{0};

void* Allocate(std::size_t size)
{
    ++g_nAllocations;
    void* p = std::malloc(size ? size : 1);
    if (!p)
        std::abort();
    return p;
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment)
{
    ++g_nAllocations;
    const std::size_t align = static_cast<std::size_t>(alignment);
    void* p = std::aligned_alloc(align, (size + align - 1) / align * align);
    if (!p)
        std::abort();
    return p;
}
}  // namespace

uint64_t AllocationCount()
{
    return g_nAllocations.load();
}

void* operator new(std::size_t size)
{
    return Allocate(size);
}
void* operator new[](std::size_t size)
{
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}
void* operator new(std::size_t size, std::align_val_t a)
{
    return AllocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a)
{
    return AllocateAligned(size, a);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
