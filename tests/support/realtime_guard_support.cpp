#include "support/RealtimeGuard.h"

#include <cstdlib>
#include <new>

#include <dlfcn.h>
#include <pthread.h>

namespace
{
thread_local int activeGuards = 0;
thread_local std::uint64_t allocationCount = 0;
thread_local std::uint64_t lockCount = 0;

void noteAllocation() noexcept
{
    if (activeGuards > 0)
        ++allocationCount;
}

void* allocate(std::size_t size)
{
    noteAllocation();
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment)
{
    noteAllocation();
    const auto a = static_cast<std::size_t>(alignment);
    if (void* p = std::aligned_alloc(a, ((size + a - 1) / a) * a))
        return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    noteAllocation();
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    noteAllocation();
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

#if defined(__SANITIZE_THREAD__)
#define CORVANA_COUNT_LOCKS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVANA_COUNT_LOCKS 0
#endif
#endif
#ifndef CORVANA_COUNT_LOCKS
#define CORVANA_COUNT_LOCKS 1
#endif

#if CORVANA_COUNT_LOCKS
// Interposes the C library's lock entry points; std::mutex and friends end up here.
extern "C" int pthread_mutex_lock(pthread_mutex_t* m)
{
    using Fn = int (*)(pthread_mutex_t*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    if (activeGuards > 0)
        ++lockCount;
    return real(m);
}

extern "C" int pthread_mutex_trylock(pthread_mutex_t* m)
{
    using Fn = int (*)(pthread_mutex_t*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_mutex_trylock"));
    if (activeGuards > 0)
        ++lockCount;
    return real(m);
}
#endif

namespace corvana::test
{
RealtimeGuard::RealtimeGuard()
    : allocationsAtStart(allocationCount), locksAtStart(lockCount)
{
    ++activeGuards;
}

RealtimeGuard::~RealtimeGuard() { --activeGuards; }

std::uint64_t RealtimeGuard::allocations() const { return allocationCount - allocationsAtStart; }
std::uint64_t RealtimeGuard::locks() const { return lockCount - locksAtStart; }
bool RealtimeGuard::countsLocks() { return CORVANA_COUNT_LOCKS != 0; }
} // namespace corvana::test
