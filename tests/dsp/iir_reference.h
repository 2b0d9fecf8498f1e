#pragma once

// Closed-form responses of the analog prototypes mapped by the bilinear
// transform with prewarping at the design frequency, written independently of
// the filter code so that the designs can be checked against them.

#include "dsp/IirSections.h"

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace iir_reference
{
using Complex = std::complex<double>;

// The prototype's s = j tan(pi f / rate) / tan(pi f0 / rate): the bilinear
// transform with the prototype's unit frequency prewarped to f0.
inline Complex prototypeS(double frequencyHz, double designHz, double rate)
{
    const long double pi = std::numbers::pi_v<long double>;
    return { 0.0, (double) (std::tan(pi * frequencyHz / rate) / std::tan(pi * designHz / rate)) };
}

inline Complex lowPass1st(Complex s) { return 1.0 / (s + 1.0); }
inline Complex highPass1st(Complex s) { return s / (s + 1.0); }
inline Complex lowPass2nd(Complex s, double q) { return 1.0 / (s * s + s / q + 1.0); }
inline Complex highPass2nd(Complex s, double q) { return s * s / (s * s + s / q + 1.0); }

inline double amplitude(double gainDb) { return std::pow(10.0, gainDb / 40.0); }

inline Complex peaking(Complex s, double gainDb, double q)
{
    const double a = amplitude(gainDb);
    return (s * s + s * (a / q) + 1.0) / (s * s + s / (a * q) + 1.0);
}

inline Complex lowShelf(Complex s, double gainDb, double q)
{
    const double a = amplitude(gainDb);
    const double r = std::sqrt(a) / q;
    return a * (s * s + r * s + a) / (a * s * s + r * s + 1.0);
}

inline Complex highShelf(Complex s, double gainDb, double q)
{
    const double a = amplitude(gainDb);
    const double r = std::sqrt(a) / q;
    return a * (a * s * s + r * s + 1.0) / (s * s + r * s + a);
}

// Butterworth from its poles on the unit circle; the high-pass by s -> 1/s.
inline Complex butterworth(Complex s, int order, bool highPass)
{
    const Complex x = highPass ? 1.0 / s : s;
    Complex h = 1.0;
    for (int k = 1; k <= order; ++k)
    {
        const Complex pole = std::polar(1.0, std::numbers::pi * (2.0 * k + order - 1.0) / (2.0 * order));
        h /= (x - pole);
    }
    return h;
}

// The response of a digital section evaluated from its coefficients, in
// extended precision so that only the coefficients' own rounding shows.
inline Complex sectionResponse(const BiquadCoefficients& c, double frequencyHz, double rate)
{
    using Wide = std::complex<long double>;
    const long double w = 2.0L * std::numbers::pi_v<long double> * (long double) frequencyHz / (long double) rate;
    const Wide z1 = std::polar(1.0L, -w);
    const Wide h = ((long double) c.b0 + z1 * ((long double) c.b1 + z1 * (long double) c.b2))
                   / (1.0L + z1 * ((long double) c.a1 + z1 * (long double) c.a2));
    return { (double) h.real(), (double) h.imag() };
}

inline Complex cascadeResponse(const std::vector<BiquadCoefficients>& sections, double frequencyHz, double rate)
{
    Complex h = 1.0;
    for (const auto& c : sections)
        h *= sectionResponse(c, frequencyHz, rate);
    return h;
}

inline double relativeError(Complex actual, Complex expected)
{
    return std::abs(actual - expected) / std::abs(expected);
}

inline double decibels(Complex h) { return 20.0 * std::log10(std::abs(h)); }

// A spread of test frequencies from 20 Hz to 0.45 x rate.
inline std::vector<double> probeFrequencies(double rate)
{
    std::vector<double> f;
    for (double x = 20.0; x < 0.45 * rate; x *= 1.37)
        f.push_back(x);
    f.push_back(0.45 * rate);
    return f;
}
} // namespace iir_reference
