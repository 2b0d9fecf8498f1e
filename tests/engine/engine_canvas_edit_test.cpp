// Canvas, Subsystem and chain editing: ids, clamps, lock rules, clipboards and
// the wiring the operations leave behind.

#include "EngineTestSupport.h"

#include "engine/CanvasGraphEditing.h"
#include "model/CanvasValidation.h"

namespace speaker::test
{
namespace
{
const CanvasConnectionSettings* wireInto(const AppSettings& s, const std::string& target, const std::string& port = {})
{
    for (const auto& c : s.connections)
        if (c.target == target && (port.empty() || effectiveTargetPort(s, c.target, c.targetPort) == port))
            return &c;
    return nullptr;
}

bool joined(const AppSettings& s, const std::string& source, const std::string& target)
{
    return std::any_of(s.connections.begin(), s.connections.end(), [&](const auto& c) { return c.source == source && c.target == target; });
}

// in1 -> B1 -> B2 -> out1 with two free Blocks beside.
Graph chainProject()
{
    Graph g(1, 2);
    g.input("in1", 0).output("out1", 0).output("out2", 1);
    g.block("node1", ProcessingModuleKind::gain, [](auto& p) { p.gainDb = -6.0; });
    g.block("node2", ProcessingModuleKind::gain, [](auto& p) { p.gainDb = -3.0; });
    g.node("node1").x = 200, g.node("node1").y = 100;
    g.node("node2").x = 400, g.node("node2").y = 100;
    g.wire("in1", "node1").wire("node1", "node2").wire("node2", "out1");
    return g;
}
} // namespace

using CanvasEditTest = EngineTest;

TEST_F(CanvasEditTest, NewBlocksTakeTheSmallestFreeIdAndTheirKindDefaults)
{
    Graph g(1, 1);
    g.block("node1", ProcessingModuleKind::gain).block("node3", ProcessingModuleKind::gain);
    apply(g);
    std::string id, error;
    ASSERT_TRUE(engine->addCanvasModule(kind(ProcessingModuleKind::lowShelvingFilter), 1e9, -1e9, {}, id, error)) << error;
    EXPECT_EQ(id, "node2");
    const auto* node = findCanvasNode(engine->getSettings(), "node2");
    EXPECT_EQ(node->processor.eq[0].frequencyHz, 100.0);
    EXPECT_EQ(node->processor.eq[0].type, static_cast<int>(FilterType::lowShelf));
    EXPECT_EQ(node->x, 100000.0);
    EXPECT_EQ(node->y, -100000.0);
    ASSERT_TRUE(engine->addCanvasModule(kind(ProcessingModuleKind::lowPassFilter), 0, 0, {}, id, error));
    EXPECT_EQ(id, "node4");
    EXPECT_EQ(findCanvasNode(engine->getSettings(), id)->processor.eq[0].q, 0.7071067811865476);

    struct Refusal { int kind; const char* message; };
    for (const auto& r : { Refusal { kind(ProcessingModuleKind::iirFilter), "IIR Filter is no longer available." },
                           Refusal { kind(ProcessingModuleKind::empty), "Choose a DSP Block type." } })
    {
        EXPECT_FALSE(engine->addCanvasModule(r.kind, 0, 0, {}, id, error));
        EXPECT_EQ(error, r.message);
    }
    EXPECT_FALSE(engine->addCanvasModule(kind(ProcessingModuleKind::gain), 0, 0, "submodule9", id, error));
    EXPECT_EQ(error, "The Subsystem no longer exists.");
    EXPECT_FALSE(engine->addCanvasModule(kind(ProcessingModuleKind::gain), std::nan(""), 0, {}, id, error));
    EXPECT_EQ(error, "Canvas positions must be finite numbers.");
}

TEST_F(CanvasEditTest, TerminalsGrowTheProjectOneChannelAtATime)
{
    apply(Graph(2, 4));
    std::string id, error;
    ASSERT_TRUE(engine->addCanvasTerminal("Output", 4, 760, 0, id, error)) << error;
    EXPECT_EQ(id, "out5");
    const auto s = engine->getSettings();
    EXPECT_EQ(s.outputCount, 5);
    EXPECT_EQ(s.speakerConfiguration, "custom");
    EXPECT_EQ(s.outputs[4].inputIndex, -1);
    EXPECT_EQ(s.outputs[4].physicalChannel, 5);
    EXPECT_FALSE(engine->addCanvasTerminal("Output", 6, 0, 0, id, error));
    EXPECT_EQ(error, "Inputs and outputs can be added sequentially up to 16 channels.");
    EXPECT_FALSE(engine->addCanvasTerminal("Output", 4, 0, 0, id, error));
    EXPECT_EQ(error, "That input or output is already on the canvas.");
    EXPECT_FALSE(engine->addCanvasTerminal("Block", 0, 0, 0, id, error));
    EXPECT_EQ(error, "Choose an input or output terminal.");
    ASSERT_TRUE(engine->addCanvasTerminal("Input", 1, 72, 0, id, error));
    EXPECT_EQ(engine->getSettings().inputCount, 2);
}

TEST_F(CanvasEditTest, WiresReplaceTheOccupantOfAnInputAndRepeatIdempotently)
{
    Graph g(2, 1);
    g.input("in1", 0).input("in2", 1).output("out1", 0).block("node1", ProcessingModuleKind::add);
    apply(g);
    std::string first, second, again, error;
    ASSERT_TRUE(engine->connectCanvasNodes("in1", "out1", {}, {}, first, error)) << error;
    ASSERT_TRUE(engine->connectCanvasNodes("in2", "out1", {}, {}, second, error)) << error;
    auto s = engine->getSettings();
    EXPECT_EQ(s.connections.size(), 1u);
    EXPECT_EQ(wireInto(s, "out1")->source, "in2");
    ASSERT_TRUE(engine->connectCanvasNodes("in2", "out1", {}, {}, again, error));
    EXPECT_EQ(again, second);
    ASSERT_TRUE(engine->connectCanvasNodes("in1", "node1", {}, {}, first, error));
    EXPECT_EQ(wireInto(engine->getSettings(), "node1")->targetPort, "a");
    EXPECT_FALSE(engine->connectCanvasNodes("node1", "node1", {}, "b", first, error));
    EXPECT_EQ(error, "The canvas contains an invalid connection.");
    EXPECT_FALSE(engine->disconnectCanvasConnection("connection99", error));
    EXPECT_EQ(error, "The signal connection no longer exists.");
}

TEST_F(CanvasEditTest, LockedItemsRefuseTheirEdits)
{
    auto g = chainProject();
    g.node("node1").locked = true;
    g.node("in1").locked = true;
    apply(g);
    std::string error, id;
    EXPECT_FALSE(engine->moveCanvasNode("node1", 0, 0, error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(engine->removeCanvasSelection({ "node1" }, {}, error));
    EXPECT_EQ(error, "Unlock the selected Block before deleting it.");
    EXPECT_FALSE(engine->disconnectCanvasConnection("connection1", error));
    EXPECT_EQ(error, "Unlock one of the connected Blocks before deleting this connection.");
    EXPECT_FALSE(engine->connectCanvasNodes("node2", "node1", {}, {}, id, error));
    EXPECT_EQ(error, "Unlock one of the connected Blocks before replacing this connection.");
    const auto revision = engine->getSettingsRevision();
    EXPECT_FALSE(engine->setCanvasItemsLocked({ "node2", "nodeX" }, true, error));
    EXPECT_EQ(error, "The selected Canvas item no longer exists.");
    EXPECT_FALSE(findCanvasNode(engine->getSettings(), "node2")->locked);
    EXPECT_TRUE(engine->setCanvasItemsLocked({ "node1" }, true, error));
    EXPECT_EQ(engine->getSettingsRevision(), revision);
    EXPECT_TRUE(engine->setCanvasItemsLocked({ "node1" }, false, error));
    EXPECT_EQ(engine->getSettingsRevision(), revision + 1);
    EXPECT_TRUE(engine->moveCanvasNode("node1", 1e9, -1e9, error));
    EXPECT_EQ(findCanvasNode(engine->getSettings(), "node1")->x, 100000.0);
}

TEST_F(CanvasEditTest, SelectionsPasteAroundTheTargetPointAndDropTakenWires)
{
    auto g = chainProject();
    g.node("node1").x = 100, g.node("node1").y = 100;
    g.node("node2").x = 300, g.node("node2").y = 200;
    apply(g);
    std::string error;
    ASSERT_TRUE(engine->copyCanvasSelection({ "node1", "node2" }, error)) << error;
    std::vector<std::string> ids;
    ASSERT_TRUE(engine->pasteCanvasSelection(0, 0, {}, ids, error)) << error;
    ASSERT_EQ(ids, (std::vector<std::string> { "node3", "node4" }));
    auto s = engine->getSettings();
    EXPECT_EQ(findCanvasNode(s, "node3")->x, -100.0);
    EXPECT_EQ(findCanvasNode(s, "node3")->y, -50.0);
    EXPECT_EQ(findCanvasNode(s, "node4")->x, 100.0);
    EXPECT_EQ(findCanvasNode(s, "node4")->y, 50.0);
    EXPECT_TRUE(joined(s, "node3", "node4"));

    // The wire into out1 comes along with the terminal, but out1 is taken.
    ASSERT_TRUE(engine->copyCanvasSelection({ "node2", "out1" }, error));
    ASSERT_TRUE(engine->pasteCanvasSelection(0, 0, {}, ids, error)) << error;
    EXPECT_EQ(ids, (std::vector<std::string> { "node5" }));
    EXPECT_EQ(wireInto(engine->getSettings(), "out1")->source, "node2");

    ASSERT_TRUE(engine->copyCanvasSelection({ "in1" }, error));
    EXPECT_FALSE(engine->pasteCanvasSelection(0, 0, {}, ids, error));
    EXPECT_EQ(error, "The selected input or output is already on the canvas.");
    EXPECT_FALSE(engine->copyCanvasSelection({ "nothing" }, error));
    EXPECT_EQ(error, "Select one or more Canvas Blocks to copy.");
    EXPECT_FALSE(engine->pasteCanvasSelection(0, 0, {}, ids, error));
    EXPECT_EQ(error, "Copy a canvas selection before pasting.");
}

TEST_F(CanvasEditTest, OneBlockCopiesAndPastesWithAFreshId)
{
    apply(chainProject());
    std::string error, id;
    EXPECT_FALSE(engine->pasteCanvasModule(0, 0, id, error));
    EXPECT_EQ(error, "Copy a DSP Block before pasting.");
    EXPECT_FALSE(engine->copyCanvasModule("in1", error));
    EXPECT_EQ(error, "Select a DSP Block to copy.");
    ASSERT_TRUE(engine->copyCanvasModule("node1", error));
    ASSERT_TRUE(engine->pasteCanvasModule(10, 20, id, error)) << error;
    ASSERT_TRUE(engine->pasteCanvasModule(10, 20, id, error)) << error;
    EXPECT_EQ(id, "node4");
    const auto* node = findCanvasNode(engine->getSettings(), "node4");
    EXPECT_EQ(node->processor.id, "node4");
    EXPECT_EQ(node->processor.gainDb, -6.0);
}

TEST_F(CanvasEditTest, PastedFirBlocksFollowTheDeviceRate)
{
    openDevice(48000.0, 256);
    Graph g(1, 1);
    g.block("node1", ProcessingModuleKind::firFilter, [](auto& p) {
        p.fir.fileName = "taps.txt";
        p.fir.sampleRateHz = 48000;
        p.fir.coefficients = { 0.5f, 0.5f };
    });
    apply(g);
    std::string error, id;
    ASSERT_TRUE(engine->copyCanvasModule("node1", error));
    ASSERT_TRUE(engine->pasteCanvasModule(0, 0, id, error)) << error;
    openDevice(96000.0, 256); // the placeholder rule does not touch loaded files
    EXPECT_FALSE(engine->pasteCanvasModule(0, 0, id, error));
    EXPECT_EQ(error, "The FIR design sample rate does not match the audio device sample rate.");
}

TEST_F(CanvasEditTest, DeletingASubsystemTakesItsNestedContentsAndPortWires)
{
    auto g = chainProject();
    apply(g);
    std::string error, outer, inner;
    ASSERT_TRUE(engine->createCanvasSubmodule({ "node1", "node2" }, 300, 100, {}, inner, error)) << error;
    ASSERT_TRUE(engine->createCanvasSubmodule({}, 600, 100, {}, outer, error)) << error;
    ASSERT_TRUE(engine->setCanvasItemsLocked({ "node2" }, true, error));
    EXPECT_FALSE(engine->removeCanvasSelection({ inner }, {}, error));
    EXPECT_EQ(error, "Unlock the selected Subsystem and its locked contents before deleting it.");
    ASSERT_TRUE(engine->setCanvasItemsLocked({ "node2" }, false, error));
    ASSERT_TRUE(engine->removeCanvasSelection({ inner }, {}, error)) << error;
    const auto s = engine->getSettings();
    EXPECT_EQ(findCanvasNode(s, "node1"), nullptr);
    EXPECT_EQ(findCanvasSubmodule(s, inner), nullptr);
    EXPECT_EQ(s.connections.size(), 0u);
    EXPECT_EQ(s.inputCount, 1);
    EXPECT_FALSE(engine->removeCanvasSelection({ "node1" }, {}, error));
    EXPECT_EQ(error, "The canvas selection no longer exists.");
}

TEST_F(CanvasEditTest, GroupingPlacesPortsAcrossTheBorderOnly)
{
    apply(chainProject());
    std::string error, id;
    EXPECT_FALSE(engine->createCanvasSubmodule({ "node1" }, 0, 0, {}, id, error));
    EXPECT_EQ(error, "Choose an empty Subsystem or select at least two Blocks.");
    EXPECT_FALSE(engine->createCanvasSubmodule({ "node1", "in1" }, 0, 0, {}, id, error));
    EXPECT_EQ(error, "Selected DSP Blocks must belong to the current Canvas.");
    ASSERT_TRUE(engine->createCanvasSubmodule({ "node1", "node2" }, 300, 100, {}, id, error)) << error;
    EXPECT_EQ(id, "submodule1");
    const auto s = engine->getSettings();
    const auto* group = findCanvasSubmodule(s, id);
    EXPECT_EQ(group->name, "Subsystem 1");
    ASSERT_EQ(group->inputs.size(), 1u);
    ASSERT_EQ(group->outputs.size(), 1u);
    const auto in = canvasSubmoduleInputEndpoint(id, "input1");
    const auto out = canvasSubmoduleOutputEndpoint(id, "output1");
    EXPECT_EQ(group->inputs[0].x, 16.0);
    EXPECT_EQ(group->outputs[0].x, 610.0);
    EXPECT_TRUE(joined(s, "in1", in));
    EXPECT_TRUE(joined(s, in, "node1"));
    EXPECT_TRUE(joined(s, "node1", "node2"));
    EXPECT_TRUE(joined(s, "node2", out));
    EXPECT_TRUE(joined(s, out, "out1"));
    EXPECT_EQ(s.connections.size(), 5u);
    std::string validation;
    EXPECT_TRUE(validateCanvasGraph(s, validation)) << validation;
}

TEST_F(CanvasEditTest, EmptySubsystemsGetOnePortEachSide)
{
    apply(Graph(1, 1));
    std::string error, id;
    ASSERT_TRUE(engine->createCanvasSubmodule({}, 300, 200, {}, id, error)) << error;
    auto group = *findCanvasSubmodule(engine->getSettings(), id);
    EXPECT_EQ(group.inputs[0].id, "input1");
    EXPECT_EQ(group.inputs[0].x, 90.0);
    EXPECT_EQ(group.outputs[0].x, 510.0);
    EXPECT_EQ(group.outputs[0].y, 200.0);
    ASSERT_TRUE(engine->createCanvasSubmodule({}, 100, 0, {}, id, error));
    EXPECT_EQ(findCanvasSubmodule(engine->getSettings(), id)->inputs[0].x, 16.0);
}

TEST_F(CanvasEditTest, MathInputsBecomePortsInPositionOrder)
{
    Graph g(1, 1);
    g.input("in1", 0).output("out1", 0);
    g.block("node1", ProcessingModuleKind::add).block("node2", ProcessingModuleKind::gain);
    g.node("node1").x = 300, g.node("node1").y = 100;
    g.node("node2").x = 500, g.node("node2").y = 100;
    g.wire("in1", "node1", "a").wire("node1", "node2").wire("node2", "out1");
    apply(g);
    std::string error, id;
    ASSERT_TRUE(engine->createCanvasSubmodule({ "node1", "node2" }, 400, 100, {}, id, error)) << error;
    const auto s = engine->getSettings();
    const auto* group = findCanvasSubmodule(s, id);
    ASSERT_EQ(group->inputs.size(), 2u);
    EXPECT_EQ(group->inputs[0].y, 80.0);
    EXPECT_EQ(group->inputs[1].y, 120.0);
    EXPECT_EQ(wireInto(s, "node1", "a")->source, canvasSubmoduleInputEndpoint(id, "input1"));
    EXPECT_EQ(wireInto(s, "node1", "b")->source, canvasSubmoduleInputEndpoint(id, "input2"));
}

TEST_F(CanvasEditTest, UngroupingJoinsTheFeedToEveryInnerTarget)
{
    Graph g(1, 2);
    g.input("in1", 0).output("out1", 0).output("out2", 1);
    g.block("node1", ProcessingModuleKind::gain).block("node2", ProcessingModuleKind::add);
    CanvasSubmoduleSettings group;
    group.id = "submodule1";
    group.name = "Group";
    group.nodeIds = { "node1", "node2" };
    group.inputs = { { "input1", "Input 1", 0, 0, {} }, { "input2", "Input 2", 0, 0, {} } };
    g.settings.submodules.push_back(group);
    const auto in1 = canvasSubmoduleInputEndpoint("submodule1", "input1");
    const auto in2 = canvasSubmoduleInputEndpoint("submodule1", "input2");
    g.wire("in1", in1).wire(in1, "node1").wire(in1, "node2", "b").wire(in2, "node2", "a");
    g.wire("node1", "out1").wire("node2", "out2");
    apply(g);
    std::string error;
    ASSERT_TRUE(engine->ungroupCanvasSubmodule("submodule1", error)) << error;
    const auto s = engine->getSettings();
    EXPECT_TRUE(s.submodules.empty());
    EXPECT_EQ(wireInto(s, "node1")->source, "in1");
    EXPECT_EQ(wireInto(s, "node2", "b")->source, "in1");
    EXPECT_EQ(wireInto(s, "node2", "a"), nullptr);
}

TEST_F(CanvasEditTest, SubsystemsMoveRenameAndManageTheirPorts)
{
    apply(chainProject());
    std::string error, id, port;
    ASSERT_TRUE(engine->createCanvasSubmodule({ "node1", "node2" }, 300, 100, {}, id, error));
    ASSERT_TRUE(engine->moveCanvasSubmodule(id, 350, 90, error)) << error;
    auto s = engine->getSettings();
    EXPECT_EQ(findCanvasNode(s, "node1")->x, 250.0);
    EXPECT_EQ(findCanvasNode(s, "node1")->y, 90.0);
    EXPECT_EQ(findCanvasSubmodule(s, id)->inputs[0].x, 66.0);

    EXPECT_FALSE(engine->renameCanvasSubmodule(id, "   ", error));
    EXPECT_EQ(error, "Enter a Subsystem name.");
    ASSERT_TRUE(engine->renameCanvasSubmodule(id, "  " + std::string(70, 'x') + " ", error));
    EXPECT_EQ(findCanvasSubmodule(engine->getSettings(), id)->name, std::string(64, 'x'));

    ASSERT_TRUE(engine->addCanvasSubmodulePort(id, true, 0, 0, port, error)) << error;
    EXPECT_EQ(port, "input2");
    ASSERT_TRUE(engine->removeCanvasSubmodulePort(id, "input1", error)) << error;
    EXPECT_FALSE(joined(engine->getSettings(), "in1", canvasSubmoduleInputEndpoint(id, "input1")));
    ASSERT_TRUE(engine->addCanvasSubmodulePort(id, true, 0, 0, port, error));
    EXPECT_EQ(port, "input1");
    ASSERT_TRUE(engine->connectCanvasSubmodulePort(id, "input2", "node1", error)) << error;
    s = engine->getSettings();
    EXPECT_EQ(wireInto(s, "node1")->source, canvasSubmoduleInputEndpoint(id, "input2"));
    EXPECT_FALSE(engine->connectCanvasSubmodulePort(id, "input2", "in1", error));
    EXPECT_EQ(error, "Choose a DSP Block inside this Subsystem.");
    EXPECT_FALSE(engine->moveCanvasSubmodulePort(id, "input9", 0, 0, error));
    EXPECT_EQ(error, "The Subsystem port no longer exists.");
    for (int k = 0; k < 62; ++k)
        ASSERT_TRUE(engine->addCanvasSubmodulePort(id, true, 0, 0, port, error)) << error;
    EXPECT_FALSE(engine->addCanvasSubmodulePort(id, true, 0, 0, port, error));
    EXPECT_EQ(error, "A Subsystem supports up to 64 ports per side.");

    ASSERT_TRUE(engine->setCanvasItemsLocked({ "node1" }, true, error));
    EXPECT_FALSE(engine->moveCanvasSubmodule(id, 0, 0, error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(engine->ungroupCanvasSubmodule(id, error));
    EXPECT_EQ(error, "Unlock this Subsystem and its locked contents before dissolving it.");
}

TEST_F(CanvasEditTest, ChainModulesInsertConfigureAndDelete)
{
    auto g = chainProject();
    g.settings.outputs[0].moduleOrder = { "gain", "iir", "delay" };
    apply(g);
    std::string error, id;
    ASSERT_TRUE(engine->insertModule("output", 0, "gain", "right", id, error)) << error;
    EXPECT_EQ(id, "module1");
    EXPECT_EQ(engine->getSettings().outputs[0].moduleOrder, (std::vector<std::string> { "gain", "module1", "iir", "delay" }));
    EXPECT_FALSE(engine->configureModule("output", 0, "module1", kind(ProcessingModuleKind::divide), error));
    EXPECT_EQ(error, "Math Blocks are available on the Canvas only.");
    ASSERT_TRUE(engine->configureModule("output", 0, "module1", kind(ProcessingModuleKind::lowPassFilter), error)) << error;
    const auto module = engine->getSettings().outputs[0].insertedModules[0];
    EXPECT_EQ(module.eq[0].type, static_cast<int>(FilterType::lowPass2nd));
    EXPECT_EQ(module.eq[0].q, 0.7071067811865476);
    ASSERT_TRUE(engine->deleteModule("output", 0, "iir", error));
    EXPECT_FALSE(engine->deleteModule("output", 0, "iir", error));
    EXPECT_EQ(error, "The module no longer exists in this signal chain.");
    EXPECT_FALSE(engine->insertModule("output", 0, "nowhere", "right", id, error));
    EXPECT_EQ(error, "The insertion point no longer exists.");
    for (int k = 1; k < kMaxInsertedModules; ++k)
        ASSERT_TRUE(engine->insertModule("output", 0, "out", {}, id, error)) << error;
    EXPECT_FALSE(engine->insertModule("output", 0, "out", {}, id, error));
    EXPECT_EQ(error, "This signal chain has reached its module limit.");
}

TEST_F(CanvasEditTest, ChainEditsWaitForStopButCanvasEditsDoNot)
{
    start(chainProject());
    std::string error, id;
    EXPECT_FALSE(engine->insertModule("output", 0, "out", {}, id, error));
    EXPECT_EQ(error, "Stop DSP before changing the signal flow.");
    EXPECT_FALSE(engine->configureModule("output", 0, "module1", kind(ProcessingModuleKind::gain), error));
    EXPECT_EQ(error, "Stop DSP before choosing a module type.");
    EXPECT_TRUE(engine->addCanvasModule(kind(ProcessingModuleKind::gain), 0, 0, {}, id, error)) << error;
}

TEST_F(CanvasEditTest, ChainModulesCopyAndPaste)
{
    auto g = chainProject();
    auto& out = g.settings.outputs[0];
    out.moduleOrder = { "gain", "module1", "module2", "module3", "delay" };
    out.delayUs = 1234.0;
    for (const char* id : { "module1", "module2", "module3" })
    {
        InsertedModuleSettings m;
        m.id = id;
        m.kind = kind(ProcessingModuleKind::gain);
        out.insertedModules.push_back(m);
    }
    g.settings.inputs[0].moduleOrder = { "fir" };
    g.settings.outputs[1].moduleOrder = { "gain", "iir", "delay" };
    apply(g);
    std::string error;
    std::vector<std::string> ids;
    ASSERT_TRUE(engine->copyModule("output", 0, "delay", false, error)) << error;
    ASSERT_TRUE(engine->pasteModule(true, 0, "out", false, false, ids, error)) << error;
    EXPECT_EQ(ids, (std::vector<std::string> { "module1" }));
    EXPECT_EQ(engine->getSettings().inputs[0].insertedModules[0].delayUs, 1234.0);
    EXPECT_EQ(engine->getSettings().inputs[0].moduleOrder, (std::vector<std::string> { "fir", "module1" }));

    ASSERT_TRUE(engine->copyModule("output", 0, "module1", false, error));
    ASSERT_TRUE(engine->copyModule("output", 0, "module3", true, error));
    ASSERT_TRUE(engine->copyModule("output", 0, "gain", true, error));
    ASSERT_TRUE(engine->pasteModule(false, 0, "module2", false, true, ids, error)) << error;
    EXPECT_EQ(ids, (std::vector<std::string> { "module2", "module4", "module5" }));
    EXPECT_EQ(engine->getSettings().outputs[0].moduleOrder,
              (std::vector<std::string> { "gain", "module1", "module2", "module4", "module5", "module3", "delay" }));
    ASSERT_TRUE(engine->pasteModule(false, 1, "gain", false, true, ids, error)) << error;
    EXPECT_EQ(engine->getSettings().outputs[1].moduleOrder.front(), "module1");
    EXPECT_FALSE(engine->copyModule("output", 0, "nothing", false, error));
    EXPECT_EQ(error, "Select a configured processing module to copy.");
}

TEST_F(CanvasEditTest, DeletingABandClosesTheGap)
{
    Graph g(1, 1);
    g.block("node1", ProcessingModuleKind::iirFilter, [](auto& p) {
        p.eqBandCount = 2;
        p.eq[1].gainDb = 4.0;
    });
    g.settings.outputs[0].eqBandCount = 1;
    apply(g);
    std::string error;
    ASSERT_TRUE(engine->deleteEqBand("node", 0, 0, "node1", error)) << error;
    const auto p = findCanvasNode(engine->getSettings(), "node1")->processor;
    EXPECT_EQ(p.eqBandCount, 1);
    EXPECT_EQ(p.eq[0].gainDb, 4.0);
    EXPECT_EQ(p.eq[1], (EqBandSettings { false, static_cast<int>(FilterType::peaking), 1000.0, 0.0, 1.0 }));
    EXPECT_FALSE(engine->deleteEqBand("node", 0, 0, "node1", error));
    EXPECT_EQ(error, "At least one IIR band is required.");
    EXPECT_FALSE(engine->deleteEqBand("output", 0, 0, {}, error));
    EXPECT_EQ(error, "At least one IIR band must remain.");
    EXPECT_FALSE(engine->deleteEqBand("input", 0, 0, "module1", error));
    EXPECT_EQ(error, "The inserted IIR module no longer exists.");
}
} // namespace speaker::test
