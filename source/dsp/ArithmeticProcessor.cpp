#include "dsp/ArithmeticProcessor.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{
bool nearlyEqual(double a, double b)
{
    return std::abs(a - b) <= 0x1p-52 * std::max(std::abs(a), std::abs(b));
}

double finiteOrZero(double v) { return std::isfinite(v) ? v : 0.0; }
} // namespace

void ArithmeticProcessor::prepare(double rate, double step) noexcept
{
    if (std::isfinite(rate) && rate > 0.0)
        sampleRate = rate;
    if (std::isfinite(step) && step > 0.0)
        mixStep = step;
}

bool ArithmeticProcessor::setParams(Operation op, bool bypass, double floorDb, double limitDb) noexcept
{
    const auto code = static_cast<std::int32_t>(op);
    if (code < 0 || code > 3 || !std::isfinite(floorDb) || floorDb < -180.0 || floorDb > -20.0
        || !(limitDb >= 0.0 && limitDb <= 60.0))
        return false;

    if (configured && op == lastOperation && bypass == bypassed && nearlyEqual(floorDb, lastFloorDb)
        && nearlyEqual(limitDb, lastLimitDb))
        return true;

    operation = op;
    divideFloor = std::pow(10.0, floorDb / 20.0);
    divideLimit = std::pow(10.0, limitDb / 20.0);
    mixTarget = bypass ? 0.0 : 1.0;
    if (!configured)
        mixCurrent = mixTarget;

    lastOperation = op;
    lastFloorDb = floorDb;
    lastLimitDb = limitDb;
    bypassed = bypass;
    configured = true;
    return true;
}

namespace
{
template <ArithmeticProcessor::Operation op>
double combine(double x, double y, double floor, double limit) noexcept
{
    using Op = ArithmeticProcessor::Operation;
    if constexpr (op == Op::Add)
        return x + y;
    else if constexpr (op == Op::Subtract)
        return x - y;
    else if constexpr (op == Op::Multiply)
        return x * y;
    else
    {
        const double magnitude = std::abs(y);
        if (magnitude <= floor)
            return 0.0;
        // Fades the quotient in from the floor to four times the floor.
        const double t = std::clamp((magnitude - floor) / (3.0 * floor), 0.0, 1.0);
        const double q = std::clamp(x / y, -limit, limit);
        return t * t * (3.0 - 2.0 * t) * q;
    }
}
} // namespace

template <ArithmeticProcessor::Operation op>
void ArithmeticProcessor::run(const float* a, const float* b, float* out, unsigned n) noexcept
{
    constexpr double floatMax = std::numeric_limits<float>::max();
    const double floor = divideFloor;
    const double limit = divideLimit;
    for (unsigned i = 0; i < n; ++i)
    {
        const double x = a != nullptr ? finiteOrZero(a[i]) : 0.0;
        const double y = b != nullptr ? finiteOrZero(b[i]) : 0.0;
        const double result = finiteOrZero(combine<op>(x, y, floor, limit));

        // Lands on the target when the rest is within rounding of one step, so
        // 1 / step samples really end the fade.
        if (mixCurrent != mixTarget)
        {
            const double rest = mixTarget - mixCurrent;
            mixCurrent = std::abs(rest) <= mixStep * (1.0 + 1e-9) ? mixTarget
                                                                  : mixCurrent + (rest > 0.0 ? mixStep : -mixStep);
        }

        const double mixed = finiteOrZero(x + (result - x) * mixCurrent);
        out[i] = static_cast<float>(std::clamp(mixed, -floatMax, floatMax));
    }
}

void ArithmeticProcessor::processBlock(const float* a, const float* b, float* out, unsigned n) noexcept
{
    if (out == nullptr)
        return;
    switch (operation)
    {
        case Operation::Add: run<Operation::Add>(a, b, out, n); break;
        case Operation::Subtract: run<Operation::Subtract>(a, b, out, n); break;
        case Operation::Multiply: run<Operation::Multiply>(a, b, out, n); break;
        case Operation::Divide: run<Operation::Divide>(a, b, out, n); break;
    }
}
