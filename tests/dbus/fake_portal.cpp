// A stand-in for the desktop portal's global shortcuts, for tests on a private session bus.
// It writes one line per event on standard output:
//   ready                          the service name is taken
//   create <session>               a session was created
//   bind <session> <id> <trigger>  a shortcut was bound (one line each)
//   close <session>                a session was closed
// and takes commands on standard input:
//   activate <id>                  the shortcut is pressed in every open session
// Options: --no-shortcuts (the portal is there, without global shortcuts), --refuse (every
// session is refused, as a user who says no).
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
#include <cstdio>
#include <set>

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

class Portal : public QDBusVirtualObject {
public:
    bool shortcuts = true;
    std::set<QString> sessions;
    QDBusConnection* bus = nullptr;

    QString introspect(const QString&) const override { return {}; }

    // The Request object's answer, after the call's own reply.
    bool refuse = false;
    void respond(const QString& request, const QVariantMap& results, uint code = 0) {
        QTimer::singleShot(20, [this, request, results, code] {
            QDBusMessage r = QDBusMessage::createSignal(
                request, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"));
            r.setArguments({code, results});
            bus->send(r);
        });
    }

    void activate(const QString& id) {
        for (const QString& session : sessions) {
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
            const QVariantMap options = qdbus_cast<QVariantMap>(a[0]);
            const QString request =
                base.arg(QStringLiteral("request")) + options.value("handle_token").toString();
            const QString session = base.arg(QStringLiteral("session")) +
                                    options.value("session_handle_token").toString();
            sessions.insert(session);
            Say(QStringLiteral("create ") + session);
            c.send(m.createReply({QVariant::fromValue(QDBusObjectPath(request))}));
            if (refuse) sessions.erase(session);
            respond(request, {{QStringLiteral("session_handle"), session}}, refuse ? 1u : 0u);
            return true;
        }
        if (m.member() == QLatin1String("BindShortcuts") && a.size() == 4) {
            const QString session = qdbus_cast<QDBusObjectPath>(a[0]).path();
            const QList<Shortcut> list = qdbus_cast<QList<Shortcut>>(a[1]);
            for (const Shortcut& s : list)
                Say(QStringLiteral("bind %1 %2 %3")
                        .arg(session, s.id,
                             s.properties.value(QStringLiteral("preferred_trigger")).toString()));
            const QString request =
                base.arg(QStringLiteral("request")) +
                qdbus_cast<QVariantMap>(a[3]).value(QStringLiteral("handle_token")).toString();
            c.send(m.createReply({QVariant::fromValue(QDBusObjectPath(request))}));
            respond(request, {{QStringLiteral("shortcuts"), QVariant::fromValue(list)}});
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
