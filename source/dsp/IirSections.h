#pragma once

#include <cmath>
#include <cstdint>

// Recursive filter sections. Coefficients and states are double; audio in and
// out is float, and cascades round to float between their sections.

// H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2). First-order
// sections keep b2 = a2 = 0. The default set is the identity.
struct BiquadCoefficients
{
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;

    bool isFinite() const noexcept;
    bool operator==(const BiquadCoefficients&) const = default;

    static BiquadCoefficients identity() noexcept { return {}; }
    static BiquadCoefficients silence() noexcept { return { 0.0, 0.0, 0.0, 0.0, 0.0 }; }
};

// Design routines shared by every section. Each returns false, leaving `out`
// untouched, when the rate is unusable, an argument is not finite or the
// result is not finite. Frequencies are clamped to 10 Hz ... 0.499 x rate,
// Q to 0.1 ... 20 and gains to -20 ... +20 dB.
struct IirDesign
{
    static constexpr double minimumFrequencyHz = 10.0;
    static constexpr double maximumFrequencyRatio = 0.499;
    static constexpr double minimumQ = 0.1;
    static constexpr double maximumQ = 20.0;
    static constexpr double minimumGainDb = -20.0;
    static constexpr double maximumGainDb = 20.0;

    // Finite, and 0.499 x rate leaves room above the 10 Hz floor.
    static bool isUsableRate(double sampleRate) noexcept;
    static double clampFrequency(double frequencyHz, double sampleRate) noexcept;
    static double clampQ(double q) noexcept;
    static double clampGainDb(double gainDb) noexcept;
    // The 5 ms used by every click-free change: max(round(0.005 x rate), 1).
    static std::uint32_t crossfadeSamples(double sampleRate) noexcept;

    static bool lowPass1st(double sampleRate, double frequencyHz, BiquadCoefficients& out) noexcept;
    static bool highPass1st(double sampleRate, double frequencyHz, BiquadCoefficients& out) noexcept;
    static bool lowPass2nd(double sampleRate, double frequencyHz, double q, BiquadCoefficients& out) noexcept;
    static bool highPass2nd(double sampleRate, double frequencyHz, double q, BiquadCoefficients& out) noexcept;
    static bool peaking(double sampleRate, double frequencyHz, double gainDb, double q, BiquadCoefficients& out) noexcept;
    static bool lowShelf(double sampleRate, double frequencyHz, double gainDb, double q, BiquadCoefficients& out) noexcept;
    static bool highShelf(double sampleRate, double frequencyHz, double gainDb, double q, BiquadCoefficients& out) noexcept;

    // Q of the second-order sections of an order-n Butterworth filter, in
    // cascade order (ascending): index 0 ... n/2 - 1.
    static double butterworthQ(int order, int index) noexcept;
};

// One section in transposed direct form II, double precision.
class BiquadSection
{
public:
    const BiquadCoefficients& coefficients() const noexcept { return coeffs; }
    // Replaces the coefficients and keeps the states.
    void setCoefficients(const BiquadCoefficients& c) noexcept { coeffs = c; }

    double state1() const noexcept { return s1; }
    double state2() const noexcept { return s2; }
    void setState(double first, double second) noexcept
    {
        s1 = first;
        s2 = second;
    }
    void copyStateFrom(const BiquadSection& other) noexcept
    {
        s1 = other.s1;
        s2 = other.s2;
    }
    void reset() noexcept { s1 = s2 = 0.0; }

    float processSample(float input) noexcept
    {
        const double x = input;
        const double y = coeffs.b0 * x + s1;
        // Adding s2 before the feedback term keeps it off the recursion's critical path.
        s1 = (coeffs.b1 * x + s2) - coeffs.a1 * y;
        s2 = coeffs.b2 * x - coeffs.a2 * y;
        return static_cast<float>(y);
    }

    // In place allowed (in == out).
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept
    {
        const double b0 = coeffs.b0, b1 = coeffs.b1, b2 = coeffs.b2, a1 = coeffs.a1, a2 = coeffs.a2;
        double z1 = s1, z2 = s2;
        for (unsigned i = 0; i < numSamples; ++i)
        {
            const double x = in[i];
            const double y = b0 * x + z1;
            z1 = (b1 * x + z2) - a1 * y;
            z2 = b2 * x - a2 * y;
            out[i] = static_cast<float>(y);
        }
        s1 = z1;
        s2 = z2;
    }

private:
    BiquadCoefficients coeffs;
    double s1 = 0.0;
    double s2 = 0.0;
};

// A single section built for one sample rate. An unusable section (rate not
// finite, or 0.499 x rate below 10 Hz) has silent coefficients and outputs 0.
class IirFilterSection
{
public:
    double getSampleRate() const noexcept { return sampleRate; }
    double getFrequency() const noexcept { return frequencyHz; }
    bool isUnusable() const noexcept { return unusable; }

    const BiquadCoefficients& coefficients() const noexcept { return biquad.coefficients(); }
    const BiquadSection& section() const noexcept { return biquad; }
    // For owners that design the coefficients themselves; ignored when unusable.
    void setCoefficients(const BiquadCoefficients& c) noexcept
    {
        if (! unusable)
            biquad.setCoefficients(c);
    }

    float processSample(float x) noexcept { return unusable ? 0.0f : biquad.processSample(x); }
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
    void reset() noexcept { biquad.reset(); }

protected:
    explicit IirFilterSection(double rate) noexcept;

    BiquadSection biquad;
    double sampleRate;
    double frequencyHz = 0.0;
    bool unusable;
};

class LowPassFilter1st : public IirFilterSection
{
public:
    // Cutoff starts at 0.5 x rate, clamped.
    explicit LowPassFilter1st(double sampleRate) noexcept;
    bool setParams(double frequencyHz) noexcept;
};

class HighPassFilter1st : public IirFilterSection
{
public:
    explicit HighPassFilter1st(double sampleRate) noexcept;
    bool setParams(double frequencyHz) noexcept;
};

class LowPassFilter2nd : public IirFilterSection
{
public:
    // Starts at 1000 Hz, Q 1.
    explicit LowPassFilter2nd(double sampleRate) noexcept;
    bool setParams(double frequencyHz, double q) noexcept;
    double getQ() const noexcept { return qValue; }

private:
    double qValue = 1.0;
};

class HighPassFilter2nd : public IirFilterSection
{
public:
    explicit HighPassFilter2nd(double sampleRate) noexcept;
    bool setParams(double frequencyHz, double q) noexcept;
    double getQ() const noexcept { return qValue; }

private:
    double qValue = 1.0;
};

// Butterworth filter of order Order as a cascade: one first-order section
// first when the order is odd, then the second-order sections in ascending Q.
// Any order from 1 to 8 can be instantiated; the named classes below are the
// ones used directly.
template <int Order, bool IsHighPass>
class ButterworthFilter
{
    static_assert(Order >= 1 && Order <= 8);

public:
    static constexpr int order = Order;
    static constexpr bool hasFirstOrderSection = (Order % 2) != 0;
    static constexpr int numSecondOrderSections = Order / 2;
    static constexpr int numSections = numSecondOrderSections + (hasFirstOrderSection ? 1 : 0);

    // Cutoff starts at 0.5 x rate, clamped.
    explicit ButterworthFilter(double rate) noexcept
        : sampleRate(rate), cutoffHz(0.5 * rate), unusable(! IirDesign::isUsableRate(rate))
    {
        if (unusable)
        {
            for (auto& s : sections)
                s.setCoefficients(BiquadCoefficients::silence());
            return;
        }
        setParams(0.5 * rate);
    }

    // The cutoff is stored clamped to 1 ... 0.499 x rate; each section is
    // designed with the usual 10 Hz floor. Fails for a non-finite frequency
    // or an unusable rate and keeps the previous design.
    bool setParams(double frequencyHz) noexcept
    {
        if (unusable || ! std::isfinite(frequencyHz))
            return false;
        const double top = IirDesign::maximumFrequencyRatio * sampleRate;
        const double cutoff = frequencyHz < 1.0 ? 1.0 : (frequencyHz > top ? top : frequencyHz);

        BiquadCoefficients designed[numSections];
        int index = 0;
        if constexpr (hasFirstOrderSection)
        {
            const bool ok = IsHighPass ? IirDesign::highPass1st(sampleRate, cutoff, designed[0])
                                       : IirDesign::lowPass1st(sampleRate, cutoff, designed[0]);
            if (! ok)
                return false;
            ++index;
        }
        for (int k = 0; k < numSecondOrderSections; ++k, ++index)
        {
            const double q = IirDesign::butterworthQ(Order, k);
            const bool ok = IsHighPass ? IirDesign::highPass2nd(sampleRate, cutoff, q, designed[index])
                                       : IirDesign::lowPass2nd(sampleRate, cutoff, q, designed[index]);
            if (! ok)
                return false;
        }
        for (int i = 0; i < numSections; ++i)
            sections[i].setCoefficients(designed[i]);
        cutoffHz = cutoff;
        return true;
    }

    float processSample(float x) noexcept
    {
        if (unusable)
            return 0.0f;
        for (auto& s : sections)
            x = s.processSample(x);
        return x;
    }

    // Section by section over the block; rounding between sections is the
    // same as per sample. In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept
    {
        if (unusable)
        {
            for (unsigned i = 0; i < numSamples; ++i)
                out[i] = 0.0f;
            return;
        }
        sections[0].processBlock(in, out, numSamples);
        for (int i = 1; i < numSections; ++i)
            sections[i].processBlock(out, out, numSamples);
    }

    void reset() noexcept
    {
        for (auto& s : sections)
            s.reset();
    }

    double getSampleRate() const noexcept { return sampleRate; }
    double getCutoff() const noexcept { return cutoffHz; }
    bool isUnusable() const noexcept { return unusable; }

    // Sections in cascade order.
    const BiquadSection& section(int index) const noexcept { return sections[index]; }
    BiquadCoefficients sectionCoefficients(int index) const noexcept { return sections[index].coefficients(); }
    // For owners that design the cascade themselves; ignored when unusable.
    void setSectionCoefficients(int index, const BiquadCoefficients& c) noexcept
    {
        if (! unusable && index >= 0 && index < numSections)
            sections[index].setCoefficients(c);
    }

private:
    BiquadSection sections[numSections];
    double sampleRate;
    double cutoffHz;
    bool unusable;
};

class LowPassFilterButterworth2nd : public ButterworthFilter<2, false> { public: using ButterworthFilter::ButterworthFilter; };
class LowPassFilterButterworth3rd : public ButterworthFilter<3, false> { public: using ButterworthFilter::ButterworthFilter; };
class LowPassFilterButterworth4th : public ButterworthFilter<4, false> { public: using ButterworthFilter::ButterworthFilter; };
class LowPassFilterButterworth7th : public ButterworthFilter<7, false> { public: using ButterworthFilter::ButterworthFilter; };
class LowPassFilterButterworth8th : public ButterworthFilter<8, false> { public: using ButterworthFilter::ButterworthFilter; };
class HighPassFilterButterworth2nd : public ButterworthFilter<2, true> { public: using ButterworthFilter::ButterworthFilter; };
class HighPassFilterButterworth3rd : public ButterworthFilter<3, true> { public: using ButterworthFilter::ButterworthFilter; };
class HighPassFilterButterworth4th : public ButterworthFilter<4, true> { public: using ButterworthFilter::ButterworthFilter; };
class HighPassFilterButterworth7th : public ButterworthFilter<7, true> { public: using ButterworthFilter::ButterworthFilter; };
class HighPassFilterButterworth8th : public ButterworthFilter<8, true> { public: using ButterworthFilter::ButterworthFilter; };

// A section whose coefficient changes are crossfaded: a change starts a
// crossfade into a second section that begins from the current states; a
// change arriving during a crossfade waits in a one-deep queue.
class CrossfadingBiquad
{
public:
    // The first call writes the coefficients directly; later calls crossfade
    // over `crossfadeLength` samples (at least 1) or queue as described above.
    void applyCoefficients(const BiquadCoefficients& c, std::uint32_t crossfadeLength) noexcept;

    float processSample(float x) noexcept
    {
        if (fadeRemaining == 0)
            return current.processSample(x);
        return processCrossfadeSample(x);
    }

    // Per sample while a crossfade runs, then a tight loop. In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept
    {
        unsigned i = 0;
        for (; i < numSamples && fadeRemaining != 0; ++i)
            out[i] = processCrossfadeSample(in[i]);
        if (i < numSamples)
            current.processBlock(in + i, out + i, numSamples - i);
    }

    // Clears both sections' states and lands on the newest coefficients
    // (queued, else the crossfade target) without a fade.
    void reset() noexcept;

    bool isConfigured() const noexcept { return configured; }
    bool isCrossfading() const noexcept { return fadeRemaining != 0; }
    bool hasQueued() const noexcept { return queued; }
    std::uint32_t crossfadeTotal() const noexcept { return fadeTotal; }
    std::uint32_t crossfadeRemaining() const noexcept { return fadeRemaining; }

    const BiquadCoefficients& coefficients() const noexcept { return current.coefficients(); }
    // Where the filter is heading: the queued set, else the crossfade target, else the current set.
    const BiquadCoefficients& newestCoefficients() const noexcept;
    const BiquadSection& currentSection() const noexcept { return current; }
    const BiquadSection& nextSection() const noexcept { return next; }

private:
    void startCrossfade(const BiquadCoefficients& c, std::uint32_t length) noexcept;
    float processCrossfadeSample(float x) noexcept;

    BiquadSection current;
    BiquadSection next;
    std::uint32_t fadeTotal = 0;
    std::uint32_t fadeRemaining = 0;
    BiquadCoefficients fadeTarget;
    BiquadCoefficients queuedCoefficients;
    std::uint32_t queuedLength = 0;
    bool queued = false;
    bool configured = false;
};
