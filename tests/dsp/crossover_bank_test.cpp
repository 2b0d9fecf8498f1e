#include "dsp/CrossoverFilterBank.h"
#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

using corvana::test::RealtimeGuard;

namespace
{
using Type = CrossoverFilterType;
using Config = CrossoverFilterConfiguration;
using std::numbers::pi;

constexpr double rate48k = 48000.0;
constexpr unsigned fade48k = 240; // 5 ms

enum class Side
{
    low,
    high
};

Config make(Type type, int order, double frequencyHz, double q = 0.7071067811865476)
{
    Config c;
    c.type = type;
    c.order = order;
    c.frequencyHz = frequencyHz;
    c.q = q;
    return c;
}

std::string describe(const Config& c)
{
    static const char* const names[] = { "first", "second", "butterworth", "linkwitz" };
    return std::string(names[static_cast<int>(c.type)]) + " order " + std::to_string(c.order) + " at "
        + std::to_string(c.frequencyHz) + " Hz, Q " + std::to_string(c.q);
}

template <typename Bank>
bool apply(Bank& bank, const Config& c)
{
    return bank.setParams(c.type, c.order, c.frequencyHz, c.q);
}

// Independent reference: the analog Butterworth prototype from its poles on
// the unit circle, mapped by the bilinear transform prewarped at the corner.
std::complex<double> butterworthPrototype(int order, std::complex<double> s)
{
    std::complex<double> h = 1.0;
    for (int k = 1; k <= order; ++k)
    {
        const auto pole = std::polar(1.0, pi * (2.0 * k + order - 1.0) / (2.0 * order));
        h *= -pole / (s - pole);
    }
    return h;
}

std::complex<double> referenceResponse(Side side, const Config& c, double f, double rate)
{
    const double k = std::tan(pi * c.frequencyHz / rate);
    std::complex<double> s(0.0, std::tan(pi * f / rate) / k);
    if (side == Side::high)
        s = 1.0 / s;
    switch (c.type)
    {
        case Type::firstOrder: return 1.0 / (s + 1.0);
        case Type::secondOrder: return 1.0 / (s * s + s / c.q + 1.0);
        case Type::butterworth: return butterworthPrototype(c.order, s);
        case Type::linkwitzRiley:
        {
            const auto half = butterworthPrototype(c.order / 2, s);
            return half * half;
        }
    }
    return 0.0;
}

// Evaluated in extended precision so that the evaluation itself adds no error
// near the zeros at DC and Nyquist.
std::complex<long double> cascadeResponse(const CrossoverCascadeCoefficients& cascade, double f, double rate)
{
    const long double w = 2.0L * std::numbers::pi_v<long double> * f / rate;
    const std::complex<long double> z1 = std::polar(1.0L, -w);
    const std::complex<long double> z2 = z1 * z1;
    std::complex<long double> h = 1.0L;
    for (unsigned i = 0; i < cascade.count; ++i)
    {
        const auto& s = cascade.sections[i];
        h *= (static_cast<long double>(s.b0) + static_cast<long double>(s.b1) * z1
              + static_cast<long double>(s.b2) * z2)
            / (1.0L + static_cast<long double>(s.a1) * z1 + static_cast<long double>(s.a2) * z2);
    }
    return h;
}

double levelDb(std::complex<long double> h) { return 20.0 * std::log10(static_cast<double>(std::abs(h))); }

std::vector<double> logGrid(double from, double to, int points)
{
    std::vector<double> f;
    for (int i = 0; i < points; ++i)
        f.push_back(from * std::pow(to / from, static_cast<double>(i) / (points - 1)));
    return f;
}

template <typename Bank>
CrossoverCascadeCoefficients designedCoefficients(const Config& c, double rate = rate48k)
{
    Bank bank(rate);
    EXPECT_TRUE(apply(bank, c));
    bank.reset();
    return bank.activeCoefficients();
}

CrossoverCascadeCoefficients designed(Side side, const Config& c, double rate = rate48k)
{
    return side == Side::low ? designedCoefficients<LowPassFilterBank>(c, rate)
                             : designedCoefficients<HighPassFilterBank>(c, rate);
}

std::vector<float> sine(unsigned n, double f, double amplitude, double rate = rate48k, unsigned offset = 0)
{
    std::vector<float> x(n);
    for (unsigned i = 0; i < n; ++i)
        x[i] = static_cast<float>(amplitude * std::sin(2.0 * pi * f * (i + offset) / rate));
    return x;
}

std::vector<float> noise(unsigned n, std::uint32_t seed = 12345)
{
    std::vector<float> x(n);
    for (auto& v : x)
    {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<double>(seed >> 8) / 8388608.0 - 1.0) * 0.5f;
    }
    return x;
}

template <typename Bank>
std::vector<float> run(Bank& bank, const std::vector<float>& x, unsigned blockSize)
{
    std::vector<float> y(x.size());
    for (std::size_t i = 0; i < x.size(); i += blockSize)
    {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(blockSize, x.size() - i));
        bank.processBlock(x.data() + i, y.data() + i, n);
    }
    return y;
}

const std::vector<Config>& everyShape()
{
    static const std::vector<Config> shapes = [] {
        std::vector<Config> s;
        for (int n = 1; n <= 8; ++n)
            s.push_back(make(Type::butterworth, n, 1000.0));
        for (int n : { 2, 4, 6, 8 })
            s.push_back(make(Type::linkwitzRiley, n, 1000.0));
        s.push_back(make(Type::firstOrder, 1, 1000.0));
        for (double q : { 0.5, 0.7071067811865476, 3.0 })
            s.push_back(make(Type::secondOrder, 2, 1000.0, q));
        return s;
    }();
    return shapes;
}
} // namespace

// ---------------------------------------------------------------------------
// Responses

TEST(CrossoverResponse, MatchesAnalogPrototypeThroughBilinearTransform)
{
    struct Corner
    {
        double rate;
        double frequencyHz;
    };
    const Corner corners[] = { { 48000, 40 }, { 48000, 1000 }, { 48000, 9000 }, { 44100, 2500 }, { 96000, 150 } };
    for (Side side : { Side::low, Side::high })
        for (const auto& corner : corners)
            for (Config c : everyShape())
            {
                c.frequencyHz = corner.frequencyHz;
                SCOPED_TRACE((side == Side::low ? "low-pass " : "high-pass ") + describe(c) + " @ "
                             + std::to_string(corner.rate));
                const auto cascade = designed(side, c, corner.rate);
                double worst = 0.0;
                for (double f : logGrid(10.0, 0.499 * corner.rate, 97))
                {
                    const auto expected = referenceResponse(side, c, f, corner.rate);
                    const auto actual = cascadeResponse(cascade, f, corner.rate);
                    const std::complex<long double> e(expected.real(), expected.imag());
                    worst = std::max(worst, static_cast<double>(std::abs(actual - e) / std::abs(e)));
                }
                EXPECT_LE(worst, 1e-9);
            }
}

TEST(CrossoverResponse, CornerLevels)
{
    const double halfPowerDb = -10.0 * std::log10(2.0); // -3.0103 dB
    for (Side side : { Side::low, Side::high })
        for (double corner : { 100.0, 2500.0, 15000.0 })
            for (Config c : everyShape())
            {
                if (c.type == Type::secondOrder)
                    continue;
                c.frequencyHz = corner;
                SCOPED_TRACE((side == Side::low ? "low-pass " : "high-pass ") + describe(c));
                const double expected = c.type == Type::linkwitzRiley ? 2.0 * halfPowerDb : halfPowerDb;
                EXPECT_NEAR(levelDb(cascadeResponse(designed(side, c), corner, rate48k)), expected, 1e-6);
            }
}

TEST(CrossoverResponse, LinkwitzRileyPairsSumFlatWithTheirPolarity)
{
    // LR 2N sums flat as low + (-1)^N high; the other polarity nulls at the corner.
    for (int order : { 2, 4, 6, 8 })
        for (double corner : { 80.0, 1800.0 })
        {
            const Config c = make(Type::linkwitzRiley, order, corner);
            SCOPED_TRACE(describe(c));
            const auto low = designed(Side::low, c);
            const auto high = designed(Side::high, c);
            const long double polarity = (order / 2) % 2 == 0 ? 1.0L : -1.0L;
            double worstDb = 0.0;
            for (double f : logGrid(10.0, 0.499 * rate48k, 200))
            {
                const auto sum = cascadeResponse(low, f, rate48k) + polarity * cascadeResponse(high, f, rate48k);
                worstDb = std::max(worstDb, std::fabs(levelDb(sum)));
            }
            EXPECT_LE(worstDb, 0.01);
            const auto wrong = cascadeResponse(low, corner, rate48k) - polarity * cascadeResponse(high, corner, rate48k);
            EXPECT_LT(levelDb(wrong), -100.0);
        }
}

TEST(CrossoverResponse, ProcessingRunsTheReportedSections)
{
    // The impulse response through processBlock equals the reported cascade
    // run directly (float between sections, as the sections round).
    auto simulate = [](const CrossoverCascadeCoefficients& cascade, const std::vector<float>& x) {
        std::vector<float> y = x;
        for (unsigned s = 0; s < cascade.count; ++s)
        {
            const auto& c = cascade.sections[s];
            double s1 = 0.0, s2 = 0.0;
            for (auto& v : y)
            {
                const double in = v;
                const double out = c.b0 * in + s1;
                s1 = (c.b1 * in + s2) - c.a1 * out;
                s2 = c.b2 * in - c.a2 * out;
                v = static_cast<float>(out);
            }
        }
        return y;
    };
    std::vector<float> impulse(2048, 0.0f);
    impulse[0] = 1.0f;
    for (Side side : { Side::low, Side::high })
        for (Config c : everyShape())
        {
            c.frequencyHz = 700.0;
            SCOPED_TRACE((side == Side::low ? "low-pass " : "high-pass ") + describe(c));
            std::vector<float> y;
            CrossoverCascadeCoefficients cascade;
            if (side == Side::low)
            {
                LowPassFilterBank bank(rate48k);
                apply(bank, c);
                bank.reset();
                y = run(bank, impulse, 64);
                cascade = bank.activeCoefficients();
            }
            else
            {
                HighPassFilterBank bank(rate48k);
                apply(bank, c);
                bank.reset();
                y = run(bank, impulse, 64);
                cascade = bank.activeCoefficients();
            }
            const auto expected = simulate(cascade, impulse);
            for (std::size_t i = 0; i < y.size(); ++i)
                ASSERT_NEAR(y[i], expected[i], 1e-7) << "sample " << i;
        }
}

// ---------------------------------------------------------------------------
// Configuration

TEST(CrossoverConfiguration, OrdersFrequenciesAndQAreNormalised)
{
    struct Row
    {
        Config request;
        int order;
        double frequencyHz;
        double q;
    };
    const Row rows[] = {
        { make(Type::firstOrder, 7, 1000, 0.7), 1, 1000, 0.7 },
        { make(Type::secondOrder, 5, 1000, 0.05), 2, 1000, 0.1 },
        { make(Type::secondOrder, 0, 1000, 50), 2, 1000, 20 },
        { make(Type::butterworth, 0, 1000), 1, 1000, 0.7071067811865476 },
        { make(Type::butterworth, -4, 1000), 1, 1000, 0.7071067811865476 },
        { make(Type::butterworth, 9, 1000), 8, 1000, 0.7071067811865476 },
        { make(Type::linkwitzRiley, 1, 1000), 2, 1000, 0.7071067811865476 },
        { make(Type::linkwitzRiley, 3, 1000), 4, 1000, 0.7071067811865476 },
        { make(Type::linkwitzRiley, 5, 1000), 6, 1000, 0.7071067811865476 },
        { make(Type::linkwitzRiley, 7, 1000), 8, 1000, 0.7071067811865476 },
        { make(Type::linkwitzRiley, 40, 1000), 8, 1000, 0.7071067811865476 },
        { make(Type::butterworth, 4, 5), 4, 10, 0.7071067811865476 },
        { make(Type::linkwitzRiley, 8, 30000), 8, 23952, 0.7071067811865476 },
        { make(Type::secondOrder, 2, -100, 1), 2, 10, 1 },
    };
    for (Side side : { Side::low, Side::high })
        for (const auto& row : rows)
        {
            SCOPED_TRACE((side == Side::low ? "low-pass " : "high-pass ") + describe(row.request));
            Config published, active;
            CrossoverCascadeCoefficients cascade;
            auto exercise = [&](auto& bank) {
                ASSERT_TRUE(apply(bank, row.request));
                published = bank.publishedConfiguration();
                bank.reset();
                active = bank.activeConfiguration();
                cascade = bank.activeCoefficients();
            };
            if (side == Side::low)
            {
                LowPassFilterBank bank(rate48k);
                exercise(bank);
            }
            else
            {
                HighPassFilterBank bank(rate48k);
                exercise(bank);
            }
            EXPECT_EQ(published.type, row.request.type);
            EXPECT_EQ(published.order, row.order);
            EXPECT_DOUBLE_EQ(published.frequencyHz, row.frequencyHz);
            EXPECT_DOUBLE_EQ(published.q, row.q);
            EXPECT_TRUE(active == published);

            // The design realises the normalised request, not the raw one.
            const Config expected = make(row.request.type, row.order, row.frequencyHz, row.q);
            for (double f : { 20.0, 900.0, 12000.0 })
            {
                const auto r = referenceResponse(side, expected, f, rate48k);
                const auto a = cascadeResponse(cascade, f, rate48k);
                EXPECT_NEAR(std::abs(std::complex<double>(a) - r) / std::abs(r), 0.0, 1e-9) << f << " Hz";
            }
        }
}

TEST(CrossoverConfiguration, EqualityIgnoresBypassAndLastBitNoise)
{
    const Config a = make(Type::butterworth, 4, 1000.0, 0.7);
    Config b = a;
    b.bypassed = true;
    b.frequencyHz = std::nextafter(1000.0, 2000.0);
    EXPECT_TRUE(a == b);
    b.frequencyHz = 1000.0 + 1e-9;
    EXPECT_FALSE(a == b);
    Config c = a;
    c.order = 5;
    EXPECT_FALSE(a == c);
    c = a;
    c.q = 0.71;
    EXPECT_FALSE(a == c);
    c = a;
    c.type = Type::linkwitzRiley;
    EXPECT_FALSE(a == c);
}

TEST(CrossoverConfiguration, SameConfigurationPublishesNothing)
{
    LowPassFilterBank bank(rate48k);
    ASSERT_TRUE(bank.setParams(Type::butterworth, 5, 1200.0, 0.7));
    const auto sequence = bank.publishedSequence();
    EXPECT_EQ(sequence % 2, 0);
    EXPECT_GT(sequence, 0);

    // Same values, and values that normalise to the same ones.
    ASSERT_TRUE(bank.setParams(Type::butterworth, 5, 1200.0, 0.7));
    ASSERT_TRUE(bank.setParams(Type::butterworth, 5, std::nextafter(1200.0, 0.0), 0.7));
    bank.setBypassed(false);
    EXPECT_EQ(bank.publishedSequence(), sequence);

    ASSERT_TRUE(bank.setParams(Type::butterworth, 4, 5.0, 0.7));
    const auto clamped = bank.publishedSequence();
    ASSERT_TRUE(bank.setParams(Type::butterworth, 4, 8.0, 0.7));
    EXPECT_EQ(bank.publishedSequence(), clamped);

    bank.setBypassed(true);
    EXPECT_EQ(bank.publishedSequence(), clamped + 2);
    bank.setBypassed(true);
    EXPECT_EQ(bank.publishedSequence(), clamped + 2);
}

TEST(CrossoverConfiguration, InvalidRequestsAreRefusedAndKeepThePublishedState)
{
    const double nan = std::nan("");
    const double inf = INFINITY;
    struct Row
    {
        Type type;
        double frequencyHz;
        double q;
    };
    const Row rows[] = {
        { Type::butterworth, nan, 0.7 },  { Type::butterworth, inf, 0.7 }, { Type::butterworth, -inf, 0.7 },
        { Type::secondOrder, 1000, nan }, { Type::secondOrder, 1000, inf }, { static_cast<Type>(4), 1000, 0.7 },
    };
    HighPassFilterBank bank(rate48k);
    ASSERT_TRUE(bank.setParams(Type::linkwitzRiley, 4, 300.0, 0.7));
    bank.reset();
    const auto before = bank.publishedConfiguration();
    const auto sequence = bank.publishedSequence();
    for (const auto& row : rows)
    {
        EXPECT_FALSE(bank.setParams(row.type, 4, row.frequencyHz, row.q));
        EXPECT_EQ(bank.publishedSequence(), sequence);
    }
    EXPECT_TRUE(bank.publishedConfiguration() == before);
    std::vector<float> x = noise(256), y(256);
    bank.processBlock(x.data(), y.data(), 256);
    EXPECT_FALSE(bank.isTransitionRunning());
    EXPECT_TRUE(bank.activeConfiguration() == before);
}

TEST(CrossoverConfiguration, UnusableRatePassesAudioThrough)
{
    for (double rate : { 20.0, 0.0, -48000.0, std::nan(""), double(INFINITY) })
    {
        SCOPED_TRACE(rate);
        LowPassFilterBank low(rate);
        HighPassFilterBank high(rate);
        EXPECT_FALSE(low.isUsable());
        EXPECT_FALSE(low.setParams(Type::butterworth, 4, 1000.0, 0.7));
        EXPECT_FALSE(high.setParams(Type::linkwitzRiley, 4, 1000.0, 0.7));
        low.setBypassed(true);
        low.reset();
        high.reset();
        const auto x = noise(300);
        EXPECT_EQ(run(low, x, 64), x);
        EXPECT_EQ(run(high, x, 300), x);
        std::vector<float> inPlace = x;
        high.processBlock(inPlace.data(), inPlace.data(), 300);
        EXPECT_EQ(inPlace, x);
    }
    // The lowest usable rate: 0.499 x 21 Hz leaves room above 10 Hz, and 5 ms rounds up to one sample.
    LowPassFilterBank tiny(21.0);
    EXPECT_TRUE(tiny.isUsable());
    EXPECT_TRUE(tiny.setParams(Type::butterworth, 2, 1000.0, 0.7));
    EXPECT_DOUBLE_EQ(tiny.publishedConfiguration().frequencyHz, 0.499 * 21.0);
}

// ---------------------------------------------------------------------------
// Transitions

TEST(CrossoverTransition, IsClickFree)
{
    // A 1 kHz sine runs through a change that alters level and phase a lot;
    // a hard switch would jump by far more than the bound.
    struct Row
    {
        Side side;
        Config from;
        Config to;
    };
    const Row rows[] = {
        { Side::low, make(Type::linkwitzRiley, 4, 4000), make(Type::linkwitzRiley, 4, 300) },
        { Side::low, make(Type::secondOrder, 2, 2000, 0.7), make(Type::linkwitzRiley, 8, 700) },
        { Side::low, make(Type::butterworth, 8, 600), make(Type::firstOrder, 1, 5000) },
        { Side::high, make(Type::butterworth, 8, 100), make(Type::butterworth, 8, 5000) },
        { Side::high, make(Type::firstOrder, 1, 50), make(Type::linkwitzRiley, 2, 3000) },
        { Side::high, make(Type::secondOrder, 2, 1500, 8.0), make(Type::butterworth, 3, 200) },
    };
    constexpr double amplitude = 0.5;
    constexpr unsigned settle = 24000, window = 4800, block = 64;

    auto maxStep = [](const std::vector<float>& y, std::size_t from, std::size_t to) {
        double m = 0.0;
        for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i)
            m = std::max(m, std::fabs(static_cast<double>(y[i]) - y[i - 1]));
        return m;
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE(describe(row.from) + " -> " + describe(row.to));
        const auto x = sine(3 * settle, 1000.0, amplitude);
        std::vector<float> y(x.size()), oldOnly(x.size()), newOnly(x.size());
        auto exercise = [&](auto& bank, auto& twinOld, auto& twinNew) {
            apply(bank, row.from);
            bank.reset();
            apply(twinOld, row.from);
            twinOld.reset();
            apply(twinNew, row.to);
            twinNew.reset();
            for (unsigned i = 0; i < x.size(); i += block)
            {
                if (i == settle)
                    apply(bank, row.to);
                bank.processBlock(x.data() + i, y.data() + i, block);
                twinOld.processBlock(x.data() + i, oldOnly.data() + i, block);
                twinNew.processBlock(x.data() + i, newOnly.data() + i, block);
            }
        };
        if (row.side == Side::low)
        {
            LowPassFilterBank a(rate48k), b(rate48k), c(rate48k);
            exercise(a, b, c);
        }
        else
        {
            HighPassFilterBank a(rate48k), b(rate48k), c(rate48k);
            exercise(a, b, c);
        }

        const double steady = std::max(maxStep(y, settle - window, settle), maxStep(y, x.size() - window, x.size()));
        const double during = maxStep(y, settle - 1, settle + window);
        EXPECT_LE(during, steady + 0.01 * amplitude);

        double hardJump = 0.0;
        for (unsigned i = settle; i < settle + fade48k; ++i)
            hardJump = std::max(hardJump, std::fabs(static_cast<double>(oldOnly[i]) - newOnly[i]));
        EXPECT_GT(hardJump, 0.2 * amplitude) << "the change is too small to prove anything";
    }
}

TEST(CrossoverTransition, CrossfadeWeightsRiseLinearlyFromTheOldPath)
{
    // A change of filter type starts the new filter from silence (not from
    // whatever it held when it last ran), so the new path equals a fresh bank
    // started at the change: out = old + (new - old) * k / T.
    const auto x = sine(6000, 300.0, 0.5);
    constexpr unsigned earlier = 1000, change = 3000;
    std::vector<float> y(x.size()), yOld(x.size()), yNew(x.size());
    HighPassFilterBank bank(rate48k), old(rate48k), fresh(rate48k);
    bank.setParams(Type::linkwitzRiley, 2, 2000.0, 0.7);
    bank.reset();
    bank.processBlock(x.data(), y.data(), earlier);
    bank.setParams(Type::butterworth, 4, 150.0, 0.7);
    bank.processBlock(x.data() + earlier, y.data() + earlier, change - earlier);
    old.setParams(Type::butterworth, 4, 150.0, 0.7);
    old.reset();
    old.processBlock(x.data() + earlier, yOld.data() + earlier, change - earlier);
    fresh.setParams(Type::linkwitzRiley, 2, 2000.0, 0.7);
    fresh.reset();

    bank.setParams(Type::linkwitzRiley, 2, 2000.0, 0.7);
    for (unsigned i = change; i < x.size(); i += 100)
    {
        bank.processBlock(x.data() + i, y.data() + i, 100);
        old.processBlock(x.data() + i, yOld.data() + i, 100);
        fresh.processBlock(x.data() + i, yNew.data() + i, 100);
    }
    for (unsigned k = 1; k <= fade48k + 500; ++k)
    {
        const unsigned i = change + k - 1;
        const double w = std::min(1.0, static_cast<double>(k) / fade48k);
        ASSERT_NEAR(y[i], yOld[i] + (static_cast<double>(yNew[i]) - yOld[i]) * w, 1e-6) << "k = " << k;
    }
}

TEST(CrossoverTransition, SharedFilterCarriesItsStatesOver)
{
    // Moving the same filter a little must not restart it: right after the
    // fade the output is already close to the new filter's steady output.
    const auto x = sine(30720, 200.0, 0.5);
    constexpr unsigned change = 19200;
    LowPassFilterBank bank(rate48k), target(rate48k);
    bank.setParams(Type::linkwitzRiley, 8, 400.0, 0.7);
    bank.reset();
    target.setParams(Type::linkwitzRiley, 8, 420.0, 0.7);
    target.reset();
    std::vector<float> y(x.size()), yTarget(x.size());
    for (unsigned i = 0; i < x.size(); i += 64)
    {
        if (i == change)
            bank.setParams(Type::linkwitzRiley, 8, 420.0, 0.7);
        bank.processBlock(x.data() + i, y.data() + i, 64);
        target.processBlock(x.data() + i, yTarget.data() + i, 64);
    }
    double worst = 0.0;
    for (unsigned i = change + fade48k; i < change + 2400; ++i)
        worst = std::max(worst, std::fabs(static_cast<double>(y[i]) - yTarget[i]));
    EXPECT_LT(worst, 0.005 * 0.5); // restarting from silence leaves about 0.007
}

TEST(CrossoverTransition, EndsExactlyAfterFiveMilliseconds)
{
    struct Row
    {
        double rate;
        unsigned samples;
    };
    const Row rows[] = { { 48000, 240 }, { 44100, 221 }, { 96000, 480 }, { 21, 1 } };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.rate);
        const auto x = noise(2 * row.samples + 10);
        // One sample at a time.
        {
            LowPassFilterBank bank(row.rate);
            bank.reset();
            ASSERT_TRUE(bank.setParams(Type::butterworth, 3, 0.1 * row.rate, 0.7));
            float y = 0.0f;
            for (unsigned k = 1; k <= row.samples; ++k)
            {
                bank.processBlock(&x[k], &y, 1);
                ASSERT_EQ(bank.transitionLength(), row.samples);
                ASSERT_EQ(bank.isTransitionRunning(), k < row.samples) << "after " << k;
                ASSERT_EQ(bank.transitionSamplesRemaining(), row.samples - k);
            }
            EXPECT_EQ(bank.activeConfiguration().type, Type::butterworth);
        }
        // Ending inside a block, then one sample short of the end.
        {
            HighPassFilterBank bank(row.rate);
            bank.reset();
            ASSERT_TRUE(bank.setParams(Type::linkwitzRiley, 8, 0.1 * row.rate, 0.7));
            std::vector<float> y(x.size());
            bank.processBlock(x.data(), y.data(), row.samples + 5);
            EXPECT_FALSE(bank.isTransitionRunning());
            EXPECT_EQ(bank.activeConfiguration().type, Type::linkwitzRiley);

            ASSERT_TRUE(bank.setParams(Type::firstOrder, 1, 0.2 * row.rate, 0.7));
            bank.processBlock(x.data(), y.data(), row.samples - 1);
            EXPECT_TRUE(bank.isTransitionRunning());
            EXPECT_EQ(bank.transitionSamplesRemaining(), 1u);
            bank.processBlock(x.data(), y.data(), 1);
            EXPECT_FALSE(bank.isTransitionRunning());
            EXPECT_EQ(bank.activeConfiguration().type, Type::firstOrder);
        }
    }
}

TEST(CrossoverTransition, QueueHoldsOnlyTheNewestChange)
{
    const Config start = make(Type::butterworth, 4, 1000);
    const Config a = make(Type::linkwitzRiley, 4, 2000);
    const Config b = make(Type::butterworth, 8, 300);
    const Config c = make(Type::secondOrder, 2, 5000, 2.0);
    struct Row
    {
        const char* name;
        std::vector<Config> changes; // one per 32-sample block
        Config last;
        std::vector<Config> targets; // every transition target, in order
        unsigned samplesUntilIdle;
    };
    const Row rows[] = {
        { "three changes in one transition", { a, b, c }, c, { a, c }, 2 * fade48k },
        { "back to the running target drops the queue", { a, b, a }, a, { a }, fade48k },
        { "back to where it started", { a, start }, start, { a, start }, 2 * fade48k },
        { "the active one while idle", { start }, start, {}, 0 },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        LowPassFilterBank bank(rate48k);
        apply(bank, start);
        bank.reset();
        const auto x = sine(4000, 440.0, 0.5);
        std::vector<float> y(x.size());
        std::vector<Config> targets;
        unsigned pos = 0, idleAt = 0;
        auto step = [&](unsigned n) {
            bank.processBlock(x.data() + pos, y.data() + pos, n);
            pos += n;
            if (bank.isTransitionRunning() && (targets.empty() || ! (targets.back() == bank.transitionTarget())))
                targets.push_back(bank.transitionTarget());
            if (bank.isTransitionRunning())
                idleAt = pos + bank.transitionSamplesRemaining();
        };
        for (const auto& change : row.changes)
        {
            apply(bank, change);
            step(32);
        }
        while (pos < 2000)
            step(1);
        EXPECT_FALSE(bank.hasQueuedConfiguration());
        EXPECT_TRUE(bank.activeConfiguration() == row.last) << describe(bank.activeConfiguration());
        ASSERT_EQ(targets.size(), row.targets.size());
        for (std::size_t i = 0; i < targets.size(); ++i)
            EXPECT_TRUE(targets[i] == row.targets[i]) << describe(targets[i]);
        EXPECT_EQ(idleAt, row.samplesUntilIdle);
        for (float v : y)
            ASSERT_TRUE(std::isfinite(v));
    }
}

TEST(CrossoverTransition, BlockSizeDoesNotChangeTheOutput)
{
    // Changes published before the first block are picked up at sample 0
    // whatever the block size; the block fast path must match per-sample.
    const auto x = noise(3000);
    for (Side side : { Side::low, Side::high })
    {
        std::vector<std::vector<float>> outputs;
        for (unsigned blockSize : { 1u, 5u, 64u, 333u, 3000u })
        {
            auto exercise = [&](auto& bank) {
                bank.setParams(Type::linkwitzRiley, 8, 900.0, 0.7);
                bank.reset();
                bank.setParams(Type::butterworth, 5, 2500.0, 0.7);
                bank.setBypassed(true);
                auto first = run(bank, std::vector<float>(x.begin(), x.begin() + 1500), blockSize);
                bank.setBypassed(false);
                auto second = run(bank, std::vector<float>(x.begin() + 1500, x.end()), blockSize);
                first.insert(first.end(), second.begin(), second.end());
                outputs.push_back(first);
            };
            if (side == Side::low)
            {
                LowPassFilterBank bank(rate48k);
                exercise(bank);
            }
            else
            {
                HighPassFilterBank bank(rate48k);
                exercise(bank);
            }
        }
        for (std::size_t i = 1; i < outputs.size(); ++i)
            EXPECT_EQ(outputs[i], outputs[0]) << "block size variant " << i;
    }
}

// ---------------------------------------------------------------------------
// Bypass

namespace
{
// A bank and an identical reference that is never bypassed, fed the same input.
struct BypassFixture
{
    HighPassFilterBank bank { rate48k };
    HighPassFilterBank reference { rate48k };
    std::vector<float> x = noise(8000, 777);
    unsigned pos = 0;

    BypassFixture()
    {
        for (auto* b : { &bank, &reference })
        {
            b->setParams(Type::butterworth, 4, 500.0, 0.7);
            b->reset();
        }
        advance(1000);
    }

    // Processes n samples; checks out = x + (ref - x) * mix(k) for k = 1 ... n.
    template <typename Mix>
    void advance(unsigned n, Mix mix)
    {
        std::vector<float> y(n), r(n);
        bank.processBlock(x.data() + pos, y.data(), n);
        reference.processBlock(x.data() + pos, r.data(), n);
        for (unsigned k = 0; k < n; ++k)
        {
            const double m = mix(k + 1);
            const double in = x[pos + k];
            if (m == 0.0)
            {
                ASSERT_EQ(y[k], x[pos + k]) << "sample " << k;
            }
            else if (m == 1.0)
            {
                ASSERT_EQ(y[k], r[k]) << "sample " << k;
            }
            else
            {
                ASSERT_NEAR(y[k], in + (r[k] - in) * m, 1e-6) << "sample " << k;
            }
        }
        pos += n;
    }
    void advance(unsigned n)
    {
        advance(n, [](unsigned) { return 1.0; });
    }
};
} // namespace

TEST(CrossoverBypass, RampsOverFiveMillisecondsThenPassesTheInputExactly)
{
    BypassFixture f;
    f.bank.setBypassed(true);
    f.advance(1000, [](unsigned k) { return k >= fade48k ? 0.0 : 1.0 - static_cast<double>(k) / fade48k; });
    EXPECT_TRUE(f.bank.isBypassed());
    EXPECT_FALSE(f.bank.isBypassRampRunning());

    // The filter kept running, so un-bypassing lands exactly on the filtered signal.
    f.bank.setBypassed(false);
    f.advance(1000, [](unsigned k) { return k >= fade48k ? 1.0 : static_cast<double>(k) / fade48k; });
    EXPECT_DOUBLE_EQ(f.bank.bypassMix(), 1.0);
}

TEST(CrossoverBypass, ReversalMidRampStartsFromTheCurrentMix)
{
    BypassFixture f;
    f.bank.setBypassed(true);
    f.advance(fade48k / 2, [](unsigned k) { return 1.0 - static_cast<double>(k) / fade48k; });
    EXPECT_DOUBLE_EQ(f.bank.bypassMix(), 0.5);
    f.bank.setBypassed(false);
    f.advance(600, [](unsigned k) { return k >= fade48k ? 1.0 : 0.5 + 0.5 * k / fade48k; });
}

TEST(CrossoverBypass, DoesNotInterruptATransition)
{
    BypassFixture f;
    f.bank.setParams(Type::linkwitzRiley, 8, 3000.0, 0.7);
    f.reference.setParams(Type::linkwitzRiley, 8, 3000.0, 0.7);
    f.bank.setBypassed(true);
    f.advance(100, [](unsigned k) { return 1.0 - static_cast<double>(k) / fade48k; });
    EXPECT_EQ(f.bank.transitionSamplesRemaining(), f.reference.transitionSamplesRemaining());
    // Un-bypass mid-transition: the ramp turns round, the transition carries on.
    f.bank.setBypassed(false);
    const double mixAtTurn = 1.0 - 100.0 / fade48k;
    f.advance(400, [&](unsigned k) { return k >= fade48k ? 1.0 : mixAtTurn + (1.0 - mixAtTurn) * k / fade48k; });
    EXPECT_FALSE(f.bank.isTransitionRunning());
    EXPECT_TRUE(f.bank.activeConfiguration() == f.reference.activeConfiguration());
}

// ---------------------------------------------------------------------------
// Reset

TEST(CrossoverReset, StartsFromSilenceWithTheNewestConfigurationAndNoFade)
{
    const Config a = make(Type::linkwitzRiley, 6, 800);
    const Config b = make(Type::butterworth, 7, 3000);
    const Config c = make(Type::secondOrder, 2, 150, 4.0);
    const auto x = noise(2000, 99);
    std::vector<float> y(x.size());

    LowPassFilterBank bank(rate48k);
    apply(bank, make(Type::firstOrder, 1, 2000));
    bank.reset();
    bank.processBlock(x.data(), y.data(), 1000);
    apply(bank, a);
    bank.processBlock(x.data(), y.data(), 32); // transition to a
    apply(bank, b);
    bank.processBlock(x.data(), y.data(), 32); // b queued
    apply(bank, c);                            // published, not yet picked up
    bank.reset();
    EXPECT_FALSE(bank.isTransitionRunning());
    EXPECT_FALSE(bank.hasQueuedConfiguration());
    EXPECT_TRUE(bank.activeConfiguration() == c);

    LowPassFilterBank fresh(rate48k);
    apply(fresh, c);
    fresh.reset();
    EXPECT_EQ(run(bank, x, 64), run(fresh, x, 64));

    // A published bypass takes effect at once.
    bank.setBypassed(true);
    bank.reset();
    EXPECT_TRUE(bank.isBypassed());
    EXPECT_FALSE(bank.isBypassRampRunning());
    EXPECT_DOUBLE_EQ(bank.bypassMix(), 0.0);
    EXPECT_EQ(run(bank, x, 64), x);
}

// ---------------------------------------------------------------------------
// Real time

TEST(CrossoverRealtime, ProcessBlockNeitherAllocatesNorLocks)
{
    LowPassFilterBank low(rate48k);
    HighPassFilterBank high(rate48k);
    low.reset();
    high.reset();
    const auto x = noise(256);
    std::vector<float> y(256);
    std::uint64_t allocations = 0, locks = 0;
    auto block = [&](auto& bank, unsigned n) {
        RealtimeGuard guard;
        bank.processBlock(x.data(), y.data(), n);
        allocations += guard.allocations();
        locks += guard.locks();
    };
    const Config script[] = {
        make(Type::firstOrder, 1, 300),      make(Type::secondOrder, 2, 900, 3.0), make(Type::butterworth, 1, 120),
        make(Type::butterworth, 5, 2000),    make(Type::butterworth, 6, 2100),     make(Type::butterworth, 7, 2200),
        make(Type::butterworth, 8, 2300),    make(Type::linkwitzRiley, 2, 400),    make(Type::linkwitzRiley, 4, 500),
        make(Type::linkwitzRiley, 6, 600),   make(Type::linkwitzRiley, 8, 700),
    };
    int i = 0;
    for (const auto& c : script)
    {
        apply(low, c);
        apply(high, c);
        low.setBypassed(i % 3 == 0);
        high.setBypassed(i % 2 == 0);
        for (unsigned n : { 32u, 64u, 256u, 7u })
        {
            block(low, n);
            block(high, n);
            if (n == 64u)
            {
                apply(low, make(Type::butterworth, 2, 100.0 + i)); // queued mid-transition
                apply(high, make(Type::butterworth, 2, 100.0 + i));
            }
        }
        ++i;
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(locks, 0u);
    EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return std::isfinite(v); }));
}

// ---------------------------------------------------------------------------
// Concurrency

// Holds a publication half-done: counter odd, fields partly written.
struct CrossoverFilterBankProbe
{
    template <bool IsHighPass>
    static void beginWrite(CrossoverFilterBank<IsHighPass>& bank, const Config& c)
    {
        bank.sequence.fetch_add(1);
        bank.publishedType.store(static_cast<std::uint8_t>(c.type));
        bank.publishedOrder.store(c.order);
        bank.publishedFrequencyHz.store(c.frequencyHz);
    }
    template <bool IsHighPass>
    static void endWrite(CrossoverFilterBank<IsHighPass>& bank, const Config& c)
    {
        bank.publishedQ.store(c.q);
        bank.sequence.fetch_add(1);
    }
};

TEST(CrossoverConcurrency, BlockMeetingAWriteInProgressKeepsTheOldConfiguration)
{
    LowPassFilterBank bank(rate48k);
    const Config before = make(Type::butterworth, 4, 800.0, 0.7);
    const Config after = make(Type::linkwitzRiley, 8, 2500.0, 3.0);
    apply(bank, before);
    bank.reset();
    const auto x = noise(64);
    std::vector<float> y(64);

    CrossoverFilterBankProbe::beginWrite(bank, after);
    for (int i = 0; i < 3; ++i)
    {
        bank.processBlock(x.data(), y.data(), 64);
        EXPECT_FALSE(bank.isTransitionRunning());
        EXPECT_TRUE(bank.activeConfiguration() == before);
    }
    CrossoverFilterBankProbe::endWrite(bank, after);
    bank.processBlock(x.data(), y.data(), 64);
    EXPECT_TRUE(bank.isTransitionRunning());
    EXPECT_TRUE(bank.transitionTarget() == after);
    EXPECT_DOUBLE_EQ(bank.transitionTarget().q, 3.0);
}

namespace
{
template <typename Bank>
void hammerPublication()
{
    // Every field value belongs to exactly one configuration, so any mix of
    // two publications (a torn read) is a configuration outside this set.
    const std::vector<Config> allowed = {
        make(Type::butterworth, 3, 250.0, 0.55),
        make(Type::linkwitzRiley, 8, 3100.0, 4.0),
        make(Type::secondOrder, 2, 700.0, 1.3),
        make(Type::firstOrder, 1, 12000.0, 0.25),
    };
    std::vector<CrossoverCascadeCoefficients> expected;
    for (const auto& c : allowed)
        expected.push_back(designedCoefficients<Bank>(c));
    auto indexOf = [&](const Config& c) -> int {
        for (std::size_t i = 0; i < allowed.size(); ++i)
            if (c.type == allowed[i].type && c.order == allowed[i].order && c.frequencyHz == allowed[i].frequencyHz
                && c.q == allowed[i].q)
                return static_cast<int>(i);
        return -1;
    };

    Bank bank(rate48k);
    apply(bank, allowed[0]);
    bank.reset();

    std::atomic<bool> writerDone { false };
    std::atomic<int> blocksRead { 0 };
    constexpr int minimumWrites = 200000, minimumBlocks = 200000;
    int lastIndex = 0;
    bool lastBypass = false;

    std::thread writer([&] {
        for (int i = 0; i < minimumWrites || blocksRead.load(std::memory_order_relaxed) < minimumBlocks; ++i)
        {
            lastIndex = i % static_cast<int>(allowed.size());
            apply(bank, allowed[static_cast<std::size_t>(lastIndex)]);
            if (i % 3 == 0)
            {
                lastBypass = (i / 3) % 2 == 0;
                bank.setBypassed(lastBypass);
            }
        }
        writerDone.store(true, std::memory_order_release);
    });

    int torn = 0, wrongCoefficients = 0, nonFinite = 0;
    std::thread reader([&] {
        const auto x = noise(32, 4242);
        std::vector<float> y(32);
        auto check = [&] {
            if (indexOf(bank.activeConfiguration()) < 0)
                ++torn;
            if (bank.isTransitionRunning() && indexOf(bank.transitionTarget()) < 0)
                ++torn;
            if (bank.hasQueuedConfiguration() && indexOf(bank.queuedConfiguration()) < 0)
                ++torn;
            if (! bank.isTransitionRunning())
            {
                const int i = indexOf(bank.activeConfiguration());
                const auto actual = bank.activeCoefficients();
                const auto& want = expected[static_cast<std::size_t>(std::max(i, 0))];
                bool same = actual.count == want.count;
                for (unsigned s = 0; same && s < want.count; ++s)
                    same = actual.sections[s] == want.sections[s];
                if (! same)
                    ++wrongCoefficients;
            }
            for (float v : y)
                if (! std::isfinite(v))
                    ++nonFinite;
        };
        // Mostly empty blocks: each still picks up a publication, so the
        // reader polls the counter as often as possible and meets writes in flight.
        for (unsigned n = 0; ! writerDone.load(std::memory_order_acquire); ++n)
        {
            bank.processBlock(x.data(), y.data(), n % 16 == 0 ? 32 : 0);
            check();
            blocksRead.fetch_add(1, std::memory_order_relaxed);
        }
        // Drain: the last publication must be the one that ends up applied.
        for (int i = 0; i < 40; ++i)
        {
            bank.processBlock(x.data(), y.data(), 32);
            check();
        }
    });
    writer.join();
    reader.join();

    EXPECT_EQ(torn, 0);
    EXPECT_EQ(wrongCoefficients, 0);
    EXPECT_EQ(nonFinite, 0);
    EXPECT_GE(blocksRead.load(), minimumBlocks);
    EXPECT_FALSE(bank.isTransitionRunning());
    EXPECT_EQ(indexOf(bank.activeConfiguration()), lastIndex);
    EXPECT_EQ(bank.isBypassed(), lastBypass);
    EXPECT_FALSE(bank.isBypassRampRunning());
}
} // namespace

TEST(CrossoverConcurrency, ReaderNeverAppliesATornConfigurationHighPass) { hammerPublication<HighPassFilterBank>(); }

TEST(CrossoverConcurrency, ReaderNeverAppliesATornConfigurationLowPass) { hammerPublication<LowPassFilterBank>(); }
