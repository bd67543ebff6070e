// A helper program of the tests that writes what it sees, one line each, on standard output
// and takes commands on standard input: the test compositor, the fake display-configuration
// service. Lines of the form "<word> <id> <size> <hex>" carry gamma tables: red, green and
// blue, size 16-bit entries each, four hex digits an entry.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QTest>
#include <algorithm>
#include <functional>
#include <vector>

class Recorder {
public:
    struct Tables {
        int id = 0;
        int size = 0;
        std::vector<quint16> entries; // red, green, blue
        std::vector<quint16> channel(int c) const {
            const auto from = entries.begin() + qsizetype(c) * size;
            return {from, from + size};
        }
    };

    Recorder() { process_.setProcessChannelMode(QProcess::ForwardedErrorChannel); }
    virtual ~Recorder() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(3000)) process_.kill();
        process_.waitForFinished(1000);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void start(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               const QByteArray& readyPrefix) {
        process_.setProcessEnvironment(env);
        process_.start(program, args);
        ready_ = waitFor([&](const QByteArray& l) { return l.startsWith(readyPrefix); });
    }
    bool ready() const { return ready_; }
    qint64 pid() const { return process_.processId(); }

    void command(const QByteArray& line) {
        process_.write(line + '\n');
        process_.waitForBytesWritten(1000);
    }

    const QList<QByteArray>& lines() {
        drain();
        return lines_;
    }
    int count(const QByteArray& line) {
        drain();
        return int(std::count(lines_.begin(), lines_.end(), line));
    }
    // Waits, running the event loop so clients in this process go on, until `done` holds.
    bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        for (;;) {
            drain();
            if (done()) return true;
            if (deadline.hasExpired()) return false;
            process_.waitForReadyRead(10);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
    bool waitFor(const std::function<bool(const QByteArray&)>& match, int ms = 5000) {
        return waitUntil([&] { return std::any_of(lines_.begin(), lines_.end(), match); }, ms);
    }
    bool waitForStart(const QByteArray& prefix, int ms = 5000) {
        return waitFor([&](const QByteArray& l) { return l.startsWith(prefix); }, ms);
    }
    bool waitForCount(const QByteArray& line, int n, int ms = 5000) {
        return waitUntil([&] { return count(line) >= n; }, ms);
    }
    // Waits for the n-th table line with this word and id.
    bool waitForTables(const QByteArray& word, int id, int n, int ms = 5000) {
        const QByteArray prefix = word + ' ' + QByteArray::number(id) + ' ';
        return waitUntil(
            [&] {
                return std::count_if(lines_.begin(), lines_.end(), [&](const QByteArray& l) {
                           return l.startsWith(prefix);
                       }) >= n;
            },
            ms);
    }

    // Every table line with this word, in order.
    std::vector<Tables> tables(const QByteArray& word) {
        drain();
        std::vector<Tables> out;
        for (const QByteArray& l : lines_) {
            const QList<QByteArray> parts = l.split(' ');
            if (parts.size() != 4 || parts[0] != word) continue;
            Tables t{parts[1].toInt(), parts[2].toInt(), {}};
            for (qsizetype i = 0; i + 4 <= parts[3].size(); i += 4)
                t.entries.push_back(quint16(parts[3].mid(i, 4).toUInt(nullptr, 16)));
            out.push_back(std::move(t));
        }
        return out;
    }
    // The last such line for one id; size 0 when there is none.
    Tables last(const QByteArray& word, int id) {
        Tables found{id, 0, {}};
        for (Tables& t : tables(word))
            if (t.id == id) found = std::move(t);
        return found;
    }

private:
    void drain() {
        while (process_.canReadLine())
            lines_.push_back(process_.readLine().trimmed());
    }

    QProcess process_;
    QList<QByteArray> lines_;
    bool ready_ = false;
};
