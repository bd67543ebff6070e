#include "platform/display/RampKeeper.h"

#include "platform/display/SessionDisplay.h"

#include <algorithm>

namespace platform {

namespace {

bool Listed(const std::vector<GammaOutput>& outputs, const GammaOutput& o) {
    return std::find(outputs.begin(), outputs.end(), o) != outputs.end();
}

OutputRamp Identity(int size) {
    return ResampleRamp(RampForPosition(GammaNeutral), size);
}

// The journal's ramps to put back; an output whose journalled ramp no display would have gets
// the identity at its size instead, and the user is told.
OutputRamps TrustedRamps(const RampJournal::Contents& found) {
    OutputRamps ramps = found.ramps;
    for (const GammaOutput& o : found.implausible) {
        ramps[o.id] = Identity(o.gammaSize);
        SessionNotice(
            QStringLiteral("The gamma kept from an earlier run for output %1 is not one a "
                           "display would have; the identity is put back there instead.")
                .arg(QString::fromStdString(o.id)));
    }
    return ramps;
}

} // namespace

OutputRamp RampKeeper::OnOutput(const GammaRamp& ramp, const GammaOutput& o) const {
    OutputRamp out = ResampleRamp(ramp, o.gammaSize);
    const auto found = originals_.find(o.id);
    // Zeros go back as the identity: nothing to compose onto.
    if (found == originals_.end() || found->second.isZero()) return out;
    const OutputRamp& own = found->second;
    const std::uint16_t* channels[] = {own.red(), own.green(), own.blue()};
    std::uint16_t* into[] = {out.red(), out.green(), out.blue()};
    for (int c = 0; c < 3; ++c)
        if (!IsIdentityChannel(channels[c], own.size()))
            ComposeChannel(into[c], out.size(), channels[c], own.size());
    return out;
}

OutputRamp RestorableRamp(const OutputRamp& ramp) {
    return ramp.isZero() ? Identity(ramp.size()) : ramp;
}

RampKeeper::~RampKeeper() {
    // Only while that display is still installed: a test may have put its fake away first.
    if (display_ && display_ == &display()) display_->watchOutputs({});
}

void RampKeeper::Capture() {
    Display& d = display();
    if (!d.hasDeviceContext() || finished_) return;
    display_ = &d;
    RampJournal journal(d.displayKey());
    const std::optional<RampJournal::Contents> found = journal.read(d.serverStarted());
    if (found && found->ownerAlive) {
        // Another copy runs on this display and keeps its own journal: this one takes the
        // display as it finds it, and leaves that journal alone.
    } else {
        if (found) originals_ = TrustedRamps(*found);
        journal_ = journal;
    }
    outputs_ = d.outputs();
    if (!outputs_.empty()) primary_ = outputs_.front().id;
    CaptureNew(outputs_);
    if (journal_) journal_->write(originals_);
    d.watchOutputs([this] { OutputsChanged(); });
}

bool RampKeeper::CaptureNew(const std::vector<GammaOutput>& outputs) {
    bool taken = false;
    for (const GammaOutput& o : outputs) {
        const auto known = originals_.find(o.id);
        if (known != originals_.end() && known->second.size() == o.gammaSize) continue;
        OutputRamp ramp;
        if (display_->getOutputRamp(o.id, ramp) && ramp.size() == o.gammaSize) {
            originals_[o.id] = std::move(ramp);
            taken = true;
        }
    }
    return taken;
}

void RampKeeper::OutputsChanged() {
    if (!display_) return;
    const std::vector<GammaOutput> now = display_->outputs();
    // An output seen for the first time shows its own ramp still: take it before anything
    // is loaded. One that comes back keeps the ramp taken when it was first seen.
    if (CaptureNew(now) && journal_) journal_->write(originals_);
    if (inForce_)
        for (const GammaOutput& o : now)
            if (!Listed(outputs_, o)) display_->setOutputRamp(o.id, OnOutput(inForce_(o.id), o));
    outputs_ = now;
}

void RampKeeper::Apply(const GammaRamp& ramp) {
    Apply([ramp](const std::string&) { return ramp; });
}

void RampKeeper::Apply(RampFor rampFor) {
    Display& d = display();
    // Once the start-up ramps are back for good, nothing loads anything over them: a quit that
    // came while start-up or a dialog still had work to do ends with them on the screen.
    if (!d.hasDeviceContext() || finished_) return;
    inForce_ = std::move(rampFor);
    if (&d == display_) {
        for (const GammaOutput& o : outputs_)
            d.setOutputRamp(o.id, OnOutput(inForce_(o.id), o));
        return;
    }
    // Before a capture (or on a display swapped since) nothing was taken from this display: the
    // outputs are looked up each time, and the ramp goes on as it is.
    for (const GammaOutput& o : d.outputs())
        d.setOutputRamp(o.id, ResampleRamp(inForce_(o.id), o.gammaSize));
}

void RampKeeper::Restore() {
    Display& d = display();
    finished_ = true;
    if (!d.hasDeviceContext()) return;
    inForce_ = nullptr;
    if (&d != display_) {
        // Nothing was taken from this display: the identity is all there is to put back.
        for (const GammaOutput& o : d.outputs())
            d.setOutputRamp(o.id, Identity(o.gammaSize));
        return;
    }
    // Outputs switched off since keep theirs too, for when they come back.
    for (const auto& [id, ramp] : originals_)
        d.setOutputRamp(id, RestorableRamp(ramp));
    for (const GammaOutput& o : outputs_)
        if (!originals_.count(o.id)) d.releaseOutput(o.id);
    if (journal_) journal_->remove();
}

bool RampKeeper::NotSet() const {
    return display_ ? outputs_.empty() : GammaUnavailable();
}

GammaRamp RampKeeper::Primary() const {
    const auto found = originals_.find(primary_);
    return found == originals_.end() ? GammaRamp{} : ResampleRamp(found->second);
}

bool RampKeeper::Reset() {
    Display& d = display();
    // A display none of whose outputs takes a ramp has nothing to put back.
    if (!d.hasDeviceContext() || d.outputs().empty()) return false;
    const RampJournal journal(d.displayKey());
    const std::optional<RampJournal::Contents> found = journal.read(d.serverStarted());
    const OutputRamps ramps = found ? TrustedRamps(*found) : OutputRamps{};
    for (const auto& [id, ramp] : ramps)
        d.setOutputRamp(id, RestorableRamp(ramp));
    for (const GammaOutput& o : d.outputs()) {
        const auto known = ramps.find(o.id);
        if (known == ramps.end() || known->second.size() != o.gammaSize)
            d.setOutputRamp(o.id, Identity(o.gammaSize));
    }
    if (found && !found->ownerAlive) journal.remove();
    return true;
}

} // namespace platform
