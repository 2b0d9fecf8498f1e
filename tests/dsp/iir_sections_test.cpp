#include "dsp/IirSections.h"
#include "dsp/PeakingFilter.h"
#include "dsp/ShelvingFilters.h"

#include "dsp/iir_reference.h"
#include "dsp/iir_test_signals.h"
#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

using namespace iir_reference;
using namespace iir_signals;

namespace
{
constexpr double tolerance = 1e-9;
const double rates[] = { 44100.0, 48000.0, 96000.0 };

template <typename Reference>
void expectMatches(const std::vector<BiquadCoefficients>& sections, double rate, Reference reference,
                   const std::string& what)
{
    for (double f : probeFrequencies(rate))
    {
        const Complex expected = reference(f);
        const Complex actual = cascadeResponse(sections, f, rate);
        ASSERT_LE(relativeError(actual, expected), tolerance) << what << " at " << f << " Hz, rate " << rate;
    }
}

template <typename Filter>
std::vector<BiquadCoefficients> sectionsOf(const Filter& filter)
{
    std::vector<BiquadCoefficients> c;
    for (int i = 0; i < Filter::numSections; ++i)
        c.push_back(filter.section(i).coefficients());
    return c;
}

template <typename Filter>
void checkButterworth(bool highPass)
{
    constexpr int order = Filter::order;
    for (double rate : rates)
        for (double fc : { 45.0, 1000.0, 15000.0 })
        {
            Filter filter(rate);
            ASSERT_TRUE(filter.setParams(fc));
            const auto sections = sectionsOf(filter);
            const std::string what = std::string(highPass ? "high" : "low") + "-pass Butterworth order "
                                     + std::to_string(order) + " at " + std::to_string(fc);
            expectMatches(sections, rate, [&](double f) { return butterworth(prototypeS(f, fc, rate), order, highPass); },
                          what);
            EXPECT_NEAR(decibels(cascadeResponse(sections, fc, rate)), -3.0103, 1e-4) << what;
        }
}

// Runs `filter` sample by sample over x[begin, end), writing y.
template <typename Filter>
void runRange(Filter& filter, const std::vector<float>& x, std::vector<float>& y, std::size_t begin, std::size_t end)
{
    for (std::size_t i = begin; i < end; ++i)
        y[i] = filter.processSample(x[i]);
}

template <typename Filter>
std::vector<float> runSamples(Filter& filter, const std::vector<float>& x)
{
    std::vector<float> y(x.size());
    runRange(filter, x, y, 0, x.size());
    return y;
}
} // namespace

TEST(IirDesign, FirstAndSecondOrderSectionsMatchTheBilinearPrototypes)
{
    for (double rate : rates)
        for (double f0 : { 25.0, 700.0, 5000.0, 19000.0 })
        {
            LowPassFilter1st lp1(rate);
            HighPassFilter1st hp1(rate);
            ASSERT_TRUE(lp1.setParams(f0));
            ASSERT_TRUE(hp1.setParams(f0));
            expectMatches({ lp1.coefficients() }, rate, [&](double f) { return lowPass1st(prototypeS(f, f0, rate)); }, "lp1");
            expectMatches({ hp1.coefficients() }, rate, [&](double f) { return highPass1st(prototypeS(f, f0, rate)); }, "hp1");
            EXPECT_EQ(lp1.coefficients().b2, 0.0);
            EXPECT_EQ(hp1.coefficients().a2, 0.0);

            for (double q : { 0.1, 0.5, 0.7071067811865476, 2.0, 20.0 })
            {
                LowPassFilter2nd lp2(rate);
                HighPassFilter2nd hp2(rate);
                ASSERT_TRUE(lp2.setParams(f0, q));
                ASSERT_TRUE(hp2.setParams(f0, q));
                expectMatches({ lp2.coefficients() }, rate, [&](double f) { return lowPass2nd(prototypeS(f, f0, rate), q); }, "lp2");
                expectMatches({ hp2.coefficients() }, rate, [&](double f) { return highPass2nd(prototypeS(f, f0, rate), q); }, "hp2");
            }
        }
}

TEST(IirDesign, PeakingAndShelvingSectionsMatchTheBilinearPrototypes)
{
    // Design frequencies stop at 60 Hz: below that, at Q 20 and 96 kHz, the poles sit so
    // close to z = 1 that the last-bit rounding of double coefficients alone reaches 1e-9.
    for (double rate : rates)
        for (double f0 : { 60.0, 1000.0, 12000.0 })
            for (double gain : { -20.0, -6.5, 3.0, 20.0 })
                for (double q : { 0.1, 0.7071067811865476, 4.0, 20.0 })
                {
                    PeakingFilter peak;
                    LowShelvingFilter low;
                    HighShelvingFilter high;
                    ASSERT_TRUE(peak.setParams(rate, f0, gain, q));
                    ASSERT_TRUE(low.setParams(rate, f0, gain, q));
                    ASSERT_TRUE(high.setParams(rate, f0, gain, q));
                    expectMatches({ peak.coefficients() }, rate, [&](double f) { return peaking(prototypeS(f, f0, rate), gain, q); }, "peaking");
                    expectMatches({ low.coefficients() }, rate, [&](double f) { return lowShelf(prototypeS(f, f0, rate), gain, q); }, "low shelf");
                    expectMatches({ high.coefficients() }, rate, [&](double f) { return highShelf(prototypeS(f, f0, rate), gain, q); }, "high shelf");
                    // Landmarks: full gain at the centre, and at DC / Nyquist for the shelves.
                    EXPECT_NEAR(decibels(sectionResponse(peak.coefficients(), f0, rate)), gain, 1e-8);
                    EXPECT_NEAR(decibels(sectionResponse(low.coefficients(), 0.0, rate)), gain, 1e-8);
                    EXPECT_NEAR(decibels(sectionResponse(high.coefficients(), rate / 2, rate)), gain, 1e-8);
                }
}

TEST(IirDesign, ButterworthCascadesMatchThePoleFormAndAreDown3dBAtTheCorner)
{
    checkButterworth<LowPassFilterButterworth2nd>(false);
    checkButterworth<LowPassFilterButterworth3rd>(false);
    checkButterworth<LowPassFilterButterworth4th>(false);
    checkButterworth<LowPassFilterButterworth7th>(false);
    checkButterworth<LowPassFilterButterworth8th>(false);
    checkButterworth<HighPassFilterButterworth2nd>(true);
    checkButterworth<HighPassFilterButterworth3rd>(true);
    checkButterworth<HighPassFilterButterworth4th>(true);
    checkButterworth<HighPassFilterButterworth7th>(true);
    checkButterworth<HighPassFilterButterworth8th>(true);
    // The orders the crossover banks build from the same template.
    checkButterworth<ButterworthFilter<1, false>>(false);
    checkButterworth<ButterworthFilter<5, true>>(true);
    checkButterworth<ButterworthFilter<6, false>>(false);
}

TEST(IirDesign, ButterworthQValuesRunInAscendingCascadeOrder)
{
    const std::vector<std::vector<double>> table = {
        {}, {}, { 0.70710678 }, { 1.0 }, { 0.54119610, 1.30656296 }, { 0.61803399, 1.61803399 },
        { 0.51763809, 0.70710678, 1.93185165 }, { 0.55495813, 0.80193774, 2.24697960 },
        { 0.50979558, 0.60134489, 0.89997622, 2.56291545 },
    };
    for (int order = 2; order <= 8; ++order)
        for (int k = 0; k < order / 2; ++k)
            EXPECT_NEAR(IirDesign::butterworthQ(order, k), table[order][k], 5e-9) << order << "/" << k;

    // An odd order puts its first-order section first.
    HighPassFilterButterworth7th hp7(48000.0);
    EXPECT_EQ(hp7.section(0).coefficients().a2, 0.0);
    EXPECT_NE(hp7.section(1).coefficients().a2, 0.0);
}

TEST(IirDesign, FrequencyQAndGainAreClamped)
{
    const double rate = 48000.0;
    PeakingFilter extreme;
    ASSERT_TRUE(extreme.setParams(rate, 30000.0, 30.0, 50.0));
    EXPECT_DOUBLE_EQ(extreme.getFrequency(), 23952.0);
    EXPECT_EQ(extreme.getGainDb(), 20.0);
    EXPECT_EQ(extreme.getQ(), 20.0);
    expectMatches({ extreme.coefficients() }, rate, [&](double f) { return peaking(prototypeS(f, 23952.0, rate), 20.0, 20.0); }, "clamped peaking");

    LowShelvingFilter low;
    ASSERT_TRUE(low.setParams(rate, 5.0, -40.0, 0.01));
    expectMatches({ low.coefficients() }, rate, [&](double f) { return lowShelf(prototypeS(f, 10.0, rate), -20.0, 0.1); }, "clamped shelf");

    LowPassFilter2nd lp(rate);
    ASSERT_TRUE(lp.setParams(-3.0, 100.0));
    EXPECT_EQ(lp.getFrequency(), 10.0);
    EXPECT_EQ(lp.getQ(), 20.0);

    // First-order sections start at 0.5 x rate, clamped.
    EXPECT_DOUBLE_EQ(LowPassFilter1st(rate).getFrequency(), 0.499 * rate);
    EXPECT_DOUBLE_EQ(HighPassFilter1st(rate).getFrequency(), 0.499 * rate);
    EXPECT_EQ(LowPassFilter2nd(rate).getFrequency(), 1000.0);
    EXPECT_EQ(LowPassFilter2nd(rate).getQ(), 1.0);

    // Butterworth: the stored cutoff floors at 1 Hz, each section at 10 Hz.
    LowPassFilterButterworth4th bw(rate);
    EXPECT_DOUBLE_EQ(bw.getCutoff(), 0.499 * rate);
    ASSERT_TRUE(bw.setParams(5.0));
    EXPECT_EQ(bw.getCutoff(), 5.0);
    expectMatches(sectionsOf(bw), rate, [&](double f) { return butterworth(prototypeS(f, 10.0, rate), 4, false); }, "bw floor");
    ASSERT_TRUE(bw.setParams(0.25));
    EXPECT_EQ(bw.getCutoff(), 1.0);
    ASSERT_TRUE(bw.setParams(30000.0));
    EXPECT_DOUBLE_EQ(bw.getCutoff(), 23952.0);
}

TEST(IirDesign, ZeroDecibelPeakingAndShelvesAreExactlyTransparent)
{
    const auto x = noise(2048);
    PeakingFilter peak;
    LowShelvingFilter low;
    HighShelvingFilter high;
    ASSERT_TRUE(peak.setParams(48000.0, 1000.0, 0.0, 3.0));
    ASSERT_TRUE(low.setParams(48000.0, 100.0, 0.0, 0.7));
    ASSERT_TRUE(high.setParams(48000.0, 8000.0, 0.0, 0.7));
    for (const auto* c : { &peak.coefficients(), &low.coefficients(), &high.coefficients() })
        EXPECT_EQ(*c, BiquadCoefficients::identity());

    std::vector<float> y(x.size());
    peak.processBlock(x.data(), y.data(), unsigned(x.size()));
    low.processBlock(y.data(), y.data(), unsigned(y.size()));
    high.processBlock(y.data(), y.data(), unsigned(y.size()));
    EXPECT_EQ(y, x);
}

TEST(IirDesign, UnusableRatesFailEveryDesignAndSilenceTheSections)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double rate : { 20.0, 20.04, 0.0, -48000.0, nan, inf })
    {
        SCOPED_TRACE(rate);
        BiquadCoefficients c;
        EXPECT_FALSE(IirDesign::lowPass1st(rate, 5.0, c));
        EXPECT_FALSE(IirDesign::peaking(rate, 5.0, 3.0, 1.0, c));
        EXPECT_EQ(c, BiquadCoefficients::identity());

        LowPassFilter1st lp1(rate);
        HighPassFilter1st hp1(rate);
        LowPassFilter2nd lp2(rate);
        HighPassFilter2nd hp2(rate);
        HighPassFilterButterworth3rd bw3(rate);
        LowPassFilterButterworth8th bw8(rate);
        EXPECT_TRUE(lp1.isUnusable() && hp1.isUnusable() && lp2.isUnusable() && hp2.isUnusable());
        EXPECT_TRUE(bw3.isUnusable() && bw8.isUnusable());
        EXPECT_FALSE(lp2.setParams(5.0, 1.0));
        EXPECT_FALSE(bw8.setParams(5.0));

        const auto x = noise(64);
        std::vector<float> y(x.size(), 1.0f);
        lp1.processBlock(x.data(), y.data(), 64);
        EXPECT_EQ(y, std::vector<float>(64, 0.0f));
        std::fill(y.begin(), y.end(), 1.0f);
        bw8.processBlock(x.data(), y.data(), 64);
        EXPECT_EQ(y, std::vector<float>(64, 0.0f));
        EXPECT_EQ(hp1.processSample(0.7f), 0.0f);
        EXPECT_EQ(lp2.processSample(0.7f), 0.0f);
        EXPECT_EQ(hp2.processSample(0.7f), 0.0f);
        EXPECT_EQ(bw3.processSample(0.7f), 0.0f);

        // Crossfading filters refuse and keep what they had.
        PeakingFilter peak;
        ASSERT_TRUE(peak.setParams(48000.0, 1000.0, 6.0, 1.0));
        const BiquadCoefficients before = peak.coefficients();
        EXPECT_FALSE(peak.setParams(rate, 1000.0, 3.0, 1.0));
        EXPECT_EQ(peak.coefficients(), before);
        EXPECT_EQ(peak.getSampleRate(), 48000.0);
        LowShelvingFilter low;
        EXPECT_FALSE(low.setParams(rate, 1000.0, 3.0, 1.0));
        EXPECT_FALSE(low.isConfigured());
    }
    // Just above the limit the rate is usable.
    EXPECT_FALSE(LowPassFilter2nd(20.05).isUnusable());
}

TEST(IirDesign, NonFiniteParametersKeepThePreviousDesign)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    LowPassFilter2nd lp(48000.0);
    HighPassFilter1st hp(48000.0);
    HighPassFilterButterworth4th bw(48000.0);
    PeakingFilter peak;
    HighShelvingFilter shelf;
    ASSERT_TRUE(lp.setParams(500.0, 0.7));
    ASSERT_TRUE(hp.setParams(500.0));
    ASSERT_TRUE(bw.setParams(500.0));
    ASSERT_TRUE(peak.setParams(48000.0, 500.0, 4.0, 1.0));
    ASSERT_TRUE(shelf.setParams(48000.0, 500.0, 4.0, 1.0));
    const auto lpBefore = lp.coefficients();
    const auto hpBefore = hp.coefficients();
    const auto bwBefore = sectionsOf(bw);
    const auto peakBefore = peak.coefficients();
    const auto shelfBefore = shelf.coefficients();
    for (double bad : { nan, inf, -inf })
    {
        EXPECT_FALSE(lp.setParams(bad, 0.7));
        EXPECT_FALSE(lp.setParams(500.0, bad));
        EXPECT_FALSE(hp.setParams(bad));
        EXPECT_FALSE(bw.setParams(bad));
        EXPECT_FALSE(peak.setParams(48000.0, bad, 4.0, 1.0));
        EXPECT_FALSE(peak.setParams(48000.0, 500.0, bad, 1.0));
        EXPECT_FALSE(peak.setParams(48000.0, 500.0, 4.0, bad));
        EXPECT_FALSE(shelf.setParams(48000.0, 500.0, bad, 1.0));
    }
    EXPECT_EQ(lp.coefficients(), lpBefore);
    EXPECT_EQ(lp.getFrequency(), 500.0);
    EXPECT_EQ(hp.coefficients(), hpBefore);
    EXPECT_EQ(sectionsOf(bw), bwBefore);
    EXPECT_EQ(bw.getCutoff(), 500.0);
    EXPECT_EQ(peak.coefficients(), peakBefore);
    EXPECT_FALSE(peak.isCrossfading());
    EXPECT_EQ(shelf.coefficients(), shelfBefore);
}

TEST(IirProcessing, SectionsRunTheTransposedDirectFormInDouble)
{
    // Impulse response against the difference equation, for a resonant section.
    LowPassFilter2nd lp(48000.0);
    ASSERT_TRUE(lp.setParams(3000.0, 8.0));
    const auto& c = lp.coefficients();
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (int n = 0; n < 400; ++n)
    {
        const double x = n == 0 ? 1.0 : 0.0;
        const double y = c.b0 * x + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        ASSERT_EQ(lp.processSample(float(x)), float(y)) << n;
    }
}

TEST(IirProcessing, BlocksEqualSamplesAndCascadesRoundBetweenSections)
{
    const auto x = noise(3000);
    auto compare = [&](const auto& filter, const char* what) {
        auto a = filter;
        auto b = filter;
        std::vector<float> blockOut(x.size());
        const unsigned sizes[] = { 1, 7, 64, 300, 1024 };
        for (std::size_t pos = 0, k = 0; pos < x.size(); ++k)
        {
            const unsigned n = unsigned(std::min<std::size_t>(sizes[k % 5], x.size() - pos));
            a.processBlock(x.data() + pos, blockOut.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(blockOut, runSamples(b, x)) << what;
    };
    const double r = 48000.0;
    LowPassFilter1st lp1(r);
    lp1.setParams(300.0);
    compare(lp1, "lp1");
    HighPassFilter2nd hp2(r);
    hp2.setParams(300.0, 3.0);
    compare(hp2, "hp2");
    LowPassFilterButterworth7th bw7(r);
    bw7.setParams(2000.0);
    compare(bw7, "bw7");
    HighPassFilterButterworth8th bw8(r);
    bw8.setParams(90.0);
    compare(bw8, "bw8");

    // A cascade is its sections run one after the other with float between them.
    HighPassFilterButterworth3rd bw3(r);
    bw3.setParams(700.0);
    static_assert(HighPassFilterButterworth3rd::numSections == 2);
    BiquadSection first, second;
    first.setCoefficients(bw3.section(0).coefficients());
    second.setCoefficients(bw3.section(1).coefficients());
    for (float v : x)
        ASSERT_EQ(bw3.processSample(v), second.processSample(first.processSample(v)));
}

TEST(IirProcessing, SteadyStateToneFollowsTheDesignedResponse)
{
    const double rate = 48000.0;
    LowPassFilterButterworth4th bw(rate);
    ASSERT_TRUE(bw.setParams(1000.0));
    const double tone = 1500.0;
    const auto x = sine(tone, rate, 9600, 0.5);
    std::vector<float> y(x.size());
    bw.processBlock(x.data(), y.data(), unsigned(x.size()));
    const double expected = 0.5 * std::abs(butterworth(prototypeS(tone, 1000.0, rate), 4, false));
    EXPECT_NEAR(toneAmplitude(y, tone, rate, 4800, 9600), expected, 1e-4);
}

// ---------------------------------------------------------------------------
// Coefficient crossfades of the peaking and shelving filters.

namespace
{
struct ClickCase
{
    double frequencyHz;
    double toneHz;
};

template <typename Filter>
ClickCase clickCaseFor()
{
    if constexpr (std::is_same_v<Filter, LowShelvingFilter>)
        return { 2000.0, 440.0 };
    else if constexpr (std::is_same_v<Filter, HighShelvingFilter>)
        return { 150.0, 440.0 };
    else
        return { 440.0, 440.0 };
}

template <typename Filter>
BiquadCoefficients designed(double rate, double f, double g, double q)
{
    BiquadCoefficients c;
    if constexpr (std::is_same_v<Filter, LowShelvingFilter>)
        IirDesign::lowShelf(rate, f, g, q, c);
    else if constexpr (std::is_same_v<Filter, HighShelvingFilter>)
        IirDesign::highShelf(rate, f, g, q, c);
    else
        IirDesign::peaking(rate, f, g, q, c);
    return c;
}

// Largest step of the settled output of a filter held at one set.
template <typename Filter>
double steadyStep(double f, double g, double q, const std::vector<float>& x)
{
    Filter filter;
    filter.setParams(48000.0, f, g, q);
    const auto y = runSamples(filter, x);
    return maxStep(y, y.size() / 2, y.size());
}

template <typename Filter>
class CrossfadeTest : public ::testing::Test
{
};

using CrossfadingFilters = ::testing::Types<PeakingFilter, LowShelvingFilter, HighShelvingFilter>;
TYPED_TEST_SUITE(CrossfadeTest, CrossfadingFilters);
} // namespace

TYPED_TEST(CrossfadeTest, AChangeWhileASineRunsIsClickFreeAndLandsOnTheTarget)
{
    for (double rate : rates)
    {
        SCOPED_TRACE(rate);
        const auto [f0, tone] = clickCaseFor<TypeParam>();
        const std::uint32_t length = IirDesign::crossfadeSamples(rate);
        EXPECT_EQ(length, rate == 44100.0 ? 221u : unsigned(0.005 * rate));

        TypeParam filter;
        ASSERT_TRUE(filter.setParams(rate, f0, -20.0, 0.7));
        EXPECT_FALSE(filter.isCrossfading()); // the first design goes straight in
        const std::size_t settle = std::size_t(rate / 10);
        // Change at a peak of the tone, where a hard switch hurts most.
        const std::size_t change = settle + std::size_t(rate / tone / 4);
        const auto x = sine(tone, rate, change + length + 2 * settle);
        std::vector<float> y(x.size());

        runRange(filter, x, y, 0, change);
        ASSERT_TRUE(filter.setParams(rate, f0, 20.0, 0.7));
        ASSERT_TRUE(filter.isCrossfading());
        runRange(filter, x, y, change, change + length - 1);
        EXPECT_TRUE(filter.isCrossfading());
        runRange(filter, x, y, change + length - 1, change + length);
        EXPECT_FALSE(filter.isCrossfading());
        EXPECT_EQ(filter.coefficients(), (designed<TypeParam>(rate, f0, 20.0, 0.7)));
        runRange(filter, x, y, change + length, x.size());

        const double before = maxStep(y, change - settle / 2, change);
        const double after = maxStep(y, x.size() - settle / 2, x.size());
        const double during = maxStep(y, change - 1, change + length + 50);
        EXPECT_LE(during, std::max(before, after) + 0.02) << "before " << before << " after " << after;

    }
}

TYPED_TEST(CrossfadeTest, ChangesDuringACrossfadeQueueOneDeep)
{
    const double rate = 48000.0;
    const std::uint32_t length = IirDesign::crossfadeSamples(rate);
    const auto [f0, tone] = clickCaseFor<TypeParam>();
    const auto x = sine(tone, rate, 20000);
    std::vector<float> y(x.size());

    TypeParam filter;
    ASSERT_TRUE(filter.setParams(rate, f0, 0.0, 1.0));
    runRange(filter, x, y, 0, 4800);

    // Three changes inside one crossfade: the middle one is replaced by the last.
    ASSERT_TRUE(filter.setParams(rate, f0, 6.0, 1.0));
    runRange(filter, x, y, 4800, 4810);
    ASSERT_TRUE(filter.setParams(rate, f0, 12.0, 1.0));
    runRange(filter, x, y, 4810, 4820);
    ASSERT_TRUE(filter.setParams(rate, f0 * 1.5, -9.0, 2.0));
    EXPECT_TRUE(filter.filter().hasQueued());
    EXPECT_EQ(filter.newestCoefficients(), (designed<TypeParam>(rate, f0 * 1.5, -9.0, 2.0)));

    runRange(filter, x, y, 4820, 4800 + length);
    EXPECT_EQ(filter.coefficients(), (designed<TypeParam>(rate, f0, 6.0, 1.0)));
    EXPECT_TRUE(filter.isCrossfading()); // straight on to the queued set
    EXPECT_FALSE(filter.filter().hasQueued());
    runRange(filter, x, y, 4800 + length, 4800 + 2 * length);
    EXPECT_FALSE(filter.isCrossfading());
    EXPECT_EQ(filter.coefficients(), (designed<TypeParam>(rate, f0 * 1.5, -9.0, 2.0)));
    runRange(filter, x, y, 4800 + 2 * length, x.size());

    // Bounded by the steadiest set that is actually heard; +12 dB never is.
    const double steady = std::max({ steadyStep<TypeParam>(f0, 0.0, 1.0, x), steadyStep<TypeParam>(f0, 6.0, 1.0, x),
                                     steadyStep<TypeParam>(f0 * 1.5, -9.0, 2.0, x) });
    EXPECT_LE(maxStep(y, 4799, 4800 + 2 * length + 50), steady + 0.02);
    EXPECT_LT(maxStep(y, 4799, 4800 + 2 * length + 50), steadyStep<TypeParam>(f0, 12.0, 1.0, x));

    // A change back to the running target drops the queue.
    ASSERT_TRUE(filter.setParams(rate, f0, 3.0, 1.0));
    ASSERT_TRUE(filter.setParams(rate, f0, 4.0, 1.0));
    ASSERT_TRUE(filter.filter().hasQueued());
    ASSERT_TRUE(filter.setParams(rate, f0, 3.0, 1.0));
    EXPECT_FALSE(filter.filter().hasQueued());
    for (std::uint32_t i = 0; i < length; ++i)
        filter.processSample(0.1f);
    EXPECT_FALSE(filter.isCrossfading());
    EXPECT_EQ(filter.coefficients(), (designed<TypeParam>(rate, f0, 3.0, 1.0)));

    // The running set again starts nothing.
    ASSERT_TRUE(filter.setParams(rate, f0, 3.0, 1.0));
    EXPECT_FALSE(filter.isCrossfading());
}

TYPED_TEST(CrossfadeTest, BlocksEqualSamplesAcrossCrossfades)
{
    const auto x = noise(4000);
    const auto [f0, tone] = clickCaseFor<TypeParam>();
    (void) tone;
    TypeParam a, b;
    std::vector<float> ya(x.size()), yb(x.size());
    std::size_t pos = 0;
    int step = 0;
    for (unsigned n : { 100u, 37u, 512u, 5u, 900u, 2446u })
    {
        const double gain = -10.0 + 4.0 * step++;
        ASSERT_TRUE(a.setParams(48000.0, f0, gain, 1.0));
        ASSERT_TRUE(b.setParams(48000.0, f0, gain, 1.0));
        a.processBlock(x.data() + pos, ya.data() + pos, n);
        for (unsigned i = 0; i < n; ++i)
            yb[pos + i] = b.processSample(x[pos + i]);
        pos += n;
    }
    ASSERT_EQ(pos, x.size());
    EXPECT_EQ(ya, yb);
    // In place gives the same as out of place.
    TypeParam c;
    ASSERT_TRUE(c.setParams(48000.0, f0, 7.0, 1.0));
    ASSERT_TRUE(c.setParams(48000.0, f0, -7.0, 1.0));
    TypeParam d = c;
    std::vector<float> inPlace = x, outOfPlace(x.size());
    c.processBlock(inPlace.data(), inPlace.data(), unsigned(x.size()));
    d.processBlock(x.data(), outOfPlace.data(), unsigned(x.size()));
    EXPECT_EQ(inPlace, outOfPlace);
}

TYPED_TEST(CrossfadeTest, ResetLandsOnTheNewestSetFromSilence)
{
    const auto [f0, tone] = clickCaseFor<TypeParam>();
    (void) tone;
    TypeParam filter;
    ASSERT_TRUE(filter.setParams(48000.0, f0, 2.0, 1.0));
    const auto x = noise(500);
    runSamples(filter, x);
    ASSERT_TRUE(filter.setParams(48000.0, f0, 8.0, 1.0));
    ASSERT_TRUE(filter.setParams(48000.0, f0, -8.0, 1.0));
    filter.processSample(0.3f);
    filter.reset();
    EXPECT_FALSE(filter.isCrossfading());
    EXPECT_EQ(filter.coefficients(), (designed<TypeParam>(48000.0, f0, -8.0, 1.0)));

    TypeParam fresh;
    ASSERT_TRUE(fresh.setParams(48000.0, f0, -8.0, 1.0));
    EXPECT_EQ(runSamples(filter, x), runSamples(fresh, x));
}

TEST(PeakingFilterBypass, BypassRampsOverFiveMillisecondsAndKeepsTheFilterCurrent)
{
    const double rate = 48000.0;
    const std::uint32_t length = IirDesign::crossfadeSamples(rate);
    const auto x = sine(440.0, rate, 20000);
    PeakingFilter filter, reference;
    ASSERT_TRUE(filter.setParams(rate, 440.0, 15.0, 1.0));
    ASSERT_TRUE(reference.setParams(rate, 440.0, 15.0, 1.0));
    std::vector<float> y(x.size()), ref(x.size());
    runRange(reference, x, ref, 0, x.size());

    runRange(filter, x, y, 0, 4827);
    filter.setBypassed(true);
    EXPECT_TRUE(filter.isBypassRamping());
    runRange(filter, x, y, 4827, 4827 + length - 1);
    EXPECT_TRUE(filter.isBypassRamping());
    runRange(filter, x, y, 4827 + length - 1, 4827 + length);
    EXPECT_FALSE(filter.isBypassRamping());
    EXPECT_EQ(filter.getBypassMix(), 0.0);
    filter.setBypassed(true); // no change, no ramp
    EXPECT_FALSE(filter.isBypassRamping());
    runRange(filter, x, y, 4827 + length, 10000);
    for (std::size_t i = 4827 + length; i < 10000; ++i)
        ASSERT_EQ(y[i], x[i]) << i;

    // Bypassed in a block too.
    std::vector<float> block(100);
    PeakingFilter blockCopy = filter;
    blockCopy.processBlock(x.data() + 10000, block.data(), 100);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), x.begin() + 10000));

    filter.setBypassed(false);
    runRange(filter, x, y, 10000, 10000 + length);
    EXPECT_EQ(filter.getBypassMix(), 1.0);
    runRange(filter, x, y, 10000 + length, x.size());
    // The filter ran all along, so it is back exactly where an unbypassed one is.
    for (std::size_t i = 10000 + length; i < x.size(); ++i)
        ASSERT_EQ(y[i], ref[i]) << i;

    const double steady = std::max(maxStep(y, 2000, 4800), maxStep(y, 15000, 20000));
    EXPECT_LE(maxStep(y, 4826, 4827 + length + 10), steady + 0.02);
    EXPECT_LE(maxStep(y, 9999, 10000 + length + 10), steady + 0.02);
}

TEST(IirRealtime, ProcessingAndParameterChangesNeitherAllocateNorLock)
{
    const auto x = noise(256);
    std::vector<float> y(x.size());
    LowPassFilter1st lp1(48000.0);
    HighPassFilter1st hp1(48000.0);
    LowPassFilter2nd lp2(48000.0);
    HighPassFilter2nd hp2(48000.0);
    LowPassFilterButterworth2nd bl2(48000.0);
    LowPassFilterButterworth3rd bl3(48000.0);
    LowPassFilterButterworth4th bl4(48000.0);
    LowPassFilterButterworth7th bl7(48000.0);
    LowPassFilterButterworth8th bl8(48000.0);
    HighPassFilterButterworth2nd bh2(48000.0);
    HighPassFilterButterworth3rd bh3(48000.0);
    HighPassFilterButterworth4th bh4(48000.0);
    HighPassFilterButterworth7th bh7(48000.0);
    HighPassFilterButterworth8th bh8(48000.0);
    PeakingFilter peak;
    LowShelvingFilter low;
    HighShelvingFilter high;

    corvana::test::RealtimeGuard guard;
    auto both = [&](auto& f) {
        f.processBlock(x.data(), y.data(), 256);
        f.processBlock(y.data(), y.data(), 256);
        y[0] = f.processSample(x[0]);
    };
    lp1.setParams(100.0);
    hp1.setParams(100.0);
    lp2.setParams(100.0, 2.0);
    hp2.setParams(100.0, 2.0);
    both(lp1), both(hp1), both(lp2), both(hp2);
    bl2.setParams(300.0), bl3.setParams(300.0), bl4.setParams(300.0), bl7.setParams(300.0), bl8.setParams(300.0);
    bh2.setParams(300.0), bh3.setParams(300.0), bh4.setParams(300.0), bh7.setParams(300.0), bh8.setParams(300.0);
    both(bl2), both(bl3), both(bl4), both(bl7), both(bl8), both(bh2), both(bh3), both(bh4), both(bh7), both(bh8);
    for (double g : { 3.0, 6.0, 9.0 })
    {
        peak.setParams(48000.0, 1000.0, g, 1.0);
        low.setParams(48000.0, 1000.0, g, 1.0);
        high.setParams(48000.0, 1000.0, g, 1.0);
        peak.setBypassed(g > 5.0);
        both(peak), both(low), both(high);
    }
    peak.reset(), low.reset(), high.reset();
    EXPECT_EQ(guard.allocations(), 0u);
    EXPECT_EQ(guard.locks(), 0u);
}
