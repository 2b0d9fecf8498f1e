#pragma once

#include <array>
#include <string>
#include <vector>

namespace speaker
{

// Limits of the project model; every part of the system uses these values.
inline constexpr int kMaxInputs = 16;
inline constexpr int kMaxOutputs = 16;
inline constexpr int kMinPhysicalChannel = 1;
inline constexpr int kMaxPhysicalChannel = 64;
inline constexpr int kMinWaysPerChannel = 1;
inline constexpr int kMaxWaysPerChannel = 8;
inline constexpr int kMaxLayoutOutputs = 16;
inline constexpr int kMaxInsertedModules = 13;
inline constexpr int kMaxEqBands = 16;
inline constexpr int kMaxFirCoefficients = 4096;
inline constexpr std::array<int, 3> kFirSampleRates { 44100, 48000, 96000 };
inline constexpr int kMaxCanvasNodes = 96;
inline constexpr int kMaxCanvasConnections = 192;
inline constexpr int kMaxCanvasBlocks = 64;
inline constexpr int kMaxSubmodules = 32;
inline constexpr int kMaxSubmodulePortsPerSide = 64;
inline constexpr double kCanvasCoordinateLimit = 100000.0;
inline constexpr int kMaxAnalyzerWorkspaceBytes = 8388608;
inline constexpr int kCurrentSchemaVersion = 3;
inline constexpr int kCurrentCanvasVersion = 6;

// Value ranges shared by the file reader and the parameter setter.
inline constexpr double kMinVolumeDb = -100.0;
inline constexpr double kMaxVolumeDb = 12.0;
inline constexpr double kMinMasterVolumeDb = -100.0;
inline constexpr double kMaxMasterVolumeDb = 0.0;
inline constexpr double kMinGainDb = -100.0;
inline constexpr double kMaxGainDb = 20.0;
inline constexpr double kMaxFileDelayUs = 50000.0;
inline constexpr double kMaxParameterDelayUs = 10000.0;
inline constexpr double kMinBandFrequencyHz = 10.0;
inline constexpr double kMaxBandFrequencyHz = 22000.0;
inline constexpr double kMaxPassFilterFrequencyHz = 47904.0;
inline constexpr double kMinPeakingFrequencyHz = 18.0;
inline constexpr double kMinBandGainDb = -20.0;
inline constexpr double kMaxBandGainDb = 20.0;
inline constexpr double kMinBandQ = 0.1;
inline constexpr double kMaxBandQ = 20.0;
inline constexpr double kMinDivideFloorDb = -180.0;
inline constexpr double kMaxDivideFloorDb = -20.0;
inline constexpr double kMinDivideLimitDb = 0.0;
inline constexpr double kMaxDivideLimitDb = 60.0;
inline constexpr int kMaxFilterOrder = 8;
inline constexpr double kDefaultSampleRateHz = 48000.0;

enum class ProcessingModuleKind : int
{
    gain = 0,
    iirFilter = 1,
    delay = 2,
    firFilter = 3,
    peakingFilter = 4,
    highShelvingFilter = 5,
    lowShelvingFilter = 6,
    lowPassFilter = 7,
    highPassFilter = 8,
    add = 9,
    subtract = 10,
    multiply = 11,
    divide = 12,
    empty = 13,
};

enum class CanvasNodeKind : int
{
    input = 0,
    output = 1,
    processor = 2,
};

enum class FilterType : int
{
    bypass = 0,
    lowShelf = 1,
    highShelf = 2,
    lowPass2nd = 3,
    highPass2nd = 4,
    peaking = 5,
};

enum class FilterShape : int
{
    butterworth = 0,
    linkwitzRiley = 1,
};

std::string processingModuleKindName(int kind);
inline std::string processingModuleKindName(ProcessingModuleKind kind) { return processingModuleKindName(static_cast<int>(kind)); }
bool processingModuleKindFromName(const std::string& name, int& kind);
bool isMathModuleKind(int kind);

int filterTypeFromName(const std::string& name);
std::string filterTypeName(int type);

std::string filterShapeName(int shape);

struct EqBandSettings
{
    bool enabled = false;
    int type = static_cast<int>(FilterType::peaking);
    double frequencyHz = 1000.0;
    double gainDb = 0.0;
    double q = 1.0;

    bool operator==(const EqBandSettings&) const = default;
};

using EqBands = std::array<EqBandSettings, kMaxEqBands>;

inline constexpr const char* kNoFirFileLoaded = "No file loaded";

struct FirSettings
{
    bool enabled = true;
    std::string fileName = kNoFirFileLoaded;
    int sampleRateHz = 48000;
    std::vector<float> coefficients { 1.0f };

    bool operator==(const FirSettings&) const = default;
};

EqBands makeDefaultModuleEqBands();

struct InsertedModuleSettings
{
    std::string id;
    int kind = static_cast<int>(ProcessingModuleKind::empty);
    bool bypassed = false;
    double gainDb = 0.0;
    bool polarityInverted = false;
    double delayUs = 0.0;
    FirSettings fir;
    int shelfOrder = 2;
    int lowPassOrder = 2;
    int lowPassShape = static_cast<int>(FilterShape::butterworth);
    int highPassOrder = 2;
    int highPassShape = static_cast<int>(FilterShape::butterworth);
    double divideFloorDb = -120.0;
    double divideLimitDb = 20.0;
    int eqBandCount = 1;
    EqBands eq = makeDefaultModuleEqBands();

    bool operator==(const InsertedModuleSettings&) const = default;
};

struct InputSettings
{
    int physicalChannel = 1;
    double volumeDb = 0.0;
    bool mute = false;
    bool solo = false;
    FirSettings fir;
    std::vector<std::string> moduleOrder;
    std::vector<InsertedModuleSettings> insertedModules;

    bool operator==(const InputSettings&) const = default;
};

struct OutputSettings
{
    int physicalChannel = 1;
    int inputIndex = 0;
    double volumeDb = 0.0;
    bool gainBypassed = false;
    double gainDb = 0.0;
    bool polarityInverted = false;
    bool iirBypassed = false;
    bool delayBypassed = false;
    bool mute = false;
    bool solo = false;
    double delayUs = 0.0;
    int eqBandCount = 1;
    EqBands eq {};
    std::vector<std::string> moduleOrder;
    std::vector<InsertedModuleSettings> insertedModules;

    bool operator==(const OutputSettings&) const = default;
};

struct CanvasNodeSettings
{
    std::string id;
    int kind = static_cast<int>(CanvasNodeKind::processor);
    int channelIndex = -1;
    double x = 0.0;
    double y = 0.0;
    InsertedModuleSettings processor;
    bool locked = false;

    bool operator==(const CanvasNodeSettings&) const = default;
};

struct CanvasConnectionSettings
{
    std::string id;
    std::string source;
    std::string target;
    std::string sourcePort;
    std::string targetPort;

    bool operator==(const CanvasConnectionSettings&) const = default;
};

struct CanvasSubmodulePortSettings
{
    std::string id;
    std::string name;
    double x = 0.0;
    double y = 0.0;
    std::string nodeId;

    bool operator==(const CanvasSubmodulePortSettings&) const = default;
};

struct CanvasSubmoduleSettings
{
    std::string id;
    std::string name = "Subsystem";
    double x = 0.0;
    double y = 0.0;
    std::vector<std::string> nodeIds;
    std::string parentSubmoduleId;
    std::vector<CanvasSubmodulePortSettings> inputs;
    std::vector<CanvasSubmodulePortSettings> outputs;
    bool locked = false;

    bool operator==(const CanvasSubmoduleSettings&) const = default;
};

struct AppSettings
{
    int schemaVersion = kCurrentSchemaVersion;
    std::string projectName = "Untitled";
    std::string analyzerWorkspace = "{}";
    std::string speakerConfiguration = "stereo";
    int inputCount = 2;
    int outputCount = 4;
    std::array<int, kMaxInputs> waysPerChannel { 2, 2 };
    bool masterMute = true;
    double masterVolumeDb = 0.0;
    std::array<InputSettings, kMaxInputs> inputs {};
    std::array<OutputSettings, kMaxOutputs> outputs {};
    std::vector<CanvasNodeSettings> nodes;
    std::vector<CanvasConnectionSettings> connections;
    std::vector<CanvasSubmoduleSettings> submodules;

    bool operator==(const AppSettings&) const = default;
};

std::string normalizedSpeakerConfiguration(const std::string& name);
bool isValidSpeakerLayout(const std::string& configuration, const std::vector<int>& waysPerChannel, std::string& error);
AppSettings makeDefaultSettings(const std::string& configuration, const std::vector<int>& waysPerChannel);

// An Input or Output node for device channel `index`, named "in1"/"out1" and so on.
CanvasNodeSettings makeChannelNode(CanvasNodeKind kind, int index, double x, double y);

std::string canvasSubmoduleInputEndpoint(const std::string& subsystemId, const std::string& portId);
std::string canvasSubmoduleOutputEndpoint(const std::string& subsystemId, const std::string& portId);

// Node lookups used by the reader, the validator and the editors.
const CanvasNodeSettings* findCanvasNode(const AppSettings& settings, const std::string& id);
CanvasNodeSettings* findCanvasNode(AppSettings& settings, const std::string& id);
const CanvasSubmoduleSettings* findCanvasSubmodule(const AppSettings& settings, const std::string& id);

} // namespace speaker
