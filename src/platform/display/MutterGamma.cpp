#include "platform/display/MutterGamma.h"

#include "platform/display/Display.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <map>
#include <optional>
#include <utility>

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

// GetResources' serial, the first of its answer.
std::optional<uint> SerialOf(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
        return std::nullopt;
    return reply.arguments().at(0).toUInt();
}

// GetCrtcGamma's answer (SetCrtcGamma's channels): the red, green and blue tables one after
// the other, each of the CRTC's gamma size.
std::optional<std::vector<std::uint16_t>> TablesOf(const QVariantList& channels) {
    if (channels.size() != 3) return std::nullopt;
    std::vector<std::uint16_t> tables;
    qsizetype size = -1;
    for (const QVariant& channel : channels) {
        const QList<ushort> entries = qdbus_cast<QList<ushort>>(channel);
        if (size >= 0 && entries.size() != size) return std::nullopt;
        size = entries.size();
        tables.insert(tables.end(), entries.begin(), entries.end());
    }
    if (size < 2 || size > MaxGammaSize) return std::nullopt;
    return tables;
}

// A peer that does not answer (stopped, gone) rather than one that refused.
bool Unanswered(QDBusError::ErrorType error) {
    return error == QDBusError::NoReply || error == QDBusError::Timeout ||
           error == QDBusError::Disconnected;
}

} // namespace

struct MutterGamma::Private {
    QDBusConnection bus{QString()};
    bool connected = false;
    uint serial = 0;
    std::vector<Output> active;
    std::unique_ptr<ChangeListener> listener;
    QObject replies; // the answers to calls on their way die with it

    // Tables for one CRTC, the three channels as SetCrtcGamma takes them; one refusal (a serial
    // gone stale) is tried again with the new serial.
    struct Load {
        QVariantList channels;
        bool mayRetry = true;
    };
    // Loads go out without waiting for Mutter: one call per CRTC at a time, and of those made
    // meanwhile only the latest (a burst of hot keys) follows it.
    struct Crtc {
        std::optional<Load> next;
        bool busy = false;
        QVariantList sent; // the channels last sent, for reads sent after them
    };
    std::map<uint, Crtc> loads;

    QDBusMessage message(const QString& method, const QVariantList& args) const {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
        m.setArguments(args);
        return m;
    }
    QDBusMessage call(const QString& method, const QVariantList& args) const {
        return bus.call(message(method, args), QDBus::Block, 2000);
    }
    bool readResources();
    QDBusMessage gamma(uint crtc) { return call(QStringLiteral("GetCrtcGamma"), {serial, crtc}); }
    void loadNow(uint crtc, const QVariantList& channels);
    void sendNext(uint crtc);
    void loaded(uint crtc, Load load, const QDBusPendingCall& reply);
    // What has not gone out yet goes now, waited for: the program is about to end.
    void finish() {
        for (auto& [crtc, c] : loads)
            if (c.next) loadNow(crtc, std::exchange(c.next, std::nullopt)->channels);
    }
};

void MutterGamma::Private::loadNow(uint crtc, const QVariantList& channels) {
    loads[crtc].sent = channels;
    const QDBusMessage reply =
        call(QStringLiteral("SetCrtcGamma"), QVariantList{serial, crtc} + channels);
    if (reply.type() == QDBusMessage::ReplyMessage || Unanswered(QDBusError(reply).type())) return;
    // The monitors changed since the serial was read: read it again and try once more.
    if (!readResources()) return;
    call(QStringLiteral("SetCrtcGamma"), QVariantList{serial, crtc} + channels);
}

void MutterGamma::Private::sendNext(uint crtc) {
    Crtc& c = loads[crtc];
    if (c.busy || !c.next) return;
    Load load = std::move(*std::exchange(c.next, std::nullopt));
    c.busy = true;
    c.sent = load.channels;
    const QDBusPendingCall reply = bus.asyncCall(
        message(QStringLiteral("SetCrtcGamma"), QVariantList{serial, crtc} + load.channels), 2000);
    auto* w = new QDBusPendingCallWatcher(reply, &replies);
    QObject::connect(w, &QDBusPendingCallWatcher::finished, &replies,
                     [this, crtc, load = std::move(load)](QDBusPendingCallWatcher* w) mutable {
                         w->deleteLater();
                         loaded(crtc, std::move(load), *w);
                     });
}

void MutterGamma::Private::loaded(uint crtc, Load load, const QDBusPendingCall& reply) {
    // A refusal, not a peer that does not answer: the monitors changed since the serial was
    // read. Read it again (also without waiting) and try once more, unless newer tables wait.
    const QDBusError::ErrorType error =
        reply.isError() ? reply.error().type() : QDBusError::NoError;
    if (error != QDBusError::NoError && !Unanswered(error) && load.mayRetry) {
        auto* w = new QDBusPendingCallWatcher(
            bus.asyncCall(message(QStringLiteral("GetResources"), {}), 2000), &replies);
        QObject::connect(w, &QDBusPendingCallWatcher::finished, &replies,
                         [this, crtc, load = std::move(load)](QDBusPendingCallWatcher* w) mutable {
                             w->deleteLater();
                             Crtc& c = loads[crtc];
                             c.busy = false;
                             if (const auto s = SerialOf(w->reply())) serial = *s;
                             load.mayRetry = false;
                             if (!c.next) c.next = std::move(load);
                             sendNext(crtc);
                         });
        return;
    }
    loads[crtc].busy = false;
    sendNext(crtc);
}

// GetResources: (serial, CRTCs a(uxiiiiiuaua{sv}), outputs, modes, max width, max height).
// A CRTC whose current mode is -1 shows nothing. Each active one's gamma size is the length
// of its tables.
bool MutterGamma::Private::readResources() {
    const QDBusMessage reply = call(QStringLiteral("GetResources"), {});
    const std::optional<uint> current = SerialOf(reply);
    if (!current) return false;
    serial = *current;
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
    // Loads still on their way go out before the program ends.
    if (QCoreApplication::instance())
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &d->replies,
                         [d = d.get()] { d->finish(); });
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
    if (reply.type() != QDBusMessage::ReplyMessage) return false;
    std::optional<std::vector<std::uint16_t>> read = TablesOf(reply.arguments());
    if (read) tables = std::move(*read);
    return read.has_value();
}

void MutterGamma::getLater(const std::string& id, Answer answer) {
    if (!d->connected) {
        QTimer::singleShot(0, &d->replies, [answer = std::move(answer)] { answer({}, {}); });
        return;
    }
    const uint crtc = uint(std::stoul(id));
    const auto known = d->loads.find(crtc);
    // Calls on one connection reach Mutter in the order they were made: this one sees the
    // tables last sent (if nothing else wrote since), whichever of them Mutter has answered.
    std::optional<std::vector<std::uint16_t>> sent;
    if (known != d->loads.end() && !known->second.sent.isEmpty())
        sent = TablesOf(known->second.sent);
    auto* w = new QDBusPendingCallWatcher(
        d->bus.asyncCall(d->message(QStringLiteral("GetCrtcGamma"), {d->serial, crtc}), 2000),
        &d->replies);
    QObject::connect(
        w, &QDBusPendingCallWatcher::finished, &d->replies,
        [answer = std::move(answer), sent = std::move(sent)](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusMessage reply = w->reply();
            answer(reply.type() == QDBusMessage::ReplyMessage ? TablesOf(reply.arguments())
                                                              : std::nullopt,
                   sent);
        });
}

void MutterGamma::set(const std::string& id, const std::vector<std::uint16_t>& tables) {
    if (!d->connected || tables.size() < 6 || tables.size() % 3 != 0) return;
    const int size = int(tables.size() / 3);
    const uint crtc = uint(std::stoul(id));
    QVariantList channels{QVariant::fromValue(Channel(tables, 0, size)),
                          QVariant::fromValue(Channel(tables, 1, size)),
                          QVariant::fromValue(Channel(tables, 2, size))};
    // Outside the event loop (start-up, `--reset`, the end) nothing would take the answer: the
    // call is waited for.
    if (QThread::currentThread()->loopLevel() == 0) {
        d->loads[crtc].next.reset();
        d->loadNow(crtc, channels);
        return;
    }
    d->loads[crtc].next = Private::Load{std::move(channels)};
    d->sendNext(crtc);
}

} // namespace platform

#include "MutterGamma.moc"
