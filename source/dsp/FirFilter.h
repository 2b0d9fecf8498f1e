#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/simd/FirKernels.h"

// Direct-form FIR of up to 4096 taps with a click-free bypass crossfade.
//
// The history is one linear run of samples in time order: the taps (rounded up
// to a multiple of 16) before the write position are always the latest inputs,
// so a whole block of outputs is one contiguous correlation. When the run is
// full, the newest taps are copied back to the front, which costs one copy of
// the taps every few thousand samples instead of a modulo per sample.
class FirFilter
{
public:
    static constexpr std::size_t maxCoefficients = 4096;

    enum class Kernel
    {
        Scalar,
        Sse2,
        Avx2,
        Avx512
    };

    FirFilter();
    FirFilter(const FirFilter& other);
    FirFilter& operator=(const FirFilter& other);
    FirFilter(FirFilter&& other) noexcept;
    FirFilter& operator=(FirFilter&& other) noexcept;
    ~FirFilter();

    // Throws std::invalid_argument on a bad set and then keeps the current one.
    // Allocates; never call it while the audio thread can reach this filter.
    void setCoefficients(const std::vector<float>& coefficients);
    const std::vector<float>& getCoefficients() const { return coefficients; }

    void setCrossfadeLength(std::uint32_t samples) { crossfadeLength = samples; }
    void setBypassed(bool shouldBypass);
    bool isBypassed() const { return bypassed; }

    void processBlock(const float* in, float* out, unsigned n) noexcept;
    void reset();

    // Widest kernel this processor runs; chosen automatically at construction.
    static Kernel bestKernel();
    static bool isKernelSupported(Kernel kernel);
    // Forces a kernel (for tests and benchmarks); false if the processor lacks it.
    bool useKernel(Kernel kernel);
    Kernel activeKernel() const { return kernel; }

private:
    void allocateFor(std::size_t count);
    void clearHistory();

    std::vector<float> coefficients{1.0f};

    // Reversed coefficients, front-padded with zeros to `paddedTaps`, 64-byte aligned.
    float* taps = nullptr;
    std::uint32_t paddedTaps = 0;
    // History run: paddedTaps + chunk + kernel overread floats.
    float* history = nullptr;
    std::uint32_t historyLength = 0;
    std::uint32_t writeIndex = 0;

    Kernel kernel = Kernel::Scalar;
    FirKernelFunction kernelFunction = nullptr;

    std::uint32_t crossfadeLength = 240;
    std::uint32_t crossfadeTotal = 0;
    std::uint32_t crossfadeRemaining = 0;
    float mixCurrent = 0.0f; // 0 = filtered, 1 = dry
    float mixStart = 0.0f;
    float mixTarget = 0.0f;
    bool bypassed = false;
    bool configured = false;
};
