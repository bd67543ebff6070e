#include "platform/display/SessionDisplay.h"

#include "platform/display/MutterGamma.h"
#include "platform/display/WlrGamma.h"
#include "platform/system/Instance.h"

#include <memory>

namespace platform {

namespace {

bool g_told = false; // the display has said something to the user about its gamma

void Notice(const QString& text) {
    g_told = true;
    SessionNotice(text);
}

// Where no program may change the gamma: nothing to talk to.
class NoDisplay : public Display {
public:
    bool hasDeviceContext() override { return false; }
    std::string displayKey() override { return {}; }
    std::vector<GammaOutput> outputs() override { return {}; }
    bool getOutputRamp(const std::string&, OutputRamp&) override { return false; }
    void setOutputRamp(const std::string&, const OutputRamp&) override {}
    void watchOutputs(std::function<void()>) override {}
};

// A compositor's own gamma service (wlroots' manager, Mutter's display configuration): outputs,
// tables and changes come from it alike.
template <class Gamma> class CompositorDisplay : public Display {
public:
    Gamma gamma;
    bool hasDeviceContext() override { return gamma.connected(); }
    std::string displayKey() override { return session::Key(); }
    std::vector<GammaOutput> outputs() override {
        std::vector<GammaOutput> out;
        for (const typename Gamma::Output& o : gamma.outputs())
            out.push_back({o.id, o.gammaSize});
        return out;
    }
    void setOutputRamp(const std::string& id, const OutputRamp& ramp) override {
        gamma.set(id, ramp.entries);
    }
    void watchOutputs(std::function<void()> changed) override {
        gamma.onOutputsChanged = std::move(changed);
    }
};

// wlroots compositors. The tables can't be read back; giving an output back makes the
// compositor restore its own.
class WlrDisplay : public CompositorDisplay<WlrGamma> {
public:
    bool getOutputRamp(const std::string&, OutputRamp&) override { return false; }
    void releaseOutput(const std::string& id) override { gamma.release(id); }
};

// GNOME: Mutter's display configuration, CRTC by CRTC.
class MutterDisplay : public CompositorDisplay<MutterGamma> {
public:
    bool getOutputRamp(const std::string& id, OutputRamp& ramp) override {
        return gamma.get(id, ramp.entries);
    }
    void readOutputRampLater(const std::string& id, RampAnswer answer) override {
        const auto ramp = [](MutterGamma::Tables tables) {
            std::optional<OutputRamp> out;
            if (tables) out.emplace().entries = std::move(*tables);
            return out;
        };
        gamma.getLater(id, [answer = std::move(answer), ramp](auto now, auto sent) {
            answer(ramp(std::move(now)), ramp(std::move(sent)));
        });
    }
};

struct Choice {
    SessionKind kind = SessionKind::Other;
    GammaPath path = GammaPath::None;
    std::unique_ptr<Display> display;
};

Choice& Chosen() {
    static Choice choice = [] {
        Choice c;
        c.kind = DetectSession(CurrentSessionFacts());
        if (c.kind == SessionKind::X11) {
            c.path = GammaPath::RandR;
            c.display = std::make_unique<XcbDisplay>();
            return c;
        }
        bool wlr = false, mutter = false;
        if (c.kind != SessionKind::Other) {
            auto w = std::make_unique<WlrDisplay>();
            w->gamma.onRefused = Notice;
            if ((wlr = w->gamma.connect())) {
                c.display = std::move(w);
            } else {
                auto m = std::make_unique<MutterDisplay>();
                if ((mutter = m->gamma.connect())) c.display = std::move(m);
            }
        }
        c.path = ChooseGammaPath(c.kind, wlr, mutter);
        // The desktop's service answers, yet no output takes a ramp: said as plainly as a
        // desktop without the service, unless the compositor's refusals said it already.
        if (c.display && c.display->outputs().empty() && !g_told) {
            g_told = true;
            SessionNotice(NoGammaOutputsMessage(), NoGammaTopic, NoticeKept::WhenUserAsks);
        }
        if (!c.display) c.display = std::make_unique<NoDisplay>();
        return c;
    }();
    return choice;
}

} // namespace

Display& SessionDisplay() {
    return *Chosen().display;
}

GammaPath SessionGammaPath() {
    return Chosen().path;
}

bool GammaUnavailable() {
    const Choice& c = Chosen();
    return c.path == GammaPath::None && c.kind != SessionKind::Other;
}

QString GammaNotSetTooltip() {
    return GammaUnavailable() ? NoGammaTooltip() : NoGammaOutputsTooltip();
}

} // namespace platform
