// Hot keys on X11. The stock keymap gives Ctrl+Alt+keypad plus/minus to the server itself, so a
// passive grab alone never fires: we listen to XInput2 raw key events on the root window, which
// arrive whatever the focus and the server do with the key. A passive grab is taken as well, so
// that where the server lets the key through (a remapped keypad, AltGr held) the focused
// program does not get it too; while that grab is active the server sends us core key events
// instead of raw ones, and both feed one record of the keys held (HeldKeys), checked against
// the keyboard's real state. A press is judged by the modifiers in force when it went down: the
// core event carries them, and for a raw one they are the state XKB last reported before it in
// the same stream, so a press seen late (a busy server, a busy program) still counts once.
// Raw events carry no auto-repeat, so a key held down is repeated here as the X keyboard would:
// at its repeat delay and rate, only where its repeat is on for that key, following changes to
// those controls as they are made, and for as long as the key is really down.
#include "platform/keys/Hotkeys.h"

#include "platform/keys/HeldKeys.h"

#include "platform/keys/PortalHotkeys.h"
#include "platform/system/Messages.h"
#include "platform/system/X11.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
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
        // Switched on: the keys held now are whatever the keyboard really has down, and nothing
        // XKB said while off was followed.
        if (regs_.empty()) {
            keys_.reset(queryKeymap());
            readXkbState(x11::connection());
            readRepeat(x11::connection());
        }
        regs_[id] = {modifiers, sym};
        regrab();
        return true;
    }

    bool UnregisterHotKey(int id) override {
        if (!regs_.erase(id)) return false;
        // Switched off, nothing is followed: forget every key, so none stays held.
        if (regs_.empty()) keys_.reset();
        regrab();
        syncRepeat();
        return true;
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || regs_.empty()) return false;
        auto* ev = static_cast<xcb_generic_event_t*>(message);
        const uint8_t kind = ev->response_type & 0x7F;
        if (kind == XCB_GE_GENERIC) {
            auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(ev);
            if (ge->extension != xiOpcode_) return false;
            if (ge->event_type == XCB_INPUT_RAW_KEY_PRESS) {
                auto* raw = reinterpret_cast<xcb_input_raw_key_press_event_t*>(ev);
                pressed(xcb_keycode_t(raw->detail), raw->time,
                        raw->flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT, xkbMods_);
                return true;
            }
            if (ge->event_type == XCB_INPUT_RAW_KEY_RELEASE) {
                auto* raw = reinterpret_cast<xcb_input_raw_key_press_event_t*>(ev);
                keys_.release(xcb_keycode_t(raw->detail));
                syncRepeat();
                return true;
            }
            return false;
        }
        if (kind == xkbEvent_) {
            const auto* xkb = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(ev);
            if (xkb->xkbType == XCB_XKB_STATE_NOTIFY) xkbMods_ = xkb->mods;
            if (xkb->xkbType == XCB_XKB_CONTROLS_NOTIFY) readRepeat(x11::connection());
            if (isKeymapChange(ev)) refreshKeymap();
            return false;
        }
        if (kind == XCB_MAPPING_NOTIFY) {
            refreshKeymap();
            return false;
        }
        if (kind == XCB_KEY_PRESS || kind == XCB_KEY_RELEASE) {
            // On the root window: our passive grab is active, and until the key that started
            // it goes up the keyboard's events come to us this way rather than raw.
            auto* k = reinterpret_cast<xcb_key_press_event_t*>(ev);
            if (k->event != x11::rootWindow()) return false;
            if (kind == XCB_KEY_PRESS) {
                // A key we hold already: the raw press came first, or the server repeats it.
                pressed(k->detail, k->time, keys_.holds(k->detail), uint16_t(k->state));
            } else if (!queryKeymap()[k->detail]) {
                // (A release of a key still down is the server's auto-repeat.)
                keys_.release(k->detail);
                syncRepeat();
            }
            return true;
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
        const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(c, &xcb_xkb_id);
        if (xkb && xkb->present && useXkb(c)) xkbEvent_ = xkb->first_event;
        refreshKeymap();
        repeat_.setSingleShot(true);
        QObject::connect(&repeat_, &QTimer::timeout, [this] {
            // Only while the key and its modifiers are really down.
            const int id = keys_.tick(queryKeymap());
            if (!id) return;
            post(id);
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
        keys_.setModifiers(modOf_, lockMask_);
        // A new keymap: what was held means something else now.
        keys_.reset(queryKeymap());
        regrab();
        syncRepeat();
    }

    uint16_t wanted(unsigned modifiers) const {
        uint16_t m = 0;
        if (modifiers & MOD_CONTROL) m |= XCB_MOD_MASK_CONTROL;
        if (modifiers & MOD_ALT) m |= altMask_;
        if (modifiers & MOD_SHIFT) m |= XCB_MOD_MASK_SHIFT;
        return m;
    }

    void pressed(xcb_keycode_t code, xcb_timestamp_t time, bool repeat,
                 std::optional<uint16_t> state) {
        const int id = keys_.press(
            code, time, repeat, [this] { return queryKeymap(); }, state);
        if (!id) return;
        post(id);
        if (keys_.repeating())
            repeat_.start(repeatDelay_);
        else
            repeat_.stop();
    }

    // The keys the keyboard has down now, asked of the server.
    HeldKeys::Keymap queryKeymap() const {
        HeldKeys::Keymap down;
        xcb_connection_t* c = x11::connection();
        if (!c) return down;
        auto* r = xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr);
        if (!r) return down;
        for (int code = 0; code < 256; ++code)
            if (r->keys[code / 8] & (1u << (code % 8))) down.set(size_t(code));
        std::free(r);
        return down;
    }

    static bool isKeymapChange(const xcb_generic_event_t* ev) {
        const uint8_t xkbType = reinterpret_cast<const xcb_xkb_map_notify_event_t*>(ev)->xkbType;
        return xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY;
    }

    static void post(int id) {
        TMessage m;
        m.Msg = WM_HOTKEY;
        m.WParam = static_cast<WPARAM>(id);
        PostMessage(m);
    }

    // The repeat timer runs exactly while a binding repeats.
    void syncRepeat() {
        if (!keys_.repeating()) repeat_.stop();
    }

    // XKB, where the server has it: its state changes (the modifiers each press is judged by)
    // and its controls' changes (the repeat) reach us as events from now on.
    bool useXkb(xcb_connection_t* c) {
        auto* use = xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr);
        const bool xkb = use && use->supported;
        std::free(use);
        if (!xkb) return false;
        // Only these two kinds are touched; what the toolkit selected stays as it was.
        const uint16_t kinds = XCB_XKB_EVENT_TYPE_STATE_NOTIFY | XCB_XKB_EVENT_TYPE_CONTROLS_NOTIFY;
        const xcb_xkb_select_events_details_t none{};
        xcb_xkb_select_events_aux(c, XCB_XKB_ID_USE_CORE_KBD, kinds, 0, kinds, 0, 0, &none);
        return true;
    }

    // The modifiers in force now, as XKB has them; its events keep them from then on.
    void readXkbState(xcb_connection_t* c) {
        if (xkbEvent_ == 0xFF) return;
        auto* state =
            xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr);
        if (state) xkbMods_ = state->mods;
        std::free(state);
    }

    // The keyboard's repeat from XKB: on or off, for which keys, its delay and interval. The X
    // server's defaults without XKB.
    void readRepeat(xcb_connection_t* c) {
        if (xkbEvent_ == 0xFF) return;
        auto* ctl = xcb_xkb_get_controls_reply(c, xcb_xkb_get_controls(c, XCB_XKB_ID_USE_CORE_KBD),
                                               nullptr);
        if (!ctl) return;
        if (ctl->repeatDelay > 0 && ctl->repeatInterval > 0) {
            repeatDelay_ = ctl->repeatDelay;
            repeatInterval_ = ctl->repeatInterval;
        }
        HeldKeys::Keymap keys;
        for (std::size_t code = 0; code < keys.size(); ++code)
            keys[code] = ctl->perKeyRepeat[code / 8] & (1u << (code % 8));
        keys_.setRepeat(ctl->enabledControls & XCB_XKB_BOOL_CTRL_REPEAT_KEYS, keys);
        std::free(ctl);
        syncRepeat();
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
        std::vector<HeldKeys::Binding> bindings;
        for (const auto& [id, reg] : regs_) {
            HeldKeys::Binding b{id, wanted(reg.modifiers), {}};
            for (xcb_keycode_t code : codesOf(reg.keysym))
                b.codes.push_back(code);
            bindings.push_back(std::move(b));
        }
        keys_.setBindings(std::move(bindings));
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
    HeldKeys keys_;
    std::set<xcb_keycode_t> grabbedCodes_;
    xcb_key_symbols_t* symbols_ = nullptr;
    uint16_t altMask_ = XCB_MOD_MASK_1;
    uint16_t lockMask_ = XCB_MOD_MASK_LOCK;
    uint8_t xiOpcode_ = 0;
    uint8_t xkbEvent_ = 0xFF; // the first XKB event code; none matches without XKB
    // The modifiers XKB last reported in force; unknown without XKB.
    std::optional<uint16_t> xkbMods_;
    bool started_ = false;
    QTimer repeat_;
    int repeatDelay_ = 660;
    int repeatInterval_ = 40;
};

} // namespace

Hotkeys& hotkeys() {
    // The native filter must outlive every event.
    static Hotkeys* real = SessionHotkeys(new XcbHotkeys);
    return g_hotkeys ? *g_hotkeys : *real;
}

void setHotkeys(Hotkeys* h) {
    g_hotkeys = h;
}

} // namespace platform
