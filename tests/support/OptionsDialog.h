// The options dialog, driven as a user does: from the tray menu, by mouse and keys.
#pragma once

#include "Desktop.h"

namespace {

// The options dialog from the tray menu (its second entry); its window, or "".
QString openOptions(Kelvaro& k) {
    // The panel may be laying its icons out again for a moment.
    waitFor([&] { return k.trayIcon().has_value(); }, 3000);
    k.clickIcon(3, 1);
    QTest::qWait(500);
    xdotool({"key", "--delay", "60", "Down", "Down", "Return"});
    QString dialog;
    waitFor([&] { return !(dialog = visibleWindow("^Options$")).isEmpty(); }, 5000);
    return dialog;
}

// Clicks the dialog at a point of its designed layout (313 wide), which grows as a whole with
// the desktop's font.
void clickAt(const QString& dialog, int x, int y) {
    int width = 313;
    for (const QString& line : xdotool({"getwindowgeometry", "--shell", dialog}).split('\n'))
        if (line.startsWith("WIDTH=")) width = line.mid(6).toInt();
    const double scale = width / 313.0;
    xdotool({"mousemove", "--window", dialog, QString::number(qRound(x * scale)),
             QString::number(qRound(y * scale)), "click", "1"});
}

// Clicks "Enable hotkeys" in the options dialog (inside its panel), then Ok.
void toggleHotkeys(Kelvaro& k, bool ctrlHeldForOk) {
    const QString dialog = openOptions(k);
    QVERIFY(!dialog.isEmpty());
    clickAt(dialog, 22, 72);
    QTest::qWait(200);
    if (ctrlHeldForOk) xdotool({"keydown", "ctrl"});
    QTest::qWait(200);
    clickAt(dialog, 200, 196);
    QVERIFY(waitFor([] { return visibleWindow("^Options$").isEmpty(); }, 5000));
}

} // namespace
