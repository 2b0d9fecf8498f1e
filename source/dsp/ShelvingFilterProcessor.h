#pragma once

#include <cstdint>

#include "dsp/IirSections.h"
#include "dsp/ShelvingFilters.h"

// Shelving Block of first or second order. Coefficient changes of the
// first-order section crossfade between two running sections, an order change
// fades between the first- and second-order outputs, and bypass fades to dry,
// each over 5 ms, so no parameter move clicks.
class ShelvingFilterProcessor
{
public:
    enum class Type : std::int32_t
    {
        Low = 0,
        High = 1
    };

    // False (and nothing changes) for non-finite values, an order other than
    // 1 or 2, or a rate whose 0.499 x rate is below 10 Hz.
    bool setParams(double sampleRate, Type type, int order, double frequencyHz, double gainDb, double q) noexcept;
    // A change fades over rampSamples (at least one); the first call, before
    // any parameters, takes effect at once.
    void setBypassed(bool bypassed, unsigned rampSamples) noexcept;
    bool isBypassed() const noexcept { return bypassed; }

    void processBlock(const float* in, float* out, unsigned n) noexcept;
    void reset() noexcept;

    Type getType() const noexcept { return type; }
    int getOrder() const noexcept { return order; }
    bool isCrossfading() const noexcept;
    bool isOrderRamping() const noexcept { return orderRampRemaining > 0; }
    bool isBypassRamping() const noexcept { return bypassRampRemaining > 0; }

    // First-order shelf of one side; G = 0 dB gives the identity. False when
    // an intermediate is not finite.
    static bool designFirstOrder(Type type, double sampleRate, double frequencyHz, double gainDb,
                                 BiquadCoefficients& out) noexcept;

private:
    struct FirstOrderSide
    {
        BiquadCoefficients current;
        BiquadCoefficients next;
        BiquadCoefficients queued;
        double s1 = 0.0, s2 = 0.0;         // current section
        double nextS1 = 0.0, nextS2 = 0.0; // next section
        std::uint32_t fadeLength = 1;
        std::uint32_t fadeRemaining = 0;
        bool hasQueued = false;
        bool configured = false;

        void change(const BiquadCoefficients& c, std::uint32_t length) noexcept;
        double process(double x) noexcept;
        void reset() noexcept;
    };

    FirstOrderSide& side() noexcept { return type == Type::High ? highFirst : lowFirst; }

    FirstOrderSide lowFirst;
    FirstOrderSide highFirst;
    LowShelvingFilter lowSecond;
    HighShelvingFilter highSecond;
    double sampleRate = 48000.0;
    Type type = Type::Low;
    int order = 1;
    float orderMix = 0.0f; // 0 = first order, 1 = second order
    float orderMixTarget = 0.0f;
    std::uint32_t orderRampRemaining = 0;
    bool bypassed = false;
    float bypassMix = 1.0f; // 1 = processed, 0 = dry
    std::uint32_t bypassRampRemaining = 0;
    bool configured = false;
};
