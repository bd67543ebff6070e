// Which keys are down, and whether a press makes a hot key. Kept from the key events in their
// order and checked against the keyboard's real state (the keys the server reports down), so
// a release that never reached us can neither leave a key "held" for good nor keep a repeat
// going after the key is up.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace platform {

class HeldKeys {
public:
    using Keymap = std::bitset<256>; // the keys down, by keycode
    using ReadKeymap = std::function<Keymap()>;

    struct Binding {
        int id;
        std::uint16_t modifiers;         // exactly these modifier bits, locks aside
        std::vector<std::uint8_t> codes; // the keys that make the binding's key
    };

    // A modifier key still counted as down when the keyboard has it up: only one that went down
    // this long before the press in question (its release can't still be on its way).
    static constexpr std::uint32_t StaleAfterMs = 1000;

    // The keymap's modifier keys (the bits each sets) and the bits that are locks.
    void setModifiers(std::map<std::uint8_t, std::uint16_t> modifierBits, std::uint16_t lockMask);
    void setBindings(std::vector<Binding> bindings);

    // Forgets every key, and the repeat, and holds what the keyboard really has down.
    void reset(const Keymap& down = {});

    // A key went down at time (the server's milliseconds); repeat: the server says it is its
    // own auto-repeat. Returns the id of the binding it makes, 0 for none; that binding is
    // then the one repeating, where the keyboard repeats the key. modifiers, where the server
    // gave them, hold the modifier bits in force when the key went down: the press is judged by
    // that, however late it is seen. Without it, by the keys recorded as held, a modifier
    // among them checked against keymap (the keyboard now) when it went down long before.
    int press(std::uint8_t code, std::uint32_t time, bool repeat, const ReadKeymap& keymap,
              std::optional<std::uint16_t> modifiers = std::nullopt);
    // Letting go of the repeating key or of any modifier ends the repeat.
    void release(std::uint8_t code);
    // A repeat tick: the repeating binding's id while its key and modifiers are all really
    // down. Otherwise the repeat ends (0). Keys that are up are forgotten either way.
    int tick(const Keymap& down);

    // The keyboard's own repeat: on or off as a whole, and which keys repeat. A key held down
    // repeats only where both say so, as the X keyboard repeats it.
    void setRepeat(bool on, const Keymap& keys);
    bool repeats(std::uint8_t code) const { return repeatOn_ && repeatKeys_[code]; }

    int repeating() const { return repeatId_; }
    bool holds(std::uint8_t code) const { return held_.count(code) != 0; }

private:
    std::uint16_t state() const;
    const Binding* bindingOf(std::uint8_t code) const;
    // The press of code, with these modifiers, makes binding or nothing; the repeat follows.
    int made(const Binding& binding, std::uint8_t code, std::uint16_t modifiers);

    std::map<std::uint8_t, std::uint16_t> modifierBits_;
    std::uint16_t lockMask_ = 0;
    std::vector<Binding> bindings_;
    // Held keys and when they went down; none for keys found down in the keyboard's state.
    std::map<std::uint8_t, std::optional<std::uint32_t>> held_;
    int repeatId_ = 0;
    std::uint8_t repeatCode_ = 0;
    bool repeatOn_ = true;
    Keymap repeatKeys_ = Keymap().set();
};

} // namespace platform
