#include "platform/tray/StatusNotifier.h"

#include <QAction>
#include <QBuffer>
#include <QCache>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <tuple>

namespace platform::sni {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString ItemPath = QStringLiteral("/StatusNotifierItem");
const QString MenuPath = QStringLiteral("/MenuBar");

// The wire types: an icon picture (iiay, ARGB32 in network byte order), the tool tip
// (sa(iiay)ss), and dbusmenu's entries, layout tree and events. A plain structure names its
// fields once, in wire order, in tie(); one pair of operators below marshals all of them.
struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
    template <typename Self> static auto tie(Self& s) {
        return std::tie(s.width, s.height, s.bytes);
    }
};
using Pixmaps = QList<Pixmap>;
struct ToolTip {
    QString iconName;
    Pixmaps pixmaps;
    QString title;
    QString text;
    template <typename Self> static auto tie(Self& s) {
        return std::tie(s.iconName, s.pixmaps, s.title, s.text);
    }
};
// An entry's id with its properties (a{sv}) or property names (as).
template <typename T> struct Entry {
    int id = 0;
    T properties;
    template <typename Self> static auto tie(Self& s) { return std::tie(s.id, s.properties); }
};
using MenuItem = Entry<QVariantMap>;
using MenuItems = QList<MenuItem>;
using MenuItemKeys = Entry<QStringList>;
using MenuItemKeysList = QList<MenuItemKeys>;
struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};
struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
    template <typename Self> static auto tie(Self& s) {
        return std::tie(s.id, s.eventId, s.data, s.timestamp);
    }
};
using MenuEvents = QList<MenuEvent>;

template <typename T>
concept WireStruct = requires(T& t) {
    T::tie(t);
};

template <WireStruct T> QDBusArgument& operator<<(QDBusArgument& a, const T& value) {
    a.beginStructure();
    std::apply([&a](const auto&... field) { (a << ... << field); }, T::tie(value));
    a.endStructure();
    return a;
}
template <WireStruct T> const QDBusArgument& operator>>(const QDBusArgument& a, T& value) {
    a.beginStructure();
    std::apply([&a](auto&... field) { (a >> ... >> field); }, T::tie(value));
    a.endStructure();
    return a;
}
// Children travel as variants holding the same structure: (ia{sv}av).
QDBusArgument& operator<<(QDBusArgument& a, const MenuLayout& l) {
    a.beginStructure();
    a << l.id << l.properties;
    a.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const MenuLayout& child : l.children)
        a << QDBusVariant(QVariant::fromValue(child));
    a.endArray();
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, MenuLayout& l) {
    a.beginStructure();
    a >> l.id >> l.properties;
    a.beginArray();
    while (!a.atEnd()) {
        QDBusVariant v;
        a >> v;
        MenuLayout child;
        v.variant().value<QDBusArgument>() >> child;
        l.children << child;
    }
    a.endArray();
    a.endStructure();
    return a;
}

} // namespace platform::sni

Q_DECLARE_METATYPE(platform::sni::Pixmap)
Q_DECLARE_METATYPE(platform::sni::ToolTip)
Q_DECLARE_METATYPE(platform::sni::MenuItem)
Q_DECLARE_METATYPE(platform::sni::MenuItemKeys)
Q_DECLARE_METATYPE(platform::sni::MenuLayout)
Q_DECLARE_METATYPE(platform::sni::MenuEvent)

namespace platform {

namespace sni {

void registerTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<Pixmap>();
        qDBusRegisterMetaType<Pixmaps>();
        qDBusRegisterMetaType<ToolTip>();
        qDBusRegisterMetaType<MenuItem>();
        qDBusRegisterMetaType<MenuItems>();
        qDBusRegisterMetaType<MenuItemKeys>();
        qDBusRegisterMetaType<MenuItemKeysList>();
        qDBusRegisterMetaType<MenuLayout>();
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<MenuEvents>();
        // The names the exported signatures spell.
        qRegisterMetaType<Pixmaps>("platform::sni::Pixmaps");
        qRegisterMetaType<MenuItems>("platform::sni::MenuItems");
        qRegisterMetaType<MenuItemKeysList>("platform::sni::MenuItemKeysList");
        qRegisterMetaType<MenuEvents>("platform::sni::MenuEvents");
        return true;
    }();
    Q_UNUSED(done);
}

Pixmaps pixmapsOf(const QIcon& icon) {
    Pixmaps out;
    for (const int side : {16, 22, 24, 32, 48}) {
        QImage image = icon.pixmap(side, side)
                           .toImage()
                           .scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                           .convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) continue;
        Pixmap p{image.width(), image.height(), QByteArray()};
        p.bytes.resize(qsizetype(image.width()) * image.height() * 4);
        auto* to = reinterpret_cast<quint32*>(p.bytes.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* from = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *to++ = qToBigEndian(from[x]);
        }
        out << p;
    }
    return out;
}

// com.canonical.dbusmenu for one menu: a flat list under the root item 0. Entries keep their
// id for as long as they live (DBusMenuIds); the layout's revision goes up whenever the menu
// changes, before any host can read the changed layout.
class MenuObject : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    void setMenu(QMenu* menu) {
        if (menu_) menu_->removeEventFilter(this);
        menu_ = menu;
        if (menu_) menu_->installEventFilter(this);
        changed();
    }
    bool hasMenu() const { return !menu_.isNull(); }

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   platform::sni::MenuLayout& layout) {
        Q_UNUSED(propertyNames);
        layout = MenuLayout{parentId, propertiesOf(parentId), {}};
        if (parentId == 0 && recursionDepth != 0 && menu_)
            for (QAction* a : DBusMenuEntries(*menu_))
                layout.children << MenuLayout{idOf(a), DBusMenuProperties(a), {}};
        return revision_;
    }
    platform::sni::MenuItems GetGroupProperties(const QList<int>& ids,
                                                const QStringList& propertyNames) {
        Q_UNUSED(propertyNames);
        MenuItems out;
        for (const int id : ids)
            if (id == 0 || actionOf(id)) out << MenuItem{id, propertiesOf(id)};
        return out;
    }
    QDBusVariant GetProperty(int id, const QString& name) {
        const QVariantMap properties = propertiesOf(id);
        const auto found = properties.find(name);
        if (found != properties.end()) return QDBusVariant(*found);
        // An empty variant can't travel: without an error the caller would wait for its
        // timeout.
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs,
                           id == 0 || actionOf(id)
                               ? QStringLiteral("entry %1 has no property %2").arg(id).arg(name)
                               : QStringLiteral("no entry %1 in the menu").arg(id));
        return QDBusVariant(QVariant(0));
    }
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp) {
        Q_UNUSED(data);
        Q_UNUSED(timestamp);
        if (eventId != QLatin1String("clicked")) return;
        QPointer<QAction> action = actionOf(id);
        if (!action || action->isSeparator() || !action->isEnabled()) return;
        // After the reply: the choice may open a modal dialog.
        QTimer::singleShot(0, action, [action] {
            if (action) action->trigger();
        });
    }
    QList<int> EventGroup(const platform::sni::MenuEvents& events) {
        QList<int> unknown;
        for (const MenuEvent& e : events) {
            if (e.id != 0 && !actionOf(e.id)) unknown << e.id;
            Event(e.id, e.eventId, e.data, e.timestamp);
        }
        return unknown;
    }
    bool AboutToShow(int id) {
        Q_UNUSED(id);
        return false;
    }
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
        Q_UNUSED(ids);
        idErrors.clear();
        return {};
    }

signals:
    void ItemsPropertiesUpdated(const platform::sni::MenuItems& updatedProps,
                                const platform::sni::MenuItemKeysList& removedProps);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == menu_ &&
            (e->type() == QEvent::ActionAdded || e->type() == QEvent::ActionRemoved ||
             e->type() == QEvent::ActionChanged))
            changed();
        return false;
    }

private:
    // Changes come in bursts (a rebuild adds every entry): one new layout for each burst.
    void changed() {
        // A host that reads the layout before the signal sees the new revision already.
        if (!pending_) ++revision_;
        if (pending_) return;
        pending_ = true;
        QTimer::singleShot(0, this, [this] {
            pending_ = false;
            ids_.prune();
            emit LayoutUpdated(revision_, 0);
        });
    }
    int idOf(QAction* a) { return ids_.idOf(a); }
    QAction* actionOf(int id) const {
        QAction* a = ids_.actionOf(id);
        return a && menu_ && menu_->actions().contains(a) ? a : nullptr;
    }
    QVariantMap propertiesOf(int id) const {
        if (id == 0) return {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
        const QAction* a = actionOf(id);
        return a ? DBusMenuProperties(a) : QVariantMap();
    }

    QPointer<QMenu> menu_;
    DBusMenuIds ids_;
    uint revision_ = 1;
    bool pending_ = false;
};

// org.kde.StatusNotifierItem.
class ItemObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(platform::sni::Pixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ iconName)
    Q_PROPERTY(platform::sni::Pixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(platform::sni::Pixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(platform::sni::ToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    StatusNotifierIcon::Post post;
    QString tip;
    Pixmaps pixmaps;
    const MenuObject* menuObject = nullptr;

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QCoreApplication::applicationName(); }
    // The program's name, as hosts list the item (Plasma's System Tray Settings); the
    // tooltip says the rest.
    QString title() const { return QStringLiteral("Kelvaro"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconName() const { return QString(); }
    Pixmaps iconPixmap() const { return pixmaps; }
    Pixmaps noPixmaps() const { return {}; }
    ToolTip toolTip() const { return ToolTip{QString(), {}, tip, QString()}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const {
        return QDBusObjectPath(
            menuObject && menuObject->hasMenu() ? MenuPath : QStringLiteral("/NO_DBUSMENU"));
    }

public slots:
    // The host's own menu gesture, for hosts that don't draw the exported menu.
    void ContextMenu(int x, int y) {
        const QPoint at = HostPointOnScreen({x, y});
        post(WM_RBUTTONDOWN, at);
        post(WM_RBUTTONUP, at);
    }
    // A host's click on the item restores, as a double-click on the icon does.
    void Activate(int x, int y) { post(WM_LBUTTONDBLCLK, {x, y}); }
    void SecondaryActivate(int x, int y) {
        post(WM_MBUTTONDOWN, {x, y});
        post(WM_MBUTTONUP, {x, y});
    }
    void Scroll(int delta, const QString& orientation) {
        Q_UNUSED(delta);
        Q_UNUSED(orientation);
    }

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);
    void NewMenu();
};

} // namespace sni

struct StatusNotifierIcon::Parts {
    sni::ItemObject item;
    sni::MenuObject menu;
    QString service;
    std::unique_ptr<QDBusServiceWatcher> watcher;
    bool shown = false;

    // A watcher that has only just taken its name may not serve its object yet (GNOME's
    // extension, switched on while the program runs): a refused registration is made again, a
    // second later, a few times.
    void registerWithWatcher(int tries = 5) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            sni::WatcherService, sni::WatcherPath, sni::WatcherService,
            QStringLiteral("RegisterStatusNotifierItem"));
        call << service;
        auto* reply =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), &item);
        QObject::connect(reply, &QDBusPendingCallWatcher::finished, &item,
                         [this, tries](QDBusPendingCallWatcher* w) {
                             w->deleteLater();
                             if (w->isError() && tries > 1)
                                 QTimer::singleShot(1000, &item, [this, tries] {
                                     registerWithWatcher(tries - 1);
                                 });
                         });
    }
};

StatusNotifierIcon::StatusNotifierIcon(Post post) : d_(std::make_unique<Parts>()) {
    sni::registerTypes();
    d_->item.post = std::move(post);
    d_->item.menuObject = &d_->menu;
}

StatusNotifierIcon::~StatusNotifierIcon() {
    if (!d_->shown) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(sni::ItemPath);
    bus.unregisterObject(sni::MenuPath);
    bus.unregisterService(d_->service);
}

void StatusNotifierIcon::apply(const NOTIFYICONDATAA& data) {
    if (data.uFlags & NIF_ICON) {
        d_->item.pixmaps = sni::pixmapsOf(data.hIcon);
        emit d_->item.NewIcon();
    }
    const QString tip = (data.uFlags & NIF_TIP) ? data.tip() : QString();
    if (tip != d_->item.tip) {
        d_->item.tip = tip;
        emit d_->item.NewToolTip();
    }
}

void StatusNotifierIcon::setMenu(QMenu* menu) {
    const bool had = d_->menu.hasMenu();
    d_->menu.setMenu(menu);
    if (had != d_->menu.hasMenu()) emit d_->item.NewMenu();
}

bool StatusNotifierIcon::show() {
    if (d_->shown) return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    static int count = 0;
    d_->service = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                      .arg(QCoreApplication::applicationPid())
                      .arg(++count);
    const auto exports = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                         QDBusConnection::ExportAllProperties;
    if (!bus.registerObject(sni::ItemPath, &d_->item, exports) ||
        !bus.registerObject(sni::MenuPath, &d_->menu, exports) ||
        !bus.registerService(d_->service)) {
        bus.unregisterObject(sni::ItemPath);
        bus.unregisterObject(sni::MenuPath);
        return false;
    }
    d_->shown = true;
    d_->registerWithWatcher();
    // A host restarting brings a new watcher: the item registers with it again.
    d_->watcher = std::make_unique<QDBusServiceWatcher>(sni::WatcherService, bus,
                                                        QDBusServiceWatcher::WatchForRegistration);
    Parts* d = d_.get();
    QObject::connect(d_->watcher.get(), &QDBusServiceWatcher::serviceRegistered,
                     [d] { d->registerWithWatcher(); });
    return true;
}

bool StatusNotifierHostAvailable() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    if (!bus.interface()->isServiceRegistered(sni::WatcherService)) return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        sni::WatcherService, sni::WatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << sni::WatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

namespace {

// The watcher coming (or going) and its hosts registering (or leaving).
class HostWatch : public QObject {
    Q_OBJECT
public:
    HostWatch(bool coming, std::function<void()> maybe) : maybe_(std::move(maybe)) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        watcher_.setConnection(bus);
        watcher_.setWatchMode(coming ? QDBusServiceWatcher::WatchForRegistration
                                     : QDBusServiceWatcher::WatchForUnregistration);
        watcher_.addWatchedService(sni::WatcherService);
        QObject::connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this,
                         [this] { came(); });
        QObject::connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
                         [this] { came(); });
        bus.connect(sni::WatcherService, sni::WatcherPath, sni::WatcherService,
                    coming ? QStringLiteral("StatusNotifierHostRegistered")
                           : QStringLiteral("StatusNotifierHostUnregistered"),
                    this, SLOT(came()));
    }

public slots:
    void came() { maybe_(); }

private:
    std::function<void()> maybe_;
    QDBusServiceWatcher watcher_;
};

} // namespace

std::unique_ptr<QObject> WatchForStatusNotifierHost(std::function<void()> maybe) {
    return std::make_unique<HostWatch>(true, std::move(maybe));
}

std::unique_ptr<QObject> WatchForStatusNotifierHostLeaving(std::function<void()> maybe) {
    return std::make_unique<HostWatch>(false, std::move(maybe));
}

// The id lives on the entry itself as well: a new entry made at a deleted one's address has
// none, so it can't pass for the old one.
const char* const IdProperty = "kelvaro-dbusmenu-id";

int DBusMenuIds::idOf(QAction* action) {
    bool known = false;
    const int id = action->property(IdProperty).toInt(&known);
    if (known && actions_.value(id) == action) return id;
    actions_.insert(++lastId_, action);
    action->setProperty(IdProperty, lastId_);
    return lastId_;
}

QAction* DBusMenuIds::actionOf(int id) const {
    QAction* action = actions_.value(id);
    return action && action->property(IdProperty).toInt() == id ? action : nullptr;
}

void DBusMenuIds::prune() {
    actions_.removeIf([](const auto& entry) { return entry.value().isNull(); });
}

QPoint HostPointOnScreen(QPoint at) {
    if (QGuiApplication::screenAt(at)) return at;
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return at;
    const QRect area = screen->geometry();
    return {std::clamp(at.x(), area.left(), area.right()),
            std::clamp(at.y(), area.top(), area.bottom())};
}

QString DBusMenuLabel(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('&') && i + 1 < text.size()) {
            ++i;
            if (text.at(i) != QLatin1Char('&')) out += QLatin1Char('_'); // the mnemonic
            if (text.at(i) == QLatin1Char('_')) out += QLatin1Char('_');
            out += text.at(i);
        } else if (c == QLatin1Char('_')) {
            out += QLatin1String("__");
        } else {
            out += c;
        }
    }
    return out;
}

QList<QAction*> DBusMenuEntries(const QMenu& menu) {
    const QList<QAction*> all = menu.actions();
    if (!menu.separatorsCollapsible()) return all;
    QList<QAction*> out;
    bool entryBefore = false;     // a shown entry came before
    QAction* separator = nullptr; // held back until a shown entry follows it
    for (QAction* a : all) {
        if (a->isSeparator()) {
            if (a->isVisible() && entryBefore && !separator) separator = a;
            continue;
        }
        if (a->isVisible()) {
            if (separator) out << separator;
            separator = nullptr;
            entryBefore = true;
        }
        out << a;
    }
    return out;
}

QVariantMap DBusMenuProperties(const QAction* action) {
    QVariantMap p;
    if (action->isSeparator()) {
        p.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        p.insert(QStringLiteral("label"), DBusMenuLabel(action->text()));
        if (!action->icon().isNull()) {
            // Entries showing one icon (profiles of one program) have it encoded once, not on
            // every look a host takes at a menu of thousands.
            static QCache<qint64, QByteArray> encoded(512);
            const qint64 key = action->icon().cacheKey();
            if (!encoded.contains(key)) {
                auto* png = new QByteArray;
                QBuffer buffer(png);
                buffer.open(QIODevice::WriteOnly);
                action->icon().pixmap(16, 16).toImage().save(&buffer, "PNG");
                encoded.insert(key, png);
            }
            p.insert(QStringLiteral("icon-data"), *encoded.object(key));
        }
    }
    if (!action->isEnabled()) p.insert(QStringLiteral("enabled"), false);
    if (!action->isVisible()) p.insert(QStringLiteral("visible"), false);
    return p;
}

} // namespace platform

#include "StatusNotifier.moc"
