// The notification area where the desktop has a StatusNotifierItem host (KDE Plasma, GNOME's
// AppIndicator extension, swaybar, waybar) instead of an XEmbed tray: the icon is an item on
// the session bus, and its menu is exported there (com.canonical.dbusmenu) for hosts that draw
// it themselves. Hosts that don't ask the item for its menu at a point of their choosing.
#pragma once

#include "platform/tray/NotifyArea.h"

#include <QHash>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QObject;

namespace platform {

// A StatusNotifierWatcher runs on the session bus and a host has registered with it.
bool StatusNotifierHostAvailable();
// Calls `maybe` whenever a host may have come: a watcher started, or a host registered with
// it. Nothing is asked meanwhile; it stops when the returned object goes.
std::unique_ptr<QObject> WatchForStatusNotifierHost(std::function<void()> maybe);
// Calls `maybe` whenever the host may have gone: the watcher left the bus, or a host
// unregistered from it.
std::unique_ptr<QObject> WatchForStatusNotifierHostLeaving(std::function<void()> maybe);

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

// The ids a dbusmenu host knows a menu's entries by. An entry keeps its id for as long as it
// lives; every new entry gets an id no entry has had before in this process, even one made
// where a deleted entry was in memory, so an id a host kept from an older layout finds
// nothing rather than another entry.
class DBusMenuIds {
public:
    int idOf(QAction* action);
    // The live entry with that id; nullptr for 0, an unknown id or a deleted entry.
    QAction* actionOf(int id) const;
    // Forgets the ids of entries that are gone.
    void prune();

private:
    QHash<int, QPointer<QAction>> actions_;
    int lastId_ = 0;
};

// Where a host's point for the menu is on no screen (a host that sends 32767,32767, say),
// the nearest point of the primary screen; a point on a screen stays.
QPoint HostPointOnScreen(QPoint at);

// A menu caption as dbusmenu writes it: "_" marks the mnemonic and "__" is an underscore;
// the toolkit's "&" and "&&" become those.
QString DBusMenuLabel(const QString& text);
// The entries a host is given for a menu: where the menu collapses its separators (none
// leading, trailing or two in a row, hidden entries not counted), so does the list.
QList<QAction*> DBusMenuEntries(const QMenu& menu);
// What dbusmenu says of one menu entry: its type, label, enabled and visible state, icon.
QVariantMap DBusMenuProperties(const QAction* action);

} // namespace platform
