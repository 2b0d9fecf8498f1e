#pragma once

#include "dsp/IirSections.h"
#include "dsp/PeakingFilter.h"
#include "dsp/ShelvingFilters.h"

#include <cstdint>
#include <optional>

// One equaliser band. Shelves and peaking crossfade their coefficient
// changes; the second-order low- and high-pass switch directly. Enabling
// and disabling fade the band's effect in and out over 5 ms.
class ParametricEQ
{
public:
    enum FilterType : int
    {
        Bypass = 0,
        LowShelf = 1,
        HighShelf = 2,
        LowPass2nd = 3,
        HighPass2nd = 4,
        Peaking = 5
    };

    static const char* filterTypeName(FilterType type) noexcept;

    ParametricEQ();

    // Builds the low- and high-pass sections when absent or when their rate
    // differs from the band's by more than 0.5 Hz. The sections are held in
    // place, so this never allocates.
    void ensureFilterObjects() noexcept;
    void updateCoefficients() noexcept;
    // Picks the per-sample and per-block routines for the current type.
    void selectProcessRoutines() noexcept;

    // In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
    // Clears the states and ends every crossfade and ramp on its target.
    void reset() noexcept;

    // Fades the band out (false) or in (true) when its disabled state changes.
    void setEnabled(bool enabled) noexcept;

    void setSampleRate(double rate) noexcept { sampleRate = rate; }
    void setType(FilterType type) noexcept { filterType = type; }
    void setFrequency(double frequencyHz) noexcept { frequency = frequencyHz; }
    void setQ(double qValue) noexcept { q = qValue; }
    void setGainDb(double gain) noexcept { gainDb = gain; }

    double getSampleRate() const noexcept { return sampleRate; }
    FilterType getType() const noexcept { return filterType; }
    double getFrequency() const noexcept { return frequency; }
    double getQ() const noexcept { return q; }
    double getGainDb() const noexcept { return gainDb; }
    bool isDisabled() const noexcept { return disabled; }
    bool isEnableCrossfading() const noexcept { return crossfadeRemaining != 0; }
    double getEnableMix() const noexcept { return mixCurrent; }

    // The section the band's type runs through; identity for Bypass.
    BiquadCoefficients coefficients() const noexcept;
    // Where the section is heading once its crossfade ends.
    BiquadCoefficients newestCoefficients() const noexcept;

    const LowShelvingFilter& lowShelf() const noexcept { return lowShelfFilter; }
    const HighShelvingFilter& highShelf() const noexcept { return highShelfFilter; }
    const PeakingFilter& peaking() const noexcept { return peakingFilter; }
    const LowPassFilter2nd* lowPass() const noexcept { return lowPassFilter ? &*lowPassFilter : nullptr; }
    const HighPassFilter2nd* highPass() const noexcept { return highPassFilter ? &*highPassFilter : nullptr; }

    float processSampleBypass(float x) noexcept;
    float processSampleLowShelf(float x) noexcept;
    float processSampleHighShelf(float x) noexcept;
    float processSampleLowPass(float x) noexcept;
    float processSampleHighPass(float x) noexcept;
    float processSamplePeaking(float x) noexcept;

    void processBlockBypass(const float* in, float* out, unsigned numSamples) noexcept;
    void processBlockLowShelf(const float* in, float* out, unsigned numSamples) noexcept;
    void processBlockHighShelf(const float* in, float* out, unsigned numSamples) noexcept;
    void processBlockLowPass(const float* in, float* out, unsigned numSamples) noexcept;
    void processBlockHighPass(const float* in, float* out, unsigned numSamples) noexcept;
    void processBlockPeaking(const float* in, float* out, unsigned numSamples) noexcept;

private:
    using SampleRoutine = float (ParametricEQ::*)(float) noexcept;
    using BlockRoutine = void (ParametricEQ::*)(const float*, float*, unsigned) noexcept;

    void processDisabledBlock(const float* in, float* out, unsigned numSamples) noexcept;

    SampleRoutine sampleRoutine = &ParametricEQ::processSampleBypass;
    BlockRoutine blockRoutine = &ParametricEQ::processBlockBypass;

    double sampleRate = 48000.0;
    double frequency = 1000.0;
    double q = 0.7071067811865476;
    double gainDb = 0.0;
    FilterType filterType = Bypass;

    LowShelvingFilter lowShelfFilter;
    HighShelvingFilter highShelfFilter;
    PeakingFilter peakingFilter;

    bool disabled = false;
    double mixCurrent = 1.0;
    double mixStart = 1.0;
    double mixTarget = 1.0;
    std::uint32_t crossfadeTotal = 0;
    std::uint32_t crossfadeRemaining = 0;

    std::optional<LowPassFilter2nd> lowPassFilter;
    std::optional<HighPassFilter2nd> highPassFilter;
};

// Eight bands in series.
class ParametricEQ8Band
{
public:
    static constexpr unsigned numBands = 8;

    ParametricEQ8Band();

    // Stores max(rate, 1) in the group and every band and redesigns them.
    void setSampleRate(double rate);
    double getSampleRate() const noexcept { return sampleRate; }

    // Band in 0 ... 7, anything else is ignored; a type outside 0 ... 5 runs
    // as Bypass. The rate is the group's, the frequency at least 0 and Q at
    // least 0.000001; the designs clamp further.
    void setBandParams(unsigned band, ParametricEQ::FilterType type, double frequencyHz, double q, double gainDb) noexcept;
    // Ignored when it repeats the last applied flag.
    void setBandEnabled(unsigned band, bool enabled) noexcept;
    bool isBandEnabled(unsigned band) const noexcept { return band < numBands && lastEnabled[band]; }

    // In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
    void reset() noexcept;

    ParametricEQ& band(unsigned index) noexcept { return bands[index]; }
    const ParametricEQ& band(unsigned index) const noexcept { return bands[index]; }

private:
    double sampleRate = 48000.0;
    ParametricEQ bands[numBands];
    bool lastEnabled[numBands] = { true, true, true, true, true, true, true, true };
};

// Sixteen bands in series: 0 ... 7 in the first half, 8 ... 15 in the second.
class ParametricEQ16Band
{
public:
    static constexpr unsigned numBands = 16;

    explicit ParametricEQ16Band(double sampleRate = 48000.0);

    void setSampleRate(double rate);
    double getSampleRate() const noexcept { return halves[0].getSampleRate(); }

    void setBandParams(unsigned band, ParametricEQ::FilterType type, double frequencyHz, double q, double gainDb) noexcept;
    void setBandEnabled(unsigned band, bool enabled) noexcept;
    bool isBandEnabled(unsigned band) const noexcept;

    // In place allowed.
    void processBlock(const float* in, float* out, unsigned numSamples) noexcept;
    void reset() noexcept;

    ParametricEQ& band(unsigned index) noexcept { return halves[index / 8].band(index % 8); }
    const ParametricEQ& band(unsigned index) const noexcept { return halves[index / 8].band(index % 8); }
    ParametricEQ8Band& half(unsigned index) noexcept { return halves[index]; }
    const ParametricEQ8Band& half(unsigned index) const noexcept { return halves[index]; }

private:
    ParametricEQ8Band halves[2];
};
