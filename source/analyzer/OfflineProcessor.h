#pragma once

#include "model/AppSettings.h"

#include <memory>
#include <string>

class ArithmeticProcessor;
class FirFilter;
class Gain;
class HighPassFilterBank;
class LowPassFilterBank;
class ParametricEQ16Band;
class PeakingFilter;
class SampleDelay;
class ShelvingFilterProcessor;

namespace speaker
{
// The processors of one analysed Block, fresh for each analysis and built
// from the same classes the engine runs. A bypassed Block (other than a math
// Block) gets none and passes its input through.
class OfflineProcessor
{
public:
    OfflineProcessor(const InsertedModuleSettings& settings, double sampleRate);
    ~OfflineProcessor();
    OfflineProcessor(OfflineProcessor&&) noexcept;
    OfflineProcessor& operator=(OfflineProcessor&&) noexcept;

    // Sets the processor up; false with the message for the user. May throw
    // what a processor throws (FIR coefficients, memory).
    bool prepare(std::string& error);
    bool isConfigured() const noexcept { return configured; }
    bool isMath() const noexcept;

    // Single-input Blocks, in place.
    void process(float* buffer, unsigned n) noexcept;
    // Math Blocks; a null operand reads as silence, out may alias either.
    void process(const float* a, const float* b, float* out, unsigned n) noexcept;

    const InsertedModuleSettings& settings() const noexcept { return moduleSettings; }

private:
    InsertedModuleSettings moduleSettings;
    double rate;
    bool configured = false;

    std::unique_ptr<Gain> gain;
    std::unique_ptr<ParametricEQ16Band> equaliser;
    std::unique_ptr<SampleDelay> delay;
    std::unique_ptr<FirFilter> fir;
    std::unique_ptr<PeakingFilter> peaking;
    std::unique_ptr<ShelvingFilterProcessor> shelving;
    std::unique_ptr<LowPassFilterBank> lowPass;
    std::unique_ptr<HighPassFilterBank> highPass;
    std::unique_ptr<ArithmeticProcessor> arithmetic;
};
} // namespace speaker
