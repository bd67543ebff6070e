// Drives the test compositor (tests/compositor): starts it on a socket of its own, sends it
// commands and collects what it saw its clients do.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <vector>

class TestCompositor {
public:
    struct Ramp {
        int output;
        int size;
        std::vector<quint16> entries; // red, green, blue; size entries each
    };

    // Compositor options: --sizes, --refuse, --no-gamma.
    explicit TestCompositor(const QStringList& options = {}) {
        const QByteArray build = qgetenv("KELVARO_BUILD");
        socket_ = dir_.path() + QStringLiteral("/wayland-test");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.path());
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(
            QString::fromLocal8Bit(build) + QStringLiteral("/tests/kelvaro-test-compositor"),
            QStringList{QStringLiteral("--socket"), QStringLiteral("wayland-test")} + options);
        ready_ = waitFor([](const QByteArray& l) { return l.startsWith("ready "); });
    }
    ~TestCompositor() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(3000)) process_.kill();
        process_.waitForFinished(1000);
    }

    bool ready() const { return ready_; }
    // The absolute socket path a client connects to (WAYLAND_DISPLAY).
    QByteArray socket() const { return socket_.toLocal8Bit(); }
    qint64 pid() const { return process_.processId(); }

    void command(const QByteArray& line) {
        process_.write(line + '\n');
        process_.waitForBytesWritten(1000);
    }

    // Everything said so far, read or not.
    const QList<QByteArray>& lines() {
        drain();
        return lines_;
    }
    int count(const QByteArray& line) {
        drain();
        return int(std::count(lines_.begin(), lines_.end(), line));
    }
    // Waits (running the event loop, so clients in this process go on) for a line that
    // matches, after the first `from` lines.
    bool waitFor(const std::function<bool(const QByteArray&)>& match, int from = 0, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        for (;;) {
            drain();
            for (int i = from; i < lines_.size(); ++i)
                if (match(lines_[i])) return true;
            if (deadline.hasExpired()) return false;
            process_.waitForReadyRead(10);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    bool waitForLine(const QByteArray& line, int from = 0, int ms = 5000) {
        return waitFor([&](const QByteArray& l) { return l == line; }, from, ms);
    }
    bool waitForCount(const QByteArray& line, int n, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        while (count(line) < n) {
            if (deadline.hasExpired()) return false;
            process_.waitForReadyRead(10);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }

    // Every ramp loaded so far, in order.
    std::vector<Ramp> ramps() {
        drain();
        std::vector<Ramp> out;
        for (const QByteArray& l : lines_) {
            if (!l.startsWith("ramp ")) continue;
            const QList<QByteArray> parts = l.split(' ');
            if (parts.size() != 4) continue;
            Ramp r{parts[1].toInt(), parts[2].toInt(), {}};
            const QByteArray& hex = parts[3];
            for (qsizetype i = 0; i + 4 <= hex.size(); i += 4)
                r.entries.push_back(quint16(hex.mid(i, 4).toUInt(nullptr, 16)));
            out.push_back(std::move(r));
        }
        return out;
    }
    // The last ramp an output got; empty entries when none.
    Ramp lastRamp(int output) {
        Ramp last{output, 0, {}};
        for (Ramp& r : ramps())
            if (r.output == output) last = std::move(r);
        return last;
    }

private:
    void drain() {
        while (process_.canReadLine())
            lines_.push_back(process_.readLine().trimmed());
    }

    QTemporaryDir dir_;
    QString socket_;
    QProcess process_;
    QList<QByteArray> lines_;
    bool ready_ = false;
};
