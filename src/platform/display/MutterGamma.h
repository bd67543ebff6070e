// Display gamma on GNOME: Mutter's display-configuration service on the session bus, one
// ramp per CRTC that shows a picture.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class MutterGamma {
public:
    struct Output {
        std::string id; // the CRTC's number
        int gammaSize = 0;
    };

    MutterGamma();
    ~MutterGamma();
    MutterGamma(const MutterGamma&) = delete;
    MutterGamma& operator=(const MutterGamma&) = delete;

    // On the session bus, or on the bus at `address` when one is given. True when Mutter's
    // service answers.
    bool connect(const QString& address = {});
    bool connected() const;

    // The CRTCs that show a picture, in the service's order.
    std::vector<Output> outputs() const;
    // Reads one CRTC's tables (red, green, blue; its gamma size each); false when it can't.
    bool get(const std::string& id, std::vector<std::uint16_t>& tables);
    // Reads them without waiting: `answer` gets them from the event loop (nothing where they
    // can't be read), with the tables last sent there before the read (nothing if none were):
    // loads go out one at a time, so some asked for earlier may not have gone out yet.
    using Tables = std::optional<std::vector<std::uint16_t>>;
    using Answer = std::function<void(Tables now, Tables sent)>;
    void getLater(const std::string& id, Answer answer);
    // Loads tables of the CRTC's size into it. A refusal is silently ignored.
    void set(const std::string& id, const std::vector<std::uint16_t>& tables);

    // Called from the event loop when the monitors changed.
    std::function<void()> onOutputsChanged;

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace platform
