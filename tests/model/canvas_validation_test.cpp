#include "model/CanvasValidation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>

using namespace speaker;

namespace
{
const std::string kCounts = "A project supports up to 16 inputs and 16 outputs.";
const std::string kSize = "The canvas exceeds the supported node or connection limit.";
const std::string kNodeId = "Canvas node IDs must be unique.";
const std::string kOutputChannel = "An output channel can appear only once on the canvas.";
const std::string kInputChannel = "An input channel can appear only once on the canvas.";
const std::string kProcessor = "The canvas contains an unsupported processor node.";
const std::string kSubsystem = "The Canvas contains an invalid Subsystem.";
const std::string kMembership = "Each DSP Block may belong to one Subsystem only.";
const std::string kParent = "A Subsystem has an invalid parent.";
const std::string kHierarchy = "Nested Subsystems cannot contain a hierarchy loop.";
const std::string kPort = "A Subsystem contains an invalid or duplicate port.";
const std::string kConnection = "The canvas contains an invalid connection.";
const std::string kFeedback = "Feedback loops are not allowed on the canvas.";
const std::string kValid;

// Built by appending: GCC 12 warns falsely about "literal" + std::string temporaries.
std::string numbered(const std::string& prefix, int n)
{
    std::string result = prefix;
    result += std::to_string(n);
    return result;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The stereo default: in1, in2, out1..out4 and connection1..4 (in1 -> out1, out2; in2 -> out3, out4).
AppSettings stereo()
{
    return makeDefaultSettings("stereo", {});
}

CanvasNodeSettings& addBlock(AppSettings& s, const std::string& id, ProcessingModuleKind kind = ProcessingModuleKind::gain)
{
    CanvasNodeSettings node;
    node.id = id;
    node.kind = static_cast<int>(CanvasNodeKind::processor);
    node.processor.id = id;
    node.processor.kind = static_cast<int>(kind);
    s.nodes.push_back(node);
    return s.nodes.back();
}

CanvasNodeSettings& addChannelNode(AppSettings& s, const std::string& id, CanvasNodeKind kind, int channel)
{
    CanvasNodeSettings node;
    node.id = id;
    node.kind = static_cast<int>(kind);
    node.channelIndex = channel;
    s.nodes.push_back(node);
    return s.nodes.back();
}

CanvasConnectionSettings& wire(AppSettings& s, const std::string& source, const std::string& target,
    const std::string& targetPort = {}, const std::string& sourcePort = {})
{
    CanvasConnectionSettings c;
    for (int n = 1; c.id.empty(); ++n)
    {
        const auto id = numbered("w", n);
        if (std::none_of(s.connections.begin(), s.connections.end(), [&](const auto& other) { return other.id == id; }))
            c.id = id;
    }
    c.source = source;
    c.target = target;
    c.sourcePort = sourcePort;
    c.targetPort = targetPort;
    s.connections.push_back(c);
    return s.connections.back();
}

CanvasSubmoduleSettings& addSubsystem(AppSettings& s, const std::string& id, std::vector<std::string> nodeIds = {},
    const std::string& parent = {})
{
    CanvasSubmoduleSettings sub;
    sub.id = id;
    sub.nodeIds = std::move(nodeIds);
    sub.parentSubmoduleId = parent;
    s.submodules.push_back(sub);
    return s.submodules.back();
}

CanvasSubmodulePortSettings port(const std::string& id, const std::string& nodeId = {})
{
    CanvasSubmodulePortSettings p;
    p.id = id;
    p.name = "Port";
    p.nodeId = nodeId;
    return p;
}

std::vector<CanvasSubmodulePortSettings> ports(int count)
{
    std::vector<CanvasSubmodulePortSettings> result;
    for (int i = 0; i < count; ++i)
        result.push_back(port(numbered("p", i)));
    return result;
}

const std::string subIn = canvasSubmoduleInputEndpoint("S", "i");
const std::string subOut = canvasSubmoduleOutputEndpoint("S", "o");

// Subsystem S holding Block g, with input port i and output port o, wired in1 -> i -> g -> o -> out1
// in place of connection1.
AppSettings wrappedBlock()
{
    auto s = stereo();
    s.connections.erase(s.connections.begin());
    addBlock(s, "g");
    auto& sub = addSubsystem(s, "S", { "g" });
    sub.inputs.push_back(port("i", "g"));
    sub.outputs.push_back(port("o", "g"));
    wire(s, "in1", subIn);
    wire(s, subIn, "g");
    wire(s, "g", subOut);
    wire(s, subOut, "out1");
    return s;
}

// 16 inputs and outputs, 64 Blocks in 32 Subsystems and 192 connections: every limit reached at once.
AppSettings largestGraph()
{
    std::vector<int> ways(16, 1);
    auto s = makeDefaultSettings("custom", ways);
    s.connections.clear();
    for (int k = 1; k <= 32; ++k)
    {
        const std::string sub = numbered("sub", k);
        const std::string a = numbered("a", k);
        const std::string b = numbered("b", k);
        const std::string in = numbered("in", (k - 1) % 16 + 1);
        addBlock(s, a);
        addBlock(s, b, ProcessingModuleKind::add);
        auto& group = addSubsystem(s, sub, { a, b });
        group.inputs.push_back(port("i"));
        group.outputs.push_back(port("o", b));
        const auto i = canvasSubmoduleInputEndpoint(sub, "i");
        const auto o = canvasSubmoduleOutputEndpoint(sub, "o");
        wire(s, in, i);
        wire(s, i, a);
        wire(s, a, b, "a");
        wire(s, b, o);
        if (k <= 16)
            wire(s, o, numbered("out", k));
        if (k <= 24)
        {
            s.submodules.back().inputs.push_back(port("j"));
            const auto j = canvasSubmoduleInputEndpoint(sub, "j");
            wire(s, in, j);
            wire(s, j, b, "b");
        }
    }
    return s;
}

struct Case
{
    const char* name;
    std::function<void(AppSettings&)> edit;
    std::string expected; // empty: valid
    std::function<AppSettings()> start = stereo;
};

void runCases(const std::vector<Case>& cases)
{
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto settings = c.start();
        c.edit(settings);
        std::string error;
        const bool ok = validateCanvasGraph(settings, error);
        if (c.expected.empty())
        {
            EXPECT_TRUE(ok) << error;
        }
        else
        {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.expected);
        }
    }
}
} // namespace

TEST(CanvasValidation, AcceptsWellFormedGraphs)
{
    runCases({
        { "stereo default", [](AppSettings&) {}, kValid },
        { "empty canvas", [](AppSettings&) {}, kValid, [] { return makeDefaultSettings("empty", {}); } },
        { "no canvas at all", [](AppSettings& s) { s.nodes.clear(), s.connections.clear(); }, kValid },
        { "path through Subsystem ports", [](AppSettings&) {}, kValid, wrappedBlock },
        { "explicit default ports", [](AppSettings& s) { s.connections[0].sourcePort = "output", s.connections[0].targetPort = "input"; }, kValid },
        { "one Block into a and b of an Add",
            [](AppSettings& s) {
                addBlock(s, "g");
                addBlock(s, "sum", ProcessingModuleKind::add);
                wire(s, "in1", "g");
                wire(s, "g", "sum", "a");
                wire(s, "g", "sum", "b");
            },
            kValid },
        { "empty target port of a math Block means a",
            [](AppSettings& s) {
                addBlock(s, "d", ProcessingModuleKind::divide);
                wire(s, "in1", "d");
                wire(s, "in2", "d", "b");
            },
            kValid },
        { "64 DSP Blocks",
            [](AppSettings& s) {
                for (int i = 0; i < 64; ++i)
                    addBlock(s, numbered("n", i));
            },
            kValid },
        { "64 ports per side",
            [](AppSettings& s) {
                auto& sub = addSubsystem(s, "S");
                sub.inputs = ports(64);
                sub.outputs = ports(128);
                sub.outputs.erase(sub.outputs.begin(), sub.outputs.begin() + 64);
            },
            kValid },
        { "port created for a Block of a nested Subsystem",
            [](AppSettings& s) {
                addBlock(s, "g");
                addSubsystem(s, "outer");
                addSubsystem(s, "inner", { "g" }, "outer");
                s.submodules[0].inputs.push_back(port("i", "g"));
            },
            kValid },
        { "nested ports on three levels",
            [](AppSettings& s) {
                // in1 -> A/i -> B/i -> g -> B/o -> A/o -> out1
                s.connections.erase(s.connections.begin());
                addBlock(s, "g");
                addSubsystem(s, "A").inputs.push_back(port("i"));
                s.submodules[0].outputs.push_back(port("o"));
                addSubsystem(s, "B", { "g" }, "A").inputs.push_back(port("i"));
                s.submodules[1].outputs.push_back(port("o"));
                wire(s, "in1", canvasSubmoduleInputEndpoint("A", "i"));
                wire(s, canvasSubmoduleInputEndpoint("A", "i"), canvasSubmoduleInputEndpoint("B", "i"));
                wire(s, canvasSubmoduleInputEndpoint("B", "i"), "g");
                wire(s, "g", canvasSubmoduleOutputEndpoint("B", "o"));
                wire(s, canvasSubmoduleOutputEndpoint("B", "o"), canvasSubmoduleOutputEndpoint("A", "o"));
                wire(s, canvasSubmoduleOutputEndpoint("A", "o"), "out1");
            },
            kValid },
        { "Subsystems listed before their parents",
            [](AppSettings& s) {
                addSubsystem(s, "c", {}, "b");
                addSubsystem(s, "b", {}, "a");
                addSubsystem(s, "a");
            },
            kValid },
    });
}

TEST(CanvasValidation, CountsAndSizes)
{
    runCases({
        { "17 inputs", [](AppSettings& s) { s.inputCount = 17; }, kCounts },
        { "17 outputs", [](AppSettings& s) { s.outputCount = 17; }, kCounts },
        { "97 nodes",
            [](AppSettings& s) {
                for (int i = 0; i < 91; ++i)
                    addBlock(s, numbered("n", i));
            },
            kSize },
        { "193 connections",
            [](AppSettings& s) {
                while (s.connections.size() < 193)
                    wire(s, "in1", "out1");
            },
            kSize },
        { "33 Subsystems",
            [](AppSettings& s) {
                for (int i = 0; i < 33; ++i)
                    addSubsystem(s, numbered("s", i));
            },
            kSize },
    });
}

TEST(CanvasValidation, Nodes)
{
    runCases({
        { "empty id", [](AppSettings& s) { addBlock(s, ""); }, kNodeId },
        { "id with a dot", [](AppSettings& s) { addBlock(s, "a.b"); }, kNodeId },
        { "repeated id", [](AppSettings& s) { addBlock(s, "in1"); }, kNodeId },
        { "two Input nodes for channel 0", [](AppSettings& s) { addChannelNode(s, "in9", CanvasNodeKind::input, 0); }, kInputChannel },
        { "Input channel equal to inputCount", [](AppSettings& s) { s.nodes[1].channelIndex = 2; }, kInputChannel },
        { "negative Input channel", [](AppSettings& s) { s.nodes[0].channelIndex = -1; }, kInputChannel },
        { "Input node without inputs", [](AppSettings& s) { s.inputCount = 0; }, kInputChannel },
        { "two Output nodes for channel 3", [](AppSettings& s) { addChannelNode(s, "out9", CanvasNodeKind::output, 3); }, kOutputChannel },
        { "Output channel equal to outputCount", [](AppSettings& s) { s.nodes[2].channelIndex = 4; }, kOutputChannel },
        { "negative Output channel", [](AppSettings& s) { s.nodes[2].channelIndex = -1; }, kOutputChannel },
        { "65 DSP Blocks",
            [](AppSettings& s) {
                for (int i = 0; i < 65; ++i)
                    addBlock(s, numbered("n", i));
            },
            kProcessor },
        { "Empty processor kind", [](AppSettings& s) { addBlock(s, "x", ProcessingModuleKind::empty); }, kProcessor },
        { "processor kind past the list", [](AppSettings& s) { addBlock(s, "x").processor.kind = 14; }, kProcessor },
        { "negative processor kind", [](AppSettings& s) { addBlock(s, "x").processor.kind = -1; }, kProcessor },
        { "node kind past the list", [](AppSettings& s) { addBlock(s, "x").kind = 3; }, kProcessor },
    });
}

TEST(CanvasValidation, SubsystemsAndNesting)
{
    runCases({
        { "empty id", [](AppSettings& s) { addSubsystem(s, ""); }, kSubsystem },
        { "id with a dot", [](AppSettings& s) { addSubsystem(s, "s.1"); }, kSubsystem },
        { "id equal to a node id", [](AppSettings& s) { addSubsystem(s, "out2"); }, kSubsystem },
        { "repeated id", [](AppSettings& s) { addSubsystem(s, "S"), addSubsystem(s, "S"); }, kSubsystem },
        { "blank name", [](AppSettings& s) { addSubsystem(s, "S").name = " \t "; }, kSubsystem },
        { "empty name", [](AppSettings& s) { addSubsystem(s, "S").name.clear(); }, kSubsystem },
        { "x not finite", [](AppSettings& s) { addSubsystem(s, "S").x = kNaN; }, kSubsystem },
        { "y not finite", [](AppSettings& s) { addSubsystem(s, "S").y = -kInf; }, kSubsystem },
        { "65 input ports", [](AppSettings& s) { addSubsystem(s, "S").inputs = ports(65); }, kSubsystem },
        { "65 output ports", [](AppSettings& s) { addSubsystem(s, "S").outputs = ports(65); }, kSubsystem },
        { "member that is not a node", [](AppSettings& s) { addSubsystem(s, "S", { "ghost" }); }, kMembership },
        { "member that is an Input node", [](AppSettings& s) { addSubsystem(s, "S", { "in1" }); }, kMembership },
        { "member that is an Output node", [](AppSettings& s) { addSubsystem(s, "S", { "out1" }); }, kMembership },
        { "Block in two Subsystems",
            [](AppSettings& s) {
                addBlock(s, "g");
                addSubsystem(s, "A", { "g" });
                addSubsystem(s, "B", { "g" });
            },
            kMembership },
        { "Block listed twice", [](AppSettings& s) { addBlock(s, "g"), addSubsystem(s, "A", { "g", "g" }); }, kMembership },
        { "parent is itself", [](AppSettings& s) { addSubsystem(s, "A", {}, "A"); }, kParent },
        { "parent missing", [](AppSettings& s) { addSubsystem(s, "A", {}, "nowhere"); }, kParent },
        { "parent is a node", [](AppSettings& s) { addBlock(s, "g"), addSubsystem(s, "A", {}, "g"); }, kParent },
        { "two Subsystems name each other", [](AppSettings& s) { addSubsystem(s, "A", {}, "B"), addSubsystem(s, "B", {}, "A"); }, kHierarchy },
        { "three-step loop", [](AppSettings& s) { addSubsystem(s, "A", {}, "C"), addSubsystem(s, "B", {}, "A"), addSubsystem(s, "C", {}, "B"); },
            kHierarchy },
        { "chain that runs into a loop", [](AppSettings& s) { addSubsystem(s, "A", {}, "B"), addSubsystem(s, "B", {}, "C"), addSubsystem(s, "C", {}, "B"); },
            kHierarchy },
    });
}

TEST(CanvasValidation, Ports)
{
    const auto withPort = [](std::function<void(CanvasSubmodulePortSettings&)> change, bool output = false)
    {
        return [change, output](AppSettings& s)
        {
            auto& sub = addSubsystem(s, "S");
            auto p = port("p");
            change(p);
            (output ? sub.outputs : sub.inputs).push_back(p);
        };
    };
    runCases({
        { "empty id", withPort([](auto& p) { p.id.clear(); }), kPort },
        { "id with a dot", withPort([](auto& p) { p.id = "p.1"; }, true), kPort },
        { "blank name", withPort([](auto& p) { p.name = "   "; }), kPort },
        { "x not finite", withPort([](auto& p) { p.x = kInf; }, true), kPort },
        { "y not finite", withPort([](auto& p) { p.y = kNaN; }), kPort },
        { "created for a node that does not exist", withPort([](auto& p) { p.nodeId = "ghost"; }), kPort },
        { "created for a channel node", withPort([](auto& p) { p.nodeId = "in1"; }), kPort },
        { "repeated id on one side",
            [](AppSettings& s) { addSubsystem(s, "S").inputs = { port("p"), port("p") }; }, kPort },
        { "same id on both sides",
            [](AppSettings& s) {
                auto& sub = addSubsystem(s, "S");
                sub.inputs = { port("p") };
                sub.outputs = { port("p") };
            },
            kPort },
        { "same id in two Subsystems",
            [](AppSettings& s) {
                addSubsystem(s, "A").inputs = { port("p") };
                addSubsystem(s, "B").inputs = { port("p") };
            },
            kValid },
        { "created for a Block of a sibling Subsystem",
            [](AppSettings& s) {
                addBlock(s, "g");
                addSubsystem(s, "A", { "g" });
                addSubsystem(s, "B").inputs = { port("p", "g") };
            },
            kPort },
        { "created for a Block of the parent",
            [](AppSettings& s) {
                addBlock(s, "g");
                addSubsystem(s, "A", { "g" });
                addSubsystem(s, "B", {}, "A").outputs = { port("p", "g") };
            },
            kPort },
        { "created for a Block on the main canvas", [](AppSettings& s) { addBlock(s, "g"), addSubsystem(s, "A").inputs = { port("p", "g") }; },
            kPort },
        { "endpoint equal to a node id",
            [](AppSettings& s) {
                addBlock(s, canvasSubmoduleInputEndpoint("S", "p"));
                addSubsystem(s, "S").inputs = { port("p") };
            },
            kPort },
        { "endpoint equal to another Subsystem's endpoint",
            [](AppSettings& s) {
                // "@subsystem/a/input/b" + "/input/c" and "@subsystem/a" + "/input/b/input/c"
                addSubsystem(s, "a/input/b").inputs = { port("c") };
                addSubsystem(s, "a").inputs = { port("b/input/c") };
            },
            kPort },
    });
}

TEST(CanvasValidation, Connections)
{
    runCases({
        { "empty id", [](AppSettings& s) { s.connections[1].id.clear(); }, kConnection },
        { "repeated id", [](AppSettings& s) { s.connections[3].id = s.connections[0].id; }, kConnection },
        { "unknown source", [](AppSettings& s) { addBlock(s, "g"), wire(s, "ghost", "g"); }, kConnection },
        { "unknown target", [](AppSettings& s) { wire(s, "in1", "ghost"); }, kConnection },
        { "Subsystem id as endpoint", [](AppSettings& s) { addBlock(s, "g"), addSubsystem(s, "S"), wire(s, "S", "g"); }, kConnection },
        { "from an Output node", [](AppSettings& s) { addBlock(s, "g"), wire(s, "out1", "g"); }, kConnection },
        { "into an Input node", [](AppSettings& s) { addBlock(s, "g"), wire(s, "g", "in1"); }, kConnection },
        { "Block into itself", [](AppSettings& s) { addBlock(s, "g"), wire(s, "g", "g"); }, kConnection },
        { "Input node straight into a Block inside a Subsystem",
            [](AppSettings& s) {
                addBlock(s, "g");
                addSubsystem(s, "S", { "g" });
                wire(s, "in1", "g");
            },
            kConnection },
        { "Block inside a Subsystem straight to an Output node", [](AppSettings& s) { s.connections.pop_back(), s.connections.back().target = "out1"; },
            kConnection, wrappedBlock },
        { "input port endpoint fed from inside",
            [](AppSettings& s) {
                addBlock(s, "h");
                s.submodules[0].nodeIds.push_back("h");
                s.connections[3].source = "h";
            },
            kConnection, wrappedBlock },
        { "output port endpoint read inside", [](AppSettings& s) { addBlock(s, "h"), s.submodules[0].nodeIds.push_back("h"), wire(s, subOut, "h"); },
            kConnection, wrappedBlock },
        { "input port endpoint read outside", [](AppSettings& s) { s.connections.back().source = subIn; }, kConnection, wrappedBlock },
        { "source port other than output", [](AppSettings& s) { s.connections[0].sourcePort = "a"; }, kConnection },
        { "target port b on a Gain Block", [](AppSettings& s) { addBlock(s, "g"), wire(s, "in1", "g", "b"); }, kConnection },
        { "target port a on an Output node", [](AppSettings& s) { s.connections[0].targetPort = "a"; }, kConnection },
        { "target port input on an Add Block", [](AppSettings& s) { addBlock(s, "sum", ProcessingModuleKind::add), wire(s, "in1", "sum", "input"); },
            kConnection },
        { "target port c on a Multiply Block", [](AppSettings& s) { addBlock(s, "m", ProcessingModuleKind::multiply), wire(s, "in1", "m", "c"); },
            kConnection },
        { "repeated wire", [](AppSettings& s) { wire(s, "in1", "out1"); }, kConnection },
        { "repeated wire spelled with explicit ports", [](AppSettings& s) { wire(s, "in1", "out1", "input", "output"); }, kConnection },
        { "two wires into one Output node", [](AppSettings& s) { wire(s, "in2", "out1"); }, kConnection },
        { "two wires into a of an Add Block",
            [](AppSettings& s) {
                addBlock(s, "sum", ProcessingModuleKind::subtract);
                wire(s, "in1", "sum", "a");
                wire(s, "in2", "sum");
            },
            kConnection },
        { "two wires into one port endpoint", [](AppSettings& s) { wire(s, "in2", subIn); }, kConnection, wrappedBlock },
        { "one port endpoint feeding two targets", [](AppSettings& s) { wire(s, subOut, "out2"); }, kValid,
            [] {
                auto s = wrappedBlock();
                s.connections.erase(s.connections.begin());
                return s;
            } },
    });
}

TEST(CanvasValidation, Feedback)
{
    runCases({
        { "two Blocks feeding each other",
            [](AppSettings& s) {
                addBlock(s, "g");
                addBlock(s, "h");
                wire(s, "g", "h");
                wire(s, "h", "g");
            },
            kFeedback },
        { "loop back into the second input of an Add",
            [](AppSettings& s) {
                addBlock(s, "sum", ProcessingModuleKind::add);
                addBlock(s, "g");
                wire(s, "in1", "sum", "a");
                wire(s, "sum", "g");
                wire(s, "g", "sum", "b");
            },
            kFeedback },
        { "loop through Subsystem port endpoints",
            [](AppSettings& s) {
                // g inside S: o -> h on the main canvas -> i -> back into g
                addBlock(s, "h");
                s.connections[3].source = "h";
                s.connections.pop_back();
                wire(s, subOut, "h");
            },
            kFeedback, wrappedBlock },
        { "loop among Blocks fed from an input",
            [](AppSettings& s) {
                addBlock(s, "a");
                addBlock(s, "b", ProcessingModuleKind::add);
                addBlock(s, "c");
                wire(s, "in1", "b", "a");
                wire(s, "b", "c");
                wire(s, "c", "a");
                wire(s, "a", "b", "b");
                s.connections.erase(s.connections.begin());
                wire(s, "c", "out1");
            },
            kFeedback },
    });
}

// A graph that breaks two rules reports the one checked first.
TEST(CanvasValidation, ReportsTheFirstBrokenRule)
{
    runCases({
        { "counts before sizes",
            [](AppSettings& s) {
                s.outputCount = 17;
                for (int i = 0; i < 33; ++i)
                    addSubsystem(s, numbered("s", i));
            },
            kCounts },
        { "sizes before nodes",
            [](AppSettings& s) {
                addBlock(s, "in1");
                while (s.connections.size() < 193)
                    wire(s, "in1", "out1");
            },
            kSize },
        { "nodes in list order", [](AppSettings& s) { addChannelNode(s, "outX", CanvasNodeKind::output, 0), addBlock(s, "a.b"); }, kOutputChannel },
        { "node id before its channel", [](AppSettings& s) { addChannelNode(s, "in1", CanvasNodeKind::output, 0); }, kNodeId },
        { "nodes before Subsystems", [](AppSettings& s) { addSubsystem(s, ""), addBlock(s, "x", ProcessingModuleKind::empty); }, kProcessor },
        { "Subsystems in list order", [](AppSettings& s) { addSubsystem(s, "A", { "ghost" }), addSubsystem(s, "B").name = ""; }, kMembership },
        { "all Subsystems before nesting", [](AppSettings& s) { addSubsystem(s, "A", {}, "A"), addSubsystem(s, "B").x = kNaN; }, kSubsystem },
        { "nesting before ports",
            [](AppSettings& s) {
                addSubsystem(s, "A").inputs = { port("p"), port("p") };
                addSubsystem(s, "B", {}, "missing");
            },
            kParent },
        { "ports before connections", [](AppSettings& s) { s.connections[0].id.clear(), addSubsystem(s, "A").outputs = { port("") }; }, kPort },
        { "connections in list order", [](AppSettings& s) { wire(s, "in1", "out1"), wire(s, "in1", "nowhere"); }, kConnection },
        { "connections before feedback",
            [](AppSettings& s) {
                addBlock(s, "g");
                addBlock(s, "h");
                wire(s, "g", "h");
                wire(s, "h", "g");
                wire(s, "h", "g", "b");
            },
            kConnection },
    });
}

TEST(CanvasValidation, LargestGraphPassesUnchanged)
{
    const auto settings = largestGraph();
    const auto copy = settings;
    std::string error;
    EXPECT_TRUE(validateCanvasGraph(settings, error)) << error;
    EXPECT_EQ(settings, copy);
    ASSERT_EQ(settings.nodes.size(), 96u);
    ASSERT_EQ(settings.submodules.size(), 32u);
    ASSERT_EQ(settings.connections.size(), 192u);
}
