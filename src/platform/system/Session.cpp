#include "platform/system/Session.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>
#include <cstdio>

namespace platform {

SessionFacts CurrentSessionFacts() {
    SessionFacts facts;
    if (qGuiApp) facts.qtPlatform = QGuiApplication::platformName();
    facts.sessionType = qgetenv("XDG_SESSION_TYPE").trimmed().toLower();
    facts.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    return facts;
}

SessionKind DetectSession(const SessionFacts& facts) {
    if (facts.qtPlatform.startsWith(QLatin1String("wayland"))) return SessionKind::Wayland;
    if (facts.qtPlatform != QLatin1String("xcb")) return SessionKind::Other;
    // An X client: on its own server, or on the compositor's Xwayland. A Wayland session
    // exports the compositor's socket name to its X clients as well; a login manager that
    // started the session says so even where that name did not reach us.
    if (!facts.waylandDisplay.isEmpty() || facts.sessionType == "wayland")
        return SessionKind::Xwayland;
    return SessionKind::X11;
}

GammaPath ChooseGammaPath(SessionKind kind, bool wlrOffered, bool mutterOffered) {
    switch (kind) {
    case SessionKind::X11:
        return GammaPath::RandR;
    case SessionKind::Xwayland:
    case SessionKind::Wayland:
        if (wlrOffered) return GammaPath::WlrGammaControl;
        if (mutterOffered) return GammaPath::MutterDisplayConfig;
        return GammaPath::None;
    case SessionKind::Other:
        break;
    }
    return GammaPath::None;
}

QString NoGammaMessage() {
    return QStringLiteral(
        "This desktop does not let programs change the display gamma, so Kelvaro cannot set "
        "one. Profiles still start their programs, at the desktop's own gamma. Desktops that "
        "do let it: X11 sessions, GNOME, and wlroots compositors such as sway, Hyprland, "
        "river, labwc and Wayfire.");
}

QString NoGammaTooltip() {
    return QStringLiteral("Kelvaro - this desktop does not let programs change gamma");
}

QString NoGammaOutputsMessage() {
    return QStringLiteral(
        "None of this desktop's displays takes a gamma ramp (a headless or virtual display has "
        "no gamma tables), so Kelvaro cannot set one. Profiles still start their programs, at "
        "the desktop's own gamma.");
}

QString NoGammaOutputsTooltip() {
    return QStringLiteral("Kelvaro - the gamma is not set: no display takes it");
}

QByteArray CurrentDesktop() {
    return qgetenv("XDG_CURRENT_DESKTOP");
}

namespace {

const QString AppIndicatorUuid = QStringLiteral("ubuntu-appindicators@ubuntu.com");

// GNOME Shell's AppIndicator extension is installed, for every user or for this one.
bool AppIndicatorInstalled() {
    for (const QString& dir :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        if (QFileInfo::exists(dir + QStringLiteral("/gnome-shell/extensions/") + AppIndicatorUuid +
                              QStringLiteral("/metadata.json")))
            return true;
    return false;
}

} // namespace

QString NoTrayMessage(const QByteArray& desktop) {
    QString how;
    const QString enable =
        QStringLiteral(
            "switch on its extension \"Ubuntu AppIndicators\" with the command \"gnome-extensions "
            "enable %1\" (or in the Extensions application)")
            .arg(AppIndicatorUuid);
    if (desktop.split(':').contains("GNOME") && AppIndicatorInstalled())
        how = QStringLiteral("GNOME shows tray icons only with an extension; its package, "
                             "gnome-shell-extension-appindicator, is installed: ") +
              enable + QLatin1Char('.');
    else if (desktop.split(':').contains("GNOME"))
        how = QStringLiteral(
                  "GNOME shows tray icons only with an extension: install the package "
                  "gnome-shell-extension-appindicator (sudo apt install "
                  "gnome-shell-extension-appindicator), log out and in again (GNOME Shell finds "
                  "an extension installed during the session only at the next log-in), then ") +
              enable + QLatin1Char('.');
    else
        how = QStringLiteral(
            "Add a system tray (notification area) to your panel, or start a tray such as "
            "trayer or stalonetray.");
    return QStringLiteral("Kelvaro found no tray for its icon. ") + how +
           QStringLiteral(
               " The icon appears as soon as there is a tray. Until then Kelvaro runs without "
               "it: start Kelvaro again to bring up its profiles window, and close that window "
               "to quit Kelvaro.");
}

namespace {
std::function<void(const QString&, const QString&, NoticeKept)> g_notice;
QString g_hint;
std::function<void()> g_hintChanged;
} // namespace

void SetSessionHint(const QString& hint) {
    if (hint == g_hint) return;
    g_hint = hint;
    if (g_hintChanged) g_hintChanged();
}

QString SessionHint() {
    return g_hint;
}

void setSessionHintChanged(std::function<void()> changed) {
    g_hintChanged = std::move(changed);
}

void setSessionNotice(
    std::function<void(const QString& text, const QString& topic, NoticeKept kept)> notice) {
    g_notice = std::move(notice);
}

void SessionNotice(const QString& text, const QString& topic, NoticeKept kept) {
    if (g_notice)
        g_notice(text, topic, kept);
    else
        std::fprintf(stderr, "kelvaro: %s\n", text.toLocal8Bit().constData());
}

void SessionNoticeOver(const QString& topic) {
    if (g_notice) g_notice(QString(), topic, NoticeKept::WhileItLasts);
}

} // namespace platform
