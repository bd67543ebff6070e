// Turns the raw presses and releases on a tray icon into the notification area's mouse
// messages: a second press of the same button within the double-click time is a double-click
// (down, up, double-click, up, as the shell reports them); a third starts over.
#pragma once

#include "platform/system/Messages.h"

namespace platform {

class TrayMouse {
public:
    explicit TrayMouse(int doubleClickMs) : doubleClickMs_(doubleClickMs) {}

    // X button numbers: 1 left, 2 middle, 3 right; others (the wheel) give 0.
    UINT press(int button, quint32 timeMs) {
        const UINT* m = messages(button);
        if (!m) return 0;
        const bool second = button == lastButton_ && !lastWasDouble_ &&
                            quint32(timeMs - lastTime_) <= quint32(doubleClickMs_);
        lastButton_ = button;
        lastTime_ = timeMs;
        lastWasDouble_ = second;
        return second ? m[2] : m[0];
    }
    UINT release(int button) const {
        const UINT* m = messages(button);
        return m ? m[1] : 0;
    }

private:
    static const UINT* messages(int button) {
        static const UINT left[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK};
        static const UINT middle[] = {WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK};
        static const UINT right[] = {WM_RBUTTONDOWN, WM_RBUTTONUP, WM_RBUTTONDBLCLK};
        switch (button) {
        case 1:
            return left;
        case 2:
            return middle;
        case 3:
            return right;
        default:
            return nullptr;
        }
    }

    int doubleClickMs_;
    int lastButton_ = 0;
    quint32 lastTime_ = 0;
    bool lastWasDouble_ = false;
};

} // namespace platform
