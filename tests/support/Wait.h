// Polls a condition while the test's event loop keeps running.
#pragma once

#include <QElapsedTimer>
#include <QTest>
#include <functional>

inline bool waitFor(const std::function<bool()>& ok, int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (ok()) return true;
        QTest::qWait(50);
    }
    return ok();
}

// True when ok holds through the whole time; false as soon as it fails. For what must not
// happen: it ends early on the fault rather than sleeping through it.
inline bool holdsFor(const std::function<bool()>& ok, int ms) {
    return !waitFor([&] { return !ok(); }, ms);
}

// The value read once two reads 100 ms apart agree (the last read when it never settles).
template <class Read> auto settled(Read read, int ms = 3000) {
    auto last = read();
    waitFor(
        [&] {
            QTest::qWait(50);
            auto now = read();
            const bool same = now == last;
            last = std::move(now);
            return same;
        },
        ms);
    return last;
}
