#include "model/CanvasValidation.h"
#include "model/ProjectFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <tuple>

using namespace speaker;

namespace
{
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

juce::String toText(const juce::var& value) { return juce::JSON::toString(value, true); }

juce::String projectText(const AppSettings& settings) { return toText(settingsToVar(settings, true)); }

juce::var loadFile(const juce::File& file)
{
    juce::var value;
    const auto result = juce::JSON::parse(file.loadFileAsString(), value);
    EXPECT_TRUE(result.wasOk()) << file.getFullPathName() << ": " << result.getErrorMessage();
    return value;
}

juce::var loadFixture(const char* name)
{
    return loadFile(juce::File(CORVANA_TEST_DATA_DIR).getChildFile("projects").getChildFile(name));
}

AppSettings read(const juce::var& value)
{
    AppSettings settings;
    std::string error;
    EXPECT_TRUE(settingsFromVar(value, settings, error)) << error;
    return settings;
}

// Points at the first difference of two projects through their text.
std::string firstDifference(const AppSettings& a, const AppSettings& b)
{
    const auto ta = projectText(a).toStdString();
    const auto tb = projectText(b).toStdString();
    const auto i = static_cast<size_t>(std::mismatch(ta.begin(), ta.end(), tb.begin(), tb.end()).first - ta.begin());
    if (i == ta.size() && i == tb.size())
        return "the texts are equal; an unwritten field differs";
    const auto from = i < 80 ? 0 : i - 80;
    return "texts differ at " + std::to_string(i) + ":\n  ..." + ta.substr(from, 120) + "\n  ..." + tb.substr(from, 120);
}

// Through the object and through its text: the project comes back equal and
// writing it again gives the same text.
void expectRoundTrip(const AppSettings& project)
{
    const auto value = settingsToVar(project, true);
    const auto text = toText(value);

    AppSettings direct;
    std::string error;
    ASSERT_TRUE(settingsFromVar(value, direct, error)) << error;
    EXPECT_TRUE(direct == project) << firstDifference(direct, project);

    AppSettings fromText;
    ASSERT_TRUE(settingsFromVar(juce::JSON::parse(text), fromText, error)) << error;
    EXPECT_TRUE(fromText == project) << firstDifference(fromText, project);
    EXPECT_EQ(projectText(fromText), text);
}

//==============================================================================
// Mutating written projects.

const juce::var& get(const juce::var& object, const char* key) { return object[juce::Identifier(key)]; }
const juce::var& at(const juce::var& array, int index) { return array[index]; }

bool hasKey(const juce::var& object, const char* key)
{
    return object.getDynamicObject() != nullptr && object.getDynamicObject()->hasProperty(juce::Identifier(key));
}

void setKey(const juce::var& object, const char* key, const juce::var& value)
{
    ASSERT_NE(object.getDynamicObject(), nullptr) << key;
    object.getDynamicObject()->setProperty(juce::Identifier(key), value);
}

void removeKey(const juce::var& object, const char* key)
{
    ASSERT_NE(object.getDynamicObject(), nullptr) << key;
    object.getDynamicObject()->removeProperty(juce::Identifier(key));
}

juce::var& element(const juce::var& array, int index) { return array.getArray()->getReference(index); }

const juce::var& node(const juce::var& root, const char* id)
{
    static const juce::var none;
    for (const auto& n : *get(get(root, "canvas"), "nodes").getArray())
        if (n[juce::Identifier("id")].toString() == id)
            return n;
    ADD_FAILURE() << "no node " << id;
    return none;
}

juce::var repeated(const juce::var& value, int count)
{
    juce::Array<juce::var> array;
    for (int i = 0; i < count; ++i)
        array.add(value);
    return array;
}

juce::var copyOf(const juce::var& value) { return juce::JSON::parse(toText(value)); }

InsertedModuleSettings moduleOf(ProcessingModuleKind kind, const std::string& id)
{
    InsertedModuleSettings module;
    module.id = id;
    module.kind = static_cast<int>(kind);
    return module;
}

CanvasNodeSettings blockOf(ProcessingModuleKind kind, const std::string& id, double x, double y)
{
    CanvasNodeSettings node;
    node.id = id;
    node.kind = static_cast<int>(CanvasNodeKind::processor);
    node.x = x;
    node.y = y;
    node.processor = moduleOf(kind, id);
    return node;
}

// One input, one output, a chain on each and a row of Blocks of the kinds with
// their own file fields. Every broken-file case starts from this.
AppSettings baseProject()
{
    auto project = makeDefaultSettings("mono", { 1 });
    project.speakerConfiguration = "custom";
    auto& input = project.inputs[0];
    input.fir.fileName = "room.txt";
    input.fir.coefficients = { 0.5f, 0.25f };
    input.insertedModules = { moduleOf(ProcessingModuleKind::firFilter, "m1") };
    input.insertedModules[0].fir = input.fir;
    input.moduleOrder = { "fir", "m1" };

    auto& output = project.outputs[0];
    auto lowPass = moduleOf(ProcessingModuleKind::lowPassFilter, "lp");
    auto shelf = moduleOf(ProcessingModuleKind::lowShelvingFilter, "shelf");
    auto fir = moduleOf(ProcessingModuleKind::firFilter, "fir1");
    output.insertedModules = { lowPass, shelf, fir };
    output.moduleOrder = { "gain", "lp", "iir", "shelf", "delay", "fir1" };

    project.connections.clear();
    const std::vector<std::pair<ProcessingModuleKind, std::string>> blocks {
        { ProcessingModuleKind::firFilter, "fir" },   { ProcessingModuleKind::lowPassFilter, "lp" },
        { ProcessingModuleKind::highPassFilter, "hp" }, { ProcessingModuleKind::highShelvingFilter, "shelf" },
        { ProcessingModuleKind::divide, "div" },
    };
    std::string previous = "in1";
    double x = 200.0;
    for (const auto& [kind, id] : blocks)
    {
        project.nodes.push_back(blockOf(kind, id, x, 100.0));
        project.connections.push_back({ "connection" + std::to_string(project.connections.size() + 1), previous, id, {}, {} });
        previous = id;
        x += 150.0;
    }
    project.connections.push_back({ "connection6", previous, "out1", {}, {} });
    findCanvasNode(project, "shelf")->processor.eq[0].type = static_cast<int>(FilterType::highShelf);
    return project;
}

//==============================================================================
// Random valid projects.

double canonical(double value) { return juce::var(value).toString().getDoubleValue(); }

class ProjectGenerator
{
public:
    explicit ProjectGenerator(unsigned seed) : rng(seed) {}

    AppSettings make()
    {
        AppSettings p = makeDefaultSettings("empty", {});
        p.inputCount = integer(0, kMaxInputs);
        p.outputCount = integer(0, kMaxOutputs);
        const std::array<const char*, 4> layouts { "empty", "mono", "stereo", "custom" };
        p.speakerConfiguration = layouts[static_cast<size_t>(integer(0, 3))];
        p.waysPerChannel.fill(0);
        for (int i = 0; i < p.inputCount; ++i)
            p.waysPerChannel[static_cast<size_t>(i)] = integer(0, kMaxWaysPerChannel);
        p.projectName = name();
        p.masterMute = chance();
        p.masterVolumeDb = real(kMinMasterVolumeDb, kMaxMasterVolumeDb);
        if (chance())
        {
            auto* workspace = new juce::DynamicObject();
            workspace->setProperty("view", juce::String::fromUTF8(name().c_str()));
            workspace->setProperty("zoom", real(0.1, 40.0));
            workspace->setProperty("traces", juce::Array<juce::var> { 1, 2.5, "x" });
            p.analyzerWorkspace = toText(juce::var(workspace)).toStdString();
        }

        for (int i = 0; i < p.inputCount; ++i)
            makeInput(p.inputs[static_cast<size_t>(i)]);
        for (int j = 0; j < p.outputCount; ++j)
            makeOutput(p.outputs[static_cast<size_t>(j)], p.inputCount);
        makeCanvas(p);
        return p;
    }

private:
    std::mt19937 rng;

    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    bool chance(double p = 0.5) { return std::bernoulli_distribution(p)(rng); }

    // Ends of ranges come up often, and every value is one the text form keeps.
    double real(double lo, double hi)
    {
        const int pick = integer(0, 9);
        if (pick == 0)
            return lo;
        if (pick == 1)
            return hi;
        return canonical(std::uniform_real_distribution<double>(lo, hi)(rng));
    }

    std::string name()
    {
        const std::array<const char*, 7> names { "Main", "Tweeter \"L\"", "Höchtöner ✓", "back\\slash", "tab\there",
                                                "Сабвуфер", "" };
        return names[static_cast<size_t>(integer(0, 6))] + std::to_string(integer(0, 99));
    }

    FirSettings fir()
    {
        FirSettings f;
        if (chance(0.2))
            return f;
        f.enabled = chance();
        f.fileName = chance() ? "Bypass" : name() + ".txt";
        f.sampleRateHz = kFirSampleRates[static_cast<size_t>(integer(0, 2))];
        f.coefficients.clear();
        const int taps = chance(0.05) ? kMaxFirCoefficients : integer(1, 48);
        std::uniform_real_distribution<float> value(-1.0f, 1.0f);
        for (int t = 0; t < taps; ++t)
        {
            const float scale = std::array<float, 4> { 1.0f, 1.0e-7f, 1.0e4f, 3.0e-39f }[static_cast<size_t>(integer(0, 3))];
            f.coefficients.push_back(value(rng) * scale);
        }
        if (f.fileName == "Bypass" && f.coefficients == std::vector<float> { 1.0f })
            f.coefficients[0] = 0.5f;
        return f;
    }

    EqBandSettings band(double minHz, double maxHz)
    {
        EqBandSettings b;
        b.enabled = chance();
        b.type = integer(1, 5);
        b.frequencyHz = real(minHz, maxHz);
        b.gainDb = real(kMinBandGainDb, kMaxBandGainDb);
        b.q = real(kMinBandQ, kMaxBandQ);
        return b;
    }

    void bands(EqBands& eq, int& count, double minHz, double maxHz)
    {
        count = integer(1, kMaxEqBands);
        for (int k = 0; k < kMaxEqBands; ++k)
        {
            auto& b = eq[static_cast<size_t>(k)];
            b = band(minHz, maxHz);
            b.enabled = b.enabled && k < count;
        }
    }

    void singleBand(InsertedModuleSettings& m)
    {
        m.eqBandCount = 1;
        m.eq[0].enabled = true;
        for (size_t k = 1; k < m.eq.size(); ++k)
            m.eq[k].enabled = false;
    }

    void passSettings(int& order, int& shape)
    {
        order = integer(1, kMaxFilterOrder);
        shape = (order % 2 == 0 && order >= 4 && chance()) ? 1 : 0;
    }

    // Only the fields that the file carries for the kind differ from the defaults.
    void fillModule(InsertedModuleSettings& m, bool block)
    {
        using K = ProcessingModuleKind;
        const auto kind = static_cast<K>(m.kind);
        m.bypassed = chance();
        m.gainDb = real(kMinGainDb, kMaxGainDb);
        m.polarityInverted = chance();
        m.delayUs = real(0.0, kMaxFileDelayUs);
        double minHz = kMinBandFrequencyHz;
        double maxHz = block ? kMaxPassFilterFrequencyHz : kMaxBandFrequencyHz;
        if (kind == K::peakingFilter)
        {
            minHz = kMinPeakingFrequencyHz;
            maxHz = kMaxBandFrequencyHz;
        }
        if (kind == K::lowPassFilter || kind == K::highPassFilter)
            maxHz = kMaxPassFilterFrequencyHz;
        bands(m.eq, m.eqBandCount, minHz, maxHz);

        if (kind == K::firFilter)
            m.fir = fir();
        if (kind == K::highShelvingFilter || kind == K::lowShelvingFilter)
        {
            m.shelfOrder = integer(1, 2);
            if (block)
            {
                singleBand(m);
                m.eq[0].type = static_cast<int>(kind == K::highShelvingFilter ? FilterType::highShelf : FilterType::lowShelf);
            }
        }
        if (kind == K::lowPassFilter)
        {
            passSettings(m.lowPassOrder, m.lowPassShape);
            singleBand(m);
        }
        if (kind == K::highPassFilter)
        {
            passSettings(m.highPassOrder, m.highPassShape);
            singleBand(m);
        }
        if (kind == K::divide)
        {
            m.divideFloorDb = real(kMinDivideFloorDb, kMaxDivideFloorDb);
            m.divideLimitDb = real(kMinDivideLimitDb, kMaxDivideLimitDb);
        }
    }

    std::vector<InsertedModuleSettings> chainModules()
    {
        std::vector<InsertedModuleSettings> modules;
        const int count = chance(0.1) ? kMaxInsertedModules : integer(0, 4);
        for (int i = 0; i < count; ++i)
        {
            int kind = integer(0, 13);
            if (isMathModuleKind(kind))
                kind = static_cast<int>(ProcessingModuleKind::empty);
            auto m = moduleOf(static_cast<ProcessingModuleKind>(kind), "module" + std::to_string(i + 1));
            fillModule(m, false);
            modules.push_back(m);
        }
        return modules;
    }

    std::vector<std::string> order(std::vector<std::string> fixed, const std::vector<InsertedModuleSettings>& modules)
    {
        std::vector<std::string> entries;
        for (auto& f : fixed)
            if (chance(0.8))
                entries.push_back(f);
        for (const auto& m : modules)
            entries.push_back(m.id);
        std::shuffle(entries.begin(), entries.end(), rng);
        return entries;
    }

    void makeInput(InputSettings& in)
    {
        in.physicalChannel = integer(kMinPhysicalChannel, kMaxPhysicalChannel);
        in.volumeDb = real(kMinVolumeDb, kMaxVolumeDb);
        in.mute = chance();
        in.solo = chance();
        in.fir = fir();
        in.insertedModules = chainModules();
        in.moduleOrder = order({ "fir" }, in.insertedModules);
    }

    void makeOutput(OutputSettings& out, int inputCount)
    {
        out.physicalChannel = integer(kMinPhysicalChannel, kMaxPhysicalChannel);
        out.inputIndex = integer(-1, inputCount - 1);
        out.volumeDb = real(kMinVolumeDb, kMaxVolumeDb);
        out.gainBypassed = chance();
        out.gainDb = real(kMinGainDb, kMaxGainDb);
        out.polarityInverted = chance();
        out.iirBypassed = chance();
        out.delayBypassed = chance();
        out.mute = chance();
        out.solo = chance();
        out.delayUs = real(0.0, kMaxFileDelayUs);
        bands(out.eq, out.eqBandCount, kMinBandFrequencyHz, kMaxBandFrequencyHz);
        out.insertedModules = chainModules();
        out.moduleOrder = order({ "gain", "iir", "delay" }, out.insertedModules);
    }

    struct Vertex
    {
        std::string id;
        std::string sourceLevel;
        std::string targetLevel;
        bool canSource = true;
        bool canTarget = true;
        bool math = false;
        int rank = 0;
    };

    void makeCanvas(AppSettings& p)
    {
        const double limit = kCanvasCoordinateLimit;
        std::vector<Vertex> vertices;
        auto position = [&](auto& item) {
            item.x = real(-limit, limit);
            item.y = real(-limit, limit);
        };

        for (int i = 0; i < p.inputCount; ++i)
        {
            if (chance(0.2))
                continue;
            CanvasNodeSettings n;
            n.id = "in" + std::to_string(i + 1);
            n.kind = static_cast<int>(CanvasNodeKind::input);
            n.channelIndex = i;
            n.locked = chance(0.2);
            position(n);
            p.nodes.push_back(n);
            vertices.push_back({ n.id, "", "", true, false, false, 0 });
        }
        for (int j = 0; j < p.outputCount; ++j)
        {
            if (chance(0.2))
                continue;
            CanvasNodeSettings n;
            n.id = "out" + std::to_string(j + 1);
            n.kind = static_cast<int>(CanvasNodeKind::output);
            n.channelIndex = j;
            position(n);
            p.nodes.push_back(n);
            vertices.push_back({ n.id, "", "", false, true, false, 0 });
        }

        const int subsystemCount = integer(0, 5);
        for (int s = 0; s < subsystemCount; ++s)
        {
            CanvasSubmoduleSettings sub;
            sub.id = "submodule" + std::to_string(s + 1);
            sub.name = "Group " + name();
            position(sub);
            sub.locked = chance(0.3);
            if (s > 0 && chance())
                sub.parentSubmoduleId = "submodule" + std::to_string(integer(1, s));
            p.submodules.push_back(sub);
        }

        // Every Block kind, then random ones, up to the Block limit and within the node limit.
        const int room = std::min(kMaxCanvasBlocks, kMaxCanvasNodes - static_cast<int>(p.nodes.size()));
        const int blockCount = std::min(room, chance(0.1) ? room : integer(13, 24));
        std::vector<std::string> levelOf;
        for (int b = 0; b < blockCount; ++b)
        {
            const auto kind = static_cast<ProcessingModuleKind>(b < 13 ? b : integer(0, 12));
            auto n = blockOf(kind, "node" + std::to_string(b + 1), 0.0, 0.0);
            position(n);
            n.locked = chance(0.2);
            fillModule(n.processor, true);
            p.nodes.push_back(n);
            std::string level;
            if (! p.submodules.empty() && chance(0.6))
            {
                auto& sub = p.submodules[static_cast<size_t>(integer(0, static_cast<int>(p.submodules.size()) - 1))];
                sub.nodeIds.push_back(n.id);
                level = sub.id;
            }
            vertices.push_back({ n.id, level, level, true, true, isMathModuleKind(n.processor.kind), 0 });
            levelOf.push_back(level);
        }

        for (auto& sub : p.submodules)
        {
            // Blocks of this Subsystem and of those nested in it may own a port.
            std::vector<std::string> subtree;
            for (const auto& other : p.submodules)
            {
                std::string cursor = other.id;
                while (! cursor.empty() && cursor != sub.id)
                    cursor = findCanvasSubmodule(p, cursor)->parentSubmoduleId;
                if (cursor == sub.id)
                    subtree.insert(subtree.end(), other.nodeIds.begin(), other.nodeIds.end());
            }
            int portNumber = 0;
            for (auto* side : { &sub.inputs, &sub.outputs })
            {
                const int count = integer(0, 3);
                for (int k = 0; k < count; ++k)
                {
                    CanvasSubmodulePortSettings port;
                    port.id = "port" + std::to_string(++portNumber);
                    port.name = "Port " + name();
                    position(port);
                    if (! subtree.empty() && chance())
                        port.nodeId = subtree[static_cast<size_t>(integer(0, static_cast<int>(subtree.size()) - 1))];
                    side->push_back(port);
                    const bool input = side == &sub.inputs;
                    const auto endpoint = input ? canvasSubmoduleInputEndpoint(sub.id, port.id)
                                                : canvasSubmoduleOutputEndpoint(sub.id, port.id);
                    vertices.push_back({ endpoint, input ? sub.id : sub.parentSubmoduleId,
                                         input ? sub.parentSubmoduleId : sub.id, true, true, false, 0 });
                }
            }
        }

        std::vector<int> ranks(vertices.size());
        std::iota(ranks.begin(), ranks.end(), 0);
        std::shuffle(ranks.begin(), ranks.end(), rng);
        for (size_t v = 0; v < vertices.size(); ++v)
            vertices[v].rank = ranks[v];

        // Wires only run up the rank order, so the graph has no loop.
        std::set<std::pair<std::string, std::string>> fed;
        const int wanted = integer(0, 80);
        for (int attempt = 0; attempt < 600 && static_cast<int>(p.connections.size()) < wanted; ++attempt)
        {
            if (vertices.size() < 2)
                break;
            const auto& from = vertices[static_cast<size_t>(integer(0, static_cast<int>(vertices.size()) - 1))];
            const auto& to = vertices[static_cast<size_t>(integer(0, static_cast<int>(vertices.size()) - 1))];
            if (! from.canSource || ! to.canTarget || from.rank >= to.rank || from.sourceLevel != to.targetLevel)
                continue;
            std::string port = to.math ? (chance() ? "a" : "b") : "input";
            if (! fed.insert({ to.id, port }).second)
                continue;
            CanvasConnectionSettings c;
            c.id = "connection" + std::to_string(p.connections.size() + 1);
            c.source = from.id;
            c.target = to.id;
            c.sourcePort = chance(0.2) ? "output" : "";
            c.targetPort = (port == "b" || chance(0.2)) ? port : "";
            p.connections.push_back(c);
        }
        std::shuffle(p.connections.begin(), p.connections.end(), rng);
    }
};

} // namespace

//==============================================================================

TEST(ProjectFileRoundTrip, DefaultLayouts)
{
    const std::vector<std::pair<std::string, std::vector<int>>> layouts {
        { "empty", {} }, { "mono", {} }, { "stereo", {} }, { "3way-stereo", {} }, { "custom", {} },
        { "custom", { 8, 8 } }, { "custom", { 1, 2, 3, 4, 1, 1, 1, 1, 1, 1 } }, { "2way-mono", {} },
    };
    for (const auto& [name, ways] : layouts)
    {
        SCOPED_TRACE(name);
        expectRoundTrip(makeDefaultSettings(name, ways));
    }
}

TEST(ProjectFileRoundTrip, ReferenceProjects)
{
    const auto files = juce::File(CORVANA_BENCH_PROJECTS_DIR).findChildFiles(juce::File::findFiles, false, "*.corv");
    ASSERT_FALSE(files.isEmpty());
    for (const auto& file : files)
    {
        SCOPED_TRACE(file.getFileName().toStdString());
        const auto project = read(loadFile(file));
        EXPECT_FALSE(project.nodes.empty());
        expectRoundTrip(project);
    }
}

TEST(ProjectFileRoundTrip, RandomValidProjects)
{
    for (unsigned seed = 1; seed <= 60; ++seed)
    {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const auto project = ProjectGenerator(seed).make();
        std::string error;
        ASSERT_TRUE(validateCanvasGraph(project, error)) << error;
        expectRoundTrip(project);
        if (testing::Test::HasFailure())
            break;
    }
}

TEST(ProjectFileRoundTrip, AnyDoubleSettlesAfterOneWrite)
{
    auto project = makeDefaultSettings("stereo", {});
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> value(-99999.0, 99999.0);
    for (auto& n : project.nodes)
    {
        n.x = value(rng);
        n.y = std::nextafter(8.0 + value(rng) * 1.0e-5, 100.0);
    }
    project.masterVolumeDb = -(1.0 + std::numeric_limits<double>::epsilon());
    project.outputs[0].eq[0].q = 0.1 + 1.0e-17;

    const auto text = projectText(project);
    const auto once = read(juce::JSON::parse(text));
    EXPECT_EQ(projectText(once), text);
    for (size_t i = 0; i < project.nodes.size(); ++i)
        EXPECT_NEAR(once.nodes[i].x, project.nodes[i].x, 1.0e-9);
}

TEST(ProjectFileRoundTrip, FloatCoefficientsComeBackBitExact)
{
    auto project = baseProject();
    auto& coefficients = project.nodes[2].processor.fir.coefficients;
    coefficients = { std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
                     std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), 0.1f, 1.0f / 3.0f,
                     -7.654321e-6f, 123456.79f, -0.0f, 16777217.0f };
    project.nodes[2].processor.fir.fileName = "edge.txt";
    expectRoundTrip(project);
}

//==============================================================================

TEST(ProjectFileWriting, KeysFollowTheTablesAndOnlyTheKindsOwnFields)
{
    const auto root = settingsToVar(baseProject(), true);
    auto keys = [](const juce::var& object) {
        std::vector<std::string> names;
        for (const auto& p : object.getDynamicObject()->getProperties())
            names.push_back(p.name.toString().toStdString());
        return names;
    };
    using Keys = std::vector<std::string>;
    EXPECT_EQ(keys(root), (Keys { "schemaVersion", "projectName", "speakerConfiguration", "waysPerChannel", "masterMute",
                                  "masterVolumeDb", "analyzerWorkspace", "inputs", "outputs", "canvas" }));
    EXPECT_EQ(keys(at(get(root, "inputs"), 0)), (Keys { "physicalChannel", "volumeDb", "mute", "solo", "fir", "moduleOrder",
                                                        "insertedModules" }));
    EXPECT_EQ(keys(at(get(root, "outputs"), 0)),
              (Keys { "physicalChannel", "inputIndex", "volumeDb", "gainBypassed", "gainDb", "polarityInverted",
                      "iirBypassed", "delayBypassed", "mute", "solo", "delayUs", "eqBandCount", "eq", "moduleOrder",
                      "insertedModules" }));
    const auto& modules = get(at(get(root, "outputs"), 0), "insertedModules");
    EXPECT_EQ(keys(at(modules, 0)), (Keys { "id", "kind", "bypassed", "gainDb", "polarityInverted", "delayUs", "lowPassOrder",
                                            "lowPassShape", "eqBandCount", "eq" }));
    EXPECT_EQ(keys(at(modules, 1)), (Keys { "id", "kind", "bypassed", "gainDb", "polarityInverted", "delayUs", "shelfOrder",
                                            "eqBandCount", "eq" }));
    EXPECT_EQ(keys(at(modules, 2)), (Keys { "id", "kind", "bypassed", "gainDb", "polarityInverted", "delayUs", "fir",
                                            "eqBandCount", "eq" }));
    EXPECT_EQ(keys(get(at(get(root, "inputs"), 0), "fir")), (Keys { "enabled", "fileName", "sampleRateHz", "taps", "coefficients" }));
    EXPECT_EQ(keys(at(get(at(modules, 0), "eq"), 15)), (Keys { "enabled", "type", "frequencyHz", "gainDb", "q" }));

    EXPECT_EQ(keys(get(root, "canvas")), (Keys { "version", "nodes", "connections", "submodules" }));
    EXPECT_EQ(static_cast<int>(get(get(root, "canvas"), "version")), 6);
    EXPECT_EQ(keys(node(root, "in1")), (Keys { "id", "type", "channelIndex", "x", "y", "locked" }));
    EXPECT_EQ(keys(node(root, "fir")), (Keys { "id", "type", "channelIndex", "x", "y", "locked", "processor" }));
    const Keys common { "bypassed", "gainDb", "polarityInverted", "delayUs" };
    auto with = [&](Keys extra) {
        Keys all = common;
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    };
    EXPECT_EQ(keys(get(node(root, "div"), "processor")), with({ "divideFloorDb", "divideLimitDb", "fir", "eqBandCount", "eq" }));
    EXPECT_EQ(keys(get(node(root, "hp"), "processor")), with({ "fir", "highPassOrder", "highPassShape", "eqBandCount", "eq" }));
    EXPECT_EQ(keys(get(node(root, "shelf"), "processor")), with({ "fir", "shelfOrder", "eqBandCount", "eq" }));
    EXPECT_EQ(static_cast<int>(get(get(get(node(root, "fir"), "processor"), "fir"), "taps")), 1);
    EXPECT_EQ(get(node(root, "div"), "channelIndex"), juce::var(-1));
    EXPECT_EQ(keys(at(get(get(root, "canvas"), "connections"), 0)), (Keys { "id", "source", "target" }));

    auto project = baseProject();
    project.connections[4].targetPort = "b";
    project.connections[4].sourcePort = "output";
    project.submodules.push_back({ "submodule1", "Group", 1.0, 2.0, { "lp" }, {}, { { "p1", "In", 3.0, 4.0, "lp" } }, {}, false });
    const auto written = settingsToVar(project, true);
    EXPECT_EQ(keys(at(get(get(written, "canvas"), "connections"), 4)), (Keys { "id", "source", "target", "sourcePort", "targetPort" }));
    const auto& sub = at(get(get(written, "canvas"), "submodules"), 0);
    EXPECT_EQ(keys(sub), (Keys { "id", "name", "x", "y", "parentSubmoduleId", "locked", "nodeIds", "inputs", "outputs" }));
    EXPECT_EQ(keys(at(get(sub, "inputs"), 0)), (Keys { "id", "name", "x", "y", "nodeId" }));
}

TEST(ProjectFileWriting, WithoutCoefficientsTheFileCannotBeReadBack)
{
    const auto project = baseProject();
    const auto root = settingsToVar(project, false);
    EXPECT_FALSE(hasKey(get(at(get(root, "inputs"), 0), "fir"), "coefficients"));
    EXPECT_FALSE(hasKey(get(get(node(root, "fir"), "processor"), "fir"), "coefficients"));
    EXPECT_EQ(static_cast<int>(get(get(at(get(root, "inputs"), 0), "fir"), "taps")), 2);

    AppSettings target = makeDefaultSettings("stereo", {});
    const auto before = target;
    std::string error;
    EXPECT_FALSE(settingsFromVar(root, target, error));
    EXPECT_EQ(error, "Invalid FIR sample rate or coefficient count.");
    EXPECT_TRUE(target == before);
}

TEST(ProjectFileWriting, WorkspaceIsWrittenOnlyWhenItIsAnObject)
{
    auto project = makeDefaultSettings("mono", {});
    for (const auto& [text, written] : std::vector<std::pair<std::string, bool>> {
             { "{}", true }, { "{\"a\": [1, 2]}", true }, { "[1, 2]", false }, { "not json", false }, { "", false } })
    {
        project.analyzerWorkspace = text;
        const auto root = settingsToVar(project, true);
        EXPECT_EQ(hasKey(root, "analyzerWorkspace"), written) << text;
        EXPECT_EQ(read(root).analyzerWorkspace, written ? text : "{}") << text;
    }
}

//==============================================================================

TEST(ProjectFileReading, SchemaOneChainsBecomeACanvas)
{
    const auto p = read(loadFixture("schema1-chains.corv"));
    EXPECT_EQ(p.schemaVersion, 3);
    EXPECT_EQ(p.projectName, "Legacy two-way");
    EXPECT_EQ(p.speakerConfiguration, "stereo");
    EXPECT_EQ(p.inputCount, 2);
    EXPECT_EQ(p.outputCount, 4);
    EXPECT_EQ(p.waysPerChannel[0], 2);
    EXPECT_EQ(p.waysPerChannel[1], 2);
    EXPECT_FALSE(p.masterMute);
    EXPECT_EQ(p.masterVolumeDb, -6.5);
    EXPECT_EQ(p.analyzerWorkspace, "{}");

    // Inputs and their chains stay as they were.
    const auto& in0 = p.inputs[0];
    EXPECT_EQ(in0.physicalChannel, 3);
    EXPECT_EQ(in0.volumeDb, -2.0);
    EXPECT_FALSE(in0.fir.enabled);
    EXPECT_EQ(in0.fir.fileName, "room.txt");
    EXPECT_EQ(in0.fir.coefficients, (std::vector<float> { 0.5f, 0.25f, -0.125f }));
    EXPECT_EQ(in0.moduleOrder, (std::vector<std::string> { "m1", "fir", "m2" }));
    ASSERT_EQ(in0.insertedModules.size(), 2u);
    EXPECT_EQ(in0.insertedModules[1].kind, static_cast<int>(ProcessingModuleKind::empty));
    const auto& in1 = p.inputs[1];
    EXPECT_EQ(in1.physicalChannel, 2);
    EXPECT_EQ(in1.fir.fileName, "No file loaded");
    EXPECT_EQ(in1.fir.sampleRateHz, 96000);
    ASSERT_EQ(in1.insertedModules.size(), 1u);
    EXPECT_TRUE(in1.insertedModules[0].fir == in1.fir) << "an FIR module without data takes the input's FIR";

    // Outputs: routing from the layout unless saved, and the band rules.
    EXPECT_EQ(p.outputs[0].inputIndex, 0);
    EXPECT_EQ(p.outputs[1].inputIndex, -1);
    EXPECT_EQ(p.outputs[2].inputIndex, 1);
    EXPECT_EQ(p.outputs[3].inputIndex, 1);
    EXPECT_EQ(p.outputs[0].eqBandCount, 2);
    EXPECT_EQ(p.outputs[0].eq[1].type, static_cast<int>(FilterType::highShelf));
    EXPECT_EQ(p.outputs[0].eq[1].frequencyHz, 22000.0);
    EXPECT_EQ(p.outputs[0].moduleOrder, (std::vector<std::string> { "delay", "m3", "gain" }));
    const auto& lowPass = p.outputs[0].insertedModules.at(0);
    EXPECT_EQ(lowPass.lowPassOrder, 4);
    EXPECT_EQ(lowPass.lowPassShape, static_cast<int>(FilterShape::linkwitzRiley));
    EXPECT_EQ(lowPass.eqBandCount, 1);
    EXPECT_TRUE(lowPass.eq[0].enabled);
    EXPECT_FALSE(lowPass.eq[1].enabled);
    EXPECT_EQ(lowPass.eq[0].q, 0.5);
    EXPECT_EQ(p.outputs[1].eqBandCount, 1);
    EXPECT_TRUE(p.outputs[1].eq == makeDefaultSettings("mono", {}).outputs[0].eq);
    EXPECT_EQ(p.outputs[2].eqBandCount, 3);
    EXPECT_TRUE(p.outputs[2].eq[0].enabled);
    EXPECT_EQ(p.outputs[2].eq[0].type, static_cast<int>(FilterType::peaking)) << "Bypass loads as Peaking";
    EXPECT_FALSE(p.outputs[2].eq[5].enabled);
    EXPECT_EQ(p.outputs[3].moduleOrder, (std::vector<std::string> { "gain", "iir", "delay" }));

    // The canvas laid out from the chains.
    struct Expected
    {
        const char* id;
        int kind;
        double x, y;
    };
    constexpr int in = -1;
    constexpr int out = -2;
    using K = ProcessingModuleKind;
    const std::vector<Expected> nodes {
        { "in1", in, 72, 90 },        { "in2", in, 72, 280 },        { "out1", out, 900, 70 },
        { "out2", out, 900, 186 },    { "out3", out, 900, 302 },     { "out4", out, 900, 418 },
        { "node1", int(K::gain), 260, 90 },           { "node2", int(K::firFilter), 450, 90 },
        { "node3", int(K::delay), 640, 70 },          { "node4", int(K::lowPassFilter), 830, 70 },
        { "node5", int(K::gain), 1020, 70 },          { "node6", int(K::firFilter), 260, 280 },
        { "node7", int(K::firFilter), 450, 280 },     { "node8", int(K::iirFilter), 640, 302 },
        { "node9", int(K::gain), 640, 418 },          { "node10", int(K::iirFilter), 830, 418 },
        { "node11", int(K::delay), 1020, 418 },
    };
    ASSERT_EQ(p.nodes.size(), nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i)
    {
        const auto& n = p.nodes[i];
        SCOPED_TRACE(nodes[i].id);
        EXPECT_EQ(n.id, nodes[i].id);
        EXPECT_EQ(n.x, nodes[i].x);
        EXPECT_EQ(n.y, nodes[i].y);
        if (nodes[i].kind == in || nodes[i].kind == out)
        {
            EXPECT_EQ(n.kind, static_cast<int>(nodes[i].kind == in ? CanvasNodeKind::input : CanvasNodeKind::output));
            EXPECT_EQ(n.channelIndex, std::stoi(n.id.substr(nodes[i].kind == in ? 2 : 3)) - 1);
        }
        else
        {
            EXPECT_EQ(n.kind, static_cast<int>(CanvasNodeKind::processor));
            EXPECT_EQ(n.processor.kind, nodes[i].kind);
            EXPECT_EQ(n.processor.id, n.id);
        }
    }
    const std::vector<std::pair<std::string, std::string>> wires {
        { "in1", "node1" },   { "node1", "node2" }, { "node2", "node3" },  { "node3", "node4" },  { "node4", "node5" },
        { "node5", "out1" },  { "in2", "node6" },   { "node6", "node7" },  { "node7", "node8" },  { "node8", "out3" },
        { "node7", "node9" }, { "node9", "node10" }, { "node10", "node11" }, { "node11", "out4" },
    };
    ASSERT_EQ(p.connections.size(), wires.size());
    for (size_t i = 0; i < wires.size(); ++i)
    {
        EXPECT_EQ(p.connections[i].id, "connection" + std::to_string(i + 1));
        EXPECT_EQ(p.connections[i].source, wires[i].first);
        EXPECT_EQ(p.connections[i].target, wires[i].second);
        EXPECT_TRUE(p.connections[i].sourcePort.empty() && p.connections[i].targetPort.empty());
    }
    EXPECT_TRUE(p.submodules.empty());

    // Blocks carry the stage settings they came from.
    const auto& gain = p.nodes[6].processor;
    EXPECT_EQ(gain.gainDb, 3.0);
    EXPECT_TRUE(gain.polarityInverted);
    EXPECT_TRUE(p.nodes[7].processor.bypassed) << "a disabled input FIR becomes a bypassed Block";
    EXPECT_TRUE(p.nodes[7].processor.fir == in0.fir);
    EXPECT_EQ(p.nodes[8].processor.delayUs, 1200.0);
    EXPECT_EQ(p.nodes[9].processor.lowPassShape, static_cast<int>(FilterShape::linkwitzRiley));
    EXPECT_EQ(p.nodes[10].processor.gainDb, -4.0);
    EXPECT_EQ(p.nodes[13].processor.eqBandCount, 3);
    EXPECT_TRUE(p.nodes[13].processor.eq == p.outputs[2].eq);
    EXPECT_TRUE(p.nodes[14].processor.bypassed);
    EXPECT_FALSE(p.nodes[11].processor.bypassed);

    expectRoundTrip(p);
}

TEST(ProjectFileReading, CanvasVersionTwoGetsAutomaticPorts)
{
    const auto p = read(loadFixture("schema2-canvas-v2.corv"));
    EXPECT_EQ(p.speakerConfiguration, "mono");
    EXPECT_EQ(p.inputCount, 1);
    EXPECT_EQ(p.outputCount, 2);
    EXPECT_EQ(p.waysPerChannel[0], 2);
    EXPECT_TRUE(findCanvasNode(p, "a")->locked);
    EXPECT_EQ(findCanvasNode(p, "a")->processor.gainDb, -3.0);
    EXPECT_EQ(findCanvasNode(p, "c")->processor.eq[0].frequencyHz, 80.0);

    ASSERT_EQ(p.submodules.size(), 2u);
    const auto& grouped = p.submodules[0];
    EXPECT_EQ(grouped.name, "Tweeter path");
    ASSERT_EQ(grouped.inputs.size(), 1u);
    ASSERT_EQ(grouped.outputs.size(), 1u);
    EXPECT_TRUE(grouped.inputs[0] == (CanvasSubmodulePortSettings { "input1", "Input 1", 90.0, 100.0, "a" }));
    EXPECT_TRUE(grouped.outputs[0] == (CanvasSubmodulePortSettings { "output1", "Output 1", 710.0, 120.0, "b" }));
    const auto& spare = p.submodules[1];
    ASSERT_EQ(spare.inputs.size(), 1u);
    ASSERT_EQ(spare.outputs.size(), 1u);
    EXPECT_TRUE(spare.inputs[0] == (CanvasSubmodulePortSettings { "input1", "Input 1", 16.0, 500.0, "" }));
    EXPECT_TRUE(spare.outputs[0] == (CanvasSubmodulePortSettings { "output1", "Output 1", 310.0, 500.0, "" }));

    const std::string in = "@subsystem/submodule1/input/input1";
    const std::string out = "@subsystem/submodule1/output/output1";
    const std::vector<CanvasConnectionSettings> expected {
        { "connection1", "in1", in, {}, {} },  { "connection2", "a", "b", {}, {} },  { "connection3", out, "out1", {}, {} },
        { "connection4", "in1", "c", {}, {} }, { "connection5", "c", "out2", {}, {} }, { "connection6", in, "a", {}, {} },
        { "connection7", "b", out, {}, {} },
    };
    EXPECT_TRUE(p.connections == expected);
    expectRoundTrip(p);
}

TEST(ProjectFileReading, CanvasVersionThreeRoutesWiresThroughPortsOutermostFirst)
{
    const auto p = read(loadFixture("schema2-canvas-v3.corv"));
    const std::string sIn = "@subsystem/submodule1/input/p1";
    const std::string sOut = "@subsystem/submodule1/output/o1";
    const std::string tIn = "@subsystem/submodule2/input/q1";
    const std::string tOut = "@subsystem/submodule2/output/r1";
    const std::vector<CanvasConnectionSettings> expected {
        { "w1", "in1", sIn, {}, {} },           { "w2", tOut, "b1", {}, {} },        { "w3", sOut, "out1", {}, {} },
        { "connection1", sIn, tIn, {}, {} },    { "connection2", "b1", sOut, {}, {} }, { "connection3", tIn, "b2", {}, {} },
        { "connection4", "b2", tOut, {}, {} },
    };
    EXPECT_TRUE(p.connections == expected);
    // Stored ports are kept as they are.
    EXPECT_TRUE(p.submodules[0].inputs[0] == (CanvasSubmodulePortSettings { "q1", "In", 300.0, 100.0, "b2" }));
    const auto& iir = findCanvasNode(p, "b2")->processor;
    EXPECT_EQ(iir.eqBandCount, 2);
    EXPECT_EQ(iir.eq[0].type, static_cast<int>(FilterType::lowShelf));
    EXPECT_TRUE(iir.eq[1].enabled);
    EXPECT_EQ(iir.eq[1].gainDb, -1.5);
    EXPECT_FALSE(iir.eq[2].enabled);
    expectRoundTrip(p);
}

TEST(ProjectFileReading, VersionThreeWireIntoTheSecondInputOfAMathBlockKeepsItsPort)
{
    auto project = makeDefaultSettings("mono", { 1 });
    project.connections.clear();
    project.nodes.push_back(blockOf(ProcessingModuleKind::gain, "k", 300, 0));
    project.nodes.push_back(blockOf(ProcessingModuleKind::add, "m", 500, 0));
    project.submodules.push_back({ "submodule1", "Sum", 400, 0, { "k", "m" }, {},
                                   { { "pk", "K", 200, 0, "k" }, { "pm", "M", 200, 50, "m" } }, { { "om", "Out", 600, 0, "m" } }, false });
    project.connections = { { "c1", "in1", "k", {}, {} }, { "c2", "k", "m", {}, "a" }, { "c3", "in1", "m", {}, "b" },
                            { "c4", "m", "out1", {}, {} } };
    auto root = settingsToVar(project, true);
    setKey(get(root, "canvas"), "version", 3);

    const auto p = read(root);
    const std::string pk = "@subsystem/submodule1/input/pk";
    const std::string pm = "@subsystem/submodule1/input/pm";
    const std::string om = "@subsystem/submodule1/output/om";
    const std::vector<CanvasConnectionSettings> expected {
        { "c1", "in1", pk, {}, {} },          { "c2", "k", "m", {}, "a" },          { "c3", "in1", pm, {}, {} },
        { "c4", om, "out1", {}, {} },         { "connection1", pk, "k", {}, {} },   { "connection2", pm, "m", {}, "b" },
        { "connection3", "m", om, {}, {} },
    };
    EXPECT_TRUE(p.connections == expected);
}

TEST(ProjectFileReading, SchemaThreeFieldsAreClampedAndDefaulted)
{
    const auto p = read(loadFixture("schema3-free-layout.corv"));
    EXPECT_EQ(p.speakerConfiguration, "custom");
    EXPECT_EQ(p.inputCount, 2);
    EXPECT_EQ(p.outputCount, 3);
    EXPECT_EQ(p.waysPerChannel[0], 8);
    EXPECT_EQ(p.waysPerChannel[1], 2);
    EXPECT_EQ(p.waysPerChannel[2], 0);
    EXPECT_TRUE(p.masterMute) << "a number is not a boolean";
    EXPECT_EQ(p.masterVolumeDb, 0.0);
    EXPECT_EQ(p.analyzerWorkspace, "{\"traces\": [{\"name\": \"Mic\", \"gain\": 1.5}], \"view\": \"magnitude\"}");

    EXPECT_EQ(p.inputs[0].physicalChannel, 64);
    EXPECT_EQ(p.inputs[0].volumeDb, 12.0);
    EXPECT_TRUE(p.inputs[0].mute);
    EXPECT_TRUE(p.inputs[0].moduleOrder.empty()) << "a non-array order empties it";
    EXPECT_EQ(p.inputs[1].physicalChannel, 1);
    EXPECT_EQ(p.inputs[1].volumeDb, 0.0) << "a number given as a string takes the default";
    EXPECT_TRUE(p.inputs[1].solo);
    EXPECT_EQ(p.inputs[1].moduleOrder, (std::vector<std::string> { "fir" }));
    EXPECT_EQ(p.inputs[2].physicalChannel, 3) << "unused inputs keep their defaults";

    const auto& out0 = p.outputs[0];
    EXPECT_EQ(out0.physicalChannel, 5);
    EXPECT_EQ(out0.inputIndex, 1);
    EXPECT_EQ(out0.volumeDb, -100.0);
    EXPECT_EQ(out0.eqBandCount, 1);
    EXPECT_TRUE(out0.eq[0] == (EqBandSettings { true, static_cast<int>(FilterType::lowPass2nd), 10.0, 20.0, 20.0 }));
    EXPECT_EQ(out0.moduleOrder, (std::vector<std::string> { "gain", "iir", "delay" }));
    EXPECT_EQ(p.outputs[1].inputIndex, 0);
    EXPECT_EQ(p.outputs[2].inputIndex, -1);
    EXPECT_EQ(p.outputs[2].delayUs, 50000.0);
    EXPECT_EQ(p.outputs[3].inputIndex, -1) << "unused outputs keep their defaults";

    const auto& peq = *findCanvasNode(p, "peq");
    EXPECT_EQ(peq.x, 100000.0);
    EXPECT_EQ(peq.y, -100000.0);
    EXPECT_TRUE(peq.locked);
    EXPECT_TRUE(peq.processor.eq[0] == (EqBandSettings { true, static_cast<int>(FilterType::peaking), 18.0, 6.0, 3.0 }));

    const auto& shelf = findCanvasNode(p, "shelf")->processor;
    EXPECT_EQ(shelf.shelfOrder, 1);
    EXPECT_EQ(shelf.eqBandCount, 1);
    EXPECT_TRUE(shelf.eq[0] == (EqBandSettings { true, static_cast<int>(FilterType::highShelf), 8000.0, -3.0, 0.7 }));
    EXPECT_FALSE(shelf.eq[1].enabled);
    EXPECT_FALSE(shelf.eq[2].enabled);

    const auto& lp = *findCanvasNode(p, "lp");
    EXPECT_EQ(lp.channelIndex, -1);
    EXPECT_EQ(lp.processor.lowPassOrder, 3);
    EXPECT_EQ(lp.processor.lowPassShape, static_cast<int>(FilterShape::butterworth)) << "Linkwitz-Riley needs 4, 6 or 8";
    EXPECT_TRUE(lp.processor.eq[0].enabled);
    EXPECT_EQ(lp.processor.eq[0].frequencyHz, 40000.0);
    EXPECT_EQ(lp.processor.eq[0].q, 0.1);
    const auto& hp = findCanvasNode(p, "hp")->processor;
    EXPECT_EQ(hp.highPassOrder, 4);
    EXPECT_EQ(hp.highPassShape, static_cast<int>(FilterShape::linkwitzRiley));
    EXPECT_EQ(hp.eq[0].frequencyHz, 47904.0);

    const auto& div = findCanvasNode(p, "div")->processor;
    EXPECT_EQ(div.divideFloorDb, -180.0);
    EXPECT_EQ(div.divideLimitDb, 60.0);
    EXPECT_TRUE(div.bypassed);

    const auto& fir = findCanvasNode(p, "fir")->processor;
    EXPECT_EQ(fir.gainDb, 20.0);
    EXPECT_EQ(fir.delayUs, 0.0);
    EXPECT_FALSE(fir.fir.enabled);
    EXPECT_EQ(fir.fir.fileName, "Embedded FIR");
    EXPECT_EQ(fir.fir.sampleRateHz, 44100) << "a fractional rate is truncated";
    EXPECT_EQ(fir.fir.coefficients, (std::vector<float> { 0.25f, -0.5f, 0.125f }));
    EXPECT_TRUE(findCanvasNode(p, "sub")->processor == moduleOf(ProcessingModuleKind::subtract, "sub"));

    ASSERT_EQ(p.connections.size(), 13u);
    EXPECT_EQ(p.connections[4].sourcePort, "output");
    EXPECT_EQ(p.connections[5].targetPort, "input");
    EXPECT_EQ(p.connections[7].targetPort, "b");
    EXPECT_EQ(p.connections[1].source, "@subsystem/g1/input/i1");

    ASSERT_EQ(p.submodules.size(), 1u);
    const auto& g1 = p.submodules[0];
    EXPECT_TRUE(g1.locked);
    EXPECT_EQ(g1.nodeIds, (std::vector<std::string> { "peq", "shelf" }));
    EXPECT_TRUE(g1.inputs.at(0) == (CanvasSubmodulePortSettings { "i1", "Feed", 120.0, 0.0, "peq" }));
    EXPECT_TRUE(g1.outputs.at(0) == (CanvasSubmodulePortSettings { "o1", "Result", 320.0, 0.0, "" }));

    expectRoundTrip(p);
}

// Small changes to a written project, each checked on the one field it touches.
TEST(ProjectFileReading, ForgivingAboutScalars)
{
    struct Case
    {
        const char* name;
        std::function<void(const juce::var&)> edit;
        std::function<bool(const AppSettings&)> check;
    };
    auto input = [](const juce::var& r) -> const juce::var& { return at(get(r, "inputs"), 0); };
    auto output = [](const juce::var& r) -> const juce::var& { return at(get(r, "outputs"), 0); };
    const std::vector<Case> cases {
        { "multi is custom", [](auto& r) { setKey(r, "speakerConfiguration", "multi"); },
          [](auto& p) { return p.speakerConfiguration == "custom"; } },
        { "unknown layout is custom", [](auto& r) { setKey(r, "speakerConfiguration", "quad"); },
          [](auto& p) { return p.speakerConfiguration == "custom"; } },
        { "2way-stereo normalizes", [](auto& r) { setKey(r, "speakerConfiguration", "2way-stereo"); },
          [](auto& p) { return p.speakerConfiguration == "stereo"; } },
        { "ways counted from the routing", [](auto& r) { removeKey(r, "waysPerChannel"); },
          [](auto& p) { return p.waysPerChannel[0] == 1; } },
        { "masterMute 0 is the default", [](auto& r) { setKey(r, "masterMute", 0); }, [](auto& p) { return p.masterMute; } },
        { "project name default", [](auto& r) { setKey(r, "projectName", 7); }, [](auto& p) { return p.projectName == "Untitled"; } },
        { "FIR named Unity with the unit impulse", [&](auto& r) { setKey(get(input(r), "fir"), "fileName", "Unity");
                                                                  setKey(get(input(r), "fir"), "coefficients", juce::Array<juce::var> { 1.0 }); },
          [](auto& p) { return p.inputs[0].fir.fileName == "No file loaded"; } },
        { "FIR named Bypass with other data", [&](auto& r) { setKey(get(input(r), "fir"), "fileName", "Bypass"); },
          [](auto& p) { return p.inputs[0].fir.fileName == "Bypass" && p.inputs[0].fir.coefficients.size() == 2; } },
        { "No file loaded forces the unit impulse", [&](auto& r) { setKey(get(input(r), "fir"), "fileName", "No file loaded");
                                                                   setKey(get(input(r), "fir"), "enabled", false); },
          [](auto& p) { return p.inputs[0].fir == FirSettings {}; } },
        { "rate slightly above 44100", [&](auto& r) { setKey(get(input(r), "fir"), "sampleRateHz", 44100.3); },
          [](auto& p) { return p.inputs[0].fir.sampleRateHz == 44100; } },
        { "taps is ignored", [&](auto& r) { setKey(get(input(r), "fir"), "taps", 4000); },
          [](auto& p) { return p.inputs[0].fir.coefficients.size() == 2; } },
        { "absent input order", [&](auto& r) { removeKey(input(r), "moduleOrder");
                                               removeKey(input(r), "insertedModules"); },
          [](auto& p) { return p.inputs[0].moduleOrder == std::vector<std::string> { "fir" } && p.inputs[0].insertedModules.empty(); } },
        { "input FIR module without data inherits", [&](auto& r) { removeKey(at(get(input(r), "insertedModules"), 0), "fir");
                                                                   setKey(get(input(r), "fir"), "fileName", "other.txt"); },
          [](auto& p) { return p.inputs[0].insertedModules[0].fir.fileName == "other.txt"
                            && p.inputs[0].insertedModules[0].fir == p.inputs[0].fir; } },
        { "input index clamps to the inputs", [&](auto& r) { setKey(output(r), "inputIndex", 9); },
          [](auto& p) { return p.outputs[0].inputIndex == 0; } },
        { "all bands off and no count", [&](auto& r) { removeKey(output(r), "eqBandCount");
                                                       setKey(at(get(output(r), "eq"), 0), "enabled", false);
                                                       setKey(at(get(output(r), "eq"), 0), "frequencyHz", 200.0); },
          [](auto& p) { return p.outputs[0].eqBandCount == 1 && p.outputs[0].eq == makeDefaultSettings("mono", {}).outputs[0].eq; } },
        { "count 3 with bands 0 and 5", [&](auto& r) { setKey(output(r), "eqBandCount", 3);
                                                       setKey(at(get(output(r), "eq"), 5), "enabled", true); },
          [](auto& p) { return p.outputs[0].eqBandCount == 3 && p.outputs[0].eq[0].enabled && ! p.outputs[0].eq[5].enabled; } },
        { "count from the last enabled band", [&](auto& r) { removeKey(output(r), "eqBandCount");
                                                             setKey(at(get(output(r), "eq"), 6), "enabled", true); },
          [](auto& p) { return p.outputs[0].eqBandCount == 7 && p.outputs[0].eq[6].enabled; } },
        { "band type Bypass", [&](auto& r) { setKey(at(get(output(r), "eq"), 0), "type", "Bypass"); },
          [](auto& p) { return p.outputs[0].eq[0].type == static_cast<int>(FilterType::peaking); } },
        { "band type with wrong case", [&](auto& r) { setKey(at(get(output(r), "eq"), 0), "type", "low shelf"); },
          [](auto& p) { return p.outputs[0].eq[0].type == static_cast<int>(FilterType::peaking); } },
        { "output band frequency", [&](auto& r) { setKey(at(get(output(r), "eq"), 0), "frequencyHz", 30000); },
          [](auto& p) { return p.outputs[0].eq[0].frequencyHz == 22000.0; } },
        { "peaking module frequency", [&](auto& r) {
              auto& m = at(get(output(r), "insertedModules"), 0);
              setKey(m, "kind", "Peaking Filter");
              setKey(at(get(m, "eq"), 0), "frequencyHz", 12.0); },
          [](auto& p) { return p.outputs[0].insertedModules[0].eq[0].frequencyHz == 18.0; } },
        { "module eq of the wrong length is ignored", [&](auto& r) {
              auto& m = at(get(output(r), "insertedModules"), 0);
              setKey(m, "kind", "IIR Filter");
              setKey(m, "eq", repeated(get(at(get(m, "eq"), 0), "type"), 3)); },
          [](auto& p) { return p.outputs[0].insertedModules[0].eq == makeDefaultModuleEqBands(); } },
        { "module band count limits enabled bands", [&](auto& r) {
              auto& m = at(get(output(r), "insertedModules"), 1);
              setKey(m, "eqBandCount", 2);
              for (int k = 0; k < 4; ++k)
                  setKey(at(get(m, "eq"), k), "enabled", true); },
          [](auto& p) { const auto& eq = p.outputs[0].insertedModules[1].eq;
                        return eq[0].enabled && eq[1].enabled && ! eq[2].enabled && ! eq[3].enabled; } },
        { "module band 0 is on by default", [&](auto& r) { removeKey(at(get(at(get(output(r), "insertedModules"), 1), "eq"), 0), "enabled"); },
          [](auto& p) { return p.outputs[0].insertedModules[1].eq[0].enabled; } },
        { "Linkwitz-Riley order 6 module", [&](auto& r) { auto& m = at(get(output(r), "insertedModules"), 0);
                                                          setKey(m, "lowPassOrder", 6.9); setKey(m, "lowPassShape", "Linkwitz-Riley"); },
          [](auto& p) { return p.outputs[0].insertedModules[0].lowPassOrder == 6 && p.outputs[0].insertedModules[0].lowPassShape == 1; } },
        { "absent shape and order", [&](auto& r) { auto& m = get(node(r, "hp"), "processor");
                                                   removeKey(m, "highPassShape"); removeKey(m, "highPassOrder"); },
          [](auto& p) { return findCanvasNode(p, "hp")->processor.highPassOrder == 2 && findCanvasNode(p, "hp")->processor.highPassShape == 0; } },
        { "shelf order given as a string", [&](auto& r) { setKey(get(node(r, "shelf"), "processor"), "shelfOrder", "1"); },
          [](auto& p) { return findCanvasNode(p, "shelf")->processor.shelfOrder == 2; } },
        { "node x 250000", [&](auto& r) { setKey(node(r, "fir"), "x", 250000); },
          [](auto& p) { return findCanvasNode(p, "fir")->x == 100000.0; } },
        { "locked given as a number", [&](auto& r) { setKey(node(r, "fir"), "locked", 1); },
          [](auto& p) { return findCanvasNode(p, "fir")->locked; } },
        { "Block eq shorter than 16", [&](auto& r) { auto& pr = get(node(r, "div"), "processor");
                                                     setKey(pr, "eqBandCount", 3);
                                                     juce::var band = copyOf(at(get(pr, "eq"), 1));
                                                     setKey(band, "enabled", true);
                                                     setKey(band, "gainDb", 4.0);
                                                     setKey(pr, "eq", juce::Array<juce::var> { at(get(pr, "eq"), 0), band }); },
          [](auto& p) { const auto& d = findCanvasNode(p, "div")->processor;
                        return d.eqBandCount == 3 && d.eq[1].enabled && d.eq[1].gainDb == 4.0 && ! d.eq[2].enabled; } },
        { "FIR of a non-FIR Block is not read", [&](auto& r) { setKey(get(node(r, "div"), "processor"), "fir", 5); },
          [](auto& p) { return findCanvasNode(p, "div")->processor.fir == FirSettings {}; } },
        { "connections are taken as they are", [&](auto& r) { setKey(at(get(get(r, "canvas"), "connections"), 0), "extra", 1); },
          [](auto& p) { return p.connections[0].source == "in1"; } },
        { "submodules absent", [&](auto& r) { removeKey(get(r, "canvas"), "submodules"); },
          [](auto& p) { return p.submodules.empty(); } },
        { "canvas version 4 needs no conversion", [&](auto& r) { setKey(get(r, "canvas"), "version", 4.5); },
          [](auto& p) { return p.connections.size() == 6; } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto root = settingsToVar(baseProject(), true);
        c.edit(root);
        AppSettings p;
        std::string error;
        ASSERT_TRUE(settingsFromVar(root, p, error)) << error;
        EXPECT_TRUE(c.check(p));
    }
}

TEST(ProjectFileReading, SchemaOneWithoutLayoutNameInfersIt)
{
    for (const auto& [inputs, outputs, expected] : std::vector<std::tuple<int, int, std::vector<int>>> {
             { 2, 4, { 2, 2 } }, { 2, 6, { 3, 3 } }, { 1, 2, { 2 } } })
    {
        auto project = makeDefaultSettings("custom", expected);
        auto root = settingsToVar(project, true);
        setKey(root, "schemaVersion", 1);
        removeKey(root, "speakerConfiguration");
        removeKey(root, "waysPerChannel");
        removeKey(root, "canvas");
        const auto p = read(root);
        EXPECT_EQ(p.speakerConfiguration, inputs == 1 ? "mono" : "stereo");
        EXPECT_EQ(p.inputCount, inputs);
        EXPECT_EQ(p.outputCount, outputs);
        EXPECT_EQ(p.nodes.size(), static_cast<size_t>(inputs + outputs));
        EXPECT_EQ(p.connections.size(), static_cast<size_t>(outputs)) << "empty chains wire each output to its input";
    }
}

TEST(ProjectFileReading, ReplacesEverythingOnSuccess)
{
    AppSettings target = makeDefaultSettings("3way-stereo", {});
    target.submodules.push_back({ "submodule1", "Old", 0, 0, {}, {}, {}, {}, false });
    const auto source = baseProject();
    std::string error;
    ASSERT_TRUE(settingsFromVar(settingsToVar(source, true), target, error)) << error;
    EXPECT_TRUE(target == source);
}

//==============================================================================

TEST(ProjectFileReading, BrokenFilesAreRefusedWithTheirMessageAndChangeNothing)
{
    struct Case
    {
        const char* message;
        std::function<void(juce::var&)> edit;
    };
    auto input = [](const juce::var& r) -> const juce::var& { return at(get(r, "inputs"), 0); };
    auto output = [](const juce::var& r) -> const juce::var& { return at(get(r, "outputs"), 0); };
    auto outModule = [&](const juce::var& r, int i) -> const juce::var& { return at(get(output(r), "insertedModules"), i); };
    auto processor = [](const juce::var& r, const char* id) -> const juce::var& { return get(node(r, id), "processor"); };
    auto canvas = [](const juce::var& r) -> const juce::var& { return get(r, "canvas"); };
    auto nodes = [&](const juce::var& r) -> juce::Array<juce::var>& { return *get(canvas(r), "nodes").getArray(); };

    const std::vector<Case> cases {
        { "The project root must be a JSON object.", [](auto& r) { r = juce::Array<juce::var> { r }; } },
        { "The project root must be a JSON object.", [](auto& r) { r = "{}"; } },
        { "Unsupported project format version.", [](auto& r) { removeKey(r, "schemaVersion"); } },
        { "Unsupported project format version.", [](auto& r) { setKey(r, "schemaVersion", 4); } },
        { "Unsupported project format version.", [](auto& r) { setKey(r, "schemaVersion", "3"); } },
        { "The project is missing its input or output configuration.", [](auto& r) { removeKey(r, "outputs"); } },
        { "The project is missing its input or output configuration.", [](auto& r) { setKey(r, "inputs", juce::var(new juce::DynamicObject())); } },
        { "Unsupported channel configuration.", [](auto& r) { setKey(r, "schemaVersion", 2); setKey(r, "speakerConfiguration", "quad"); } },
        { "Ways per Channel must be between 1 and 8.", [](auto& r) { setKey(r, "schemaVersion", 2); setKey(r, "waysPerChannel", juce::Array<juce::var> { 9 }); } },
        { "The speaker configuration does not match the saved input/output counts.",
          [](auto& r) { setKey(r, "schemaVersion", 2); setKey(r, "speakerConfiguration", "mono"); setKey(r, "waysPerChannel", juce::Array<juce::var> { 2 }); } },
        { "A project supports up to 16 inputs and 16 outputs.", [&](auto& r) { setKey(r, "inputs", repeated(input(r), 17)); } },
        { "Volume values must be finite numbers.", [](auto& r) { setKey(r, "masterVolumeDb", kInf); } },
        { "The Analyzer workspace is invalid.", [](auto& r) { setKey(r, "analyzerWorkspace", juce::Array<juce::var> {}); } },
        { "The Analyzer workspace is invalid.", [](auto& r) { setKey(r, "analyzerWorkspace", juce::var()); } },
        { "The Analyzer workspace is larger than 8 MB.", [](auto& r) {
              auto* big = new juce::DynamicObject();
              big->setProperty("data", juce::String::repeatedString("x", kMaxAnalyzerWorkspaceBytes));
              setKey(r, "analyzerWorkspace", juce::var(big)); } },
        { "Volume values must be finite numbers.", [&](auto& r) { setKey(input(r), "volumeDb", kNaN); } },
        { "An input is missing its FIR data.", [&](auto& r) { removeKey(input(r), "fir"); } },
        { "An input is missing its FIR data.", [&](auto& r) { element(get(r, "inputs"), 0) = 5; } },
        { "Invalid FIR sample rate or coefficient count.", [&](auto& r) { setKey(get(input(r), "fir"), "sampleRateHz", 44099.9); } },
        { "Invalid FIR sample rate or coefficient count.", [&](auto& r) { removeKey(get(input(r), "fir"), "sampleRateHz"); } },
        { "Invalid FIR sample rate or coefficient count.", [&](auto& r) { setKey(get(input(r), "fir"), "coefficients", juce::Array<juce::var> {}); } },
        { "Invalid FIR sample rate or coefficient count.", [&](auto& r) { setKey(get(input(r), "fir"), "coefficients", repeated(0.5, 4097)); } },
        { "FIR coefficients must be finite numbers.", [&](auto& r) { setKey(get(input(r), "fir"), "coefficients", juce::Array<juce::var> { 0.5, kInf }); } },
        { "FIR coefficients must be finite numbers.", [&](auto& r) { setKey(get(input(r), "fir"), "coefficients", juce::Array<juce::var> { 1.0e39 }); } },
        { "An input contains too many inserted modules.", [&](auto& r) { setKey(input(r), "insertedModules", repeated(at(get(input(r), "insertedModules"), 0), 14)); } },
        { "An input module has an invalid ID or kind.", [&](auto& r) { setKey(at(get(input(r), "insertedModules"), 0), "id", "m.1"); } },
        { "An input module has an invalid ID or kind.", [&](auto& r) { setKey(at(get(input(r), "insertedModules"), 0), "kind", "Add"); } },
        { "An input module has an invalid ID or kind.", [&](auto& r) { setKey(at(get(input(r), "insertedModules"), 0), "kind", "gain"); } },
        { "FIR coefficients must be finite numbers.", [&](auto& r) { setKey(get(at(get(input(r), "insertedModules"), 0), "fir"), "coefficients", juce::Array<juce::var> { kNaN }); } },
        { "An FIR module is missing its coefficient data.", [&](auto& r) { setKey(at(get(input(r), "insertedModules"), 0), "fir", "x"); } },
        { "An input has an invalid module order.", [&](auto& r) { setKey(input(r), "moduleOrder", juce::Array<juce::var> { "fir", "fir" }); } },
        { "An input has an invalid module order.", [&](auto& r) { setKey(input(r), "moduleOrder", juce::Array<juce::var> { "fir", "m2" }); } },
        { "An input has an invalid module order.", [&](auto& r) { setKey(input(r), "moduleOrder", juce::Array<juce::var> { "m1" , "fir", "m1" }); } },
        { "An input has an invalid module order.", [&](auto& r) { removeKey(input(r), "moduleOrder"); setKey(input(r), "moduleOrder", 3); } },
        { "Every inserted input module must appear once in its chain.", [&](auto& r) {
              auto second = copyOf(at(get(input(r), "insertedModules"), 0));
              setKey(second, "id", "m2");
              get(input(r), "insertedModules").getArray()->add(second);
              setKey(input(r), "moduleOrder", juce::Array<juce::var> { "m1", "m1" }); } },
        { "Volume values must be finite numbers.", [&](auto& r) { setKey(output(r), "volumeDb", -kInf); } },
        { "Gain values must be finite numbers.", [&](auto& r) { setKey(output(r), "gainDb", kNaN); } },
        { "Delay values must be finite numbers.", [&](auto& r) { setKey(output(r), "delayUs", kInf); } },
        { "Every output must contain 16 IIR bands.", [&](auto& r) { get(output(r), "eq").getArray()->removeLast(); } },
        { "Every output must contain 16 IIR bands.", [&](auto& r) { removeKey(output(r), "eq"); } },
        { "EQ band values must be finite numbers.", [&](auto& r) { setKey(at(get(output(r), "eq"), 3), "gainDb", kNaN); } },
        { "An output contains too many inserted modules.", [&](auto& r) { setKey(output(r), "insertedModules", repeated(outModule(r, 0), 14)); } },
        { "An inserted module has an invalid ID or kind.", [&](auto& r) { setKey(outModule(r, 0), "kind", "Divide"); } },
        { "An inserted module has an invalid ID or kind.", [&](auto& r) { removeKey(outModule(r, 1), "id"); } },
        { "Inserted module IDs must be unique within an output.", [&](auto& r) { setKey(outModule(r, 2), "id", "lp"); } },
        { "An FIR Filter is missing its FIR data.", [&](auto& r) { removeKey(outModule(r, 2), "fir"); } },
        { "An FIR module is missing its coefficient data.", [&](auto& r) { setKey(outModule(r, 2), "fir", juce::Array<juce::var> {}); } },
        { "Gain values must be finite numbers.", [&](auto& r) { setKey(outModule(r, 1), "gainDb", kInf); } },
        { "Delay values must be finite numbers.", [&](auto& r) { setKey(outModule(r, 1), "delayUs", kNaN); } },
        { "Shelving filter order must be 1 or 2.", [&](auto& r) { setKey(outModule(r, 1), "shelfOrder", 3); } },
        { "Shelving filter order must be 1 or 2.", [&](auto& r) { setKey(outModule(r, 1), "shelfOrder", 0.5); } },
        { "Low Pass Filter order must be an integer from 1 to 8.", [&](auto& r) { setKey(outModule(r, 0), "lowPassOrder", 9); } },
        { "Low Pass Filter order must be an integer from 1 to 8.", [&](auto& r) { setKey(outModule(r, 0), "lowPassOrder", 0); } },
        { "Low Pass Filter shape must be Butterworth or Linkwitz-Riley.", [&](auto& r) { setKey(outModule(r, 0), "lowPassShape", "Bessel"); } },
        { "Low Pass Filter shape must be Butterworth or Linkwitz-Riley.", [&](auto& r) { setKey(outModule(r, 0), "lowPassShape", 1); } },
        { "Low Pass Filter parameters must be finite numbers.", [&](auto& r) { setKey(at(get(outModule(r, 0), "eq"), 0), "frequencyHz", kInf); } },
        { "High Pass Filter order must be an integer from 1 to 8.", [&](auto& r) {
              setKey(outModule(r, 0), "kind", "High Pass Filter"); setKey(outModule(r, 0), "highPassOrder", 12); } },
        { "High Pass Filter shape must be Butterworth or Linkwitz-Riley.", [&](auto& r) {
              setKey(outModule(r, 0), "kind", "High Pass Filter"); setKey(outModule(r, 0), "highPassShape", juce::var()); } },
        { "High Pass Filter parameters must be finite numbers.", [&](auto& r) {
              setKey(outModule(r, 0), "kind", "High Pass Filter"); setKey(at(get(outModule(r, 0), "eq"), 0), "q", kNaN); } },
        { "EQ band values must be finite numbers.", [&](auto& r) { setKey(at(get(outModule(r, 1), "eq"), 0), "frequencyHz", kNaN); } },
        { "An output has an invalid module order.", [&](auto& r) {
              setKey(output(r), "moduleOrder", juce::Array<juce::var> { "gain", "gain", "lp", "shelf", "fir1", "iir" }); } },
        { "An output has an invalid module order.", [&](auto& r) {
              setKey(output(r), "moduleOrder", juce::Array<juce::var> { "gain", "lp", "shelf", "fir1", "fir" }); } },
        { "An output has an invalid module order.", [&](auto& r) { setKey(output(r), "moduleOrder", juce::Array<juce::var> { "lp", "shelf" }); } },
        { "Every inserted module must appear once in its output chain.", [&](auto& r) {
              setKey(output(r), "moduleOrder", juce::Array<juce::var> { "gain", "lp", "lp", "shelf" }); } },
        { "The project is missing its canvas graph.", [](auto& r) { removeKey(r, "canvas"); } },
        { "The project is missing its canvas graph.", [&](auto& r) { removeKey(canvas(r), "connections"); } },
        { "The project is missing its canvas graph.", [&](auto& r) { setKey(r, "schemaVersion", 2); removeKey(canvas(r), "nodes"); } },
        { "Unsupported Canvas format version.", [&](auto& r) { setKey(canvas(r), "version", 7); } },
        { "Unsupported Canvas format version.", [&](auto& r) { setKey(canvas(r), "version", 1.9); } },
        { "The canvas exceeds the supported node or connection limit.", [&](auto& r) {
              setKey(canvas(r), "nodes", repeated(nodes(r)[0], kMaxCanvasNodes + 1)); } },
        { "The canvas exceeds the supported node or connection limit.", [&](auto& r) {
              setKey(canvas(r), "connections", repeated(at(get(canvas(r), "connections"), 0), kMaxCanvasConnections + 1)); } },
        { "A canvas node has an invalid ID or type.", [&](auto& r) { setKey(node(r, "fir"), "id", "a.b"); } },
        { "A canvas node has an invalid ID or type.", [&](auto& r) { setKey(node(r, "fir"), "id", ""); } },
        { "A canvas node has an invalid ID or type.", [&](auto& r) { setKey(node(r, "fir"), "type", "Empty"); } },
        { "A canvas node has an invalid ID or type.", [&](auto& r) { setKey(node(r, "fir"), "type", "Mixer"); } },
        { "A canvas node has an invalid ID or type.", [&](auto& r) { removeKey(node(r, "in1"), "type"); } },
        { "Canvas positions must be finite numbers.", [&](auto& r) { setKey(node(r, "in1"), "y", kNaN); } },
        { "A canvas DSP Block is missing its processor settings.", [&](auto& r) { removeKey(node(r, "lp"), "processor"); } },
        { "A canvas DSP Block is missing its processor settings.", [&](auto& r) { setKey(node(r, "lp"), "processor", juce::Array<juce::var> {}); } },
        { "An FIR Filter is missing its FIR data.", [&](auto& r) { removeKey(processor(r, "fir"), "fir"); } },
        { "An FIR module is missing its coefficient data.", [&](auto& r) { setKey(processor(r, "fir"), "fir", true); } },
        { "Invalid FIR sample rate or coefficient count.", [&](auto& r) { setKey(get(processor(r, "fir"), "fir"), "sampleRateHz", 22050); } },
        { "Gain values must be finite numbers.", [&](auto& r) { setKey(processor(r, "div"), "gainDb", kNaN); } },
        { "Delay values must be finite numbers.", [&](auto& r) { setKey(processor(r, "div"), "delayUs", kInf); } },
        { "Divide safety parameters must be finite numbers.", [&](auto& r) { setKey(processor(r, "div"), "divideLimitDb", kInf); } },
        { "Divide safety parameters must be finite numbers.", [&](auto& r) { setKey(processor(r, "div"), "divideFloorDb", kNaN); } },
        { "Shelving filter order must be 1 or 2.", [&](auto& r) { setKey(processor(r, "shelf"), "shelfOrder", -1); } },
        { "Low Pass Filter order must be an integer from 1 to 8.", [&](auto& r) { setKey(processor(r, "lp"), "lowPassOrder", kInf); } },
        { "Low Pass Filter parameters must be finite numbers.", [&](auto& r) { setKey(at(get(processor(r, "lp"), "eq"), 0), "q", kInf); } },
        { "High Pass Filter shape must be Butterworth or Linkwitz-Riley.", [&](auto& r) { setKey(processor(r, "hp"), "highPassShape", "linkwitz-riley"); } },
        { "High Pass Filter parameters must be finite numbers.", [&](auto& r) { setKey(at(get(processor(r, "hp"), "eq"), 0), "frequencyHz", kNaN); } },
        { "EQ band values must be finite numbers.", [&](auto& r) { setKey(at(get(processor(r, "div"), "eq"), 9), "q", kNaN); } },
        { "The Canvas exceeds the supported Subsystem limit.", [&](auto& r) {
              setKey(canvas(r), "submodules", repeated(juce::var(new juce::DynamicObject()), kMaxSubmodules + 1)); } },
        // The graph check comes last and speaks for itself.
        { "The canvas contains an invalid connection.", [&](auto& r) { setKey(at(get(canvas(r), "connections"), 1), "target", "out1"); } },
        { "Canvas node IDs must be unique.", [&](auto& r) { setKey(node(r, "lp"), "id", "fir"); } },
        { "The Canvas contains an invalid Subsystem.", [&](auto& r) {
              get(canvas(r), "submodules").getArray()->add(juce::var(new juce::DynamicObject())); } },
    };

    for (const auto& c : cases)
    {
        juce::var root = settingsToVar(baseProject(), true);
        c.edit(root);
        AppSettings target = makeDefaultSettings("3way-stereo", {});
        target.projectName = "Open project";
        target.nodes[0].locked = true;
        const auto before = target;
        std::string error = "previous";
        EXPECT_FALSE(settingsFromVar(root, target, error)) << c.message;
        EXPECT_EQ(error, c.message);
        EXPECT_TRUE(target == before) << c.message;
    }
}

TEST(ProjectFileReading, BrokenFixtureTextsAreRefused)
{
    // Non-finite numbers can also arrive through the text: the parser turns 1e999 into infinity.
    const std::vector<std::pair<std::string, std::string>> cases {
        { "masterVolumeDb\": 0.0", "masterVolumeDb\": 1e999" },
        { "\"x\": 72.0", "\"x\": -1e999" },
    };
    const auto text = projectText(makeDefaultSettings("stereo", {}));
    const std::vector<std::string> messages { "Volume values must be finite numbers.", "Canvas positions must be finite numbers." };
    for (size_t i = 0; i < cases.size(); ++i)
    {
        const auto broken = text.replace(juce::String(cases[i].first), juce::String(cases[i].second));
        ASSERT_NE(broken, text);
        AppSettings target;
        const auto before = target;
        std::string error;
        EXPECT_FALSE(settingsFromVar(juce::JSON::parse(broken), target, error));
        EXPECT_EQ(error, messages[i]);
        EXPECT_TRUE(target == before);
    }
}
