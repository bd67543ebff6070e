// Reads and sets the CRTC gamma ramp over a connection of the test's own, as a user's tool would.
#pragma once

#include <QVector>
#include <cstdint>

namespace crtc {

// 768 entries (red, green, blue), resampled to 256 per channel; empty when there is no CRTC.
QVector<std::uint16_t> ramp();
bool setRamp(const QVector<std::uint16_t>& ramp);
// floor(255 * (i/255)^(10/position)) * 256 for every entry.
QVector<std::uint16_t> rampOf(int position);
QVector<std::uint16_t> zeros();

} // namespace crtc
