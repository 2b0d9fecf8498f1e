#pragma once

#include "model/AppSettings.h"

#include <juce_core/juce_core.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace speaker
{
enum class AnalyzerExcitation : int
{
    impulse = 0,
    logSweep = 1,
};

struct GraphAnalyzerOptions
{
    AnalyzerExcitation excitation = AnalyzerExcitation::impulse;
    double sweepStartHz = 20.0;
    double sweepEndHz = 20000.0;
    double durationSeconds = 1.0;
    double levelDb = -12.0;
    // Inputs that receive the excitation; empty means every Input of the path.
    std::vector<std::string> excitationInputIds;
};

// Fixed sizes of the result.
inline constexpr int kAnalyzerGridPoints = 401;
inline constexpr int kAnalyzerDistortionPoints = 241;
inline constexpr int kAnalyzerImpulsePoints = 1600;
inline constexpr int kAnalyzerBlockSize = 256;

// Offline response of the path to `targetId` (includePath) or of that Block
// alone, at one of the device rates (anything else runs at 48 kHz). Never
// throws; every outcome is a result object whose "status" is "ok", "error",
// "empty" or "cancelled". isCancelled may be empty; it is polled after
// preparation, before every block and every 16 distortion points.
juce::var analyzeCanvasGraph(const AppSettings& project, const std::string& targetId, bool includePath,
                             double sampleRateHz, const GraphAnalyzerOptions& options,
                             const std::function<bool()>& isCancelled = {});

// Hash of exactly what the analysis reads: the analysed nodes and the wiring
// between them, without positions, locks or Subsystem grouping.
std::string graphAnalysisFingerprint(const AppSettings& project, const std::string& targetId, bool includePath);

// The cache key of one request: the fingerprint followed by the request.
std::string graphAnalysisCacheKey(const AppSettings& project, const std::string& targetId, bool includePath,
                                  double sampleRateHz, const GraphAnalyzerOptions& options);

// The rate an analysis runs at: 44.1, 48 or 96 kHz within 0.5 Hz, else 48 kHz.
double analyzerSampleRate(double requestedHz);

int analyzerFftSize(double sampleRateHz, double durationSeconds, AnalyzerExcitation excitation);

// Gaussian elimination with partial pivoting. False for a pivot below 1e-18
// in magnitude or a non-finite solution; `solution` is then unspecified.
bool solveThreeByThree(const std::array<std::array<double, 3>, 3>& matrix, const std::array<double, 3>& rhs,
                       std::array<double, 3>& solution);

juce::var resultWithStatus(const std::string& status, const std::string& message);

std::string nodeLabel(const CanvasNodeSettings& node);
} // namespace speaker
