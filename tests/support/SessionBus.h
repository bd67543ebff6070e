// A private session bus (dbus-daemon --session) for one test, and the fake display-
// configuration service on it (tests/dbus). Its lines: "initial|set <crtc> <size> <hex>".
#pragma once

#include "Recorder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class SessionBus {
public:
    SessionBus() {
        daemon_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
        if (daemon_.waitForReadyRead(5000))
            address_ = QString::fromUtf8(daemon_.readLine().trimmed());
    }
    ~SessionBus() {
        daemon_.terminate();
        if (!daemon_.waitForFinished(2000)) daemon_.kill();
        daemon_.waitForFinished(1000);
    }
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    QString address() const { return address_; }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address_);
        return env;
    }

private:
    QProcess daemon_;
    QString address_;
};

class FakeDisplayConfig : public Recorder {
public:
    // Options: --crtcs 256,1024, --inactive.
    FakeDisplayConfig(const SessionBus& bus, const QStringList& options = {}) {
        start(QString::fromLocal8Bit(qgetenv("KELVARO_BUILD")) +
                  QStringLiteral("/tests/kelvaro-fake-displayconfig"),
              options, bus.environment(), "ready");
    }
};

// GNOME's Night Light: the settings daemon's colour service (gsd-color) on the bus, kept on
// all day at `kelvin` by a settings file it watches; set() changes the temperature.
class GnomeNightLight {
public:
    GnomeNightLight(const SessionBus& bus, uint kelvin) {
        QDir(dir_.path()).mkpath(QStringLiteral("glib-2.0/settings"));
        set(kelvin);
        QProcessEnvironment env = bus.environment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.path());
        env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
        env.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
        daemon_.setProcessEnvironment(env);
        daemon_.start(QStringLiteral("/usr/libexec/gsd-color"), {});
    }
    ~GnomeNightLight() { daemon_.kill(), daemon_.waitForFinished(3000); }
    void set(uint kelvin) {
        QFile f(dir_.path() + QStringLiteral("/glib-2.0/settings/keyfile"));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write("[org/gnome/settings-daemon/plugins/color]\nnight-light-enabled=true\n"
                "night-light-schedule-automatic=false\nnight-light-schedule-from=0.0\n"
                "night-light-schedule-to=0.0\nnight-light-temperature=uint32 " +
                QByteArray::number(kelvin) + "\n");
    }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
};

// The desktop portal's global shortcuts (tests/dbus). Its lines: "create <session>",
// "bind <session> <id> <trigger>", "close <session>"; activate(id) presses a shortcut.
class FakePortal : public Recorder {
public:
    // Option: --no-shortcuts.
    FakePortal(const SessionBus& bus, const QStringList& options = {}) {
        start(QString::fromLocal8Bit(qgetenv("KELVARO_BUILD")) +
                  QStringLiteral("/tests/kelvaro-fake-portal"),
              options, bus.environment(), "ready");
    }
    void activate(const QByteArray& id) { command("activate " + id); }
    // The lines that start with `word`, that word dropped.
    QList<QByteArray> said(const QByteArray& word) {
        QList<QByteArray> out;
        for (const QByteArray& l : lines())
            if (l.startsWith(word + ' ')) out << l.mid(word.size() + 1);
        return out;
    }
};
