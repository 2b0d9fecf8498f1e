#include "dsp/ParametricEQ.h"

#include <algorithm>
#include <cmath>

const char* ParametricEQ::filterTypeName(FilterType type) noexcept
{
    switch (type)
    {
        case Bypass: return "Bypass";
        case LowShelf: return "Low Shelf";
        case HighShelf: return "High Shelf";
        case LowPass2nd: return "Low Pass 2nd";
        case HighPass2nd: return "High Pass 2nd";
        case Peaking: return "Peaking";
    }
    return "Bypass";
}

ParametricEQ::ParametricEQ()
{
    ensureFilterObjects();
}

void ParametricEQ::ensureFilterObjects() noexcept
{
    if (! lowPassFilter || ! (std::abs(lowPassFilter->getSampleRate() - sampleRate) <= 0.5))
        lowPassFilter.emplace(sampleRate);
    if (! highPassFilter || ! (std::abs(highPassFilter->getSampleRate() - sampleRate) <= 0.5))
        highPassFilter.emplace(sampleRate);
}

void ParametricEQ::updateCoefficients() noexcept
{
    switch (filterType)
    {
        case LowShelf: lowShelfFilter.setParams(sampleRate, frequency, gainDb, q); break;
        case HighShelf: highShelfFilter.setParams(sampleRate, frequency, gainDb, q); break;
        case LowPass2nd:
            if (lowPassFilter)
                lowPassFilter->setParams(frequency, q);
            break;
        case HighPass2nd:
            if (highPassFilter)
                highPassFilter->setParams(frequency, q);
            break;
        case Peaking: peakingFilter.setParams(sampleRate, frequency, gainDb, q); break;
        case Bypass: break;
    }
}

void ParametricEQ::selectProcessRoutines() noexcept
{
    switch (filterType)
    {
        case LowShelf:
            sampleRoutine = &ParametricEQ::processSampleLowShelf;
            blockRoutine = &ParametricEQ::processBlockLowShelf;
            return;
        case HighShelf:
            sampleRoutine = &ParametricEQ::processSampleHighShelf;
            blockRoutine = &ParametricEQ::processBlockHighShelf;
            return;
        case LowPass2nd:
            sampleRoutine = &ParametricEQ::processSampleLowPass;
            blockRoutine = &ParametricEQ::processBlockLowPass;
            return;
        case HighPass2nd:
            sampleRoutine = &ParametricEQ::processSampleHighPass;
            blockRoutine = &ParametricEQ::processBlockHighPass;
            return;
        case Peaking:
            sampleRoutine = &ParametricEQ::processSamplePeaking;
            blockRoutine = &ParametricEQ::processBlockPeaking;
            return;
        case Bypass: break;
    }
    sampleRoutine = &ParametricEQ::processSampleBypass;
    blockRoutine = &ParametricEQ::processBlockBypass;
}

void ParametricEQ::setEnabled(bool enabled) noexcept
{
    if (disabled == ! enabled)
        return;
    disabled = ! enabled;
    mixStart = mixCurrent;
    mixTarget = enabled ? 1.0 : 0.0;
    crossfadeTotal = crossfadeRemaining = IirDesign::crossfadeSamples(sampleRate);
}

void ParametricEQ::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    unsigned i = 0;
    for (; i < numSamples && crossfadeRemaining != 0; ++i)
    {
        const float x = in[i];
        const double y = (this->*sampleRoutine)(x);
        if (--crossfadeRemaining == 0)
            mixCurrent = mixTarget;
        else
            mixCurrent = mixStart + (mixTarget - mixStart) * static_cast<double>(crossfadeTotal - crossfadeRemaining)
                                        / static_cast<double>(crossfadeTotal);
        out[i] = static_cast<float>(x + (y - x) * mixCurrent);
    }
    if (i == numSamples)
        return;
    if (disabled)
        processDisabledBlock(in + i, out + i, numSamples - i);
    else
        (this->*blockRoutine)(in + i, out + i, numSamples - i);
}

void ParametricEQ::processDisabledBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    // The section keeps running on the dry signal so that enabling starts from a current state.
    constexpr unsigned chunk = 128;
    float scratch[chunk];
    for (unsigned done = 0; done < numSamples;)
    {
        const unsigned n = std::min(chunk, numSamples - done);
        (this->*blockRoutine)(in + done, scratch, n);
        done += n;
    }
    if (in != out)
        std::copy(in, in + numSamples, out);
}

void ParametricEQ::reset() noexcept
{
    lowShelfFilter.reset();
    highShelfFilter.reset();
    peakingFilter.reset();
    if (lowPassFilter)
        lowPassFilter->reset();
    if (highPassFilter)
        highPassFilter->reset();
    mixCurrent = mixStart = mixTarget;
    crossfadeTotal = crossfadeRemaining = 0;
}

BiquadCoefficients ParametricEQ::coefficients() const noexcept
{
    switch (filterType)
    {
        case LowShelf: return lowShelfFilter.coefficients();
        case HighShelf: return highShelfFilter.coefficients();
        case LowPass2nd: return lowPassFilter ? lowPassFilter->coefficients() : BiquadCoefficients::identity();
        case HighPass2nd: return highPassFilter ? highPassFilter->coefficients() : BiquadCoefficients::identity();
        case Peaking: return peakingFilter.coefficients();
        case Bypass: break;
    }
    return BiquadCoefficients::identity();
}

BiquadCoefficients ParametricEQ::newestCoefficients() const noexcept
{
    switch (filterType)
    {
        case LowShelf: return lowShelfFilter.newestCoefficients();
        case HighShelf: return highShelfFilter.newestCoefficients();
        case Peaking: return peakingFilter.newestCoefficients();
        default: return coefficients();
    }
}

float ParametricEQ::processSampleBypass(float x) noexcept { return x; }
float ParametricEQ::processSampleLowShelf(float x) noexcept { return lowShelfFilter.processSample(x); }
float ParametricEQ::processSampleHighShelf(float x) noexcept { return highShelfFilter.processSample(x); }
float ParametricEQ::processSamplePeaking(float x) noexcept { return peakingFilter.processSample(x); }

float ParametricEQ::processSampleLowPass(float x) noexcept
{
    return lowPassFilter ? lowPassFilter->processSample(x) : x;
}

float ParametricEQ::processSampleHighPass(float x) noexcept
{
    return highPassFilter ? highPassFilter->processSample(x) : x;
}

void ParametricEQ::processBlockBypass(const float* in, float* out, unsigned numSamples) noexcept
{
    if (in != out)
        std::copy(in, in + numSamples, out);
}

void ParametricEQ::processBlockLowShelf(const float* in, float* out, unsigned numSamples) noexcept
{
    lowShelfFilter.processBlock(in, out, numSamples);
}

void ParametricEQ::processBlockHighShelf(const float* in, float* out, unsigned numSamples) noexcept
{
    highShelfFilter.processBlock(in, out, numSamples);
}

void ParametricEQ::processBlockPeaking(const float* in, float* out, unsigned numSamples) noexcept
{
    peakingFilter.processBlock(in, out, numSamples);
}

void ParametricEQ::processBlockLowPass(const float* in, float* out, unsigned numSamples) noexcept
{
    if (lowPassFilter)
        lowPassFilter->processBlock(in, out, numSamples);
    else
        processBlockBypass(in, out, numSamples);
}

void ParametricEQ::processBlockHighPass(const float* in, float* out, unsigned numSamples) noexcept
{
    if (highPassFilter)
        highPassFilter->processBlock(in, out, numSamples);
    else
        processBlockBypass(in, out, numSamples);
}

namespace
{
double groupRate(double rate) noexcept
{
    return rate >= 1.0 ? rate : 1.0;
}
} // namespace

ParametricEQ8Band::ParametricEQ8Band()
{
    setSampleRate(sampleRate);
}

void ParametricEQ8Band::setSampleRate(double rate)
{
    sampleRate = groupRate(rate);
    for (auto& b : bands)
    {
        b.setSampleRate(sampleRate);
        b.ensureFilterObjects();
        b.updateCoefficients();
    }
}

void ParametricEQ8Band::setBandParams(unsigned index, ParametricEQ::FilterType type, double frequencyHz, double q,
                                      double gainDb) noexcept
{
    if (index >= numBands)
        return;
    auto& b = bands[index];
    b.setType(type);
    b.setSampleRate(groupRate(sampleRate));
    b.setFrequency(std::max(frequencyHz, 0.0));
    b.setQ(std::max(q, 0.000001));
    b.setGainDb(gainDb);
    b.ensureFilterObjects();
    b.updateCoefficients();
    b.selectProcessRoutines();
}

void ParametricEQ8Band::setBandEnabled(unsigned index, bool enabled) noexcept
{
    if (index >= numBands || lastEnabled[index] == enabled)
        return;
    lastEnabled[index] = enabled;
    bands[index].setEnabled(enabled);
}

void ParametricEQ8Band::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    bands[0].processBlock(in, out, numSamples);
    for (unsigned i = 1; i < numBands; ++i)
        bands[i].processBlock(out, out, numSamples);
}

void ParametricEQ8Band::reset() noexcept
{
    for (auto& b : bands)
        b.reset();
}

ParametricEQ16Band::ParametricEQ16Band(double sampleRate)
{
    setSampleRate(sampleRate);
}

void ParametricEQ16Band::setSampleRate(double rate)
{
    halves[0].setSampleRate(rate);
    halves[1].setSampleRate(rate);
}

void ParametricEQ16Band::setBandParams(unsigned index, ParametricEQ::FilterType type, double frequencyHz, double q,
                                       double gainDb) noexcept
{
    if (index < numBands)
        halves[index / 8].setBandParams(index % 8, type, frequencyHz, q, gainDb);
}

void ParametricEQ16Band::setBandEnabled(unsigned index, bool enabled) noexcept
{
    if (index < numBands)
        halves[index / 8].setBandEnabled(index % 8, enabled);
}

bool ParametricEQ16Band::isBandEnabled(unsigned index) const noexcept
{
    return index < numBands && halves[index / 8].isBandEnabled(index % 8);
}

void ParametricEQ16Band::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    halves[0].processBlock(in, out, numSamples);
    halves[1].processBlock(out, out, numSamples);
}

void ParametricEQ16Band::reset() noexcept
{
    halves[0].reset();
    halves[1].reset();
}
