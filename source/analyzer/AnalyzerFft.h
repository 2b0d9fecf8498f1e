#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

namespace speaker
{
// Real-input FFT of one power-of-two size in double precision (FFTW). The
// plans are made once; a transform then runs on the caller's arrays, which
// must come from AnalyzerFftBuffer (SIMD-aligned) or be copied into one.
class AnalyzerFft
{
public:
    // estimate: plans from FFTW's heuristics, instant to make; measure: plans
    // timed on this machine, slower to make (seconds at 2^21).
    enum class Planning
    {
        estimate,
        measure
    };

    explicit AnalyzerFft(int order, Planning planning = Planning::estimate);
    ~AnalyzerFft();
    AnalyzerFft(const AnalyzerFft&) = delete;
    AnalyzerFft& operator=(const AnalyzerFft&) = delete;

    int order() const noexcept { return fftOrder; }
    std::size_t size() const noexcept { return n; }
    // Bins 0 ... size / 2.
    std::size_t numBins() const noexcept { return n / 2 + 1; }

    // in: size() samples; out: numBins() bins. Unnormalised.
    void forward(const double* in, std::complex<double>* out) const noexcept;
    // in: numBins() bins, overwritten; out: size() samples, scaled by 1 / size().
    void inverse(std::complex<double>* in, double* out) const noexcept;

private:
    struct Plans;
    int fftOrder;
    std::size_t n;
    std::unique_ptr<Plans> plans;
};

// Memory aligned the way the FFT plans expect.
template <typename T>
class AnalyzerFftBuffer
{
public:
    AnalyzerFftBuffer() = default;
    explicit AnalyzerFftBuffer(std::size_t initialCount) { resize(initialCount); }
    ~AnalyzerFftBuffer() { release(); }
    AnalyzerFftBuffer(const AnalyzerFftBuffer&) = delete;
    AnalyzerFftBuffer& operator=(const AnalyzerFftBuffer&) = delete;
    AnalyzerFftBuffer(AnalyzerFftBuffer&& other) noexcept : ptr(other.ptr), count(other.count)
    {
        other.ptr = nullptr;
        other.count = 0;
    }

    // Zero-filled; throws std::bad_alloc when memory runs out.
    void resize(std::size_t newCount);
    T* data() noexcept { return ptr; }
    const T* data() const noexcept { return ptr; }
    std::size_t size() const noexcept { return count; }
    T& operator[](std::size_t i) noexcept { return ptr[i]; }
    const T& operator[](std::size_t i) const noexcept { return ptr[i]; }

private:
    void release() noexcept;
    T* ptr = nullptr;
    std::size_t count = 0;
};

extern template class AnalyzerFftBuffer<double>;
extern template class AnalyzerFftBuffer<std::complex<double>>;

inline constexpr int kAnalyzerFftMinOrder = 12;
inline constexpr int kAnalyzerFftMaxOrder = 21;

// The calling thread's engine of size 2^order (kAnalyzerFftMinOrder ...
// kAnalyzerFftMaxOrder, clamped), built on first use and kept for the
// thread's life.
const AnalyzerFft& analyzerFft(int order);

// Builds every size of the calling thread's cache ahead of the first analysis.
void warmAnalyzerFftCache(int fromOrder = kAnalyzerFftMinOrder, int toOrder = kAnalyzerFftMaxOrder);
} // namespace speaker
