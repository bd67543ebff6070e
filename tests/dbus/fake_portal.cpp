// A stand-in for the desktop portal's global shortcuts, for tests on a private session bus. It
// answers as xdg-desktop-portal 1.16 with KDE Plasma's 5.27 back-end was seen to: the shortcuts
// are taken only from CreateSession's "shortcuts" option, and its answer lists them;
// BindShortcuts ignores its list, asks to open the desktop's shortcut settings for the session's
// component (named by the session's token) and lists what the session holds.
// It writes one line per event on standard output:
//   ready                          the service name is taken
//   create <session>               a session was created
//   bind <session> <id> <trigger>  a shortcut was bound (one line each)
//   settings <component>           the shortcut settings would have been opened
//   close <session>                a session was closed
// and takes commands on standard input:
//   activate <id>                  the shortcut is pressed in every open session holding it
// Options: --no-shortcuts (the portal is there, without global shortcuts), --refuse (every
// session is refused, as a user who says no), --fail (the back-end fails: response 2), --error
// (CreateSession answers with an error), --silent (no response ever comes), --late (each
// response comes after six seconds).
#include "Commands.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDateTime>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>

struct Shortcut {
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(Shortcut)

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

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

void Say(const QString& line) {
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

QString Sender(const QDBusMessage& m) {
    QString s = m.service().mid(1);
    return s.replace(QLatin1Char('.'), QLatin1Char('_'));
}

// What the back-end lists for a session: each shortcut with its description and trigger.
QList<Shortcut> Described(const QList<Shortcut>& held) {
    QList<Shortcut> out;
    for (const Shortcut& s : held)
        out.push_back(
            {s.id,
             {{QStringLiteral("description"), s.properties.value("description")},
              {QStringLiteral("trigger_description"), s.properties.value("preferred_trigger")}}});
    return out;
}

class Portal : public QDBusVirtualObject {
public:
    bool shortcuts = true;
    std::map<QString, QList<Shortcut>> sessions; // each open session's shortcuts
    QDBusConnection* bus = nullptr;

    QString introspect(const QString&) const override { return {}; }

    // The Request object's answer, after the call's own reply.
    bool refuse = false, fail = false, error = false, silent = false, late = false;
    void respond(const QString& request, const QVariantMap& results, uint code = 0) {
        if (silent) return;
        QTimer::singleShot(late ? 6000 : 20, [this, request, results, code] {
            QDBusMessage r = QDBusMessage::createSignal(
                request, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"));
            r.setArguments({code, results});
            bus->send(r);
        });
    }

    void activate(const QString& id) {
        for (const auto& [session, held] : sessions) {
            if (std::none_of(held.begin(), held.end(),
                             [&](const Shortcut& s) { return s.id == id; }))
                continue;
            QDBusMessage s =
                QDBusMessage::createSignal(kPath, kShortcuts, QStringLiteral("Activated"));
            s.setArguments({QVariant::fromValue(QDBusObjectPath(session)), id,
                            qulonglong(QDateTime::currentMSecsSinceEpoch()), QVariantMap()});
            bus->send(s);
        }
    }

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
        const QVariantList a = m.arguments();
        if (m.interface() == QLatin1String("org.freedesktop.DBus.Properties") &&
            m.member() == QLatin1String("Get") && a.size() == 2) {
            if (a[0].toString() != kShortcuts || !shortcuts) {
                c.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                          QStringLiteral("No such interface")));
                return true;
            }
            c.send(m.createReply({QVariant::fromValue(QDBusVariant(1u))}));
            return true;
        }
        if (m.interface() == QLatin1String("org.freedesktop.portal.Session") &&
            m.member() == QLatin1String("Close")) {
            sessions.erase(m.path());
            Say(QStringLiteral("close ") + m.path());
            c.send(m.createReply());
            return true;
        }
        if (m.interface() != kShortcuts || !shortcuts) return false;
        const QString base = kPath + QStringLiteral("/%1/") + Sender(m) + QLatin1Char('/');
        if (m.member() == QLatin1String("CreateSession") && a.size() == 1) {
            if (error) {
                c.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                                          QStringLiteral("the back-end failed")));
                return true;
            }
            const QVariantMap options = qdbus_cast<QVariantMap>(a[0]);
            const QString request =
                base.arg(QStringLiteral("request")) + options.value("handle_token").toString();
            const QString token = options.value("session_handle_token").toString();
            const QString session = base.arg(QStringLiteral("session")) + token;
            Say(QStringLiteral("create ") + session);
            c.send(m.createReply({QVariant::fromValue(QDBusObjectPath(request))}));
            if (refuse || fail) {
                respond(request, {}, refuse ? 1u : 2u);
                return true;
            }
            // Only a list of the right type is taken; anything else leaves the session empty.
            QList<Shortcut> held;
            const QVariant given = options.value(QStringLiteral("shortcuts"));
            if (given.canConvert<QDBusArgument>() &&
                given.value<QDBusArgument>().currentSignature() == QLatin1String("a(sa{sv})"))
                held = qdbus_cast<QList<Shortcut>>(given.value<QDBusArgument>());
            for (const Shortcut& s : held)
                Say(QStringLiteral("bind %1 %2 %3")
                        .arg(session, s.id,
                             s.properties.value(QStringLiteral("preferred_trigger")).toString()));
            sessions[session] = held;
            // The front-end hands the session's handle on as a string.
            respond(request, {{QStringLiteral("session_handle"), session},
                              {QStringLiteral("shortcuts"), QVariant::fromValue(Described(held))}});
            return true;
        }
        const QString session = a.isEmpty() ? QString() : qdbus_cast<QDBusObjectPath>(a[0]).path();
        const bool bind = m.member() == QLatin1String("BindShortcuts") && a.size() == 4;
        if (bind || (m.member() == QLatin1String("ListShortcuts") && a.size() == 2)) {
            const QString request =
                base.arg(QStringLiteral("request")) +
                qdbus_cast<QVariantMap>(a.last()).value(QStringLiteral("handle_token")).toString();
            c.send(m.createReply({QVariant::fromValue(QDBusObjectPath(request))}));
            const auto found = sessions.find(session);
            if (found == sessions.end()) {
                respond(request, {}, 2u);
                return true;
            }
            if (bind) Say(QStringLiteral("settings ") + session.section(QLatin1Char('/'), -1));
            respond(request,
                    {{QStringLiteral("shortcuts"), QVariant::fromValue(Described(found->second))}});
            return true;
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    Portal portal;
    portal.shortcuts = !app.arguments().contains(QStringLiteral("--no-shortcuts"));
    portal.refuse = app.arguments().contains(QStringLiteral("--refuse"));
    portal.fail = app.arguments().contains(QStringLiteral("--fail"));
    portal.error = app.arguments().contains(QStringLiteral("--error"));
    portal.silent = app.arguments().contains(QStringLiteral("--silent"));
    portal.late = app.arguments().contains(QStringLiteral("--late"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    portal.bus = &bus;
    if (!bus.registerVirtualObject(kPath, &portal, QDBusConnection::SubPath) ||
        !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "fake portal: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }

    Commands commands([&](const QList<QByteArray>& words) {
        if (words.size() == 2 && words[0] == "activate")
            portal.activate(QString::fromUtf8(words[1]));
    });
    Say(QStringLiteral("ready"));
    return app.exec();
}
