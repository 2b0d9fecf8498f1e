#pragma once

#include <cstdint>

// Two-input math Block: A + B, A - B, A * B or a guarded A / B. Bypass fades
// between the result and operand A.
class ArithmeticProcessor
{
public:
    enum class Operation : std::int32_t
    {
        Add = 0,
        Subtract = 1,
        Multiply = 2,
        Divide = 3
    };

    // The mix moves by mixStep per sample on a bypass change.
    void prepare(double sampleRate, double mixStep) noexcept;
    // False (and nothing changes) for an unknown operation, a floor outside
    // -180 ... -20 dB or a limit outside 0 ... 60 dB.
    bool setParams(Operation operation, bool bypassed, double divideFloorDb, double divideLimitDb) noexcept;
    // A null operand reads as silence; out may alias either operand.
    void processBlock(const float* a, const float* b, float* out, unsigned n) noexcept;

    double getMix() const noexcept { return mixCurrent; }

private:
    template <Operation op>
    void run(const float* a, const float* b, float* out, unsigned n) noexcept;

    Operation operation = Operation::Add;
    double sampleRate = 48000.0;
    double divideFloor = 0.0001;
    double divideLimit = 10.0;
    double mixCurrent = 1.0;
    double mixTarget = 1.0;
    double mixStep = 1.0 / 240.0;
    Operation lastOperation = Operation::Add;
    double lastFloorDb = -80.0;
    double lastLimitDb = 20.0;
    bool bypassed = false;
    bool configured = false;
};
