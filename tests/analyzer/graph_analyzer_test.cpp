// Graph resolution, request clamps, messages, cancellation and result shape.

#include "AnalyzerTestSupport.h"

#include "analyzer/AnalyzerFft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <thread>

using namespace analyzer_test;

namespace
{
InsertedModuleSettings gain(double db)
{
    auto m = module(ProcessingModuleKind::gain);
    m.gainDb = db;
    return m;
}

InsertedModuleSettings delay(double us)
{
    auto m = module(ProcessingModuleKind::delay);
    m.delayUs = us;
    return m;
}

// in1 -> [sub1: node1 -> node2] -> out1, reached through two port hops on each side.
AppSettings groupedProject()
{
    AppSettings p = chainProject({ gain(-4.0), delay(250.0) });
    p.connections.clear();
    CanvasSubmoduleSettings sub;
    sub.id = "submodule1";
    sub.nodeIds = { "node1", "node2" };
    sub.inputs.push_back({ "input1", "In", 0.0, 0.0, "node1" });
    sub.outputs.push_back({ "output1", "Out", 0.0, 0.0, "node2" });
    CanvasSubmoduleSettings inner;
    inner.id = "submodule2";
    inner.parentSubmoduleId = "submodule1";
    inner.nodeIds = { "node2" };
    inner.inputs.push_back({ "input1", "In", 0.0, 0.0, "node2" });
    inner.outputs.push_back({ "output1", "Out", 0.0, 0.0, "node2" });
    p.submodules = { sub, inner };
    const auto subIn = canvasSubmoduleInputEndpoint("submodule1", "input1");
    const auto subOut = canvasSubmoduleOutputEndpoint("submodule1", "output1");
    const auto innerIn = canvasSubmoduleInputEndpoint("submodule2", "input1");
    const auto innerOut = canvasSubmoduleOutputEndpoint("submodule2", "output1");
    connect(p, "in1", subIn);
    connect(p, subIn, "node1");
    connect(p, "node1", innerIn);
    connect(p, innerIn, "node2");
    connect(p, "node2", innerOut);
    connect(p, innerOut, subOut);
    connect(p, subOut, "out1");
    connect(p, "in2", "out2");
    return p;
}

std::string status(const juce::var& r) { return text(r, "status"); }
std::string message(const juce::var& r) { return text(r, "message"); }
} // namespace

TEST(GraphAnalyzer, RequestClampsAndFftSizes)
{
    EXPECT_EQ(analyzerSampleRate(44000.0), 48000.0);
    EXPECT_EQ(analyzerSampleRate(44100.4), 44100.0);
    EXPECT_EQ(analyzerSampleRate(96000.0), 96000.0);
    EXPECT_EQ(analyzerSampleRate(std::nan("")), 48000.0);

    EXPECT_EQ(analyzerFftSize(48000.0, 1.0, AnalyzerExcitation::impulse), 65536);
    EXPECT_EQ(analyzerFftSize(48000.0, 1.0, AnalyzerExcitation::logSweep), 65536);
    EXPECT_EQ(analyzerFftSize(96000.0, 20.0, AnalyzerExcitation::impulse), 1048576);
    EXPECT_EQ(analyzerFftSize(48000.0, 0.01, AnalyzerExcitation::impulse), 8192); // clamped to 0.1 s
    EXPECT_EQ(analyzerFftSize(44100.0, 0.05, AnalyzerExcitation::logSweep), 16384); // 4410 + 4410
    EXPECT_EQ(analyzerFftSize(48000.0, 10.0, AnalyzerExcitation::logSweep), 524288);
    EXPECT_EQ(analyzerFftSize(96000.0, 10.0, AnalyzerExcitation::logSweep), 1048576);
    EXPECT_EQ(analyzerFftSize(48000.0, std::nan(""), AnalyzerExcitation::impulse), 65536);

    const auto project = chainProject({ gain(0.0) });
    const auto r = analyzeCanvasGraph(project, "out1", true, 44000.0, {});
    EXPECT_EQ(static_cast<double>(r["sampleRateHz"]), 48000.0);

    auto o = sweepOptions(10.0, 40000.0, 1.0);
    o.levelDb = 6.0;
    const auto sweep = analyzeCanvasGraph(project, "out1", true, 48000.0, o);
    ASSERT_EQ(status(sweep), "ok");
    EXPECT_EQ(static_cast<double>(sweep["sweepStartHz"]), 18.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(sweep["sweepEndHz"]), 23952.0);
    EXPECT_EQ(static_cast<double>(sweep["levelDb"]), 0.0);
    EXPECT_EQ(static_cast<int>(sweep["fftSize"]), 65536);
    EXPECT_DOUBLE_EQ(static_cast<double>(sweep["analysisDurationSeconds"]), 47999.0 / 48000.0);
    EXPECT_EQ(static_cast<juce::int64>(sweep["processedSamples"]), 65536);
    EXPECT_DOUBLE_EQ(doubles(sweep["frequenciesHz"]).front(), 18.0);
    EXPECT_NEAR(doubles(sweep["frequenciesHz"]).back(), 23952.0, 1e-6);
}

TEST(GraphAnalyzer, ResultObjectOfAPath)
{
    auto project = chainProject({ gain(-6.0), delay(1000.0) });
    project.nodes[2].processor.bypassed = false;
    const auto r = analyzeCanvasGraph(project, "out1", true, 48000.0, {});
    ASSERT_EQ(status(r), "ok");

    const juce::StringArray keys { "status", "message", "mode", "sampleRateHz", "fftSize", "excitation",
                                   "analysisDurationSeconds", "levelDb", "sourceId", "sourceLabel", "targetId",
                                   "targetLabel", "excitationInputIds", "path", "frequenciesHz", "magnitudeDb",
                                   "phaseDegrees", "distortionFrequenciesHz", "thdDb", "h2Db", "h3FrequenciesHz",
                                   "h3Db", "impulseSamples", "impulseValues", "impulseLengthSamples",
                                   "processedSamples", "peakSample", "peakValue", "durationMs" };
    const auto& props = r.getDynamicObject()->getProperties();
    ASSERT_EQ(props.size(), keys.size());
    for (int i = 0; i < keys.size(); ++i)
        EXPECT_EQ(props.getName(i).toString(), keys[i]);

    EXPECT_EQ(text(r, "mode"), "path");
    EXPECT_EQ(text(r, "excitation"), "impulse");
    EXPECT_EQ(text(r, "sourceId"), "in1");
    EXPECT_EQ(text(r, "sourceLabel"), "Input 1");
    EXPECT_EQ(text(r, "targetLabel"), "Output 1");
    EXPECT_EQ(static_cast<double>(r["analysisDurationSeconds"]), 1.0);

    const auto* path = r["path"].getArray();
    ASSERT_NE(path, nullptr);
    ASSERT_EQ(path->size(), 4);
    const char* ids[] = { "in1", "node1", "node2", "out1" };
    const char* labels[] = { "Input 1", "Gain", "Delay", "Output 1" };
    const char* types[] = { "Input", "Block", "Block", "Output" };
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ((*path)[i]["id"].toString(), ids[i]);
        EXPECT_EQ((*path)[i]["label"].toString(), labels[i]);
        EXPECT_EQ((*path)[i]["type"].toString(), types[i]);
        EXPECT_FALSE(static_cast<bool>((*path)[i]["bypassed"]));
    }

    // The 1 ms Delay: peak at sample 48 with the gain's value, and a linear phase.
    EXPECT_EQ(static_cast<juce::int64>(r["peakSample"]), 48);
    EXPECT_NEAR(static_cast<double>(r["peakValue"]), std::pow(10.0, -6.0 / 20.0), 1e-6);
    const auto f = doubles(r["frequenciesHz"]);
    const auto phase = doubles(r["phaseDegrees"]);
    for (size_t i = 0; i < f.size(); ++i)
        EXPECT_NEAR(std::remainder(phase[i] + 360.0 * f[i] * 0.001, 360.0), 0.0, 1e-3) << f[i];
    EXPECT_TRUE(doubles(r["thdDb"]).empty());

    // The shown impulse: 20 ms at least, decimated to its largest samples.
    const auto samples = doubles(r["impulseSamples"]);
    const auto values = doubles(r["impulseValues"]);
    EXPECT_EQ(static_cast<juce::int64>(r["impulseLengthSamples"]), 960);
    EXPECT_EQ(samples.size(), 960u);
    EXPECT_EQ(samples[48], 48.0);
    EXPECT_NEAR(values[48], 0.5011872, 1e-6);
    EXPECT_DOUBLE_EQ(static_cast<double>(r["durationMs"]), 20.0);
}

TEST(GraphAnalyzer, ImpulseDisplayDecimatesLongResponses)
{
    // 50 ms of delay shows 55 ms: 2641 samples in 1600 spans carrying each span's peak.
    const auto r = analyzeCanvasGraph(chainProject({ delay(50000.0) }), "out1", true, 48000.0, {});
    ASSERT_EQ(status(r), "ok");
    EXPECT_EQ(static_cast<juce::int64>(r["peakSample"]), 2400);
    EXPECT_EQ(static_cast<juce::int64>(r["impulseLengthSamples"]), 2400 + 240 + 1);
    const auto samples = doubles(r["impulseSamples"]);
    const auto values = doubles(r["impulseValues"]);
    ASSERT_EQ(samples.size(), 1600u);
    EXPECT_EQ(std::count(samples.begin(), samples.end(), 2400.0), 1);
    EXPECT_EQ(std::count_if(values.begin(), values.end(), [](double v) { return v != 0.0; }), 1);
    for (size_t j = 1; j < samples.size(); ++j)
        ASSERT_GT(samples[j], samples[j - 1]);
}

// 50 ms in a 0.1 s analysis turns the phase by 1.8 rad from bin to bin; the
// grid between two bins still shows the delay's flat magnitude and exact phase.
TEST(GraphAnalyzer, LongDelaysStayFlatBetweenBins)
{
    GraphAnalyzerOptions o;
    o.durationSeconds = 0.1;
    const auto r = analyzeCanvasGraph(chainProject({ delay(50000.0) }), "out1", true, 48000.0, o);
    ASSERT_EQ(static_cast<int>(r["fftSize"]), 8192);
    const auto f = doubles(r["frequenciesHz"]);
    const auto m = doubles(r["magnitudeDb"]);
    const auto phase = doubles(r["phaseDegrees"]);
    for (size_t i = 0; i < f.size(); ++i)
    {
        ASSERT_NEAR(m[i], 0.0, 1e-4) << f[i];
        ASSERT_NEAR(std::remainder(phase[i] + 360.0 * f[i] * 0.05, 360.0), 0.0, 1e-3) << f[i];
    }
}

// An Output analysed on its own receives the excitation and applies its volume.
TEST(GraphAnalyzer, OutputInBlockModeShowsItsVolume)
{
    auto project = chainProject({ gain(-10.0) });
    project.outputs[0].volumeDb = -2.5;
    const auto r = analyzeCanvasGraph(project, "out1", false, 48000.0, {});
    ASSERT_EQ(status(r), "ok");
    for (const double m : doubles(r["magnitudeDb"]))
        ASSERT_NEAR(m, -2.5, 1e-4);
}

TEST(GraphAnalyzer, BypassedOnlyBlockIsFlatAndMarked)
{
    auto project = chainProject({ withBand(module(ProcessingModuleKind::peakingFilter), 1000.0, 12.0, 1.0) });
    project.nodes[2].processor.bypassed = true;
    const auto r = analyzeCanvasGraph(project, "out1", true, 48000.0, {});
    ASSERT_EQ(status(r), "ok");
    for (const double m : doubles(r["magnitudeDb"]))
        ASSERT_NEAR(m, 0.0, 1e-6);
    EXPECT_TRUE(static_cast<bool>(r["path"][1]["bypassed"]));
}

TEST(GraphAnalyzer, BlockModeFeedsTheExcitationToBothOperandsOfAMultiply)
{
    AppSettings p = chainProject({});
    p.connections.clear();
    p.nodes.push_back(blockNode("mul", module(ProcessingModuleKind::multiply)));
    connect(p, "in1", "mul", "a");
    connect(p, "mul", "out1");
    const auto r = analyzeCanvasGraph(p, "mul", false, 48000.0, {});
    ASSERT_EQ(status(r), "ok");
    // A delta of height A squared, divided by A: the response is A, i.e. the level.
    for (const double m : doubles(r["magnitudeDb"]))
        ASSERT_NEAR(m, -12.0, 1e-4);
    EXPECT_EQ(text(r, "mode"), "block");
    EXPECT_EQ(text(r, "sourceId"), "mul");
    EXPECT_EQ(r["path"].size(), 1);

    // In path mode the unconnected operand b reads as silence.
    const auto path = analyzeCanvasGraph(p, "out1", true, 48000.0, {});
    ASSERT_EQ(status(path), "ok");
    EXPECT_EQ(doubles(path["magnitudeDb"]).front(), -240.0);
}

TEST(GraphAnalyzer, SubsystemPortsAreFollowed)
{
    const auto grouped = groupedProject();
    const auto flat = chainProject({ gain(-4.0), delay(250.0) });
    const auto a = analyzeCanvasGraph(grouped, "out1", true, 48000.0, {});
    const auto b = analyzeCanvasGraph(flat, "out1", true, 48000.0, {});
    ASSERT_EQ(status(a), "ok") << message(a);
    EXPECT_EQ(a["path"].size(), 4);
    EXPECT_EQ(doubles(a["magnitudeDb"]), doubles(b["magnitudeDb"]));
    EXPECT_EQ(static_cast<juce::int64>(a["peakSample"]), 12);

    // A cycle of port endpoints resolves to nothing.
    auto looped = grouped;
    const auto subOut = canvasSubmoduleOutputEndpoint("submodule1", "output1");
    const auto innerOut = canvasSubmoduleOutputEndpoint("submodule2", "output1");
    for (auto& c : looped.connections)
        if (c.target == innerOut)
            c.source = subOut;
    const auto r = analyzeCanvasGraph(looped, "out1", true, 48000.0, {});
    EXPECT_EQ(message(r), "Connect an Input or DSP Block to this Output before analyzing it.");
}

TEST(GraphAnalyzer, ExcitationInputsAndSource)
{
    AppSettings p = chainProject({});
    p.connections.clear();
    p.nodes.push_back(blockNode("sum", module(ProcessingModuleKind::add)));
    connect(p, "in1", "sum", "a");
    connect(p, "in2", "sum", "b");
    connect(p, "sum", "out1");
    p.inputs[1].volumeDb = -6.0;

    GraphAnalyzerOptions o;
    const auto both = analyzeCanvasGraph(p, "out1", true, 48000.0, o);
    EXPECT_NEAR(doubles(both["magnitudeDb"])[200], 20.0 * std::log10(1.0 + std::pow(10.0, -0.3)), 1e-4);
    EXPECT_EQ(text(both, "sourceId"), "in1");

    o.excitationInputIds = { "in2" };
    const auto second = analyzeCanvasGraph(p, "out1", true, 48000.0, o);
    EXPECT_NEAR(doubles(second["magnitudeDb"])[200], -6.0, 1e-4);
    EXPECT_EQ(text(second, "sourceId"), "in2");
    EXPECT_EQ(second["excitationInputIds"].size(), 1);

    o.excitationInputIds = { "in3" };
    EXPECT_EQ(message(analyzeCanvasGraph(p, "out1", true, 48000.0, o)), "Select at least one Input on this signal path.");
    EXPECT_EQ(message(analyzeCanvasGraph(p, "sum", false, 48000.0, o)), "Select at least one Input on this signal path.");

    // A path without Inputs starts at its first Block.
    AppSettings blocks = chainProject({ gain(0.0) });
    blocks.connections.erase(blocks.connections.begin());
    const auto fromBlock = analyzeCanvasGraph(blocks, "out1", true, 48000.0, {});
    EXPECT_EQ(text(fromBlock, "sourceId"), "node1");
    EXPECT_EQ(text(fromBlock, "sourceLabel"), "Path Input");
}

TEST(GraphAnalyzer, FailuresAreResultsWithTheirMessages)
{
    const auto base = chainProject({ gain(0.0) });
    struct Case
    {
        const char* name;
        std::function<void(AppSettings&)> edit;
        std::string target;
        bool path;
        const char* status;
        const char* message;
    };
    const std::vector<Case> cases {
        { "no nodes", [](AppSettings& p) { p.nodes.clear(); p.connections.clear(); }, "out1", true, "empty",
          "Add and connect DSP Blocks before opening Analyzer." },
        { "missing target", [](AppSettings&) {}, "node9", true, "error", "The selected analysis target no longer exists." },
        { "Input in block mode", [](AppSettings&) {}, "in1", false, "error", "Select a DSP Block for Block analysis." },
        { "unconnected Output", [](AppSettings& p) { p.connections.pop_back(); }, "out2", true, "error",
          "Connect an Input or DSP Block to this Output before analyzing it." },
        { "loop",
          [](AppSettings& p) {
              p.nodes.push_back(blockNode("node2", gain(0.0)));
              p.connections[0].source = "node2";
              connect(p, "node1", "node2");
          },
          "out1", true, "error", "The selected signal graph contains a loop." },
        { "Empty Block", [](AppSettings& p) { p.nodes[2].processor.kind = 13; }, "out1", true, "error",
          "The selected path contains an unconfigured DSP Block." },
        { "FIR rate",
          [](AppSettings& p) {
              p.nodes[2].processor = module(ProcessingModuleKind::firFilter);
              p.nodes[2].processor.fir.sampleRateHz = 96000;
          },
          "out1", true, "error", "FIR sample rate 96000 Hz does not match the Analyzer sample rate 48000 Hz." },
        { "FIR coefficients",
          [](AppSettings& p) {
              p.nodes[2].processor = module(ProcessingModuleKind::firFilter);
              p.nodes[2].processor.fir.coefficients.assign(5000, 0.1f);
          },
          "out1", true, "error", "FIR coefficient count must be between 1 and 4096." },
        { "shelf order",
          [](AppSettings& p) {
              p.nodes[2].processor = module(ProcessingModuleKind::lowShelvingFilter);
              p.nodes[2].processor.shelfOrder = 3;
          },
          "out1", true, "error", "A DSP Block rejected its parameters during analysis." },
        { "divide floor",
          [](AppSettings& p) {
              p.nodes[2].processor = module(ProcessingModuleKind::divide);
              p.nodes[2].processor.divideFloorDb = -5.0;
          },
          "out1", true, "error", "An arithmetic Block rejected its parameters during analysis." },
        { "non-finite response",
          [](AppSettings& p) {
              for (auto& n : p.nodes)
                  if (n.id == "node1")
                      n.processor.gainDb = 20.0;
              for (int i = 2; i <= 40; ++i)
              {
                  const auto id = "node" + std::to_string(i);
                  p.nodes.push_back(blockNode(id, gain(20.0)));
                  p.connections[1].source = id;
                  connect(p, "node" + std::to_string(i - 1), id);
              }
          },
          "out1", true, "error", "The selected path produced a non-finite response." },
    };
    for (const auto& c : cases)
    {
        auto p = base;
        c.edit(p);
        GraphAnalyzerOptions o;
        o.levelDb = 0.0;
        const auto r = analyzeCanvasGraph(p, c.target, c.path, 48000.0, o);
        EXPECT_EQ(status(r), c.status) << c.name;
        EXPECT_EQ(message(r), c.message) << c.name;
        EXPECT_EQ(r.getDynamicObject()->getProperties().size(), 2) << c.name;
    }
}

TEST(GraphAnalyzer, CancellationIsPolledAtEveryStage)
{
    const auto project = chainProject({ gain(0.0) });
    auto pollsOf = [&](const GraphAnalyzerOptions& o, int cancelAt, juce::var& result) {
        int polls = 0;
        result = analyzeCanvasGraph(project, "out1", true, 48000.0, o, [&] { return ++polls == cancelAt; });
        return polls;
    };

    juce::var r;
    // Impulse: once after preparation, then before each block up to the early stop.
    const int impulsePolls = pollsOf({}, -1, r);
    ASSERT_EQ(status(r), "ok");
    EXPECT_EQ(impulsePolls, 1 + static_cast<int>(static_cast<juce::int64>(r["processedSamples"]) / 256));
    for (const int at : { 1, 2, impulsePolls })
    {
        pollsOf({}, at, r);
        EXPECT_EQ(status(r), "cancelled") << at;
        EXPECT_EQ(message(r), "Analysis was replaced by a newer request.");
    }

    // Sweep: every block, then every 16 distortion points (241 points: 16 polls).
    const auto sweep = sweepOptions();
    const int sweepPolls = pollsOf(sweep, -1, r);
    ASSERT_EQ(status(r), "ok");
    EXPECT_EQ(sweepPolls, 1 + 65536 / 256 + 16);
    for (const int at : { 1 + 65536 / 256, 1 + 65536 / 256 + 1, sweepPolls })
    {
        pollsOf(sweep, at, r);
        EXPECT_EQ(status(r), "cancelled") << at;
    }
}

TEST(GraphAnalyzer, ImpulseRunsStopAfterEightQuietBlocks)
{
    struct Case
    {
        double delayUs;
        juce::int64 processed;
    };
    // The peak lands in block 0 (48 samples) or block 1 (480 samples); eight quiet blocks follow.
    for (const auto& c : { Case { 1000.0, 9 * 256 }, Case { 10000.0, 10 * 256 } })
    {
        const auto r = analyzeCanvasGraph(chainProject({ delay(c.delayUs) }), "out1", true, 48000.0, {});
        EXPECT_EQ(static_cast<juce::int64>(r["processedSamples"]), c.processed) << c.delayUs;
    }
    // A ringing filter runs until its tail is 140 dB down.
    const auto ringing = analyzeCanvasGraph(
        chainProject({ withBand(module(ProcessingModuleKind::peakingFilter), 40.0, 12.0, 8.0) }), "out1", true, 48000.0, {});
    const auto processed = static_cast<juce::int64>(ringing["processedSamples"]);
    EXPECT_GT(processed, 9 * 256);
    EXPECT_LT(processed, 65536);
    EXPECT_EQ(processed % 256, 0);
}

TEST(GraphAnalyzer, ThirdHarmonicEntriesStopBelowATHirdOfNyquist)
{
    const auto r = analyzeCanvasGraph(chainProject({ gain(0.0) }), "out1", true, 48000.0, sweepOptions());
    const auto f = doubles(r["distortionFrequenciesHz"]);
    const auto h3f = doubles(r["h3FrequenciesHz"]);
    ASSERT_EQ(f.size(), 241u);
    EXPECT_NEAR(f.back(), 0.5 * 0.499 * 48000.0, 1e-6);
    const auto expected = static_cast<size_t>(std::count_if(f.begin(), f.end(), [](double x) { return 3.0 * x < 0.499 * 48000.0; }));
    EXPECT_EQ(h3f.size(), expected);
    EXPECT_LT(h3f.size(), f.size());
    EXPECT_EQ(doubles(r["h3Db"]).size(), expected);
    EXPECT_LT(h3f.back() * 3.0, 0.499 * 48000.0);
}

TEST(GraphAnalyzer, SolveThreeByThree)
{
    std::array<double, 3> x {};
    // Needs a row swap: the first pivot is zero.
    ASSERT_TRUE(solveThreeByThree({ { { 0.0, 2.0, 1.0 }, { 1.0, 1.0, 1.0 }, { 2.0, 1.0, 3.0 } } }, { 7.0, 6.0, 13.0 }, x));
    EXPECT_NEAR(x[0], 1.0, 1e-12);
    EXPECT_NEAR(x[1], 2.0, 1e-12);
    EXPECT_NEAR(x[2], 3.0, 1e-12);
    EXPECT_FALSE(solveThreeByThree({ { { 1.0, 2.0, 3.0 }, { 2.0, 4.0, 6.0 }, { 0.0, 1.0, 1.0 } } }, { 1.0, 2.0, 3.0 }, x));
    EXPECT_FALSE(solveThreeByThree({ { { 1e-19, 0.0, 0.0 }, { 0.0, 1.0, 0.0 }, { 0.0, 0.0, 1.0 } } }, { 1.0, 1.0, 1.0 }, x));
    EXPECT_FALSE(solveThreeByThree({ { { 1e-17, 0.0, 0.0 }, { 0.0, 1.0, 0.0 }, { 0.0, 0.0, 1.0 } } }, { 1e300, 1.0, 1.0 }, x));
}

TEST(GraphAnalyzer, NodeLabelsAndStatusObjects)
{
    EXPECT_EQ(nodeLabel(terminal("in3", CanvasNodeKind::input, 2)), "Input 3");
    EXPECT_EQ(nodeLabel(terminal("out1", CanvasNodeKind::output, 0)), "Output 1");
    EXPECT_EQ(nodeLabel(blockNode("node1", module(ProcessingModuleKind::highShelvingFilter))), "High Shelving Filter");
    const auto r = resultWithStatus("error", "Boom.");
    EXPECT_EQ(juce::JSON::toString(r, true), R"({"status": "error", "message": "Boom."})");
}

TEST(AnalyzerFft, RoundTripAndKnownBins)
{
    for (const int order : { 12, 16, 21 })
    {
        const auto& fft = analyzerFft(order);
        EXPECT_EQ(&fft, &analyzerFft(order)); // cached per thread
        const size_t n = fft.size();
        ASSERT_EQ(n, size_t { 1 } << order);
        AnalyzerFftBuffer<double> x(n), back(n);
        AnalyzerFftBuffer<std::complex<double>> bins(fft.numBins());
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        for (size_t i = 0; i < n; ++i)
            x[i] = u(rng) + std::cos(2.0 * std::numbers::pi * 5.0 * static_cast<double>(i) / static_cast<double>(n));
        fft.forward(x.data(), bins.data());
        double sum = 0.0;
        for (size_t i = 0; i < n; ++i)
            sum += x[i];
        EXPECT_NEAR(bins[0].real(), sum, 1e-9 * static_cast<double>(n));
        fft.inverse(bins.data(), back.data());
        double worst = 0.0;
        for (size_t i = 0; i < n; ++i)
            worst = std::max(worst, std::abs(back[i] - x[i]));
        EXPECT_LT(worst, 1e-12) << order;
    }
    EXPECT_EQ(analyzerFft(3).size(), size_t { 1 } << kAnalyzerFftMinOrder);

    // Each thread owns its engines.
    const AnalyzerFft* mine = &analyzerFft(13);
    const AnalyzerFft* other = nullptr;
    std::thread t([&] {
        warmAnalyzerFftCache(13, 13);
        other = &analyzerFft(13);
    });
    t.join();
    EXPECT_NE(mine, other);

    // Threads building their caches at the same time share FFTW's planner safely.
    std::vector<std::thread> workers;
    std::vector<double> sums(4, 0.0);
    for (size_t w = 0; w < sums.size(); ++w)
        workers.emplace_back([w, &sums] {
            for (int order = 12; order <= 17; ++order)
            {
                const auto& fft = analyzerFft(order);
                AnalyzerFftBuffer<double> x(fft.size());
                AnalyzerFftBuffer<std::complex<double>> bins(fft.numBins());
                x[1] = 1.0;
                fft.forward(x.data(), bins.data());
                sums[w] += std::abs(bins[fft.numBins() / 2]);
            }
        });
    for (auto& w : workers)
        w.join();
    for (const double s : sums)
        EXPECT_NEAR(s, 6.0, 1e-12);
}
