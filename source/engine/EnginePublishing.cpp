// Hand-over of the project to the audio thread, graph mutations, history resets
// and the loading of FIR coefficients into the processors. Message thread only.

#include "engine/AudioEngineImpl.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace speaker
{
namespace
{
constexpr auto relaxed = std::memory_order_relaxed;

bool isArithmeticKind(int kind) noexcept
{
    return kind >= static_cast<int>(ProcessingModuleKind::add) && kind <= static_cast<int>(ProcessingModuleKind::divide);
}

bool isArithmeticNode(const CanvasNodeSettings& node)
{
    return node.kind == static_cast<int>(CanvasNodeKind::processor) && isArithmeticKind(node.processor.kind);
}

const std::vector<float>& unityCoefficients()
{
    static const std::vector<float> unity { 1.0f };
    return unity;
}

bool loadFir(FirFilter& filter, const std::vector<float>& coefficients, std::string& error)
{
    try
    {
        filter.setCoefficients(coefficients);
        return true;
    }
    catch (const std::invalid_argument& e)
    {
        error = e.what();
        return false;
    }
}

void sleepMs()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
} // namespace

void AudioEngine::Impl::waitForCallbacks() const
{
    while (callbacksInFlight.load() != 0)
        sleepMs();
}

void AudioEngine::Impl::publishSettings()
{
    const auto& project = settings;

    // 1. - 3. A safety stop that has not been taken yet keeps the outputs muted,
    // even when a device restart or an edit publishes in between.
    masterMute.store(project.masterMute || safetyStopReason.load() != 0);
    masterVolumeDb.store(project.masterVolumeDb);
    for (size_t i = 0; i < inputs.size(); ++i)
    {
        const auto& source = project.inputs[i];
        inputs[i].deviceChannel.store(source.physicalChannel - 1, relaxed);
        inputs[i].volumeDb.store(source.volumeDb, relaxed);
        inputs[i].mute.store(source.mute, relaxed);
        inputs[i].solo.store(source.solo, relaxed);
    }
    for (size_t i = 0; i < outputs.size(); ++i)
    {
        const auto& source = project.outputs[i];
        outputs[i].deviceChannel.store(source.physicalChannel - 1, relaxed);
        outputs[i].volumeDb.store(source.volumeDb, relaxed);
        outputs[i].mute.store(source.mute, relaxed);
        outputs[i].solo.store(source.solo, relaxed);
    }

    // 4.
    const int nodeCount = std::min(static_cast<int>(project.nodes.size()), kNodeSlots);
    std::unordered_map<std::string, int> indexOf;
    for (int i = 0; i < nodeCount; ++i)
        indexOf.emplace(project.nodes[static_cast<size_t>(i)].id, i);

    // 5. Later connections into the same port replace earlier ones.
    std::map<std::pair<std::string, std::string>, std::string> sourceOf;
    for (const auto& connection : project.connections)
    {
        std::string port = connection.targetPort;
        if (port.empty())
        {
            const auto* target = findCanvasNode(project, connection.target);
            port = target != nullptr && isArithmeticNode(*target) ? "a" : "input";
        }
        sourceOf[{ connection.target, port }] = connection.source;
    }

    // 6. Subsystem port endpoints are passed through to the node behind them.
    const auto resolve = [&](const std::string& endpoint, const std::string& port) {
        auto found = sourceOf.find({ endpoint, port });
        std::vector<std::string> seen;
        while (found != sourceOf.end())
        {
            const auto& source = found->second;
            if (auto node = indexOf.find(source); node != indexOf.end())
                return node->second;
            if (std::find(seen.begin(), seen.end(), source) != seen.end())
                return -1;
            seen.push_back(source);
            found = sourceOf.find({ source, "input" });
        }
        return -1;
    };

    std::vector<int> sourceA(static_cast<size_t>(nodeCount), -1);
    std::vector<int> sourceB(static_cast<size_t>(nodeCount), -1);
    std::vector<int> inDegree(static_cast<size_t>(nodeCount), 0);
    std::vector<std::vector<int>> successors(static_cast<size_t>(nodeCount));
    for (int i = 0; i < nodeCount; ++i)
    {
        const auto& node = project.nodes[static_cast<size_t>(i)];
        const bool arithmetic = isArithmeticNode(node);
        const auto addEdge = [&](int source) {
            if (source < 0)
                return;
            ++inDegree[static_cast<size_t>(i)];
            successors[static_cast<size_t>(source)].push_back(i);
        };
        sourceA[static_cast<size_t>(i)] = resolve(node.id, arithmetic ? "a" : "input");
        addEdge(sourceA[static_cast<size_t>(i)]);
        if (arithmetic)
        {
            sourceB[static_cast<size_t>(i)] = resolve(node.id, "b");
            addEdge(sourceB[static_cast<size_t>(i)]);
        }
    }

    // 7. Kahn's algorithm; nodes on a cycle never enter the order.
    std::vector<int> order;
    {
        std::deque<int> queue;
        for (int i = 0; i < nodeCount; ++i)
            if (inDegree[static_cast<size_t>(i)] == 0)
                queue.push_back(i);
        while (! queue.empty())
        {
            const int node = queue.front();
            queue.pop_front();
            order.push_back(node);
            for (const int next : successors[static_cast<size_t>(node)])
                if (--inDegree[static_cast<size_t>(next)] == 0)
                    queue.push_back(next);
        }
    }

    // 8. Only Blocks that reach an Output run.
    std::vector<bool> keep(static_cast<size_t>(nodeCount), false);
    {
        std::vector<int> stack;
        for (int i = 0; i < nodeCount; ++i)
        {
            const int kind = project.nodes[static_cast<size_t>(i)].kind;
            if (kind == static_cast<int>(CanvasNodeKind::input))
                keep[static_cast<size_t>(i)] = true;
            if (kind == static_cast<int>(CanvasNodeKind::output))
                stack.push_back(i);
        }
        std::vector<bool> visited(static_cast<size_t>(nodeCount), false);
        while (! stack.empty())
        {
            const int node = stack.back();
            stack.pop_back();
            if (visited[static_cast<size_t>(node)])
                continue;
            visited[static_cast<size_t>(node)] = true;
            keep[static_cast<size_t>(node)] = true;
            for (const int source : { sourceA[static_cast<size_t>(node)], sourceB[static_cast<size_t>(node)] })
                if (source >= 0 && ! visited[static_cast<size_t>(source)])
                    stack.push_back(source);
        }
    }
    std::erase_if(order, [&](int node) { return ! keep[static_cast<size_t>(node)]; });

    // 9.
    for (int i = 0; i < kNodeSlots; ++i)
    {
        auto& slot = nodes[static_cast<size_t>(i)];
        if (i >= nodeCount)
        {
            slot.valid.store(false);
            continue;
        }
        const auto& node = project.nodes[static_cast<size_t>(i)];
        slot.kind.store(node.kind, relaxed);
        slot.channelIndex.store(node.channelIndex, relaxed);
        slot.sourceA.store(sourceA[static_cast<size_t>(i)], relaxed);
        slot.sourceB.store(sourceB[static_cast<size_t>(i)], relaxed);
        if (node.kind == static_cast<int>(CanvasNodeKind::processor))
        {
            const auto& p = node.processor;
            slot.processorKind.store(p.kind, relaxed);
            slot.bypassed.store(p.bypassed, relaxed);
            slot.gainDb.store(p.gainDb, relaxed);
            slot.polarityInverted.store(p.polarityInverted, relaxed);
            slot.delayUs.store(p.delayUs, relaxed);
            slot.shelfOrder.store(p.shelfOrder, relaxed);
            slot.lowPassOrder.store(p.lowPassOrder, relaxed);
            slot.lowPassShape.store(p.lowPassShape, relaxed);
            slot.highPassOrder.store(p.highPassOrder, relaxed);
            slot.highPassShape.store(p.highPassShape, relaxed);
            slot.divideFloorDb.store(p.divideFloorDb, relaxed);
            slot.divideLimitDb.store(p.divideLimitDb, relaxed);
            slot.delayRevision.fetch_add(1, std::memory_order_release);
            for (int b = 0; b < kMaxEqBands; ++b)
            {
                const auto& source = p.eq[static_cast<size_t>(b)];
                auto& band = slot.bands[static_cast<size_t>(b)];
                band.enabled.store(b < p.eqBandCount && source.enabled, relaxed);
                band.type.store(source.type, relaxed);
                band.frequencyHz.store(source.frequencyHz, relaxed);
                band.gainDb.store(source.gainDb, relaxed);
                band.q.store(source.q, relaxed);
                band.revision.fetch_add(1, std::memory_order_release);
            }
            configureSlot(i, node);
        }
        else
        {
            slot.processorKind.store(static_cast<int>(ProcessingModuleKind::empty), relaxed);
        }
        slot.configured.store(true);
        slot.valid.store(true);
    }

    // 10.
    for (size_t i = 0; i < order.size(); ++i)
        executionOrder[i].store(order[i], relaxed);
    executionOrderLength.store(static_cast<int>(order.size()));

    // 11.
    const int numInputs = std::clamp(project.inputCount, 0, kMaxInputs);
    const int numOutputs = std::clamp(project.outputCount, 0, kMaxOutputs);
    inputCount.store(numInputs);
    outputCount.store(numOutputs);
    const auto requestReset = [](ChannelMeter& m) {
        m.mirror.peakDb.store(-120.0, relaxed);
        m.mirror.rmsDb.store(-120.0, relaxed);
        m.mirror.clip.store(false, relaxed);
        m.mirror.resetRequested.store(true, relaxed);
    };
    for (int i = numInputs; i < kMaxInputs; ++i)
        requestReset(inputMeters[static_cast<size_t>(i)]);
    for (int i = numOutputs; i < kMaxOutputs; ++i)
        requestReset(outputMeters[static_cast<size_t>(i)]);

    // 12.
    analysisRevision.fetch_add(1);
    settingsRevision.fetch_add(1);
}

void AudioEngine::Impl::configureSlot(int index, const CanvasNodeSettings& node)
{
    auto& slot = slots[static_cast<size_t>(index)];
    const auto& p = node.processor;
    const auto& band = p.eq[0];
    if (p.kind == static_cast<int>(ProcessingModuleKind::lowPassFilter) && slot.lowPass != nullptr)
    {
        const bool linkwitzRiley = p.lowPassShape == static_cast<int>(FilterShape::linkwitzRiley);
        slot.lowPass->setParams(crossoverType(p.lowPassOrder, linkwitzRiley), p.lowPassOrder, band.frequencyHz, band.q);
        slot.lowPass->setBypassed(p.bypassed);
    }
    else if (p.kind == static_cast<int>(ProcessingModuleKind::highPassFilter) && slot.highPass != nullptr)
    {
        const bool linkwitzRiley = p.highPassShape == static_cast<int>(FilterShape::linkwitzRiley);
        slot.highPass->setParams(crossoverType(p.highPassOrder, linkwitzRiley), p.highPassOrder, band.frequencyHz, band.q);
        slot.highPass->setBypassed(p.bypassed);
    }
}

void AudioEngine::Impl::suspendCanvasGraphForMutation()
{
    if (running.load() && prepared.load())
    {
        graphFadeRequest.store(true);
        for (int waited = 0; waited < 100 && running.load() && ! graphFaded.load(); ++waited)
            sleepMs();
    }
    graphSuspended.store(true);
    waitForCallbacks();
}

CanvasGraphMutation::CanvasGraphMutation(AudioEngine::Impl& owner) : impl(owner), lock(owner.mutationLock)
{
    resetHistory = false;
    impl.suspendCanvasGraphForMutation();
}

CanvasGraphMutation::~CanvasGraphMutation()
{
    if (resetHistory)
        impl.resetCanvasProcessingHistory();
    impl.mutationRamp = 0.0f;
    impl.graphFadeRequest.store(false);
    impl.graphFaded.store(false);
    impl.graphSuspended.store(false);
}

void AudioEngine::Impl::resetSlotHistory(SlotProcessors& slot)
{
    slot.fir.reset();
    slot.eq.reset();
    slot.peaking.reset();
    slot.shelf.reset();
    if (slot.lowPass != nullptr)
        slot.lowPass->reset();
    if (slot.highPass != nullptr)
        slot.highPass->reset();
    slot.gain.snapToTarget();
    slot.delay.reset();
    slot.lastBandRevision.fill(0);
    slot.lastDelayRevision = 0;
}

void AudioEngine::Impl::resetCanvasProcessingHistory()
{
    for (auto& slot : slots)
        resetSlotHistory(slot);
    std::fill(nodeBuffers.begin(), nodeBuffers.end(), 0.0f);
}

void AudioEngine::Impl::resetProcessingHistory()
{
    resetCanvasProcessingHistory();
    for (auto& guard : outputGuards)
        guard.reset();
    outputFades.fill(0.0f);
    runRamp = 0.0f;
    std::fill(captureBuffers.begin(), captureBuffers.end(), 0.0f);
}

bool AudioEngine::Impl::prepareInputInsertedFirs(int input, const std::vector<InsertedModuleSettings>& modules, std::string& error)
{
    for (int m = 0; m < kMaxInsertedModules; ++m)
    {
        const auto* module = m < static_cast<int>(modules.size()) ? &modules[static_cast<size_t>(m)] : nullptr;
        const bool isFir = module != nullptr && module->kind == static_cast<int>(ProcessingModuleKind::firFilter);
        auto& filter = inputChainFirs[static_cast<size_t>(input * kMaxInsertedModules + m)];
        if (! loadFir(filter, isFir ? module->fir.coefficients : unityCoefficients(), error))
            return false;
    }
    return true;
}

bool AudioEngine::Impl::prepareOutputInsertedFirs(int output, const std::vector<InsertedModuleSettings>& modules, std::string& error)
{
    for (int m = 0; m < kMaxInsertedModules; ++m)
    {
        const auto* module = m < static_cast<int>(modules.size()) ? &modules[static_cast<size_t>(m)] : nullptr;
        const bool isFir = module != nullptr && module->kind == static_cast<int>(ProcessingModuleKind::firFilter);
        auto& filter = outputChainFirs[static_cast<size_t>(output * kMaxInsertedModules + m)];
        if (! loadFir(filter, isFir ? module->fir.coefficients : unityCoefficients(), error))
            return false;
    }
    return true;
}

bool AudioEngine::Impl::prepareFirFilters(const AppSettings& project, std::string& error)
{
    for (int i = 0; i < kMaxInputs; ++i)
    {
        const auto& input = project.inputs[static_cast<size_t>(i)];
        if (! loadFir(inputOwnFirs[static_cast<size_t>(i)], input.fir.coefficients, error)
            || ! prepareInputInsertedFirs(i, input.insertedModules, error))
            return false;
    }
    for (int i = 0; i < kMaxOutputs; ++i)
        if (! prepareOutputInsertedFirs(i, project.outputs[static_cast<size_t>(i)].insertedModules, error))
            return false;
    for (int i = 0; i < kNodeSlots; ++i)
    {
        const auto* node = i < static_cast<int>(project.nodes.size()) ? &project.nodes[static_cast<size_t>(i)] : nullptr;
        const bool isFir = node != nullptr && node->kind == static_cast<int>(CanvasNodeKind::processor)
                           && node->processor.kind == static_cast<int>(ProcessingModuleKind::firFilter);
        if (! loadFir(slots[static_cast<size_t>(i)].fir, isFir ? node->processor.fir.coefficients : unityCoefficients(), error))
            return false;
    }
    return true;
}

void AudioEngine::Impl::prepareProcessors(double fs)
{
    for (int i = 0; i < kMaxInputs; ++i)
        inputGains[static_cast<size_t>(i)].setParams(fs, inputs[static_cast<size_t>(i)].volumeDb.load(), false, false);
    for (int i = 0; i < kMaxOutputs; ++i)
        outputGains[static_cast<size_t>(i)].setParams(fs, outputs[static_cast<size_t>(i)].volumeDb.load() + masterVolumeDb.load(),
                                                      false, false);
    const auto fade = static_cast<std::uint32_t>(std::max(std::lround(0.005 * fs), 1L));
    for (auto& slot : slots)
    {
        slot.fir.setCrossfadeLength(fade);
        slot.fir.reset();
        slot.eq.setSampleRate(fs);
        slot.eq.reset();
        slot.peaking.setParams(fs, 1000.0, 0.0, 1.0);
        slot.peaking.reset();
        slot.shelf.setParams(fs, ShelvingFilterProcessor::Type::Low, 2, 100.0, 0.0, 1.0);
        slot.shelf.reset();
        slot.lowPass = std::make_unique<LowPassFilterBank>(fs);
        slot.highPass = std::make_unique<HighPassFilterBank>(fs);
        slot.lowPass->setParams(CrossoverFilterType::secondOrder, 2, 1000.0, 0.7071067811865476);
        slot.highPass->setParams(CrossoverFilterType::secondOrder, 2, 1000.0, 0.7071067811865476);
        slot.lowPass->reset();
        slot.highPass->reset();
        slot.delay.prepare(static_cast<unsigned>(std::ceil(0.05 * fs)), fs);
        slot.arithmetic.prepare(fs, 1.0 / std::max(0.005 * fs, 1.0));
        slot.lastBandRevision.fill(0);
        slot.lastDelayRevision = 0;
    }
}
} // namespace speaker
