#include "dsp/FirFilter.h"

#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
std::vector<float> randomSignal(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& x : v)
        x = dist(rng);
    return v;
}

// Double-precision convolution with zero initial state, plus the bound on the
// float error: sum of |h[k] x[n-k]| times a few ulps per accumulated term.
struct Reference
{
    std::vector<double> value;
    std::vector<double> magnitude;
};

Reference convolve(const std::vector<float>& h, const std::vector<float>& x)
{
    Reference r{std::vector<double>(x.size()), std::vector<double>(x.size())};
    for (std::size_t n = 0; n < x.size(); ++n)
    {
        double sum = 0.0, mag = 0.0;
        for (std::size_t k = 0; k < h.size() && k <= n; ++k)
        {
            const double term = static_cast<double>(h[k]) * static_cast<double>(x[n - k]);
            sum += term;
            mag += std::abs(term);
        }
        r.value[n] = sum;
        r.magnitude[n] = mag;
    }
    return r;
}

std::vector<float> runInBlocks(FirFilter& fir, const std::vector<float>& x, const std::vector<unsigned>& blocks)
{
    std::vector<float> y(x.size());
    std::size_t pos = 0, b = 0;
    while (pos < x.size())
    {
        const unsigned n = static_cast<unsigned>(std::min<std::size_t>(blocks[b++ % blocks.size()], x.size() - pos));
        fir.processBlock(x.data() + pos, y.data() + pos, n);
        pos += n;
    }
    return y;
}

std::vector<FirFilter::Kernel> availableKernels()
{
    std::vector<FirFilter::Kernel> kernels;
    for (auto k : {FirFilter::Kernel::Scalar, FirFilter::Kernel::Sse2, FirFilter::Kernel::Avx2,
                   FirFilter::Kernel::Avx512})
        if (FirFilter::isKernelSupported(k))
            kernels.push_back(k);
    return kernels;
}

std::string kernelName(FirFilter::Kernel k)
{
    switch (k)
    {
        case FirFilter::Kernel::Scalar: return "scalar";
        case FirFilter::Kernel::Sse2: return "sse2";
        case FirFilter::Kernel::Avx2: return "avx2";
        case FirFilter::Kernel::Avx512: return "avx512";
    }
    return "?";
}
} // namespace

TEST(FirFilter, DefaultAndSingleUnitTapPassInputBitForBit)
{
    const auto x = randomSignal(5000, 1);
    for (auto kernel : availableKernels())
    {
        SCOPED_TRACE(kernelName(kernel));
        FirFilter fresh;
        ASSERT_TRUE(fresh.useKernel(kernel));
        FirFilter unit;
        ASSERT_TRUE(unit.useKernel(kernel));
        unit.setCoefficients({1.0f});
        for (FirFilter* fir : {&fresh, &unit})
        {
            const auto y = runInBlocks(*fir, x, {1, 31, 64, 257, 1000});
            for (std::size_t i = 0; i < x.size(); ++i)
                ASSERT_EQ(y[i], x[i]) << "sample " << i;
        }
    }
}

TEST(FirFilter, MatchesDoubleReferenceForEveryKernelLengthAndBlocking)
{
    const std::vector<std::size_t> lengths{1, 7, 16, 17, 64, 4095, 4096};
    const std::vector<std::vector<unsigned>> blockings{{1}, {31}, {32}, {64}, {256}, {3, 17, 200, 1, 513, 48}, {5000}};
    const auto x = randomSignal(9000, 2);
    for (std::size_t taps : lengths)
    {
        const auto h = randomSignal(taps, static_cast<unsigned>(100 + taps));
        const auto ref = convolve(h, x);
        for (auto kernel : availableKernels())
            for (const auto& blocks : blockings)
            {
                // Per-sample blocks of a long filter through the slow reference kernel add nothing.
                if (kernel == FirFilter::Kernel::Scalar && taps > 64 && blocks.size() == 1 && blocks[0] < 32)
                    continue;
                SCOPED_TRACE(kernelName(kernel) + " taps " + std::to_string(taps) + " first block "
                             + std::to_string(blocks[0]));
                FirFilter fir;
                ASSERT_TRUE(fir.useKernel(kernel));
                fir.setCoefficients(h);
                const auto y = runInBlocks(fir, x, blocks);
                for (std::size_t i = 0; i < x.size(); ++i)
                {
                    // Rounding grows like the square root of the number of terms in practice.
                    const double bound = 1e-7 + 2.0 * std::sqrt(static_cast<double>(taps)) * 6e-8 * ref.magnitude[i];
                    ASSERT_NEAR(y[i], ref.value[i], bound) << "sample " << i;
                }
            }
    }
}

TEST(FirFilter, ProcessesInPlace)
{
    const auto x = randomSignal(3000, 3);
    const auto h = randomSignal(300, 4);
    FirFilter a, b;
    a.setCoefficients(h);
    b.setCoefficients(h);
    auto inPlace = x;
    std::vector<float> outOfPlace(x.size());
    a.processBlock(inPlace.data(), inPlace.data(), static_cast<unsigned>(x.size()));
    b.processBlock(x.data(), outOfPlace.data(), static_cast<unsigned>(x.size()));
    EXPECT_EQ(inPlace, outOfPlace);
}

TEST(FirFilter, RejectsBadCoefficientSetsAndKeepsTheCurrentOne)
{
    struct Case
    {
        std::vector<float> coefficients;
        const char* message;
    };
    const std::vector<Case> cases{
        {{}, "FIR coefficient count must be between 1 and 4096."},
        {std::vector<float>(4097, 0.1f), "FIR coefficient count must be between 1 and 4096."},
        {{0.5f, std::nanf(""), 0.25f}, "FIR coefficients must be finite numbers."},
        {{0.5f, INFINITY}, "FIR coefficients must be finite numbers."},
        {{-INFINITY}, "FIR coefficients must be finite numbers."},
    };
    const std::vector<float> good{0.5f, 0.25f};
    const auto x = randomSignal(256, 5);
    for (const auto& c : cases)
    {
        FirFilter fir;
        fir.setCoefficients(good);
        std::vector<float> before(128);
        fir.processBlock(x.data(), before.data(), 128);
        try
        {
            fir.setCoefficients(c.coefficients);
            ADD_FAILURE() << "no exception for " << c.message;
        }
        catch (const std::invalid_argument& e)
        {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(fir.getCoefficients(), good);
        // History survives too: the next block continues the same convolution.
        std::vector<float> after(128);
        fir.processBlock(x.data() + 128, after.data(), 128);
        EXPECT_FLOAT_EQ(after[0], 0.5f * x[128] + 0.25f * x[127]);
    }
    FirFilter full;
    EXPECT_NO_THROW(full.setCoefficients(std::vector<float>(4096, 0.0f)));
}

TEST(FirFilter, BypassCrossfadesLinearlyAndLandsExactly)
{
    // Gain-only filter on a constant makes the crossfade directly visible.
    constexpr unsigned fade = 240;
    FirFilter fir;
    fir.setCoefficients({0.5f});
    fir.setCrossfadeLength(fade);
    fir.setBypassed(false); // first call: no fade
    const std::vector<float> ones(1000, 1.0f);
    std::vector<float> y(1000);
    fir.processBlock(ones.data(), y.data(), 100);
    EXPECT_EQ(y[0], 0.5f);

    fir.setBypassed(true);
    // Split across blocks on purpose.
    fir.processBlock(ones.data(), y.data(), 100);
    fir.processBlock(ones.data(), y.data() + 100, 300);
    const float step = 0.5f / fade;
    float previous = 0.5f;
    for (unsigned i = 0; i < fade; ++i)
    {
        EXPECT_NEAR(y[i] - previous, step, 1e-6f) << i;
        previous = y[i];
    }
    for (unsigned i = fade - 1; i < 400; ++i)
        ASSERT_EQ(y[i], 1.0f) << i;

    fir.setBypassed(false);
    fir.processBlock(ones.data(), y.data(), 300);
    EXPECT_NEAR(y[0], 1.0f - step, 1e-6f);
    EXPECT_EQ(y[fade - 1], 0.5f);
    EXPECT_EQ(y[299], 0.5f);
}

TEST(FirFilter, BypassedFilterKeepsItsHistorySoUnbypassIsSeamless)
{
    const auto x = randomSignal(2000, 6);
    const auto h = randomSignal(100, 7);
    FirFilter reference, bypassedOnce;
    reference.setCoefficients(h);
    bypassedOnce.setCoefficients(h);
    bypassedOnce.setBypassed(true);
    bypassedOnce.setCrossfadeLength(10);
    std::vector<float> a(x.size()), b(x.size());
    reference.processBlock(x.data(), a.data(), 1000);
    reference.processBlock(x.data() + 1000, a.data() + 1000, 1000);
    bypassedOnce.processBlock(x.data(), b.data(), 1000);
    EXPECT_TRUE(std::equal(x.begin(), x.begin() + 1000, b.begin()));
    bypassedOnce.setBypassed(false);
    bypassedOnce.processBlock(x.data() + 1000, b.data() + 1000, 1000);
    for (std::size_t i = 1010; i < 2000; ++i)
        ASSERT_EQ(a[i], b[i]) << i;
}

TEST(FirFilter, ResetClearsHistoryAndCopiesAreIndependent)
{
    const auto x = randomSignal(600, 8);
    FirFilter fir;
    fir.setCoefficients(randomSignal(50, 9));
    std::vector<float> first(600), second(600), copied(600);
    fir.processBlock(x.data(), first.data(), 300);
    FirFilter copy(fir);
    fir.processBlock(x.data() + 300, first.data() + 300, 300);
    copy.processBlock(x.data() + 300, copied.data() + 300, 300);
    EXPECT_TRUE(std::equal(first.begin() + 300, first.end(), copied.begin() + 300));
    fir.reset();
    fir.processBlock(x.data(), second.data(), 300);
    fir.processBlock(x.data() + 300, second.data() + 300, 300);
    EXPECT_EQ(first, second);
}

TEST(FirFilter, ProcessingNeitherAllocatesNorLocks)
{
    const auto x = randomSignal(4096, 10);
    std::vector<float> y(x.size());
    FirFilter fir;
    fir.setCoefficients(randomSignal(4096, 11));
    fir.setCrossfadeLength(240);
    corvana::test::RealtimeGuard guard;
    for (unsigned block : {1u, 32u, 64u, 256u, 1024u})
        for (int i = 0; i < 20; ++i)
            fir.processBlock(x.data(), y.data(), block);
    fir.setBypassed(true);
    fir.processBlock(x.data(), y.data(), 512);
    fir.setBypassed(false);
    fir.processBlock(x.data(), y.data(), 512);
    EXPECT_EQ(guard.allocations(), 0u);
    EXPECT_EQ(guard.locks(), 0u);
}
