// corvana-cli: project checks and conversions without the application window.

#include "model/AppSettings.h"
#include "model/FirFile.h"
#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"

#include <juce_core/juce_core.h>

#include <algorithm>
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

const std::vector<Command>& commands()
{
    static const std::vector<Command> table {
        { "check", "check FILE", 1, check },
        { "check-fir", "check-fir FILE", 1, checkFir },
        { "upgrade", "upgrade IN OUT", 2, upgrade },
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
        if (args.size() != command.argumentCount)
            return usage();
        return command.run(args);
    }
    return usage();
}
