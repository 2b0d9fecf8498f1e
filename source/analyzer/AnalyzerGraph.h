#pragma once

#include "model/AppSettings.h"

#include <string>
#include <vector>

namespace speaker
{
// The canvas graph with Subsystems dissolved: every node's sources as node
// indices, and the nodes an analysis of one target reads.
struct AnalyzerGraph
{
    // Index of the target in the node list, -1 when it does not exist.
    int target = -1;
    // Per node: source A (port "input", or "a" for math Blocks) and source B
    // (port "b" of math Blocks), -1 when nothing reaches the port.
    std::vector<int> sourceA;
    std::vector<int> sourceB;
    // The analysed nodes in ascending index order.
    std::vector<int> analysedSet;
};

AnalyzerGraph resolveAnalyzerGraph(const AppSettings& project, const std::string& targetId, bool includePath);

// Kahn's order of the analysed set over its source edges; false when a loop
// leaves nodes unordered.
bool orderAnalysedSet(const AnalyzerGraph& graph, std::vector<int>& order);

bool isMathBlock(const CanvasNodeSettings& node);
} // namespace speaker
