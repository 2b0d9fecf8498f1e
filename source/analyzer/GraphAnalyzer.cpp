#include "analyzer/GraphAnalyzer.h"

#include "analyzer/AnalyzerFft.h"
#include "analyzer/AnalyzerGraph.h"
#include "analyzer/OfflineProcessor.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <exception>
#include <numbers>
#include <optional>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace speaker
{
namespace
{
constexpr const char* kCancelledMessage = "Analysis was replaced by a newer request.";
constexpr const char* kNotPreparedMessage = "The selected path could not be prepared.";

using Complex = std::complex<double>;

// The request after the clamps every analysis starts with.
struct Request
{
    double fs = 48000.0;
    double duration = 1.0;
    double levelDb = -12.0;
    double amplitude = 0.0;
    double sweepStartHz = 20.0;
    double sweepEndHz = 20000.0;
    bool sweep = false;
};

double clampedDuration(double seconds) { return std::clamp(std::isfinite(seconds) ? seconds : 1.0, 0.1, 10.0); }

Request clampRequest(double sampleRateHz, const GraphAnalyzerOptions& options)
{
    Request r;
    r.fs = analyzerSampleRate(sampleRateHz);
    r.duration = clampedDuration(options.durationSeconds);
    r.levelDb = std::clamp(std::isfinite(options.levelDb) ? options.levelDb : -12.0, -60.0, 0.0);
    r.amplitude = std::pow(10.0, r.levelDb / 20.0);
    r.sweepStartHz = std::isfinite(options.sweepStartHz) ? options.sweepStartHz : 20.0;
    r.sweepEndHz = std::isfinite(options.sweepEndHz) ? options.sweepEndHz : 20000.0;
    r.sweep = options.excitation == AnalyzerExcitation::logSweep;
    return r;
}

// The logarithmic sweep: frequencies, length, fade and the phase of every sample.
struct Sweep
{
    double f1 = 18.0;
    double f2 = 20000.0;
    std::int64_t length = 2; // Ns
    std::int64_t fade = 0;   // F
    double logRatio = 1.0;   // L
    std::vector<double> cosPhase;
    std::vector<double> sinPhase;

    double envelope(std::int64_t n) const noexcept
    {
        if (fade <= 0)
            return 1.0;
        if (n < fade)
            return 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(n) / static_cast<double>(fade));
        if (n >= length - fade)
            return 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(length - 1 - n) / static_cast<double>(fade));
        return 1.0;
    }
};

Sweep planSweep(const Request& r, std::int64_t n)
{
    Sweep s;
    const double fs = r.fs;
    s.f1 = r.sweepStartHz < 18.0 ? 18.0 : std::min(r.sweepStartHz, 0.45 * fs);
    s.f2 = r.sweepEndHz < s.f1 + 1.0 ? s.f1 + 1.0 : std::min(r.sweepEndHz, 0.499 * fs);
    const auto wanted = static_cast<std::int64_t>(std::ceil(fs * r.duration));
    const std::int64_t tail = std::max<std::int64_t>(2048, std::llround(0.1 * fs));
    s.length = wanted < 2 ? 2 : std::min(wanted, std::max<std::int64_t>(n - tail, 2));
    s.fade = std::min<std::int64_t>(s.length / 8, std::llround(0.005 * fs));
    s.logRatio = std::log(s.f2 / s.f1);

    const double last = static_cast<double>(s.length - 1);
    const double k = 2.0 * std::numbers::pi * s.f1 * (last / fs) / s.logRatio;
    s.cosPhase.resize(static_cast<size_t>(s.length));
    s.sinPhase.resize(static_cast<size_t>(s.length));
    for (std::int64_t i = 0; i < s.length; ++i)
    {
        const double phase = k * std::expm1(s.logRatio * static_cast<double>(i) / last);
        s.cosPhase[static_cast<size_t>(i)] = std::cos(phase);
        s.sinPhase[static_cast<size_t>(i)] = std::sin(phase);
    }
    return s;
}

// Denormals would slow the decaying tails of recursive filters a hundredfold.
class ScopedFlushDenormals
{
public:
#if defined(__SSE__) || defined(__x86_64__)
    ScopedFlushDenormals() : saved(_mm_getcsr()) { _mm_setcsr(saved | 0x8040u); }
    ~ScopedFlushDenormals() { _mm_setcsr(saved); }

private:
    unsigned saved;
#else
    ScopedFlushDenormals() = default;
#endif
};

juce::var numbers(const std::vector<double>& values)
{
    juce::Array<juce::var> array;
    array.ensureStorageAllocated(static_cast<int>(values.size()));
    for (const double v : values)
        array.add(v);
    return array;
}

juce::var integers(const std::vector<std::int64_t>& values)
{
    juce::Array<juce::var> array;
    array.ensureStorageAllocated(static_cast<int>(values.size()));
    for (const auto v : values)
        array.add(static_cast<juce::int64>(v));
    return array;
}

juce::var texts(const std::vector<std::string>& values)
{
    juce::Array<juce::var> array;
    for (const auto& v : values)
        array.add(juce::String(v));
    return array;
}

double toDb(double ratio) { return 20.0 * std::log10(ratio); }

bool isInput(const CanvasNodeSettings& n) { return n.kind == static_cast<int>(CanvasNodeKind::input); }
bool isOutput(const CanvasNodeSettings& n) { return n.kind == static_cast<int>(CanvasNodeKind::output); }

double inputGain(const AppSettings& p, const CanvasNodeSettings& n)
{
    if (n.channelIndex < 0 || n.channelIndex >= std::min(p.inputCount, kMaxInputs))
        return 1.0;
    return std::pow(10.0, p.inputs[static_cast<size_t>(n.channelIndex)].volumeDb / 20.0);
}

double outputGain(const AppSettings& p, const CanvasNodeSettings& n)
{
    if (n.channelIndex < 0 || n.channelIndex >= std::min(p.outputCount, kMaxOutputs))
        return 1.0;
    return std::pow(10.0, p.outputs[static_cast<size_t>(n.channelIndex)].volumeDb / 20.0);
}

// One fitted point of the distortion grid.
struct DistortionPoint
{
    double fundamental = 0.0;
    std::array<double, 6> harmonics {}; // index k = 2 ... 5
};

DistortionPoint fitDistortion(const double* y, std::int64_t start, std::int64_t end, std::int64_t latency,
                              const Sweep& sweep)
{
    DistortionPoint point;
    const std::int64_t m = end - start;
    if (m < 16)
        return point;

    // Hann weights by rotation: w(v) = 0.5 - 0.5 cos(2 pi v / (m - 1)).
    const double step = 2.0 * std::numbers::pi / static_cast<double>(m - 1);
    const Complex rotation(std::cos(step), std::sin(step));
    auto basis = [&](std::int64_t n, double& e, double& c, double& s) {
        const std::int64_t k = std::clamp<std::int64_t>(n - latency, 0, sweep.length - 1);
        e = sweep.envelope(k);
        c = sweep.cosPhase[static_cast<size_t>(k)];
        s = sweep.sinPhase[static_cast<size_t>(k)];
    };

    std::array<std::array<double, 3>, 3> normal {};
    std::array<double, 3> rhs {};
    Complex turn(1.0, 0.0);
    for (std::int64_t v = 0; v < m; ++v, turn *= rotation)
    {
        const double w = 0.5 - 0.5 * turn.real();
        double e, c, s;
        basis(start + v, e, c, s);
        const double g[3] = { 1.0, e * c, e * s };
        const double target = y[start + v];
        for (int i = 0; i < 3; ++i)
        {
            rhs[static_cast<size_t>(i)] += w * g[i] * target;
            for (int j = i; j < 3; ++j)
                normal[static_cast<size_t>(i)][static_cast<size_t>(j)] += w * g[i] * g[j];
        }
    }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < i; ++j)
            normal[static_cast<size_t>(i)][static_cast<size_t>(j)] = normal[static_cast<size_t>(j)][static_cast<size_t>(i)];

    std::array<double, 3> fit {};
    if (! solveThreeByThree(normal, rhs, fit))
        return point;
    point.fundamental = std::hypot(fit[1], fit[2]);

    // Harmonic k against e^k cos(k phi) and e^k sin(k phi): the powers of e e^(i phi).
    std::array<double, 6> scc {}, sss {}, scs {}, src {}, srs {};
    turn = Complex(1.0, 0.0);
    for (std::int64_t v = 0; v < m; ++v, turn *= rotation)
    {
        const double w = 0.5 - 0.5 * turn.real();
        double e, c, s;
        basis(start + v, e, c, s);
        const double r = y[start + v] - fit[0] - fit[1] * e * c - fit[2] * e * s;
        const Complex z(e * c, e * s);
        Complex power = z;
        for (size_t k = 2; k <= 5; ++k)
        {
            power *= z;
            const double bc = power.real(), bs = power.imag();
            scc[k] += w * bc * bc;
            sss[k] += w * bs * bs;
            scs[k] += w * bc * bs;
            src[k] += w * r * bc;
            srs[k] += w * r * bs;
        }
    }
    for (size_t k = 2; k <= 5; ++k)
    {
        const double det = scc[k] * sss[k] - scs[k] * scs[k];
        if (! (std::abs(det) >= 1e-18))
            continue;
        const double bk = (src[k] * sss[k] - srs[k] * scs[k]) / det;
        const double dk = (srs[k] * scc[k] - src[k] * scs[k]) / det;
        if (std::isfinite(bk) && std::isfinite(dk))
            point.harmonics[k] = std::hypot(bk, dk);
    }
    return point;
}

class Analysis
{
public:
    Analysis(const AppSettings& p, const std::string& id, bool path, double rate, const GraphAnalyzerOptions& o,
             const std::function<bool()>& cancel)
        : project(p), targetId(id), includePath(path), options(o), isCancelled(cancel), request(clampRequest(rate, o))
    {
    }

    juce::var run();

private:
    bool cancelled() const { return isCancelled && isCancelled(); }
    static juce::var error(const std::string& message) { return resultWithStatus("error", message); }

    const AppSettings& project;
    const std::string& targetId;
    const bool includePath;
    const GraphAnalyzerOptions& options;
    const std::function<bool()>& isCancelled;
    const Request request;
};

juce::var Analysis::run()
{
    const double fs = request.fs;
    if (project.nodes.empty())
        return resultWithStatus("empty", "Add and connect DSP Blocks before opening Analyzer.");

    const AnalyzerGraph graph = resolveAnalyzerGraph(project, targetId, includePath);
    if (graph.target < 0)
        return error("The selected analysis target no longer exists.");
    const auto& targetNode = project.nodes[static_cast<size_t>(graph.target)];
    if (! includePath && isInput(targetNode))
        return error("Select a DSP Block for Block analysis.");
    if (includePath && isOutput(targetNode) && graph.sourceA[static_cast<size_t>(graph.target)] < 0)
        return error("Connect an Input or DSP Block to this Output before analyzing it.");
    if (graph.analysedSet.empty())
        return error("No analyzable signal path reaches the selected target.");

    std::vector<int> order;
    if (! orderAnalysedSet(graph, order))
        return error("The selected signal graph contains a loop.");

    const auto& ids = options.excitationInputIds;
    auto excited = [&](const CanvasNodeSettings& n) {
        return isInput(n) && (ids.empty() || std::find(ids.begin(), ids.end(), n.id) != ids.end());
    };
    if (! ids.empty()
        && std::none_of(order.begin(), order.end(), [&](int i) { return excited(project.nodes[static_cast<size_t>(i)]); }))
        return error("Select at least one Input on this signal path.");

    int sourceNode = order.front();
    for (const int i : order)
        if (excited(project.nodes[static_cast<size_t>(i)]))
        {
            sourceNode = i;
            break;
        }

    // Preparation.
    const auto count = project.nodes.size();
    std::vector<int> slotOf(count, -1);
    for (size_t s = 0; s < order.size(); ++s)
        slotOf[static_cast<size_t>(order[s])] = static_cast<int>(s);

    juce::Array<juce::var> pathEntries;
    std::vector<std::optional<OfflineProcessor>> processors(order.size());
    for (size_t s = 0; s < order.size(); ++s)
    {
        const auto& node = project.nodes[static_cast<size_t>(order[s])];
        const bool block = ! isInput(node) && ! isOutput(node);
        auto* entry = new juce::DynamicObject();
        entry->setProperty("id", juce::String(node.id));
        entry->setProperty("label", juce::String(nodeLabel(node)));
        entry->setProperty("type", isInput(node) ? "Input" : (isOutput(node) ? "Output" : "Block"));
        entry->setProperty("bypassed", block && node.processor.bypassed);
        pathEntries.add(juce::var(entry));
        if (! block)
            continue;
        if (node.kind != static_cast<int>(CanvasNodeKind::processor))
            return error(kNotPreparedMessage);

        processors[s].emplace(node.processor, fs);
        std::string message;
        bool ok = false;
        try
        {
            ok = processors[s]->prepare(message);
        }
        catch (const std::exception& e)
        {
            message = e.what();
        }
        catch (...)
        {
            message = kNotPreparedMessage;
        }
        if (! ok)
            return error(message.empty() ? std::string(kNotPreparedMessage) : message);
    }
    if (cancelled())
        return resultWithStatus("cancelled", kCancelledMessage);

    // Excitation.
    const std::int64_t n = analyzerFftSize(fs, request.duration, options.excitation);
    const int fftOrder = static_cast<int>(std::lround(std::log2(static_cast<double>(n))));
    std::vector<float> x(static_cast<size_t>(n), 0.0f);
    std::optional<Sweep> sweep;
    if (request.sweep)
    {
        sweep = planSweep(request, n);
        for (std::int64_t i = 0; i < sweep->length; ++i)
            x[static_cast<size_t>(i)] = static_cast<float>(request.amplitude * sweep->envelope(i)
                                                           * sweep->sinPhase[static_cast<size_t>(i)]);
    }
    else
    {
        x[0] = static_cast<float>(request.amplitude);
    }

    // Offline run in blocks.
    std::vector<std::vector<float>> buffers(order.size(), std::vector<float>(kAnalyzerBlockSize, 0.0f));
    std::vector<double> gains(order.size(), 1.0);
    for (size_t s = 0; s < order.size(); ++s)
    {
        const auto& node = project.nodes[static_cast<size_t>(order[s])];
        gains[s] = isInput(node) ? inputGain(project, node) : (isOutput(node) ? outputGain(project, node) : 1.0);
    }
    auto slot = [&](int nodeIndex) { return nodeIndex >= 0 ? slotOf[static_cast<size_t>(nodeIndex)] : -1; };
    const int targetSlot = slotOf[static_cast<size_t>(graph.target)];

    AnalyzerFftBuffer<double> y(static_cast<size_t>(n));
    std::int64_t processed = 0;
    {
        const ScopedFlushDenormals noDenormals;
        double runningPeak = 0.0;
        int quietBlocks = 0;
        for (std::int64_t pos = 0; pos < n; pos += kAnalyzerBlockSize)
        {
            if (cancelled())
                return resultWithStatus("cancelled", kCancelledMessage);
            const auto len = static_cast<unsigned>(std::min<std::int64_t>(kAnalyzerBlockSize, n - pos));
            const float* excitation = x.data() + pos;

            for (size_t s = 0; s < order.size(); ++s)
            {
                const int nodeIndex = order[s];
                const auto& node = project.nodes[static_cast<size_t>(nodeIndex)];
                float* out = buffers[s].data();
                const bool isTarget = nodeIndex == graph.target;
                // A source inside the analysed set, else the excitation for the target of a Block analysis.
                auto operand = [&](int source) -> const float* {
                    if (const int src = slot(source); src >= 0)
                        return buffers[static_cast<size_t>(src)].data();
                    return ! includePath && isTarget ? excitation : nullptr;
                };

                if (isInput(node))
                {
                    if (excited(node))
                    {
                        const auto g = static_cast<float>(gains[s]);
                        for (unsigned i = 0; i < len; ++i)
                            out[i] = excitation[i] * g;
                    }
                    else
                        std::fill(out, out + len, 0.0f);
                    continue;
                }

                const float* a = operand(graph.sourceA[static_cast<size_t>(nodeIndex)]);
                if (processors[s] && processors[s]->isMath())
                {
                    const float* b = operand(graph.sourceB[static_cast<size_t>(nodeIndex)]);
                    processors[s]->process(a, b, out, len);
                    continue;
                }
                if (a != nullptr)
                    std::copy(a, a + len, out);
                else
                    std::fill(out, out + len, 0.0f);
                if (processors[s])
                    processors[s]->process(out, len);
                else if (gains[s] != 1.0)
                {
                    const auto g = static_cast<float>(gains[s]);
                    for (unsigned i = 0; i < len; ++i)
                        out[i] *= g;
                }
            }

            const float* response = buffers[static_cast<size_t>(targetSlot)].data();
            double blockPeak = 0.0;
            for (unsigned i = 0; i < len; ++i)
            {
                y[static_cast<size_t>(pos + i)] = response[i];
                blockPeak = std::max(blockPeak, std::abs(static_cast<double>(response[i])));
            }
            processed = pos + len;

            if (! request.sweep)
            {
                runningPeak = std::max(runningPeak, blockPeak);
                if (runningPeak > 0.0)
                {
                    quietBlocks = blockPeak <= std::max(runningPeak * 1e-7, 1e-12) ? quietBlocks + 1 : 0;
                    if (quietBlocks >= 8)
                        break;
                }
            }
        }
    }

    for (std::int64_t i = 0; i < processed; ++i)
        if (! std::isfinite(y[static_cast<size_t>(i)]))
            return error("The selected path produced a non-finite response.");

    // Spectrum and the impulse response.
    const auto& fft = analyzerFft(fftOrder);
    const size_t bins = fft.numBins();
    AnalyzerFftBuffer<Complex> spectrum(bins);
    AnalyzerFftBuffer<double> impulse(static_cast<size_t>(n));
    if (request.sweep)
    {
        AnalyzerFftBuffer<double> xd(static_cast<size_t>(n));
        for (std::int64_t i = 0; i < n; ++i)
            xd[static_cast<size_t>(i)] = x[static_cast<size_t>(i)];
        AnalyzerFftBuffer<Complex> xs(bins);
        fft.forward(xd.data(), xs.data());
        fft.forward(y.data(), spectrum.data());
        double maxPower = 0.0;
        for (size_t k = 0; k < bins; ++k)
            maxPower = std::max(maxPower, std::norm(xs[k]));
        const double epsilon = std::max(1e-12 * maxPower, 1e-20);
        for (size_t k = 0; k < bins; ++k)
            spectrum[k] = spectrum[k] * std::conj(xs[k]) / (std::norm(xs[k]) + epsilon);
        // The inverse consumes its input; xs serves as the scratch copy.
        std::copy(spectrum.data(), spectrum.data() + bins, xs.data());
        fft.inverse(xs.data(), impulse.data());
    }
    else
    {
        // Divide by the level actually sent, the float nearest to A.
        const double sent = x[0];
        for (std::int64_t i = 0; i < n; ++i)
            impulse[static_cast<size_t>(i)] = y[static_cast<size_t>(i)] / sent;
        fft.forward(impulse.data(), spectrum.data());
    }

    // Main peak: over the causal start of a deconvolved response, where the
    // harmonics' images (at negative times) cannot win.
    const std::int64_t searchLength = request.sweep ? std::min<std::int64_t>(n, n < 16392 ? 2048 : n / 8) : n;
    std::int64_t peak = 0;
    for (std::int64_t i = 1; i < searchLength; ++i)
        if (std::abs(impulse[static_cast<size_t>(i)]) > std::abs(impulse[static_cast<size_t>(peak)]))
            peak = i;
    const double peakValue = impulse[static_cast<size_t>(peak)];

    // Response grid. Between two bins the main peak's delay turns the phase by
    // 2 pi peak / N, which a straight complex interpolation would read as a dip
    // in magnitude; it is taken out before interpolating and put back exactly.
    const double fLo = request.sweep ? sweep->f1 : 18.0;
    const double fHi = request.sweep ? sweep->f2 : std::min(0.499 * fs, 22000.0);
    const double delayTurn = -2.0 * std::numbers::pi * static_cast<double>(peak) / static_cast<double>(n);
    std::vector<double> gridHz(kAnalyzerGridPoints), magnitudeDb(kAnalyzerGridPoints), phaseDeg(kAnalyzerGridPoints);
    for (int i = 0; i < kAnalyzerGridPoints; ++i)
    {
        const double f = fLo * std::pow(fHi / fLo, static_cast<double>(i) / (kAnalyzerGridPoints - 1));
        const double p = f * static_cast<double>(n) / fs;
        const auto k = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(p)), 0, n / 2 - 1);
        const double t = p - static_cast<double>(k);
        const Complex h0 = spectrum[static_cast<size_t>(k)] * std::polar(1.0, -delayTurn * static_cast<double>(k));
        const Complex h1 = spectrum[static_cast<size_t>(k + 1)] * std::polar(1.0, -delayTurn * static_cast<double>(k + 1));
        const Complex h = (h0 + (h1 - h0) * t) * std::polar(1.0, delayTurn * p);
        gridHz[static_cast<size_t>(i)] = f;
        magnitudeDb[static_cast<size_t>(i)] = toDb(std::max(std::abs(h), 1e-12));
        phaseDeg[static_cast<size_t>(i)] = std::atan2(h.imag(), h.real()) * 180.0 / std::numbers::pi;
    }

    // Harmonic distortion from the raw response.
    std::vector<double> distortionHz, thdDb, h2Db, h3Hz, h3Db;
    if (sweep && sweep->length > 2)
    {
        const double ratio = std::min(0.5 * 0.499 * fs, sweep->f2) / sweep->f1;
        const std::int64_t qMin = std::llround(0.015 * fs), qMax = std::llround(0.2 * fs);
        for (int j = 0; j < kAnalyzerDistortionPoints; ++j)
        {
            if (j % 16 == 0 && cancelled())
                return resultWithStatus("cancelled", kCancelledMessage);
            const double f = sweep->f1 * std::pow(ratio, static_cast<double>(j) / (kAnalyzerDistortionPoints - 1));
            // Where the sweep passes f, counted from the start of the sweep, then delayed by the path.
            const auto offset = std::clamp<std::int64_t>(
                std::llround(std::log(f / sweep->f1) / sweep->logRatio * static_cast<double>(sweep->length - 1)), 0,
                sweep->length - 1);
            const std::int64_t centre = peak + offset;
            const std::int64_t half = std::clamp<std::int64_t>(std::llround(8.0 * fs / f), qMin, qMax) / 2;
            const std::int64_t start = std::max(centre - half, peak);
            const std::int64_t end = std::min({ centre + half, peak + sweep->length, n });
            const auto point = fitDistortion(y.data(), start, end, peak, *sweep);

            distortionHz.push_back(f);
            const bool withH3 = 3.0 * f < 0.499 * fs;
            if (withH3)
                h3Hz.push_back(f);
            if (point.fundamental <= 1e-10)
            {
                thdDb.push_back(-180.0);
                h2Db.push_back(-180.0);
                if (withH3)
                    h3Db.push_back(-180.0);
                continue;
            }
            double sum = 0.0;
            for (size_t k = 2; k <= 5; ++k)
                if (static_cast<double>(k) * f < 0.499 * fs)
                    sum += point.harmonics[k] * point.harmonics[k];
            thdDb.push_back(toDb(std::max(std::sqrt(sum) / point.fundamental, 1e-9)));
            h2Db.push_back(toDb(std::max(point.harmonics[2] / point.fundamental, 1e-9)));
            if (withH3)
                h3Db.push_back(toDb(std::max(point.harmonics[3] / point.fundamental, 1e-9)));
        }
    }

    // Decimated impulse: the largest sample of each of at most 1600 spans.
    const double threshold = std::max(1e-5 * std::abs(peakValue), 1e-9);
    std::int64_t lastSignificant = peak;
    for (std::int64_t i = n - 1; i > peak; --i)
        if (std::abs(impulse[static_cast<size_t>(i)]) >= threshold)
        {
            lastSignificant = i;
            break;
        }
    const std::int64_t shown = std::clamp<std::int64_t>(
        std::max<std::int64_t>(std::llround(0.02 * fs), lastSignificant + std::llround(0.005 * fs) + 1), 1, n);
    const std::int64_t points = std::min<std::int64_t>(shown, kAnalyzerImpulsePoints);
    std::vector<std::int64_t> impulseIndex;
    std::vector<double> impulseValue;
    impulseIndex.reserve(static_cast<size_t>(points));
    impulseValue.reserve(static_cast<size_t>(points));
    for (std::int64_t j = 0; j < points; ++j)
    {
        const std::int64_t from = shown * j / points;
        const std::int64_t to = std::max(shown * (j + 1) / points, from + 1);
        std::int64_t best = from;
        for (std::int64_t i = from + 1; i < to; ++i)
            if (std::abs(impulse[static_cast<size_t>(i)]) > std::abs(impulse[static_cast<size_t>(best)]))
                best = i;
        impulseIndex.push_back(best);
        impulseValue.push_back(impulse[static_cast<size_t>(best)]);
    }

    // The result object.
    const auto& source = project.nodes[static_cast<size_t>(sourceNode)];
    const bool sourceIsBlock = ! isInput(source) && ! isOutput(source);
    auto* result = new juce::DynamicObject();
    juce::var holder(result);
    result->setProperty("status", "ok");
    result->setProperty("message", "");
    result->setProperty("mode", includePath ? "path" : "block");
    result->setProperty("sampleRateHz", fs);
    result->setProperty("fftSize", static_cast<int>(n));
    result->setProperty("excitation", request.sweep ? "logSweep" : "impulse");
    result->setProperty("analysisDurationSeconds",
                        request.sweep ? static_cast<double>(sweep->length - 1) / fs : request.duration);
    result->setProperty("levelDb", request.levelDb);
    if (sweep)
    {
        result->setProperty("sweepStartHz", sweep->f1);
        result->setProperty("sweepEndHz", sweep->f2);
    }
    result->setProperty("sourceId", juce::String(source.id));
    result->setProperty("sourceLabel",
                        ! includePath ? juce::String("Block Input")
                                      : (sourceIsBlock ? juce::String("Path Input") : juce::String(nodeLabel(source))));
    result->setProperty("targetId", juce::String(targetNode.id));
    result->setProperty("targetLabel", juce::String(nodeLabel(targetNode)));
    result->setProperty("excitationInputIds", texts(options.excitationInputIds));
    result->setProperty("path", pathEntries);
    result->setProperty("frequenciesHz", numbers(gridHz));
    result->setProperty("magnitudeDb", numbers(magnitudeDb));
    result->setProperty("phaseDegrees", numbers(phaseDeg));
    result->setProperty("distortionFrequenciesHz", numbers(distortionHz));
    result->setProperty("thdDb", numbers(thdDb));
    result->setProperty("h2Db", numbers(h2Db));
    result->setProperty("h3FrequenciesHz", numbers(h3Hz));
    result->setProperty("h3Db", numbers(h3Db));
    result->setProperty("impulseSamples", integers(impulseIndex));
    result->setProperty("impulseValues", numbers(impulseValue));
    result->setProperty("impulseLengthSamples", static_cast<juce::int64>(shown));
    result->setProperty("processedSamples", static_cast<juce::int64>(processed));
    result->setProperty("peakSample", static_cast<juce::int64>(peak));
    result->setProperty("peakValue", peakValue);
    result->setProperty("durationMs", static_cast<double>(shown) * 1000.0 / fs);
    return holder;
}
} // namespace

double analyzerSampleRate(double requestedHz)
{
    for (const double rate : { 44100.0, 48000.0, 96000.0 })
        if (std::abs(requestedHz - rate) <= 0.5)
            return rate;
    return 48000.0;
}

int analyzerFftSize(double sampleRateHz, double durationSeconds, AnalyzerExcitation excitation)
{
    const double fs = analyzerSampleRate(sampleRateHz);
    auto needed = static_cast<std::int64_t>(std::ceil(clampedDuration(durationSeconds) * fs));
    if (excitation == AnalyzerExcitation::logSweep)
        needed += std::max<std::int64_t>(2048, static_cast<std::int64_t>(std::ceil(0.1 * fs)));
    std::int64_t n = std::int64_t { 1 } << kAnalyzerFftMinOrder;
    while (n < needed && n < (std::int64_t { 1 } << kAnalyzerFftMaxOrder))
        n *= 2;
    return static_cast<int>(n);
}

bool solveThreeByThree(const std::array<std::array<double, 3>, 3>& matrix, const std::array<double, 3>& rhs,
                       std::array<double, 3>& solution)
{
    double a[3][4];
    for (int i = 0; i < 3; ++i)
    {
        for (int j = 0; j < 3; ++j)
            a[i][j] = matrix[static_cast<size_t>(i)][static_cast<size_t>(j)];
        a[i][3] = rhs[static_cast<size_t>(i)];
    }
    for (int col = 0; col < 3; ++col)
    {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::abs(a[r][col]) > std::abs(a[pivot][col]))
                pivot = r;
        if (! (std::abs(a[pivot][col]) >= 1e-18))
            return false;
        if (pivot != col)
            for (int j = 0; j < 4; ++j)
                std::swap(a[col][j], a[pivot][j]);
        for (int r = col + 1; r < 3; ++r)
        {
            const double factor = a[r][col] / a[col][col];
            for (int j = col; j < 4; ++j)
                a[r][j] -= factor * a[col][j];
        }
    }
    for (int i = 2; i >= 0; --i)
    {
        double v = a[i][3];
        for (int j = i + 1; j < 3; ++j)
            v -= a[i][j] * solution[static_cast<size_t>(j)];
        v /= a[i][i];
        if (! std::isfinite(v))
            return false;
        solution[static_cast<size_t>(i)] = v;
    }
    return true;
}

juce::var resultWithStatus(const std::string& status, const std::string& message)
{
    auto* object = new juce::DynamicObject();
    object->setProperty("status", juce::String(status));
    object->setProperty("message", juce::String(message));
    return juce::var(object);
}

std::string nodeLabel(const CanvasNodeSettings& node)
{
    if (node.kind == static_cast<int>(CanvasNodeKind::input))
        return "Input " + std::to_string(node.channelIndex + 1);
    if (node.kind == static_cast<int>(CanvasNodeKind::output))
        return "Output " + std::to_string(node.channelIndex + 1);
    return processingModuleKindName(node.processor.kind);
}

juce::var analyzeCanvasGraph(const AppSettings& project, const std::string& targetId, bool includePath,
                             double sampleRateHz, const GraphAnalyzerOptions& options,
                             const std::function<bool()>& isCancelled)
{
    try
    {
        return Analysis(project, targetId, includePath, sampleRateHz, options, isCancelled).run();
    }
    catch (...)
    {
        // Memory for the longest analyses is the one thing that can run out here.
        return resultWithStatus("error", kNotPreparedMessage);
    }
}
} // namespace speaker
