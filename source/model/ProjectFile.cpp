#include "model/ProjectFile.h"

#include "model/CanvasValidation.h"
#include "model/Json.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

namespace speaker
{
namespace
{
// Two refusals have no message of their own elsewhere; these are ours.
constexpr const char* kMissingProcessorMessage = "A canvas DSP Block is missing its processor settings.";
constexpr const char* kMissingFirMessage = "An FIR Filter is missing its FIR data.";

constexpr const char* kFirCountMessage = "Invalid FIR sample rate or coefficient count.";
constexpr const char* kFirFiniteMessage = "FIR coefficients must be finite numbers.";
constexpr const char* kFirNotObjectMessage = "An FIR module is missing its coefficient data.";
constexpr const char* kVolumeFiniteMessage = "Volume values must be finite numbers.";
constexpr const char* kGainFiniteMessage = "Gain values must be finite numbers.";
constexpr const char* kDelayFiniteMessage = "Delay values must be finite numbers.";
// A band value that is not finite would reach filter design unchecked.
constexpr const char* kBandFiniteMessage = "EQ band values must be finite numbers.";

//==============================================================================
// Reading helpers. Lookups on anything that is not an object yield "absent".

const double kFloatOverflow = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);

const juce::var& property(const juce::var& object, const char* key)
{
    static const juce::var absent;
    if (auto* dynamic = object.getDynamicObject())
        if (const auto* value = std::as_const(dynamic->getProperties()).getVarPointer(juce::Identifier(key)))
            return *value;
    return absent;
}

bool hasKey(const juce::var& object, const char* key)
{
    auto* dynamic = object.getDynamicObject();
    return dynamic != nullptr && dynamic->hasProperty(juce::Identifier(key));
}

// A var holding an array also counts as an object in JUCE; JSON objects are DynamicObjects.
bool isJsonObject(const juce::var& v) { return v.getDynamicObject() != nullptr; }

bool isNumber(const juce::var& v) { return v.isInt() || v.isInt64() || v.isDouble(); }

// The JSON writer keeps at most 16 significant digits, so not every double
// survives its text. Reader and writer both snap a value to the one its text reads
// back as; then reading gives what was written, and writing again gives the same text.
double representable(double value)
{
    if (! std::isfinite(value))
        return value;
    return juce::var(value).toString().getDoubleValue();
}

double readNumber(const juce::var& object, const char* key, double fallback)
{
    const auto& v = property(object, key);
    return isNumber(v) ? representable(static_cast<double>(v)) : fallback;
}

// Truncates towards zero; saturates instead of overflowing, NaN takes the fallback.
int truncateToInt(double value, int fallback)
{
    if (std::isnan(value))
        return fallback;
    constexpr double lo = static_cast<double>(std::numeric_limits<int>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<int>::max());
    return static_cast<int>(std::clamp(std::trunc(value), lo, hi));
}

int varToInt(const juce::var& v, int fallback)
{
    if (v.isInt())
        return static_cast<int>(v);
    if (v.isInt64())
    {
        const auto big = static_cast<juce::int64>(v);
        return static_cast<int>(std::clamp<juce::int64>(big, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    }
    return truncateToInt(static_cast<double>(v), fallback);
}

int readInt(const juce::var& object, const char* key, int fallback)
{
    const auto& v = property(object, key);
    return isNumber(v) ? varToInt(v, fallback) : fallback;
}

std::string readString(const juce::var& object, const char* key, const std::string& fallback)
{
    const auto& v = property(object, key);
    return v.isString() ? v.toString().toStdString() : fallback;
}

bool readBool(const juce::var& object, const char* key, bool fallback)
{
    const auto& v = property(object, key);
    return v.isBool() ? static_cast<bool>(v) : fallback;
}

// Clamp that lets a non-finite value through, so that the caller can report it.
double clampFinite(double value, double lo, double hi)
{
    return std::isfinite(value) ? std::clamp(value, lo, hi) : value;
}

const juce::Array<juce::var>* arrayOf(const juce::var& v) { return v.isArray() ? v.getArray() : nullptr; }

bool fail(std::string& error, const char* message)
{
    error = message;
    return false;
}

bool isShelvingKind(int kind)
{
    return kind == static_cast<int>(ProcessingModuleKind::highShelvingFilter)
        || kind == static_cast<int>(ProcessingModuleKind::lowShelvingFilter);
}

bool isPassKind(int kind)
{
    return kind == static_cast<int>(ProcessingModuleKind::lowPassFilter)
        || kind == static_cast<int>(ProcessingModuleKind::highPassFilter);
}

bool bandsFinite(const EqBands& bands)
{
    return std::all_of(bands.begin(), bands.end(), [](const EqBandSettings& b) {
        return std::isfinite(b.frequencyHz) && std::isfinite(b.gainDb) && std::isfinite(b.q);
    });
}

//==============================================================================

bool readFir(const juce::var& object, FirSettings& fir, std::string& error)
{
    fir.enabled = readBool(object, "enabled", true);
    fir.fileName = readString(object, "fileName", "Embedded FIR");
    fir.sampleRateHz = readInt(object, "sampleRateHz", 0);

    const bool rateOk = std::any_of(kFirSampleRates.begin(), kFirSampleRates.end(), [&](int rate) {
        return std::abs(static_cast<double>(fir.sampleRateHz) - rate) <= 0.5;
    });
    const auto* coefficients = arrayOf(property(object, "coefficients"));
    if (! rateOk || coefficients == nullptr || coefficients->isEmpty() || coefficients->size() > kMaxFirCoefficients)
        return fail(error, kFirCountMessage);

    std::vector<float> values;
    values.reserve(static_cast<size_t>(coefficients->size()));
    for (const auto& element : *coefficients)
    {
        const auto d = static_cast<double>(element);
        // From 2^128 - 2^103 on, a double rounds to an infinite float.
        if (! std::isfinite(d) || std::abs(d) >= kFloatOverflow)
            return fail(error, kFirFiniteMessage);
        values.push_back(static_cast<float>(d));
    }
    fir.coefficients = std::move(values);

    const bool unitImpulse = fir.coefficients.size() == 1 && fir.coefficients[0] == 1.0f;
    if ((fir.fileName == "Unity" || fir.fileName == "Bypass") && unitImpulse)
        fir.fileName = kNoFirFileLoaded;
    if (fir.fileName == kNoFirFileLoaded)
    {
        fir.coefficients = { 1.0f };
        fir.enabled = true;
    }
    return true;
}

void readBand(const juce::var& object, EqBandSettings& band, bool enabledByDefault, double minHz, double maxHz)
{
    band.enabled = readBool(object, "enabled", enabledByDefault);
    band.type = filterTypeFromName(readString(object, "type", "Peaking"));
    if (band.type == static_cast<int>(FilterType::bypass))
        band.type = static_cast<int>(FilterType::peaking);
    band.frequencyHz = clampFinite(readNumber(object, "frequencyHz", 1000.0), minHz, maxHz);
    band.gainDb = clampFinite(readNumber(object, "gainDb", 0.0), kMinBandGainDb, kMaxBandGainDb);
    band.q = clampFinite(readNumber(object, "q", 1.0), kMinBandQ, kMaxBandQ);
}

// Reads band k of a module or Block; only slots below the band count may be on.
void readModuleBands(const juce::Array<juce::var>& bands, InsertedModuleSettings& module, double minHz, double maxHz)
{
    const int n = std::min(bands.size(), kMaxEqBands);
    for (int k = 0; k < n; ++k)
    {
        auto& band = module.eq[static_cast<size_t>(k)];
        readBand(bands.getReference(k), band, k == 0, minHz, maxHz);
        band.enabled = k < module.eqBandCount && band.enabled;
    }
}

// Low and high pass filters and shelves run on band 0 alone.
void makeSingleBand(InsertedModuleSettings& module)
{
    module.eqBandCount = 1;
    module.eq[0].enabled = true;
    for (size_t k = 1; k < module.eq.size(); ++k)
        module.eq[k].enabled = false;
}

bool readShelfOrder(const juce::var& object, InsertedModuleSettings& module, std::string& error)
{
    module.shelfOrder = readInt(object, "shelfOrder", 2);
    if (module.shelfOrder != 1 && module.shelfOrder != 2)
        return fail(error, "Shelving filter order must be 1 or 2.");
    return true;
}

bool readPassSettings(const juce::var& object, bool lowPass, int& order, int& shape, std::string& error)
{
    order = readInt(object, lowPass ? "lowPassOrder" : "highPassOrder", 2);
    if (order < 1 || order > kMaxFilterOrder)
        return fail(error, lowPass ? "Low Pass Filter order must be an integer from 1 to 8."
                                   : "High Pass Filter order must be an integer from 1 to 8.");

    const char* shapeKey = lowPass ? "lowPassShape" : "highPassShape";
    shape = static_cast<int>(FilterShape::butterworth);
    if (! hasKey(object, shapeKey))
        return true;

    const auto& value = property(object, shapeKey);
    const auto name = value.isString() ? value.toString().toStdString() : std::string();
    if (value.isString() && name == "Butterworth")
        return true;
    if (value.isString() && name == "Linkwitz-Riley")
    {
        if (order == 4 || order == 6 || order == 8)
            shape = static_cast<int>(FilterShape::linkwitzRiley);
        return true;
    }
    return fail(error, lowPass ? "Low Pass Filter shape must be Butterworth or Linkwitz-Riley."
                               : "High Pass Filter shape must be Butterworth or Linkwitz-Riley.");
}

bool checkPassBand(const InsertedModuleSettings& module, std::string& error)
{
    const auto& band = module.eq[0];
    if (std::isfinite(band.frequencyHz) && std::isfinite(band.q))
        return true;
    return fail(error, module.kind == static_cast<int>(ProcessingModuleKind::lowPassFilter)
                           ? "Low Pass Filter parameters must be finite numbers."
                           : "High Pass Filter parameters must be finite numbers.");
}

bool readCommonFields(const juce::var& object, InsertedModuleSettings& module, std::string& error)
{
    module.bypassed = readBool(object, "bypassed", false);
    module.gainDb = readNumber(object, "gainDb", 0.0);
    if (! std::isfinite(module.gainDb))
        return fail(error, kGainFiniteMessage);
    module.gainDb = std::clamp(module.gainDb, kMinGainDb, kMaxGainDb);
    module.polarityInverted = readBool(object, "polarityInverted", false);
    module.delayUs = readNumber(object, "delayUs", 0.0);
    if (! std::isfinite(module.delayUs))
        return fail(error, kDelayFiniteMessage);
    module.delayUs = std::clamp(module.delayUs, 0.0, kMaxFileDelayUs);
    return true;
}

// `inputFir` is the owning input's FIR, which an FIR module without data inherits;
// output chains pass nullptr and need their own.
bool readModuleFields(const juce::var& object, InsertedModuleSettings& module, const FirSettings* inputFir, std::string& error)
{
    if (! readCommonFields(object, module, error))
        return false;

    const int kind = module.kind;
    if (kind == static_cast<int>(ProcessingModuleKind::firFilter))
    {
        if (hasKey(object, "fir"))
        {
            const auto& fir = property(object, "fir");
            if (! isJsonObject(fir))
                return fail(error, kFirNotObjectMessage);
            if (! readFir(fir, module.fir, error))
                return false;
        }
        else if (inputFir != nullptr)
        {
            module.fir = *inputFir;
        }
        else
        {
            return fail(error, kMissingFirMessage);
        }
    }
    if (isShelvingKind(kind) && ! readShelfOrder(object, module, error))
        return false;
    if (kind == static_cast<int>(ProcessingModuleKind::lowPassFilter)
        && ! readPassSettings(object, true, module.lowPassOrder, module.lowPassShape, error))
        return false;
    if (kind == static_cast<int>(ProcessingModuleKind::highPassFilter)
        && ! readPassSettings(object, false, module.highPassOrder, module.highPassShape, error))
        return false;

    module.eqBandCount = std::clamp(readInt(object, "eqBandCount", 1), 1, kMaxEqBands);
    if (const auto* bands = arrayOf(property(object, "eq")); bands != nullptr && bands->size() == kMaxEqBands)
    {
        double minHz = kMinBandFrequencyHz;
        double maxHz = kMaxBandFrequencyHz;
        if (isPassKind(kind))
            maxHz = kMaxPassFilterFrequencyHz;
        else if (kind == static_cast<int>(ProcessingModuleKind::peakingFilter))
            minHz = kMinPeakingFrequencyHz;
        readModuleBands(*bands, module, minHz, maxHz);
    }

    if (isPassKind(kind))
    {
        if (! checkPassBand(module, error))
            return false;
        makeSingleBand(module);
    }
    if (! bandsFinite(module.eq))
        return fail(error, kBandFiniteMessage);
    return true;
}

bool readProcessor(const juce::var& object, InsertedModuleSettings& processor, std::string& error)
{
    if (! readCommonFields(object, processor, error))
        return false;

    const int kind = processor.kind;
    if (kind == static_cast<int>(ProcessingModuleKind::divide))
    {
        const double floorDb = readNumber(object, "divideFloorDb", -120.0);
        const double limitDb = readNumber(object, "divideLimitDb", 20.0);
        if (! std::isfinite(floorDb) || ! std::isfinite(limitDb))
            return fail(error, "Divide safety parameters must be finite numbers.");
        processor.divideFloorDb = std::clamp(floorDb, kMinDivideFloorDb, kMaxDivideFloorDb);
        processor.divideLimitDb = std::clamp(limitDb, kMinDivideLimitDb, kMaxDivideLimitDb);
    }
    if (kind == static_cast<int>(ProcessingModuleKind::firFilter))
    {
        if (! hasKey(object, "fir"))
            return fail(error, kMissingFirMessage);
        const auto& fir = property(object, "fir");
        if (! isJsonObject(fir))
            return fail(error, kFirNotObjectMessage);
        if (! readFir(fir, processor.fir, error))
            return false;
    }

    processor.eqBandCount = std::clamp(readInt(object, "eqBandCount", 1), 1, kMaxEqBands);
    if (const auto* bands = arrayOf(property(object, "eq")))
    {
        const bool peaking = kind == static_cast<int>(ProcessingModuleKind::peakingFilter);
        readModuleBands(*bands, processor,
                        peaking ? kMinPeakingFrequencyHz : kMinBandFrequencyHz,
                        peaking ? kMaxBandFrequencyHz : kMaxPassFilterFrequencyHz);
    }

    if (isShelvingKind(kind))
    {
        if (! readShelfOrder(object, processor, error))
            return false;
        makeSingleBand(processor);
        processor.eq[0].type = static_cast<int>(kind == static_cast<int>(ProcessingModuleKind::highShelvingFilter)
                                                    ? FilterType::highShelf
                                                    : FilterType::lowShelf);
    }
    else if (isPassKind(kind))
    {
        const bool lowPass = kind == static_cast<int>(ProcessingModuleKind::lowPassFilter);
        if (! readPassSettings(object, lowPass, lowPass ? processor.lowPassOrder : processor.highPassOrder,
                               lowPass ? processor.lowPassShape : processor.highPassShape, error))
            return false;
        if (! checkPassBand(processor, error))
            return false;
        auto& band = processor.eq[0];
        band.frequencyHz = std::clamp(band.frequencyHz, kMinBandFrequencyHz, kMaxPassFilterFrequencyHz);
        band.q = std::clamp(band.q, kMinBandQ, kMaxBandQ);
        makeSingleBand(processor);
    }
    if (! bandsFinite(processor.eq))
        return fail(error, kBandFiniteMessage);
    return true;
}

bool readModuleIdAndKind(const juce::var& object, InsertedModuleSettings& module)
{
    module.id = readString(object, "id", {});
    if (module.id.empty() || module.id.find('.') != std::string::npos)
        return false;
    int kind = 0;
    if (! processingModuleKindFromName(readString(object, "kind", {}), kind) || isMathModuleKind(kind))
        return false;
    module.kind = kind;
    return true;
}

// An array replaces the order, absence gives the fixed default, anything else empties it.
std::vector<std::string> readModuleOrder(const juce::var& object, std::vector<std::string> fallback)
{
    if (! hasKey(object, "moduleOrder"))
        return fallback;
    std::vector<std::string> order;
    if (const auto* entries = arrayOf(property(object, "moduleOrder")))
        for (const auto& entry : *entries)
            if (entry.isString())
                order.push_back(entry.toString().toStdString());
    return order;
}

bool everyModuleOnce(const std::vector<std::string>& order, const std::vector<InsertedModuleSettings>& modules)
{
    return std::all_of(modules.begin(), modules.end(), [&](const InsertedModuleSettings& m) {
        return std::count(order.begin(), order.end(), m.id) == 1;
    });
}

bool isModuleId(const std::vector<InsertedModuleSettings>& modules, const std::string& id)
{
    return std::any_of(modules.begin(), modules.end(), [&](const InsertedModuleSettings& m) { return m.id == id; });
}

bool readInput(const juce::var& object, int index, InputSettings& input, std::string& error)
{
    input.physicalChannel = std::clamp(readInt(object, "physicalChannel", index + 1), kMinPhysicalChannel, kMaxPhysicalChannel);
    input.volumeDb = readNumber(object, "volumeDb", 0.0);
    if (! std::isfinite(input.volumeDb))
        return fail(error, kVolumeFiniteMessage);
    input.volumeDb = std::clamp(input.volumeDb, kMinVolumeDb, kMaxVolumeDb);
    input.mute = readBool(object, "mute", false);
    input.solo = readBool(object, "solo", false);

    const auto& fir = property(object, "fir");
    if (! isJsonObject(fir))
        return fail(error, "An input is missing its FIR data.");
    if (! readFir(fir, input.fir, error))
        return false;

    input.insertedModules.clear();
    if (const auto* modules = arrayOf(property(object, "insertedModules")))
    {
        if (modules->size() > kMaxInsertedModules)
            return fail(error, "An input contains too many inserted modules.");
        for (const auto& entry : *modules)
        {
            InsertedModuleSettings module;
            if (! readModuleIdAndKind(entry, module))
                return fail(error, "An input module has an invalid ID or kind.");
            if (! readModuleFields(entry, module, &input.fir, error))
                return false;
            input.insertedModules.push_back(std::move(module));
        }
    }

    input.moduleOrder = readModuleOrder(object, { "fir" });
    const auto& order = input.moduleOrder;
    const auto firCount = static_cast<size_t>(std::count(order.begin(), order.end(), "fir"));
    const bool namesKnown = std::all_of(order.begin(), order.end(), [&](const std::string& entry) {
        return entry == "fir" || isModuleId(input.insertedModules, entry);
    });
    if (firCount > 1 || order.size() != firCount + input.insertedModules.size() || ! namesKnown)
        return fail(error, "An input has an invalid module order.");
    if (! everyModuleOnce(order, input.insertedModules))
        return fail(error, "Every inserted input module must appear once in its chain.");
    return true;
}

bool readOutput(const juce::var& object, int index, int inputCount, int defaultInputIndex, OutputSettings& output, std::string& error)
{
    output.physicalChannel = std::clamp(readInt(object, "physicalChannel", index + 1), kMinPhysicalChannel, kMaxPhysicalChannel);
    output.inputIndex = std::clamp(readInt(object, "inputIndex", defaultInputIndex), -1, std::max(inputCount - 1, -1));
    output.volumeDb = readNumber(object, "volumeDb", 0.0);
    if (! std::isfinite(output.volumeDb))
        return fail(error, kVolumeFiniteMessage);
    output.volumeDb = std::clamp(output.volumeDb, kMinVolumeDb, kMaxVolumeDb);
    output.gainBypassed = readBool(object, "gainBypassed", false);
    output.gainDb = readNumber(object, "gainDb", 0.0);
    if (! std::isfinite(output.gainDb))
        return fail(error, kGainFiniteMessage);
    output.gainDb = std::clamp(output.gainDb, kMinGainDb, kMaxGainDb);
    output.polarityInverted = readBool(object, "polarityInverted", false);
    output.iirBypassed = readBool(object, "iirBypassed", false);
    output.delayBypassed = readBool(object, "delayBypassed", false);
    output.mute = readBool(object, "mute", false);
    output.solo = readBool(object, "solo", false);
    output.delayUs = readNumber(object, "delayUs", 0.0);
    if (! std::isfinite(output.delayUs))
        return fail(error, kDelayFiniteMessage);
    output.delayUs = std::clamp(output.delayUs, 0.0, kMaxFileDelayUs);

    const auto* bands = arrayOf(property(object, "eq"));
    if (bands == nullptr || bands->size() != kMaxEqBands)
        return fail(error, "Every output must contain 16 IIR bands.");
    int lastEnabled = -1;
    for (int k = 0; k < kMaxEqBands; ++k)
    {
        auto& band = output.eq[static_cast<size_t>(k)];
        readBand(bands->getReference(k), band, false, kMinBandFrequencyHz, kMaxBandFrequencyHz);
        if (band.enabled)
            lastEnabled = k;
    }
    if (! bandsFinite(output.eq))
        return fail(error, kBandFiniteMessage);

    // Saved bands that mimic a preset pattern are not recognised: none can match
    // once frequencies are clamped, so every output keeps the bands it was saved with.
    if (! hasKey(object, "eqBandCount") && lastEnabled < 0)
    {
        output.eq = EqBands {};
        output.eq[0].enabled = true;
        output.eqBandCount = 1;
    }
    else
    {
        output.eqBandCount = std::clamp(readInt(object, "eqBandCount", std::max(lastEnabled + 1, 1)), 1, kMaxEqBands);
        for (int k = output.eqBandCount; k < kMaxEqBands; ++k)
            output.eq[static_cast<size_t>(k)].enabled = false;
    }

    output.insertedModules.clear();
    if (const auto* modules = arrayOf(property(object, "insertedModules")))
    {
        if (modules->size() > kMaxInsertedModules)
            return fail(error, "An output contains too many inserted modules.");
        for (const auto& entry : *modules)
        {
            InsertedModuleSettings module;
            if (! readModuleIdAndKind(entry, module))
                return fail(error, "An inserted module has an invalid ID or kind.");
            if (isModuleId(output.insertedModules, module.id))
                return fail(error, "Inserted module IDs must be unique within an output.");
            if (! readModuleFields(entry, module, nullptr, error))
                return false;
            output.insertedModules.push_back(std::move(module));
        }
    }

    output.moduleOrder = readModuleOrder(object, { "gain", "iir", "delay" });
    const auto& order = output.moduleOrder;
    size_t fixedCount = 0;
    bool fixedOnce = true;
    for (const char* fixed : { "gain", "iir", "delay" })
    {
        const auto n = static_cast<size_t>(std::count(order.begin(), order.end(), fixed));
        fixedOnce = fixedOnce && n <= 1;
        fixedCount += n;
    }
    const bool namesKnown = std::all_of(order.begin(), order.end(), [&](const std::string& entry) {
        return entry == "gain" || entry == "iir" || entry == "delay" || isModuleId(output.insertedModules, entry);
    });
    if (! fixedOnce || order.size() != fixedCount + output.insertedModules.size() || ! namesKnown)
        return fail(error, "An output has an invalid module order.");
    if (! everyModuleOnce(order, output.insertedModules))
        return fail(error, "Every inserted module must appear once in its output chain.");
    return true;
}

//==============================================================================
// Canvas

bool readNode(const juce::var& object, CanvasNodeSettings& node, std::string& error)
{
    node.id = readString(object, "id", {});
    const auto type = readString(object, "type", {});
    int kind = 0;
    bool typeOk = true;
    if (type == "Input")
        node.kind = static_cast<int>(CanvasNodeKind::input);
    else if (type == "Output")
        node.kind = static_cast<int>(CanvasNodeKind::output);
    else if (processingModuleKindFromName(type, kind) && kind != static_cast<int>(ProcessingModuleKind::empty))
        node.kind = static_cast<int>(CanvasNodeKind::processor);
    else
        typeOk = false;
    if (node.id.empty() || node.id.find('.') != std::string::npos || ! typeOk)
        return fail(error, "A canvas node has an invalid ID or type.");

    node.channelIndex = readInt(object, "channelIndex", -1);
    node.x = readNumber(object, "x", 0.0);
    node.y = readNumber(object, "y", 0.0);
    if (! std::isfinite(node.x) || ! std::isfinite(node.y))
        return fail(error, "Canvas positions must be finite numbers.");
    node.x = std::clamp(node.x, -kCanvasCoordinateLimit, kCanvasCoordinateLimit);
    node.y = std::clamp(node.y, -kCanvasCoordinateLimit, kCanvasCoordinateLimit);
    node.locked = static_cast<bool>(property(object, "locked"));

    if (node.kind != static_cast<int>(CanvasNodeKind::processor))
        return true;

    node.channelIndex = -1;
    node.processor.id = node.id;
    node.processor.kind = kind;
    const auto& processor = property(object, "processor");
    if (! isJsonObject(processor))
        return fail(error, kMissingProcessorMessage);
    return readProcessor(processor, node.processor, error);
}

CanvasConnectionSettings readConnection(const juce::var& object)
{
    CanvasConnectionSettings connection;
    connection.id = readString(object, "id", {});
    connection.source = readString(object, "source", {});
    connection.target = readString(object, "target", {});
    connection.sourcePort = readString(object, "sourcePort", {});
    connection.targetPort = readString(object, "targetPort", {});
    return connection;
}

std::vector<CanvasSubmodulePortSettings> readPorts(const juce::var& value)
{
    std::vector<CanvasSubmodulePortSettings> ports;
    if (const auto* entries = arrayOf(value))
    {
        for (const auto& entry : *entries)
        {
            CanvasSubmodulePortSettings port;
            port.id = readString(entry, "id", {});
            port.name = readString(entry, "name", {});
            port.x = readNumber(entry, "x", 0.0);
            port.y = readNumber(entry, "y", 0.0);
            port.nodeId = readString(entry, "nodeId", {});
            ports.push_back(std::move(port));
        }
    }
    return ports;
}

CanvasSubmoduleSettings readSubmodule(const juce::var& object)
{
    CanvasSubmoduleSettings submodule;
    submodule.id = readString(object, "id", {});
    submodule.name = readString(object, "name", "Subsystem");
    submodule.x = readNumber(object, "x", 0.0);
    submodule.y = readNumber(object, "y", 0.0);
    submodule.parentSubmoduleId = readString(object, "parentSubmoduleId", {});
    submodule.locked = static_cast<bool>(property(object, "locked"));
    if (const auto* ids = arrayOf(property(object, "nodeIds")))
        for (const auto& id : *ids)
            submodule.nodeIds.push_back(id.toString().toStdString());
    submodule.inputs = readPorts(property(object, "inputs"));
    submodule.outputs = readPorts(property(object, "outputs"));
    return submodule;
}

// Version 2 stored no ports: every member Block at the edge of its group gets one.
void addAutomaticPorts(AppSettings& settings)
{
    for (auto& submodule : settings.submodules)
    {
        submodule.inputs.clear();
        submodule.outputs.clear();
        if (submodule.nodeIds.empty())
        {
            submodule.inputs.push_back({ "input1", "Input 1", std::max(submodule.x - 210.0, 16.0), submodule.y, {} });
            submodule.outputs.push_back({ "output1", "Output 1", submodule.x + 210.0, submodule.y, {} });
            continue;
        }

        const std::set<std::string> members(submodule.nodeIds.begin(), submodule.nodeIds.end());
        for (const auto& id : submodule.nodeIds)
        {
            const auto* node = findCanvasNode(settings, id);
            const double x = node != nullptr ? node->x : submodule.x;
            const double y = node != nullptr ? node->y : submodule.y;
            const bool fedFromInside = std::any_of(settings.connections.begin(), settings.connections.end(), [&](const auto& c) {
                return c.target == id && members.count(c.source) > 0;
            });
            const bool feedsInside = std::any_of(settings.connections.begin(), settings.connections.end(), [&](const auto& c) {
                return c.source == id && members.count(c.target) > 0;
            });
            if (! fedFromInside)
            {
                const auto k = std::to_string(submodule.inputs.size() + 1);
                submodule.inputs.push_back({ "input" + k, "Input " + k, std::max(x - 210.0, 16.0), y, id });
            }
            if (! feedsInside)
            {
                const auto k = std::to_string(submodule.outputs.size() + 1);
                submodule.outputs.push_back({ "output" + k, "Output " + k, x + 210.0, y, id });
            }
        }
    }
}

// Parent links are followed at most once per Subsystem, so a loop cannot hang us
// (the validator refuses such a file afterwards).
template <typename Visit>
void walkParents(const AppSettings& settings, const CanvasSubmoduleSettings& start, Visit&& visit)
{
    std::string current = start.parentSubmoduleId;
    for (size_t steps = 0; ! current.empty() && steps <= settings.submodules.size(); ++steps)
    {
        const auto* parent = findCanvasSubmodule(settings, current);
        if (parent == nullptr || ! visit(*parent))
            return;
        current = parent->parentSubmoduleId;
    }
}

// Before version 4 wires ran straight to the inner Blocks; route them through the ports.
void connectThroughPorts(AppSettings& settings)
{
    std::vector<std::pair<int, size_t>> order;
    for (size_t i = 0; i < settings.submodules.size(); ++i)
    {
        int depth = 0;
        walkParents(settings, settings.submodules[i], [&](const CanvasSubmoduleSettings&) { ++depth; return true; });
        order.emplace_back(depth, i);
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    std::set<std::string> usedIds;
    for (const auto& c : settings.connections)
        usedIds.insert(c.id);
    int counter = 1;
    auto nextId = [&] {
        std::string id;
        do
            id = "connection" + std::to_string(counter++);
        while (usedIds.count(id) > 0);
        usedIds.insert(id);
        return id;
    };

    for (const auto& entry : order)
    {
        const auto submodule = settings.submodules[entry.second];

        std::set<std::string> inside(submodule.nodeIds.begin(), submodule.nodeIds.end());
        for (const auto& other : settings.submodules)
        {
            bool nested = false;
            walkParents(settings, other, [&](const CanvasSubmoduleSettings& parent) {
                nested = parent.id == submodule.id;
                return ! nested;
            });
            if (nested)
                inside.insert(other.nodeIds.begin(), other.nodeIds.end());
        }

        // A wire already leaving or entering one of this Subsystem's own endpoints
        // stays where it is; it belongs to an earlier port of the same Block.
        std::set<std::string> ownEndpoints;
        for (const auto& port : submodule.inputs)
            ownEndpoints.insert(canvasSubmoduleInputEndpoint(submodule.id, port.id));
        for (const auto& port : submodule.outputs)
            ownEndpoints.insert(canvasSubmoduleOutputEndpoint(submodule.id, port.id));

        for (const auto& port : submodule.inputs)
        {
            if (port.nodeId.empty())
                continue;
            const auto endpoint = canvasSubmoduleInputEndpoint(submodule.id, port.id);
            std::string innerPort;
            bool retargeted = false;
            for (auto& c : settings.connections)
            {
                if (c.target != port.nodeId || inside.count(c.source) > 0 || ownEndpoints.count(c.source) > 0)
                    continue;
                // The endpoint has a single input; the Block's own port moves to the inner wire.
                if (! retargeted)
                    innerPort = c.targetPort;
                retargeted = true;
                c.target = endpoint;
                c.targetPort.clear();
            }
            const bool present = std::any_of(settings.connections.begin(), settings.connections.end(), [&](const auto& c) {
                return c.source == endpoint && c.target == port.nodeId;
            });
            if (! present)
                settings.connections.push_back({ nextId(), endpoint, port.nodeId, {}, innerPort });
        }

        for (const auto& port : submodule.outputs)
        {
            if (port.nodeId.empty())
                continue;
            const auto endpoint = canvasSubmoduleOutputEndpoint(submodule.id, port.id);
            for (auto& c : settings.connections)
                if (c.source == port.nodeId && inside.count(c.target) == 0 && ownEndpoints.count(c.target) == 0)
                    c.source = endpoint;
            const bool present = std::any_of(settings.connections.begin(), settings.connections.end(), [&](const auto& c) {
                return c.source == port.nodeId && c.target == endpoint;
            });
            if (! present)
                settings.connections.push_back({ nextId(), port.nodeId, endpoint, {}, {} });
        }
    }
}

bool readCanvas(const juce::var& canvas, AppSettings& settings, std::string& error)
{
    const int version = readInt(canvas, "version", 2);
    if (version < 2 || version > kCurrentCanvasVersion)
        return fail(error, "Unsupported Canvas format version.");
    const auto& nodes = *arrayOf(property(canvas, "nodes"));
    const auto& connections = *arrayOf(property(canvas, "connections"));
    if (nodes.size() > kMaxCanvasNodes || connections.size() > kMaxCanvasConnections)
        return fail(error, "The canvas exceeds the supported node or connection limit.");

    for (const auto& entry : nodes)
    {
        CanvasNodeSettings node;
        if (! readNode(entry, node, error))
            return false;
        settings.nodes.push_back(std::move(node));
    }
    for (const auto& entry : connections)
        settings.connections.push_back(readConnection(entry));

    if (const auto* submodules = arrayOf(property(canvas, "submodules")))
    {
        if (submodules->size() > kMaxSubmodules)
            return fail(error, "The Canvas exceeds the supported Subsystem limit.");
        for (const auto& entry : *submodules)
            settings.submodules.push_back(readSubmodule(entry));
    }

    if (version == 2)
        addAutomaticPorts(settings);
    if (version <= 3)
        connectThroughPorts(settings);
    return true;
}

// First-generation projects had only chains; lay each chain out as a row of Blocks.
void convertChainsToCanvas(AppSettings& settings)
{
    int nodeCounter = 1;
    int connectionCounter = 1;

    auto connect = [&](const std::string& from, const std::string& to) {
        settings.connections.push_back({ "connection" + std::to_string(connectionCounter++), from, to, {}, {} });
    };

    for (int i = 0; i < settings.inputCount; ++i)
        settings.nodes.push_back(makeChannelNode(CanvasNodeKind::input, i, 72.0, 90.0 + 190.0 * i));
    for (int j = 0; j < settings.outputCount; ++j)
        settings.nodes.push_back(makeChannelNode(CanvasNodeKind::output, j, 900.0, 70.0 + 116.0 * j));

    std::string previous;
    double x = 0.0;
    double y = 0.0;
    auto place = [&](InsertedModuleSettings processor) {
        CanvasNodeSettings node;
        node.id = "node" + std::to_string(nodeCounter++);
        node.kind = static_cast<int>(CanvasNodeKind::processor);
        node.x = x;
        node.y = y;
        processor.id = node.id;
        node.processor = std::move(processor);
        settings.nodes.push_back(node);
        connect(previous, node.id);
        previous = node.id;
        x += 190.0;
    };
    // An unconfigured slot passes the signal through; the canvas has no Block for it.
    auto placeModule = [&](const std::vector<InsertedModuleSettings>& modules, const std::string& id) {
        const auto it = std::find_if(modules.begin(), modules.end(), [&](const auto& m) { return m.id == id; });
        if (it != modules.end() && it->kind != static_cast<int>(ProcessingModuleKind::empty))
            place(*it);
    };

    for (int i = 0; i < settings.inputCount; ++i)
    {
        const auto& input = settings.inputs[static_cast<size_t>(i)];
        previous = "in" + std::to_string(i + 1);
        x = 260.0;
        y = 90.0 + 190.0 * i;
        for (const auto& entry : input.moduleOrder)
        {
            if (entry == "fir")
            {
                InsertedModuleSettings fir;
                fir.kind = static_cast<int>(ProcessingModuleKind::firFilter);
                fir.fir = input.fir;
                fir.bypassed = ! input.fir.enabled;
                place(std::move(fir));
            }
            else
            {
                placeModule(input.insertedModules, entry);
            }
        }

        const std::string inputChainEnd = previous;
        const double inputChainX = x;
        for (int j = 0; j < settings.outputCount; ++j)
        {
            const auto& output = settings.outputs[static_cast<size_t>(j)];
            if (output.inputIndex != i)
                continue;
            previous = inputChainEnd;
            x = std::max(inputChainX, 420.0);
            y = 70.0 + 116.0 * j;
            for (const auto& entry : output.moduleOrder)
            {
                InsertedModuleSettings stage;
                if (entry == "gain")
                {
                    stage.kind = static_cast<int>(ProcessingModuleKind::gain);
                    stage.bypassed = output.gainBypassed;
                    stage.gainDb = output.gainDb;
                    stage.polarityInverted = output.polarityInverted;
                    place(std::move(stage));
                }
                else if (entry == "iir")
                {
                    stage.kind = static_cast<int>(ProcessingModuleKind::iirFilter);
                    stage.bypassed = output.iirBypassed;
                    stage.eqBandCount = output.eqBandCount;
                    stage.eq = output.eq;
                    place(std::move(stage));
                }
                else if (entry == "delay")
                {
                    stage.kind = static_cast<int>(ProcessingModuleKind::delay);
                    stage.bypassed = output.delayBypassed;
                    stage.delayUs = output.delayUs;
                    place(std::move(stage));
                }
                else
                {
                    placeModule(output.insertedModules, entry);
                }
            }
            connect(previous, "out" + std::to_string(j + 1));
        }
    }
}

//==============================================================================
// Writing

juce::String toJuce(const std::string& text) { return juce::String::fromUTF8(text.data(), static_cast<int>(text.size())); }

juce::var number(double value) { return representable(value); }

class ObjectBuilder
{
public:
    ObjectBuilder() : object(new juce::DynamicObject()) {}

    ObjectBuilder& set(const char* key, const juce::var& value)
    {
        object->setProperty(juce::Identifier(key), value);
        return *this;
    }

    juce::var build() { return juce::var(object.get()); }

private:
    juce::DynamicObject::Ptr object;
};

juce::var stringArray(const std::vector<std::string>& values)
{
    juce::Array<juce::var> array;
    array.ensureStorageAllocated(static_cast<int>(values.size()));
    for (const auto& value : values)
        array.add(toJuce(value));
    return array;
}

juce::var firToVar(const FirSettings& fir, bool includeCoefficients)
{
    ObjectBuilder object;
    object.set("enabled", fir.enabled)
        .set("fileName", toJuce(fir.fileName))
        .set("sampleRateHz", fir.sampleRateHz)
        .set("taps", static_cast<int>(fir.coefficients.size()));
    if (includeCoefficients)
    {
        juce::Array<juce::var> coefficients;
        coefficients.ensureStorageAllocated(static_cast<int>(fir.coefficients.size()));
        for (const float c : fir.coefficients)
            coefficients.add(static_cast<double>(c));
        object.set("coefficients", coefficients);
    }
    return object.build();
}

juce::var bandsToVar(const EqBands& bands)
{
    juce::Array<juce::var> array;
    for (const auto& band : bands)
    {
        ObjectBuilder object;
        object.set("enabled", band.enabled)
            .set("type", toJuce(filterTypeName(band.type)))
            .set("frequencyHz", number(band.frequencyHz))
            .set("gainDb", number(band.gainDb))
            .set("q", number(band.q));
        array.add(object.build());
    }
    return array;
}

// Chain modules carry their id and kind; DSP Blocks take both from their node.
juce::var moduleToVar(const InsertedModuleSettings& module, bool isChainModule, bool includeCoefficients)
{
    const int kind = module.kind;
    ObjectBuilder object;
    if (isChainModule)
        object.set("id", toJuce(module.id)).set("kind", toJuce(processingModuleKindName(kind)));
    object.set("bypassed", module.bypassed)
        .set("gainDb", number(module.gainDb))
        .set("polarityInverted", module.polarityInverted)
        .set("delayUs", number(module.delayUs));
    if (! isChainModule && kind == static_cast<int>(ProcessingModuleKind::divide))
        object.set("divideFloorDb", number(module.divideFloorDb)).set("divideLimitDb", number(module.divideLimitDb));
    if (! isChainModule || kind == static_cast<int>(ProcessingModuleKind::firFilter))
        object.set("fir", firToVar(module.fir, includeCoefficients));
    if (isShelvingKind(kind))
        object.set("shelfOrder", module.shelfOrder);
    if (kind == static_cast<int>(ProcessingModuleKind::lowPassFilter))
        object.set("lowPassOrder", module.lowPassOrder).set("lowPassShape", toJuce(filterShapeName(module.lowPassShape)));
    if (kind == static_cast<int>(ProcessingModuleKind::highPassFilter))
        object.set("highPassOrder", module.highPassOrder).set("highPassShape", toJuce(filterShapeName(module.highPassShape)));
    object.set("eqBandCount", module.eqBandCount).set("eq", bandsToVar(module.eq));
    return object.build();
}

juce::var modulesToVar(const std::vector<InsertedModuleSettings>& modules, bool includeCoefficients)
{
    juce::Array<juce::var> array;
    for (const auto& module : modules)
        array.add(moduleToVar(module, true, includeCoefficients));
    return array;
}

juce::var inputToVar(const InputSettings& input, bool includeCoefficients)
{
    ObjectBuilder object;
    object.set("physicalChannel", input.physicalChannel)
        .set("volumeDb", number(input.volumeDb))
        .set("mute", input.mute)
        .set("solo", input.solo)
        .set("fir", firToVar(input.fir, includeCoefficients))
        .set("moduleOrder", stringArray(input.moduleOrder))
        .set("insertedModules", modulesToVar(input.insertedModules, includeCoefficients));
    return object.build();
}

juce::var outputToVar(const OutputSettings& output, bool includeCoefficients)
{
    ObjectBuilder object;
    object.set("physicalChannel", output.physicalChannel)
        .set("inputIndex", output.inputIndex)
        .set("volumeDb", number(output.volumeDb))
        .set("gainBypassed", output.gainBypassed)
        .set("gainDb", number(output.gainDb))
        .set("polarityInverted", output.polarityInverted)
        .set("iirBypassed", output.iirBypassed)
        .set("delayBypassed", output.delayBypassed)
        .set("mute", output.mute)
        .set("solo", output.solo)
        .set("delayUs", number(output.delayUs))
        .set("eqBandCount", output.eqBandCount)
        .set("eq", bandsToVar(output.eq))
        .set("moduleOrder", stringArray(output.moduleOrder))
        .set("insertedModules", modulesToVar(output.insertedModules, includeCoefficients));
    return object.build();
}

std::string nodeTypeName(const CanvasNodeSettings& node)
{
    if (node.kind == static_cast<int>(CanvasNodeKind::input))
        return "Input";
    if (node.kind == static_cast<int>(CanvasNodeKind::output))
        return "Output";
    return processingModuleKindName(node.processor.kind);
}

juce::var nodeToVar(const CanvasNodeSettings& node, bool includeCoefficients)
{
    const bool processor = node.kind == static_cast<int>(CanvasNodeKind::processor);
    ObjectBuilder object;
    object.set("id", toJuce(node.id))
        .set("type", toJuce(nodeTypeName(node)))
        .set("channelIndex", processor ? -1 : node.channelIndex)
        .set("x", number(node.x))
        .set("y", number(node.y))
        .set("locked", node.locked);
    if (processor)
        object.set("processor", moduleToVar(node.processor, false, includeCoefficients));
    return object.build();
}

juce::var connectionToVar(const CanvasConnectionSettings& connection)
{
    ObjectBuilder object;
    object.set("id", toJuce(connection.id)).set("source", toJuce(connection.source)).set("target", toJuce(connection.target));
    if (! connection.sourcePort.empty())
        object.set("sourcePort", toJuce(connection.sourcePort));
    if (! connection.targetPort.empty())
        object.set("targetPort", toJuce(connection.targetPort));
    return object.build();
}

juce::var portsToVar(const std::vector<CanvasSubmodulePortSettings>& ports)
{
    juce::Array<juce::var> array;
    for (const auto& port : ports)
    {
        ObjectBuilder object;
        object.set("id", toJuce(port.id))
            .set("name", toJuce(port.name))
            .set("x", number(port.x))
            .set("y", number(port.y))
            .set("nodeId", toJuce(port.nodeId));
        array.add(object.build());
    }
    return array;
}

juce::var submoduleToVar(const CanvasSubmoduleSettings& submodule)
{
    ObjectBuilder object;
    object.set("id", toJuce(submodule.id))
        .set("name", toJuce(submodule.name))
        .set("x", number(submodule.x))
        .set("y", number(submodule.y))
        .set("parentSubmoduleId", toJuce(submodule.parentSubmoduleId))
        .set("locked", submodule.locked)
        .set("nodeIds", stringArray(submodule.nodeIds))
        .set("inputs", portsToVar(submodule.inputs))
        .set("outputs", portsToVar(submodule.outputs));
    return object.build();
}

juce::var canvasToVar(const AppSettings& settings, bool includeCoefficients)
{
    juce::Array<juce::var> nodes;
    for (const auto& node : settings.nodes)
        nodes.add(nodeToVar(node, includeCoefficients));
    juce::Array<juce::var> connections;
    for (const auto& connection : settings.connections)
        connections.add(connectionToVar(connection));
    juce::Array<juce::var> submodules;
    for (const auto& submodule : settings.submodules)
        submodules.add(submoduleToVar(submodule));

    ObjectBuilder object;
    object.set("version", kCurrentCanvasVersion).set("nodes", nodes).set("connections", connections).set("submodules", submodules);
    return object.build();
}

//==============================================================================

bool readProject(const juce::var& root, AppSettings& result, std::string& error)
{
    if (! isJsonObject(root))
        return fail(error, "The project root must be a JSON object.");

    const int schema = readInt(root, "schemaVersion", 0);
    if (schema < 1 || schema > 3)
        return fail(error, "Unsupported project format version.");

    const auto* inputs = arrayOf(property(root, "inputs"));
    const auto* outputs = arrayOf(property(root, "outputs"));
    if (inputs == nullptr || outputs == nullptr)
        return fail(error, "The project is missing its input or output configuration.");
    const int inputCount = inputs->size();
    const int outputCount = outputs->size();

    // Layout.
    auto configuration = readString(root, "speakerConfiguration", {});
    if (configuration.empty())
    {
        if (inputCount == 2 && outputCount == 4)
            configuration = "2way-stereo";
        else if (inputCount == 2 && outputCount == 6)
            configuration = "3way-stereo";
        else if (inputCount == 1 && outputCount == 2)
            configuration = "2way-mono";
    }
    std::vector<int> ways;
    if (configuration == "2way-mono")
        ways = { 2 };
    else if (configuration == "2way-stereo")
        ways = { 2, 2 };
    else if (configuration == "3way-stereo")
        ways = { 3, 3 };
    if (const auto* saved = arrayOf(property(root, "waysPerChannel")))
    {
        ways.clear();
        for (const auto& entry : *saved)
            ways.push_back(varToInt(entry, 0));
    }
    const auto normalized = normalizedSpeakerConfiguration(configuration);
    if (ways.empty() && ! normalized.empty())
    {
        ways.assign(static_cast<size_t>(inputCount), 0);
        for (const auto& output : *outputs)
        {
            const int index = readInt(output, "inputIndex", -1);
            if (index >= 0 && index < inputCount)
                ++ways[static_cast<size_t>(index)];
        }
    }

    // Outputs without a saved source keep the layout's routing; free projects start at input 0.
    bool useBaseRouting = false;
    if (schema < 3)
    {
        if (! isValidSpeakerLayout(configuration, ways, error))
            return false;
        result = makeDefaultSettings(configuration, ways);
        if (result.inputCount != inputCount || result.outputCount != outputCount)
            return fail(error, "The speaker configuration does not match the saved input/output counts.");
        useBaseRouting = true;
    }
    else
    {
        if (inputCount > kMaxInputs || outputCount > kMaxOutputs)
            return fail(error, "A project supports up to 16 inputs and 16 outputs.");
        result = makeDefaultSettings("empty", {});
        result.speakerConfiguration = normalized.empty() ? "custom" : normalized;
        result.inputCount = inputCount;
        result.outputCount = outputCount;
        result.waysPerChannel.fill(0);
        const size_t n = std::min(ways.size(), static_cast<size_t>(inputCount));
        for (size_t i = 0; i < n; ++i)
            result.waysPerChannel[i] = std::clamp(ways[i], 0, kMaxWaysPerChannel);
    }

    result.projectName = readString(root, "projectName", "Untitled");
    result.masterMute = readBool(root, "masterMute", true);
    const double masterVolume = readNumber(root, "masterVolumeDb", 0.0);
    if (! std::isfinite(masterVolume))
        return fail(error, kVolumeFiniteMessage);
    result.masterVolumeDb = std::clamp(masterVolume, kMinMasterVolumeDb, kMaxMasterVolumeDb);

    result.analyzerWorkspace = "{}";
    if (hasKey(root, "analyzerWorkspace"))
    {
        const auto& workspace = property(root, "analyzerWorkspace");
        if (! isJsonObject(workspace))
            return fail(error, "The Analyzer workspace is invalid.");
        auto text = toJsonText(workspace);
        if (text.size() > static_cast<size_t>(kMaxAnalyzerWorkspaceBytes))
            return fail(error, "The Analyzer workspace is larger than 8 MB.");
        result.analyzerWorkspace = std::move(text);
    }

    for (int i = 0; i < inputCount; ++i)
        if (! readInput(inputs->getReference(i), i, result.inputs[static_cast<size_t>(i)], error))
            return false;
    for (int j = 0; j < outputCount; ++j)
    {
        auto& output = result.outputs[static_cast<size_t>(j)];
        const int defaultInputIndex = useBaseRouting ? output.inputIndex : 0;
        if (! readOutput(outputs->getReference(j), j, inputCount, defaultInputIndex, output, error))
            return false;
    }

    result.nodes.clear();
    result.connections.clear();
    result.submodules.clear();
    const auto& canvas = property(root, "canvas");
    if (isJsonObject(canvas) && property(canvas, "nodes").isArray() && property(canvas, "connections").isArray())
    {
        if (! readCanvas(canvas, result, error))
            return false;
    }
    else if (schema == 1)
    {
        convertChainsToCanvas(result);
    }
    else
    {
        return fail(error, "The project is missing its canvas graph.");
    }

    return validateCanvasGraph(result, error);
}

} // namespace

juce::var settingsToVar(const AppSettings& settings, bool includeFirCoefficients)
{
    const int inputCount = std::clamp(settings.inputCount, 0, kMaxInputs);
    const int outputCount = std::clamp(settings.outputCount, 0, kMaxOutputs);

    juce::Array<juce::var> ways;
    for (int i = 0; i < inputCount; ++i)
        ways.add(settings.waysPerChannel[static_cast<size_t>(i)]);

    ObjectBuilder root;
    root.set("schemaVersion", settings.schemaVersion)
        .set("projectName", toJuce(settings.projectName))
        .set("speakerConfiguration", toJuce(settings.speakerConfiguration))
        .set("waysPerChannel", ways)
        .set("masterMute", settings.masterMute)
        .set("masterVolumeDb", number(settings.masterVolumeDb));

    juce::var workspace;
    if (parseJson(settings.analyzerWorkspace, workspace) && isJsonObject(workspace))
        root.set("analyzerWorkspace", workspace);

    juce::Array<juce::var> inputs;
    for (int i = 0; i < inputCount; ++i)
        inputs.add(inputToVar(settings.inputs[static_cast<size_t>(i)], includeFirCoefficients));
    juce::Array<juce::var> outputs;
    for (int j = 0; j < outputCount; ++j)
        outputs.add(outputToVar(settings.outputs[static_cast<size_t>(j)], includeFirCoefficients));

    root.set("inputs", inputs).set("outputs", outputs).set("canvas", canvasToVar(settings, includeFirCoefficients));
    return root.build();
}

bool settingsFromVar(const juce::var& value, AppSettings& settings, std::string& error)
{
    AppSettings result;
    std::string message;
    if (! readProject(value, result, message))
    {
        error = message;
        return false;
    }
    settings = std::move(result);
    return true;
}

} // namespace speaker
