// The notification area where the desktop has a StatusNotifierItem host (KDE Plasma, GNOME's
// AppIndicator extension, swaybar, waybar) instead of an XEmbed tray: the icon is an item on
// the session bus, and its menu is exported there (com.canonical.dbusmenu) for hosts that draw
// it themselves. Hosts that don't ask the item for its menu at a point of their choosing.
#pragma once

#include "platform/tray/NotifyArea.h"

#include <QPoint>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>

class QAction;
class QMenu;

namespace platform {

// A StatusNotifierWatcher runs on the session bus and a host has registered with it.
bool StatusNotifierHostAvailable();

// One icon as a StatusNotifierItem. Mouse actions the host reports reach post with the point
// the host gave.
class StatusNotifierIcon {
public:
    using Post = std::function<void(UINT mouse, QPoint at)>;
    explicit StatusNotifierIcon(Post post);
    ~StatusNotifierIcon();
    StatusNotifierIcon(const StatusNotifierIcon&) = delete;
    StatusNotifierIcon& operator=(const StatusNotifierIcon&) = delete;

    void apply(const NOTIFYICONDATAA& data);
    void setMenu(QMenu* menu);
    // Puts the item on the bus and registers it with the watcher (again when a watcher
    // starts later). False when the session bus can't be reached.
    bool show();

    struct Parts;

private:
    std::unique_ptr<Parts> d_;
};

// A menu caption as dbusmenu writes it: "_" marks the mnemonic and "__" is an underscore;
// the toolkit's "&" and "&&" become those.
QString DBusMenuLabel(const QString& text);
// The entries a host is given for a menu: where the menu collapses its separators (none
// leading, trailing or two in a row, hidden entries not counted), so does the list.
QList<QAction*> DBusMenuEntries(const QMenu& menu);
// What dbusmenu says of one menu entry: its type, label, enabled and visible state, icon.
QVariantMap DBusMenuProperties(const QAction* action);

} // namespace platform
