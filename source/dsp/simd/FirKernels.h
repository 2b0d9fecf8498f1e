#pragma once

// Correlation kernels behind FirFilter, one set per instruction set. Each
// kernel computes, for i in [0, count):
//
//     out[i] = sum over j in [0, taps) of coefficients[j] * window[i + j]
//
// `taps` is a multiple of 16 and `coefficients` is 64-byte aligned. The kernel
// may read up to FirKernelOverread floats past window[count + taps - 2]; the
// values read there never reach the output.

constexpr unsigned FirKernelOverread = 32;

using FirKernelFunction = void (*)(const float* coefficients, unsigned taps, const float* window,
                                   float* out, unsigned count);

void firKernelScalar(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count);

#if defined(__x86_64__) || defined(__i386__)
#define CORVANA_FIR_X86 1
void firKernelSse2(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count);
void firKernelAvx2(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count);
void firKernelAvx512(const float* coefficients, unsigned taps, const float* window, float* out, unsigned count);
#else
#define CORVANA_FIR_X86 0
#endif
