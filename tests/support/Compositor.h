// The test compositor (tests/compositor): outputs and the wlroots gamma-control manager on a
// socket of its own. Its ramp lines are "ramp <output> <size> <hex>".
#pragma once

#include "Recorder.h"

#include <QTemporaryDir>

class TestCompositor : public Recorder {
public:
    // Compositor options: --sizes, --refuse, --no-gamma.
    explicit TestCompositor(const QStringList& options = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.path());
        start(QString::fromLocal8Bit(qgetenv("KELVARO_BUILD")) +
                  QStringLiteral("/tests/kelvaro-test-compositor"),
              QStringList{QStringLiteral("--socket"), QStringLiteral("wayland-test")} + options,
              env, "ready ");
    }
    // The absolute socket path a client connects to (WAYLAND_DISPLAY).
    QByteArray socket() const {
        return (dir_.path() + QStringLiteral("/wayland-test")).toLocal8Bit();
    }
    Tables lastRamp(int output) { return last("ramp", output); }
    std::vector<Tables> ramps() { return tables("ramp"); }

private:
    QTemporaryDir dir_;
};
