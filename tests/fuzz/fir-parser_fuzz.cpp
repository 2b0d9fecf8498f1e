// Arbitrary bytes through the FIR coefficient parser.
#include "model/FirFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto parsed = speaker::parseFirText(text, "fuzz.txt", error);
    if (parsed && (parsed->coefficients.empty() || parsed->coefficients.size() > 4096))
        __builtin_trap();
    return 0;
}
