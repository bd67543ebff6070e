// Held keys and hot keys from key events as the X server delivers them, including the ones
// that never arrive (a release under another grab, a switch to a text console), checked
// against the keyboard's real state.
#include "platform/keys/HeldKeys.h"

#include <QObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>
#include <functional>
#include <map>
#include <vector>

using platform::HeldKeys;

namespace {

// Control_L 37, Control_R 105, Alt_L 64, Shift_L 50, Num_Lock 77 (a lock), ISO_Level3_Shift
// 92 (a lock, as Mode_switch shares its bit); Ctrl+Alt+KP_Add (86) is 1, Ctrl+Alt+KP_Subtract
// (82) is 2.
constexpr std::uint16_t Shift = 0x01, Control = 0x04, Mod1 = 0x08, Mod2 = 0x10, Mod5 = 0x80;

HeldKeys keys() {
    HeldKeys k;
    k.setModifiers({{37, Control}, {105, Control}, {64, Mod1}, {50, Shift}, {77, Mod2}, {92, Mod5}},
                   std::uint16_t(0x02 | Mod2 | Mod5));
    k.setBindings({{1, Control | Mod1, {86}}, {2, Control | Mod1, {82}}});
    return k;
}

// Plays a script against HeldKeys and the keyboard it stands for; returns the hot keys made,
// by presses and repeat ticks, in order. Tokens (N a keycode):
//   dN / uN   the key goes down / up and the event arrives
//   !dN / !uN the key goes down / up and the event never arrives
//   >uN       the key goes up; its event arrives later, as <uN
//   RN        the server's own repeat of a held key
//   t         a repeat tick        wN  N milliseconds pass
//   off / on  the hot keys switched off / on     map  a new keymap
//   xkb       from here on each press carries the modifiers down at its own time, as XKB says
//   lag / go  the events from lag on wait, while the keyboard goes on, until go
//   norepeat / repeat    the keyboard's repeat off / on; with N, for that key only
QString play(const QString& script) {
    HeldKeys k = keys();
    HeldKeys::Keymap real;
    std::uint32_t now = 5000;
    const HeldKeys::ReadKeymap read = [&] { return real; };
    QStringList made;
    auto note = [&](int id) {
        if (id) made << QString::number(id);
    };
    bool xkb = false, lagging = false;
    std::vector<std::function<void()>> waiting;
    HeldKeys::Keymap repeatKeys = HeldKeys::Keymap().set();
    bool repeatOn = true;
    // The modifier bits of the keys down now.
    auto modifiers = [&]() -> std::optional<std::uint16_t> {
        if (!xkb) return std::nullopt;
        std::uint16_t bits = 0;
        for (const auto& [key, bit] : std::map<int, std::uint16_t>{
                 {37, Control}, {105, Control}, {64, Mod1}, {50, Shift}, {77, Mod2}, {92, Mod5}})
            if (real[std::size_t(key)]) bits |= bit;
        return bits;
    };
    auto deliver = [&](std::function<void()> event) {
        if (lagging)
            waiting.push_back(std::move(event));
        else
            event();
    };
    for (const QString& token : script.split(' ', Qt::SkipEmptyParts)) {
        now += 10;
        const auto code = std::uint8_t(token.mid(token.indexOf(QRegularExpression("\\d"))).toInt());
        const bool keyed = token.contains(QRegularExpression("\\d"));
        if (token == "xkb")
            xkb = true;
        else if (token == "lag")
            lagging = true;
        else if (token == "go") {
            lagging = false;
            for (auto& event : waiting)
                event();
            waiting.clear();
        } else if (token.startsWith("norepeat") || token.startsWith("repeat")) {
            const bool on = token.startsWith("repeat");
            if (keyed)
                repeatKeys.set(code, on);
            else
                repeatOn = on;
            k.setRepeat(repeatOn, repeatKeys);
        } else if (token == "t")
            note(k.tick(real));
        else if (token == "off")
            k.reset();
        else if (token == "on" || token == "map")
            k.reset(real);
        else if (token.startsWith('w'))
            now += token.mid(1).toUInt();
        else if (token.startsWith('d')) {
            real.set(code);
            deliver([&, code, at = now, mods = modifiers()] {
                note(k.press(code, at, false, read, mods));
            });
        } else if (token.startsWith('u')) {
            real.reset(code);
            deliver([&k, code] { k.release(code); });
        } else if (token.startsWith("!d"))
            real.set(code);
        else if (token.startsWith("!u") || token.startsWith(">u"))
            real.reset(code);
        else if (token.startsWith("<u"))
            k.release(code);
        else if (token.startsWith('R'))
            note(k.press(code, now, true, read));
        else
            return "bad token " + token;
    }
    return made.join(' ');
}

} // namespace

class HeldKeysTest : public QObject {
    Q_OBJECT

private slots:
    void hotKeys_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("made");
        QTest::newRow("one press") << "d37 d64 d86 u86 u64 u37"
                                   << "1";
        QTest::newRow("minus, right Ctrl") << "d105 d64 d82 u82 u64 u105"
                                           << "2";
        QTest::newRow("num lock on") << "d77 u77 !d77 d37 d64 d86 u86 u64 u37"
                                     << "1";
        QTest::newRow("AltGr held") << "d92 d37 d64 d86 u86 u64 u37 d37 d64 d86 u86 u64 u37 u92"
                                    << "1 1";
        QTest::newRow("keypad alone") << "d86 u86"
                                      << "";
        QTest::newRow("Ctrl only") << "d37 d86 u86 u37"
                                   << "";
        QTest::newRow("Alt only") << "d64 d86 u86 u64"
                                  << "";
        QTest::newRow("with Shift") << "d50 d37 d64 d86 u86 u64 u37 u50"
                                    << "";
        // A remapped keypad: the key reaches programs, our grab takes it, and the releases
        // come some other way or not at all. Every press still steps exactly once.
        QTest::newRow("releases lost")
            << "d37 d64 d86 !u86 !u64 !u37 d37 d64 d86 !u86 !u64 !u37 d37 d64 d86 !u86 !u64 !u37"
            << "1 1 1";
        QTest::newRow("quick tap") << "d37 d64 >u37 >u64 d86 <u64 <u37 u86"
                                   << "1";
        QTest::newRow("server repeats") << "d37 d64 d86 R86 R86 R86 u86 u64 u37"
                                        << "1";
        // Holding: the program repeats at its own pace, and stops with any of the three keys.
        QTest::newRow("held") << "d37 d64 d86 t t t u86 t t"
                              << "1 1 1 1";
        QTest::newRow("Ctrl let go") << "d37 d64 d86 t u37 t t u64 u86"
                                     << "1 1";
        QTest::newRow("Alt let go") << "d37 d64 d86 t u64 t t u37 u86"
                                    << "1 1";
        QTest::newRow("key let go, release lost") << "d37 d64 d86 t !u86 t t"
                                                  << "1 1";
        QTest::newRow("modifiers let go first, releases lost")
            << "d37 d64 d86 t !u64 !u37 t t t u86"
            << "1 1";
        QTest::newRow("another key meanwhile") << "d37 d64 d86 t d38 t u38 t u86 t"
                                               << "1 1 1 1";
        QTest::newRow("minus while plus repeats") << "d37 d64 d86 t d82 t u82 t"
                                                  << "1 1 2 2";
        // Keys that went up without a word: a console switch with Ctrl+Alt+F1 and back.
        QTest::newRow("stale modifiers") << "d37 d64 !u64 !u37 w3000 d86 u86"
                                         << "";
        QTest::newRow("stale Ctrl, Alt held") << "d37 !u37 w3000 d64 d86 u86 u64"
                                              << "";
        QTest::newRow("long-held Ctrl is real") << "d37 w3000 d64 d86 u86 u64 u37"
                                                << "1";
        // Switched off while Ctrl is down, Ctrl let go, switched on: Alt+plus is not a hot key.
        QTest::newRow("off, Ctrl let go, on") << "d37 off !u37 on d64 d86 u86 u64"
                                              << "";
        QTest::newRow("on while Ctrl held") << "!d37 on d64 d86 u86 u64 u37"
                                            << "1";
        QTest::newRow("off ends a repeat") << "d37 d64 d86 t off t"
                                           << "1 1";
        QTest::newRow("new keymap") << "d37 d64 map !u37 t d86"
                                    << "";
        QTest::newRow("new keymap, keys held") << "d37 d64 map d86 u86 u64 u37"
                                               << "1";
        // Seen late: a busy server, or a program that can't keep up, meets these presses
        // only after Ctrl and Alt are up again; each was made all the same, and counts once.
        QTest::newRow("seen late, Ctrl and Alt held long")
            << "xkb d37 d64 w1500 lag d86 u86 w100 d86 u86 u64 u37 go"
            << "1 1";
        QTest::newRow("seen late, the second without Ctrl")
            << "xkb lag d37 d64 d86 u86 u37 d86 u86 u64 go"
            << "1";
        QTest::newRow("seen late, pressed before Ctrl") << "xkb lag d64 d86 d37 u86 u37 u64 go"
                                                        << "";
        QTest::newRow("state known, releases lost")
            << "xkb d37 d64 !u64 !u37 w3000 d86 u86 d37 d64 d86 !u86 !u64 !u37 d37 d64 d86"
            << "1 1";
        // The keyboard's own repeat settings: off, off for the key, changed while held.
        QTest::newRow("repeat off") << "norepeat d37 d64 d86 t t u86 d86 t"
                                    << "1 1";
        QTest::newRow("repeat off for the key") << "norepeat86 d37 d64 d86 t t u86"
                                                << "1";
        QTest::newRow("repeat off for another key") << "norepeat82 d37 d64 d86 t t u86"
                                                    << "1 1 1";
        QTest::newRow("repeat off while held") << "d37 d64 d86 t norepeat t t"
                                               << "1 1";
        QTest::newRow("repeat back on, next press") << "norepeat d37 d64 d86 t repeat u86 d86 t"
                                                    << "1 1 1";
        QTest::newRow("a key that doesn't repeat ends the repeat")
            << "norepeat82 d37 d64 d86 t d82 t t"
            << "1 1 2";
    }
    void hotKeys() {
        QFETCH(QString, script);
        QFETCH(QString, made);
        QCOMPARE(play(script), made);
    }

    // The server is asked only when a held modifier needs checking.
    void keymapReadOnlyWhenNeeded() {
        HeldKeys k = keys();
        int reads = 0;
        HeldKeys::Keymap real;
        const HeldKeys::ReadKeymap read = [&] {
            ++reads;
            return real;
        };
        real.set(37).set(64).set(86);
        QCOMPARE(k.press(37, 100, false, read), 0);
        QCOMPARE(k.press(64, 110, false, read), 0);
        QCOMPARE(k.press(86, 120, false, read), 1);
        QCOMPARE(reads, 0);
        k.release(86);
        QCOMPARE(k.press(86, 120 + HeldKeys::StaleAfterMs + 100, false, read), 1);
        QCOMPARE(reads, 1);
    }

    void timeWrapsAround() {
        HeldKeys k = keys();
        HeldKeys::Keymap real; // Ctrl and Alt went up; their releases are still on the way
        const HeldKeys::ReadKeymap read = [&] { return real; };
        k.press(37, 0xFFFFFFF0u, false, read);
        k.press(64, 0xFFFFFFF8u, false, read);
        QCOMPARE(k.press(86, 5, false, read), 1);
    }

    void bindingsChangedUnderARepeat() {
        HeldKeys k = keys();
        HeldKeys::Keymap real;
        real.set(37).set(64).set(86);
        QCOMPARE(k.press(86, 1, false, {}), 0);
        k.reset(real);
        QCOMPARE(k.press(86, 2, true, {}), 0); // a repeat of a key held
        k.release(86);
        QCOMPARE(k.press(86, 3, false, {}), 1);
        k.setBindings({{2, Control | Mod1, {82}}});
        QCOMPARE(k.repeating(), 0);
        QCOMPARE(k.tick(real), 0);
    }
};

QTEST_APPLESS_MAIN(HeldKeysTest)
#include "test_heldkeys.moc"
