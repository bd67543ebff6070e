// The numeric core: gamma positions, ramps and the text shown next to every gamma slider.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

// A gamma value in tenths: 3..30 is gamma 0.3..3.0, 10 is neutral.
using GammaPosition = int;

constexpr GammaPosition GammaMin = 3;
constexpr GammaPosition GammaMax = 30;
constexpr GammaPosition GammaNeutral = 10;

// 768 16-bit entries: red[0..255], green[0..255], blue[0..255].
struct GammaRamp {
    std::array<std::uint16_t, 768> entries{};

    std::uint16_t* red() { return entries.data(); }
    std::uint16_t* green() { return entries.data() + 256; }
    std::uint16_t* blue() { return entries.data() + 512; }
    const std::uint16_t* red() const { return entries.data(); }
    const std::uint16_t* green() const { return entries.data() + 256; }
    const std::uint16_t* blue() const { return entries.data() + 512; }

    bool isZero() const;
    friend bool operator==(const GammaRamp&, const GammaRamp&) = default;
};

// The gamma value of a position: position x 0.1 formed in extended precision, then
// rounded to single precision. Every caller of BuildGammaRamp converts this way.
float GammaValue(GammaPosition position);

GammaRamp BuildGammaRamp(float gamma);

// BuildGammaRamp(GammaValue(position)).
GammaRamp RampForPosition(GammaPosition position);

// "0.3" ... "3.0", with the locale's decimal separator; whole values always end in ".0".
QString GammaText(GammaPosition position);
