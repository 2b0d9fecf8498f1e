#include "dsp/ShelvingFilters.h"

bool ShelvingFilterBase::apply(bool highShelf, double rate, double frequency, double gain, double q) noexcept
{
    BiquadCoefficients c;
    const bool ok = highShelf ? IirDesign::highShelf(rate, frequency, gain, q, c)
                              : IirDesign::lowShelf(rate, frequency, gain, q, c);
    if (! ok)
        return false;
    designedRate = rate;
    designedFrequencyHz = IirDesign::clampFrequency(frequency, rate);
    designedGainDb = IirDesign::clampGainDb(gain);
    designedQ = IirDesign::clampQ(q);
    biquad.applyCoefficients(c, IirDesign::crossfadeSamples(rate));
    return true;
}
