#include "platform/display/WlrGamma.h"

#include "platform/display/Display.h"

#include "wlr-gamma-control-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {

namespace {

struct Head {
    WlrGamma::Private* owner = nullptr;
    std::uint32_t name = 0; // the registry's name for it
    std::uint32_t version = 0;
    wl_output* output = nullptr;
    zwlr_gamma_control_v1* control = nullptr;
    std::uint32_t size = 0; // as the compositor last told it; 0 before
    bool told = false;      // size received for the control held now
    bool refused = false;
    std::vector<std::uint16_t> pending; // tables to load once the size is known
    std::string id;
};

// Tables of fewer than two entries say nothing; more than X's limit can't be real, and would
// cost the size's worth of memory at every change.
bool Usable(std::uint32_t size) {
    return size >= 2 && size <= std::uint32_t(MaxGammaSize);
}

// The tables in a sealed memory file: nobody can change them once they are handed over.
int GammaFile(const std::vector<std::uint16_t>& tables) {
    const int fd = ::memfd_create("kelvaro-gamma", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    const auto* bytes = reinterpret_cast<const char*>(tables.data());
    std::size_t left = tables.size() * sizeof(std::uint16_t);
    while (left > 0) {
        const ssize_t w = ::write(fd, bytes, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ::close(fd);
            return -1;
        }
        bytes += w;
        left -= static_cast<std::size_t>(w);
    }
    ::lseek(fd, 0, SEEK_SET);
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

} // namespace

struct WlrGamma::Private {
    WlrGamma* self = nullptr;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    zwlr_gamma_control_manager_v1* manager = nullptr;
    std::vector<std::unique_ptr<Head>> outputs;
    std::unique_ptr<QSocketNotifier> notifier;
    bool toldRefusal = false;

    Head* find(const std::string& id) {
        for (auto& o : outputs)
            if (o->id == id) return o.get();
        return nullptr;
    }
    void take(Head& o);
    void send(Head& o, const std::vector<std::uint16_t>& tables);
    void release(Head& o);
    void sized(Head& o, std::uint32_t size);
    void refused(Head& o);
    void forget(std::uint32_t name);
    void changed() {
        if (self->onOutputsChanged) self->onOutputsChanged();
    }
    void flush() {
        if (display) wl_display_flush(display);
    }
    void dispatch();
    void close();
};

namespace {

void OnGammaSize(void* data, zwlr_gamma_control_v1*, std::uint32_t size) {
    auto* o = static_cast<Head*>(data);
    o->owner->sized(*o, size);
}

void OnFailed(void* data, zwlr_gamma_control_v1*) {
    auto* o = static_cast<Head*>(data);
    o->owner->refused(*o);
}

const zwlr_gamma_control_v1_listener kControlListener = {OnGammaSize, OnFailed};

void OnGeometry(void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                std::int32_t, const char*, const char*, std::int32_t) {}
void OnMode(void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {}
void OnDone(void*, wl_output*) {}
void OnScale(void*, wl_output*, std::int32_t) {}
void OnName(void* data, wl_output*, const char* name) {
    static_cast<Head*>(data)->id = name;
}
void OnDescription(void*, wl_output*, const char*) {}

const wl_output_listener kOutputListener = {OnGeometry, OnMode, OnDone,
                                            OnScale,    OnName, OnDescription};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t version) {
    auto* p = static_cast<WlrGamma::Private*>(data);
    if (std::strcmp(interface, zwlr_gamma_control_manager_v1_interface.name) == 0) {
        if (!p->manager)
            p->manager = static_cast<zwlr_gamma_control_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_gamma_control_manager_v1_interface, 1));
        return;
    }
    if (std::strcmp(interface, wl_output_interface.name) != 0) return;
    auto o = std::make_unique<Head>();
    o->owner = p;
    o->name = name;
    o->version = std::min<std::uint32_t>(version, 4);
    o->id = "output-" + std::to_string(name); // until the output says its name
    o->output =
        static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, o->version));
    wl_output_add_listener(o->output, &kOutputListener, o.get());
    Head& added = *o;
    p->outputs.push_back(std::move(o));
    // Taken at once: an output that appears is one more the gamma in force goes to.
    p->take(added);
}

void OnGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    static_cast<WlrGamma::Private*>(data)->forget(name);
}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

void DropOutput(Head& o) {
    if (o.version >= WL_OUTPUT_RELEASE_SINCE_VERSION)
        wl_output_release(o.output);
    else
        wl_output_destroy(o.output);
}

} // namespace

void WlrGamma::Private::take(Head& o) {
    if (o.control || !manager) return;
    o.told = false;
    o.refused = false;
    o.control = zwlr_gamma_control_manager_v1_get_gamma_control(manager, o.output);
    zwlr_gamma_control_v1_add_listener(o.control, &kControlListener, &o);
}

void WlrGamma::Private::send(Head& o, const std::vector<std::uint16_t>& tables) {
    if (!o.control || !Usable(o.size) || tables.size() != std::size_t(o.size) * 3) return;
    const int fd = GammaFile(tables);
    if (fd < 0) return;
    zwlr_gamma_control_v1_set_gamma(o.control, fd);
    ::close(fd);
}

void WlrGamma::Private::sized(Head& o, std::uint32_t size) {
    const bool known = o.size == size;
    o.size = size;
    o.told = true;
    if (!o.pending.empty()) send(o, o.pending);
    o.pending.clear();
    flush();
    if (!known) changed();
}

void WlrGamma::Private::release(Head& o) {
    if (o.control) zwlr_gamma_control_v1_destroy(o.control);
    o.control = nullptr;
    o.told = false;
    o.pending.clear();
}

void WlrGamma::Private::refused(Head& o) {
    release(o);
    o.refused = true;
    flush();
    changed();
    if (toldRefusal) return;
    toldRefusal = true;
    if (self->onRefused)
        self->onRefused(
            QStringLiteral("The compositor does not let Kelvaro change the gamma of %1: another "
                           "program (a night-light tool, for instance) holds it, or the display "
                           "has no gamma tables.")
                .arg(QString::fromStdString(o.id)));
}

void WlrGamma::Private::forget(std::uint32_t name) {
    for (auto it = outputs.begin(); it != outputs.end(); ++it) {
        Head& o = **it;
        if (o.name != name) continue;
        release(o);
        DropOutput(o);
        outputs.erase(it);
        flush();
        changed();
        return;
    }
}

void WlrGamma::Private::dispatch() {
    if (!display) return;
    if (wl_display_dispatch(display) < 0) {
        close(); // the compositor has gone
        changed();
        return;
    }
    flush(); // what the handlers asked in answer
}

void WlrGamma::Private::close() {
    notifier.reset();
    if (!display) return;
    for (auto& o : outputs) {
        release(*o);
        DropOutput(*o);
    }
    outputs.clear();
    if (manager) zwlr_gamma_control_manager_v1_destroy(manager);
    manager = nullptr;
    if (registry) wl_registry_destroy(registry);
    registry = nullptr;
    wl_display_flush(display);
    wl_display_disconnect(display);
    display = nullptr;
}

WlrGamma::WlrGamma() : d(std::make_unique<Private>()) {
    d->self = this;
}

WlrGamma::~WlrGamma() {
    d->close();
}

bool WlrGamma::connect(const QByteArray& socket) {
    d->close();
    d->display = wl_display_connect(socket.isEmpty() ? nullptr : socket.constData());
    if (!d->display) return false;
    d->registry = wl_display_get_registry(d->display);
    wl_registry_add_listener(d->registry, &kRegistryListener, d.get());
    // One round for the globals, one for the outputs' names and gamma sizes.
    if (wl_display_roundtrip(d->display) < 0 || !d->manager ||
        wl_display_roundtrip(d->display) < 0) {
        d->close();
        return false;
    }
    // Outputs bound before the manager was announced are taken now.
    for (auto& o : d->outputs)
        if (!o->control && !o->refused) d->take(*o);
    if (wl_display_roundtrip(d->display) < 0) {
        d->close();
        return false;
    }
    d->notifier =
        std::make_unique<QSocketNotifier>(wl_display_get_fd(d->display), QSocketNotifier::Read);
    QObject::connect(d->notifier.get(), &QSocketNotifier::activated,
                     [p = d.get()] { p->dispatch(); });
    return true;
}

bool WlrGamma::connected() const {
    return d->display != nullptr;
}

std::vector<WlrGamma::Output> WlrGamma::outputs() const {
    std::vector<Output> out;
    for (const auto& o : d->outputs)
        if (Usable(o->size) && !o->refused) out.push_back({o->id, int(o->size)});
    return out;
}

void WlrGamma::set(const std::string& id, const std::vector<std::uint16_t>& tables) {
    auto* found = d->find(id);
    if (!found) return;
    if (found->control && found->told) {
        d->send(*found, tables);
    } else {
        d->take(*found);
        found->pending = tables;
    }
    d->flush();
}

void WlrGamma::release(const std::string& id) {
    if (auto* o = d->find(id)) d->release(*o);
    d->flush();
}

void WlrGamma::load(const GammaRamp& ramp) {
    for (const Output& o : outputs())
        set(o.id, ResampleRamp(ramp, o.gammaSize).entries);
}

void WlrGamma::restore() {
    for (auto& o : d->outputs)
        d->release(*o);
    d->flush();
}

bool WlrGamma::roundtrip() {
    if (!d->display) return false;
    if (wl_display_roundtrip(d->display) < 0) {
        d->close();
        return false;
    }
    return true;
}

} // namespace platform
