#include "dsp/PeakingFilter.h"

bool PeakingFilter::setParams(double rate, double frequency, double gain, double q) noexcept
{
    BiquadCoefficients c;
    if (! IirDesign::peaking(rate, frequency, gain, q, c))
        return false;
    designedRate = rate;
    designedFrequencyHz = IirDesign::clampFrequency(frequency, rate);
    designedGainDb = IirDesign::clampGainDb(gain);
    designedQ = IirDesign::clampQ(q);
    biquad.applyCoefficients(c, IirDesign::crossfadeSamples(rate));
    return true;
}

void PeakingFilter::setBypassed(bool shouldBeBypassed) noexcept
{
    if (shouldBeBypassed == bypassed)
        return;
    bypassed = shouldBeBypassed;
    mixStart = mixCurrent;
    mixTarget = bypassed ? 0.0 : 1.0;
    mixTotal = mixRemaining = IirDesign::crossfadeSamples(designedRate);
}

float PeakingFilter::processRampSample(float x) noexcept
{
    const float y = biquad.processSample(x);
    if (mixRemaining != 0)
    {
        if (--mixRemaining == 0)
            mixCurrent = mixTarget;
        else
            mixCurrent = mixStart + (mixTarget - mixStart) * static_cast<double>(mixTotal - mixRemaining) / static_cast<double>(mixTotal);
    }
    const double dry = x;
    return static_cast<float>(dry + (static_cast<double>(y) - dry) * mixCurrent);
}

float PeakingFilter::processSample(float x) noexcept
{
    if (mixRemaining != 0)
        return processRampSample(x);
    const float y = biquad.processSample(x);
    return bypassed ? x : y;
}

void PeakingFilter::processBlock(const float* in, float* out, unsigned numSamples) noexcept
{
    unsigned i = 0;
    for (; i < numSamples && (mixRemaining != 0 || biquad.isCrossfading()); ++i)
        out[i] = processRampSample(in[i]);
    if (i == numSamples)
        return;

    in += i;
    out += i;
    numSamples -= i;
    if (! bypassed)
    {
        biquad.processBlock(in, out, numSamples);
        return;
    }
    // Bypassed: keep the filter's state current, pass the input.
    for (unsigned j = 0; j < numSamples; ++j)
    {
        const float x = in[j];
        biquad.processSample(x);
        out[j] = x;
    }
}

void PeakingFilter::reset() noexcept
{
    biquad.reset();
    mixCurrent = mixStart = mixTarget;
    mixTotal = mixRemaining = 0;
}
