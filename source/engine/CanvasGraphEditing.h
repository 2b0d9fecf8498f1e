#pragma once

// Small graph helpers shared by the canvas and Subsystem editors. They work on
// a project copy and never publish.

#include "model/AppSettings.h"

#include <functional>
#include <string>
#include <vector>

namespace speaker
{
// The rounded device rate when it lies within 0.5 Hz of a supported FIR rate,
// else 0 (callers then choose 48000 where a rate is needed).
int validFirDeviceRate(double rate);

// Every stored canvas position lies within +-100000.
double clampCanvasCoordinate(double value);

// prefix + N with N the smallest number from 1 up for which `used` is false.
std::string smallestUnusedId(const std::string& prefix, const std::function<bool(const std::string&)>& used);

std::string nextCanvasConnectionId(const AppSettings& settings);
// Appends source -> target with empty ports unless some wire already joins them.
void addCanvasEdgeIfMissing(AppSettings& settings, const std::string& source, const std::string& target);

// "output" for an empty source port; "a" (math Blocks) or "input" for an empty target port.
std::string effectiveSourcePort(const std::string& port);
std::string effectiveTargetPort(const AppSettings& settings, const std::string& target, const std::string& port);

// The Subsystem a port endpoint belongs to, or nullptr for anything else.
const CanvasSubmoduleSettings* submoduleOfEndpoint(const AppSettings& settings, const std::string& endpoint);

bool canvasItemLocked(const AppSettings& settings, const std::string& id);
bool canvasSubtreeContainsLockedItem(const AppSettings& settings, const std::string& subsystemId);
// The Subsystem itself first, then every Subsystem nested in it, in list order.
std::vector<std::string> descendantSubmoduleIds(const AppSettings& settings, const std::string& subsystemId);
std::vector<std::string> descendantNodeIds(const AppSettings& settings, const std::string& subsystemId);

// Gives a freshly grouped Subsystem its ports so that the signal flow is unchanged.
void createAutomaticSubmodulePorts(AppSettings& settings, const std::string& subsystemId);
// Joins the wire into a port endpoint straight to every wire out of it and
// removes the endpoint's wires.
void collapseCanvasEndpoint(AppSettings& settings, const std::string& endpoint);
} // namespace speaker
