#pragma once

#include "dsp/IirSections.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

// Crossover filters for the High Pass and Low Pass Filter blocks. Every shape
// (first order, second order with Q, Butterworth 1-8, Linkwitz-Riley 2/4/6/8)
// lives in one bank that the message thread reconfigures while audio runs:
// a new configuration is published under a sequence counter, picked up at the
// start of an audio block and faded in by running the old and the new filter
// side by side for 5 ms.

enum class CrossoverFilterType : std::uint8_t
{
    firstOrder = 0,
    secondOrder = 1, // uses Q
    butterworth = 2,
    linkwitzRiley = 3,
};

// The type a High or Low Pass block runs: orders 1 and 2 have their own
// designs, higher orders are Butterworth or Linkwitz-Riley by shape.
constexpr CrossoverFilterType crossoverType(int order, bool linkwitzRiley) noexcept
{
    if (order < 2)
        return CrossoverFilterType::firstOrder;
    if (order == 2)
        return CrossoverFilterType::secondOrder;
    return linkwitzRiley ? CrossoverFilterType::linkwitzRiley : CrossoverFilterType::butterworth;
}

struct CrossoverFilterConfiguration
{
    CrossoverFilterType type = CrossoverFilterType::secondOrder;
    std::int32_t order = 2;
    double frequencyHz = 1000.0;
    double q = 0.7071067811865476;
    bool bypassed = false;

    // Type and order exactly, frequency and Q within 2^-52 relative; the
    // bypass flag travels separately and is not compared.
    bool operator==(const CrossoverFilterConfiguration& other) const noexcept;
};

// The sections a path is currently running, in cascade order, for response
// evaluation by the analyzer and the tests.
struct CrossoverCascadeCoefficients
{
    static constexpr unsigned capacity = 8;
    std::array<BiquadCoefficients, capacity> sections {};
    unsigned count = 0;

    void add(const BiquadCoefficients& c) noexcept
    {
        if (count < capacity)
            sections[count++] = c;
    }
};

// Section classes of one side of the crossover.
template <bool IsHighPass>
struct CrossoverSectionTypes;

template <>
struct CrossoverSectionTypes<true>
{
    using FirstOrder = HighPassFilter1st;
    using SecondOrder = HighPassFilter2nd;
    using Butterworth2nd = HighPassFilterButterworth2nd;
    using Butterworth3rd = HighPassFilterButterworth3rd;
    using Butterworth4th = HighPassFilterButterworth4th;
    using Butterworth5th = ButterworthFilter<5, true>;
    using Butterworth6th = ButterworthFilter<6, true>;
    using Butterworth7th = HighPassFilterButterworth7th;
    using Butterworth8th = HighPassFilterButterworth8th;
};

template <>
struct CrossoverSectionTypes<false>
{
    using FirstOrder = LowPassFilter1st;
    using SecondOrder = LowPassFilter2nd;
    using Butterworth2nd = LowPassFilterButterworth2nd;
    using Butterworth3rd = LowPassFilterButterworth3rd;
    using Butterworth4th = LowPassFilterButterworth4th;
    using Butterworth5th = ButterworthFilter<5, false>;
    using Butterworth6th = ButterworthFilter<6, false>;
    using Butterworth7th = LowPassFilterButterworth7th;
    using Butterworth8th = LowPassFilterButterworth8th;
};

// Butterworth filter of any order 1 ... 8; only the selected order is
// designed and run.
template <bool IsHighPass>
class CrossoverButterworthBank
{
    using Sections = CrossoverSectionTypes<IsHighPass>;

public:
    explicit CrossoverButterworthBank(double sampleRate) noexcept;

    // Selects the order (clamped to 1 ... 8) and the cutoff, then designs.
    bool configure(int order, double frequencyHz) noexcept;
    // Designs the sections of the selected order at the stored cutoff (clamped
    // to 1 ... 0.499 x rate; each section to 10 ... 0.499 x rate).
    bool applyToSelected() noexcept;

    float processSample(float x) noexcept;
    // In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
    void reset() noexcept;
    void resetSelected() noexcept;

    int getOrder() const noexcept { return selectedOrder; }
    double getCutoff() const noexcept { return cutoffHz; }
    double getSampleRate() const noexcept { return rate; }
    bool isUnusable() const noexcept { return unusable; }
    void appendCoefficients(CrossoverCascadeCoefficients& out) const noexcept;

private:
    double rate;
    int selectedOrder = 2;
    double cutoffHz;
    bool unusable;

    typename Sections::FirstOrder orderOne;
    typename Sections::Butterworth2nd orderTwo;
    typename Sections::Butterworth3rd orderThree;
    typename Sections::Butterworth4th orderFour;
    typename Sections::Butterworth5th orderFive;
    typename Sections::Butterworth6th orderSix;
    typename Sections::Butterworth7th orderSeven;
    typename Sections::Butterworth8th orderEight;
};

// A Linkwitz-Riley filter of order 2N: a Butterworth filter of order N twice.
template <typename Butterworth>
class LinkwitzRileyPair
{
public:
    explicit LinkwitzRileyPair(double sampleRate) noexcept : firstHalf(sampleRate), secondHalf(sampleRate) {}

    bool setParams(double frequencyHz) noexcept
    {
        Butterworth a = firstHalf;
        Butterworth b = secondHalf;
        if (! a.setParams(frequencyHz) || ! b.setParams(frequencyHz))
            return false;
        firstHalf = a;
        secondHalf = b;
        return true;
    }

    float processSample(float x) noexcept { return secondHalf.processSample(firstHalf.processSample(x)); }

    void processBlock(const float* in, float* out, unsigned numSamples) noexcept
    {
        firstHalf.processBlock(in, out, numSamples);
        secondHalf.processBlock(out, out, numSamples);
    }

    void reset() noexcept
    {
        firstHalf.reset();
        secondHalf.reset();
    }

    const Butterworth& first() const noexcept { return firstHalf; }
    const Butterworth& second() const noexcept { return secondHalf; }

private:
    Butterworth firstHalf;
    Butterworth secondHalf;
};

class HighPassFilterLinkwitz6th : public LinkwitzRileyPair<HighPassFilterButterworth3rd>
{
public:
    using LinkwitzRileyPair::LinkwitzRileyPair;
};
class HighPassFilterLinkwitz8th : public LinkwitzRileyPair<HighPassFilterButterworth4th>
{
public:
    using LinkwitzRileyPair::LinkwitzRileyPair;
};
class LowPassFilterLinkwitz6th : public LinkwitzRileyPair<LowPassFilterButterworth3rd>
{
public:
    using LinkwitzRileyPair::LinkwitzRileyPair;
};
class LowPassFilterLinkwitz8th : public LinkwitzRileyPair<LowPassFilterButterworth4th>
{
public:
    using LinkwitzRileyPair::LinkwitzRileyPair;
};

template <bool IsHighPass>
struct CrossoverLinkwitzTypes;
template <>
struct CrossoverLinkwitzTypes<true>
{
    using Sixth = HighPassFilterLinkwitz6th;
    using Eighth = HighPassFilterLinkwitz8th;
};
template <>
struct CrossoverLinkwitzTypes<false>
{
    using Sixth = LowPassFilterLinkwitz6th;
    using Eighth = LowPassFilterLinkwitz8th;
};

// Linkwitz-Riley filter of order 2, 4, 6 or 8; only the selected order runs.
template <bool IsHighPass>
class CrossoverLinkwitzBank
{
    using Sections = CrossoverSectionTypes<IsHighPass>;

public:
    explicit CrossoverLinkwitzBank(double sampleRate) noexcept;

    // Order up to 2 -> 2, 3-4 -> 4, 5-6 -> 6, 7 and above -> 8. Fails for an
    // unusable rate or a non-finite frequency and keeps the previous design.
    bool configure(int order, double frequencyHz) noexcept;

    float processSample(float x) noexcept;
    // In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
    void reset() noexcept;
    void resetSelected() noexcept;

    static int normaliseOrder(int order) noexcept;

    int getOrder() const noexcept { return selectedOrder; }
    double getCutoff() const noexcept { return cutoffHz; }
    double getSampleRate() const noexcept { return rate; }
    bool isUnusable() const noexcept { return unusable; }
    void appendCoefficients(CrossoverCascadeCoefficients& out) const noexcept;

private:
    double rate;
    int selectedOrder = 4;
    double cutoffHz;
    bool unusable;

    typename Sections::FirstOrder orderTwoA, orderTwoB;
    typename Sections::Butterworth2nd orderFourA, orderFourB;
    typename CrossoverLinkwitzTypes<IsHighPass>::Sixth orderSix;
    typename CrossoverLinkwitzTypes<IsHighPass>::Eighth orderEight;
};

class HighPassFilterButterworthBank : public CrossoverButterworthBank<true>
{
public:
    using CrossoverButterworthBank::CrossoverButterworthBank;
};
class LowPassFilterButterworthBank : public CrossoverButterworthBank<false>
{
public:
    using CrossoverButterworthBank::CrossoverButterworthBank;
};
class HighPassFilterLinkwitzBank : public CrossoverLinkwitzBank<true>
{
public:
    using CrossoverLinkwitzBank::CrossoverLinkwitzBank;
};
class LowPassFilterLinkwitzBank : public CrossoverLinkwitzBank<false>
{
public:
    using CrossoverLinkwitzBank::CrossoverLinkwitzBank;
};

template <bool IsHighPass>
struct CrossoverBankTypes;
template <>
struct CrossoverBankTypes<true>
{
    using Butterworth = HighPassFilterButterworthBank;
    using Linkwitz = HighPassFilterLinkwitzBank;
};
template <>
struct CrossoverBankTypes<false>
{
    using Butterworth = LowPassFilterButterworthBank;
    using Linkwitz = LowPassFilterLinkwitzBank;
};

// The shared implementation of HighPassFilterBank and LowPassFilterBank.
//
// Threads: setParams and setBypassed on the message thread (serialised by the
// writer lock); processBlock on the audio thread, which never locks and reads
// the published fields as a sequence lock; construction and reset only while
// the audio thread cannot reach the bank. The inspection accessors below the
// audio-side comment belong to whichever thread runs processBlock.
template <bool IsHighPass>
class CrossoverFilterBank
{
    using Sections = CrossoverSectionTypes<IsHighPass>;

public:
    using Type = CrossoverFilterType;
    using Configuration = CrossoverFilterConfiguration;

    // One complete filter that can realise any configuration.
    class FilterPath
    {
    public:
        explicit FilterPath(double sampleRate) noexcept;

        // Designs the filter the configuration selects; false keeps the old design.
        bool design(const Configuration& c) noexcept;
        float processSample(float x) noexcept;
        // In place allowed.
        void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
        // Clears the states of every filter, or only of the selected one.
        void reset() noexcept;
        void resetSelected() noexcept;
        // Whether both paths run the same filter object (so its states carry over).
        bool sharesFilterWith(const Configuration& c) const noexcept;
        CrossoverCascadeCoefficients coefficients() const noexcept;

        Configuration configuration;
        typename Sections::FirstOrder firstOrder;
        typename Sections::SecondOrder secondOrder;
        typename CrossoverBankTypes<IsHighPass>::Butterworth butterworth;
        typename CrossoverBankTypes<IsHighPass>::Linkwitz linkwitz;
    };

    explicit CrossoverFilterBank(double sampleRate);
    CrossoverFilterBank(const CrossoverFilterBank&) = delete;
    CrossoverFilterBank& operator=(const CrossoverFilterBank&) = delete;

    // Message thread. Validates (false for an unusable bank, a non-finite
    // frequency or Q, or an unknown type), normalises the order, clamps the
    // frequency and Q, and publishes when anything changed.
    bool setParams(Type type, int order, double frequencyHz, double q);
    void setBypassed(bool shouldBeBypassed);

    // Audio thread. In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;

    // Audio quiescent: lands on the newest configuration without a fade and
    // clears every filter state.
    void reset() noexcept;

    // The order a request is realised with.
    static int normaliseOrder(Type type, int order) noexcept;

    double getSampleRate() const noexcept { return rate; }
    bool isUsable() const noexcept { return usable; }

    // Writer side: what was last published.
    Configuration publishedConfiguration() const noexcept;
    std::int64_t publishedSequence() const noexcept { return sequence.load(std::memory_order_acquire); }

    // Audio side.
    Configuration activeConfiguration() const noexcept;
    const Configuration& transitionTarget() const noexcept { return targetConfig; }
    bool isTransitionRunning() const noexcept { return transitionRemaining != 0; }
    std::uint32_t transitionLength() const noexcept { return transitionTotal; }
    std::uint32_t transitionSamplesRemaining() const noexcept { return transitionRemaining; }
    bool hasQueuedConfiguration() const noexcept { return queued; }
    const Configuration& queuedConfiguration() const noexcept { return queuedConfig; }
    bool isBypassed() const noexcept { return bypassed; }
    bool isBypassRampRunning() const noexcept { return mixRemaining != 0; }
    double bypassMix() const noexcept { return mixCurrent; }
    // Sections of the filter the current path runs.
    CrossoverCascadeCoefficients activeCoefficients() const noexcept { return currentPath().coefficients(); }

private:
    // Lets tests hold a write half-done, which no real interleaving does on demand.
    friend struct CrossoverFilterBankProbe;

    void synchronizePublishedConfiguration() noexcept;
    void startFilterTransition(const Configuration& c) noexcept;
    void finishFilterTransition() noexcept;
    void startBypassRamp() noexcept;
    float processSlowSample(float x) noexcept;
    void publishLocked(const Configuration& c) noexcept;
    Configuration readPublishedRelaxed() const noexcept;

    FilterPath& currentPath() noexcept { return paths[currentIndex]; }
    const FilterPath& currentPath() const noexcept { return paths[currentIndex]; }
    FilterPath& nextPath() noexcept { return paths[currentIndex ^ 1u]; }

    const double rate;
    const bool usable;
    const std::uint32_t fadeSamples;

    // Audio side. The current path is paths[currentIndex]; at the end of a
    // transition the indices swap instead of copying the path.
    std::array<FilterPath, 2> paths;
    unsigned currentIndex = 0;
    Configuration activeConfig;
    Configuration targetConfig;
    Configuration queuedConfig;
    bool queued = false;
    std::uint32_t transitionTotal = 0;
    std::uint32_t transitionRemaining = 0;

    bool bypassed = false;
    double mixCurrent = 1.0;
    double mixStart = 1.0;
    double mixTarget = 1.0;
    std::uint32_t mixTotal = 0;
    std::uint32_t mixRemaining = 0;
    std::int64_t consumedSequence = 0;

    // Writer side. The counter is odd while a write is in progress; every
    // field is an atomic so that a racing read is merely discarded, not
    // undefined.
    mutable std::mutex writerLock;
    std::atomic<std::int64_t> sequence { 0 };
    std::atomic<std::uint8_t> publishedType;
    std::atomic<std::int32_t> publishedOrder;
    std::atomic<double> publishedFrequencyHz;
    std::atomic<double> publishedQ;
    std::atomic<bool> publishedBypassed { false };
};

class HighPassFilterBank : public CrossoverFilterBank<true>
{
public:
    using CrossoverFilterBank::CrossoverFilterBank;
};

class LowPassFilterBank : public CrossoverFilterBank<false>
{
public:
    using CrossoverFilterBank::CrossoverFilterBank;
};
