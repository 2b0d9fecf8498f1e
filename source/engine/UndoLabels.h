#pragma once

// Labels under which the native functions record their undo steps. Only labels
// beginning "parameter:" or "move:" coalesce; the fixed ones begin with neither.

#include <juce_core/juce_core.h>

namespace speaker::undoLabel
{
// Plain parameter edits merge when under 750 ms apart; with a control id (one
// gesture of one control) they merge without a time limit.
inline juce::String parameter(const juce::String& path, const juce::String& controlId = {})
{
    return controlId.isEmpty() ? "parameter:" + path : "parameter:control:" + path + ":" + controlId;
}
inline juce::String peaking(const juce::String& path, const juce::String& controlId = "direct")
{
    return "parameter:peaking:" + path + ":" + controlId;
}
inline juce::String filter(const juce::String& path, const juce::String& controlId = "direct")
{
    return "parameter:filter:" + path + ":" + controlId;
}
inline juce::String move(const juce::String& id) { return "move:" + id; }
inline juce::String addCanvasModule(const juce::String& subsystemId) { return "addCanvasModule:" + subsystemId; }
inline juce::String renameSubmodule(const juce::String& id) { return "rename:" + id; }
inline juce::String addSubmodulePort(const juce::String& id) { return "addSubmodulePort:" + id; }
inline juce::String moveSubmodulePort(const juce::String& portId) { return "moveSubmodulePort:" + portId; }
inline juce::String connectSubmodulePort(const juce::String& portId) { return "connectSubmodulePort:" + portId; }
inline juce::String removeSubmodulePort(const juce::String& portId) { return "removeSubmodulePort:" + portId; }

inline constexpr const char* allOutputMute = "allOutputMute";
inline constexpr const char* addCanvasTerminal = "addCanvasTerminal";
inline constexpr const char* pasteCanvasModule = "pasteCanvasModule";
inline constexpr const char* pasteCanvasSelection = "pasteCanvasSelection";
inline constexpr const char* removeCanvasSelection = "removeCanvasSelection";
inline constexpr const char* removeCanvasNode = "removeCanvasNode";
inline constexpr const char* lockCanvasItems = "lockCanvasItems";
inline constexpr const char* connectCanvasNodes = "connectCanvasNodes";
inline constexpr const char* disconnectCanvasConnection = "disconnectCanvasConnection";
inline constexpr const char* createCanvasSubmodule = "createCanvasSubmodule";
inline constexpr const char* ungroupCanvasSubmodule = "ungroupCanvasSubmodule";
inline constexpr const char* insertModule = "insertModule";
inline constexpr const char* configureModule = "configureModule";
inline constexpr const char* deleteModule = "deleteModule";
inline constexpr const char* pasteModule = "pasteModule";
inline constexpr const char* deleteEqBand = "deleteEqBand";
// loadFirIntoBlock / loadFirIntoChain record their own step under this label.
inline constexpr const char* loadFir = "loadFir";
} // namespace speaker::undoLabel
