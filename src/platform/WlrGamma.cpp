#include "platform/WlrGamma.h"

#include "platform/Display.h"

#include "wlr-gamma-control-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

struct Output {
    WlrGamma::Private* owner = nullptr;
    std::uint32_t name = 0; // the registry's name for it
    std::uint32_t version = 0;
    wl_output* output = nullptr;
    zwlr_gamma_control_v1* control = nullptr;
    std::uint32_t size = 0; // 0 until the compositor has told it
    QString label;
};

// The tables as the compositor reads them: red, green, blue, each resampled to the output's
// gamma size, in a sealed memory file nobody can change once it is handed over.
int GammaFile(const GammaRamp& ramp, std::uint32_t size) {
    const int n = static_cast<int>(size);
    std::vector<std::uint16_t> table(size * 3);
    ResampleChannel(ramp.red(), 256, table.data(), n);
    ResampleChannel(ramp.green(), 256, table.data() + size, n);
    ResampleChannel(ramp.blue(), 256, table.data() + 2 * size, n);
    const int fd = ::memfd_create("kelvaro-gamma", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    const auto* bytes = reinterpret_cast<const char*>(table.data());
    std::size_t left = table.size() * sizeof(std::uint16_t);
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
    std::vector<std::unique_ptr<Output>> outputs;
    std::optional<GammaRamp> inForce;
    std::unique_ptr<QSocketNotifier> notifier;
    bool told = false;

    void take(Output& o);
    void send(Output& o);
    void release(Output& o);
    void refused(Output& o);
    void forget(std::uint32_t name);
    void flush() {
        if (display) wl_display_flush(display);
    }
    void dispatch();
    void close();
};

namespace {

void OnGammaSize(void* data, zwlr_gamma_control_v1*, std::uint32_t size) {
    auto* o = static_cast<Output*>(data);
    o->size = size;
    o->owner->send(*o);
    o->owner->flush();
}

void OnFailed(void* data, zwlr_gamma_control_v1*) {
    auto* o = static_cast<Output*>(data);
    o->owner->refused(*o);
}

const zwlr_gamma_control_v1_listener kControlListener = {OnGammaSize, OnFailed};

void OnGeometry(void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                std::int32_t, const char*, const char*, std::int32_t) {}
void OnMode(void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {}
void OnDone(void*, wl_output*) {}
void OnScale(void*, wl_output*, std::int32_t) {}
void OnName(void* data, wl_output*, const char* name) {
    static_cast<Output*>(data)->label = QString::fromUtf8(name);
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
    auto o = std::make_unique<Output>();
    o->owner = p;
    o->name = name;
    o->version = std::min<std::uint32_t>(version, 4);
    o->label = QStringLiteral("output %1").arg(name);
    o->output =
        static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, o->version));
    wl_output_add_listener(o->output, &kOutputListener, o.get());
    Output& added = *o;
    p->outputs.push_back(std::move(o));
    // A monitor that comes while a gamma is in force gets it at once.
    if (p->inForce) p->take(added);
}

void OnGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    static_cast<WlrGamma::Private*>(data)->forget(name);
}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

} // namespace

void WlrGamma::Private::take(Output& o) {
    if (o.control || !manager) return;
    o.size = 0;
    o.control = zwlr_gamma_control_manager_v1_get_gamma_control(manager, o.output);
    zwlr_gamma_control_v1_add_listener(o.control, &kControlListener, &o);
}

void WlrGamma::Private::send(Output& o) {
    if (!o.control || o.size == 0 || !inForce) return;
    const int fd = GammaFile(*inForce, o.size);
    if (fd < 0) return;
    zwlr_gamma_control_v1_set_gamma(o.control, fd);
    ::close(fd);
}

void WlrGamma::Private::release(Output& o) {
    if (o.control) zwlr_gamma_control_v1_destroy(o.control);
    o.control = nullptr;
    o.size = 0;
}

void WlrGamma::Private::refused(Output& o) {
    release(o);
    flush();
    if (told) return;
    told = true;
    if (self->onRefused)
        self->onRefused(
            QStringLiteral("The compositor does not let Kelvaro change the gamma of %1: another "
                           "program (a night-light tool, for instance) holds it, or the display "
                           "has no gamma tables.")
                .arg(o.label));
}

void WlrGamma::Private::forget(std::uint32_t name) {
    for (auto it = outputs.begin(); it != outputs.end(); ++it) {
        Output& o = **it;
        if (o.name != name) continue;
        release(o);
        if (o.version >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(o.output);
        else
            wl_output_destroy(o.output);
        outputs.erase(it);
        flush();
        return;
    }
}

void WlrGamma::Private::dispatch() {
    if (!display) return;
    if (wl_display_dispatch(display) < 0) {
        close(); // the compositor has gone
        return;
    }
    flush(); // what the handlers asked in answer
}

void WlrGamma::Private::close() {
    notifier.reset();
    if (!display) return;
    for (auto& o : outputs) {
        release(*o);
        if (o->version >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(o->output);
        else
            wl_output_destroy(o->output);
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
    // One round for the globals, one for what the outputs say about themselves.
    if (wl_display_roundtrip(d->display) < 0 || !d->manager ||
        wl_display_roundtrip(d->display) < 0) {
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

void WlrGamma::load(const GammaRamp& ramp) {
    if (!d->display) return;
    d->inForce = ramp;
    for (auto& o : d->outputs) {
        if (o->control)
            d->send(*o);
        else
            d->take(*o);
    }
    d->flush();
}

void WlrGamma::restore() {
    if (!d->display) return;
    d->inForce.reset();
    for (auto& o : d->outputs)
        d->release(*o);
    d->flush();
}

int WlrGamma::outputCount() const {
    return static_cast<int>(d->outputs.size());
}

int WlrGamma::controlledCount() const {
    int n = 0;
    for (const auto& o : d->outputs)
        n += o->control && o->size > 0;
    return n;
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
