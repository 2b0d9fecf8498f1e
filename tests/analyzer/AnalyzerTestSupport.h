#pragma once

#include "analyzer/GraphAnalyzer.h"
#include "model/AppSettings.h"

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

namespace analyzer_test
{
using namespace speaker;

inline InsertedModuleSettings module(ProcessingModuleKind kind)
{
    InsertedModuleSettings m;
    m.kind = static_cast<int>(kind);
    return m;
}

inline InsertedModuleSettings withBand(InsertedModuleSettings m, double frequencyHz, double gainDb, double q)
{
    m.eq[0].enabled = true;
    m.eq[0].frequencyHz = frequencyHz;
    m.eq[0].gainDb = gainDb;
    m.eq[0].q = q;
    return m;
}

inline CanvasNodeSettings terminal(const std::string& id, CanvasNodeKind kind, int channel)
{
    CanvasNodeSettings n;
    n.id = id;
    n.kind = static_cast<int>(kind);
    n.channelIndex = channel;
    return n;
}

inline CanvasNodeSettings blockNode(const std::string& id, InsertedModuleSettings m)
{
    CanvasNodeSettings n;
    n.id = id;
    n.kind = static_cast<int>(CanvasNodeKind::processor);
    m.id = id;
    n.processor = m;
    return n;
}

inline void connect(AppSettings& p, const std::string& source, const std::string& target, const std::string& port = {})
{
    CanvasConnectionSettings c;
    c.id = "connection" + std::to_string(p.connections.size() + 1);
    c.source = source;
    c.target = target;
    c.targetPort = port;
    p.connections.push_back(c);
}

// in1 -> node1 -> ... -> nodeN -> out1, on a stereo project with one spare path in2 -> out2.
inline AppSettings chainProject(const std::vector<InsertedModuleSettings>& blocks)
{
    AppSettings p = makeDefaultSettings("stereo", { 1, 1 });
    p.nodes.clear();
    p.connections.clear();
    p.nodes.push_back(terminal("in1", CanvasNodeKind::input, 0));
    p.nodes.push_back(terminal("in2", CanvasNodeKind::input, 1));
    std::string previous = "in1";
    for (size_t i = 0; i < blocks.size(); ++i)
    {
        const std::string id = "node" + std::to_string(i + 1);
        p.nodes.push_back(blockNode(id, blocks[i]));
        connect(p, previous, id);
        previous = id;
    }
    p.nodes.push_back(terminal("out1", CanvasNodeKind::output, 0));
    p.nodes.push_back(terminal("out2", CanvasNodeKind::output, 1));
    connect(p, previous, "out1");
    connect(p, "in2", "out2");
    return p;
}

inline std::vector<double> doubles(const juce::var& array)
{
    std::vector<double> v;
    if (const auto* a = array.getArray())
        for (const auto& item : *a)
            v.push_back(static_cast<double>(item));
    return v;
}

inline std::string text(const juce::var& result, const char* key) { return result[key].toString().toStdString(); }

inline GraphAnalyzerOptions sweepOptions(double start = 20.0, double end = 20000.0, double seconds = 1.0)
{
    GraphAnalyzerOptions o;
    o.excitation = AnalyzerExcitation::logSweep;
    o.sweepStartHz = start;
    o.sweepEndHz = end;
    o.durationSeconds = seconds;
    return o;
}
} // namespace analyzer_test
