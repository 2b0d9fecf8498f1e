#pragma once

#include <cstdint>

namespace corvana::test
{

// Counts heap allocations and mutex locks made by the current thread while a
// guard is alive, so that tests can prove real-time code does neither.
// Lock counting is unavailable under ThreadSanitizer, which owns those symbols
// and checks lock use by itself.
class RealtimeGuard
{
public:
    RealtimeGuard();
    ~RealtimeGuard();
    RealtimeGuard(const RealtimeGuard&) = delete;
    RealtimeGuard& operator=(const RealtimeGuard&) = delete;

    std::uint64_t allocations() const;
    std::uint64_t locks() const;

    static bool countsLocks();

private:
    std::uint64_t allocationsAtStart;
    std::uint64_t locksAtStart;
};

} // namespace corvana::test
