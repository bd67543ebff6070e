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
