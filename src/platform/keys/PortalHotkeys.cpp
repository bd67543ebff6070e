#include "platform/keys/PortalHotkeys.h"

#include "platform/system/Messages.h"
#include "platform/system/Session.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QObject>
#include <QTimer>
#include <map>

namespace platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

// One shortcut as BindShortcuts takes it: (sa{sv}).
struct Shortcut {
    QString id;
    QVariantMap properties;
};

} // namespace

} // namespace platform

Q_DECLARE_METATYPE(platform::Shortcut)

namespace platform {

namespace {

QDBusArgument& operator<<(QDBusArgument& a, const Shortcut& s) {
    a.beginStructure();
    a << s.id << s.properties;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, Shortcut& s) {
    a.beginStructure();
    a >> s.id >> s.properties;
    a.endStructure();
    return a;
}

// The portal's name for a key and its modifiers; empty for a key we don't offer.
QString ShortcutId(unsigned vk) {
    if (vk == VK_ADD) return QStringLiteral("gamma-up");
    if (vk == VK_SUBTRACT) return QStringLiteral("gamma-down");
    return {};
}

QString Trigger(unsigned modifiers, unsigned vk) {
    QString t;
    if (modifiers & MOD_CONTROL) t += QStringLiteral("CTRL+");
    if (modifiers & MOD_ALT) t += QStringLiteral("ALT+");
    if (modifiers & MOD_SHIFT) t += QStringLiteral("SHIFT+");
    return t + (vk == VK_ADD ? QStringLiteral("KP_Add") : QStringLiteral("KP_Subtract"));
}

QString Description(unsigned vk) {
    return vk == VK_ADD ? QStringLiteral("Raise the desktop gamma")
                        : QStringLiteral("Lower the desktop gamma");
}

struct Registration {
    unsigned modifiers;
    unsigned vk;
    bool operator==(const Registration&) const = default;
};

class PortalHotkeys : public QObject, public Hotkeys {
    Q_OBJECT
public:
    explicit PortalHotkeys(Hotkeys* fallback) : fallback_(fallback) {
        qDBusRegisterMetaType<Shortcut>();
        qDBusRegisterMetaType<QList<Shortcut>>();
        settle_.setSingleShot(true);
        QObject::connect(&settle_, &QTimer::timeout, this, [this] { settle(); });
    }

    bool RegisterHotKey(int id, unsigned modifiers, unsigned vk) override {
        if (way_ == Way::Fallback) return fallback_ && fallback_->RegisterHotKey(id, modifiers, vk);
        if (ShortcutId(vk).isEmpty() || regs_.count(id)) return false;
        regs_[id] = {modifiers, vk};
        if (way_ == Way::Unknown) ask();
        if (way_ == Way::Portal) settle_.start(0);
        return true;
    }

    bool UnregisterHotKey(int id) override {
        if (way_ == Way::Fallback) return fallback_ && fallback_->UnregisterHotKey(id);
        if (!regs_.erase(id)) return false;
        if (way_ == Way::Portal) settle_.start(0);
        return true;
    }

public slots:
    void created(uint response, const QVariantMap& results) {
        unlisten(createRequest_, SLOT(created(uint, QVariantMap)));
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        session_ = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                        : handle.toString();
        creating_ = false;
        // Refused (the user said no): asked again only when the keys change.
        if (response != 0) return session_.clear();
        settle();
    }

    void bound(uint, const QVariantMap&) { unlisten(bindRequest_, SLOT(bound(uint, QVariantMap))); }

    // Activated(session o, shortcut s, timestamp t, options a{sv}).
    void activated(const QDBusMessage& signal) {
        const QVariantList a = signal.arguments();
        if (session_.isEmpty() || a.size() < 2 ||
            qdbus_cast<QDBusObjectPath>(a[0]).path() != session_)
            return;
        const QString shortcut = a[1].toString();
        for (const auto& [id, reg] : bound_)
            if (ShortcutId(reg.vk) == shortcut) {
                TMessage m;
                m.Msg = WM_HOTKEY;
                m.WParam = static_cast<WPARAM>(id);
                PostMessage(m);
            }
    }

private:
    enum class Way { Unknown, Asking, Portal, Fallback };

    // Does the portal offer global shortcuts? Its interface's version says so.
    void ask() {
        way_ = Way::Asking;
        bus_ = QDBusConnection::sessionBus();
        if (!bus_.isConnected()) return decide(false);
        QDBusMessage get = QDBusMessage::createMethodCall(
            kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get.setArguments({kShortcuts, QStringLiteral("version")});
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                         [this](QDBusPendingCallWatcher* w) {
                             w->deleteLater();
                             const QDBusPendingReply<QDBusVariant> reply = *w;
                             decide(reply.isValid() && reply.value().variant().toUInt() > 0);
                         });
    }

    void decide(bool portal) {
        way_ = portal ? Way::Portal : Way::Fallback;
        if (portal) {
            bus_.connect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this,
                         SLOT(activated(QDBusMessage)));
            settle();
            return;
        }
        const std::map<int, Registration> kept = std::move(regs_);
        regs_.clear();
        if (fallback_)
            for (const auto& [id, reg] : kept)
                fallback_->RegisterHotKey(id, reg.modifiers, reg.vk);
    }

    // Brings the portal's session in line with the keys registered: none, no session.
    void settle() {
        if (creating_) return; // on with its answer
        if (!session_.isEmpty() && (regs_.empty() || (!bound_.empty() && bound_ != regs_))) {
            // A session's shortcuts are bound once: other keys want a new session.
            bus_.asyncCall(QDBusMessage::createMethodCall(kService, session_, kSession,
                                                          QStringLiteral("Close")));
            session_.clear();
            bound_.clear();
        }
        if (regs_.empty()) return;
        if (session_.isEmpty()) return create();
        if (bound_.empty()) bind();
    }

    QString token() { return QStringLiteral("kelvaro%1").arg(++tokens_); }

    // Where the portal puts the Request object for a call with this token: our unique name
    // without its colon, dots as underscores.
    QString requestPath(const QString& token) const {
        QString sender = bus_.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        return kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    }

    // The answer may come before the call returns: listen first.
    QString listen(const QString& token, const char* slot) {
        const QString path = requestPath(token);
        bus_.connect(kService, path, kRequest, QStringLiteral("Response"), this, slot);
        return path;
    }
    void unlisten(const QString& path, const char* slot) {
        bus_.disconnect(kService, path, kRequest, QStringLiteral("Response"), this, slot);
    }

    void create() {
        creating_ = true;
        const QString handle = token();
        createRequest_ = listen(handle, SLOT(created(uint, QVariantMap)));
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kShortcuts,
                                                        QStringLiteral("CreateSession"));
        m.setArguments({QVariantMap{{QStringLiteral("handle_token"), handle},
                                    {QStringLiteral("session_handle_token"), token()}}});
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(m), this);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                         [this](QDBusPendingCallWatcher* w) {
                             w->deleteLater();
                             if (!w->isError()) return;
                             // Refused outright: no Response will come.
                             unlisten(createRequest_, SLOT(created(uint, QVariantMap)));
                             creating_ = false;
                         });
    }

    void bind() {
        bound_ = regs_;
        QList<Shortcut> shortcuts;
        for (const auto& [id, reg] : regs_)
            shortcuts.push_back(
                {ShortcutId(reg.vk),
                 {{QStringLiteral("description"), Description(reg.vk)},
                  {QStringLiteral("preferred_trigger"), Trigger(reg.modifiers, reg.vk)}}});
        const QString handle = token();
        bindRequest_ = listen(handle, SLOT(bound(uint, QVariantMap)));
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kShortcuts,
                                                        QStringLiteral("BindShortcuts"));
        m.setArguments({QVariant::fromValue(QDBusObjectPath(session_)),
                        QVariant::fromValue(shortcuts), QString(),
                        QVariantMap{{QStringLiteral("handle_token"), handle}}});
        bus_.asyncCall(m);
    }

    Hotkeys* fallback_;
    Way way_ = Way::Unknown;
    QDBusConnection bus_{QString()};
    std::map<int, Registration> regs_;  // what the program registered
    std::map<int, Registration> bound_; // what the session has bound
    QString session_;
    QString createRequest_, bindRequest_;
    bool creating_ = false;
    int tokens_ = 0;
    QTimer settle_;
};

} // namespace

Hotkeys* SessionHotkeys(Hotkeys* x) {
    switch (DetectSession(CurrentSessionFacts())) {
    case SessionKind::Xwayland:
        return new PortalHotkeys(x);
    case SessionKind::Wayland:
        return new PortalHotkeys(nullptr);
    case SessionKind::X11:
    case SessionKind::Other:
        break;
    }
    return x;
}

} // namespace platform

#include "PortalHotkeys.moc"
