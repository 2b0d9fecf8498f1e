#include "dsp/FirFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace
{
constexpr std::size_t alignment = 64;
// Samples between two copies of the history back to the front of its run.
constexpr std::uint32_t chunkLength = 4096;

float* allocateFloats(std::size_t count)
{
    auto* p = static_cast<float*>(::operator new(count * sizeof(float), std::align_val_t{alignment}));
    std::memset(p, 0, count * sizeof(float));
    return p;
}

void freeFloats(float* p)
{
    if (p != nullptr)
        ::operator delete(p, std::align_val_t{alignment});
}

// The history starts this many floats into an aligned allocation, so that the
// correlation window (one past the oldest tap) is 64-byte aligned whenever the
// write position has moved by multiples of 16 — as it does for the usual
// power-of-two device blocks — and the kernels can use aligned loads.
constexpr std::size_t historySkew = 15;

float* allocateHistory(std::size_t count) { return allocateFloats(count + historySkew) + historySkew; }

void freeHistory(float* p)
{
    if (p != nullptr)
        freeFloats(p - historySkew);
}

std::uint32_t padTaps(std::size_t count)
{
    return static_cast<std::uint32_t>((count + 15) / 16 * 16);
}

FirKernelFunction functionFor(FirFilter::Kernel kernel)
{
    switch (kernel)
    {
#if CORVANA_FIR_X86
        case FirFilter::Kernel::Sse2: return firKernelSse2;
        case FirFilter::Kernel::Avx2: return firKernelAvx2;
        case FirFilter::Kernel::Avx512: return firKernelAvx512;
#else
        case FirFilter::Kernel::Sse2:
        case FirFilter::Kernel::Avx2:
        case FirFilter::Kernel::Avx512: break;
#endif
        case FirFilter::Kernel::Scalar: break;
    }
    return firKernelScalar;
}
} // namespace

void firKernelScalar(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
    {
        float sum = 0.0f;
        for (unsigned j = 0; j < taps; ++j)
            sum += coefficients[j] * window[i + j];
        out[i] = sum;
    }
}

bool FirFilter::isKernelSupported(Kernel k)
{
    switch (k)
    {
        case Kernel::Scalar: return true;
#if CORVANA_FIR_X86
        case Kernel::Sse2: return __builtin_cpu_supports("sse2");
        case Kernel::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Kernel::Avx512: return __builtin_cpu_supports("avx512f");
#else
        case Kernel::Sse2:
        case Kernel::Avx2:
        case Kernel::Avx512: return false;
#endif
    }
    return false;
}

FirFilter::Kernel FirFilter::bestKernel()
{
    static const Kernel best = [] {
        for (Kernel k : {Kernel::Avx512, Kernel::Avx2, Kernel::Sse2})
            if (isKernelSupported(k))
                return k;
        return Kernel::Scalar;
    }();
    return best;
}

bool FirFilter::useKernel(Kernel k)
{
    if (!isKernelSupported(k))
        return false;
    kernel = k;
    kernelFunction = functionFor(k);
    return true;
}

FirFilter::FirFilter()
{
    useKernel(bestKernel());
    allocateFor(coefficients.size());
    taps[paddedTaps - 1] = coefficients[0];
}

FirFilter::FirFilter(const FirFilter& other)
    : coefficients(other.coefficients),
      paddedTaps(other.paddedTaps),
      historyLength(other.historyLength),
      writeIndex(other.writeIndex),
      kernel(other.kernel),
      kernelFunction(other.kernelFunction),
      crossfadeLength(other.crossfadeLength),
      crossfadeTotal(other.crossfadeTotal),
      crossfadeRemaining(other.crossfadeRemaining),
      mixCurrent(other.mixCurrent),
      mixStart(other.mixStart),
      mixTarget(other.mixTarget),
      bypassed(other.bypassed),
      configured(other.configured)
{
    taps = allocateFloats(paddedTaps);
    try
    {
        history = allocateHistory(historyLength);
    }
    catch (...)
    {
        freeFloats(taps);
        throw;
    }
    std::memcpy(taps, other.taps, paddedTaps * sizeof(float));
    std::memcpy(history, other.history, historyLength * sizeof(float));
}

FirFilter& FirFilter::operator=(const FirFilter& other)
{
    if (this != &other)
    {
        FirFilter copy(other);
        *this = std::move(copy);
    }
    return *this;
}

FirFilter::FirFilter(FirFilter&& other) noexcept
    : coefficients(std::move(other.coefficients)),
      taps(std::exchange(other.taps, nullptr)),
      paddedTaps(std::exchange(other.paddedTaps, 0)),
      history(std::exchange(other.history, nullptr)),
      historyLength(std::exchange(other.historyLength, 0)),
      writeIndex(other.writeIndex),
      kernel(other.kernel),
      kernelFunction(other.kernelFunction),
      crossfadeLength(other.crossfadeLength),
      crossfadeTotal(other.crossfadeTotal),
      crossfadeRemaining(other.crossfadeRemaining),
      mixCurrent(other.mixCurrent),
      mixStart(other.mixStart),
      mixTarget(other.mixTarget),
      bypassed(other.bypassed),
      configured(other.configured)
{
}

FirFilter& FirFilter::operator=(FirFilter&& other) noexcept
{
    if (this != &other)
    {
        freeFloats(taps);
        freeHistory(history);
        coefficients = std::move(other.coefficients);
        taps = std::exchange(other.taps, nullptr);
        paddedTaps = std::exchange(other.paddedTaps, 0);
        history = std::exchange(other.history, nullptr);
        historyLength = std::exchange(other.historyLength, 0);
        writeIndex = other.writeIndex;
        kernel = other.kernel;
        kernelFunction = other.kernelFunction;
        crossfadeLength = other.crossfadeLength;
        crossfadeTotal = other.crossfadeTotal;
        crossfadeRemaining = other.crossfadeRemaining;
        mixCurrent = other.mixCurrent;
        mixStart = other.mixStart;
        mixTarget = other.mixTarget;
        bypassed = other.bypassed;
        configured = other.configured;
    }
    return *this;
}

FirFilter::~FirFilter()
{
    freeFloats(taps);
    freeHistory(history);
}

void FirFilter::allocateFor(std::size_t count)
{
    const std::uint32_t padded = padTaps(count);
    const std::uint32_t length = padded + chunkLength + FirKernelOverread;
    float* newTaps = allocateFloats(padded);
    float* newHistory = nullptr;
    try
    {
        newHistory = allocateHistory(length);
    }
    catch (...)
    {
        freeFloats(newTaps);
        throw;
    }
    freeFloats(taps);
    freeHistory(history);
    taps = newTaps;
    history = newHistory;
    paddedTaps = padded;
    historyLength = length;
    writeIndex = padded;
}

void FirFilter::setCoefficients(const std::vector<float>& newCoefficients)
{
    if (newCoefficients.empty() || newCoefficients.size() > maxCoefficients)
        throw std::invalid_argument("FIR coefficient count must be between 1 and 4096.");
    for (float c : newCoefficients)
        if (!std::isfinite(c))
            throw std::invalid_argument("FIR coefficients must be finite numbers.");

    std::vector<float> copy(newCoefficients);
    allocateFor(copy.size());
    coefficients = std::move(copy);

    // taps[paddedTaps - 1 - k] = h[k]: reversed so that the newest sample meets h[0].
    const std::size_t count = coefficients.size();
    for (std::size_t k = 0; k < count; ++k)
        taps[paddedTaps - 1 - k] = coefficients[k];
}

void FirFilter::setBypassed(bool shouldBypass)
{
    const float target = shouldBypass ? 1.0f : 0.0f;
    if (!configured)
    {
        bypassed = shouldBypass;
        mixCurrent = mixStart = mixTarget = target;
        crossfadeTotal = crossfadeRemaining = 0;
        configured = true;
        return;
    }
    if (shouldBypass == bypassed)
        return;
    bypassed = shouldBypass;
    mixStart = mixCurrent;
    mixTarget = target;
    crossfadeTotal = crossfadeRemaining = std::max<std::uint32_t>(crossfadeLength, 1);
}

void FirFilter::clearHistory()
{
    std::memset(history, 0, historyLength * sizeof(float));
    writeIndex = paddedTaps;
}

void FirFilter::reset()
{
    clearHistory();
    mixCurrent = mixStart = mixTarget = bypassed ? 1.0f : 0.0f;
    crossfadeTotal = crossfadeRemaining = 0;
    configured = false;
}

void FirFilter::processBlock(const float* in, float* out, unsigned n) noexcept
{
    if (in == nullptr || out == nullptr || n == 0)
        return;

    const std::uint32_t runEnd = paddedTaps + chunkLength;
    unsigned done = 0;
    while (done < n)
    {
        const unsigned count = std::min<unsigned>(n - done, runEnd - writeIndex);
        float* fresh = history + writeIndex;
        // Copy first: out may alias in, and the dry signal is read back from here.
        std::memmove(fresh, in + done, count * sizeof(float));
        float* y = out + done;

        if (crossfadeRemaining == 0 && mixCurrent == 1.0f)
        {
            std::memcpy(y, fresh, count * sizeof(float));
        }
        else
        {
            kernelFunction(taps, paddedTaps, fresh - paddedTaps + 1, y, count);
            if (crossfadeRemaining > 0 || mixCurrent != 0.0f)
            {
                for (unsigned i = 0; i < count; ++i)
                {
                    if (crossfadeRemaining > 0)
                    {
                        const float position = static_cast<float>(crossfadeTotal - crossfadeRemaining + 1)
                                               / static_cast<float>(crossfadeTotal);
                        mixCurrent = mixStart + (mixTarget - mixStart) * position;
                        if (--crossfadeRemaining == 0)
                            mixCurrent = mixTarget;
                    }
                    // Exactly dry once fully bypassed; y + (x - y) need not round back to x.
                    y[i] = mixCurrent == 1.0f ? fresh[i] : y[i] + mixCurrent * (fresh[i] - y[i]);
                }
            }
        }

        writeIndex += count;
        done += count;
        if (writeIndex == runEnd)
        {
            std::memcpy(history, history + runEnd - paddedTaps, paddedTaps * sizeof(float));
            writeIndex = paddedTaps;
        }
    }
}
