#pragma once

// Signals and measurements shared by the IIR tests.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace iir_signals
{
inline std::vector<float> sine(double frequencyHz, double rate, std::size_t length, double amplitude = 0.5,
                               std::size_t offset = 0)
{
    std::vector<float> x(length);
    for (std::size_t i = 0; i < length; ++i)
        x[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequencyHz * double(i + offset) / rate));
    return x;
}

inline std::vector<float> noise(std::size_t length, std::uint32_t seed = 12345)
{
    std::vector<float> x(length);
    std::uint32_t state = seed;
    for (auto& v : x)
    {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>((state >> 8) * (1.0 / 16777216.0) * 1.6 - 0.8);
    }
    return x;
}

// Largest |x[i] - x[i-1]| for i in [begin, end).
inline double maxStep(const std::vector<float>& x, std::size_t begin, std::size_t end)
{
    double m = 0.0;
    for (std::size_t i = std::max<std::size_t>(begin, 1); i < end && i < x.size(); ++i)
        m = std::max(m, std::abs(double(x[i]) - double(x[i - 1])));
    return m;
}

// Amplitude of the given frequency in x[begin, end) (a whole number of periods works best).
inline double toneAmplitude(const std::vector<float>& x, double frequencyHz, double rate, std::size_t begin, std::size_t end)
{
    double re = 0.0, im = 0.0;
    for (std::size_t i = begin; i < end; ++i)
    {
        const double phase = 2.0 * std::numbers::pi * frequencyHz * double(i) / rate;
        re += x[i] * std::cos(phase);
        im += x[i] * std::sin(phase);
    }
    return 2.0 * std::hypot(re, im) / double(end - begin);
}
} // namespace iir_signals
