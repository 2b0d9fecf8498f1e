#include "engine/AudioEngine.h"
#include "engine/UndoLabels.h"
#include "model/CanvasValidation.h"
#include "model/ProjectFile.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The message thread must keep up with a dragged control at display rate on the
// largest project the canvas allows: 96 nodes, 192 connections, 32 Subsystems.
// DSP is stopped; every edit runs the way the native functions run it, inside
// its undoable change. Structural edits are timed alone (manual time) and put
// back untimed, so each iteration meets the same project.

namespace
{
std::string numbered(const char* prefix, int n) { return prefix + std::to_string(n); }

void addWire(speaker::AppSettings& s, const std::string& source, const std::string& target, const std::string& targetPort = {})
{
    speaker::CanvasConnectionSettings c;
    c.id = numbered("connection", static_cast<int>(s.connections.size()) + 1);
    c.source = source;
    c.target = target;
    c.targetPort = targetPort;
    s.connections.push_back(c);
}

void addBlock(speaker::AppSettings& s, const std::string& id, speaker::ProcessingModuleKind kind, double x, double y)
{
    speaker::CanvasNodeSettings node;
    node.id = id;
    node.x = x;
    node.y = y;
    node.processor.id = id;
    node.processor.kind = static_cast<int>(kind);
    s.nodes.push_back(node);
}

// 16 inputs, 16 outputs and 64 Blocks in 32 Subsystems of two each (a Gain
// feeding an Add), 192 wires.
speaker::AppSettings largestProject()
{
    auto s = speaker::makeDefaultSettings("custom", std::vector<int>(16, 1));
    s.connections.clear();
    for (int k = 1; k <= 32; ++k)
    {
        const auto sub = numbered("submodule", k);
        const auto a = numbered("node", 2 * k - 1);
        const auto b = numbered("node", 2 * k);
        const auto in = numbered("in", (k - 1) % 16 + 1);
        const double y = 60.0 * k;
        addBlock(s, a, speaker::ProcessingModuleKind::gain, 300.0, y);
        addBlock(s, b, speaker::ProcessingModuleKind::add, 450.0, y);
        speaker::CanvasSubmoduleSettings group;
        group.id = sub;
        group.name = numbered("Subsystem ", k);
        group.x = 375.0;
        group.y = y;
        group.nodeIds = { a, b };
        group.inputs.push_back({ "input1", "Input 1", 90.0, y - 20.0, a });
        group.inputs.push_back({ "input2", "Input 2", 240.0, y + 20.0, b });
        group.outputs.push_back({ "output1", "Output 1", 660.0, y, b });
        s.submodules.push_back(group);

        const auto i = speaker::canvasSubmoduleInputEndpoint(sub, "input1");
        const auto j = speaker::canvasSubmoduleInputEndpoint(sub, "input2");
        const auto o = speaker::canvasSubmoduleOutputEndpoint(sub, "output1");
        addWire(s, in, i);
        addWire(s, i, a);
        addWire(s, a, b, "a");
        addWire(s, b, o);
        if (k <= 16)
            addWire(s, o, numbered("out", k));
        if (k <= 24)
        {
            addWire(s, in, j);
            addWire(s, j, b, "b");
        }
    }
    return s;
}

struct Fixture
{
    explicit Fixture(speaker::AppSettings project)
    {
        juce::MessageManager::getInstance();
        engine = std::make_unique<speaker::AudioEngine>();
        std::string error;
        if (! speaker::validateCanvasGraph(project, error) || ! engine->replaceWithNewProject(std::move(project), error))
            message = error.empty() ? "the project was refused" : error;
    }

    std::unique_ptr<speaker::AudioEngine> engine;
    std::string message;
};

template <typename Timed, typename Undo>
void manualTiming(benchmark::State& state, Timed timed, Undo undo)
{
    for (auto _ : state)
    {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = timed();
        const auto end = std::chrono::steady_clock::now();
        if (! ok)
        {
            state.SkipWithError("the edit was refused");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        undo();
    }
}

void BM_SetParameterDirect(benchmark::State& state)
{
    Fixture f(largestProject());
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    std::string error;
    double value = -1.0;
    for (auto _ : state)
    {
        value = value < -50.0 ? -1.0 : value - 0.25;
        const juce::String path = "outputs.3.volumeDb";
        if (! f.engine->performUndoableChange(speaker::undoLabel::parameter(path, "drag"),
                                              [&] { return f.engine->setParameter(path, value, error); }))
            return state.SkipWithError(error.c_str());
    }
}
BENCHMARK(BM_SetParameterDirect)->Unit(benchmark::kMicrosecond);

// A plain typed value: no control id, so every edit snapshots the project.
void BM_SetParameterDirectPlainLabel(benchmark::State& state)
{
    Fixture f(largestProject());
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    std::string error;
    double value = -1.0;
    for (auto _ : state)
    {
        value = value < -50.0 ? -1.0 : value - 0.25;
        const juce::String path = "masterVolumeDb";
        if (! f.engine->performUndoableChange(speaker::undoLabel::parameter(path), [&] { return f.engine->setParameter(path, value, error); }))
            return state.SkipWithError(error.c_str());
    }
}
BENCHMARK(BM_SetParameterDirectPlainLabel)->Unit(benchmark::kMicrosecond);

// A Block band: published to the runtime mirror on every call.
void BM_SetParameterPublished(benchmark::State& state)
{
    Fixture f(largestProject());
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    std::string error;
    double value = 0.0;
    for (auto _ : state)
    {
        value = value > 10.0 ? 0.0 : value + 0.25;
        const juce::String path = "nodes.node33.gainDb";
        if (! f.engine->performUndoableChange(speaker::undoLabel::parameter(path, "drag"),
                                              [&] { return f.engine->setParameter(path, value, error); }))
            return state.SkipWithError(error.c_str());
    }
}
BENCHMARK(BM_SetParameterPublished)->Unit(benchmark::kMicrosecond);

void BM_ConnectCanvasNodes(benchmark::State& state)
{
    // The largest project less one wire, which the timed edit puts back.
    auto project = largestProject();
    const auto wire = project.connections.back();
    project.connections.pop_back();
    Fixture f(project);
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    std::string error, id;
    manualTiming(
        state,
        [&] {
            return f.engine->performUndoableChange(speaker::undoLabel::connectCanvasNodes, [&] {
                return f.engine->connectCanvasNodes(wire.source, wire.target, wire.sourcePort, wire.targetPort, id, error);
            });
        },
        [&] { f.engine->disconnectCanvasConnection(id, error); });
}
BENCHMARK(BM_ConnectCanvasNodes)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_AddCanvasModule(benchmark::State& state)
{
    // One Block fewer than the limit; the timed edit adds it back.
    auto project = largestProject();
    project.nodes.erase(project.nodes.begin() + 32);
    std::erase_if(project.connections, [](const auto& c) { return c.source == "node1" || c.target == "node1"; });
    std::erase(project.submodules[0].nodeIds, "node1");
    for (auto& port : project.submodules[0].inputs)
        if (port.nodeId == "node1")
            port.nodeId.clear();
    Fixture f(project);
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    std::string error, id;
    manualTiming(
        state,
        [&] {
            return f.engine->performUndoableChange(speaker::undoLabel::addCanvasModule(""), [&] {
                return f.engine->addCanvasModule(static_cast<int>(speaker::ProcessingModuleKind::gain), 300, 60, {}, id, error);
            });
        },
        [&] { f.engine->removeCanvasNode(id, error); });
}
BENCHMARK(BM_AddCanvasModule)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CreateCanvasSubmodule(benchmark::State& state)
{
    Fixture f(largestProject());
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    std::string error, id;
    // Dissolve one Subsystem first; the timed edit groups its two Blocks again.
    if (! f.engine->ungroupCanvasSubmodule("submodule1", error))
        return state.SkipWithError(error.c_str());
    manualTiming(
        state,
        [&] {
            return f.engine->performUndoableChange(speaker::undoLabel::createCanvasSubmodule, [&] {
                return f.engine->createCanvasSubmodule({ "node1", "node2" }, 375, 60, {}, id, error);
            });
        },
        [&] { f.engine->ungroupCanvasSubmodule(id, error); });
}
BENCHMARK(BM_CreateCanvasSubmodule)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StateJson(benchmark::State& state)
{
    Fixture f(largestProject());
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    size_t bytes = 0;
    for (auto _ : state)
    {
        const auto json = f.engine->stateJson();
        bytes = json.getNumBytesAsUTF8();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StateJson)->Unit(benchmark::kMillisecond);
} // namespace


namespace
{
// The page re-reads the snapshot after every edit: one Block changed since the last one.
void BM_StateJsonAfterBlockEdit(benchmark::State& state)
{
    Fixture f(largestProject());
    if (! f.message.empty())
        return state.SkipWithError(f.message.c_str());
    std::string error;
    double value = 0.0;
    f.engine->stateJson();
    manualTiming(
        state,
        [&] { return f.engine->stateJson().isNotEmpty(); },
        [&] {
            value = value > 10.0 ? 0.0 : value + 0.25;
            f.engine->setParameter("nodes.node33.gainDb", value, error);
        });
}
BENCHMARK(BM_StateJsonAfterBlockEdit)->UseManualTime()->Unit(benchmark::kMillisecond);
} // namespace
