#include "dsp/IirSections.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

bool BiquadCoefficients::isFinite() const noexcept
{
    return std::isfinite(b0) && std::isfinite(b1) && std::isfinite(b2) && std::isfinite(a1) && std::isfinite(a2);
}

bool IirDesign::isUsableRate(double sampleRate) noexcept
{
    return std::isfinite(sampleRate) && maximumFrequencyRatio * sampleRate >= minimumFrequencyHz;
}

double IirDesign::clampFrequency(double frequencyHz, double sampleRate) noexcept
{
    return std::clamp(frequencyHz, minimumFrequencyHz, maximumFrequencyRatio * sampleRate);
}

double IirDesign::clampQ(double q) noexcept
{
    return std::clamp(q, minimumQ, maximumQ);
}

double IirDesign::clampGainDb(double gainDb) noexcept
{
    return std::clamp(gainDb, minimumGainDb, maximumGainDb);
}

std::uint32_t IirDesign::crossfadeSamples(double sampleRate) noexcept
{
    const double samples = std::round(0.005 * sampleRate);
    if (! (samples >= 1.0))
        return 1;
    if (samples >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(samples);
}

namespace
{
bool commit(const BiquadCoefficients& c, BiquadCoefficients& out) noexcept
{
    if (! c.isFinite())
        return false;
    out = c;
    return true;
}

bool argumentsUsable(double sampleRate, double frequencyHz) noexcept
{
    return IirDesign::isUsableRate(sampleRate) && std::isfinite(frequencyHz);
}

// Terms shared by the second-order designs. cos w0 is carried as 1 - 2 sin^2(w0 / 2)
// so that the near-cancellations of low frequencies (1 - cos w0, and the
// denominators' sums near z = 1) lose as little as possible.
struct SecondOrderTerms
{
    double halfSin2; // sin^2(w0 / 2) = (1 - cos w0) / 2
    double cosW0;
    double alpha;
};

SecondOrderTerms secondOrderTerms(double sampleRate, double frequencyHz, double q) noexcept
{
    const double f = IirDesign::clampFrequency(frequencyHz, sampleRate);
    const double w0 = 2.0 * std::numbers::pi * f / sampleRate;
    const double sinHalf = std::sin(0.5 * w0);
    const double halfSin2 = sinHalf * sinHalf;
    return { halfSin2, 1.0 - 2.0 * halfSin2, std::sin(w0) / (2.0 * IirDesign::clampQ(q)) };
}

bool shelf(bool high, double sampleRate, double frequencyHz, double gainDb, double q, BiquadCoefficients& out) noexcept
{
    if (! argumentsUsable(sampleRate, frequencyHz) || ! std::isfinite(gainDb) || ! std::isfinite(q))
        return false;
    const double gain = IirDesign::clampGainDb(gainDb);
    if (gain == 0.0)
        return commit(BiquadCoefficients::identity(), out);

    const auto [s2, cosW0, alpha] = secondOrderTerms(sampleRate, frequencyHz, q);
    (void) cosW0;
    const double a = std::pow(10.0, gain / 40.0);
    const double beta = 2.0 * std::sqrt(a) * alpha;
    // The cookbook terms with cos w0 = 1 - 2 s2 worked through:
    // (A+1) +- (A-1) cos w0 = 2A - (+-)2(A-1) s2 ... and so on.
    const double sum = 2.0 * a - 2.0 * (a - 1.0) * s2;         // (A+1) + (A-1) cos w0
    const double diff = 2.0 + 2.0 * (a - 1.0) * s2;            // (A+1) - (A-1) cos w0
    const double crossPlus = 2.0 * a - 2.0 * (a + 1.0) * s2;    // (A-1) + (A+1) cos w0
    const double crossMinus = -2.0 + 2.0 * (a + 1.0) * s2;      // (A-1) - (A+1) cos w0

    BiquadCoefficients c;
    if (high)
    {
        const double a0 = diff + beta;
        c.b0 = a * (sum + beta) / a0;
        c.b1 = -2.0 * a * crossPlus / a0;
        c.b2 = a * (sum - beta) / a0;
        c.a1 = 2.0 * crossMinus / a0;
        c.a2 = (diff - beta) / a0;
    }
    else
    {
        const double a0 = sum + beta;
        c.b0 = a * (diff + beta) / a0;
        c.b1 = 2.0 * a * crossMinus / a0;
        c.b2 = a * (diff - beta) / a0;
        c.a1 = -2.0 * crossPlus / a0;
        c.a2 = (sum - beta) / a0;
    }
    return commit(c, out);
}
} // namespace

bool IirDesign::lowPass1st(double sampleRate, double frequencyHz, BiquadCoefficients& out) noexcept
{
    if (! argumentsUsable(sampleRate, frequencyHz))
        return false;
    const double k = std::tan(std::numbers::pi * clampFrequency(frequencyHz, sampleRate) / sampleRate);
    BiquadCoefficients c;
    c.b0 = c.b1 = k / (1.0 + k);
    c.b2 = 0.0;
    c.a1 = (k - 1.0) / (k + 1.0);
    c.a2 = 0.0;
    return commit(c, out);
}

bool IirDesign::highPass1st(double sampleRate, double frequencyHz, BiquadCoefficients& out) noexcept
{
    if (! argumentsUsable(sampleRate, frequencyHz))
        return false;
    const double k = std::tan(std::numbers::pi * clampFrequency(frequencyHz, sampleRate) / sampleRate);
    BiquadCoefficients c;
    c.b0 = 1.0 / (1.0 + k);
    c.b1 = -c.b0;
    c.b2 = 0.0;
    c.a1 = (k - 1.0) / (k + 1.0);
    c.a2 = 0.0;
    return commit(c, out);
}

bool IirDesign::lowPass2nd(double sampleRate, double frequencyHz, double q, BiquadCoefficients& out) noexcept
{
    if (! argumentsUsable(sampleRate, frequencyHz) || ! std::isfinite(q))
        return false;
    const auto [s2, cosW0, alpha] = secondOrderTerms(sampleRate, frequencyHz, q);
    const double a0 = 1.0 + alpha;
    BiquadCoefficients c;
    c.b0 = c.b2 = s2 / a0; // (1 - cos w0) / 2 / a0
    c.b1 = 2.0 * s2 / a0;
    c.a1 = -2.0 * cosW0 / a0;
    c.a2 = (1.0 - alpha) / a0;
    return commit(c, out);
}

bool IirDesign::highPass2nd(double sampleRate, double frequencyHz, double q, BiquadCoefficients& out) noexcept
{
    if (! argumentsUsable(sampleRate, frequencyHz) || ! std::isfinite(q))
        return false;
    const auto [s2, cosW0, alpha] = secondOrderTerms(sampleRate, frequencyHz, q);
    const double a0 = 1.0 + alpha;
    BiquadCoefficients c;
    c.b0 = c.b2 = (1.0 - s2) / a0; // (1 + cos w0) / 2 / a0
    c.b1 = -2.0 * (1.0 - s2) / a0;
    c.a1 = -2.0 * cosW0 / a0;
    c.a2 = (1.0 - alpha) / a0;
    return commit(c, out);
}

bool IirDesign::peaking(double sampleRate, double frequencyHz, double gainDb, double q, BiquadCoefficients& out) noexcept
{
    if (! argumentsUsable(sampleRate, frequencyHz) || ! std::isfinite(gainDb) || ! std::isfinite(q))
        return false;
    const double gain = clampGainDb(gainDb);
    if (gain == 0.0)
        return commit(BiquadCoefficients::identity(), out);

    const auto [s2, cosW0, alpha] = secondOrderTerms(sampleRate, frequencyHz, q);
    (void) s2;
    const double a = std::pow(10.0, gain / 40.0);
    const double a0 = 1.0 + alpha / a;
    BiquadCoefficients c;
    c.b0 = (1.0 + alpha * a) / a0;
    c.b1 = c.a1 = -2.0 * cosW0 / a0;
    c.b2 = (1.0 - alpha * a) / a0;
    c.a2 = (1.0 - alpha / a) / a0;
    return commit(c, out);
}

bool IirDesign::lowShelf(double sampleRate, double frequencyHz, double gainDb, double q, BiquadCoefficients& out) noexcept
{
    return shelf(false, sampleRate, frequencyHz, gainDb, q, out);
}

bool IirDesign::highShelf(double sampleRate, double frequencyHz, double gainDb, double q, BiquadCoefficients& out) noexcept
{
    return shelf(true, sampleRate, frequencyHz, gainDb, q, out);
}

double IirDesign::butterworthQ(int order, int index) noexcept
{
    // Q_k = 1 / (2 sin((2k - 1) pi / (2n))) falls with k, so ascending Q runs k = n/2 ... 1.
    const int k = order / 2 - index;
    return 1.0 / (2.0 * std::sin((2.0 * k - 1.0) * std::numbers::pi / (2.0 * order)));
}

IirFilterSection::IirFilterSection(double rate) noexcept
    : sampleRate(rate), unusable(! IirDesign::isUsableRate(rate))
{
    if (unusable)
        biquad.setCoefficients(BiquadCoefficients::silence());
}

void IirFilterSection::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    if (unusable)
    {
        std::fill(out, out + numSamples, 0.0f);
        return;
    }
    biquad.processBlock(in, out, numSamples);
}

LowPassFilter1st::LowPassFilter1st(double rate) noexcept : IirFilterSection(rate)
{
    frequencyHz = 0.5 * rate;
    setParams(0.5 * rate);
}

bool LowPassFilter1st::setParams(double frequency) noexcept
{
    BiquadCoefficients c;
    if (unusable || ! IirDesign::lowPass1st(sampleRate, frequency, c))
        return false;
    biquad.setCoefficients(c);
    frequencyHz = IirDesign::clampFrequency(frequency, sampleRate);
    return true;
}

HighPassFilter1st::HighPassFilter1st(double rate) noexcept : IirFilterSection(rate)
{
    frequencyHz = 0.5 * rate;
    setParams(0.5 * rate);
}

bool HighPassFilter1st::setParams(double frequency) noexcept
{
    BiquadCoefficients c;
    if (unusable || ! IirDesign::highPass1st(sampleRate, frequency, c))
        return false;
    biquad.setCoefficients(c);
    frequencyHz = IirDesign::clampFrequency(frequency, sampleRate);
    return true;
}

LowPassFilter2nd::LowPassFilter2nd(double rate) noexcept : IirFilterSection(rate)
{
    frequencyHz = 1000.0;
    setParams(1000.0, 1.0);
}

bool LowPassFilter2nd::setParams(double frequency, double q) noexcept
{
    BiquadCoefficients c;
    if (unusable || ! IirDesign::lowPass2nd(sampleRate, frequency, q, c))
        return false;
    biquad.setCoefficients(c);
    frequencyHz = IirDesign::clampFrequency(frequency, sampleRate);
    qValue = IirDesign::clampQ(q);
    return true;
}

HighPassFilter2nd::HighPassFilter2nd(double rate) noexcept : IirFilterSection(rate)
{
    frequencyHz = 1000.0;
    setParams(1000.0, 1.0);
}

bool HighPassFilter2nd::setParams(double frequency, double q) noexcept
{
    BiquadCoefficients c;
    if (unusable || ! IirDesign::highPass2nd(sampleRate, frequency, q, c))
        return false;
    biquad.setCoefficients(c);
    frequencyHz = IirDesign::clampFrequency(frequency, sampleRate);
    qValue = IirDesign::clampQ(q);
    return true;
}

void CrossfadingBiquad::applyCoefficients(const BiquadCoefficients& c, std::uint32_t crossfadeLength) noexcept
{
    const std::uint32_t length = std::max<std::uint32_t>(crossfadeLength, 1);
    if (! configured)
    {
        current.setCoefficients(c);
        configured = true;
        return;
    }
    if (fadeRemaining == 0)
    {
        if (c != current.coefficients())
            startCrossfade(c, length);
        return;
    }
    if (c == fadeTarget)
    {
        queued = false;
        return;
    }
    queuedCoefficients = c;
    queuedLength = length;
    queued = true;
}

void CrossfadingBiquad::startCrossfade(const BiquadCoefficients& c, std::uint32_t length) noexcept
{
    next.setCoefficients(c);
    next.copyStateFrom(current);
    fadeTarget = c;
    fadeTotal = fadeRemaining = length;
}

float CrossfadingBiquad::processCrossfadeSample(float x) noexcept
{
    const double from = current.processSample(x);
    const double to = next.processSample(x);
    const double position = static_cast<double>(fadeTotal - fadeRemaining + 1) / static_cast<double>(fadeTotal);
    const float y = static_cast<float>(from + (to - from) * position);
    if (--fadeRemaining == 0)
    {
        current = next;
        if (queued)
        {
            queued = false;
            if (queuedCoefficients != current.coefficients())
                startCrossfade(queuedCoefficients, queuedLength);
        }
    }
    return y;
}

const BiquadCoefficients& CrossfadingBiquad::newestCoefficients() const noexcept
{
    if (queued)
        return queuedCoefficients;
    if (fadeRemaining != 0)
        return fadeTarget;
    return current.coefficients();
}

void CrossfadingBiquad::reset() noexcept
{
    const BiquadCoefficients newest = newestCoefficients();
    current.setCoefficients(newest);
    current.reset();
    next.setCoefficients(newest);
    next.reset();
    fadeTarget = newest;
    fadeTotal = fadeRemaining = 0;
    queued = false;
}
