#include "dsp/ParametricEQ.h"

#include "dsp/iir_reference.h"
#include "dsp/iir_test_signals.h"
#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace iir_reference;
using namespace iir_signals;

namespace
{
using Type = ParametricEQ::FilterType;

void expectBandMatches(const ParametricEQ& band, double rate, const std::function<Complex(Complex)>& prototype,
                       double designHz, const std::string& what)
{
    for (double f : probeFrequencies(rate))
    {
        const Complex expected = prototype(prototypeS(f, designHz, rate));
        ASSERT_LE(relativeError(sectionResponse(band.coefficients(), f, rate), expected), 1e-9)
            << what << " at " << f << " Hz";
    }
}

// Rate of a band's pass section, -1 when it has none.
double lowPassRate(const ParametricEQ& band)
{
    const auto* section = band.lowPass();
    return section ? section->getSampleRate() : -1.0;
}

double highPassRate(const ParametricEQ& band)
{
    const auto* section = band.highPass();
    return section ? section->getSampleRate() : -1.0;
}

std::vector<float> process(ParametricEQ16Band& eq, const std::vector<float>& x, unsigned blockSize = 64)
{
    std::vector<float> y(x.size());
    for (std::size_t pos = 0; pos < x.size(); pos += blockSize)
    {
        const auto n = unsigned(std::min<std::size_t>(blockSize, x.size() - pos));
        eq.processBlock(x.data() + pos, y.data() + pos, n);
    }
    return y;
}

// Runs x[begin, end) through the equaliser into y, in blocks.
void processRange(ParametricEQ16Band& eq, const std::vector<float>& x, std::vector<float>& y, std::size_t begin,
                  std::size_t end, unsigned blockSize = 64)
{
    for (std::size_t pos = begin; pos < end; pos += blockSize)
    {
        const auto n = unsigned(std::min<std::size_t>(blockSize, end - pos));
        eq.processBlock(x.data() + pos, y.data() + pos, n);
    }
}
} // namespace

TEST(ParametricEQ, FilterTypeNames)
{
    const std::pair<Type, const char*> names[] = {
        { ParametricEQ::Bypass, "Bypass" },         { ParametricEQ::LowShelf, "Low Shelf" },
        { ParametricEQ::HighShelf, "High Shelf" },  { ParametricEQ::LowPass2nd, "Low Pass 2nd" },
        { ParametricEQ::HighPass2nd, "High Pass 2nd" }, { ParametricEQ::Peaking, "Peaking" },
    };
    for (const auto& [type, name] : names)
        EXPECT_STREQ(ParametricEQ::filterTypeName(type), name);
    EXPECT_EQ(int(ParametricEQ::Peaking), 5);
}

TEST(ParametricEQ, EveryBandTypeMatchesItsPrototypeInBothHalves)
{
    for (double rate : { 44100.0, 96000.0 })
        for (unsigned band : { 0u, 7u, 8u, 15u })
        {
            const std::string where = "band " + std::to_string(band) + " at " + std::to_string(rate);
            ParametricEQ16Band eq(rate);
            const double f0 = 850.0, q = 1.7, g = -7.5;
            eq.setBandParams(band, ParametricEQ::LowShelf, f0, q, g);
            expectBandMatches(eq.band(band), rate, [&](Complex s) { return lowShelf(s, g, q); }, f0, "low shelf " + where);
            eq.setBandParams(band, ParametricEQ::HighShelf, f0, q, g);
            expectBandMatches(eq.band(band), rate, [&](Complex s) { return highShelf(s, g, q); }, f0, "high shelf " + where);
            eq.setBandParams(band, ParametricEQ::LowPass2nd, f0, q, g);
            expectBandMatches(eq.band(band), rate, [&](Complex s) { return lowPass2nd(s, q); }, f0, "low pass " + where);
            eq.setBandParams(band, ParametricEQ::HighPass2nd, f0, q, g);
            expectBandMatches(eq.band(band), rate, [&](Complex s) { return highPass2nd(s, q); }, f0, "high pass " + where);
            eq.setBandParams(band, ParametricEQ::Peaking, f0, q, g);
            expectBandMatches(eq.band(band), rate, [&](Complex s) { return peaking(s, g, q); }, f0, "peaking " + where);
            eq.setBandParams(band, ParametricEQ::Bypass, f0, q, g);
            EXPECT_EQ(eq.band(band).coefficients(), BiquadCoefficients::identity());
            EXPECT_EQ(eq.band(band).getSampleRate(), rate);
        }
}

TEST(ParametricEQ, BandParametersAreClampedBeforeDesign)
{
    ParametricEQ16Band eq(48000.0);
    // +30 dB, Q 50 at 30 kHz on a 48 kHz device: +20 dB, Q 20 at 23 952 Hz.
    eq.setBandParams(2, ParametricEQ::Peaking, 30000.0, 50.0, 30.0);
    EXPECT_DOUBLE_EQ(eq.band(2).peaking().getFrequency(), 23952.0);
    EXPECT_EQ(eq.band(2).peaking().getGainDb(), 20.0);
    EXPECT_EQ(eq.band(2).peaking().getQ(), 20.0);
    expectBandMatches(eq.band(2), 48000.0, [](Complex s) { return peaking(s, 20.0, 20.0); }, 23952.0, "clamped peaking");

    // A negative frequency designs at the 10 Hz floor; Q 0 at the 0.1 floor.
    eq.setBandParams(9, ParametricEQ::HighPass2nd, -500.0, 0.0, 0.0);
    EXPECT_EQ(eq.band(9).getFrequency(), 0.0);
    EXPECT_EQ(eq.band(9).getQ(), 0.000001);
    expectBandMatches(eq.band(9), 48000.0, [](Complex s) { return highPass2nd(s, 0.1); }, 10.0, "floored high pass");
    eq.setBandParams(10, ParametricEQ::LowShelf, -1.0, 0.7, -45.0);
    expectBandMatches(eq.band(10), 48000.0, [](Complex s) { return lowShelf(s, -20.0, 0.7); }, 10.0, "floored shelf");

    // Out-of-range band numbers and types do nothing harmful.
    eq.setBandParams(16, ParametricEQ::Peaking, 1000.0, 1.0, 6.0);
    eq.setBandEnabled(99, false);
    eq.setBandParams(3, static_cast<Type>(9), 1000.0, 1.0, 6.0);
    const auto x = noise(256);
    EXPECT_EQ(process(eq, x, 256).size(), x.size());
}

TEST(ParametricEQ, ZeroDecibelAndBypassBandsAreExactlyTransparent)
{
    ParametricEQ16Band eq(48000.0);
    const Type types[] = { ParametricEQ::Peaking, ParametricEQ::LowShelf, ParametricEQ::HighShelf, ParametricEQ::Bypass };
    for (unsigned band = 0; band < 16; ++band)
        eq.setBandParams(band, types[band % 4], 100.0 * (band + 1), 0.5 + 0.3 * band, 0.0);
    const auto x = noise(4096);
    EXPECT_EQ(process(eq, x, 100), x);
}

TEST(ParametricEQ, SixteenBandsRunInSeries)
{
    const double rate = 48000.0;
    ParametricEQ16Band eq(rate);
    const Type types[] = { ParametricEQ::Peaking, ParametricEQ::LowShelf, ParametricEQ::HighShelf,
                           ParametricEQ::LowPass2nd, ParametricEQ::HighPass2nd };
    for (unsigned band = 0; band < 16; ++band)
    {
        const Type t = band == 3 ? ParametricEQ::LowPass2nd : band == 4 ? ParametricEQ::HighPass2nd : types[band % 3];
        eq.setBandParams(band, t, band == 3 ? 15000.0 : band == 4 ? 40.0 : 200.0 + 300.0 * band, 1.0, band % 2 ? 2.0 : -1.5);
    }
    const double tone = 1000.0;
    const auto x = sine(tone, rate, 48000, 0.25);
    const auto y = process(eq, x);
    Complex expected = 0.25;
    for (unsigned band = 0; band < 16; ++band)
        expected *= sectionResponse(eq.band(band).coefficients(), tone, rate);
    EXPECT_NEAR(toneAmplitude(y, tone, rate, 24000, 48000), std::abs(expected), 2e-5);
}

TEST(ParametricEQ, UnusableRatesSilenceThePassBandsAndKeepTheOthersAsTheyWere)
{
    // 0.499 x 20 Hz is below the 10 Hz floor: every design fails.
    ParametricEQ16Band eq(20.0);
    eq.setBandParams(0, ParametricEQ::Peaking, 5.0, 1.0, 6.0);
    EXPECT_FALSE(eq.band(0).peaking().isConfigured());
    const auto x = noise(128);
    EXPECT_EQ(process(eq, x), x);

    eq.setBandParams(5, ParametricEQ::LowPass2nd, 5.0, 1.0, 0.0);
    const auto* section = eq.band(5).lowPass();
    EXPECT_TRUE(section && section->isUnusable());
    EXPECT_EQ(process(eq, x), std::vector<float>(x.size(), 0.0f));

    // A rate below 1 is taken as 1.
    ParametricEQ16Band tiny(-5.0);
    EXPECT_EQ(tiny.getSampleRate(), 1.0);
}

TEST(ParametricEQ, PassSectionsAreRebuiltOnlyForARealRateChange)
{
    ParametricEQ16Band eq(48000.0);
    eq.setBandParams(1, ParametricEQ::LowPass2nd, 2000.0, 0.9, 0.0);
    eq.setBandParams(12, ParametricEQ::HighPass2nd, 80.0, 0.6, 0.0);
    const BiquadCoefficients designedAt48k = eq.band(1).coefficients();

    eq.setSampleRate(48000.4);
    EXPECT_EQ(lowPassRate(eq.band(1)), 48000.0);
    EXPECT_EQ(highPassRate(eq.band(12)), 48000.0);
    EXPECT_EQ(eq.band(1).coefficients(), designedAt48k);

    eq.setSampleRate(48001.0);
    EXPECT_EQ(lowPassRate(eq.band(1)), 48001.0);
    EXPECT_EQ(highPassRate(eq.band(12)), 48001.0);
    // Redesigned for the new rate with the band's own parameters.
    expectBandMatches(eq.band(1), 48001.0, [](Complex s) { return lowPass2nd(s, 0.9); }, 2000.0, "rebuilt low pass");

    eq.setSampleRate(96000.0);
    expectBandMatches(eq.band(12), 96000.0, [](Complex s) { return highPass2nd(s, 0.6); }, 80.0, "rebuilt high pass");
}

TEST(ParametricEQ, PassBandsSwitchDirectlyAndShelvesAndPeaksCrossfade)
{
    ParametricEQ16Band eq(48000.0);
    eq.setBandParams(0, ParametricEQ::LowPass2nd, 2000.0, 0.9, 0.0);
    eq.setBandParams(0, ParametricEQ::LowPass2nd, 3000.0, 0.9, 0.0);
    BiquadCoefficients expected;
    IirDesign::lowPass2nd(48000.0, 3000.0, 0.9, expected);
    EXPECT_EQ(eq.band(0).coefficients(), expected);

    eq.setBandParams(1, ParametricEQ::Peaking, 2000.0, 0.9, 3.0);
    eq.setBandParams(1, ParametricEQ::Peaking, 3000.0, 0.9, 3.0);
    EXPECT_TRUE(eq.band(1).peaking().isCrossfading());
    IirDesign::peaking(48000.0, 3000.0, 3.0, 0.9, expected);
    EXPECT_EQ(eq.band(1).newestCoefficients(), expected);
}

TEST(ParametricEQ, FrequencySweepDuringCrossfadesEndsOnTheLastValueWithoutAJump)
{
    const double rate = 48000.0;
    const std::uint32_t length = IirDesign::crossfadeSamples(rate);
    ParametricEQ16Band eq(rate);
    eq.setBandParams(4, ParametricEQ::Peaking, 500.0, 2.0, 9.0);
    const auto x = sine(600.0, rate, 24000);
    std::vector<float> y(x.size());
    processRange(eq, x, y, 0, 9600);
    // A drag: a new frequency every 32-sample block, far faster than the crossfades.
    double f = 500.0;
    for (std::size_t pos = 9600; pos < 9600 + 40 * 32; pos += 32)
    {
        f *= 1.01;
        eq.setBandParams(4, ParametricEQ::Peaking, f, 2.0, 9.0);
        processRange(eq, x, y, pos, pos + 32, 32);
    }
    const std::size_t dragEnd = 9600 + 40 * 32;
    processRange(eq, x, y, dragEnd, dragEnd + 2 * length, 32);
    BiquadCoefficients last;
    IirDesign::peaking(rate, f, 9.0, 2.0, last);
    EXPECT_FALSE(eq.band(4).peaking().isCrossfading());
    EXPECT_EQ(eq.band(4).coefficients(), last);
    processRange(eq, x, y, dragEnd + 2 * length, x.size());

    // The peak sweeps across the tone: the largest settled step of any frequency heard bounds the drag.
    double steady = 0.0;
    for (double g = 500.0; g <= f * 1.0001; g *= 1.01)
    {
        ParametricEQ16Band held(rate);
        held.setBandParams(4, ParametricEQ::Peaking, g, 2.0, 9.0);
        const auto h = process(held, std::vector<float>(x.begin(), x.begin() + 4800));
        steady = std::max(steady, maxStep(h, 2400, 4800));
    }
    EXPECT_LE(maxStep(y, 9599, dragEnd + 2 * length), steady + 0.02);
}

TEST(ParametricEQ, DisablingFadesOutAndEnablingFadesBackOntoARunningFilter)
{
    const double rate = 48000.0;
    const std::uint32_t length = IirDesign::crossfadeSamples(rate);
    // Band 11 is toggled; band 3 stays on in front of it.
    ParametricEQ16Band eq(rate), reference(rate), withoutBand11(rate);
    for (auto* e : { &eq, &reference, &withoutBand11 })
        e->setBandParams(3, ParametricEQ::LowShelf, 300.0, 0.7, 6.0);
    eq.setBandParams(11, ParametricEQ::Peaking, 440.0, 1.0, 12.0);
    reference.setBandParams(11, ParametricEQ::Peaking, 440.0, 1.0, 12.0);
    const auto x = sine(440.0, rate, 24000);
    const auto ref = process(reference, x, 1);
    const auto dry = process(withoutBand11, x, 1);
    std::vector<float> y(x.size());

    const std::size_t off = 4810;
    processRange(eq, x, y, 0, off, 1);
    eq.setBandEnabled(11, true); // already enabled: nothing happens
    EXPECT_FALSE(eq.band(11).isEnableCrossfading());
    eq.setBandEnabled(11, false);
    EXPECT_TRUE(eq.band(11).isEnableCrossfading());
    processRange(eq, x, y, off, off + 100, 1);
    const double mixPart = eq.band(11).getEnableMix();
    eq.setBandEnabled(11, false); // repeated: the fade carries on untouched
    EXPECT_EQ(eq.band(11).getEnableMix(), mixPart);
    processRange(eq, x, y, off + 100, off + length - 1, 1);
    EXPECT_TRUE(eq.band(11).isEnableCrossfading());
    processRange(eq, x, y, off + length - 1, off + length, 1);
    EXPECT_FALSE(eq.band(11).isEnableCrossfading());
    EXPECT_EQ(eq.band(11).getEnableMix(), 0.0);
    EXPECT_FALSE(eq.isBandEnabled(11));

    // Disabled: exactly what the other bands make of the signal.
    const std::size_t on = 12000;
    processRange(eq, x, y, off + length, on);
    for (std::size_t i = off + length; i < on; ++i)
        ASSERT_EQ(y[i], dry[i]) << i;

    eq.setBandEnabled(11, true);
    processRange(eq, x, y, on, on + length, 7);
    EXPECT_EQ(eq.band(11).getEnableMix(), 1.0);
    processRange(eq, x, y, on + length, x.size());
    // The section kept running while disabled, so the output is exactly an undisturbed one.
    for (std::size_t i = on + length; i < x.size(); ++i)
        ASSERT_EQ(y[i], ref[i]) << i;

    const double steady = std::max(maxStep(ref, 2400, 4800), maxStep(dry, 2400, 4800));
    EXPECT_LE(maxStep(y, off - 1, off + length + 10), steady + 0.02);
    EXPECT_LE(maxStep(y, on - 1, on + length + 10), steady + 0.02);
}

TEST(ParametricEQ, ResetClearsStatesAndLandsEveryFadeOnItsTarget)
{
    ParametricEQ16Band eq(48000.0), fresh(48000.0);
    const auto x = noise(2000);
    eq.setBandParams(0, ParametricEQ::Peaking, 1000.0, 1.0, 3.0);
    eq.setBandParams(9, ParametricEQ::HighShelf, 5000.0, 1.0, -4.0);
    eq.setBandParams(14, ParametricEQ::HighPass2nd, 60.0, 0.7, 0.0);
    process(eq, x);
    eq.setBandParams(0, ParametricEQ::Peaking, 2000.0, 1.0, 3.0);
    eq.setBandParams(0, ParametricEQ::Peaking, 2500.0, 1.0, 3.0);
    eq.setBandParams(9, ParametricEQ::HighShelf, 6000.0, 1.0, -4.0);
    eq.setBandEnabled(14, false);
    eq.processBlock(x.data(), std::vector<float>(16).data(), 16);
    eq.reset();
    EXPECT_FALSE(eq.band(0).peaking().isCrossfading());
    EXPECT_FALSE(eq.band(14).isEnableCrossfading());

    fresh.setBandParams(0, ParametricEQ::Peaking, 2500.0, 1.0, 3.0);
    fresh.setBandParams(9, ParametricEQ::HighShelf, 6000.0, 1.0, -4.0);
    fresh.setBandParams(14, ParametricEQ::HighPass2nd, 60.0, 0.7, 0.0);
    fresh.setBandEnabled(14, false);
    fresh.reset();
    EXPECT_EQ(process(eq, x), process(fresh, x));
}

TEST(ParametricEQ, BlockSizesAndInPlaceProcessingGiveTheSameOutput)
{
    auto build = [] {
        ParametricEQ16Band eq(44100.0);
        const Type types[] = { ParametricEQ::Peaking, ParametricEQ::LowShelf, ParametricEQ::HighShelf,
                               ParametricEQ::LowPass2nd, ParametricEQ::HighPass2nd, ParametricEQ::Bypass };
        for (unsigned band = 0; band < 16; ++band)
            eq.setBandParams(band, types[band % 6], 90.0 * (band + 1), 0.8, band % 2 ? 3.0 : -2.0);
        return eq;
    };
    const auto x = noise(5000);
    auto a = build(), b = build(), c = build();
    auto change = [](ParametricEQ16Band& eq) {
        eq.setBandParams(0, ParametricEQ::Peaking, 1234.0, 2.0, 5.0);
        eq.setBandEnabled(7, false);
    };
    std::vector<float> ya(x.size()), yb(x.size()), yc = x;
    processRange(a, x, ya, 0, 1000, 1);
    processRange(b, x, yb, 0, 1000, 333);
    processRange(c, yc, yc, 0, 1000, 256);
    change(a), change(b), change(c);
    processRange(a, x, ya, 1000, x.size(), 1);
    processRange(b, x, yb, 1000, x.size(), 333);
    processRange(c, yc, yc, 1000, x.size(), 256);
    EXPECT_EQ(ya, yb);
    EXPECT_EQ(ya, yc);
}

TEST(ParametricEQ, ParameterChangesAndProcessingNeitherAllocateNorLock)
{
    ParametricEQ16Band eq(48000.0);
    ParametricEQ8Band half;
    half.setSampleRate(48000.0);
    const auto x = noise(256);
    std::vector<float> y(256);

    corvana::test::RealtimeGuard guard;
    for (int round = 0; round < 3; ++round)
    {
        for (unsigned band = 0; band < 16; ++band)
            eq.setBandParams(band, static_cast<Type>((band + round) % 6), 100.0 + 200.0 * band + round, 1.0, 1.0 + round);
        eq.setBandEnabled(unsigned(round), round % 2 == 0);
        half.setBandParams(unsigned(round), ParametricEQ::Peaking, 500.0 + round, 1.0, 4.0);
        half.setBandEnabled(unsigned(round) + 1, false);
        for (unsigned n : { 32u, 64u, 256u })
        {
            eq.processBlock(x.data(), y.data(), n);
            eq.processBlock(y.data(), y.data(), n);
            half.processBlock(x.data(), y.data(), n);
        }
    }
    eq.reset();
    half.reset();
    EXPECT_EQ(guard.allocations(), 0u);
    EXPECT_EQ(guard.locks(), 0u);
}
