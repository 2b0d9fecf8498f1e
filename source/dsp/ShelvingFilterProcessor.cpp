#include "dsp/ShelvingFilterProcessor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace
{
double tdf2(const BiquadCoefficients& c, double x, double& s1, double& s2) noexcept
{
    const double y = c.b0 * x + s1;
    s1 = c.b1 * x - c.a1 * y + s2;
    s2 = c.b2 * x - c.a2 * y;
    return y;
}

// Moves value toward target by (target - value) / remaining and lands on it.
float rampStep(float value, float target, std::uint32_t& remaining) noexcept
{
    if (remaining == 0)
        return value;
    value += (target - value) / static_cast<float>(remaining);
    if (--remaining == 0)
        value = target;
    return value;
}
} // namespace

bool ShelvingFilterProcessor::designFirstOrder(Type side, double rate, double frequencyHz, double gainDb,
                                               BiquadCoefficients& out) noexcept
{
    if (gainDb == 0.0)
    {
        out = BiquadCoefficients::identity();
        return true;
    }
    const double a = std::pow(10.0, gainDb / 40.0);
    const double k = std::tan(std::numbers::pi * frequencyHz / rate);
    BiquadCoefficients c;
    if (side == Type::High)
    {
        const double s = 1.0 / a + k;
        c.b0 = (a + k) / s;
        c.b1 = (k - a) / s;
        c.a1 = (k - 1.0 / a) / s;
    }
    else
    {
        const double s = k / a + 1.0;
        c.b0 = (a * k + 1.0) / s;
        c.b1 = (a * k - 1.0) / s;
        c.a1 = (k / a - 1.0) / s;
    }
    c.b2 = c.a2 = 0.0;
    if (!std::isfinite(a) || !std::isfinite(k) || !c.isFinite())
        return false;
    out = c;
    return true;
}

void ShelvingFilterProcessor::FirstOrderSide::change(const BiquadCoefficients& c, std::uint32_t length) noexcept
{
    if (!configured)
    {
        current = c;
        s1 = s2 = 0.0;
        fadeRemaining = 0;
        hasQueued = false;
        configured = true;
        return;
    }
    if (fadeRemaining == 0)
    {
        if (c == current)
            return;
        next = c;
        nextS1 = s1;
        nextS2 = s2;
        fadeLength = fadeRemaining = std::max<std::uint32_t>(length, 1);
        return;
    }
    // A set equal to the one being faded to needs no second fade.
    hasQueued = !(c == next);
    if (hasQueued)
        queued = c;
}

double ShelvingFilterProcessor::FirstOrderSide::process(double x) noexcept
{
    const double y = tdf2(current, x, s1, s2);
    if (fadeRemaining == 0)
        return y;
    const double yNext = tdf2(next, x, nextS1, nextS2);
    const double position = static_cast<double>(fadeLength - fadeRemaining + 1) / static_cast<double>(fadeLength);
    const double mixed = y + (yNext - y) * position;
    if (--fadeRemaining == 0)
    {
        current = next;
        s1 = nextS1;
        s2 = nextS2;
        if (hasQueued)
        {
            hasQueued = false;
            if (!(queued == current))
            {
                next = queued;
                nextS1 = s1;
                nextS2 = s2;
                fadeRemaining = fadeLength;
            }
        }
    }
    return mixed;
}

void ShelvingFilterProcessor::FirstOrderSide::reset() noexcept
{
    // Ends on the newest set, as if every fade had run.
    if (fadeRemaining > 0)
        current = hasQueued ? queued : next;
    fadeRemaining = 0;
    hasQueued = false;
    s1 = s2 = nextS1 = nextS2 = 0.0;
}

bool ShelvingFilterProcessor::setParams(double rate, Type newType, int newOrder, double frequencyHz, double gainDb,
                                        double q) noexcept
{
    if (!std::isfinite(rate) || !std::isfinite(frequencyHz) || !std::isfinite(gainDb) || !std::isfinite(q))
        return false;
    if (newOrder != 1 && newOrder != 2)
        return false;
    if (newType != Type::Low && newType != Type::High)
        return false;
    if (!(0.499 * rate >= 10.0))
        return false;

    const double f = std::clamp(frequencyHz, 10.0, 0.499 * rate);
    const double g = std::clamp(gainDb, -20.0, 20.0);
    const auto rampLength = static_cast<std::uint32_t>(std::max(std::round(0.005 * rate), 1.0));

    BiquadCoefficients first;
    if (!designFirstOrder(newType, rate, f, g, first))
        return false;

    // The second-order shelf is the only part that can still refuse; ask it
    // before touching anything else.
    const bool secondAccepted = newType == Type::High ? highSecond.setParams(rate, f, g, q)
                                                      : lowSecond.setParams(rate, f, g, q);
    if (!secondAccepted)
        return false;

    (newType == Type::High ? highFirst : lowFirst).change(first, rampLength);

    sampleRate = rate;
    type = newType;
    const float mixTarget = newOrder == 2 ? 1.0f : 0.0f;
    if (!configured)
    {
        orderMix = orderMixTarget = mixTarget;
        orderRampRemaining = 0;
    }
    else if (newOrder != order)
    {
        orderMixTarget = mixTarget;
        orderRampRemaining = rampLength;
    }
    order = newOrder;
    configured = true;
    return true;
}

void ShelvingFilterProcessor::setBypassed(bool shouldBypass, unsigned rampSamples) noexcept
{
    if (shouldBypass == bypassed && bypassRampRemaining == 0)
        return;
    bypassed = shouldBypass;
    if (!configured)
    {
        bypassMix = bypassed ? 0.0f : 1.0f;
        bypassRampRemaining = 0;
        return;
    }
    bypassRampRemaining = std::max(rampSamples, 1u);
}

bool ShelvingFilterProcessor::isCrossfading() const noexcept
{
    const auto& s = type == Type::High ? highFirst : lowFirst;
    const bool second = type == Type::High ? highSecond.isCrossfading() : lowSecond.isCrossfading();
    return s.fadeRemaining > 0 || second;
}

void ShelvingFilterProcessor::processBlock(const float* in, float* out, unsigned n) noexcept
{
    if (in == nullptr || out == nullptr || n == 0)
        return;
    FirstOrderSide& first = side();
    ShelvingFilterBase& second = type == Type::High ? static_cast<ShelvingFilterBase&>(highSecond)
                                                    : static_cast<ShelvingFilterBase&>(lowSecond);
    const float bypassTarget = bypassed ? 0.0f : 1.0f;
    for (unsigned i = 0; i < n; ++i)
    {
        const float x = in[i];
        const double y1 = first.process(static_cast<double>(x));
        const double y2 = static_cast<double>(second.processSample(x));
        orderMix = rampStep(orderMix, orderMixTarget, orderRampRemaining);
        const double y = y1 + (y2 - y1) * static_cast<double>(orderMix);
        bypassMix = rampStep(bypassMix, bypassTarget, bypassRampRemaining);
        out[i] = static_cast<float>(static_cast<double>(x) + (y - static_cast<double>(x)) * static_cast<double>(bypassMix));
    }
}

void ShelvingFilterProcessor::reset() noexcept
{
    lowFirst.reset();
    highFirst.reset();
    lowSecond.reset();
    highSecond.reset();
    orderMix = orderMixTarget;
    orderRampRemaining = 0;
    bypassMix = bypassed ? 0.0f : 1.0f;
    bypassRampRemaining = 0;
}
