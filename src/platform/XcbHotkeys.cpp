// Hot keys on X11. The stock keymap gives Ctrl+Alt+keypad plus/minus to the server itself, so a
// passive grab alone never fires: we listen to XInput2 raw key events on the root window, which
// arrive whatever the focus and the server do with the key, and track the modifiers from them.
// A passive grab is taken as well, so that where the server lets the key through the focused
// program does not get it too. Raw events carry no auto-repeat, so a key held down is repeated
// here, at the keyboard's own repeat delay and rate.
#include "platform/Hotkeys.h"

#include "platform/Messages.h"
#include "platform/X11.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>
// xkb.h names a field "explicit", a C++ keyword.
#define explicit xcb_explicit
#include <xcb/xkb.h>
#undef explicit

namespace platform {

namespace {

constexpr xcb_keysym_t XK_KP_Add = 0xffab;
constexpr xcb_keysym_t XK_KP_Subtract = 0xffad;
constexpr xcb_keysym_t XK_Num_Lock = 0xff7f;
constexpr xcb_keysym_t XK_Scroll_Lock = 0xff14;
constexpr xcb_keysym_t XK_Mode_switch = 0xff7e;
constexpr xcb_keysym_t XK_Alt_L = 0xffe9;
constexpr xcb_keysym_t XK_Alt_R = 0xffea;
constexpr xcb_keysym_t XK_Meta_L = 0xffe7;

Hotkeys* g_hotkeys = nullptr;

struct Registration {
    unsigned modifiers;
    xcb_keysym_t keysym;
};

class XcbHotkeys : public Hotkeys, public QAbstractNativeEventFilter {
public:
    bool RegisterHotKey(int id, unsigned modifiers, unsigned vk) override {
        xcb_keysym_t sym = vk == VK_ADD ? XK_KP_Add : vk == VK_SUBTRACT ? XK_KP_Subtract : 0;
        if (!sym || regs_.count(id)) return false; // registered twice fails
        if (!start()) return false;
        regs_[id] = {modifiers, sym};
        regrab();
        return true;
    }

    bool UnregisterHotKey(int id) override {
        if (!regs_.erase(id)) return false;
        if (repeatId_ == id) stopRepeat();
        regrab();
        return true;
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || regs_.empty()) return false;
        auto* ev = static_cast<xcb_generic_event_t*>(message);
        const uint8_t kind = ev->response_type & 0x7F;
        if (kind == XCB_GE_GENERIC) {
            auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(ev);
            if (ge->extension != xiOpcode_) return false;
            if (ge->event_type == XCB_INPUT_RAW_KEY_PRESS ||
                ge->event_type == XCB_INPUT_RAW_KEY_RELEASE) {
                auto* raw = reinterpret_cast<xcb_input_raw_key_press_event_t*>(ev);
                const auto code = static_cast<xcb_keycode_t>(raw->detail);
                if (ge->event_type == XCB_INPUT_RAW_KEY_PRESS) {
                    // A key already down is a repeat some servers send; ours drives repeats.
                    if (!held_.count(code)) pressed(code);
                    held_.insert(code);
                } else {
                    held_.erase(code);
                    // Letting go of the key or of a modifier ends the repeat.
                    if (repeatId_ && (code == repeatCode_ || modOf_.count(code))) stopRepeat();
                }
                return true;
            }
            return false;
        }
        if (kind == XCB_MAPPING_NOTIFY) {
            refreshKeymap();
            return false;
        }
        if (kind == XCB_KEY_PRESS || kind == XCB_KEY_RELEASE) {
            // Our passive grab delivered it; the raw event already acted on it.
            auto* k = reinterpret_cast<xcb_key_press_event_t*>(ev);
            return k->event == x11::rootWindow() && grabbedCodes_.count(k->detail);
        }
        return false;
    }

private:
    bool start() {
        if (started_) return true;
        xcb_connection_t* c = x11::connection();
        if (!c) return false;
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_input_id);
        if (!ext || !ext->present) return false;
        xiOpcode_ = ext->major_opcode;
        std::free(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
        struct {
            xcb_input_event_mask_t head;
            uint32_t mask;
        } mask{};
        mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
        mask.head.mask_len = 1;
        mask.mask = XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
        xcb_input_xi_select_events(c, x11::rootWindow(), 1, &mask.head);
        xcb_flush(c);
        symbols_ = xcb_key_symbols_alloc(c);
        refreshKeymap();
        readRepeatRate(c);
        repeat_.setSingleShot(true);
        QObject::connect(&repeat_, &QTimer::timeout, [this] {
            if (!repeatId_) return;
            post(repeatId_);
            repeat_.start(repeatInterval_);
        });
        qApp->installNativeEventFilter(this);
        started_ = true;
        return true;
    }

    std::vector<xcb_keycode_t> codesOf(xcb_keysym_t sym) {
        std::vector<xcb_keycode_t> out;
        if (!symbols_) return out;
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols_, sym);
        for (xcb_keycode_t* p = codes; p && *p; ++p)
            out.push_back(*p);
        std::free(codes);
        return out;
    }

    // Reads which modifier bit each key sets, and which bits are locks.
    void refreshKeymap() {
        xcb_connection_t* c = x11::connection();
        if (!c || !symbols_) return;
        xcb_key_symbols_free(symbols_);
        symbols_ = xcb_key_symbols_alloc(c);
        modOf_.clear();
        xcb_get_modifier_mapping_reply_t* r =
            xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr);
        if (r) {
            const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(r);
            const int per = r->keycodes_per_modifier;
            for (int m = 0; m < 8; ++m)
                for (int k = 0; k < per; ++k)
                    if (codes[m * per + k]) modOf_[codes[m * per + k]] |= uint16_t(1u << m);
            std::free(r);
        }
        auto maskOf = [this](xcb_keysym_t sym) {
            uint16_t m = 0;
            for (xcb_keycode_t code : codesOf(sym))
                m |= modOf_[code];
            return m;
        };
        altMask_ = maskOf(XK_Alt_L) | maskOf(XK_Alt_R);
        if (!altMask_) altMask_ = maskOf(XK_Meta_L);
        if (!altMask_) altMask_ = XCB_MOD_MASK_1;
        lockMask_ = uint16_t(XCB_MOD_MASK_LOCK | maskOf(XK_Num_Lock) | maskOf(XK_Scroll_Lock) |
                             maskOf(XK_Mode_switch));
        regrab();
    }

    uint16_t wanted(unsigned modifiers) const {
        uint16_t m = 0;
        if (modifiers & MOD_CONTROL) m |= XCB_MOD_MASK_CONTROL;
        if (modifiers & MOD_ALT) m |= altMask_;
        if (modifiers & MOD_SHIFT) m |= XCB_MOD_MASK_SHIFT;
        return m;
    }

    void pressed(xcb_keycode_t code) {
        uint16_t state = 0;
        for (xcb_keycode_t k : held_) {
            auto it = modOf_.find(k);
            if (it != modOf_.end()) state |= it->second;
        }
        state &= uint16_t(~lockMask_);
        for (const auto& [id, reg] : regs_) {
            const auto codes = codesOf(reg.keysym);
            if (std::find(codes.begin(), codes.end(), code) == codes.end()) continue;
            if (state != wanted(reg.modifiers)) continue;
            post(id);
            repeatId_ = id;
            repeatCode_ = code;
            repeat_.start(repeatDelay_);
            return;
        }
    }

    static void post(int id) {
        TMessage m;
        m.Msg = WM_HOTKEY;
        m.WParam = static_cast<WPARAM>(id);
        PostMessage(m);
    }

    void stopRepeat() {
        repeat_.stop();
        repeatId_ = 0;
    }

    // The keyboard's repeat delay and interval from XKB; the X server's defaults without it.
    void readRepeatRate(xcb_connection_t* c) {
        auto* use = xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr);
        const bool xkb = use && use->supported;
        std::free(use);
        if (!xkb) return;
        auto* ctl = xcb_xkb_get_controls_reply(c, xcb_xkb_get_controls(c, XCB_XKB_ID_USE_CORE_KBD),
                                               nullptr);
        if (ctl && ctl->repeatDelay > 0 && ctl->repeatInterval > 0) {
            repeatDelay_ = ctl->repeatDelay;
            repeatInterval_ = ctl->repeatInterval;
        }
        std::free(ctl);
    }

    void regrab() {
        xcb_connection_t* c = x11::connection();
        if (!c || !started_) return;
        const xcb_window_t root = x11::rootWindow();
        for (xcb_keycode_t code : grabbedCodes_)
            xcb_ungrab_key(c, code, root, XCB_MOD_MASK_ANY);
        grabbedCodes_.clear();
        // Every combination of the lock bits.
        std::vector<uint16_t> locks{0};
        for (int bit = 0; bit < 8; ++bit)
            if (lockMask_ & (1u << bit)) {
                const size_t n = locks.size();
                for (size_t i = 0; i < n; ++i)
                    locks.push_back(uint16_t(locks[i] | (1u << bit)));
            }
        std::vector<std::pair<xcb_keycode_t, xcb_void_cookie_t>> cookies;
        for (const auto& [id, reg] : regs_)
            for (xcb_keycode_t code : codesOf(reg.keysym))
                for (uint16_t lock : locks)
                    cookies.emplace_back(
                        code, xcb_grab_key_checked(c, 1, root, wanted(reg.modifiers) | lock, code,
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        for (auto& [code, cookie] : cookies) {
            xcb_generic_error_t* e = xcb_request_check(c, cookie);
            if (!e) grabbedCodes_.insert(code); // BadAccess: another program holds it; skip
            std::free(e);
        }
        xcb_flush(c);
    }

    std::map<int, Registration> regs_;
    std::map<xcb_keycode_t, uint16_t> modOf_;
    std::set<xcb_keycode_t> held_;
    std::set<xcb_keycode_t> grabbedCodes_;
    xcb_key_symbols_t* symbols_ = nullptr;
    uint16_t altMask_ = XCB_MOD_MASK_1;
    uint16_t lockMask_ = XCB_MOD_MASK_LOCK;
    uint8_t xiOpcode_ = 0;
    bool started_ = false;
    // The key held down and repeating: its registration and keycode (id 0: none).
    QTimer repeat_;
    int repeatId_ = 0;
    xcb_keycode_t repeatCode_ = 0;
    int repeatDelay_ = 660;
    int repeatInterval_ = 40;
};

} // namespace

Hotkeys& hotkeys() {
    static XcbHotkeys* real = new XcbHotkeys; // the native filter must outlive every event
    return g_hotkeys ? *g_hotkeys : *real;
}

void setHotkeys(Hotkeys* h) {
    g_hotkeys = h;
}

} // namespace platform
