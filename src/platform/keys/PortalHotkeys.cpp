#include "platform/keys/PortalHotkeys.h"

#include "platform/keys/GnomeShortcuts.h"

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
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <map>

namespace platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

// The session's token names the shortcuts' group in the desktop's settings (KDE Plasma calls it
// the component): the same one at every start, and after the hot keys were off and on again.
const QString kSessionToken = QStringLiteral("kelvaro");

// How long a portal may take to answer a call before it is taken as broken.
constexpr int kAnswerMs = 5000;

// Request responses: 0 done, 1 the user cancelled, anything else failed.
constexpr uint kCancelled = 1;

// One shortcut as the portal takes and lists them: (sa{sv}).
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
    return vk == VK_ADD ? QStringLiteral("Raise the gamma") : QStringLiteral("Lower the gamma");
}

// KWin on Wayland, under the stock keymap, reads Ctrl+Alt+keypad plus and minus as the X
// server's own video-mode keys (the keypad's Ctrl+Alt level), counts Ctrl and Alt as used, and
// asks no global shortcut; the XKB option srvrkeys:none gives those keys back. KDE keeps the
// keyboard's options in kxkbrc, [Layout] Options, used only while ResetOldOptions is true (the
// "Configure keyboard options" box); each key from the user's file before the system's.
bool KeypadReachesShortcuts() {
    const QStringList files =
        QStandardPaths::locateAll(QStandardPaths::GenericConfigLocation, QStringLiteral("kxkbrc"));
    auto value = [&files](const char* key) {
        for (const QString& path : files) {
            const QSettings ini(path, QSettings::IniFormat);
            const QString name = QStringLiteral("Layout/") + QLatin1String(key);
            if (ini.contains(name)) return ini.value(name);
        }
        return QVariant();
    };
    return value("ResetOldOptions").toBool() &&
           value("Options").toStringList().contains(QLatin1String("srvrkeys:none"));
}

// The lines that bind the step command in this compositor's configuration.
QString BindStepsMessage() {
    const QByteArray desktop = CurrentDesktop().toLower();
    const QString up = StepCommand(QStringLiteral("up"));
    const QString down = StepCommand(QStringLiteral("down"));
    QString where, lines;
    if (desktop.split(':').contains("sway") || qEnvironmentVariableIsSet("SWAYSOCK")) {
        where = QStringLiteral("~/.config/sway/config");
        lines = QStringLiteral("bindsym Ctrl+Alt+KP_Add exec %1\n"
                               "bindsym Ctrl+Alt+KP_Subtract exec %2")
                    .arg(up, down);
    } else if (desktop.split(':').contains("hyprland") ||
               qEnvironmentVariableIsSet("HYPRLAND_INSTANCE_SIGNATURE")) {
        where = QStringLiteral("~/.config/hypr/hyprland.conf");
        lines = QStringLiteral("bind = CTRL ALT, KP_Add, exec, %1\n"
                               "bind = CTRL ALT, KP_Subtract, exec, %2")
                    .arg(up, down);
    } else {
        return QStringLiteral("This desktop offers Kelvaro no global hot keys that reach every "
                              "window. To step the gamma from the keyboard, bind the commands "
                              "\"%1\" and \"%2\" to Ctrl+Alt+Num+ and Ctrl+Alt+Num- in the "
                              "desktop's keyboard settings.")
            .arg(up, down);
    }
    return QStringLiteral("This compositor offers Kelvaro no global hot keys that reach every "
                          "window. To step the gamma with Ctrl+Alt+Num+ and Ctrl+Alt+Num-, add "
                          "these lines to %1 and reload it:\n%2")
        .arg(where, lines);
}

const QString KeypadTopic = QStringLiteral("KdeKeypad");

QString KeypadAdvice() {
    return QStringLiteral(
        "On KDE Plasma on Wayland, Kelvaro's hot keys fire on Ctrl+Alt+Shift+= and Ctrl+Alt+- "
        "of the main keyboard: with the keyboard's standard options, Ctrl+Alt+Num+ and "
        "Ctrl+Alt+Num- reach no shortcut. To use the keypad keys, open System Settings > Input "
        "Devices > Keyboard > Advanced, tick \"Configure keyboard options\" and, under "
        "\"Compatibility options\", \"Special keys (Ctrl+Alt+<key>) handled in a server\" "
        "(the XKB option srvrkeys:none), then Apply. The shortcuts are listed under \"kelvaro\" "
        "in System Settings > Shortcuts.");
}

// The ids a response lists under "shortcuts": what the desktop really holds for the session.
QSet<QString> Listed(const QVariantMap& results) {
    QSet<QString> ids;
    const QVariant v = results.value(QStringLiteral("shortcuts"));
    if (!v.canConvert<QDBusArgument>()) return ids;
    const QDBusArgument arg = v.value<QDBusArgument>();
    if (arg.currentSignature() != QLatin1String("a(sa{sv})")) return ids;
    for (const Shortcut& s : qdbus_cast<QList<Shortcut>>(arg))
        ids.insert(s.id);
    return ids;
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
        answer_.setSingleShot(true);
        answer_.setInterval(kAnswerMs);
        QObject::connect(&answer_, &QTimer::timeout, this, [this] {
            answered(); // a late answer is not listened for
            failed();
        });
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
        answered();
        if (response == kCancelled) {
            // The user said no: asked again only when the keys change.
            refused_ = asked_;
            return settle();
        }
        if (response != 0) return failed();
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        session_ = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                        : handle.toString();
        if (session_.isEmpty()) return failed();
        // A desktop that took the shortcuts with the session lists them here; another one is
        // asked to bind them.
        if (holds(Listed(results))) return settle();
        bind();
    }

    void bound(uint response, const QVariantMap& results) {
        answered();
        if (response == kCancelled) {
            refused_ = asked_;
            return settle();
        }
        if (response != 0 || !holds(Listed(results))) return failed();
        settle();
    }

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
        if (!bus_.isConnected()) return fallBack();
        QDBusMessage get = QDBusMessage::createMethodCall(
            kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get.setArguments({kShortcuts, QStringLiteral("version")});
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get, kAnswerMs), this);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                         [this](QDBusPendingCallWatcher* w) {
                             w->deleteLater();
                             const QDBusPendingReply<QDBusVariant> reply = *w;
                             if (!reply.isValid() || reply.value().variant().toUInt() == 0)
                                 return fallBack();
                             way_ = Way::Portal;
                             bus_.connect(kService, kPath, kShortcuts, QStringLiteral("Activated"),
                                          this, SLOT(activated(QDBusMessage)));
                             settle();
                         });
    }

    // The portal failed (an error, an answer that is neither yes nor no, or none at all): that
    // is no user's refusal. The X keys serve where there is an X connection; a native Wayland
    // client is told once how to get the keys from the desktop instead.
    void failed() {
        busy_ = false;
        answer_.stop();
        if (!session_.isEmpty()) close();
        fallBack();
    }

    void fallBack() {
        way_ = Way::Fallback;
        const std::map<int, Registration> kept = std::move(regs_);
        regs_.clear();
        bound_.clear();
        // GNOME's own shortcuts reach whatever window has the keyboard; X keys on Xwayland
        // would step a second time while an X window has it.
        if (GnomeSession())
            if (Hotkeys* gnome = NewGnomeShortcuts()) fallback_ = gnome;
        if (!kept.empty() && !GnomeSession()) {
            SessionNotice(BindStepsMessage());
            SetSessionHint(QStringLiteral("Kelvaro - bind kelvaro --step up|down to keys"));
        }
        if (!fallback_) return;
        for (const auto& [id, reg] : kept)
            fallback_->RegisterHotKey(id, reg.modifiers, reg.vk);
    }

    // True when `ids` has every key asked for; those are the keys bound from now on.
    bool holds(const QSet<QString>& ids) {
        for (const auto& [id, reg] : asked_)
            if (!ids.contains(ShortcutId(reg.vk))) return false;
        bound_ = asked_;
        if (!bound_.empty() && CurrentDesktop().split(':').contains("KDE")) {
            if (KeypadReachesShortcuts())
                SessionNoticeOver(KeypadTopic);
            else
                SessionNotice(KeypadAdvice(), KeypadTopic, NoticeKept::WhileItLasts);
        }
        return true;
    }

    // Brings the portal's session in line with the keys registered: none, no session.
    void settle() {
        if (busy_ || way_ != Way::Portal) return; // on with the answer awaited
        if (regs_.empty()) refused_.clear();      // switched off: asked again when on
        if (!session_.isEmpty() && bound_ != regs_) return close(); // other keys: a new session
        if (regs_.empty() || !session_.isEmpty() || regs_ == refused_) return;
        refused_.clear();
        create();
    }

    // Where the portal puts the Request object for a call with this token: our unique name
    // without its colon, dots as underscores.
    QString requestPath(const QString& token) const {
        QString sender = bus_.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        return kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    }

    // Calls a method that answers through a Request object; `slot` takes the answer. The
    // answer may come before the call returns: listened for first.
    void request(const QString& method, QVariantList args, QVariantMap options, const char* slot) {
        busy_ = true;
        const QString token = QStringLiteral("kelvaro%1").arg(++tokens_);
        request_ = requestPath(token);
        slot_ = slot;
        bus_.connect(kService, request_, kRequest, QStringLiteral("Response"), this, slot);
        options.insert(QStringLiteral("handle_token"), token);
        args << options;
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kShortcuts, method);
        m.setArguments(args);
        answer_.start();
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(m, kAnswerMs), this);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                         [this, path = request_](QDBusPendingCallWatcher* w) {
                             w->deleteLater();
                             if (!w->isError() || path != request_) return;
                             // Refused outright: no Response will come.
                             answered();
                             failed();
                         });
    }

    void answered() {
        bus_.disconnect(kService, request_, kRequest, QStringLiteral("Response"), this, slot_);
        request_.clear();
        answer_.stop();
        busy_ = false;
    }

    QList<Shortcut> shortcuts() const {
        QList<Shortcut> list;
        for (const auto& [id, reg] : asked_)
            list.push_back(
                {ShortcutId(reg.vk),
                 {{QStringLiteral("description"), Description(reg.vk)},
                  {QStringLiteral("preferred_trigger"), Trigger(reg.modifiers, reg.vk)}}});
        return list;
    }

    // The shortcuts go with the session: KDE Plasma takes them only there, and lists what it
    // holds in the answer.
    void create() {
        asked_ = regs_;
        request(QStringLiteral("CreateSession"), {},
                {{QStringLiteral("session_handle_token"), kSessionToken},
                 {QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts())}},
                SLOT(created(uint, QVariantMap)));
    }

    void bind() {
        request(QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts()),
                 QString()},
                {}, SLOT(bound(uint, QVariantMap)));
    }

    // The next session takes the same token: it is made once this one is gone.
    void close() {
        busy_ = true;
        auto* watcher = new QDBusPendingCallWatcher(
            bus_.asyncCall(QDBusMessage::createMethodCall(kService, session_, kSession,
                                                          QStringLiteral("Close")),
                           kAnswerMs),
            this);
        session_.clear();
        bound_.clear();
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                         [this](QDBusPendingCallWatcher* w) {
                             w->deleteLater();
                             busy_ = false;
                             settle();
                         });
    }

    Hotkeys* fallback_;
    Way way_ = Way::Unknown;
    QDBusConnection bus_{QString()};
    std::map<int, Registration> regs_;    // what the program registered
    std::map<int, Registration> asked_;   // what the session was made for
    std::map<int, Registration> bound_;   // what the desktop holds for the session
    std::map<int, Registration> refused_; // what the user said no to
    QString session_;
    QString request_;            // the Request awaited
    const char* slot_ = nullptr; // and the slot its answer goes to
    bool busy_ = false;
    int tokens_ = 0;
    QTimer settle_, answer_;
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
