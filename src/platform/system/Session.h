// Which kind of session the program runs in, and which way to the display's gamma it has.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace platform {

enum class SessionKind {
    X11,      // an X server of its own: RandR gamma reaches the screen
    Xwayland, // an X client of a Wayland compositor: RandR changes nothing visible
    Wayland,  // a native Wayland client
    Other,    // offscreen, VNC and the like: no screen of ours
};

enum class GammaPath {
    RandR,               // X RandR CRTC gamma
    WlrGammaControl,     // wlroots compositors: per-output gamma controls
    MutterDisplayConfig, // GNOME: Mutter's display configuration on the session bus
    None,                // the desktop offers programs no way
};

// What the session tells a program about itself.
struct SessionFacts {
    QString qtPlatform;        // the toolkit's platform plugin: "xcb", "wayland", "offscreen" ...
    QByteArray sessionType;    // XDG_SESSION_TYPE
    QByteArray waylandDisplay; // WAYLAND_DISPLAY
};

SessionFacts CurrentSessionFacts();
SessionKind DetectSession(const SessionFacts& facts);

// The way to the gamma, given what the desktop offers: a wlroots gamma-control manager on
// the compositor's registry, Mutter's display-configuration service on the session bus.
GammaPath ChooseGammaPath(SessionKind kind, bool wlrOffered, bool mutterOffered);

// One line for the user when the desktop has no way for programs to change gamma.
QString NoGammaMessage();
// The same, short enough for the tray icon's tooltip.
QString NoGammaTooltip();
// The topic of the notices that no gamma can be set (SessionNotice).
inline const QString NoGammaTopic = QStringLiteral("NoGamma");
// The desktop has a way, but no display takes a gamma ramp (a headless or virtual monitor
// without gamma tables); and the same for the tooltip.
QString NoGammaOutputsMessage();
QString NoGammaOutputsTooltip();
// No tray took the program's icon: how to get one on this desktop (XDG_CURRENT_DESKTOP), and
// how to reach and quit the program meanwhile.
QString NoTrayMessage(const QByteArray& desktop);
QByteArray CurrentDesktop();

// Where words for the user about what the session lets the program do go (no gamma, a
// compositor refusing an output's gamma, no hot keys). The program installs it before the
// display and the hot keys are first used; where none is installed (kelvaro --reset), the words
// go to standard error.
//
// A notice about a lasting situation has a topic; the program keeps, per topic, the text it
// last said, so the same words are not said again at every start. How a notice is kept:
enum class NoticeKept {
    ThisRun,      // said once while the program runs
    WhileItLasts, // said once for as long as its situation lasts (until SessionNoticeOver)
    WhenUserAsks, // the user may ask not to be shown it again
};
void setSessionNotice(
    std::function<void(const QString& text, const QString& topic, NoticeKept kept)> notice);
void SessionNotice(const QString& text, const QString& topic = {},
                   NoticeKept kept = NoticeKept::ThisRun);
// The situation a topic's notice told of is over: should it come back, it is told again.
void SessionNoticeOver(const QString& topic);
// A few words for the tray icon's tooltip about the session ("" for none), shown where nothing
// more pressing is said there; `changed` runs when they change.
void SetSessionHint(const QString& hint);
QString SessionHint();
void setSessionHintChanged(std::function<void()> changed);

} // namespace platform
