#include "platform/display/Display.h"

#include "platform/display/SessionDisplay.h"
#include "platform/system/Instance.h"
#include "platform/system/X11.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <xcb/randr.h>
#include <xcb/record.h>
#include <xcb/xcbext.h>

namespace platform {

namespace {

Display* g_display = nullptr;

template <typename T> struct Reply {
    T* p = nullptr;
    explicit Reply(T* r) : p(r) {}
    ~Reply() { std::free(p); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

bool randrUsable(xcb_connection_t* c) {
    static int state = -1; // per process: the server does not lose RandR
    if (state < 0) {
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
        state = 0;
        if (ext && ext->present) {
            xcb_generic_error_t* err = nullptr;
            Reply<xcb_randr_query_version_reply_t> v(
                xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), &err));
            std::free(err);
            state = v && (v->major_version > 1 || v->minor_version >= 3) ? 1 : 0;
        }
    }
    return state == 1;
}

// The CRTCs that drive an output (have a mode), the primary output's first, with their
// gamma sizes.
std::vector<GammaOutput> activeCrtcs(xcb_connection_t* c, xcb_window_t root) {
    std::vector<GammaOutput> out;
    xcb_generic_error_t* err = nullptr;
    const auto primaryCookie = xcb_randr_get_output_primary(c, root);
    Reply<xcb_randr_get_screen_resources_current_reply_t> res(
        xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, root), &err));
    std::free(err);
    err = nullptr;
    Reply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(c, primaryCookie, &err));
    std::free(err);
    err = nullptr;
    if (!res) return out;
    const xcb_randr_crtc_t* ids = xcb_randr_get_screen_resources_current_crtcs(res.p);
    const int n = xcb_randr_get_screen_resources_current_crtcs_length(res.p);
    std::vector<xcb_randr_get_crtc_info_cookie_t> infos;
    std::vector<xcb_randr_get_crtc_gamma_size_cookie_t> sizes;
    for (int i = 0; i < n; ++i) {
        infos.push_back(xcb_randr_get_crtc_info(c, ids[i], res->config_timestamp));
        sizes.push_back(xcb_randr_get_crtc_gamma_size(c, ids[i]));
    }
    for (std::size_t i = 0; i < infos.size(); ++i) {
        Reply<xcb_randr_get_crtc_info_reply_t> info(
            xcb_randr_get_crtc_info_reply(c, infos[i], &err));
        std::free(err);
        err = nullptr;
        Reply<xcb_randr_get_crtc_gamma_size_reply_t> size(
            xcb_randr_get_crtc_gamma_size_reply(c, sizes[i], &err));
        std::free(err);
        err = nullptr;
        if (!info || info->mode == XCB_NONE || !size || size->size < 2) continue;
        GammaOutput o{std::to_string(ids[i]), size->size};
        const xcb_randr_output_t* outs = xcb_randr_get_crtc_info_outputs(info.p);
        const xcb_randr_output_t* end = outs + xcb_randr_get_crtc_info_outputs_length(info.p);
        const bool isPrimary = primary && std::find(outs, end, primary->output) != end;
        if (isPrimary)
            out.insert(out.begin(), std::move(o));
        else
            out.push_back(std::move(o));
    }
    return out;
}

xcb_randr_crtc_t crtcOf(const std::string& id) {
    return static_cast<xcb_randr_crtc_t>(std::strtoul(id.c_str(), nullptr, 10));
}

// One CRTC's ramp from the answer to a read; nothing when it can't be read.
std::optional<OutputRamp> GammaReply(xcb_connection_t* c,
                                     xcb_randr_get_crtc_gamma_cookie_t cookie) {
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_randr_get_crtc_gamma_reply_t> g(xcb_randr_get_crtc_gamma_reply(c, cookie, &err));
    std::free(err);
    if (!g || g->size < 2) return std::nullopt;
    OutputRamp ramp(g->size);
    std::copy_n(xcb_randr_get_crtc_gamma_red(g.p), g->size, ramp.red());
    std::copy_n(xcb_randr_get_crtc_gamma_green(g.p), g->size, ramp.green());
    std::copy_n(xcb_randr_get_crtc_gamma_blue(g.p), g->size, ramp.blue());
    return ramp;
}

} // namespace

void Display::readOutputRampLater(const std::string& id, RampAnswer answer) {
    OutputRamp ramp;
    std::optional<OutputRamp> read;
    if (getOutputRamp(id, ramp)) read = std::move(ramp);
    if (!QCoreApplication::instance()) return answer(std::move(read), std::nullopt);
    QTimer::singleShot(
        0, QCoreApplication::instance(),
        [read = std::move(read), answer = std::move(answer)] { answer(read, std::nullopt); });
}

bool OutputRamp::isZero() const {
    return std::all_of(entries.begin(), entries.end(), [](std::uint16_t v) { return v == 0; });
}

void ResampleChannel(const std::uint16_t* in, int inSize, std::uint16_t* out, int outSize) {
    if (inSize == outSize) {
        std::copy(in, in + inSize, out);
        return;
    }
    for (int j = 0; j < outSize; ++j) {
        const double pos = outSize > 1 ? double(j) * (inSize - 1) / (outSize - 1) : 0.0;
        const int lo = static_cast<int>(pos);
        const int hi = lo + 1 < inSize ? lo + 1 : lo;
        const double t = pos - lo;
        out[j] = static_cast<std::uint16_t>(in[lo] + (in[hi] - in[lo]) * t + 0.5);
    }
}

OutputRamp ResampleRamp(const GammaRamp& ramp, int size) {
    OutputRamp out(size);
    ResampleChannel(ramp.red(), 256, out.red(), size);
    ResampleChannel(ramp.green(), 256, out.green(), size);
    ResampleChannel(ramp.blue(), 256, out.blue(), size);
    return out;
}

GammaRamp ResampleRamp(const OutputRamp& ramp) {
    GammaRamp out;
    if (ramp.size() < 2) return out;
    ResampleChannel(ramp.red(), ramp.size(), out.red(), 256);
    ResampleChannel(ramp.green(), ramp.size(), out.green(), 256);
    ResampleChannel(ramp.blue(), ramp.size(), out.blue(), 256);
    return out;
}

// RandR notifications arrive on Qt's connection; Qt reads them too, so they are passed on.
class XcbDisplay::Watch : public QAbstractNativeEventFilter {
public:
    explicit Watch(std::function<void()> changed) : changed_(std::move(changed)) {
        xcb_connection_t* c = x11::connection();
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
        firstEvent_ = ext->first_event;
        // The mask replaces the one Qt chose for this connection, so it keeps Qt's bits.
        xcb_randr_select_input(
            c, x11::rootWindow(),
            XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
        xcb_flush(c);
        // One call for the burst of notifications a single change gives.
        coalesce_.setSingleShot(true);
        coalesce_.setInterval(0);
        QObject::connect(&coalesce_, &QTimer::timeout, [this] { changed_(); });
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~Watch() override {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(this);
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        const auto* ev = static_cast<const xcb_generic_event_t*>(message);
        const int kind = (ev->response_type & 0x7F) - firstEvent_;
        if (kind == XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
            coalesce_.start();
        } else if (kind == XCB_RANDR_NOTIFY) {
            // Output properties (a backlight, say) change often and never move a CRTC.
            const auto* n = reinterpret_cast<const xcb_randr_notify_event_t*>(ev);
            if (n->subCode == XCB_RANDR_NOTIFY_CRTC_CHANGE ||
                n->subCode == XCB_RANDR_NOTIFY_OUTPUT_CHANGE)
                coalesce_.start();
        }
        return false;
    }

private:
    std::function<void()> changed_;
    QTimer coalesce_;
    int firstEvent_ = 0;
};

// Other clients' RandR gamma loads, as the RECORD extension hands them over while the server
// takes them. A recording holds the connection it runs on, so it has one of its own; closing it
// ends the recording.
class XcbDisplay::Writes {
public:
    static std::unique_ptr<Writes> Start(std::function<void()> wrote) {
        xcb_connection_t* qt = x11::connection();
        const xcb_query_extension_reply_t* randr = xcb_get_extension_data(qt, &xcb_randr_id);
        if (!randr || !randr->present) return nullptr;
        auto w = std::unique_ptr<Writes>(new Writes);
        w->c_ = xcb_connect(nullptr, nullptr);
        const xcb_query_extension_reply_t* record =
            xcb_connection_has_error(w->c_) ? nullptr
                                            : xcb_get_extension_data(w->c_, &xcb_record_id);
        if (!record || !record->present) return nullptr;
        std::free(
            xcb_record_query_version_reply(w->c_, xcb_record_query_version(w->c_, 1, 13), nullptr));
        xcb_record_range_t range{};
        range.ext_requests.major = {randr->major_opcode, randr->major_opcode};
        range.ext_requests.minor = {XCB_RANDR_SET_CRTC_GAMMA, XCB_RANDR_SET_CRTC_GAMMA};
        const xcb_record_client_spec_t all = XCB_RECORD_CS_ALL_CLIENTS;
        const xcb_record_context_t context = xcb_generate_id(w->c_);
        if (xcb_generic_error_t* err = xcb_request_check(
                w->c_, xcb_record_create_context_checked(w->c_, context, 0, 1, 1, &all, &range))) {
            std::free(err);
            return nullptr;
        }
        w->enabled_ = xcb_record_enable_context(w->c_, context).sequence;
        xcb_flush(w->c_);
        w->own_ = xcb_get_setup(qt)->resource_id_base; // this program's own loads
        w->wrote_ = std::move(wrote);
        w->notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(w->c_),
                                                         QSocketNotifier::Read);
        QObject::connect(w->notifier_.get(), &QSocketNotifier::activated,
                         [w = w.get()] { w->Read(); });
        return w;
    }
    ~Writes() {
        notifier_.reset();
        if (c_) xcb_disconnect(c_);
    }
    Writes(const Writes&) = delete;
    Writes& operator=(const Writes&) = delete;

private:
    Writes() = default;
    void Read() {
        bool foreign = false;
        void* reply = nullptr;
        xcb_generic_error_t* err = nullptr;
        // One reply per request taken, and one at the start and the end of the recording.
        while (xcb_poll_for_reply(c_, enabled_, &reply, &err)) {
            std::free(err);
            if (!reply) { // the recording ended (the server is going)
                notifier_->setEnabled(false);
                break;
            }
            const auto* r = static_cast<const xcb_record_enable_context_reply_t*>(reply);
            foreign = foreign || (r->category == 1 /* from a client */ && r->xid_base != own_ &&
                                  xcb_record_enable_context_data_length(r) > 0);
            std::free(reply);
        }
        if (foreign) wrote_();
    }

    xcb_connection_t* c_ = nullptr;
    unsigned int enabled_ = 0;
    std::uint32_t own_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> wrote_;
};

XcbDisplay::XcbDisplay() = default;

XcbDisplay::~XcbDisplay() {
    delete watch_;
}

bool XcbDisplay::watchWrites(std::function<void()> wrote) {
    writes_.reset();
    xcb_connection_t* c = x11::connection();
    if (wrote && c && randrUsable(c)) writes_ = Writes::Start(std::move(wrote));
    return writes_ != nullptr;
}

bool XcbDisplay::hasDeviceContext() {
    xcb_connection_t* c = x11::connection();
    return c && randrUsable(c);
}

std::string XcbDisplay::displayKey() {
    return x11::connection() ? session::Key() : std::string();
}

std::int64_t XcbDisplay::serverStarted() {
    char* host = nullptr;
    int number = 0;
    if (!xcb_parse_display(nullptr, &host, &number, nullptr)) return 0;
    const bool local = !host || !*host || std::strcmp(host, "unix") == 0;
    std::free(host);
    if (!local) return 0;
    // Nothing writes to a listening socket: its time is the server's start.
    const QFileInfo socket(QStringLiteral("/tmp/.X11-unix/X%1").arg(number));
    return socket.exists() ? socket.lastModified().toMSecsSinceEpoch() : 0;
}

std::vector<GammaOutput> XcbDisplay::outputs() {
    xcb_connection_t* c = x11::connection();
    if (!c || !randrUsable(c)) return {};
    return activeCrtcs(c, x11::rootWindow());
}

bool XcbDisplay::getOutputRamp(const std::string& id, OutputRamp& ramp) {
    xcb_connection_t* c = x11::connection();
    if (!c || !randrUsable(c)) return false;
    std::optional<OutputRamp> read = GammaReply(c, xcb_randr_get_crtc_gamma(c, crtcOf(id)));
    if (read) ramp = std::move(*read);
    return read.has_value();
}

void XcbDisplay::readOutputRampLater(const std::string& id, RampAnswer answer) {
    xcb_connection_t* c = x11::connection();
    if (!c || !randrUsable(c) || !QCoreApplication::instance())
        return Display::readOutputRampLater(id, std::move(answer));
    // The server answers in the order it was asked: this read sees every load sent before it
    // and none sent after. The answer is taken once the caller has sent its own.
    const xcb_randr_get_crtc_gamma_cookie_t cookie = xcb_randr_get_crtc_gamma(c, crtcOf(id));
    xcb_flush(c);
    QTimer::singleShot(0, QCoreApplication::instance(), [c, cookie, answer = std::move(answer)] {
        answer(GammaReply(c, cookie), std::nullopt);
    });
}

void XcbDisplay::setOutputRamp(const std::string& id, const OutputRamp& ramp) {
    xcb_connection_t* c = x11::connection();
    if (!c || !randrUsable(c) || ramp.size() < 2) return;
    // Checked and its answer discarded: a refusal is quietly dropped instead of reaching the
    // event queue, and nothing waits for the server.
    xcb_discard_reply(c, xcb_randr_set_crtc_gamma_checked(c, crtcOf(id),
                                                          static_cast<std::uint16_t>(ramp.size()),
                                                          ramp.red(), ramp.green(), ramp.blue())
                             .sequence);
    xcb_flush(c);
}

void XcbDisplay::watchOutputs(std::function<void()> changed) {
    delete watch_;
    watch_ = nullptr;
    xcb_connection_t* c = x11::connection();
    if (changed && c && randrUsable(c)) watch_ = new Watch(std::move(changed));
}

Display& display() {
    return g_display ? *g_display : SessionDisplay();
}

void setDisplay(Display* d) {
    g_display = d;
}

} // namespace platform
