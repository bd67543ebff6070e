// The fake services' commands: lines on standard input, split into words, one call each. The
// service quits when its input closes.
#pragma once

#include <QCoreApplication>
#include <QSocketNotifier>
#include <functional>
#include <unistd.h>

class Commands {
public:
    explicit Commands(std::function<void(const QList<QByteArray>&)> command)
        : command_(std::move(command)) {
        QObject::connect(&input_, &QSocketNotifier::activated, [this] { read(); });
    }

private:
    void read() {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending_.append(buf, n);
        qsizetype eol;
        while ((eol = pending_.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = pending_.left(eol).split(' ');
            pending_.remove(0, eol + 1);
            command_(words);
        }
    }

    std::function<void(const QList<QByteArray>&)> command_;
    QSocketNotifier input_{STDIN_FILENO, QSocketNotifier::Read};
    QByteArray pending_;
};
