#include "cli/CliTest.h"

#include "model/ProjectDocument.h"
#include "model/ProjectFile.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>

using namespace speaker;

namespace
{
constexpr double kRate = 48000.0;

class RenderCli : public corvana::test::CliTest
{
protected:
    // Input 1 feeds output 1 directly and output 2 through a -6 dB Gain Block.
    std::string writeProject()
    {
        auto project = makeDefaultSettings("mono", { 2 });
        CanvasNodeSettings gain;
        gain.id = "node1";
        gain.processor.id = "node1";
        gain.processor.kind = static_cast<int>(ProcessingModuleKind::gain);
        gain.processor.gainDb = -6.0;
        project.nodes.push_back(gain);
        project.connections[1].target = "node1";
        project.connections.push_back({ "connection3", "node1", "out2", "", "" });
        std::string error;
        EXPECT_TRUE(writeTextFileAtomically(folder.getChildFile("gain.corv"), projectJsonText(settingsToVar(project, true)), error)) << error;
        return pathIn("gain.corv");
    }

    std::string writeWav(const std::string& name, const std::function<float(int)>& sample, int length)
    {
        juce::AudioBuffer<float> buffer(1, length);
        for (int i = 0; i < length; ++i)
            buffer.setSample(0, i, sample(i));
        const auto file = folder.getChildFile(name);
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer(wav.createWriterFor(file.createOutputStream().release(), kRate, 1, 32, {}, 0));
        EXPECT_NE(writer, nullptr);
        writer->writeFromAudioSampleBuffer(buffer, 0, length);
        return file.getFullPathName().toStdString();
    }

    juce::AudioBuffer<float> readWav(const std::string& path, double& rate)
    {
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatReader> reader(wav.createReaderFor(juce::File(path).createInputStream().release(), true));
        juce::AudioBuffer<float> buffer;
        if (reader == nullptr)
            return buffer;
        rate = reader->sampleRate;
        buffer.setSize(static_cast<int>(reader->numChannels), static_cast<int>(reader->lengthInSamples));
        reader->read(&buffer, 0, buffer.getNumSamples(), 0, true, true);
        return buffer;
    }
};

float tone(int i) { return 0.5f * static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi * 1000.0 * i / kRate)); }
} // namespace

TEST_F(RenderCli, RendersEveryUsedOutputAndReportsTheLoad)
{
    const auto project = writeProject();
    const auto in = writeWav("tone.wav", tone, 24000);
    const auto out = pathIn("out.wav");
    const auto r = run({ "render", project, in, out, "--buffer", "64" });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("DSP load mean"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("deadline misses"), std::string::npos) << r.out;

    double rate = 0;
    const auto rendered = readWav(out, rate);
    ASSERT_EQ(rendered.getNumChannels(), 2);
    ASSERT_EQ(rendered.getNumSamples(), 24000);
    EXPECT_EQ(rate, kRate);
    // After the run fade-in the direct output is the input and the other carries -6 dB.
    for (int i = 4800; i < 24000; ++i)
    {
        ASSERT_NEAR(rendered.getSample(0, i), tone(i), 1e-6) << i;
        ASSERT_NEAR(rendered.getSample(1, i), tone(i) * std::pow(10.0f, -6.0f / 20.0f), 1e-6) << i;
    }
}

TEST_F(RenderCli, ASafetyStopEndsTheRenderWithItsMessage)
{
    const auto in = writeWav("dc.wav", [](int) { return 0.5f; }, 48000);
    const auto r = run({ "render", writeProject(), in, pathIn("out.wav") });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Safety stop: A sustained DC offset was detected at a DSP output. Master Mute is on. "
                     "Check the signal source and filters, then press Run manually.\n");
}

TEST_F(RenderCli, RefusesBadInput)
{
    EXPECT_EQ(run({ "render", writeProject(), write("not.wav", "text"), pathIn("out.wav") }).err,
              "The input file is not a readable WAV file.\n");
    EXPECT_EQ(run({ "render", writeProject(), writeWav("t.wav", tone, 100), pathIn("o.wav"), "--rate", "fast" }).exitCode, 2);
    EXPECT_EQ(run({ "render", write("p.corv", "{}"), writeWav("t.wav", tone, 100), pathIn("o.wav") }).err,
              "Unsupported project format version.\n");
}

TEST_F(RenderCli, ReferenceProjectRendersCleanly)
{
    const auto in = writeWav("tone.wav", tone, 9600);
    const auto r = run({ "render", reference("reference-3way-stereo.corv"), in, pathIn("out.wav"), "--buffer", "256" });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    double rate = 0;
    EXPECT_EQ(readWav(pathIn("out.wav"), rate).getNumChannels(), 6);
}
