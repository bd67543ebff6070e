// Reads and sets CRTC gamma ramps over a connection of the test's own, as a user's tool would.
#pragma once

#include <QList>
#include <QVector>
#include <cstdint>

namespace crtc {

// The first active CRTC's 768 entries (red, green, blue), brought to 256 per channel; empty
// when there is no CRTC.
QVector<std::uint16_t> ramp();
bool setRamp(const QVector<std::uint16_t>& ramp);
// floor(255 * (i/255)^(10/position)) * 256 for every entry.
QVector<std::uint16_t> rampOf(int position);
// rampOf(position) as the program loads it onto a CRTC whose ramp was `startup` when it started:
// at that size, each entry f read through startup at f * (size - 1) / 65535, each channel
// through its own (a channel that is the identity or zeros leaves it as it is).
QVector<std::uint16_t> rampOver(const QVector<std::uint16_t>& startup, int position);
QVector<std::uint16_t> zeros();

// Every CRTC that drives an output now, in the server's order.
QList<std::uint32_t> active();
// One CRTC's ramp at its own size (3 x size entries); empty when it can't be read.
QVector<std::uint16_t> rawRamp(std::uint32_t id);
bool setRawRamp(std::uint32_t id, const QVector<std::uint16_t>& ramp);
int gammaSize(std::uint32_t id);
// A 768-entry ramp at size entries per channel: linear interpolation in exact integer
// arithmetic, rounded half up (entry j sits at j * 255 / (size - 1) of the input).
QVector<std::uint16_t> atSize(const QVector<std::uint16_t>& ramp256, int size);

} // namespace crtc
