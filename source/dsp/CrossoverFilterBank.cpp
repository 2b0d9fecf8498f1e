#include "dsp/CrossoverFilterBank.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{
bool nearlyEqual(double a, double b) noexcept
{
    if (a == b)
        return true;
    constexpr double tolerance = 0x1p-52;
    return std::fabs(a - b) <= tolerance * std::max(std::fabs(a), std::fabs(b));
}

void copyUnlessInPlace(const float* in, float* out, unsigned numSamples) noexcept
{
    if (in != out && numSamples > 0)
        std::memmove(out, in, numSamples * sizeof(float));
}

template <typename Filter>
void appendSectionsOf(const Filter& filter, CrossoverCascadeCoefficients& out) noexcept
{
    for (int i = 0; i < Filter::numSections; ++i)
        out.add(filter.sectionCoefficients(i));
}

template <typename Pair>
void appendPair(const Pair& pair, CrossoverCascadeCoefficients& out) noexcept
{
    appendSectionsOf(pair.first(), out);
    appendSectionsOf(pair.second(), out);
}
} // namespace

bool CrossoverFilterConfiguration::operator==(const CrossoverFilterConfiguration& other) const noexcept
{
    return type == other.type && order == other.order && nearlyEqual(frequencyHz, other.frequencyHz)
        && nearlyEqual(q, other.q);
}

// ---------------------------------------------------------------------------

template <bool IsHighPass>
CrossoverButterworthBank<IsHighPass>::CrossoverButterworthBank(double sampleRate) noexcept
    : rate(sampleRate),
      cutoffHz(0.5 * sampleRate),
      unusable(! IirDesign::isUsableRate(sampleRate)),
      orderOne(sampleRate),
      orderTwo(sampleRate),
      orderThree(sampleRate),
      orderFour(sampleRate),
      orderFive(sampleRate),
      orderSix(sampleRate),
      orderSeven(sampleRate),
      orderEight(sampleRate)
{
    if (! unusable)
        applyToSelected();
}

template <bool IsHighPass>
bool CrossoverButterworthBank<IsHighPass>::configure(int order, double frequencyHz) noexcept
{
    if (unusable || ! std::isfinite(frequencyHz))
        return false;
    selectedOrder = std::clamp(order, 1, 8);
    cutoffHz = frequencyHz;
    return applyToSelected();
}

template <bool IsHighPass>
bool CrossoverButterworthBank<IsHighPass>::applyToSelected() noexcept
{
    if (unusable || ! std::isfinite(cutoffHz))
        return false;
    cutoffHz = std::clamp(cutoffHz, 1.0, IirDesign::maximumFrequencyRatio * rate);
    switch (selectedOrder)
    {
        case 1: return orderOne.setParams(cutoffHz);
        case 2: return orderTwo.setParams(cutoffHz);
        case 3: return orderThree.setParams(cutoffHz);
        case 4: return orderFour.setParams(cutoffHz);
        case 5: return orderFive.setParams(cutoffHz);
        case 6: return orderSix.setParams(cutoffHz);
        case 7: return orderSeven.setParams(cutoffHz);
        case 8: return orderEight.setParams(cutoffHz);
        default: return false;
    }
}

template <bool IsHighPass>
float CrossoverButterworthBank<IsHighPass>::processSample(float x) noexcept
{
    if (unusable)
        return 0.0f;
    switch (selectedOrder)
    {
        case 1: return orderOne.processSample(x);
        case 2: return orderTwo.processSample(x);
        case 3: return orderThree.processSample(x);
        case 4: return orderFour.processSample(x);
        case 5: return orderFive.processSample(x);
        case 6: return orderSix.processSample(x);
        case 7: return orderSeven.processSample(x);
        case 8: return orderEight.processSample(x);
        default: return 0.0f;
    }
}

template <bool IsHighPass>
void CrossoverButterworthBank<IsHighPass>::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    switch (unusable ? 0 : selectedOrder)
    {
        case 1: orderOne.processBlock(in, out, numSamples); return;
        case 2: orderTwo.processBlock(in, out, numSamples); return;
        case 3: orderThree.processBlock(in, out, numSamples); return;
        case 4: orderFour.processBlock(in, out, numSamples); return;
        case 5: orderFive.processBlock(in, out, numSamples); return;
        case 6: orderSix.processBlock(in, out, numSamples); return;
        case 7: orderSeven.processBlock(in, out, numSamples); return;
        case 8: orderEight.processBlock(in, out, numSamples); return;
        default: std::fill(out, out + numSamples, 0.0f); return;
    }
}

template <bool IsHighPass>
void CrossoverButterworthBank<IsHighPass>::reset() noexcept
{
    orderOne.reset();
    orderTwo.reset();
    orderThree.reset();
    orderFour.reset();
    orderFive.reset();
    orderSix.reset();
    orderSeven.reset();
    orderEight.reset();
}

template <bool IsHighPass>
void CrossoverButterworthBank<IsHighPass>::resetSelected() noexcept
{
    switch (selectedOrder)
    {
        case 1: orderOne.reset(); break;
        case 2: orderTwo.reset(); break;
        case 3: orderThree.reset(); break;
        case 4: orderFour.reset(); break;
        case 5: orderFive.reset(); break;
        case 6: orderSix.reset(); break;
        case 7: orderSeven.reset(); break;
        case 8: orderEight.reset(); break;
        default: break;
    }
}

template <bool IsHighPass>
void CrossoverButterworthBank<IsHighPass>::appendCoefficients(CrossoverCascadeCoefficients& out) const noexcept
{
    if (unusable)
    {
        out.add(BiquadCoefficients::silence());
        return;
    }
    switch (selectedOrder)
    {
        case 1: out.add(orderOne.coefficients()); break;
        case 2: appendSectionsOf(orderTwo, out); break;
        case 3: appendSectionsOf(orderThree, out); break;
        case 4: appendSectionsOf(orderFour, out); break;
        case 5: appendSectionsOf(orderFive, out); break;
        case 6: appendSectionsOf(orderSix, out); break;
        case 7: appendSectionsOf(orderSeven, out); break;
        case 8: appendSectionsOf(orderEight, out); break;
        default: break;
    }
}

// ---------------------------------------------------------------------------

template <bool IsHighPass>
CrossoverLinkwitzBank<IsHighPass>::CrossoverLinkwitzBank(double sampleRate) noexcept
    : rate(sampleRate),
      cutoffHz(0.5 * sampleRate),
      unusable(! IirDesign::isUsableRate(sampleRate)),
      orderTwoA(sampleRate),
      orderTwoB(sampleRate),
      orderFourA(sampleRate),
      orderFourB(sampleRate),
      orderSix(sampleRate),
      orderEight(sampleRate)
{
    if (! unusable)
        configure(selectedOrder, cutoffHz);
}

template <bool IsHighPass>
int CrossoverLinkwitzBank<IsHighPass>::normaliseOrder(int order) noexcept
{
    if (order <= 2)
        return 2;
    if (order <= 4)
        return 4;
    if (order <= 6)
        return 6;
    return 8;
}

template <bool IsHighPass>
bool CrossoverLinkwitzBank<IsHighPass>::configure(int order, double frequencyHz) noexcept
{
    if (unusable || ! std::isfinite(frequencyHz))
        return false;
    const double f = IirDesign::clampFrequency(frequencyHz, rate);
    const int n = normaliseOrder(order);
    bool ok = false;
    switch (n)
    {
        case 2:
        {
            auto a = orderTwoA;
            auto b = orderTwoB;
            ok = a.setParams(f) && b.setParams(f);
            if (ok)
            {
                orderTwoA = a;
                orderTwoB = b;
            }
            break;
        }
        case 4:
        {
            auto a = orderFourA;
            auto b = orderFourB;
            ok = a.setParams(f) && b.setParams(f);
            if (ok)
            {
                orderFourA = a;
                orderFourB = b;
            }
            break;
        }
        case 6: ok = orderSix.setParams(f); break;
        default: ok = orderEight.setParams(f); break;
    }
    if (! ok)
        return false;
    selectedOrder = n;
    cutoffHz = f;
    return true;
}

template <bool IsHighPass>
float CrossoverLinkwitzBank<IsHighPass>::processSample(float x) noexcept
{
    if (unusable)
        return 0.0f;
    switch (selectedOrder)
    {
        case 2: return orderTwoB.processSample(orderTwoA.processSample(x));
        case 4: return orderFourB.processSample(orderFourA.processSample(x));
        case 6: return orderSix.processSample(x);
        default: return orderEight.processSample(x);
    }
}

template <bool IsHighPass>
void CrossoverLinkwitzBank<IsHighPass>::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    if (unusable)
    {
        std::fill(out, out + numSamples, 0.0f);
        return;
    }
    switch (selectedOrder)
    {
        case 2:
            orderTwoA.processBlock(in, out, numSamples);
            orderTwoB.processBlock(out, out, numSamples);
            return;
        case 4:
            orderFourA.processBlock(in, out, numSamples);
            orderFourB.processBlock(out, out, numSamples);
            return;
        case 6: orderSix.processBlock(in, out, numSamples); return;
        default: orderEight.processBlock(in, out, numSamples); return;
    }
}

template <bool IsHighPass>
void CrossoverLinkwitzBank<IsHighPass>::reset() noexcept
{
    orderTwoA.reset();
    orderTwoB.reset();
    orderFourA.reset();
    orderFourB.reset();
    orderSix.reset();
    orderEight.reset();
}

template <bool IsHighPass>
void CrossoverLinkwitzBank<IsHighPass>::resetSelected() noexcept
{
    switch (selectedOrder)
    {
        case 2:
            orderTwoA.reset();
            orderTwoB.reset();
            break;
        case 4:
            orderFourA.reset();
            orderFourB.reset();
            break;
        case 6: orderSix.reset(); break;
        default: orderEight.reset(); break;
    }
}

template <bool IsHighPass>
void CrossoverLinkwitzBank<IsHighPass>::appendCoefficients(CrossoverCascadeCoefficients& out) const noexcept
{
    if (unusable)
    {
        out.add(BiquadCoefficients::silence());
        return;
    }
    switch (selectedOrder)
    {
        case 2:
            out.add(orderTwoA.coefficients());
            out.add(orderTwoB.coefficients());
            break;
        case 4:
            appendSectionsOf(orderFourA, out);
            appendSectionsOf(orderFourB, out);
            break;
        case 6: appendPair(orderSix, out); break;
        default: appendPair(orderEight, out); break;
    }
}

// ---------------------------------------------------------------------------

template <bool IsHighPass>
CrossoverFilterBank<IsHighPass>::FilterPath::FilterPath(double sampleRate) noexcept
    : firstOrder(sampleRate), secondOrder(sampleRate), butterworth(sampleRate), linkwitz(sampleRate)
{
}

template <bool IsHighPass>
bool CrossoverFilterBank<IsHighPass>::FilterPath::design(const Configuration& c) noexcept
{
    bool ok = false;
    switch (c.type)
    {
        case Type::firstOrder: ok = firstOrder.setParams(c.frequencyHz); break;
        case Type::secondOrder: ok = secondOrder.setParams(c.frequencyHz, c.q); break;
        case Type::butterworth:
        {
            const double pathRate = butterworth.getSampleRate();
            ok = butterworth.configure(std::clamp(static_cast<int>(c.order), 1, 8),
                                       IirDesign::clampFrequency(c.frequencyHz, pathRate));
            break;
        }
        case Type::linkwitzRiley: ok = linkwitz.configure(c.order, c.frequencyHz); break;
    }
    if (ok)
        configuration = c;
    return ok;
}

template <bool IsHighPass>
float CrossoverFilterBank<IsHighPass>::FilterPath::processSample(float x) noexcept
{
    switch (configuration.type)
    {
        case Type::firstOrder: return firstOrder.processSample(x);
        case Type::secondOrder: return secondOrder.processSample(x);
        case Type::butterworth: return butterworth.processSample(x);
        case Type::linkwitzRiley: return linkwitz.processSample(x);
    }
    return 0.0f;
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::FilterPath::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    switch (configuration.type)
    {
        case Type::firstOrder: firstOrder.processBlock(in, out, numSamples); return;
        case Type::secondOrder: secondOrder.processBlock(in, out, numSamples); return;
        case Type::butterworth: butterworth.processBlock(in, out, numSamples); return;
        case Type::linkwitzRiley: linkwitz.processBlock(in, out, numSamples); return;
    }
    std::fill(out, out + numSamples, 0.0f);
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::FilterPath::reset() noexcept
{
    firstOrder.reset();
    secondOrder.reset();
    butterworth.reset();
    linkwitz.reset();
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::FilterPath::resetSelected() noexcept
{
    switch (configuration.type)
    {
        case Type::firstOrder: firstOrder.reset(); break;
        case Type::secondOrder: secondOrder.reset(); break;
        case Type::butterworth: butterworth.resetSelected(); break;
        case Type::linkwitzRiley: linkwitz.resetSelected(); break;
    }
}

template <bool IsHighPass>
bool CrossoverFilterBank<IsHighPass>::FilterPath::sharesFilterWith(const Configuration& c) const noexcept
{
    if (c.type != configuration.type)
        return false;
    if (c.type == Type::butterworth)
        return std::clamp(static_cast<int>(c.order), 1, 8) == butterworth.getOrder();
    if (c.type == Type::linkwitzRiley)
        return decltype(linkwitz)::normaliseOrder(c.order) == linkwitz.getOrder();
    return true;
}

template <bool IsHighPass>
CrossoverCascadeCoefficients CrossoverFilterBank<IsHighPass>::FilterPath::coefficients() const noexcept
{
    CrossoverCascadeCoefficients out;
    switch (configuration.type)
    {
        case Type::firstOrder: out.add(firstOrder.coefficients()); break;
        case Type::secondOrder: out.add(secondOrder.coefficients()); break;
        case Type::butterworth: butterworth.appendCoefficients(out); break;
        case Type::linkwitzRiley: linkwitz.appendCoefficients(out); break;
    }
    return out;
}

// ---------------------------------------------------------------------------

template <bool IsHighPass>
CrossoverFilterBank<IsHighPass>::CrossoverFilterBank(double sampleRate)
    : rate(sampleRate),
      usable(IirDesign::isUsableRate(sampleRate)),
      fadeSamples(IirDesign::crossfadeSamples(usable ? sampleRate : 0.0)),
      paths { FilterPath(sampleRate), FilterPath(sampleRate) }
{
    static_assert(std::atomic<double>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free,
                  "the audio thread reads the published configuration without locks");

    Configuration initial;
    if (usable)
    {
        initial.frequencyHz = IirDesign::clampFrequency(initial.frequencyHz, rate);
        paths[0].design(initial);
        paths[1] = paths[0];
    }
    activeConfig = targetConfig = queuedConfig = initial;
    publishedType.store(static_cast<std::uint8_t>(initial.type), std::memory_order_relaxed);
    publishedOrder.store(initial.order, std::memory_order_relaxed);
    publishedFrequencyHz.store(initial.frequencyHz, std::memory_order_relaxed);
    publishedQ.store(initial.q, std::memory_order_relaxed);
}

template <bool IsHighPass>
int CrossoverFilterBank<IsHighPass>::normaliseOrder(Type type, int order) noexcept
{
    switch (type)
    {
        case Type::firstOrder: return 1;
        case Type::secondOrder: return 2;
        case Type::butterworth: return std::clamp(order, 1, 8);
        case Type::linkwitzRiley: return CrossoverLinkwitzBank<IsHighPass>::normaliseOrder(order);
    }
    return order;
}

template <bool IsHighPass>
bool CrossoverFilterBank<IsHighPass>::setParams(Type type, int order, double frequencyHz, double q)
{
    const std::lock_guard lock(writerLock);
    if (! usable || ! std::isfinite(frequencyHz) || ! std::isfinite(q))
        return false;
    if (static_cast<std::uint8_t>(type) > static_cast<std::uint8_t>(Type::linkwitzRiley))
        return false;

    Configuration c;
    c.type = type;
    c.order = normaliseOrder(type, order);
    c.frequencyHz = IirDesign::clampFrequency(frequencyHz, rate);
    c.q = IirDesign::clampQ(q);
    const Configuration published = readPublishedRelaxed();
    if (! (c == published))
    {
        c.bypassed = published.bypassed;
        publishLocked(c);
    }
    return true;
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::setBypassed(bool shouldBeBypassed)
{
    const std::lock_guard lock(writerLock);
    Configuration c = readPublishedRelaxed();
    if (c.bypassed == shouldBeBypassed)
        return;
    c.bypassed = shouldBeBypassed;
    publishLocked(c);
}

template <bool IsHighPass>
CrossoverFilterConfiguration CrossoverFilterBank<IsHighPass>::readPublishedRelaxed() const noexcept
{
    Configuration c;
    c.type = static_cast<Type>(publishedType.load(std::memory_order_relaxed));
    c.order = publishedOrder.load(std::memory_order_relaxed);
    c.frequencyHz = publishedFrequencyHz.load(std::memory_order_relaxed);
    c.q = publishedQ.load(std::memory_order_relaxed);
    c.bypassed = publishedBypassed.load(std::memory_order_relaxed);
    return c;
}

template <bool IsHighPass>
CrossoverFilterConfiguration CrossoverFilterBank<IsHighPass>::publishedConfiguration() const noexcept
{
    // Writers hold the lock, so outside a write the fields are stable.
    const std::lock_guard lock(writerLock);
    return readPublishedRelaxed();
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::publishLocked(const Configuration& c) noexcept
{
    // Odd while writing. Each field store is a release so that a reader that
    // sees any new field also sees the odd count when it re-reads the counter.
    const std::int64_t s = sequence.load(std::memory_order_relaxed);
    sequence.store(s + 1, std::memory_order_relaxed);
    publishedType.store(static_cast<std::uint8_t>(c.type), std::memory_order_release);
    publishedOrder.store(c.order, std::memory_order_release);
    publishedFrequencyHz.store(c.frequencyHz, std::memory_order_release);
    publishedQ.store(c.q, std::memory_order_release);
    publishedBypassed.store(c.bypassed, std::memory_order_release);
    sequence.store(s + 2, std::memory_order_release);
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::synchronizePublishedConfiguration() noexcept
{
    const std::int64_t before = sequence.load(std::memory_order_acquire);
    if ((before & 1) != 0 || before == consumedSequence)
        return;

    Configuration c;
    c.type = static_cast<Type>(publishedType.load(std::memory_order_acquire));
    c.order = publishedOrder.load(std::memory_order_acquire);
    c.frequencyHz = publishedFrequencyHz.load(std::memory_order_acquire);
    c.q = publishedQ.load(std::memory_order_acquire);
    c.bypassed = publishedBypassed.load(std::memory_order_acquire);
    if (sequence.load(std::memory_order_acquire) != before)
        return; // raced a write; the next block retries
    consumedSequence = before;

    if (c.bypassed != bypassed)
    {
        bypassed = c.bypassed;
        startBypassRamp();
    }

    if (transitionRemaining != 0)
    {
        if (c == targetConfig)
            queued = false;
        else
        {
            queuedConfig = c;
            queued = true;
        }
    }
    else if (! (c == activeConfig))
    {
        startFilterTransition(c);
    }
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::startFilterTransition(const Configuration& c) noexcept
{
    FilterPath& next = nextPath();
    next = currentPath();
    const bool shared = next.sharesFilterWith(c);
    if (! next.design(c))
        return;
    // A filter the current path was not running holds states from whenever it
    // last ran; starting it from silence fades in cleanly.
    if (! shared)
        next.resetSelected();

    targetConfig = c;
    targetConfig.bypassed = false;
    transitionTotal = transitionRemaining = fadeSamples;
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::finishFilterTransition() noexcept
{
    currentIndex ^= 1u;
    activeConfig = targetConfig;
    if (queued)
    {
        queued = false;
        if (! (queuedConfig == activeConfig))
            startFilterTransition(queuedConfig);
    }
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::startBypassRamp() noexcept
{
    mixStart = mixCurrent;
    mixTarget = bypassed ? 0.0 : 1.0;
    mixTotal = mixRemaining = fadeSamples;
}

template <bool IsHighPass>
float CrossoverFilterBank<IsHighPass>::processSlowSample(float x) noexcept
{
    float y = currentPath().processSample(x);
    if (transitionRemaining != 0)
    {
        const float y2 = nextPath().processSample(x);
        const double w = static_cast<double>(transitionTotal - transitionRemaining + 1) / transitionTotal;
        y = static_cast<float>(y + (static_cast<double>(y2) - y) * w);
        if (--transitionRemaining == 0)
            finishFilterTransition();
    }

    if (mixRemaining != 0)
    {
        --mixRemaining;
        mixCurrent = mixRemaining == 0
            ? mixTarget
            : mixStart + (mixTarget - mixStart) * static_cast<double>(mixTotal - mixRemaining) / mixTotal;
        return static_cast<float>(x + (static_cast<double>(y) - x) * mixCurrent);
    }
    return bypassed ? x : y;
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    if (! usable)
    {
        copyUnlessInPlace(in, out, numSamples);
        return;
    }
    synchronizePublishedConfiguration();

    unsigned i = 0;
    for (; i < numSamples && (transitionRemaining != 0 || mixRemaining != 0); ++i)
        out[i] = processSlowSample(in[i]);
    if (i == numSamples)
        return;

    if (! bypassed)
    {
        currentPath().processBlock(in + i, out + i, numSamples - i);
        return;
    }
    // Bypassed: the filter keeps running so that un-bypassing starts from a current state.
    FilterPath& path = currentPath();
    for (; i < numSamples; ++i)
    {
        const float x = in[i];
        path.processSample(x);
        out[i] = x;
    }
}

template <bool IsHighPass>
void CrossoverFilterBank<IsHighPass>::reset() noexcept
{
    if (! usable)
        return;
    synchronizePublishedConfiguration();

    Configuration newest = queued ? queuedConfig : (transitionRemaining != 0 ? targetConfig : activeConfig);
    newest.bypassed = false;
    FilterPath& current = currentPath();
    if (! current.design(newest))
        newest = current.configuration;
    current.reset();
    nextPath() = current;

    activeConfig = targetConfig = queuedConfig = newest;
    queued = false;
    transitionTotal = transitionRemaining = 0;

    bypassed = publishedBypassed.load(std::memory_order_acquire);
    mixCurrent = mixStart = mixTarget = bypassed ? 0.0 : 1.0;
    mixTotal = mixRemaining = 0;
}

template <bool IsHighPass>
CrossoverFilterConfiguration CrossoverFilterBank<IsHighPass>::activeConfiguration() const noexcept
{
    Configuration c = activeConfig;
    c.bypassed = bypassed;
    return c;
}

template class CrossoverButterworthBank<true>;
template class CrossoverButterworthBank<false>;
template class CrossoverLinkwitzBank<true>;
template class CrossoverLinkwitzBank<false>;
template class CrossoverFilterBank<true>;
template class CrossoverFilterBank<false>;
