// The audio thread allocates nothing and takes no lock of ours while the message
// thread keeps publishing edits.

#include "EngineTestSupport.h"

#include <cmath>

namespace speaker::test
{
namespace
{
// One Block of every kind in a chain, the math Blocks also fed by input 2.
Graph everyBlockKind()
{
    Graph g(2, 2);
    g.input("in1", 0).input("in2", 1).output("out1", 0).output("out2", 1);
    const std::vector<std::pair<ProcessingModuleKind, std::function<void(InsertedModuleSettings&)>>> chain {
        { ProcessingModuleKind::gain, [](auto& p) { p.gainDb = -3.0; } },
        { ProcessingModuleKind::iirFilter, [](auto& p) {
             p.eqBandCount = 16;
             for (int b = 0; b < 16; ++b)
                 p.eq[static_cast<size_t>(b)] = { true, b % 6, 100.0 + 700.0 * b, -2.0, 1.0 };
         } },
        { ProcessingModuleKind::delay, [](auto& p) { p.delayUs = 2000.0; } },
        { ProcessingModuleKind::firFilter, [](auto& p) { p.fir = { true, "taps.txt", 48000, std::vector<float>(512, 0.001f) }; } },
        { ProcessingModuleKind::peakingFilter, [](auto& p) { p.eq[0] = { true, 5, 1000.0, 3.0, 1.0 }; } },
        { ProcessingModuleKind::highShelvingFilter, [](auto& p) { p.eq[0] = { true, 2, 6000.0, -3.0, 0.7 }; } },
        { ProcessingModuleKind::lowShelvingFilter, [](auto& p) { p.shelfOrder = 1; p.eq[0] = { true, 1, 200.0, 2.0, 0.7 }; } },
        { ProcessingModuleKind::lowPassFilter, [](auto& p) { p.lowPassOrder = 8; p.lowPassShape = 1; p.eq[0].frequencyHz = 5000.0; } },
        { ProcessingModuleKind::highPassFilter, [](auto& p) { p.highPassOrder = 5; p.eq[0].frequencyHz = 40.0; } },
        { ProcessingModuleKind::add, {} },
        { ProcessingModuleKind::subtract, {} },
        { ProcessingModuleKind::multiply, {} },
        { ProcessingModuleKind::divide, [](auto& p) { p.divideFloorDb = -60.0; } },
    };
    std::string previous = "in1";
    for (size_t i = 0; i < chain.size(); ++i)
    {
        const auto id = "node" + std::to_string(i + 1);
        g.block(id, chain[i].first, chain[i].second);
        g.wire(previous, id);
        if (isMathModuleKind(static_cast<int>(chain[i].first)))
            g.wire("in2", id, "b");
        previous = id;
    }
    g.wire(previous, "out1").wire("node4", "out2");
    return g;
}
} // namespace

using RealtimeTest = EngineTest;

TEST_F(RealtimeTest, CallbackNeitherAllocatesNorLocksWhileEditsArePublished)
{
    const Graph g = everyBlockKind();
    start(g, 48000.0, 64);

    CallbackPump pump(*device, alternating(0.05f, 64), 0, true, 20);
    const auto firstBlocks = pump.blockCount();
    int edits = 0;
    while (pump.blockCount() - firstBlocks < 4000)
    {
        ++edits;
        const double wobble = std::sin(edits * 0.1);
        engine->applyParameterEdit([&](AppSettings& s) {
            s.inputs[0].volumeDb = -3.0 * (1.0 + wobble);
            s.outputs[1].mute = edits % 7 == 0;
            s.masterVolumeDb = -1.0 + wobble;
            for (auto& node : s.nodes)
            {
                auto& p = node.processor;
                p.gainDb = -3.0 + wobble;
                p.delayUs = 2000.0 + 500.0 * wobble;
                p.eq[0].gainDb = 3.0 * wobble;
                p.eq[0].frequencyHz = 1000.0 + 400.0 * wobble;
                p.bypassed = edits % 11 == 0;
            }
        });
        if (edits % 25 == 0)
        {
            std::string error;
            ASSERT_TRUE(engine->applyCanvasEdit([&](AppSettings& s, std::string&) {
                if (s.nodes.size() > g.settings.nodes.size())
                    s.nodes.pop_back();
                else
                    s.nodes.push_back(Graph().block("node99", ProcessingModuleKind::firFilter).settings.nodes[0]);
                return true;
            }, error)) << error;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    pump.stop();

    EXPECT_TRUE(engine->isRunning()) << AudioEngine::safetyStopMessage(engine->getPendingSafetyStop());
    EXPECT_GT(edits, 50);
    EXPECT_EQ(pump.allocations(), 0u);
    if (corvana::test::RealtimeGuard::countsLocks())
    {
        EXPECT_EQ(pump.locks(), static_cast<std::uint64_t>(pump.blockCount()))
            << "the only lock is the device manager's own, once per callback";
    }
}
} // namespace speaker::test
