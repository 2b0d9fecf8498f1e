#include "dsp/ArithmeticProcessor.h"
#include "dsp/Gain.h"
#include "dsp/MeterProcessor.h"
#include "dsp/OutputSignalGuard.h"
#include "dsp/SampleDelay.h"
#include "dsp/ShelvingFilterProcessor.h"

#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

namespace
{
constexpr double fs = 48000.0;

std::vector<float> sine(std::size_t n, double frequency, double amplitude, double rate = fs)
{
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
    return v;
}

float maxStep(const std::vector<float>& y, std::size_t from, std::size_t to)
{
    float m = 0.0f;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i)
        m = std::max(m, std::abs(y[i] - y[i - 1]));
    return m;
}

// Runs a processor over x in blocks of `block`, calling `change` before the
// block that starts at sample `changeAt`.
template <class Process, class Change>
std::vector<float> runWithChange(const std::vector<float>& x, unsigned block, std::size_t changeAt, Process process,
                                 Change change)
{
    std::vector<float> y(x.size());
    for (std::size_t pos = 0; pos < x.size(); pos += block)
    {
        if (pos == changeAt)
            change();
        const auto n = static_cast<unsigned>(std::min<std::size_t>(block, x.size() - pos));
        process(x.data() + pos, y.data() + pos, n);
    }
    return y;
}
} // namespace

// ---------------------------------------------------------------------------
// Gain

TEST(Gain, ClampsGainAndAppliesFlags)
{
    struct Case
    {
        double db;
        bool bypassed;
        bool inverted;
        float expected;
    };
    const Case cases[] = {
        {30.0, false, false, 10.0f},     // clamped to +20 dB
        {-200.0, false, false, 1e-5f},   // clamped to -100 dB
        {-6.0, true, true, 1.0f},        // bypass wins over polarity
        {0.0, false, true, -1.0f},
        {6.0, false, true, -1.9952623f},
    };
    for (const auto& c : cases)
    {
        Gain gain;
        ASSERT_TRUE(gain.setParams(fs, c.db, c.bypassed, c.inverted));
        const std::vector<float> ones(64, 1.0f);
        std::vector<float> y(64);
        gain.processBlock(ones.data(), y.data(), 64);
        EXPECT_NEAR(y[0], c.expected, std::abs(c.expected) * 1e-6f) << c.db;
        EXPECT_EQ(y[0], y[63]);
    }
}

TEST(Gain, RejectsBadValuesAndKeepsState)
{
    Gain gain;
    ASSERT_TRUE(gain.setParams(fs, -6.0, false, false));
    const float before = gain.getTargetGain();
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (auto [rate, db] : std::vector<std::pair<double, double>>{
             {0.0, 0.0}, {-48000.0, 0.0}, {std::nan(""), 0.0}, {inf, 0.0}, {fs, std::nan("")}, {fs, inf}, {fs, -inf}})
        EXPECT_FALSE(gain.setParams(rate, db, false, false)) << rate << " " << db;
    EXPECT_EQ(gain.getTargetGain(), before);
    EXPECT_FALSE(gain.isRamping());
}

TEST(Gain, RampsLinearlyAndLandsExactlyAfterFiveMilliseconds)
{
    Gain gain;
    ASSERT_TRUE(gain.setParams(fs, 0.0, false, false));
    const std::vector<float> ones(1000, 1.0f);
    ASSERT_TRUE(gain.setParams(fs, -6.0, false, false));
    const float target = gain.getTargetGain();
    std::vector<float> y(1000);
    // Odd blocks so the ramp straddles block ends; a repeated identical call must not restart it.
    unsigned pos = 0;
    for (unsigned n : {7u, 100u, 33u, 860u})
    {
        ASSERT_TRUE(gain.setParams(fs, -6.0, false, false));
        gain.processBlock(ones.data() + pos, y.data() + pos, n);
        pos += n;
    }
    const float step = (target - 1.0f) / 240.0f;
    EXPECT_NEAR(y[0], 1.0f + step, 1e-6f);
    // Float accumulation drifts by a few ulps per step; the last step lands on the target.
    for (unsigned i = 1; i < 240; ++i)
        ASSERT_NEAR(y[i] - y[i - 1], step, 3e-5f) << i;
    EXPECT_NE(y[238], target);
    for (unsigned i = 239; i < 1000; ++i)
        ASSERT_EQ(y[i], target) << i;
}

TEST(Gain, PolarityFlipRampsThroughZeroAndNullBuffersAreIgnored)
{
    Gain gain;
    ASSERT_TRUE(gain.setParams(96000.0, 0.0, false, false));
    ASSERT_TRUE(gain.setParams(96000.0, 0.0, false, true));
    std::vector<float> y(480, 5.0f);
    gain.processBlock(nullptr, y.data(), 480);
    gain.processBlock(y.data(), nullptr, 480);
    gain.processBlock(y.data(), y.data(), 0);
    EXPECT_TRUE(gain.isRamping());
    EXPECT_EQ(y[0], 5.0f);
    const std::vector<float> ones(480, 1.0f);
    gain.processBlock(ones.data(), y.data(), 480); // 5 ms at 96 kHz
    EXPECT_LE(maxStep(y, 0, 480), 2.0f / 480.0f + 3e-5f);
    EXPECT_EQ(y[479], -1.0f);
    EXPECT_FALSE(gain.isRamping());
}

// ---------------------------------------------------------------------------
// MeterProcessor

TEST(MeterProcessor, ReadsPeakRmsAndDecay)
{
    MeterProcessor meter;
    const auto tone = sine(48000, 1000.0, 0.5);
    meter.process(tone.data(), 64); // never prepared: ignored
    EXPECT_EQ(meter.getPeakDb(), -120.0);

    meter.prepare(fs);
    for (std::size_t pos = 0; pos < tone.size(); pos += 480)
        meter.process(tone.data() + pos, 480);
    EXPECT_NEAR(meter.getPeakDb(), -6.0206, 0.01);
    EXPECT_NEAR(meter.getRmsDb(), -9.0309, 0.01);
    EXPECT_FALSE(meter.isClipping());

    // Half a second of silence: the peak falls by 10 dB, the RMS window (300 ms) has emptied.
    const std::vector<float> silence(24000, 0.0f);
    meter.process(silence.data(), 24000);
    EXPECT_NEAR(meter.getPeakDb(), -16.0206, 0.01);
    EXPECT_EQ(meter.getRmsDb(), -120.0);
    meter.process(nullptr, 64);
    EXPECT_NEAR(meter.getPeakDb(), -16.0206, 0.01);
}

TEST(MeterProcessor, HoldsClipForTwoSeconds)
{
    MeterProcessor meter;
    meter.prepare(fs);
    std::vector<float> block(480, 0.1f);
    block[100] = -1.0f;
    meter.process(block.data(), 480);
    EXPECT_TRUE(meter.isClipping());
    const std::vector<float> quiet(480, 0.1f);
    for (int i = 0; i < 199; ++i) // 1.99 s
        meter.process(quiet.data(), 480);
    EXPECT_TRUE(meter.isClipping());
    meter.process(quiet.data(), 480);
    EXPECT_FALSE(meter.isClipping());

    std::vector<float> almost(480, 0.999999f);
    meter.process(almost.data(), 480);
    EXPECT_FALSE(meter.isClipping());
}

TEST(MeterProcessor, ResetForgetsOldAudio)
{
    MeterProcessor meter;
    meter.prepare(fs);
    const auto loud = sine(4800, 500.0, 0.9);
    meter.process(loud.data(), 4800);
    meter.reset();
    meter.reset();
    EXPECT_EQ(meter.getPeakDb(), -120.0);
    EXPECT_EQ(meter.getRmsDb(), -120.0);
    // After a reset the RMS must not carry the loud window into a quiet block.
    const std::vector<float> quiet(48, 0.001f);
    meter.process(quiet.data(), 48);
    EXPECT_LT(meter.getRmsDb(), -60.0);
    EXPECT_NEAR(meter.getPeakDb(), -60.0, 0.01);
}

// ---------------------------------------------------------------------------
// OutputSignalGuard

TEST(OutputSignalGuard, FlagsNonFiniteSamplesAnywhereInTheBlock)
{
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      -std::numeric_limits<float>::infinity()})
    {
        OutputSignalGuard guard;
        std::vector<float> block(64, 0.1f);
        EXPECT_EQ(guard.process(block.data(), 64), 0);
        block[63] = bad;
        EXPECT_EQ(guard.process(block.data(), 64), 1);
    }
    OutputSignalGuard guard;
    EXPECT_EQ(guard.process(nullptr, 64), 0);
}

TEST(OutputSignalGuard, TripsOnDcHeldForAQuarterSecondAcrossBlocks)
{
    for (double rate : {0.0, 44100.0, 96000.0}) // 0: unknown rate counts as 48 kHz
    {
        const double r = rate > 0.0 ? rate : 48000.0;
        OutputSignalGuard guard;
        guard.prepare(rate);
        // 0.5 DC: the 100 ms estimate reaches 0.2 after -0.1 ln(0.6) s.
        const double crossing = -0.1 * std::log(0.6) * r;
        const std::vector<float> dc(64, 0.5f);
        std::size_t samples = 0;
        int result = 0;
        while (result == 0 && samples < static_cast<std::size_t>(2 * r))
        {
            result = guard.process(dc.data(), 64);
            samples += 64;
        }
        EXPECT_EQ(result, 2) << rate;
        const double tripped = static_cast<double>(samples);
        EXPECT_GE(tripped, crossing + 0.25 * r - 64) << rate;
        EXPECT_LE(tripped, crossing + 0.25 * r + 64 + 2) << rate;

        guard.reset();
        EXPECT_EQ(guard.process(dc.data(), 64), 0);
    }
}

TEST(OutputSignalGuard, LetsLoudMusicAndSmallOffsetsThrough)
{
    OutputSignalGuard guard;
    guard.prepare(fs);
    const auto loud = sine(96000, 40.0, 0.99);
    const std::vector<float> offset(96000, -0.19f);
    for (const auto* signal : {&loud, &offset})
        for (std::size_t pos = 0; pos < signal->size(); pos += 256)
            ASSERT_EQ(guard.process(signal->data() + pos, 256), 0);

    // DC bursts whose smoothed level falls back below 0.2 before the limit restart the count:
    // 0.6 for 100 ms holds the estimate above 0.2 for about 120 ms.
    OutputSignalGuard burst;
    const std::vector<float> dc(4800, 0.6f), zero(9600, 0.0f);
    for (int i = 0; i < 5; ++i)
    {
        ASSERT_EQ(burst.process(dc.data(), 4800), 0) << i;
        ASSERT_EQ(burst.process(zero.data(), 9600), 0) << i;
    }
}

// ---------------------------------------------------------------------------
// SampleDelay

TEST(SampleDelay, DelaysByWholeSamplesAndRefusesTooLongDelays)
{
    SampleDelay delay;
    delay.prepare(2400, fs);
    EXPECT_EQ(delay.getCrossfadeLength(), 240u);
    EXPECT_FALSE(delay.setParams(2401, false));
    const auto x = sine(5000, 333.0, 0.7);
    for (auto [d, bypass] : std::vector<std::pair<unsigned, bool>>{{0, false}, {37, false}, {2400, false}, {500, true}})
    {
        delay.prepare(2400, fs);
        ASSERT_TRUE(delay.setParams(d, bypass));
        std::vector<float> y(x.size());
        for (std::size_t pos = 0; pos < x.size(); pos += 100)
            delay.processBlock(x.data() + pos, y.data() + pos, 100);
        const unsigned effective = bypass ? 0 : d;
        for (std::size_t i = 0; i < x.size(); ++i)
            ASSERT_EQ(y[i], i >= effective ? x[i - effective] : 0.0f) << d << " " << i;
    }

    SampleDelay other;
    other.prepare(10, 96000.0);
    EXPECT_EQ(other.getCrossfadeLength(), 480u);
    other.prepare(10, 0.0);
    EXPECT_EQ(other.getCrossfadeLength(), 240u);
}

TEST(SampleDelay, CrossfadesBetweenTapsAndLandsOnTheNewDelay)
{
    SampleDelay delay;
    delay.prepare(2400, fs);
    ASSERT_TRUE(delay.setParams(10, false));
    const auto x = sine(4000, 200.0, 0.8);
    const auto y = runWithChange(x, 64, 1024, [&](const float* in, float* out, unsigned n) { delay.processBlock(in, out, n); },
                                 [&] { ASSERT_TRUE(delay.setParams(110, false)); });
    // A linear crossfade adds at most |new tap - old tap| / length to the steady slope.
    const float steady = maxStep(y, 100, 1024);
    EXPECT_LE(maxStep(y, 1024, 1024 + 240), steady + 2.0f * 0.8f / 240.0f);
    // Exactly the crossfade formula on the first sample and on the new tap after 240.
    EXPECT_NEAR(y[1024], x[1014] + (x[914] - x[1014]) / 240.0f, 1e-6f);
    for (std::size_t i = 1024 + 239; i < x.size(); ++i)
        ASSERT_EQ(y[i], x[i - 110]) << i;
}

TEST(SampleDelay, RequestsDuringACrossfadeEndOnTheLastOne)
{
    SampleDelay delay;
    delay.prepare(2400, fs);
    ASSERT_TRUE(delay.setParams(0, false));
    const auto x = sine(3000, 150.0, 0.5);
    std::vector<float> y(x.size());
    delay.processBlock(x.data(), y.data(), 500);
    ASSERT_TRUE(delay.setParams(100, false));
    delay.processBlock(x.data() + 500, y.data() + 500, 50);
    ASSERT_TRUE(delay.setParams(300, false)); // remembered only
    ASSERT_TRUE(delay.setParams(200, false));
    EXPECT_TRUE(delay.isCrossfading());
    delay.processBlock(x.data() + 550, y.data() + 550, 2450);
    EXPECT_FALSE(delay.isCrossfading());
    EXPECT_EQ(delay.getActiveDelay(), 200u);
    for (std::size_t i = 500 + 2 * 240; i < x.size(); ++i)
        ASSERT_EQ(y[i], x[i - 200]) << i;
    EXPECT_LE(maxStep(y, 500, 1000), maxStep(y, 1, 500) + 2.0f * 0.5f / 240.0f);
}

TEST(SampleDelay, BypassCrossfadesAndResetMakesTheRequestActive)
{
    SampleDelay delay;
    delay.prepare(480, fs);
    ASSERT_TRUE(delay.setParams(48, false));
    const auto x = sine(2000, 300.0, 0.5);
    const auto y = runWithChange(x, 32, 512, [&](const float* in, float* out, unsigned n) { delay.processBlock(in, out, n); },
                                 [&] { ASSERT_TRUE(delay.setParams(48, true)); });
    EXPECT_LE(maxStep(y, 512, 800), maxStep(y, 100, 512) + 2.0f * 0.5f / 240.0f);
    for (std::size_t i = 512 + 239; i < x.size(); ++i)
        ASSERT_EQ(y[i], x[i]) << i;

    ASSERT_TRUE(delay.setParams(20, false));
    delay.reset();
    EXPECT_FALSE(delay.isCrossfading());
    std::vector<float> z(100);
    delay.processBlock(x.data(), z.data(), 100);
    for (std::size_t i = 0; i < 100; ++i)
        ASSERT_EQ(z[i], i >= 20 ? x[i - 20] : 0.0f) << i;
}

// ---------------------------------------------------------------------------
// ArithmeticProcessor

namespace
{
float arithmetic(ArithmeticProcessor::Operation op, const float* a, const float* b, double floorDb = -80.0,
                 double limitDb = 20.0)
{
    ArithmeticProcessor p;
    p.prepare(fs, 1.0 / 240.0);
    EXPECT_TRUE(p.setParams(op, false, floorDb, limitDb));
    float out = 123.0f;
    p.processBlock(a, b, &out, 1);
    return out;
}
} // namespace

TEST(ArithmeticProcessor, ComputesEachOperation)
{
    using Op = ArithmeticProcessor::Operation;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case
    {
        Op op;
        float a, b;
        double floorDb, limitDb;
        float expected;
        float tolerance;
    };
    const Case cases[] = {
        {Op::Add, 0.25f, 0.5f, -80, 20, 0.75f, 0},
        {Op::Subtract, 0.25f, 0.5f, -80, 20, -0.25f, 0},
        {Op::Multiply, 0.25f, -0.5f, -80, 20, -0.125f, 0},
        {Op::Divide, 0.25f, 0.5f, -80, 20, 0.5f, 0},
        {Op::Divide, 1.0f, 0.001f, -80, 20, 10.0f, 1e-6f},   // limited to +20 dB
        {Op::Divide, -1.0f, 0.001f, -80, 20, -10.0f, 1e-6f},
        {Op::Divide, 1.0f, 0.0f, -80, 20, 0.0f, 0},          // never infinity
        {Op::Divide, 1.0f, 0.0001f, -80, 20, 0.0f, 0},       // at the floor
        {Op::Divide, 1.0f, 0.000101f, -80, 20, 0.0f, 1e-3f},  // just above the floor: near 0
        {Op::Divide, 0.0002f, 0.0004f, -80, 20, 0.5f, 1e-6f}, // four times the floor: full strength
        {Op::Add, nan, 0.5f, -80, 20, 0.5f, 0},              // non-finite operands read as 0
        {Op::Multiply, inf, 0.5f, -80, 20, 0.0f, 0},
        {Op::Multiply, 3e38f, 3e38f, -80, 20, std::numeric_limits<float>::max(), 0},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(arithmetic(c.op, &c.a, &c.b, c.floorDb, c.limitDb), c.expected, c.tolerance)
            << static_cast<int>(c.op) << " " << c.a << " " << c.b;

    // Just above the floor the quotient is faded in smoothly from 0.
    const float a = 1.0f, slightly = 0.00011f;
    const float small = arithmetic(Op::Divide, &a, &slightly, -80, 60);
    EXPECT_GT(small, 0.0f);
    EXPECT_LT(small, 0.05f * (1.0f / slightly));
}

TEST(ArithmeticProcessor, MissingOperandBReadsAsSilence)
{
    using Op = ArithmeticProcessor::Operation;
    const float a = 0.3f;
    EXPECT_EQ(arithmetic(Op::Add, &a, nullptr), 0.3f);
    EXPECT_EQ(arithmetic(Op::Subtract, &a, nullptr), 0.3f);
    EXPECT_EQ(arithmetic(Op::Multiply, &a, nullptr), 0.0f);
    EXPECT_EQ(arithmetic(Op::Divide, &a, nullptr), 0.0f);
    EXPECT_EQ(arithmetic(Op::Subtract, nullptr, &a), -0.3f);
}

TEST(ArithmeticProcessor, RejectsBadParametersAndKeepsState)
{
    using Op = ArithmeticProcessor::Operation;
    ArithmeticProcessor p;
    ASSERT_TRUE(p.setParams(Op::Multiply, false, -80.0, 20.0));
    const double nan = std::nan("");
    struct Case
    {
        int op;
        double floorDb, limitDb;
    };
    for (const auto& c : {Case{4, -80, 20}, Case{-1, -80, 20}, Case{0, -181, 20}, Case{0, -19.9, 20}, Case{0, nan, 20},
                          Case{0, -80, -0.1}, Case{0, -80, 60.1}, Case{0, -80, nan}})
        EXPECT_FALSE(p.setParams(static_cast<Op>(c.op), false, c.floorDb, c.limitDb)) << c.op << " " << c.floorDb;
    EXPECT_TRUE(p.setParams(Op::Divide, false, -180.0, 0.0));
    EXPECT_TRUE(p.setParams(Op::Divide, false, -20.0, 60.0));
    const float a = 0.5f, b = 0.25f;
    ArithmeticProcessor kept;
    ASSERT_TRUE(kept.setParams(Op::Multiply, false, -80.0, 20.0));
    EXPECT_FALSE(kept.setParams(Op::Add, false, -10.0, 20.0));
    float out = 0.0f;
    kept.processBlock(&a, &b, &out, 1);
    EXPECT_EQ(out, 0.125f);
}

TEST(ArithmeticProcessor, BypassFadesToOperandAAtTheMixStep)
{
    using Op = ArithmeticProcessor::Operation;
    ArithmeticProcessor p;
    p.prepare(fs, 1.0 / 240.0);
    ASSERT_TRUE(p.setParams(Op::Multiply, true, -80.0, 20.0)); // first call jumps
    const std::vector<float> a(600, 0.5f), b(600, 0.0f);
    std::vector<float> y(600);
    p.processBlock(a.data(), b.data(), y.data(), 10);
    EXPECT_EQ(y[0], 0.5f);
    ASSERT_TRUE(p.setParams(Op::Multiply, false, -80.0, 20.0));
    p.processBlock(a.data(), b.data(), y.data(), 100);
    p.processBlock(a.data() + 100, b.data() + 100, y.data() + 100, 500);
    const float step = 0.5f / 240.0f;
    EXPECT_NEAR(y[0], 0.5f - step, 1e-6f);
    EXPECT_LE(maxStep(y, 0, 600), step + 1e-6f);
    EXPECT_NE(y[238], 0.0f);
    for (std::size_t i = 239; i < 600; ++i)
        ASSERT_EQ(y[i], 0.0f) << i;
}

// ---------------------------------------------------------------------------
// ShelvingFilterProcessor

namespace
{
using Type = ShelvingFilterProcessor::Type;

double magnitudeAt(const BiquadCoefficients& c, double omega)
{
    const std::complex<double> z1 = std::polar(1.0, -omega);
    return std::abs((c.b0 + c.b1 * z1 + c.b2 * z1 * z1) / (1.0 + c.a1 * z1 + c.a2 * z1 * z1));
}
} // namespace

TEST(ShelvingFilterProcessor, FirstOrderShelvesHaveTheirShelfGains)
{
    for (double gainDb : {-12.0, 6.0, 20.0})
    {
        const double a2 = std::pow(10.0, gainDb / 20.0);
        BiquadCoefficients low, high;
        ASSERT_TRUE(ShelvingFilterProcessor::designFirstOrder(Type::Low, fs, 500.0, gainDb, low));
        ASSERT_TRUE(ShelvingFilterProcessor::designFirstOrder(Type::High, fs, 500.0, gainDb, high));
        EXPECT_NEAR(magnitudeAt(low, 0.0), a2, 1e-9);
        EXPECT_NEAR(magnitudeAt(low, std::numbers::pi), 1.0, 1e-9);
        EXPECT_NEAR(magnitudeAt(high, 0.0), 1.0, 1e-9);
        EXPECT_NEAR(magnitudeAt(high, std::numbers::pi), a2, 1e-9);
        // Half the shelf (in dB) at the corner.
        const double corner = 2.0 * std::numbers::pi * 500.0 / fs;
        EXPECT_NEAR(20.0 * std::log10(magnitudeAt(low, corner)), gainDb / 2.0, 0.05);
    }
    BiquadCoefficients flat;
    ASSERT_TRUE(ShelvingFilterProcessor::designFirstOrder(Type::High, fs, 500.0, 0.0, flat));
    EXPECT_EQ(flat, BiquadCoefficients::identity());
}

TEST(ShelvingFilterProcessor, RejectsBadParameters)
{
    ShelvingFilterProcessor p;
    const double nan = std::nan("");
    EXPECT_FALSE(p.setParams(20.0, Type::Low, 1, 5.0, 6.0, 0.7)); // 0.499 x 20 Hz < 10 Hz
    EXPECT_FALSE(p.setParams(nan, Type::Low, 1, 100.0, 6.0, 0.7));
    EXPECT_FALSE(p.setParams(fs, Type::Low, 1, nan, 6.0, 0.7));
    EXPECT_FALSE(p.setParams(fs, Type::Low, 1, 100.0, nan, 0.7));
    EXPECT_FALSE(p.setParams(fs, Type::Low, 1, 100.0, 6.0, nan));
    EXPECT_FALSE(p.setParams(fs, Type::Low, 3, 100.0, 6.0, 0.7));
    EXPECT_FALSE(p.setParams(fs, Type::Low, 0, 100.0, 6.0, 0.7));
    EXPECT_TRUE(p.setParams(21.0, Type::Low, 1, 5.0, 6.0, 0.7));
}

TEST(ShelvingFilterProcessor, ZeroGainPassesAudioAndHighFrequenciesAreClamped)
{
    const auto x = sine(2000, 1234.0, 0.5);
    for (int order : {1, 2})
    {
        ShelvingFilterProcessor flat;
        ASSERT_TRUE(flat.setParams(fs, Type::High, order, 2000.0, 0.0, 0.7));
        std::vector<float> y(x.size());
        flat.processBlock(x.data(), y.data(), static_cast<unsigned>(x.size()));
        for (std::size_t i = 0; i < x.size(); ++i)
            ASSERT_NEAR(y[i], x[i], 1e-6f) << order << " " << i;
    }

    ShelvingFilterProcessor above, atLimit;
    ASSERT_TRUE(above.setParams(fs, Type::Low, 2, 30000.0, 6.0, 0.7));
    ASSERT_TRUE(atLimit.setParams(fs, Type::Low, 2, 0.499 * fs, 6.0, 0.7));
    std::vector<float> a(x.size()), b(x.size());
    above.processBlock(x.data(), a.data(), 2000);
    atLimit.processBlock(x.data(), b.data(), 2000);
    EXPECT_EQ(a, b);
}

TEST(ShelvingFilterProcessor, ParameterOrderAndBypassChangesAreClickFree)
{
    const auto x = sine(8000, 150.0, 0.5);
    struct Change
    {
        const char* name;
        double gainDb;
        int order;
        bool bypass;
    };
    const Change changes[] = {
        {"gain", 12.0, 1, false},
        {"gain second order", 12.0, 2, false},
        {"order", 6.0, 2, false},
        {"bypass", 6.0, 1, true},
    };
    for (const auto& change : changes)
    {
        SCOPED_TRACE(change.name);
        ShelvingFilterProcessor p;
        const int startOrder = std::string(change.name) == "gain second order" ? 2 : 1;
        ASSERT_TRUE(p.setParams(fs, Type::Low, startOrder, 300.0, 6.0, 0.7));
        p.setBypassed(false, 240);
        const auto y = runWithChange(
            x, 64, 4096, [&](const float* in, float* out, unsigned n) { p.processBlock(in, out, n); },
            [&] {
                ASSERT_TRUE(p.setParams(fs, Type::Low, change.order, 300.0, change.gainDb, 0.7));
                p.setBypassed(change.bypass, 240);
            });
        const float before = maxStep(y, 2000, 4096);
        const float after = maxStep(y, 6000, 8000);
        EXPECT_LE(maxStep(y, 4096, 6000), std::max(before, after) * 1.02f + 1e-4f);
        EXPECT_FALSE(p.isCrossfading());
        EXPECT_FALSE(p.isOrderRamping());
        EXPECT_FALSE(p.isBypassRamping());
        if (change.bypass)
        {
            for (std::size_t i = 4096 + 239; i < x.size(); ++i)
                ASSERT_EQ(y[i], x[i]) << i;
        }
    }
}

TEST(ShelvingFilterProcessor, FadesEndAfterFiveMilliseconds)
{
    ShelvingFilterProcessor p;
    ASSERT_TRUE(p.setParams(fs, Type::High, 1, 1000.0, 3.0, 0.7));
    ASSERT_TRUE(p.setParams(fs, Type::High, 2, 1000.0, -3.0, 0.7));
    p.setBypassed(true, 240);
    const auto x = sine(480, 440.0, 0.3);
    std::vector<float> y(480);
    p.processBlock(x.data(), y.data(), 239);
    EXPECT_TRUE(p.isOrderRamping());
    EXPECT_TRUE(p.isBypassRamping());
    p.processBlock(x.data() + 239, y.data() + 239, 1);
    EXPECT_FALSE(p.isOrderRamping());
    EXPECT_FALSE(p.isBypassRamping());
    EXPECT_EQ(y[239], x[239]);

    // Reset jumps every fade to its end.
    ASSERT_TRUE(p.setParams(fs, Type::High, 1, 1000.0, 9.0, 0.7));
    p.setBypassed(false, 240);
    p.reset();
    EXPECT_FALSE(p.isCrossfading());
    EXPECT_FALSE(p.isOrderRamping());
    EXPECT_FALSE(p.isBypassRamping());
}

// ---------------------------------------------------------------------------

TEST(UtilityProcessors, ProcessingNeitherAllocatesNorLocks)
{
    Gain gain;
    MeterProcessor meter;
    OutputSignalGuard guardProcessor;
    SampleDelay delay;
    ArithmeticProcessor arithmeticProcessor;
    ShelvingFilterProcessor shelf;
    meter.prepare(fs);
    guardProcessor.prepare(fs);
    delay.prepare(2400, fs);
    arithmeticProcessor.prepare(fs, 1.0 / 240.0);
    const auto x = sine(1024, 100.0, 0.5);
    std::vector<float> y(1024);

    corvana::test::RealtimeGuard guard;
    for (int round = 0; round < 4; ++round)
    {
        const bool odd = round % 2 == 1;
        gain.setParams(fs, odd ? -6.0 : 3.0, false, odd);
        delay.setParams(odd ? 100 : 10, false);
        arithmeticProcessor.setParams(static_cast<ArithmeticProcessor::Operation>(round), odd, -80.0, 20.0);
        shelf.setParams(fs, odd ? ShelvingFilterProcessor::Type::High : ShelvingFilterProcessor::Type::Low, odd ? 2 : 1,
                        500.0, odd ? 6.0 : -6.0, 0.7);
        shelf.setBypassed(odd, 240);
        for (unsigned block : {1u, 32u, 256u, 1024u})
        {
            gain.processBlock(x.data(), y.data(), block);
            meter.process(y.data(), static_cast<int>(block));
            guardProcessor.process(y.data(), static_cast<int>(block));
            delay.processBlock(x.data(), y.data(), block);
            arithmeticProcessor.processBlock(x.data(), y.data(), y.data(), block);
            shelf.processBlock(y.data(), y.data(), block);
        }
        meter.reset();
        delay.reset();
        shelf.reset();
        gain.snapToTarget();
        guardProcessor.reset();
    }
    EXPECT_EQ(guard.allocations(), 0u);
    EXPECT_EQ(guard.locks(), 0u);
}
