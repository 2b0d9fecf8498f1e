#include "analyzer/AnalyzerFft.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <new>

namespace speaker
{
namespace
{
// FFTW's planner (plan creation and destruction) is not thread-safe; the
// transforms themselves are.
std::mutex& plannerMutex()
{
    static std::mutex m;
    return m;
}
} // namespace

struct AnalyzerFft::Plans
{
    fftw_plan forward = nullptr;
    fftw_plan inverse = nullptr;
};

AnalyzerFft::AnalyzerFft(int order, Planning planning)
    : fftOrder(std::clamp(order, 1, 30)), n(std::size_t { 1 } << fftOrder), plans(std::make_unique<Plans>())
{
    // Plans are made on scratch arrays of the alignment every later array has
    // (fftw_malloc), then applied to the caller's arrays.
    AnalyzerFftBuffer<double> real(n);
    AnalyzerFftBuffer<std::complex<double>> bins(numBins());
    auto* r = real.data();
    auto* c = reinterpret_cast<fftw_complex*>(bins.data());
    const unsigned flags = planning == Planning::measure ? FFTW_MEASURE : FFTW_ESTIMATE;

    const std::lock_guard lock(plannerMutex());
    plans->forward = fftw_plan_dft_r2c_1d(static_cast<int>(n), r, c, flags);
    plans->inverse = fftw_plan_dft_c2r_1d(static_cast<int>(n), c, r, flags | FFTW_DESTROY_INPUT);
    if (plans->forward == nullptr || plans->inverse == nullptr)
    {
        if (plans->forward != nullptr)
            fftw_destroy_plan(plans->forward);
        if (plans->inverse != nullptr)
            fftw_destroy_plan(plans->inverse);
        throw std::bad_alloc();
    }
}

AnalyzerFft::~AnalyzerFft()
{
    const std::lock_guard lock(plannerMutex());
    fftw_destroy_plan(plans->forward);
    fftw_destroy_plan(plans->inverse);
}

void AnalyzerFft::forward(const double* in, std::complex<double>* out) const noexcept
{
    // FFTW's out-of-place r2c leaves its input alone.
    fftw_execute_dft_r2c(plans->forward, const_cast<double*>(in), reinterpret_cast<fftw_complex*>(out));
}

void AnalyzerFft::inverse(std::complex<double>* in, double* out) const noexcept
{
    fftw_execute_dft_c2r(plans->inverse, reinterpret_cast<fftw_complex*>(in), out);
    const double scale = 1.0 / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] *= scale;
}

template <typename T>
void AnalyzerFftBuffer<T>::resize(std::size_t newCount)
{
    release();
    if (newCount == 0)
        return;
    void* memory = fftw_malloc(newCount * sizeof(T));
    if (memory == nullptr)
        throw std::bad_alloc();
    std::memset(memory, 0, newCount * sizeof(T));
    ptr = static_cast<T*>(memory);
    count = newCount;
}

template <typename T>
void AnalyzerFftBuffer<T>::release() noexcept
{
    if (ptr != nullptr)
        fftw_free(ptr);
    ptr = nullptr;
    count = 0;
}

template class AnalyzerFftBuffer<double>;
template class AnalyzerFftBuffer<std::complex<double>>;

namespace
{
struct ThreadFftCache
{
    std::array<std::unique_ptr<AnalyzerFft>, kAnalyzerFftMaxOrder + 1> engines;
};

ThreadFftCache& threadCache()
{
    thread_local ThreadFftCache cache;
    return cache;
}
} // namespace

const AnalyzerFft& analyzerFft(int order)
{
    // Touch the mutex first so that it outlives this thread's cache.
    (void) plannerMutex();
    const int o = std::clamp(order, kAnalyzerFftMinOrder, kAnalyzerFftMaxOrder);
    auto& slot = threadCache().engines[static_cast<std::size_t>(o)];
    if (slot == nullptr)
        slot = std::make_unique<AnalyzerFft>(o);
    return *slot;
}

void warmAnalyzerFftCache(int fromOrder, int toOrder)
{
    for (int o = std::max(fromOrder, kAnalyzerFftMinOrder); o <= std::min(toOrder, kAnalyzerFftMaxOrder); ++o)
        (void) analyzerFft(o);
}
} // namespace speaker
