// Random edit sequences over the reference projects and small projects, run the
// way the native functions run them (each inside its undoable change):
// successful edits leave a valid graph, failed ones leave no trace, and undo and
// redo walk the whole sequence back and forth. Grouping keeps the signal flow.

#include "EngineTestSupport.h"

#include "engine/AudioEngineImpl.h"
#include "engine/UndoLabels.h"
#include "model/CanvasValidation.h"
#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"

#include <random>

namespace speaker::test
{
namespace
{
AppSettings referenceProject(const char* name)
{
    AppSettings project;
    std::string error;
    EXPECT_TRUE(readProjectFile(juce::File(CORVANA_BENCH_PROJECTS_DIR).getChildFile(name), project, error)) << error;
    return project;
}

AppSettings smallProject()
{
    Graph g(2, 3);
    g.input("in1", 0).input("in2", 1).output("out1", 0).output("out2", 1).output("out3", 2);
    g.block("node1", ProcessingModuleKind::gain).block("node2", ProcessingModuleKind::add);
    g.block("node3", ProcessingModuleKind::peakingFilter).block("node4", ProcessingModuleKind::iirFilter, [](auto& p) { p.eqBandCount = 3; });
    g.wire("in1", "node1").wire("node1", "node2", "a").wire("in2", "node2", "b").wire("node2", "out1").wire("in2", "node3");
    g.wire("node3", "out2");
    g.settings.outputs[0].moduleOrder = { "gain", "iir", "delay" };
    g.settings.inputs[0].moduleOrder = { "fir" };
    return g.settings;
}

std::string projectText(const AppSettings& s) { return juce::JSON::toString(settingsToVar(s, true), true).toStdString(); }

struct Trace
{
    std::string text;
    size_t undo = 0;
    size_t redo = 0;
    std::int64_t settingsRevision = 0;
    std::int64_t analysisRevision = 0;
    bool dirty = false;

    bool operator==(const Trace&) const = default;
};

// Draws operations with arguments taken from the current project, mixed with
// ids and values that do not exist or are out of range.
class EditGenerator
{
public:
    EditGenerator(AudioEngine& e, unsigned seed) : engine(e), random(seed) {}

    // Runs one operation; true when it reported success.
    bool step(std::string& name)
    {
        const auto s = engine.getSettings();
        std::string error, id;
        std::vector<std::string> ids;
        const auto undoable = [&](const juce::String& label, const std::function<bool()>& change) {
            return engine.performUndoableChange(label, change);
        };
        switch (pick(30))
        {
            case 0:
            case 1:
            {
                const auto path = parameterPath(s);
                const auto value = parameterValue();
                name = "setParameter " + path;
                return undoable(undoLabel::parameter(path, chance(3) ? "knob" : ""), [&] { return engine.setParameter(path, value, error); });
            }
            case 2:
            {
                const auto path = chance(2) ? "nodes." + nodeId(s) : "outputs." + std::to_string(pick(17)) + ".modules.module" + std::to_string(pick(3));
                name = "setFilterParameters " + path;
                return undoable(undoLabel::filter(path), [&] { return engine.setFilterParameters(path, number(30000), number(40), number(30), error); });
            }
            case 3:
                name = "setAllOutputMute";
                return undoable(undoLabel::allOutputMute, [&] { engine.setAllOutputMute(chance(2)); return true; });
            case 4:
            case 5:
            {
                const int k = pick(14);
                const auto sub = chance(3) ? submoduleId(s) : std::string();
                name = "addCanvasModule";
                return undoable(undoLabel::addCanvasModule(sub), [&] { return engine.addCanvasModule(k, number(2000), number(2000), sub, id, error); });
            }
            case 6:
                name = "addCanvasTerminal";
                return undoable(undoLabel::addCanvasTerminal, [&] {
                    return engine.addCanvasTerminal(chance(2) ? "Input" : "Output", pick(18) - 1, number(800), number(800), id, error);
                });
            case 7:
                name = "copy/pasteCanvasModule";
                engine.copyCanvasModule(nodeId(s), error);
                return undoable(undoLabel::pasteCanvasModule, [&] { return engine.pasteCanvasModule(number(900), number(900), id, error); });
            case 8:
            {
                name = "copy/pasteCanvasSelection";
                engine.copyCanvasSelection(someIds(s), error);
                const auto target = chance(3) ? submoduleId(s) : std::string();
                return undoable(undoLabel::pasteCanvasSelection, [&] { return engine.pasteCanvasSelection(number(900), number(900), target, ids, error); });
            }
            case 9:
            {
                name = "removeCanvasSelection";
                const auto nodes = chance(2) ? someIds(s) : std::vector<std::string> {};
                const std::vector<std::string> wires { connectionId(s) };
                return undoable(undoLabel::removeCanvasSelection, [&] { return engine.removeCanvasSelection(nodes, wires, error); });
            }
            case 10:
                name = "removeCanvasNode";
                return undoable(undoLabel::removeCanvasNode, [&] { return engine.removeCanvasNode(nodeId(s), error); });
            case 11:
                name = "setCanvasItemsLocked";
                return undoable(undoLabel::lockCanvasItems, [&] { return engine.setCanvasItemsLocked(someIds(s), chance(3), error); });
            case 12:
            case 13:
            {
                const auto node = nodeId(s);
                name = "moveCanvasNode";
                return undoable(undoLabel::move(node), [&] { return engine.moveCanvasNode(node, number(300000), number(300000), error); });
            }
            case 14:
            case 15:
            case 16:
                name = "connectCanvasNodes";
                return undoable(undoLabel::connectCanvasNodes, [&] {
                    return engine.connectCanvasNodes(endpoint(s), endpoint(s), chance(5) ? "x" : "", port(), id, error);
                });
            case 17:
                name = "disconnectCanvasConnection";
                return undoable(undoLabel::disconnectCanvasConnection, [&] { return engine.disconnectCanvasConnection(connectionId(s), error); });
            case 18:
            case 19:
            {
                name = "createCanvasSubmodule";
                const auto parent = chance(3) ? submoduleId(s) : std::string();
                const auto members = sameLevelBlocks(s, parent);
                return undoable(undoLabel::createCanvasSubmodule, [&] { return engine.createCanvasSubmodule(members, number(900), number(900), parent, id, error); });
            }
            case 20:
                name = "ungroupCanvasSubmodule";
                return undoable(undoLabel::ungroupCanvasSubmodule, [&] { return engine.ungroupCanvasSubmodule(submoduleId(s), error); });
            case 21:
            {
                const auto sub = submoduleId(s);
                name = "move/renameCanvasSubmodule";
                if (chance(2))
                    return undoable(undoLabel::move(sub), [&] { return engine.moveCanvasSubmodule(sub, number(900), number(900), error); });
                return undoable(undoLabel::renameSubmodule(sub), [&] { return engine.renameCanvasSubmodule(sub, chance(4) ? " " : "Group", error); });
            }
            case 22:
            {
                const auto sub = submoduleId(s);
                name = "add/removeCanvasSubmodulePort";
                if (chance(2))
                    return undoable(undoLabel::addSubmodulePort(sub), [&] { return engine.addCanvasSubmodulePort(sub, chance(2), number(900), number(900), id, error); });
                const auto p = portId(s, sub);
                return undoable(undoLabel::removeSubmodulePort(p), [&] { return engine.removeCanvasSubmodulePort(sub, p, error); });
            }
            case 23:
            {
                const auto sub = submoduleId(s);
                const auto p = portId(s, sub);
                name = "connect/moveCanvasSubmodulePort";
                if (chance(2))
                    return undoable(undoLabel::connectSubmodulePort(p), [&] { return engine.connectCanvasSubmodulePort(sub, p, nodeId(s), error); });
                return undoable(undoLabel::moveSubmodulePort(p), [&] { return engine.moveCanvasSubmodulePort(sub, p, number(900), number(900), error); });
            }
            case 24:
            {
                name = "insertModule";
                const auto side = chance(2) ? "input" : "output";
                return undoable(undoLabel::insertModule, [&] { return engine.insertModule(side, pick(17), anchor(), chance(2) ? "right" : "left", id, error); });
            }
            case 25:
                name = "configureModule";
                return undoable(undoLabel::configureModule, [&] {
                    return engine.configureModule(chance(2) ? "input" : "output", pick(3), "module" + std::to_string(pick(4)), pick(15) - 1, error);
                });
            case 26:
                name = "deleteModule";
                return undoable(undoLabel::deleteModule, [&] { return engine.deleteModule(chance(2) ? "input" : "output", pick(3), anchor(), error); });
            case 27:
                name = "copy/pasteModule";
                engine.copyModule(chance(2) ? "input" : "output", pick(3), anchor(), chance(3), error);
                return undoable(undoLabel::pasteModule, [&] { return engine.pasteModule(chance(2), pick(3), anchor(), chance(2), chance(3), ids, error); });
            case 28:
                name = "deleteEqBand";
                return undoable(undoLabel::deleteEqBand, [&] {
                    return engine.deleteEqBand(chance(2) ? "node" : "output", pick(3), pick(4) - 1, chance(2) ? nodeId(s) : "", error);
                });
            default:
                name = "setPeakingParameters";
                return undoable(undoLabel::peaking("nodes." + nodeId(s)), [&] {
                    return engine.setFilterParameters("nodes." + nodeId(s), number(20000), number(30), number(20), error);
                });
        }
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
    bool chance(int oneIn) { return pick(oneIn) == 0; }
    double number(double range)
    {
        if (chance(25))
            return std::numeric_limits<double>::quiet_NaN();
        return std::uniform_real_distribution<double>(-range, range)(random);
    }

    template <typename T>
    std::string idOf(const std::vector<T>& items, const char* bogus)
    {
        if (items.empty() || chance(8))
            return bogus;
        return items[static_cast<size_t>(pick(static_cast<int>(items.size())))].id;
    }
    std::string nodeId(const AppSettings& s) { return idOf(s.nodes, "node99"); }
    std::string submoduleId(const AppSettings& s) { return idOf(s.submodules, "submodule99"); }
    std::string connectionId(const AppSettings& s) { return idOf(s.connections, "connection999"); }
    std::string portId(const AppSettings& s, const std::string& sub)
    {
        const auto* group = findCanvasSubmodule(s, sub);
        if (group == nullptr)
            return "input1";
        return chance(2) ? idOf(group->inputs, "input99") : idOf(group->outputs, "output99");
    }

    std::string endpoint(const AppSettings& s)
    {
        if (! s.submodules.empty() && chance(3))
        {
            const auto& group = s.submodules[static_cast<size_t>(pick(static_cast<int>(s.submodules.size())))];
            if (! group.inputs.empty() && chance(2))
                return canvasSubmoduleInputEndpoint(group.id, group.inputs[static_cast<size_t>(pick(static_cast<int>(group.inputs.size())))].id);
            if (! group.outputs.empty())
                return canvasSubmoduleOutputEndpoint(group.id, group.outputs[static_cast<size_t>(pick(static_cast<int>(group.outputs.size())))].id);
        }
        return nodeId(s);
    }

    std::string port()
    {
        static const char* ports[] = { "", "", "a", "b", "input", "c" };
        return ports[pick(6)];
    }

    std::string anchor()
    {
        static const char* anchors[] = { "in", "out", "gain", "iir", "delay", "fir", "module1", "module2", "nowhere" };
        return anchors[pick(9)];
    }

    std::vector<std::string> someIds(const AppSettings& s)
    {
        std::vector<std::string> result;
        const int n = pick(4);
        for (int k = 0; k < n; ++k)
            result.push_back(chance(4) ? submoduleId(s) : nodeId(s));
        return result;
    }

    std::vector<std::string> sameLevelBlocks(const AppSettings& s, const std::string& parent)
    {
        std::vector<std::string> result;
        const int want = chance(6) ? 0 : 2 + pick(4);
        for (const auto& node : s.nodes)
        {
            if (static_cast<int>(result.size()) >= want)
                break;
            if (node.kind != static_cast<int>(CanvasNodeKind::processor) || chance(2))
                continue;
            const auto level = std::find_if(s.submodules.begin(), s.submodules.end(), [&](const auto& g) {
                return std::find(g.nodeIds.begin(), g.nodeIds.end(), node.id) != g.nodeIds.end();
            });
            if ((level == s.submodules.end() ? std::string() : level->id) == parent)
                result.push_back(node.id);
        }
        if (chance(5) && ! s.submodules.empty())
            result.push_back(submoduleId(s));
        return result;
    }

    std::string parameterPath(const AppSettings& s)
    {
        static const char* nodeLeaves[] = { "gainDb", "delayUs", "delaySamples", "bypassed", "lowPassOrder", "lowPassShape",
                                            "shelfOrder", "eqBandCount", "divideFloorDb", "eq.0.frequencyHz", "eq.2.q",
                                            "eq.1.enabled", "eq.17.gainDb", "volumeDb" };
        static const char* outputLeaves[] = { "volumeDb", "mute", "solo", "delayUs", "eqBandCount", "eq.1.gainDb",
                                              "inputIndex", "physicalChannel", "foo", "modules.module1.gainDb" };
        static const char* inputLeaves[] = { "volumeDb", "mute", "physicalChannel", "fir.enabled", "modules.module1.delayUs", "bar" };
        switch (pick(4))
        {
            case 0: return "nodes." + nodeId(s) + "." + nodeLeaves[pick(14)];
            case 1: return "outputs." + std::to_string(pick(17)) + "." + outputLeaves[pick(10)];
            case 2: return "inputs." + std::to_string(pick(17)) + "." + inputLeaves[pick(6)];
            default: return chance(2) ? "masterVolumeDb" : "nodes";
        }
    }

    juce::var parameterValue()
    {
        switch (pick(5))
        {
            case 0: return chance(2);
            case 1: return pick(20) - 2;
            case 2: return juce::String(chance(2) ? "Linkwitz-Riley" : "Peaking");
            default: return number(40000);
        }
    }

    AudioEngine& engine;
    std::mt19937 random;
};

std::vector<int> publishedOrder(AudioEngine& engine)
{
    auto& d = engine.getImpl();
    std::vector<int> result;
    for (int i = 0; i < d.executionOrderLength.load(); ++i)
    {
        const int slot = d.executionOrder[static_cast<size_t>(i)].load();
        result.push_back(slot);
        result.push_back(d.nodes[static_cast<size_t>(slot)].sourceA.load());
        result.push_back(d.nodes[static_cast<size_t>(slot)].sourceB.load());
    }
    return result;
}
} // namespace

class EditInvariantTest : public EngineTest
{
protected:
    Trace trace()
    {
        auto& d = engine->getImpl();
        return { projectText(engine->getSettings()), d.undoStack.size(), d.redoStack.size(), engine->getSettingsRevision(),
                 engine->getAnalysisRevision(), engine->hasUnsavedChanges() };
    }

    void runSequence(const AppSettings& start, unsigned seed, int attempts)
    {
        apply(Graph());
        std::string error;
        ASSERT_TRUE(engine->replaceWithNewProject(start, error)) << error;
        double now = 0.0;
        engine->setHistoryClock([&now] { return now; });
        const auto first = projectText(engine->getSettings());
        EditGenerator generator(*engine, seed);
        int successes = 0;
        for (int k = 0; k < attempts && engine->getImpl().undoStack.size() < 30; ++k)
        {
            now += 400.0;
            const auto before = trace();
            std::string name;
            if (generator.step(name))
            {
                ++successes;
                std::string validation;
                ASSERT_TRUE(validateCanvasGraph(engine->getSettings(), validation)) << "seed " << seed << " step " << k << " " << name << ": " << validation;
            }
            else
            {
                ASSERT_TRUE(trace() == before) << "seed " << seed << " step " << k << " " << name << " failed but left a trace";
            }
        }
        EXPECT_GT(successes, 5) << seed;
        const auto last = projectText(engine->getSettings());
        const auto steps = engine->getImpl().undoStack.size();
        for (size_t k = 0; k < steps; ++k)
            ASSERT_GE(engine->undo(error), 0) << error;
        EXPECT_EQ(engine->undo(error), -1);
        ASSERT_EQ(projectText(engine->getSettings()), first) << "seed " << seed;
        for (size_t k = 0; k < steps; ++k)
            ASSERT_GE(engine->redo(error), 0) << error;
        ASSERT_EQ(projectText(engine->getSettings()), last) << "seed " << seed;
        engine->setHistoryClock({});
    }
};

TEST_F(EditInvariantTest, RandomSequencesOverSmallProjects)
{
    for (unsigned seed = 1; seed <= 40; ++seed)
        runSequence(smallProject(), seed, 400);
}

TEST_F(EditInvariantTest, RandomSequencesOverAnEmptyAndADefaultProject)
{
    for (unsigned seed = 100; seed <= 110; ++seed)
    {
        runSequence(makeDefaultSettings("empty", {}), seed, 300);
        runSequence(makeDefaultSettings("stereo", { 3, 3 }), seed + 50, 300);
    }
}

TEST_F(EditInvariantTest, RandomSequencesOverTheReferenceProjects)
{
    for (const char* name : { "reference-3way-stereo.corv", "reference-8way-stereo-max.corv" })
    {
        const auto project = referenceProject(name);
        for (unsigned seed = 200; seed <= 201; ++seed)
            runSequence(project, seed, 300);
    }
}

TEST_F(EditInvariantTest, GroupingAndUngroupingKeepThePublishedSignalFlow)
{
    std::mt19937 random(7);
    for (const char* name : { "reference-3way-stereo.corv", "reference-8way-stereo-max.corv" })
    {
        const auto project = referenceProject(name);
        std::vector<std::string> blocks;
        for (const auto& node : project.nodes)
            if (node.kind == static_cast<int>(CanvasNodeKind::processor))
                blocks.push_back(node.id);
        for (int round = 0; round < 6; ++round)
        {
            apply(Graph());
            std::string error, id;
            ASSERT_TRUE(engine->replaceWithNewProject(project, error)) << error;
            const auto flow = publishedOrder(*engine);
            std::shuffle(blocks.begin(), blocks.end(), random);
            const std::vector<std::string> selection(blocks.begin(), blocks.begin() + 2 + round * 3);
            ASSERT_TRUE(engine->createCanvasSubmodule(selection, 400, 300, {}, id, error)) << error;
            EXPECT_EQ(publishedOrder(*engine), flow) << name << " round " << round;
            ASSERT_TRUE(engine->ungroupCanvasSubmodule(id, error)) << error;
            EXPECT_EQ(publishedOrder(*engine), flow) << name << " round " << round;
        }
    }
}

TEST_F(EditInvariantTest, GroupingWhileRunningKeepsTheSteadyOutput)
{
    auto project = referenceProject("reference-3way-stereo.corv");
    project.masterMute = false;
    openDevice(48000.0, 256);
    apply(Graph());
    std::string error, id;
    ASSERT_TRUE(engine->replaceWithNewProject(project, error)) << error;
    engine->setMasterMute(false);
    run();

    std::vector<float> tone(48000);
    for (size_t k = 0; k < tone.size(); ++k)
        tone[k] = 0.25f * static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi * 750.0 * static_cast<double>(k) / 48000.0));
    // One second of a 750 Hz tone per stage; filter and FIR histories settle
    // long before the last block, which is what is compared.
    const auto lastBlock = [&] {
        auto out = process({ tone, tone }, 48000);
        std::vector<std::vector<float>> tail;
        for (auto& channel : out)
            tail.emplace_back(channel.end() - 256, channel.end());
        return tail;
    };
    const auto expectSame = [](const auto& a, const auto& b) {
        ASSERT_EQ(a.size(), b.size());
        for (size_t c = 0; c < a.size(); ++c)
            for (size_t k = 0; k < a[c].size(); ++k)
                ASSERT_NEAR(a[c][k], b[c][k], 1e-5f) << "channel " << c << " sample " << k;
    };
    const auto reference = lastBlock();
    float level = 0.0f;
    for (const auto& channel : reference)
        for (const float v : channel)
            level = std::max(level, std::abs(v));
    ASSERT_GT(level, 0.01f);

    std::vector<std::string> selection;
    for (const auto& node : project.nodes)
        if (node.kind == static_cast<int>(CanvasNodeKind::processor) && selection.size() < 12)
            selection.push_back(node.id);
    ASSERT_TRUE(engine->createCanvasSubmodule(selection, 400, 300, {}, id, error)) << error;
    ASSERT_TRUE(engine->isRunning());
    expectSame(lastBlock(), reference);
    ASSERT_TRUE(engine->ungroupCanvasSubmodule(id, error)) << error;
    expectSame(lastBlock(), reference);
}
} // namespace speaker::test
