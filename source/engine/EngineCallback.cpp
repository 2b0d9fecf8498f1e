// The audio callback: the canvas graph, the channel path, fades, meters, load
// figures and the safety stops it can detect. Runs on the audio thread; takes no
// lock and allocates nothing.

#include "engine/AudioEngineImpl.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace speaker
{
namespace
{
constexpr int kGain = static_cast<int>(ProcessingModuleKind::gain);
constexpr int kIir = static_cast<int>(ProcessingModuleKind::iirFilter);
constexpr int kDelay = static_cast<int>(ProcessingModuleKind::delay);
constexpr int kFir = static_cast<int>(ProcessingModuleKind::firFilter);
constexpr int kPeaking = static_cast<int>(ProcessingModuleKind::peakingFilter);
constexpr int kHighShelf = static_cast<int>(ProcessingModuleKind::highShelvingFilter);
constexpr int kLowShelf = static_cast<int>(ProcessingModuleKind::lowShelvingFilter);
constexpr int kLowPass = static_cast<int>(ProcessingModuleKind::lowPassFilter);
constexpr int kHighPass = static_cast<int>(ProcessingModuleKind::highPassFilter);
constexpr int kAdd = static_cast<int>(ProcessingModuleKind::add);
constexpr int kDivide = static_cast<int>(ProcessingModuleKind::divide);

constexpr int kInputNode = static_cast<int>(CanvasNodeKind::input);
constexpr int kOutputNode = static_cast<int>(CanvasNodeKind::output);
constexpr int kProcessorNode = static_cast<int>(CanvasNodeKind::processor);

constexpr auto relaxed = std::memory_order_relaxed;

bool isArithmetic(int kind) noexcept { return kind >= kAdd && kind <= kDivide; }

void clear(float* buffer, int n) noexcept
{
    juce::FloatVectorOperations::clear(buffer, n);
}

struct CallbacksInFlight
{
    explicit CallbacksInFlight(std::atomic<int>& c) noexcept : count(c) { count.fetch_add(1); }
    ~CallbacksInFlight() { count.fetch_sub(1); }
    std::atomic<int>& count;
};
} // namespace

double AudioEngine::Impl::now() const noexcept
{
    if (auto* c = clock.load(std::memory_order_acquire))
        return c->nowSeconds();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void AudioEngine::Impl::tripSafetyStop(int code) noexcept
{
    stopping.store(false);
    running.store(false);
    masterMute.store(true);
    int expected = 0;
    safetyStopReason.compare_exchange_strong(expected, code);
}

void AudioEngine::Impl::resetMeter(ChannelMeter& m) noexcept
{
    if (! m.isReset)
    {
        m.meter.reset();
        m.isReset = true;
    }
    m.mirror.peakDb.store(-120.0, relaxed);
    m.mirror.rmsDb.store(-120.0, relaxed);
    m.mirror.clip.store(false, relaxed);
}

void AudioEngine::Impl::resetAllMeters() noexcept
{
    for (auto& m : inputMeters)
        resetMeter(m);
    for (auto& m : outputMeters)
        resetMeter(m);
}

void AudioEngine::Impl::updateMeter(ChannelMeter& m, const float* samples, int n) noexcept
{
    if (m.mirror.resetRequested.exchange(false, relaxed))
        m.isReset = false, resetMeter(m);
    m.meter.process(samples, n);
    m.isReset = false;
    m.mirror.peakDb.store(m.meter.getPeakDb(), relaxed);
    m.mirror.rmsDb.store(m.meter.getRmsDb(), relaxed);
    m.mirror.clip.store(m.meter.isClipping(), relaxed);
}

void AudioEngine::Impl::processCallback(const float* const* in, int numIn, float* const* out, int numOut, int n) noexcept
{
    // 1. Silence first, so every early return leaves the device quiet.
    for (int c = 0; c < numOut; ++c)
        if (out[c] != nullptr)
            clear(out[c], n);

    // 2.
    const CallbacksInFlight inFlight(callbacksInFlight);

    // 3.
    if (! running.load())
    {
        if (! metersClearedWhileStopped.exchange(true))
            resetAllMeters();
        return;
    }

    // 4.
    metersClearedWhileStopped.store(false);
    if (graphSuspended.load() || graphFaded.load())
    {
        resetAllMeters();
        return;
    }

    // 5.
    if (! prepared.load() || n > scratchLength || n <= 0)
    {
        tripSafetyStop(safetyStopUnsupportedFormat);
        resetAllMeters();
        return;
    }

    // 6.
    const double startTime = now();
    const double fs = sampleRate.load(relaxed);

    // 7.
    const bool isStopping = stopping.load();
    const bool fadeRequested = graphFadeRequest.load();
    const float runStep = static_cast<float>(1.0 / ((isStopping ? 0.01 : 0.02) * fs));
    const float graphStep = static_cast<float>(1.0 / (0.005 * fs));
    const float channelStep = static_cast<float>(1.0 / (0.02 * fs));
    const float blockLength = static_cast<float>(n);
    const float runFadeEnd = isStopping ? std::max(runRamp - runStep * blockLength, 0.0f)
                                        : std::min(runRamp + runStep * blockLength, 1.0f);
    const float graphFadeEnd = fadeRequested ? std::max(mutationRamp - graphStep * blockLength, 0.0f)
                                             : std::min(mutationRamp + graphStep * blockLength, 1.0f);

    // 8.
    const int numInputs = std::clamp(inputCount.load(relaxed), 0, kMaxInputs);
    const int numOutputs = std::clamp(outputCount.load(relaxed), 0, kMaxOutputs);
    const int orderLength = std::clamp(executionOrderLength.load(relaxed), 0, kNodeSlots);

    // 9. / 10.
    std::array<bool, kMaxInputs> inputUsed {};
    std::array<bool, kMaxOutputs> outputUsed {};
    for (int i = 0; i < orderLength; ++i)
    {
        const int slot = executionOrder[static_cast<size_t>(i)].load(relaxed);
        if (slot < 0 || slot >= kNodeSlots)
            continue;
        const auto& node = nodes[static_cast<size_t>(slot)];
        if (! node.valid.load(relaxed))
            continue;
        const int kind = node.kind.load(relaxed);
        const int channel = node.channelIndex.load(relaxed);
        if (kind == kInputNode && channel >= 0 && channel < numInputs)
            inputUsed[static_cast<size_t>(channel)] = true;
        else if (kind == kOutputNode && channel >= 0 && channel < numOutputs)
            outputUsed[static_cast<size_t>(channel)] = true;
    }
    bool anyInputSolo = false;
    bool anyOutputSolo = false;
    for (int i = 0; i < numInputs; ++i)
        anyInputSolo = anyInputSolo || (inputUsed[static_cast<size_t>(i)] && inputs[static_cast<size_t>(i)].solo.load(relaxed));
    for (int i = 0; i < numOutputs; ++i)
        anyOutputSolo = anyOutputSolo || (outputUsed[static_cast<size_t>(i)] && outputs[static_cast<size_t>(i)].solo.load(relaxed));

    // 11. Computer Audio and its watchdog.
    const bool useCapture = computerAudioInput.load(relaxed);
    float* captureLeft = captureBuffers.data();
    float* captureRight = captureBuffers.data() + scratchLength;
    bool captureData = false;
    if (useCapture)
    {
        captureData = capture.readStereo(captureLeft, captureRight, n);
        const auto counter = capture.callbackCounter();
        const bool moved = counter != lastCaptureCounter;
        if (moved)
        {
            lastCaptureCounter = counter;
            captureSeen = true;
        }
        if (moved || (! captureSeen && capture.isActive()))
            captureStallSamples = 0;
        else
            captureStallSamples += n;
        if (static_cast<double>(captureStallSamples) >= fs * 0.5)
        {
            captureNeedsRestart.store(true);
            tripSafetyStop(safetyStopCaptureStalled);
            resetAllMeters();
            return;
        }
    }

    // 12.
    hasSignal.fill(false);
    const bool masterMuted = masterMute.load(relaxed);
    const double masterVolume = masterVolumeDb.load(relaxed);

    // 13.
    for (int i = 0; i < orderLength; ++i)
    {
        const int slot = executionOrder[static_cast<size_t>(i)].load(relaxed);
        if (slot < 0 || slot >= kNodeSlots)
            continue;
        const auto& node = nodes[static_cast<size_t>(slot)];
        if (! node.valid.load(relaxed))
            continue;
        float* buffer = nodeBuffer(slot);
        const int kind = node.kind.load(relaxed);
        const int channel = node.channelIndex.load(relaxed);

        if (kind == kInputNode)
        {
            if (channel < 0 || channel >= numInputs)
            {
                clear(buffer, n);
                continue;
            }
            const auto index = static_cast<size_t>(channel);
            auto& input = inputs[index];
            const int deviceChannel = input.deviceChannel.load(relaxed);
            const float* source = nullptr;
            if (useCapture && captureData && (deviceChannel == 0 || deviceChannel == 1))
                source = deviceChannel == 0 ? captureLeft : captureRight;
            else if (deviceChannel >= 0 && deviceChannel < numIn)
                source = in[deviceChannel];
            if (source == nullptr)
            {
                clear(buffer, n);
                resetMeter(inputMeters[index]);
                inputFades[index] = 0.0f;
                continue;
            }
            std::copy_n(source, n, buffer);
            auto& gain = inputGains[index];
            gain.setParams(fs, input.volumeDb.load(relaxed), false, false);
            gain.processBlock(buffer, buffer, static_cast<unsigned>(n));
            updateMeter(inputMeters[index], buffer, n);
            const bool silent = input.mute.load(relaxed) || (anyInputSolo && ! input.solo.load(relaxed));
            float& fade = inputFades[index];
            if (silent)
            {
                fade = 0.0f;
                clear(buffer, n);
            }
            else
            {
                for (int k = 0; k < n; ++k)
                {
                    fade = std::min(fade + channelStep, 1.0f);
                    buffer[k] *= fade;
                }
            }
            hasSignal[static_cast<size_t>(slot)] = true;
            continue;
        }

        const int sourceA = node.sourceA.load(relaxed);
        const bool aSignal = sourceA >= 0 && sourceA < kNodeSlots && hasSignal[static_cast<size_t>(sourceA)];

        if (kind == kProcessorNode)
        {
            const int processorKind = node.processorKind.load(relaxed);
            if (! aSignal && ! isArithmetic(processorKind))
            {
                clear(buffer, n);
                continue;
            }
            if (aSignal)
                std::copy_n(nodeBuffer(sourceA), n, buffer);
            else
                clear(buffer, n);
            processBlock(slot, node, buffer, n, fs);
            hasSignal[static_cast<size_t>(slot)] = true;
            continue;
        }

        if (kind != kOutputNode)
            continue;

        if (! aSignal)
        {
            clear(buffer, n);
            if (channel >= 0 && channel < numOutputs)
                resetMeter(outputMeters[static_cast<size_t>(channel)]);
            continue;
        }
        std::copy_n(nodeBuffer(sourceA), n, buffer);
        if (channel < 0 || channel >= numOutputs)
            continue;
        const auto index = static_cast<size_t>(channel);
        auto& output = outputs[index];
        const int deviceChannel = output.deviceChannel.load(relaxed);
        if (deviceChannel < 0 || deviceChannel >= numOut || out[deviceChannel] == nullptr)
        {
            resetMeter(outputMeters[index]);
            continue;
        }
        auto& gain = outputGains[index];
        gain.setParams(fs, output.volumeDb.load(relaxed) + masterVolume, false, false);
        gain.processBlock(buffer, buffer, static_cast<unsigned>(n));

        const int guard = outputGuards[index].process(buffer, n);
        if (guard != 0)
        {
            for (int c = 0; c < numOut; ++c)
                if (out[c] != nullptr)
                    clear(out[c], n);
            resetAllMeters();
            tripSafetyStop(guard == 1 ? safetyStopNonFiniteOutput : safetyStopSustainedDc);
            return;
        }
        updateMeter(outputMeters[index], buffer, n);

        const bool silent = output.mute.load(relaxed) || (anyOutputSolo && ! output.solo.load(relaxed)) || masterMuted;
        float& fade = outputFades[index];
        if (silent)
        {
            fade = 0.0f;
            clear(buffer, n);
        }
        else
        {
            for (int k = 0; k < n; ++k)
            {
                const float step = static_cast<float>(k + 1);
                fade = std::min(fade + channelStep, 1.0f);
                const float runGain = isStopping ? std::max(runRamp - runStep * step, 0.0f)
                                                 : std::min(runRamp + runStep * step, 1.0f);
                const float graphGain = fadeRequested ? std::max(mutationRamp - graphStep * step, 0.0f)
                                                      : std::min(mutationRamp + graphStep * step, 1.0f);
                buffer[k] *= fade * runGain * graphGain;
            }
            float* device = out[deviceChannel];
            for (int k = 0; k < n; ++k)
                device[k] = std::clamp(device[k] + buffer[k], -1.0f, 1.0f);
        }
        hasSignal[static_cast<size_t>(slot)] = true;
    }

    // 14.
    const double elapsed = now() - startTime;
    callbackTimeMs.store(elapsed * 1000.0, relaxed);
    const double duration = n / fs;
    const double instantLoad = elapsed / duration * 100.0;

    // 15.
    if (elapsed >= duration)
    {
        for (int c = 0; c < numOut; ++c)
            if (out[c] != nullptr)
                clear(out[c], n);
        resetAllMeters();
        dspLoadPercent.store(instantLoad, relaxed);
        deadlineMisses.fetch_add(1, relaxed);
        tripSafetyStop(safetyStopDeadlineMissed);
        return;
    }

    // 16.
    const double smoothed = smoothedLoad.load(relaxed);
    const double updated = smoothed + (1.0 - std::exp(-duration / 0.15)) * (instantLoad - smoothed);
    smoothedLoad.store(updated, relaxed);
    dspLoadPercent.store(updated, relaxed);

    // 17. - 19.
    runRamp = runFadeEnd;
    mutationRamp = graphFadeEnd;
    if (fadeRequested && graphFadeEnd <= 0.0f)
        graphFaded.store(true);
    if (isStopping && runFadeEnd <= 0.0f)
    {
        stopping.store(false);
        running.store(false);
        dspLoadPercent.store(0.0, relaxed);
        callbackTimeMs.store(0.0, relaxed);
        smoothedLoad.store(0.0, relaxed);
    }
}

void AudioEngine::Impl::processBlock(int slotIndex, const RuntimeNode& node, float* buffer, int n, double fs) noexcept
{
    auto& slot = slots[static_cast<size_t>(slotIndex)];
    const auto count = static_cast<unsigned>(n);
    const int kind = node.processorKind.load(relaxed);
    const bool bypassed = node.bypassed.load(relaxed);

    switch (kind)
    {
        case kGain:
            slot.gain.setParams(fs, node.gainDb.load(relaxed), bypassed, node.polarityInverted.load(relaxed));
            slot.gain.processBlock(buffer, buffer, count);
            break;

        case kIir:
            for (unsigned b = 0; b < static_cast<unsigned>(kMaxEqBands); ++b)
            {
                const auto& band = node.bands[b];
                const auto revision = band.revision.load(std::memory_order_acquire);
                if (revision == slot.lastBandRevision[b])
                    continue;
                const auto type = static_cast<ParametricEQ::FilterType>(std::clamp(band.type.load(relaxed), 0, 5));
                slot.eq.setBandParams(b, type, std::max(band.frequencyHz.load(relaxed), 0.0),
                                      std::max(band.q.load(relaxed), 0.000001), band.gainDb.load(relaxed));
                slot.eq.setBandEnabled(b, band.enabled.load(relaxed));
                slot.lastBandRevision[b] = revision;
            }
            if (! bypassed)
                slot.eq.processBlock(buffer, buffer, count);
            break;

        case kDelay:
        {
            const auto revision = node.delayRevision.load(std::memory_order_acquire);
            if (revision != slot.lastDelayRevision)
            {
                const double samples = std::round(fs * node.delayUs.load(relaxed) / 1000000.0);
                slot.delay.setParams(static_cast<unsigned>(std::max(samples, 0.0)), bypassed);
                slot.lastDelayRevision = revision;
            }
            slot.delay.processBlock(buffer, buffer, count);
            break;
        }

        case kFir:
            slot.fir.setBypassed(bypassed);
            slot.fir.processBlock(buffer, buffer, count);
            break;

        case kPeaking:
        {
            const auto& band = node.bands[0];
            const auto revision = band.revision.load(std::memory_order_acquire);
            if (revision != slot.lastBandRevision[0])
            {
                slot.peaking.setParams(fs, band.frequencyHz.load(relaxed), band.gainDb.load(relaxed), band.q.load(relaxed));
                slot.lastBandRevision[0] = revision;
            }
            slot.peaking.setBypassed(bypassed);
            slot.peaking.processBlock(buffer, buffer, count);
            break;
        }

        case kHighShelf:
        case kLowShelf:
        {
            const auto& band = node.bands[0];
            const auto revision = band.revision.load(std::memory_order_acquire);
            if (revision != slot.lastBandRevision[0])
            {
                const auto type = kind == kHighShelf ? ShelvingFilterProcessor::Type::High : ShelvingFilterProcessor::Type::Low;
                slot.shelf.setParams(fs, type, node.shelfOrder.load(relaxed), band.frequencyHz.load(relaxed),
                                     band.gainDb.load(relaxed), band.q.load(relaxed));
                slot.lastBandRevision[0] = revision;
            }
            if (bypassed != slot.shelf.isBypassed())
                slot.shelf.setBypassed(bypassed, static_cast<unsigned>(std::max(std::lround(0.005 * fs), 1L)));
            slot.shelf.processBlock(buffer, buffer, count);
            break;
        }

        case kLowPass:
            if (slot.lowPass != nullptr)
                slot.lowPass->processBlock(buffer, buffer, count);
            break;

        case kHighPass:
            if (slot.highPass != nullptr)
                slot.highPass->processBlock(buffer, buffer, count);
            break;

        default:
            if (isArithmetic(kind))
            {
                const int sourceA = node.sourceA.load(relaxed);
                const int sourceB = node.sourceB.load(relaxed);
                const bool aSignal = sourceA >= 0 && sourceA < kNodeSlots && hasSignal[static_cast<size_t>(sourceA)];
                const bool bSignal = sourceB >= 0 && sourceB < kNodeSlots && hasSignal[static_cast<size_t>(sourceB)];
                slot.arithmetic.setParams(static_cast<ArithmeticProcessor::Operation>(kind - kAdd), bypassed,
                                          node.divideFloorDb.load(relaxed), node.divideLimitDb.load(relaxed));
                slot.arithmetic.processBlock(aSignal ? nodeBuffer(sourceA) : nullptr, bSignal ? nodeBuffer(sourceB) : nullptr,
                                             buffer, count);
            }
            break; // Empty: the copy of source A passes unchanged.
    }
}

void AudioEngine::audioDeviceIOCallbackWithContext(const float* const* inputChannelData, int numInputChannels,
                                                   float* const* outputChannelData, int numOutputChannels, int numSamples,
                                                   const juce::AudioIODeviceCallbackContext&)
{
    // Decaying filter tails must not fall into denormal arithmetic.
    const juce::ScopedNoDenormals noDenormals;
    impl->processCallback(inputChannelData, numInputChannels, outputChannelData, numOutputChannels, numSamples);
}
} // namespace speaker
