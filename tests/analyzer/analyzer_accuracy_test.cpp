// Analysed responses against the responses of the designed coefficients.

#include "AnalyzerTestSupport.h"

#include "dsp/CrossoverFilterBank.h"
#include "dsp/ParametricEQ.h"
#include "dsp/PeakingFilter.h"
#include "dsp/ShelvingFilterProcessor.h"
#include "dsp/ShelvingFilters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>

using namespace analyzer_test;

namespace
{
using Complex = std::complex<double>;
constexpr double kRate = 48000.0;

Complex sectionResponse(const BiquadCoefficients& c, double f, double rate)
{
    const Complex z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
    return (c.b0 + c.b1 * z1 + c.b2 * z1 * z1) / (1.0 + c.a1 * z1 + c.a2 * z1 * z1);
}

// The response of one Block computed from the coefficients its processor designs.
Complex designedResponse(const InsertedModuleSettings& m, double f, double rate)
{
    const auto& band = m.eq[0];
    switch (static_cast<ProcessingModuleKind>(m.kind))
    {
        case ProcessingModuleKind::gain:
            return (m.polarityInverted ? -1.0 : 1.0) * std::pow(10.0, m.gainDb / 20.0);
        case ProcessingModuleKind::iirFilter:
        {
            ParametricEQ16Band eq(rate);
            Complex h = 1.0;
            for (unsigned k = 0; k < ParametricEQ16Band::numBands; ++k)
            {
                const auto& b = m.eq[k];
                if (static_cast<int>(k) >= m.eqBandCount || ! b.enabled)
                    continue;
                eq.setBandParams(k, static_cast<ParametricEQ::FilterType>(b.type), b.frequencyHz, b.q, b.gainDb);
                h *= sectionResponse(eq.band(k).coefficients(), f, rate);
            }
            return h;
        }
        case ProcessingModuleKind::delay:
            return std::polar(1.0, -2.0 * std::numbers::pi * f * std::round(rate * m.delayUs / 1e6) / rate);
        case ProcessingModuleKind::firFilter:
        {
            Complex sum = 0.0;
            for (size_t n = 0; n < m.fir.coefficients.size(); ++n)
                sum += static_cast<double>(m.fir.coefficients[n])
                    * std::polar(1.0, -2.0 * std::numbers::pi * f * static_cast<double>(n) / rate);
            return sum;
        }
        case ProcessingModuleKind::peakingFilter:
        {
            PeakingFilter p;
            EXPECT_TRUE(p.setParams(rate, band.frequencyHz, band.gainDb, band.q));
            return sectionResponse(p.coefficients(), f, rate);
        }
        case ProcessingModuleKind::lowShelvingFilter:
        case ProcessingModuleKind::highShelvingFilter:
        {
            const bool high = m.kind == static_cast<int>(ProcessingModuleKind::highShelvingFilter);
            BiquadCoefficients c;
            if (m.shelfOrder == 1)
                EXPECT_TRUE(ShelvingFilterProcessor::designFirstOrder(
                    high ? ShelvingFilterProcessor::Type::High : ShelvingFilterProcessor::Type::Low, rate,
                    band.frequencyHz, band.gainDb, c));
            else if (high)
            {
                HighShelvingFilter s;
                EXPECT_TRUE(s.setParams(rate, band.frequencyHz, band.gainDb, band.q));
                c = s.coefficients();
            }
            else
            {
                LowShelvingFilter s;
                EXPECT_TRUE(s.setParams(rate, band.frequencyHz, band.gainDb, band.q));
                c = s.coefficients();
            }
            return sectionResponse(c, f, rate);
        }
        case ProcessingModuleKind::lowPassFilter:
        case ProcessingModuleKind::highPassFilter:
        {
            const bool low = m.kind == static_cast<int>(ProcessingModuleKind::lowPassFilter);
            const int order = low ? m.lowPassOrder : m.highPassOrder;
            const int shape = low ? m.lowPassShape : m.highPassShape;
            const auto type = order < 2 ? CrossoverFilterType::firstOrder
                : order == 2            ? CrossoverFilterType::secondOrder
                : shape == 1            ? CrossoverFilterType::linkwitzRiley
                                        : CrossoverFilterType::butterworth;
            CrossoverCascadeCoefficients cascade;
            if (low)
            {
                LowPassFilterBank bank(rate);
                EXPECT_TRUE(bank.setParams(type, order, band.frequencyHz, band.q));
                bank.reset();
                cascade = bank.activeCoefficients();
            }
            else
            {
                HighPassFilterBank bank(rate);
                EXPECT_TRUE(bank.setParams(type, order, band.frequencyHz, band.q));
                bank.reset();
                cascade = bank.activeCoefficients();
            }
            EXPECT_GT(cascade.count, 0u);
            Complex h = 1.0;
            for (unsigned i = 0; i < cascade.count; ++i)
                h *= sectionResponse(cascade.sections[i], f, rate);
            return h;
        }
        default: ADD_FAILURE() << "no reference for kind " << m.kind; return 1.0;
    }
}

InsertedModuleSettings crossover(ProcessingModuleKind kind, int order, int shape, double frequencyHz)
{
    auto m = withBand(module(kind), frequencyHz, 0.0, 0.7071067811865476);
    (kind == ProcessingModuleKind::lowPassFilter ? m.lowPassOrder : m.highPassOrder) = order;
    (kind == ProcessingModuleKind::lowPassFilter ? m.lowPassShape : m.highPassShape) = shape;
    return m;
}

InsertedModuleSettings shelf(ProcessingModuleKind kind, int order, double frequencyHz, double gainDb)
{
    auto m = withBand(module(kind), frequencyHz, gainDb, 0.7071);
    m.shelfOrder = order;
    return m;
}

InsertedModuleSettings delayUs(double us)
{
    auto m = module(ProcessingModuleKind::delay);
    m.delayUs = us;
    return m;
}

InsertedModuleSettings gainDb(double db, bool inverted)
{
    auto m = module(ProcessingModuleKind::gain);
    m.gainDb = db;
    m.polarityInverted = inverted;
    return m;
}

// 4096 taps of a linear-phase tilt: a direct path plus a windowed-sinc low-pass.
InsertedModuleSettings longFir()
{
    auto m = module(ProcessingModuleKind::firFilter);
    const int taps = 4096;
    const double centre = (taps - 1) / 2.0;
    const double cutoff = 2000.0 / kRate;
    m.fir.coefficients.assign(taps, 0.0f);
    for (int n = 0; n < taps; ++n)
    {
        const double t = n - centre;
        const double sinc = 2.0 * cutoff * std::sin(2.0 * std::numbers::pi * cutoff * t) / (2.0 * std::numbers::pi * cutoff * t);
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / (taps - 1));
        m.fir.coefficients[static_cast<size_t>(n)] = static_cast<float>(0.5 * sinc * window);
    }
    m.fir.coefficients[taps / 2] += 0.5f;
    m.fir.fileName = "tilt.txt";
    m.fir.sampleRateHz = 48000;
    return m;
}

// Four bands in use, the third switched off, a fifth beyond the band count.
InsertedModuleSettings equaliser()
{
    auto m = module(ProcessingModuleKind::iirFilter);
    m.eqBandCount = 4;
    const EqBandSettings bands[] = {
        { true, static_cast<int>(FilterType::peaking), 250.0, -4.0, 2.0 },
        { true, static_cast<int>(FilterType::highPass2nd), 40.0, 0.0, 0.8 },
        { false, static_cast<int>(FilterType::peaking), 2000.0, 12.0, 1.0 },
        { true, static_cast<int>(FilterType::highShelf), 6000.0, 3.0, 0.7 },
        { true, static_cast<int>(FilterType::lowShelf), 100.0, 10.0, 0.7 },
    };
    for (size_t k = 0; k < std::size(bands); ++k)
        m.eq[k] = bands[k];
    return m;
}

struct PathCase
{
    const char* name;
    std::vector<InsertedModuleSettings> blocks;
};

std::vector<PathCase> pathCases()
{
    using K = ProcessingModuleKind;
    return {
        { "Peaking", { withBand(module(K::peakingFilter), 950.0, 6.0, 1.4) } },
        { "LowShelfFirstOrder", { shelf(K::lowShelvingFilter, 1, 200.0, 6.0) } },
        { "HighShelfSecondOrder", { shelf(K::highShelvingFilter, 2, 3000.0, -4.0) } },
        { "LinkwitzRiley4LowPass", { crossover(K::lowPassFilter, 4, 1, 500.0) } },
        { "Butterworth8HighPass", { crossover(K::highPassFilter, 8, 0, 1000.0) } },
        { "Delay1ms", { delayUs(1000.0) } },
        { "IirFilterBands", { equaliser() } },
        { "Fir4096", { longFir() } },
        { "GainAndPolarity", { gainDb(-6.0, true), gainDb(3.5, false) } },
        { "ThreeWayPath",
          { crossover(K::highPassFilter, 4, 1, 300.0), crossover(K::lowPassFilter, 4, 1, 3000.0),
            withBand(module(K::peakingFilter), 1200.0, -3.0, 2.0), shelf(K::lowShelvingFilter, 2, 100.0, 2.0),
            delayUs(500.0), longFir(), gainDb(-3.0, true) } },
    };
}

struct Deviation
{
    double magnitudeDb = 0.0;
    double phaseDegrees = 0.0;
    int compared = 0;
};

// Largest deviation over the grid points in [fromHz, toHz] whose designed
// magnitude is above floorDb: further down, the float samples between the
// processors, not the analysis, set the error (about 0.01 dB at -80 dB).
Deviation compare(const juce::var& result, const std::vector<InsertedModuleSettings>& blocks, double fromHz,
                  double toHz, double floorDb)
{
    const auto f = doubles(result["frequenciesHz"]);
    const auto mag = doubles(result["magnitudeDb"]);
    const auto phase = doubles(result["phaseDegrees"]);
    EXPECT_EQ(f.size(), 401u);
    Deviation d;
    for (size_t i = 0; i < f.size() && i < mag.size() && i < phase.size(); ++i)
    {
        if (f[i] < fromHz || f[i] > toHz)
            continue;
        Complex h = 1.0;
        for (const auto& b : blocks)
            h *= designedResponse(b, f[i], kRate);
        const double refDb = 20.0 * std::log10(std::abs(h));
        if (refDb < floorDb)
            continue;
        const double refPhase = std::arg(h) * 180.0 / std::numbers::pi;
        const double dp = std::remainder(phase[i] - refPhase, 360.0);
        d.magnitudeDb = std::max(d.magnitudeDb, std::abs(mag[i] - refDb));
        d.phaseDegrees = std::max(d.phaseDegrees, std::abs(dp));
        ++d.compared;
    }
    return d;
}

class AnalyzerAccuracy : public ::testing::TestWithParam<PathCase>
{
};
} // namespace

TEST_P(AnalyzerAccuracy, ImpulseMatchesTheDesignedResponse)
{
    const auto& c = GetParam();
    const auto project = chainProject(c.blocks);
    const auto result = analyzeCanvasGraph(project, "out1", true, kRate, {});
    ASSERT_EQ(text(result, "status"), "ok") << text(result, "message");
    const auto d = compare(result, c.blocks, 0.0, 1e9, -60.0);
    EXPECT_GT(d.compared, 150);
    EXPECT_LE(d.magnitudeDb, 0.01);
    EXPECT_LE(d.phaseDegrees, 0.1);
}

TEST_P(AnalyzerAccuracy, LogSweepMatchesInsideTheSweepRange)
{
    const auto& c = GetParam();
    const auto project = chainProject(c.blocks);
    const auto result = analyzeCanvasGraph(project, "out1", true, kRate, sweepOptions(20.0, 20000.0, 2.0));
    ASSERT_EQ(text(result, "status"), "ok") << text(result, "message");
    const auto d = compare(result, c.blocks, 40.0, 10000.0, -60.0);
    EXPECT_GT(d.compared, 150);
    EXPECT_LE(d.magnitudeDb, 0.1);
    EXPECT_LE(d.phaseDegrees, 1.0);
}

TEST_P(AnalyzerAccuracy, BlockModeMatchesTheBlockAlone)
{
    const auto& c = GetParam();
    auto project = chainProject(c.blocks);
    project.inputs[0].volumeDb = -7.0; // Block analysis feeds the Block directly
    const auto result = analyzeCanvasGraph(project, "node1", false, kRate, {});
    ASSERT_EQ(text(result, "status"), "ok") << text(result, "message");
    EXPECT_EQ(text(result, "sourceLabel"), "Block Input");
    const auto d = compare(result, { c.blocks.front() }, 0.0, 1e9, -60.0);
    EXPECT_LE(d.magnitudeDb, 0.01);
    EXPECT_LE(d.phaseDegrees, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Paths, AnalyzerAccuracy, ::testing::ValuesIn(pathCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(AnalyzerAccuracy, ChannelVolumesScaleThePath)
{
    auto project = chainProject({ gainDb(-2.0, false) });
    project.inputs[0].volumeDb = -5.0;
    project.outputs[0].volumeDb = 1.5;
    const auto result = analyzeCanvasGraph(project, "out1", true, kRate, {});
    for (const double m : doubles(result["magnitudeDb"]))
        ASSERT_NEAR(m, -5.5, 1e-4);
}

// x + x^2: an Add Block fed by the Input and by a Multiply Block squaring it.
TEST(AnalyzerDistortion, SquareLawPathReportsTheSecondHarmonicTheAlgebraPredicts)
{
    AppSettings p = chainProject({});
    p.connections.clear();
    p.nodes.insert(p.nodes.begin() + 2, blockNode("mul", module(ProcessingModuleKind::multiply)));
    p.nodes.insert(p.nodes.begin() + 3, blockNode("add", module(ProcessingModuleKind::add)));
    connect(p, "in1", "mul", "a");
    connect(p, "in1", "mul", "b");
    connect(p, "in1", "add", "a");
    connect(p, "mul", "add", "b");
    connect(p, "add", "out1");
    // The same followed by 20 ms of delay: the fits follow the path's latency.
    AppSettings delayed = p;
    delayed.connections.pop_back();
    delayed.nodes.insert(delayed.nodes.begin() + 4, blockNode("late", delayUs(20000.0)));
    connect(delayed, "add", "late");
    connect(delayed, "late", "out1");

    for (const auto& [project, level] : { std::pair { &p, -12.0 }, std::pair { &p, -24.0 }, std::pair { &delayed, -12.0 } })
    {
        auto options = sweepOptions(20.0, 20000.0, 2.0);
        options.levelDb = level;
        const auto result = analyzeCanvasGraph(*project, "out1", true, kRate, options);
        EXPECT_EQ(static_cast<int>(result["peakSample"]), project == &p ? 0 : 960);
        ASSERT_EQ(text(result, "status"), "ok") << text(result, "message");
        // x = A sin(phi) gives x^2 = A^2 / 2 - (A^2 / 2) cos(2 phi): H2 / F = A / 2.
        const double expected = level - 20.0 * std::log10(2.0);
        const auto h2 = doubles(result["h2Db"]);
        const auto thd = doubles(result["thdDb"]);
        ASSERT_EQ(h2.size(), 241u);
        ASSERT_EQ(thd.size(), 241u);
        const auto f = doubles(result["distortionFrequenciesHz"]);
        for (size_t j = 0; j < h2.size(); ++j)
        {
            EXPECT_NEAR(h2[j], expected, 0.5) << "point " << j << " at level " << level;
            // The top point's second harmonic sits at 0.499 fs, outside the THD sum.
            if (2.0 * f[j] < 0.499 * kRate)
            {
                EXPECT_NEAR(thd[j], h2[j], 0.1) << "point " << j;
            }
        }
        // Fitted alone over a few periods of a chirp, the third harmonic takes
        // some of the second's energy; more periods separate them better.
        const auto h3f = doubles(result["h3FrequenciesHz"]);
        const auto h3 = doubles(result["h3Db"]);
        for (size_t j = 0; j < h3.size(); ++j)
            EXPECT_LT(h3[j], expected - (h3f[j] > 100.0 ? 40.0 : 25.0)) << h3f[j];
    }
}

// Paths with a flat response leave nothing but rounding in the residual. A
// filter whose response changes across one fit window (about eight periods)
// leaves its own change there; a slow sweep keeps that small.
TEST(AnalyzerDistortion, LinearPathsStayFarBelowTheSquareLaw)
{
    using K = ProcessingModuleKind;
    const std::vector<std::vector<InsertedModuleSettings>> flat {
        { gainDb(-3.0, true) },
        { delayUs(1000.0), gainDb(4.0, false) },
    };
    for (const auto& blocks : flat)
    {
        const auto result = analyzeCanvasGraph(chainProject(blocks), "out1", true, kRate, sweepOptions());
        ASSERT_EQ(text(result, "status"), "ok");
        for (const double t : doubles(result["thdDb"]))
            ASSERT_LT(t, -120.0);
    }

    const auto filtered = analyzeCanvasGraph(chainProject({ withBand(module(K::peakingFilter), 950.0, 6.0, 1.4) }),
                                             "out1", true, kRate, sweepOptions(20.0, 20000.0, 10.0));
    const auto f = doubles(filtered["distortionFrequenciesHz"]);
    const auto thd = doubles(filtered["thdDb"]);
    ASSERT_EQ(thd.size(), f.size());
    for (size_t j = 0; j < f.size(); ++j)
        if (f[j] > 40.0)
        {
            ASSERT_LT(thd[j], -110.0) << f[j] << " Hz";
        }
}
