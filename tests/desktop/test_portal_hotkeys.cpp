// The hot keys in a Wayland session whose desktop offers the portal's global shortcuts: the
// program binds both there, a press steps the gamma as the X hot key does, switching them off
// closes the session; without them, or when the portal fails, the X keys still serve the
// Xwayland client. The portal answers as KDE Plasma's does.
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
        // One name for the shortcuts' group at every start, and no settings page opened.
        QVERIFY2(session.endsWith("/kelvaro"), session.constData());
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

        // On again: a new session with both, under the same name.
        toggleHotkeys(s.k, false);
        QVERIFY(portal.waitUntil([&] { return portal.said("create").size() == 2; }));
        const QByteArray again = portal.said("create").last();
        QCOMPARE(again, session);
        QVERIFY(portal.waitUntil([&] { return portal.said("bind").size() == 4; }));
        portal.activate("gamma-up");
        QVERIFY(s.at(11));
        QCOMPARE(s.k.terminate(), 0);
        QVERIFY(portal.said("settings").isEmpty());
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
        // The answer was no: no X key is grabbed behind the user's back either.
        xdotool({"key", "ctrl+alt+KP_Add"});
        QTest::qWait(700);
        QCOMPARE(s.k.desktopGamma(), 10);
        QCOMPARE(s.k.proc.state(), QProcess::Running);
        QCOMPARE(s.k.terminate(), 0);
    }

    // A portal without global shortcuts, or one that fails (which is no user saying no): the
    // Xwayland client keeps its X keys.
    void withoutThemTheXKeysServe_data() {
        QTest::addColumn<QString>("portalOption");
        QTest::addColumn<int>("sessions");
        QTest::newRow("no global shortcuts") << "--no-shortcuts" << 0;
        QTest::newRow("the back-end fails") << "--fail" << 1;
        QTest::newRow("an error for an answer") << "--error" << 0;
        QTest::newRow("no answer") << "--silent" << 1;
        QTest::newRow("an answer too late") << "--late" << 1;
    }
    void withoutThemTheXKeysServe() {
        QFETCH(QString, portalOption);
        QFETCH(int, sessions);
        Session s(10);
        FakePortal portal(s.bus, {portalOption});
        QVERIFY(portal.ready() && s.compositor.ready());
        QVERIFY(s.k.start());
        QVERIFY(s.at(10));
        QVERIFY(portal.waitUntil([&] { return portal.said("create").size() == sessions; }));
        // A portal that does not answer is given up on after a few seconds; its answer, should
        // it come later, is not heard.
        QTest::qWait(portalOption == "--silent" ? 6000 : portalOption == "--late" ? 7000 : 500);
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(s.at(11));
        portal.activate("gamma-up");
        QTest::qWait(700);
        QCOMPARE(s.k.desktopGamma(), 11);
        QCOMPARE(portal.said("create").size(), sessions);
        QCOMPARE(s.k.proc.state(), QProcess::Running);
        QCOMPARE(s.k.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(PortalHotkeysTest)
#include "test_portal_hotkeys.moc"
