#include "platform/MutterGamma.h"

#include "platform/Display.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QObject>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace platform {

namespace {

const QString kService = QStringLiteral("org.gnome.Mutter.DisplayConfig");
const QString kPath = QStringLiteral("/org/gnome/Mutter/DisplayConfig");
const QString kInterface = QStringLiteral("org.gnome.Mutter.DisplayConfig");
const QString kBusName = QStringLiteral("kelvaro-mutter");

// One CRTC's ramp at its own size: red, green, blue.
struct Tables {
    QList<ushort> red, green, blue;
    int size() const { return int(red.size()); }
};

QList<ushort> Resampled(const std::uint16_t* channel, int size) {
    QList<ushort> out(size);
    ResampleChannel(channel, 256, reinterpret_cast<std::uint16_t*>(out.data()), size);
    return out;
}

// Mutter's change signal, as a slot the bus can call.
class ChangeListener : public QObject {
    Q_OBJECT
public:
    std::function<void()> onChange;
public slots:
    void monitorsChanged() {
        if (onChange) onChange();
    }
};

} // namespace

struct MutterGamma::Private {
    QDBusConnection bus{QString()};
    bool connected = false;
    uint serial = 0;
    std::vector<uint> active;        // CRTCs showing a picture, in the service's order
    std::map<uint, Tables> captured; // each CRTC's ramp as first seen
    std::optional<GammaRamp> inForce;
    std::unique_ptr<ChangeListener> listener;

    QDBusMessage call(const QString& method, const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
        m.setArguments(args);
        return bus.call(m, QDBus::Block, 2000);
    }
    bool readResources();
    bool capture(uint crtc);
    bool set(uint crtc, const Tables& t);
    void send(uint crtc);
    void changed();
};

// GetResources: (serial, CRTCs a(uxiiiiiuaua{sv}), outputs, modes, max width, max height).
// A CRTC whose current mode is -1 shows nothing.
bool MutterGamma::Private::readResources() {
    const QDBusMessage reply = call(QStringLiteral("GetResources"), {});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) return false;
    serial = reply.arguments().at(0).toUInt();
    active.clear();
    const QDBusArgument crtcs = reply.arguments().at(1).value<QDBusArgument>();
    crtcs.beginArray();
    while (!crtcs.atEnd()) {
        uint id = 0, transform = 0;
        qlonglong winsys = 0;
        int x = 0, y = 0, width = 0, height = 0, mode = -1;
        QList<uint> transforms;
        QVariantMap properties;
        crtcs.beginStructure();
        crtcs >> id >> winsys >> x >> y >> width >> height >> mode >> transform >> transforms >>
            properties;
        crtcs.endStructure();
        if (mode >= 0) active.push_back(id);
    }
    crtcs.endArray();
    return true;
}

bool MutterGamma::Private::capture(uint crtc) {
    if (captured.count(crtc)) return true;
    const QDBusMessage reply = call(QStringLiteral("GetCrtcGamma"), {serial, crtc});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 3) return false;
    Tables t{qdbus_cast<QList<ushort>>(reply.arguments().at(0)),
             qdbus_cast<QList<ushort>>(reply.arguments().at(1)),
             qdbus_cast<QList<ushort>>(reply.arguments().at(2))};
    if (t.size() < 2 || t.green.size() != t.size() || t.blue.size() != t.size()) return false;
    captured.emplace(crtc, std::move(t));
    return true;
}

bool MutterGamma::Private::set(uint crtc, const Tables& t) {
    const QVariantList args{serial, crtc, QVariant::fromValue(t.red), QVariant::fromValue(t.green),
                            QVariant::fromValue(t.blue)};
    QDBusMessage reply = call(QStringLiteral("SetCrtcGamma"), args);
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    // The monitors changed since the serial was read: read it again and try once more.
    if (!readResources()) return false;
    QVariantList again = args;
    again[0] = serial;
    reply = call(QStringLiteral("SetCrtcGamma"), again);
    return reply.type() == QDBusMessage::ReplyMessage;
}

void MutterGamma::Private::send(uint crtc) {
    const auto found = captured.find(crtc);
    if (found == captured.end() || !inForce) return;
    const int size = found->second.size();
    set(crtc, {Resampled(inForce->red(), size), Resampled(inForce->green(), size),
               Resampled(inForce->blue(), size)});
}

// A monitor switched on gets its own ramp captured, then the gamma in force.
void MutterGamma::Private::changed() {
    const std::vector<uint> before = active;
    if (!readResources()) return;
    for (uint crtc : active) {
        if (std::find(before.begin(), before.end(), crtc) != before.end()) continue;
        if (capture(crtc)) send(crtc);
    }
}

MutterGamma::MutterGamma() : d(std::make_unique<Private>()) {}

MutterGamma::~MutterGamma() {
    if (!d->bus.name().isEmpty() && d->bus.name() == kBusName)
        QDBusConnection::disconnectFromBus(kBusName);
}

bool MutterGamma::connect(const QString& address) {
    d->bus = address.isEmpty() ? QDBusConnection::sessionBus()
                               : QDBusConnection::connectToBus(address, kBusName);
    if (!d->bus.isConnected() || !d->bus.interface() ||
        !d->bus.interface()->isServiceRegistered(kService).value())
        return false;
    if (!d->readResources()) return false;
    for (uint crtc : d->active)
        d->capture(crtc);
    d->listener = std::make_unique<ChangeListener>();
    d->listener->onChange = [p = d.get()] { p->changed(); };
    d->bus.connect(kService, kPath, kInterface, QStringLiteral("MonitorsChanged"),
                   d->listener.get(), SLOT(monitorsChanged()));
    d->connected = true;
    return true;
}

bool MutterGamma::connected() const {
    return d->connected;
}

void MutterGamma::load(const GammaRamp& ramp) {
    if (!d->connected) return;
    d->inForce = ramp;
    for (uint crtc : d->active)
        d->send(crtc);
}

void MutterGamma::restore() {
    if (!d->connected) return;
    d->inForce.reset();
    for (uint crtc : d->active) {
        const auto found = d->captured.find(crtc);
        if (found != d->captured.end()) d->set(crtc, found->second);
    }
}

bool MutterGamma::startupRamp(GammaRamp& ramp) const {
    for (uint crtc : d->active) {
        const auto found = d->captured.find(crtc);
        if (found == d->captured.end()) continue;
        const Tables& t = found->second;
        ResampleChannel(reinterpret_cast<const std::uint16_t*>(t.red.data()), t.size(), ramp.red(),
                        256);
        ResampleChannel(reinterpret_cast<const std::uint16_t*>(t.green.data()), t.size(),
                        ramp.green(), 256);
        ResampleChannel(reinterpret_cast<const std::uint16_t*>(t.blue.data()), t.size(),
                        ramp.blue(), 256);
        return true;
    }
    return false;
}

int MutterGamma::crtcCount() const {
    return int(d->active.size());
}

} // namespace platform

#include "MutterGamma.moc"
