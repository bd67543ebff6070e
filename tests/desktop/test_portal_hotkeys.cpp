// The hot keys in a Wayland session whose desktop offers the portal's global shortcuts: the
// program binds both there, a press steps the gamma as the X hot key does, switching them off
// closes the session; without them the X keys still serve the Xwayland client.
#include "OptionsDialog.h"
#include "SessionBus.h"
#include "WaylandSession.h"

namespace {

const QString Store = QStringLiteral("HKCU\\Software\\Orvendale Software\\Kelvaro");

struct Session {
    TestCompositor compositor;
    SessionBus bus;
    Kelvaro k;
    explicit Session(int desktop) {
        inSession(k, compositor, bus.address());
        k.seedHotkeysAt(desktop);
    }
    bool at(int position) {
        return compositor.waitUntil([&] {
            return compositor.lastRamp(0).entries == Expected(position) &&
                   k.desktopGamma() == position;
        });
    }
};

// The session the portal made and the shortcuts bound in it, sorted.
QList<QByteArray> Bound(FakePortal& portal, const QByteArray& session) {
    QList<QByteArray> out;
    for (const QByteArray& b : portal.said("bind"))
        if (b.startsWith(session + ' ')) out << b.mid(session.size() + 1);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

class PortalHotkeysTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
    }

    void bothBoundAndAPressSteps() {
        Session s(10);
        FakePortal portal(s.bus);
        QVERIFY(portal.ready() && s.compositor.ready());
        QVERIFY(s.k.start());
        QVERIFY(portal.waitUntil([&] { return portal.said("bind").size() == 2; }));
        QCOMPARE(portal.said("create").size(), 1);
        const QByteArray session = portal.said("create").first();
        QCOMPARE(Bound(portal, session), (QList<QByteArray>{"gamma-down CTRL+ALT+KP_Subtract",
                                                            "gamma-up CTRL+ALT+KP_Add"}));
        QVERIFY(s.at(10));

        portal.activate("gamma-up");
        QVERIFY(s.at(11));
        QVERIFY(waitFor([] { return !osdWindow().isEmpty(); }, 1000));
        portal.activate("gamma-down");
        portal.activate("gamma-down");
        QVERIFY(s.at(9));
        // The X grab is not taken besides: a key press in an X program does nothing.
        xdotool({"key", "ctrl+alt+KP_Add"});
        QTest::qWait(700);
        QCOMPARE(s.k.desktopGamma(), 9);
        QCOMPARE(s.k.terminate(), 0);
    }

    void switchedOffTheSessionCloses() {
        Session s(10);
        FakePortal portal(s.bus);
        QVERIFY(portal.ready() && s.compositor.ready());
        QVERIFY(s.k.start());
        QVERIFY(portal.waitUntil([&] { return portal.said("bind").size() == 2; }));
        const QByteArray session = portal.said("create").first();
        QTest::qWait(1500); // past the splash
        toggleHotkeys(s.k, false);
        QVERIFY(portal.waitUntil([&] { return portal.said("close") == QList{session}; }));
        QCOMPARE(s.k.reg({"query", Store, "/v", "Hotkeys"}).section("0x", 1).trimmed(), "0");

        // On again: a new session with both.
        toggleHotkeys(s.k, false);
        QVERIFY(portal.waitUntil([&] { return portal.said("create").size() == 2; }));
        const QByteArray again = portal.said("create").last();
        QVERIFY(portal.waitUntil([&] { return Bound(portal, again).size() == 2; }));
        portal.activate("gamma-up");
        QVERIFY(s.at(11));
        QCOMPARE(s.k.terminate(), 0);
    }

    // The user refuses the shortcuts: asked once, not again and again.
    void refusedIsAskedOnce() {
        Session s(10);
        FakePortal portal(s.bus, {"--refuse"});
        QVERIFY(portal.ready() && s.compositor.ready());
        QVERIFY(s.k.start());
        QVERIFY(portal.waitUntil([&] { return portal.said("create").size() == 1; }));
        QTest::qWait(700);
        QCOMPARE(portal.said("create").size(), 1);
        QVERIFY(portal.said("bind").isEmpty());
        QCOMPARE(s.k.proc.state(), QProcess::Running);
        QCOMPARE(s.k.terminate(), 0);
    }

    // A portal without global shortcuts: the Xwayland client keeps its X keys.
    void withoutThemTheXKeysServe() {
        Session s(10);
        FakePortal portal(s.bus, {"--no-shortcuts"});
        QVERIFY(portal.ready() && s.compositor.ready());
        QVERIFY(s.k.start());
        QVERIFY(s.at(10));
        QTest::qWait(500);
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(s.at(11));
        QVERIFY(portal.said("create").isEmpty());
        QCOMPARE(s.k.proc.state(), QProcess::Running);
        QCOMPARE(s.k.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(PortalHotkeysTest)
#include "test_portal_hotkeys.moc"
