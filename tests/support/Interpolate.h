// The expected resampling of a ramp channel, worked out independently of the program's:
// linear interpolation in exact integer arithmetic, rounded half up. Entry j of outSize sits
// at j * (inSize - 1) / (outSize - 1) of the input.
#pragma once

#include <cstdint>

inline std::uint16_t Interpolated(const std::uint16_t* in, int inSize, int outSize, int j) {
    const long long num = static_cast<long long>(j) * (inSize - 1), den = outSize - 1;
    const long long lo = num / den, rem = num % den;
    if (rem == 0) return in[lo];
    const long long scaled = in[lo] * den + (in[lo + 1] - static_cast<long long>(in[lo])) * rem;
    return static_cast<std::uint16_t>((2 * scaled + den) / (2 * den));
}
