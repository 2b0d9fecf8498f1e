// corvana-cli: project checks and conversions without the application window.

#include "analyzer/GraphAnalyzer.h"
#include "engine/OfflineRenderer.h"
#include "model/AppSettings.h"
#include "model/FirFile.h"
#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_core/juce_core.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace
{
using Arguments = std::vector<std::string>;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Command
{
    const char* name;
    const char* usage;
    size_t argumentCount;
    std::function<int(const Arguments&)> run;
    size_t optionalArgumentCount = 0; // trailing "--name value" words
};

juce::File fileFromArgument(const std::string& path)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile(juce::String(path));
}

std::string plural(size_t count, const char* word)
{
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

bool readProject(const std::string& path, speaker::AppSettings& settings)
{
    const auto file = fileFromArgument(path);
    std::string error;
    if (! file.existsAsFile())
        error = "The project file does not exist.";
    else if (speaker::readProjectFile(file, settings, error))
        return true;
    std::cerr << error << '\n';
    return false;
}

int check(const Arguments& args)
{
    speaker::AppSettings settings;
    if (! readProject(args[0], settings))
        return kFailed;

    const auto blocks = std::count_if(settings.nodes.begin(), settings.nodes.end(), [](const auto& node) {
        return node.kind == static_cast<int>(speaker::CanvasNodeKind::processor);
    });
    std::cout << settings.projectName << ": " << plural(static_cast<size_t>(settings.inputCount), "input") << ", "
              << plural(static_cast<size_t>(settings.outputCount), "output") << ", "
              << plural(static_cast<size_t>(blocks), "Block") << ", "
              << plural(settings.connections.size(), "connection") << ", "
              << plural(settings.submodules.size(), "Subsystem") << '\n';
    return kOk;
}

int checkFir(const Arguments& args)
{
    std::string error;
    const auto parsed = speaker::parseFirFile(fileFromArgument(args[0]), error);
    if (! parsed)
    {
        std::cerr << error << '\n';
        return kFailed;
    }
    std::cout << parsed->fileName << ": " << plural(parsed->coefficients.size(), "tap") << " at "
              << parsed->sampleRateHz << " Hz\n";
    return kOk;
}

int upgrade(const Arguments& args)
{
    speaker::AppSettings settings;
    if (! readProject(args[0], settings))
        return kFailed;

    std::string error;
    const auto text = speaker::projectJsonText(speaker::settingsToVar(settings, true));
    if (! speaker::writeTextFileAtomically(fileFromArgument(args[1]), text, error))
    {
        std::cerr << error << '\n';
        return kFailed;
    }
    return kOk;
}

bool parseOption(const Arguments& args, size_t from, const std::string& name, double& value)
{
    for (size_t i = from; i + 1 < args.size(); i += 2)
    {
        if (args[i] != name)
            continue;
        const juce::String text(args[i + 1]);
        if (! text.containsOnly("0123456789."))
            return false;
        value = text.getDoubleValue();
    }
    return true;
}

bool validOptions(const Arguments& args, size_t from)
{
    if ((args.size() - from) % 2 != 0)
        return false;
    for (size_t i = from; i < args.size(); i += 2)
        if (args[i] != "--rate" && args[i] != "--buffer")
            return false;
    return true;
}

// Offline, the engine's deadline check would only see this process being
// preempted by others; the render times every callback itself and reports
// the callbacks that overran their buffer as deadline misses.
class FrozenClock final : public speaker::AudioClock
{
public:
    double nowSeconds() noexcept override { return 0.0; }
};

// Runs the project over a WAV file through the engine's own callback at full
// speed: file channel k feeds physical input k, and OUT holds physical outputs
// 1 ... the highest one the project uses. Samples are taken as they are at the
// device rate (no resampling).
int render(const Arguments& args)
{
    if (! validOptions(args, 3))
    {
        std::cerr << "usage: corvana-cli render PROJECT IN.wav OUT.wav [--rate R] [--buffer N]\n";
        return kUsage;
    }
    speaker::AppSettings settings;
    if (! readProject(args[0], settings))
        return kFailed;

    juce::WavAudioFormat wav;
    const auto inFile = fileFromArgument(args[1]);
    std::unique_ptr<juce::AudioFormatReader> reader(inFile.existsAsFile() ? wav.createReaderFor(inFile.createInputStream().release(), true) : nullptr);
    if (reader == nullptr)
    {
        std::cerr << "The input file is not a readable WAV file.\n";
        return kFailed;
    }
    double rate = reader->sampleRate;
    double buffer = 256;
    if (! parseOption(args, 3, "--rate", rate) || ! parseOption(args, 3, "--buffer", buffer))
    {
        std::cerr << "--rate and --buffer take a number.\n";
        return kUsage;
    }

    speaker::OfflineRenderer renderer;
    std::string error;
    if (! renderer.open(settings, rate, static_cast<int>(buffer), static_cast<int>(reader->numChannels), error))
    {
        std::cerr << error << '\n';
        return kFailed;
    }
    auto& engine = renderer.getEngine();
    FrozenClock frozen;
    engine.setClock(&frozen);
    const int n = renderer.bufferSize();
    const int ins = renderer.inputChannels();
    const int outs = renderer.outputChannels();
    const auto total = reader->lengthInSamples;

    juce::AudioBuffer<float> in(ins, n);
    juce::AudioBuffer<float> block(outs, n);
    juce::AudioBuffer<float> result(outs, static_cast<int>(total));
    std::vector<const float*> inPointers;
    std::vector<float*> outPointers;
    for (int c = 0; c < ins; ++c)
        inPointers.push_back(in.getReadPointer(c));
    for (int c = 0; c < outs; ++c)
        outPointers.push_back(block.getWritePointer(c));

    const double blockMs = n / rate * 1000.0;
    double sumMs = 0.0;
    double worstMs = 0.0;
    std::int64_t callbacks = 0;
    long long deadlineMisses = 0;
    for (juce::int64 start = 0; start < total; start += n)
    {
        const int count = static_cast<int>(std::min<juce::int64>(n, total - start));
        in.clear();
        reader->read(&in, 0, count, start, true, true);
        for (auto* channel : outPointers)
            juce::FloatVectorOperations::clear(channel, n);
        const auto started = std::chrono::steady_clock::now();
        renderer.process(inPointers.data(), outPointers.data());
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        if (ms >= blockMs)
            ++deadlineMisses;
        sumMs += ms;
        worstMs = std::max(worstMs, ms);
        ++callbacks;
        if (const int code = engine.getPendingSafetyStop(); code != 0)
        {
            std::cerr << speaker::AudioEngine::safetyStopMessage(code) << '\n';
            return kFailed;
        }
        // Raw copies: the engine writes through the channel pointers, which the
        // buffer's own "is clear" bookkeeping cannot see.
        for (int c = 0; c < outs; ++c)
            juce::FloatVectorOperations::copy(result.getWritePointer(c, static_cast<int>(start)), outPointers[static_cast<size_t>(c)], count);
    }

    const auto outFile = fileFromArgument(args[2]);
    outFile.deleteFile();
    std::unique_ptr<juce::OutputStream> stream(outFile.createOutputStream().release());
    std::unique_ptr<juce::AudioFormatWriter> writer(
        stream != nullptr ? wav.createWriterFor(stream.get(), rate, static_cast<unsigned>(outs), 32, {}, 0) : nullptr);
    if (writer == nullptr)
    {
        std::cerr << "The output file could not be written.\n";
        return kFailed;
    }
    stream.release(); // the writer owns it now
    if (! writer->writeFromAudioSampleBuffer(result, 0, result.getNumSamples()))
    {
        std::cerr << "The output file could not be written.\n";
        return kFailed;
    }
    writer.reset();

    const double mean = callbacks > 0 ? sumMs / static_cast<double>(callbacks) : 0.0;
    char line[256];
    std::snprintf(line, sizeof line, "%s: %lld samples, %d outputs at %.0f Hz / %d samples; DSP load mean %.2f %%, worst %.2f %%, %lld deadline misses\n",
                  settings.projectName.c_str(), static_cast<long long>(total), outs, rate, n, mean / blockMs * 100.0,
                  worstMs / blockMs * 100.0, deadlineMisses);
    std::cout << line;
    return kOk;
}

constexpr const char* kAnalyzeUsage = "analyze PROJECT --target NODE_ID [--mode path|block] [--rate HZ] [--sweep --start HZ --end HZ] "
                                        "[--duration S] [--level DB] [--inputs ID,ID] --format json|csv|frd [-o FILE]";

struct AnalyzeRequest
{
    std::string target;
    bool includePath = true;
    double rate = 48000.0;
    speaker::GraphAnalyzerOptions options;
    std::string format;
    std::string outPath;
};

bool parseNumber(const std::string& text, double& value)
{
    const char* end = text.data() + text.size();
    double parsed = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
    if (ec != std::errc() || ptr != end || ! std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

// Every option but --sweep takes one value; anything else is a usage error.
bool parseAnalyzeArguments(const Arguments& args, AnalyzeRequest& request)
{
    bool haveTarget = false;
    for (size_t i = 1; i < args.size(); ++i)
    {
        const std::string& name = args[i];
        if (name == "--sweep")
        {
            request.options.excitation = speaker::AnalyzerExcitation::logSweep;
            continue;
        }
        if (i + 1 >= args.size())
            return false;
        const std::string& value = args[++i];
        if (name == "--target")
        {
            request.target = value;
            haveTarget = ! value.empty();
        }
        else if (name == "--mode")
        {
            if (value != "path" && value != "block")
                return false;
            request.includePath = value == "path";
        }
        else if (name == "--format")
        {
            if (value != "json" && value != "csv" && value != "frd")
                return false;
            request.format = value;
        }
        else if (name == "--inputs")
        {
            request.options.excitationInputIds.clear();
            for (const auto& id : juce::StringArray::fromTokens(juce::String(value), ",", ""))
                if (id.trim().isNotEmpty())
                    request.options.excitationInputIds.push_back(id.trim().toStdString());
        }
        else if (name == "-o")
            request.outPath = value;
        else if (name == "--rate" ? ! parseNumber(value, request.rate)
                 : name == "--start" ? ! parseNumber(value, request.options.sweepStartHz)
                 : name == "--end" ? ! parseNumber(value, request.options.sweepEndHz)
                 : name == "--duration" ? ! parseNumber(value, request.options.durationSeconds)
                 : name == "--level" ? ! parseNumber(value, request.options.levelDb)
                 : true)
            return false;
    }
    return haveTarget && ! request.format.empty();
}

// Shortest text that reads back as the same double.
std::string number(double value)
{
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

std::vector<double> numberArray(const juce::var& array)
{
    std::vector<double> values;
    if (const auto* items = array.getArray())
        for (const auto& item : *items)
            values.push_back(static_cast<double>(item));
    return values;
}

// A distortion curve read at frequency f, straight in log frequency between its
// points; empty outside the curve.
std::string distortionAt(const std::vector<double>& hz, const std::vector<double>& db, double f)
{
    const size_t count = std::min(hz.size(), db.size());
    if (count == 0 || f < hz.front() * (1.0 - 1e-12) || f > hz[count - 1] * (1.0 + 1e-12))
        return {};
    size_t i = 0;
    while (i + 2 < count && hz[i + 1] < f)
        ++i;
    if (count == 1 || hz[i + 1] <= hz[i])
        return number(db[i]);
    const double t = std::clamp(std::log(f / hz[i]) / std::log(hz[i + 1] / hz[i]), 0.0, 1.0);
    return number(db[i] + (db[i + 1] - db[i]) * t);
}

std::string responseText(const juce::var& result, const std::string& format)
{
    const auto hz = numberArray(result["frequenciesHz"]);
    const auto magnitude = numberArray(result["magnitudeDb"]);
    const auto phase = numberArray(result["phaseDegrees"]);
    const size_t rows = std::min({ hz.size(), magnitude.size(), phase.size() });
    std::string text;
    if (format == "frd")
    {
        text = "* Corvana " + result["mode"].toString().toStdString() + " analysis of "
            + result["targetLabel"].toString().toStdString() + " (" + result["targetId"].toString().toStdString()
            + ")\n* Frequency(Hz)\tMagnitude(dB)\tPhase(deg)\n";
        for (size_t i = 0; i < rows; ++i)
            text += number(hz[i]) + "\t" + number(magnitude[i]) + "\t" + number(phase[i]) + "\n";
        return text;
    }

    // CSV; a sweep adds its distortion curves, read at the response frequencies.
    const bool sweep = result["excitation"].toString() == "logSweep";
    const auto distortionHz = numberArray(result["distortionFrequenciesHz"]);
    const auto thd = numberArray(result["thdDb"]);
    const auto h2 = numberArray(result["h2Db"]);
    const auto h3Hz = numberArray(result["h3FrequenciesHz"]);
    const auto h3 = numberArray(result["h3Db"]);
    text = sweep ? "frequency_hz,magnitude_db,phase_degrees,thd_db,h2_db,h3_db\n"
                 : "frequency_hz,magnitude_db,phase_degrees\n";
    for (size_t i = 0; i < rows; ++i)
    {
        text += number(hz[i]) + "," + number(magnitude[i]) + "," + number(phase[i]);
        if (sweep)
            text += "," + distortionAt(distortionHz, thd, hz[i]) + "," + distortionAt(distortionHz, h2, hz[i]) + ","
                + distortionAt(h3Hz, h3, hz[i]);
        text += "\n";
    }
    return text;
}

// Offline analysis of one path or Block, printed or written as JSON (the result
// object), CSV (frequency, magnitude, phase, and for sweeps THD, H2 and H3) or
// FRD (frequency, magnitude, phase).
int analyze(const Arguments& args)
{
    AnalyzeRequest request;
    if (! parseAnalyzeArguments(args, request))
    {
        std::cerr << "usage: corvana-cli " << kAnalyzeUsage << '\n';
        return kUsage;
    }
    speaker::AppSettings settings;
    if (! readProject(args[0], settings))
        return kFailed;

    const auto result = speaker::analyzeCanvasGraph(settings, request.target, request.includePath, request.rate,
                                                    request.options);
    if (result["status"].toString() != "ok")
    {
        std::cerr << result["message"].toString() << '\n';
        return kFailed;
    }

    const std::string text = request.format == "json" ? juce::JSON::toString(result, true, 15).toStdString() + "\n"
                                                      : responseText(result, request.format);
    if (request.outPath.empty())
    {
        std::cout << text;
        return kOk;
    }
    std::string error;
    if (! speaker::writeTextFileAtomically(fileFromArgument(request.outPath), text, error))
    {
        std::cerr << error << '\n';
        return kFailed;
    }
    return kOk;
}

#if CORVANA_HAVE_SERVE
} // namespace
int runServe(const std::vector<std::string>& args); // ServeCommand.cpp
namespace
{
#endif

const std::vector<Command>& commands()
{
    static const std::vector<Command> table {
        { "check", "check FILE", 1, check },
        { "check-fir", "check-fir FILE", 1, checkFir },
        { "upgrade", "upgrade IN OUT", 2, upgrade },
        { "render", "render PROJECT IN.wav OUT.wav [--rate R] [--buffer N]", 3, render, 4 },
        { "analyze", kAnalyzeUsage, 1, analyze, 21 },
#if CORVANA_HAVE_SERVE
        { "serve", "serve [PROJECT]", 0, runServe, 1 },
#endif
    };
    return table;
}

int usage()
{
    std::cerr << "usage: corvana-cli";
    const char* separator = " ";
    for (const auto& command : commands())
    {
        std::cerr << separator << command.usage;
        separator = " | ";
    }
    std::cerr << '\n';
    return kUsage;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();

    const std::string name = argv[1];
    const Arguments args(argv + 2, argv + argc);
    for (const auto& command : commands())
    {
        if (name != command.name)
            continue;
        if (args.size() < command.argumentCount || args.size() > command.argumentCount + command.optionalArgumentCount)
            return usage();
        return command.run(args);
    }
    return usage();
}
