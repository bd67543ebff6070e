#include "platform/display/FocusFollower.h"

#include "platform/system/Session.h"
#include "platform/system/X11.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QRect>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <vector>
#include <xcb/randr.h>
#include <xcb/res.h>

namespace platform {

namespace {

template <class T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T> Reply<T> reply(T* r) {
    return Reply<T>(r, &std::free);
}

// The client process behind a window: the server's own answer (the peer credentials of the
// client's local connection, true also inside a PID namespace), else what the client wrote into
// _NET_WM_PID; 0 when neither says.
pid_t clientPid(xcb_connection_t* c, xcb_window_t w) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_res_id);
    if (ext && ext->present) {
        xcb_res_client_id_spec_t spec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        xcb_generic_error_t* err = nullptr;
        auto r =
            reply(xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &spec), &err));
        std::free(err);
        for (auto it = r ? xcb_res_query_client_ids_ids_iterator(r.get())
                         : xcb_res_client_id_value_iterator_t{};
             r && it.rem; xcb_res_client_id_value_next(&it)) {
            if (it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID &&
                it.data->length >= 4)
                return static_cast<pid_t>(*xcb_res_client_id_value_value(it.data));
        }
    }
    const std::vector<std::uint32_t> pid =
        x11::property32(w, x11::atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
    return pid.empty() ? 0 : static_cast<pid_t>(pid.front());
}

// The window's ancestor just below the root: the window manager's frame, or the window itself.
xcb_window_t topLevel(xcb_connection_t* c, xcb_window_t w, xcb_window_t root) {
    for (int depth = 0; depth < 16; ++depth) {
        auto t = reply(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
        if (!t || t->parent == root || t->parent == XCB_NONE) return w;
        w = t->parent;
    }
    return w;
}

// One monitor: the CRTC's number and the names of the outputs it drives, with its place.
struct Monitor {
    std::string crtc;
    std::vector<std::string> names;
    QRect place;
};

std::vector<Monitor> monitors(xcb_connection_t* c, xcb_window_t root) {
    std::vector<Monitor> out;
    auto res = reply(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root), nullptr));
    if (!res) return out;
    const xcb_randr_crtc_t* ids = xcb_randr_get_screen_resources_current_crtcs(res.get());
    const int n = xcb_randr_get_screen_resources_current_crtcs_length(res.get());
    for (int i = 0; i < n; ++i) {
        auto info = reply(xcb_randr_get_crtc_info_reply(
            c, xcb_randr_get_crtc_info(c, ids[i], res->config_timestamp), nullptr));
        if (!info || info->mode == XCB_NONE) continue;
        Monitor m{std::to_string(ids[i]), {}, QRect(info->x, info->y, info->width, info->height)};
        const xcb_randr_output_t* outs = xcb_randr_get_crtc_info_outputs(info.get());
        for (int o = 0; o < xcb_randr_get_crtc_info_outputs_length(info.get()); ++o) {
            auto oi = reply(xcb_randr_get_output_info_reply(
                c, xcb_randr_get_output_info(c, outs[o], res->config_timestamp), nullptr));
            if (oi)
                m.names.emplace_back(
                    reinterpret_cast<const char*>(xcb_randr_get_output_info_name(oi.get())),
                    static_cast<std::size_t>(xcb_randr_get_output_info_name_length(oi.get())));
        }
        out.push_back(std::move(m));
    }
    return out;
}

// The monitor holding most of a rectangle; -1 when it lies on none.
int mostlyOn(const std::vector<Monitor>& ms, const QRect& r) {
    int best = -1;
    long long most = 0;
    for (std::size_t i = 0; i < ms.size(); ++i) {
        const QRect both = ms[i].place.intersected(r);
        const long long area = both.isEmpty() ? 0 : 1LL * both.width() * both.height();
        if (area > most) {
            most = area;
            best = static_cast<int>(i);
        }
    }
    return best;
}

class XcbFocus final : public FocusFollower, QAbstractNativeEventFilter {
public:
    void Follow(std::function<bool(pid_t)> ours, std::function<void()> changed) override {
        Stop();
        c_ = x11::connection();
        root_ = x11::rootWindow();
        if (!c_ || root_ == XCB_NONE) return;
        ours_ = std::move(ours);
        changed_ = std::move(changed);
        // On Xwayland the CRTCs and output names are the X server's own, not the compositor's.
        ownServer_ = DetectSession(CurrentSessionFacts()) == SessionKind::X11;
        if (!filtering_) {
            const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c_, &xcb_randr_id);
            randrEvent_ = ext && ext->present ? ext->first_event : -1;
            listen(root_, XCB_EVENT_MASK_PROPERTY_CHANGE);
            if (randrEvent_ >= 0)
                xcb_randr_select_input(c_, root_,
                                       XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                           XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                           XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                                           XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
            xcb_flush(c_);
            QCoreApplication::instance()->installNativeEventFilter(this);
            filtering_ = true;
            later_.setSingleShot(true);
            later_.setInterval(0);
            QObject::connect(&later_, &QTimer::timeout, [this] { Look(); });
        }
        monitors_ = monitors(c_, root_);
        Look();
    }

    void Stop() override {
        ours_ = nullptr;
        changed_ = nullptr;
        windows_.clear();
        watched_.clear();
        front_.clear();
        active_ = seen_ = false;
        later_.stop();
    }

    bool Seen() const override { return seen_; }
    bool Active() const override { return active_; }

    InFront On(const std::string& output) const override {
        for (std::size_t i = 0; ownServer_ && i < monitors_.size(); ++i) {
            const Monitor& m = monitors_[i];
            if (m.crtc != output &&
                std::find(m.names.begin(), m.names.end(), output) == m.names.end())
                continue;
            const auto f = front_.find(static_cast<int>(i));
            return f != front_.end() ? f->second : InFront{true, false, false};
        }
        // An output the X server doesn't list under that id (Xwayland's are its own): the
        // program counts as in front on it wherever it is in front at all.
        InFront anywhere;
        for (const auto& [monitor, f] : front_) {
            anywhere.active = anywhere.active || f.active;
            anywhere.fullScreen = anywhere.fullScreen || f.fullScreen;
        }
        return anywhere;
    }

    ~XcbFocus() override {
        if (filtering_ && QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(this);
    }

private:
    // Adds to the events this client takes from a window (a mask set through the toolkit's
    // connection replaces the one the toolkit chose, so its bits are kept).
    void listen(xcb_window_t w, std::uint32_t mask) {
        auto a =
            reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr));
        if (!a) return;
        const std::uint32_t events = a->your_event_mask | mask;
        xcb_change_window_attributes(c_, w, XCB_CW_EVENT_MASK, &events);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (!ours_ || type != "xcb_generic_event_t") return false;
        const auto* ev = static_cast<const xcb_generic_event_t*>(message);
        const int kind = ev->response_type & 0x7f;
        switch (kind) {
        case XCB_PROPERTY_NOTIFY: {
            const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(ev);
            if ((p->window == root_ && (p->atom == x11::atom("_NET_ACTIVE_WINDOW") ||
                                        p->atom == x11::atom("_NET_CLIENT_LIST"))) ||
                (p->atom == x11::atom("_NET_WM_STATE") && watched_.count(p->window)))
                later_.start();
            break;
        }
        case XCB_CONFIGURE_NOTIFY:
            if (watched_.count(reinterpret_cast<const xcb_configure_notify_event_t*>(ev)->window))
                later_.start();
            break;
        case XCB_MAP_NOTIFY:
        case XCB_UNMAP_NOTIFY:
        case XCB_DESTROY_NOTIFY:
            // The window is the second field of each.
            if (watched_.count(reinterpret_cast<const xcb_unmap_notify_event_t*>(ev)->window))
                later_.start();
            break;
        default:
            if (randrEvent_ >= 0 && (kind == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                     kind == randrEvent_ + XCB_RANDR_NOTIFY)) {
                monitorsChanged_ = true;
                later_.start();
            }
        }
        return false; // the toolkit has its own use for every one of them
    }

    // Whether a client's window is the program's, asked once per window; a window of the program
    // is followed from then on (its frame too: a frame moves without moving the window in it).
    bool isOurs(xcb_window_t w) {
        const auto known = windows_.find(w);
        if (known != windows_.end()) return known->second;
        const pid_t pid = clientPid(c_, w);
        const bool ours = pid > 0 && ours_(pid);
        windows_.emplace(w, ours);
        if (ours) {
            const std::uint32_t mask =
                XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            listen(w, mask);
            const xcb_window_t frame = topLevel(c_, w, root_);
            if (frame != w) listen(frame, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
            watched_.insert(w);
            watched_.insert(frame);
        }
        return ours;
    }

    void Look() {
        if (!ours_) return;
        const bool wasSeen = seen_;
        if (monitorsChanged_) monitors_ = monitors(c_, root_);
        monitorsChanged_ = false;
        std::map<int, InFront> front;
        for (int i = 0; i < static_cast<int>(monitors_.size()); ++i)
            front[i] = InFront{true, false, false};
        const xcb_atom_t fullScreen = x11::atom("_NET_WM_STATE_FULLSCREEN");
        const xcb_atom_t hidden = x11::atom("_NET_WM_STATE_HIDDEN");
        std::set<xcb_window_t> listed;
        for (const std::uint32_t w :
             x11::property32(root_, x11::atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW)) {
            listed.insert(w);
            if (!isOurs(w)) continue;
            seen_ = true;
            const std::vector<std::uint32_t> state =
                x11::property32(w, x11::atom("_NET_WM_STATE"), XCB_ATOM_ATOM);
            auto has = [&](xcb_atom_t a) {
                return std::find(state.begin(), state.end(), a) != state.end();
            };
            if (!has(fullScreen) || has(hidden)) continue;
            const int on = mostlyOn(monitors_, x11::windowPlace(w).value_or(QRect()));
            if (on >= 0) front[on].fullScreen = true;
        }
        // Windows the window manager no longer lists are forgotten (their ids come back).
        std::erase_if(windows_, [&](const auto& w) { return !listed.count(w.first); });
        const std::vector<std::uint32_t> active =
            x11::property32(root_, x11::atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
        bool activeOurs = false;
        if (!active.empty() && active.front() != XCB_NONE && isOurs(active.front())) {
            seen_ = activeOurs = true;
            const int on = mostlyOn(monitors_, x11::windowPlace(active.front()).value_or(QRect()));
            if (on >= 0) front[on].active = true;
        }
        xcb_flush(c_);
        if (front == front_ && activeOurs == active_ && seen_ == wasSeen) return;
        front_ = std::move(front);
        active_ = activeOurs;
        // Until the program's first window nothing it answers counts.
        if (changed_ && seen_) changed_();
    }

    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = XCB_NONE;
    int randrEvent_ = -1;
    bool filtering_ = false;
    bool ownServer_ = true;
    bool monitorsChanged_ = false;
    std::function<bool(pid_t)> ours_;
    std::function<void()> changed_;
    QTimer later_; // one look for a burst of events
    std::vector<Monitor> monitors_;
    std::map<xcb_window_t, bool> windows_; // client windows asked about: the program's or not
    std::set<xcb_window_t> watched_;       // the program's windows and their frames
    std::map<int, InFront> front_;         // by monitor
    bool active_ = false;
    bool seen_ = false;
};

FocusFollower* g_follower = nullptr;

} // namespace

FocusFollower& focusFollower() {
    static XcbFocus* real = new XcbFocus; // lives as long as the application's event filters
    return g_follower ? *g_follower : *real;
}

void setFocusFollower(FocusFollower* follower) {
    g_follower = follower;
}

} // namespace platform
