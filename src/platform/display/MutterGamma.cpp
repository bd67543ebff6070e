#include "platform/display/MutterGamma.h"

#include "platform/display/Display.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QObject>

namespace platform {

namespace {

const QString kService = QStringLiteral("org.gnome.Mutter.DisplayConfig");
const QString kPath = QStringLiteral("/org/gnome/Mutter/DisplayConfig");
const QString kInterface = QStringLiteral("org.gnome.Mutter.DisplayConfig");
const QString kBusName = QStringLiteral("kelvaro-mutter");

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

QList<ushort> Channel(const std::vector<std::uint16_t>& tables, int channel, int size) {
    const auto from = tables.begin() + std::ptrdiff_t(channel) * size;
    return QList<ushort>(from, from + size);
}

} // namespace

struct MutterGamma::Private {
    QDBusConnection bus{QString()};
    bool connected = false;
    uint serial = 0;
    std::vector<Output> active;
    std::unique_ptr<ChangeListener> listener;

    QDBusMessage call(const QString& method, const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
        m.setArguments(args);
        return bus.call(m, QDBus::Block, 2000);
    }
    bool readResources();
    QDBusMessage gamma(uint crtc) { return call(QStringLiteral("GetCrtcGamma"), {serial, crtc}); }
};

// GetResources: (serial, CRTCs a(uxiiiiiuaua{sv}), outputs, modes, max width, max height).
// A CRTC whose current mode is -1 shows nothing. Each active one's gamma size is the length
// of its tables.
bool MutterGamma::Private::readResources() {
    const QDBusMessage reply = call(QStringLiteral("GetResources"), {});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) return false;
    serial = reply.arguments().at(0).toUInt();
    std::vector<uint> ids;
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
        if (mode >= 0) ids.push_back(id);
    }
    crtcs.endArray();
    active.clear();
    for (uint id : ids) {
        const QDBusMessage tables = gamma(id);
        if (tables.type() != QDBusMessage::ReplyMessage || tables.arguments().isEmpty()) continue;
        const int size = int(qdbus_cast<QList<ushort>>(tables.arguments().at(0)).size());
        // Beyond X's limit no display has it: such a CRTC can't be used.
        if (size >= 2 && size <= MaxGammaSize) active.push_back({std::to_string(id), size});
    }
    return true;
}

MutterGamma::MutterGamma() : d(std::make_unique<Private>()) {}

MutterGamma::~MutterGamma() {
    if (d->bus.name() == kBusName) QDBusConnection::disconnectFromBus(kBusName);
}

bool MutterGamma::connect(const QString& address) {
    d->bus = address.isEmpty() ? QDBusConnection::sessionBus()
                               : QDBusConnection::connectToBus(address, kBusName);
    if (!d->bus.isConnected() || !d->bus.interface() ||
        !d->bus.interface()->isServiceRegistered(kService).value() || !d->readResources())
        return false;
    d->listener = std::make_unique<ChangeListener>();
    d->listener->onChange = [this] {
        d->readResources();
        if (onOutputsChanged) onOutputsChanged();
    };
    d->bus.connect(kService, kPath, kInterface, QStringLiteral("MonitorsChanged"),
                   d->listener.get(), SLOT(monitorsChanged()));
    d->connected = true;
    return true;
}

bool MutterGamma::connected() const {
    return d->connected;
}

std::vector<MutterGamma::Output> MutterGamma::outputs() const {
    return d->active;
}

bool MutterGamma::get(const std::string& id, std::vector<std::uint16_t>& tables) {
    if (!d->connected) return false;
    const QDBusMessage reply = d->gamma(uint(std::stoul(id)));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 3) return false;
    tables.clear();
    qsizetype size = -1;
    for (const QVariant& channel : reply.arguments()) {
        const QList<ushort> entries = qdbus_cast<QList<ushort>>(channel);
        if (size >= 0 && entries.size() != size) return false;
        size = entries.size();
        tables.insert(tables.end(), entries.begin(), entries.end());
    }
    return size >= 2 && size <= MaxGammaSize;
}

void MutterGamma::set(const std::string& id, const std::vector<std::uint16_t>& tables) {
    if (!d->connected || tables.size() < 6 || tables.size() % 3 != 0) return;
    const int size = int(tables.size() / 3);
    QVariantList args{d->serial, uint(std::stoul(id)),
                      QVariant::fromValue(Channel(tables, 0, size)),
                      QVariant::fromValue(Channel(tables, 1, size)),
                      QVariant::fromValue(Channel(tables, 2, size))};
    if (d->call(QStringLiteral("SetCrtcGamma"), args).type() == QDBusMessage::ReplyMessage) return;
    // The monitors changed since the serial was read: read it again and try once more.
    if (!d->readResources()) return;
    args[0] = d->serial;
    d->call(QStringLiteral("SetCrtcGamma"), args);
}

} // namespace platform

#include "MutterGamma.moc"
