#include "platform/keys/HeldKeys.h"

#include <algorithm>

namespace platform {

void HeldKeys::setModifiers(std::map<std::uint8_t, std::uint16_t> modifierBits,
                            std::uint16_t lockMask) {
    modifierBits_ = std::move(modifierBits);
    lockMask_ = lockMask;
}

void HeldKeys::setBindings(std::vector<Binding> bindings) {
    bindings_ = std::move(bindings);
    if (repeatId_ && !bindingOf(repeatCode_)) repeatId_ = 0;
}

void HeldKeys::reset(const Keymap& down) {
    held_.clear();
    repeatId_ = 0;
    for (std::size_t code = 0; code < down.size(); ++code)
        if (down[code]) held_[std::uint8_t(code)] = std::nullopt;
}

std::uint16_t HeldKeys::state() const {
    std::uint16_t bits = 0;
    for (const auto& [code, since] : held_) {
        const auto it = modifierBits_.find(code);
        if (it != modifierBits_.end()) bits |= it->second;
    }
    return std::uint16_t(bits & ~lockMask_);
}

const HeldKeys::Binding* HeldKeys::bindingOf(std::uint8_t code) const {
    for (const Binding& b : bindings_)
        if (std::find(b.codes.begin(), b.codes.end(), code) != b.codes.end()) return &b;
    return nullptr;
}

void HeldKeys::setRepeat(bool on, const Keymap& keys) {
    repeatOn_ = on;
    repeatKeys_ = keys;
    if (repeatId_ && !repeats(repeatCode_)) repeatId_ = 0;
}

int HeldKeys::press(std::uint8_t code, std::uint32_t time, bool repeat, const ReadKeymap& keymap,
                    std::optional<std::uint16_t> modifiers) {
    if (repeat && holds(code)) return 0;
    // Otherwise a new press, also of a key we thought down: its release never reached us.
    held_[code] = time;
    const Binding* binding = bindingOf(code);
    if (!binding) return 0;
    // The server's word on the modifiers at the press's own time: no release lost or still on
    // its way can mislead it.
    if (modifiers) return made(*binding, code, std::uint16_t(*modifiers & 0xFF & ~lockMask_));
    // Modifiers counted as down are asked after: one the keyboard has up that went down well
    // before this key lost its release (a switch to another console, a grab).
    std::optional<Keymap> down;
    for (auto it = held_.begin(); it != held_.end();) {
        const bool check = it->first != code && modifierBits_.count(it->first) &&
                           (!it->second || std::uint32_t(time - *it->second) > StaleAfterMs);
        if (check && !down && keymap) down = keymap();
        if (check && down && !(*down)[it->first])
            it = held_.erase(it);
        else
            ++it;
    }
    return made(*binding, code, state());
}

int HeldKeys::made(const Binding& binding, std::uint8_t code, std::uint16_t modifiers) {
    if (modifiers != binding.modifiers) return 0;
    // The binding made takes the repeat over; made by a key the keyboard doesn't repeat, it
    // ends it.
    repeatId_ = repeats(code) ? binding.id : 0;
    repeatCode_ = code;
    return binding.id;
}

void HeldKeys::release(std::uint8_t code) {
    held_.erase(code);
    if (repeatId_ && (code == repeatCode_ || modifierBits_.count(code))) repeatId_ = 0;
}

int HeldKeys::tick(const Keymap& down) {
    for (auto it = held_.begin(); it != held_.end();)
        it = down[it->first] ? std::next(it) : held_.erase(it);
    if (!repeatId_) return 0;
    const Binding* binding = bindingOf(repeatCode_);
    if (!binding || binding->id != repeatId_ || !holds(repeatCode_) ||
        state() != binding->modifiers)
        repeatId_ = 0;
    return repeatId_;
}

} // namespace platform
