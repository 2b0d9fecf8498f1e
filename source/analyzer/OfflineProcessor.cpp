#include "analyzer/OfflineProcessor.h"

#include "dsp/ArithmeticProcessor.h"
#include "dsp/CrossoverFilterBank.h"
#include "dsp/FirFilter.h"
#include "dsp/Gain.h"
#include "dsp/IirSections.h"
#include "dsp/ParametricEQ.h"
#include "dsp/PeakingFilter.h"
#include "dsp/SampleDelay.h"
#include "dsp/ShelvingFilterProcessor.h"

#include <algorithm>
#include <cmath>

namespace speaker
{
namespace
{
constexpr const char* kRejected = "A DSP Block rejected its parameters during analysis.";
constexpr const char* kArithmeticRejected = "An arithmetic Block rejected its parameters during analysis.";

bool reject(std::string& error, const char* message)
{
    error = message;
    return false;
}

template <typename Bank>
bool prepareBank(std::unique_ptr<Bank>& bank, double rate, int order, int shape, const EqBandSettings& band)
{
    bank = std::make_unique<Bank>(rate);
    const bool linkwitzRiley = shape == static_cast<int>(FilterShape::linkwitzRiley);
    if (! bank->setParams(crossoverType(order, linkwitzRiley), order, band.frequencyHz, band.q))
        return false;
    bank->setBypassed(false);
    bank->reset();
    return true;
}
} // namespace

OfflineProcessor::OfflineProcessor(const InsertedModuleSettings& settings, double sampleRate)
    : moduleSettings(settings), rate(sampleRate)
{
}

OfflineProcessor::~OfflineProcessor() = default;
OfflineProcessor::OfflineProcessor(OfflineProcessor&&) noexcept = default;
OfflineProcessor& OfflineProcessor::operator=(OfflineProcessor&&) noexcept = default;

bool OfflineProcessor::isMath() const noexcept { return isMathModuleKind(moduleSettings.kind); }

bool OfflineProcessor::prepare(std::string& error)
{
    const auto& s = moduleSettings;
    const auto& band = s.eq[0];
    const auto kind = static_cast<ProcessingModuleKind>(s.kind);

    if (kind == ProcessingModuleKind::empty || s.kind < 0 || s.kind > static_cast<int>(ProcessingModuleKind::empty))
        return reject(error, "The selected path contains an unconfigured DSP Block.");

    if (isMath())
    {
        arithmetic = std::make_unique<ArithmeticProcessor>();
        arithmetic->prepare(rate, 1.0 / std::max(0.005 * rate, 1.0));
        const auto op = static_cast<ArithmeticProcessor::Operation>(s.kind - static_cast<int>(ProcessingModuleKind::add));
        if (! arithmetic->setParams(op, s.bypassed, s.divideFloorDb, s.divideLimitDb))
            return reject(error, kArithmeticRejected);
        configured = true;
        return true;
    }

    if (s.bypassed)
    {
        configured = true;
        return true;
    }

    switch (kind)
    {
        case ProcessingModuleKind::gain:
            gain = std::make_unique<Gain>();
            if (! gain->setParams(rate, s.gainDb, false, s.polarityInverted))
                return reject(error, kRejected);
            gain->snapToTarget();
            break;

        case ProcessingModuleKind::iirFilter:
            equaliser = std::make_unique<ParametricEQ16Band>(rate);
            for (unsigned k = 0; k < ParametricEQ16Band::numBands; ++k)
            {
                const auto& b = s.eq[k];
                equaliser->setBandParams(k, static_cast<ParametricEQ::FilterType>(std::clamp(b.type, 0, 5)), b.frequencyHz,
                                         b.q, b.gainDb);
                equaliser->setBandEnabled(k, static_cast<int>(k) < s.eqBandCount && b.enabled);
            }
            equaliser->reset();
            break;

        case ProcessingModuleKind::delay:
        {
            const auto maxDelay = static_cast<unsigned>(std::ceil(rate * 0.05));
            delay = std::make_unique<SampleDelay>();
            delay->prepare(maxDelay, rate);
            const double wanted = std::isfinite(s.delayUs) ? std::round(rate * s.delayUs / 1000000.0) : 0.0;
            const auto samples = static_cast<unsigned>(std::clamp(wanted, 0.0, static_cast<double>(maxDelay)));
            if (! delay->setParams(samples, false))
                return reject(error, kRejected);
            break;
        }

        case ProcessingModuleKind::firFilter:
        {
            const auto analysisRate = static_cast<int>(std::lround(rate));
            if (s.fir.sampleRateHz != analysisRate)
            {
                error = "FIR sample rate " + std::to_string(s.fir.sampleRateHz)
                    + " Hz does not match the Analyzer sample rate " + std::to_string(analysisRate) + " Hz.";
                return false;
            }
            fir = std::make_unique<FirFilter>();
            fir->setCoefficients(s.fir.coefficients);
            fir->setCrossfadeLength(IirDesign::crossfadeSamples(rate));
            fir->setBypassed(false);
            fir->reset();
            break;
        }

        case ProcessingModuleKind::peakingFilter:
            peaking = std::make_unique<PeakingFilter>();
            if (! peaking->setParams(rate, band.frequencyHz, band.gainDb, band.q))
                return reject(error, kRejected);
            peaking->reset();
            break;

        case ProcessingModuleKind::highShelvingFilter:
        case ProcessingModuleKind::lowShelvingFilter:
        {
            shelving = std::make_unique<ShelvingFilterProcessor>();
            const auto type = kind == ProcessingModuleKind::highShelvingFilter ? ShelvingFilterProcessor::Type::High
                                                                                : ShelvingFilterProcessor::Type::Low;
            if (! shelving->setParams(rate, type, s.shelfOrder, band.frequencyHz, band.gainDb, band.q))
                return reject(error, kRejected);
            shelving->reset();
            break;
        }

        case ProcessingModuleKind::lowPassFilter:
            if (! prepareBank(lowPass, rate, s.lowPassOrder, s.lowPassShape, band))
                return reject(error, kRejected);
            break;

        case ProcessingModuleKind::highPassFilter:
            if (! prepareBank(highPass, rate, s.highPassOrder, s.highPassShape, band))
                return reject(error, kRejected);
            break;

        default:
            return reject(error, "The selected path could not be prepared.");
    }
    configured = true;
    return true;
}

void OfflineProcessor::process(float* buffer, unsigned n) noexcept
{
    if (gain)
        gain->processBlock(buffer, buffer, n);
    else if (equaliser)
        equaliser->processBlock(buffer, buffer, n);
    else if (delay)
        delay->processBlock(buffer, buffer, n);
    else if (fir)
        fir->processBlock(buffer, buffer, n);
    else if (peaking)
        peaking->processBlock(buffer, buffer, n);
    else if (shelving)
        shelving->processBlock(buffer, buffer, n);
    else if (lowPass)
        lowPass->processBlock(buffer, buffer, n);
    else if (highPass)
        highPass->processBlock(buffer, buffer, n);
}

void OfflineProcessor::process(const float* a, const float* b, float* out, unsigned n) noexcept
{
    if (arithmetic)
        arithmetic->processBlock(a, b, out, n);
}
} // namespace speaker
