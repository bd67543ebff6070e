// A stand-in for Mutter's display-configuration service, for tests on a private session bus.
// CRTCs with gamma tables of their own (each starts with a distinct, uneven ramp). It writes
// one line per event on standard output:
//   ready                          the service name is taken
//   initial <crtc> <size> <hex>    a CRTC's ramp as it starts (3 x size entries, 4 hex digits)
//   set <crtc> <size> <hex>        a client loaded tables
//   stale <crtc>                   a call came with an old serial and was refused
//   serial <n>                     the configuration's serial changed
// and takes commands on standard input:
//   stale 0                        the configuration changes (new serial)
//   add <size>                     a monitor is switched on (MonitorsChanged is sent)
// Options: --crtcs 256,1024 (one active CRTC each), --inactive (one more CRTC, switched off),
// --night-light: writes every ramp anew at each Temperature of the settings daemon's colour
// service, as Mutter 43 does with colord running ("temperature <kelvin>", "nightlight <crtc>
// <size> <hex>"), and says how long a client took to load over it ("covered <crtc> <ms>").
#include "Commands.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QObject>
#include <QVariantMap>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

struct Crtc {
    uint id = 0;
    qlonglong winsys = 0;
    int x = 0, y = 0, width = 1024, height = 768, mode = 0;
    uint transform = 0;
    QList<uint> transforms{0};
    QVariantMap properties;
};
struct Output { // (uxiausauaua{sv}); none are listed, the type is for the reply's signature
    uint id = 0;
    qlonglong winsys = 0;
    int crtc = -1;
    QList<uint> crtcs;
    QString name;
    QList<uint> modes, clones;
    QVariantMap properties;
};
struct Mode { // (uxuudu)
    uint id = 0;
    qlonglong winsys = 0;
    uint width = 0, height = 0;
    double frequency = 0;
    uint flags = 0;
};
Q_DECLARE_METATYPE(Crtc)
Q_DECLARE_METATYPE(Output)
Q_DECLARE_METATYPE(Mode)

QDBusArgument& operator<<(QDBusArgument& a, const Crtc& c) {
    a.beginStructure();
    a << c.id << c.winsys << c.x << c.y << c.width << c.height << c.mode << c.transform
      << c.transforms << c.properties;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Crtc& c) {
    a.beginStructure();
    a >> c.id >> c.winsys >> c.x >> c.y >> c.width >> c.height >> c.mode >> c.transform >>
        c.transforms >> c.properties;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const Output& o) {
    a.beginStructure();
    a << o.id << o.winsys << o.crtc << o.crtcs << o.name << o.modes << o.clones << o.properties;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Output& o) {
    a.beginStructure();
    a >> o.id >> o.winsys >> o.crtc >> o.crtcs >> o.name >> o.modes >> o.clones >> o.properties;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const Mode& m) {
    a.beginStructure();
    a << m.id << m.winsys << m.width << m.height << m.frequency << m.flags;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Mode& m) {
    a.beginStructure();
    a >> m.id >> m.winsys >> m.width >> m.height >> m.frequency >> m.flags;
    a.endStructure();
    return a;
}

namespace {

const QString kPath = QStringLiteral("/org/gnome/Mutter/DisplayConfig");
const QString kInterface = QStringLiteral("org.gnome.Mutter.DisplayConfig");

struct Tables {
    QList<ushort> red, green, blue;
};

void Say(const QByteArray& line) {
    std::fputs((line + '\n').constData(), stdout);
    std::fflush(stdout);
}

QByteArray Hex(const Tables& t) {
    QByteArray out;
    for (const QList<ushort>* ch : {&t.red, &t.green, &t.blue})
        for (ushort v : *ch)
            out += QByteArray::number(v, 16).rightJustified(4, '0');
    return out;
}

// Uneven and different per channel and per CRTC, so a restore through 256 entries shows.
Tables Initial(uint crtc, int size) {
    Tables t;
    for (int j = 0; j < size; ++j) {
        const double x = double(j) / (size - 1);
        t.red << ushort(std::lround(65535.0 * std::pow(x, 0.8 + 0.05 * crtc)));
        t.green << ushort(std::lround(65535.0 * std::pow(x, 1.1)));
        t.blue << ushort(std::lround(60000.0 * x) + (j % 7));
    }
    return t;
}

class Service : public QDBusVirtualObject {
public:
    uint serial = 1;
    std::vector<Crtc> crtcs;
    std::map<uint, Tables> tables;

    void addCrtc(int size, bool active) {
        Crtc c;
        c.id = uint(crtcs.size()) + 40;
        c.winsys = c.id;
        c.x = 1024 * int(crtcs.size());
        c.mode = active ? 0 : -1;
        crtcs.push_back(c);
        tables[c.id] = Initial(c.id, size);
        Say("initial " + QByteArray::number(c.id) + " " + QByteArray::number(size) + " " +
            Hex(tables[c.id]));
    }

    QString introspect(const QString&) const override { return {}; }

    // Mutter's ramp on a monitor without calibration: (i * 0xffff) / (size - 1), times the
    // temperature's white (colord's blackbody table; near enough here: red full, blue falling).
    void nightLight(uint kelvin) {
        Say("temperature " + QByteArray::number(kelvin));
        const double white[] = {1.0, std::min(1.0, 0.45 + kelvin / 11800.0),
                                std::min(1.0, kelvin / 6500.0)};
        for (const Crtc& c : crtcs) {
            Tables& t = tables[c.id];
            const int size = int(t.red.size());
            QList<ushort>* channels[] = {&t.red, &t.green, &t.blue};
            for (int ch = 0; ch < 3 && c.mode >= 0; ++ch)
                for (int i = 0; i < size; ++i)
                    (*channels[ch])[i] = ushort((i * 0xffff) / (size - 1) * white[ch]);
            Say("nightlight " + QByteArray::number(c.id) + " " + QByteArray::number(size) + " " +
                Hex(t));
            written.try_emplace(c.id).first->second.start();
        }
    }
    std::map<uint, QElapsedTimer> written; // night-light writes no client has loaded over yet

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        if (m.interface() != kInterface) return false;
        const QVariantList a = m.arguments();
        if (m.member() == QLatin1String("GetResources")) {
            bus.send(
                m.createReply({serial, QVariant::fromValue(QList<Crtc>(crtcs.begin(), crtcs.end())),
                               QVariant::fromValue(QList<Output>{}),
                               QVariant::fromValue(QList<Mode>{}), 4096, 4096}));
            return true;
        }
        const bool get = m.member() == QLatin1String("GetCrtcGamma");
        const bool set = m.member() == QLatin1String("SetCrtcGamma");
        if ((!get && !set) || a.size() < 2) return false;
        const uint crtc = a[1].toUInt();
        const auto found = tables.find(crtc);
        if (found == tables.end()) {
            bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                        QStringLiteral("Invalid crtc id")));
            return true;
        }
        if (a[0].toUInt() != serial) {
            Say("stale " + QByteArray::number(crtc));
            bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                        QStringLiteral("The requested configuration is based on "
                                                       "stale information")));
            return true;
        }
        if (get) {
            const Tables& t = found->second;
            bus.send(m.createReply({QVariant::fromValue(t.red), QVariant::fromValue(t.green),
                                    QVariant::fromValue(t.blue)}));
            return true;
        }
        if (a.size() != 5) return false;
        Tables t{qdbus_cast<QList<ushort>>(a[2]), qdbus_cast<QList<ushort>>(a[3]),
                 qdbus_cast<QList<ushort>>(a[4])};
        found->second = t;
        Say("set " + QByteArray::number(crtc) + " " + QByteArray::number(t.red.size()) + " " +
            Hex(t));
        if (const auto since = written.find(crtc); since != written.end()) {
            Say("covered " + QByteArray::number(crtc) + " " +
                QByteArray::number(since->second.elapsed()));
            written.erase(since);
        }
        bus.send(m.createReply());
        return true;
    }
};

// The settings daemon's colour service, as Mutter's colour manager listens to it.
class ColourService : public QObject {
    Q_OBJECT
public:
    Service* service = nullptr;
public slots:
    void propertiesChanged(const QString&, const QVariantMap& values, const QStringList&) {
        if (values.contains(QStringLiteral("Temperature")))
            service->nightLight(values.value(QStringLiteral("Temperature")).toUInt());
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Crtc>();
    qDBusRegisterMetaType<QList<Crtc>>();
    qDBusRegisterMetaType<Output>();
    qDBusRegisterMetaType<QList<Output>>();
    qDBusRegisterMetaType<Mode>();
    qDBusRegisterMetaType<QList<Mode>>();

    Service service;
    QStringList sizes{QStringLiteral("256")};
    bool inactive = false, nightLight = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--crtcs") && i + 1 < args.size())
            sizes = args[++i].split(QLatin1Char(','));
        else if (args[i] == QLatin1String("--inactive"))
            inactive = true;
        else if (args[i] == QLatin1String("--night-light"))
            nightLight = true;
    }
    for (const QString& s : sizes)
        service.addCrtc(s.toInt(), true);
    if (inactive) service.addCrtc(256, false);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerVirtualObject(kPath, &service) ||
        !bus.registerService(QStringLiteral("org.gnome.Mutter.DisplayConfig"))) {
        std::fprintf(stderr, "fake display config: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }

    ColourService colour;
    colour.service = &service;
    const QString colourName = QStringLiteral("org.gnome.SettingsDaemon.Color");
    if (nightLight)
        bus.connect(colourName, QStringLiteral("/org/gnome/SettingsDaemon/Color"),
                    QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("PropertiesChanged"), {colourName}, QString(), &colour,
                    SLOT(propertiesChanged(QString, QVariantMap, QStringList)));

    Commands commands([&](const QList<QByteArray>& words) {
        if (words.size() != 2) return;
        if (words[0] == "stale") ++service.serial;
        if (words[0] == "add") {
            ++service.serial;
            service.addCrtc(words[1].toInt(), true);
            bus.send(
                QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("MonitorsChanged")));
        }
        Say("serial " + QByteArray::number(service.serial));
    });
    Say("ready");
    return app.exec();
}

#include "fake_displayconfig.moc"
