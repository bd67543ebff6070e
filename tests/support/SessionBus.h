// A private session bus (dbus-daemon --session) for one test, and the fake display-
// configuration service on it (tests/dbus). Its lines: "initial|set <crtc> <size> <hex>".
#pragma once

#include "Recorder.h"

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
