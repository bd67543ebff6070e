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

// A display's own ramp read as a curve: each of `size` entries of `channel` becomes
// round(S(p)), with p = entry * (startupSize - 1) / 65535 and S linearly interpolated between
// the entries of `startup` (startupSize >= 2). Worked in exact integer arithmetic, rounded half
// up, so that a start-up channel of j * 65535 / (startupSize - 1) gives every entry back as is.
void ComposeChannel(std::uint16_t* channel, int size, const std::uint16_t* startup,
                    int startupSize);
// Whether a display's channel is the identity: a straight line from 0 to the top, within one
// unit per entry, whether the top is 65535 or the 8-bit convention's 0xFF00 (the X server's
// own ramp, i << 8, and this program's gamma 1.0).
bool IsIdentityChannel(const std::uint16_t* channel, int size);

// "0.3" ... "3.0", with the locale's decimal separator; whole values always end in ".0".
QString GammaText(GammaPosition position);
