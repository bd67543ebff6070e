// The program started as a Wayland session's client: our test compositor stands for the
// compositor and the virtual desktop's X server for its Xwayland.
#pragma once

#include "../desktop/Crtc.h"
#include "Compositor.h"
#include "Desktop.h"

namespace {

// Nothing on this bus: the GNOME service can't be found there.
const QString NoBus = QStringLiteral("unix:path=/nonexistent/kelvaro-test-bus");

void inSession(Kelvaro& k, const TestCompositor& compositor, const QString& bus = NoBus) {
    k.extra.insert("WAYLAND_DISPLAY", QString::fromLocal8Bit(compositor.socket()));
    k.extra.insert("XDG_SESSION_TYPE", "wayland");
    k.extra.insert("DBUS_SESSION_BUS_ADDRESS", bus);
}

std::vector<quint16> Expected(int position) {
    const QVector<std::uint16_t> r = crtc::rampOf(position);
    return {r.begin(), r.end()};
}

} // namespace
