#include "platform/display/RampKeeper.h"

#include "platform/display/NightLights.h"
#include "platform/display/SessionDisplay.h"

#include <QTimer>
#include <algorithm>
#include <cmath>

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

// A computed ramp at `size`, each channel read through base's as a curve; a channel of gamma
// 1.0 gives base's as it is. No base, or zeros (put back as the identity): the ramp as it is.
OutputRamp Composed(const GammaRamp& ramp, const OutputRamp* base, int size) {
    OutputRamp out = ResampleRamp(ramp, size);
    if (!base || base->isZero()) return out;
    const std::uint16_t* channels[] = {base->red(), base->green(), base->blue()};
    const std::uint16_t* computed[] = {ramp.red(), ramp.green(), ramp.blue()};
    std::uint16_t* into[] = {out.red(), out.green(), out.blue()};
    for (int c = 0; c < 3; ++c) {
        if (IsIdentityChannel(computed[c], 256))
            ResampleChannel(channels[c], base->size(), into[c], size);
        else if (!IsIdentityChannel(channels[c], base->size()))
            ComposeChannel(into[c], size, channels[c], base->size());
    }
    return out;
}

// base with each channel scaled by its factor (zeros stand for the identity).
OutputRamp Scaled(const OutputRamp& base, const std::array<double, 3>& k) {
    OutputRamp out = RestorableRamp(base);
    for (std::size_t i = 0; i < out.entries.size(); ++i) {
        const double v = std::round(out.entries[i] * k[i / std::size_t(out.size())]);
        out.entries[i] = std::uint16_t(std::clamp(v, 0.0, 65535.0));
    }
    return out;
}

bool IsIdentity(const GammaRamp& ramp) {
    return IsIdentityChannel(ramp.red(), 256) && IsIdentityChannel(ramp.green(), 256) &&
           IsIdentityChannel(ramp.blue(), 256);
}

} // namespace

std::optional<std::array<double, 3>> ScaleOf(const OutputRamp& now, const OutputRamp& was) {
    const int n = now.size();
    if (n < 2 || was.size() != n) return std::nullopt;
    std::array<double, 3> k{};
    for (int c = 0; c < 3; ++c) {
        const std::uint16_t* a = now.entries.data() + c * n;
        const std::uint16_t* b = was.entries.data() + c * n;
        double ab = 0, bb = 0;
        for (int i = 0; i < n; ++i) {
            ab += double(a[i]) * b[i];
            bb += double(b[i]) * b[i];
        }
        if (bb == 0) return std::nullopt;
        k[c] = ab / bb;
        // Both tools truncate each scaled entry: within a unit or two of the exact product.
        for (int i = 0; i < n; ++i)
            if (std::abs(a[i] - k[c] * b[i]) > 3) return std::nullopt;
    }
    return k;
}

OutputRamp RampKeeper::OnOutput(const GammaRamp& ramp, const GammaOutput& o) const {
    const auto found = originals_.find(o.id);
    return Composed(ramp, found == originals_.end() ? nullptr : &found->second, o.gammaSize);
}

OutputRamp RestorableRamp(const OutputRamp& ramp) {
    return ramp.isZero() ? Identity(ramp.size()) : ramp;
}

RampKeeper::~RampKeeper() {
    if (settle_) WatchGnomeNightLight({});
    LetGo(held_);
    // Only while that display is still installed: a test may have put its fake away first.
    if (display_ && display_ == &display()) {
        display_->watchOutputs({});
        display_->watchWrites({});
    }
}

void RampKeeper::Capture() {
    Display& d = display();
    if (!d.hasDeviceContext() || finished_) return;
    display_ = &d;
    RampJournal journal(d.displayKey());
    const std::optional<RampJournal::Contents> found = journal.read(d.serverStarted());
    std::optional<RampJournal::Contents> lastRun;
    if (found && found->ownerAlive) {
        // Another copy runs on this display and keeps its own journal: this one takes the
        // display as it finds it, and leaves that journal alone.
    } else {
        if (found) {
            originals_ = TrustedRamps(*found);
            LetGo(found->held); // what the crashed run held still runs on
        } else {
            lastRun = RampJournal::LastRun(d.displayKey()).read(d.serverStarted());
            if (lastRun) onOurs_ = lastRun->held;
        }
        journal_ = journal;
    }
    outputs_ = d.outputs();
    if (!outputs_.empty()) primary_ = outputs_.front().id;
    CaptureNew(outputs_, lastRun);
    Journal();
    d.watchOutputs([this] { OutputsChanged(); });
    poll_ = std::make_unique<QTimer>();
    poll_->setInterval(1000);
    poll_->setTimerType(Qt::VeryCoarseTimer);
    QObject::connect(poll_.get(), &QTimer::timeout, [this] { Look(); });
    // GNOME's Night Light: Mutter writes the new ramps as it takes the same news, so they are
    // looked at at once, and once more shortly after in case this look reached Mutter first.
    settle_ = std::make_unique<QTimer>();
    settle_->setSingleShot(true);
    settle_->setInterval(50);
    QObject::connect(settle_.get(), &QTimer::timeout, [this] { Look(true); });
    WatchGnomeNightLight([this] {
        Look(true);
        settle_->start();
    });
    // Where the display server says when another program loads a ramp (X), that is when to
    // look, and there is nothing to poll.
    told_ = d.watchWrites([this] { Look(); });
    FindNightLights(capturedOurs_);
}

bool RampKeeper::CaptureNew(const std::vector<GammaOutput>& outputs,
                            const std::optional<RampJournal::Contents>& lastRun) {
    bool taken = false;
    for (const GammaOutput& o : outputs) {
        const auto known = originals_.find(o.id);
        if (known != originals_.end() && known->second.size() == o.gammaSize) continue;
        OutputRamp ramp;
        if (!display_->getOutputRamp(o.id, ramp) || ramp.size() != o.gammaSize) continue;
        // What another program writes before the first load is compared with what was found.
        const OutputRamp found = ramp;
        // The last run's own curve, left on the screen by another program (a night light that
        // took it into its snapshot, scaled or not): that run's base, with the scale alone.
        if (lastRun && lastRun->inForce) {
            const auto base = lastRun->ramps.find(o.id);
            if (base != lastRun->ramps.end() && base->second.size() == o.gammaSize) {
                Loaded last{
                    Composed(*lastRun->inForce, &base->second, o.gammaSize), base->second, {}};
                if (const auto k = ScaleOf(ramp, last.ramp)) {
                    ramp = Scaled(base->second, *k);
                    capturedOurs_ = capturedOurs_ || last.ramp != last.base;
                }
                loaded_[o.id].push_back(std::move(last));
            }
        }
        loaded_[o.id].push_front({found, ramp, {}});
        originals_[o.id] = std::move(ramp);
        taken = true;
    }
    return taken;
}

void RampKeeper::Journal() const {
    if (journal_) journal_->write(originals_, std::nullopt, held_);
}

GammaRamp RampKeeper::Effective(const std::string& output) const {
    if ((nightLight_ && !programRuns_) || !inForce_) return RampForPosition(GammaNeutral);
    return inForce_(output);
}

void RampKeeper::Load(const GammaOutput& o) {
    OutputRamp ramp = OnOutput(Effective(o.id), o);
    display_->setOutputRamp(o.id, ramp);
    std::deque<Loaded>& lately = loaded_[o.id];
    if (!lately.empty() && lately.front().ramp == ramp) {
        lately.front().shown = {}; // over whatever tint was taken in since
        return;
    }
    const auto base = originals_.find(o.id);
    lately.push_front(
        {std::move(ramp), base == originals_.end() ? OutputRamp() : base->second, {}});
    if (lately.size() > 8) lately.pop_back();
}

void RampKeeper::LoadAll() {
    if (!inForce_) return;
    bool gamma = false;
    for (const GammaOutput& o : outputs_) {
        Load(o);
        gamma = gamma || !IsIdentity(inForce_(o.id));
    }
    // Compared once a second only while the gamma in force is not the bases themselves, and
    // only where the display server doesn't say when another program writes.
    if (poll_) {
        if (gamma && !originals_.empty() && !told_)
            poll_->start();
        else
            poll_->stop();
    }
}

void RampKeeper::Look(bool nightLight) {
    if (!display_ || finished_ || &display() != display_) return;
    for (const GammaOutput& o : outputs_) {
        const std::deque<Loaded>& lately = loaded_[o.id];
        if (lately.empty()) continue;
        display_->readOutputRampLater(
            o.id,
            [this, alive = std::weak_ptr<char>(alive_), o, expected = lately.front().onScreen(),
             nightLight](std::optional<OutputRamp> now, std::optional<OutputRamp> sent) {
                if (!alive.expired())
                    TakeIn(o, sent ? *sent : expected, std::move(now), nightLight);
            });
    }
}

void RampKeeper::TakeIn(const GammaOutput& o, const OutputRamp& expected,
                        std::optional<OutputRamp> now, bool nightLight) {
    if (finished_ || &display() != display_ || !Listed(outputs_, o) || !now ||
        now->size() != o.gammaSize || *now == expected || now->isZero())
        return;
    std::deque<Loaded>& lately = loaded_[o.id];
    OutputRamp& base = originals_[o.id];
    std::optional<std::array<double, 3>> k;
    auto ours = lately.begin();
    while (ours != lately.end() && !(k = ScaleOf(*now, ours->ramp)))
        ++ours;
    bool onOurs = false;
    if (k) {
        // A tint composed onto one of this program's own ramps: only its scale goes onto the
        // base that ramp was composed onto.
        onOurs = ours->base.size() != o.gammaSize || ours->ramp != RestorableRamp(ours->base);
        base = Scaled(ours->base.size() == o.gammaSize ? ours->base : OutputRamp(o.gammaSize), *k);
        // The tint over the last load is on the screen already, unless this program loaded
        // again since it asked; anything else is replaced by the gamma in force.
        if (ours == lately.begin() && ours->onScreen() == expected)
            ours->shown = std::move(*now);
        else
            Load(o);
    } else {
        base = std::move(*now);
        Load(o);
    }
    Journal();
    // GNOME's Night Light explains its own writes, and a night light that rewrites the ramp
    // is found at its first: the processes aren't looked through again at each step of a
    // fade.
    if (!nightLight && (onOurs || !found_.isValid() || found_.elapsed() > 2000)) {
        found_.start();
        FindNightLights(onOurs);
    }
}

void RampKeeper::FindNightLights(bool onOurs) {
    if (programRuns_) return;
    const auto known = [](const std::vector<ProcessId>& list, const ProcessId& id) {
        return std::find(list.begin(), list.end(), id) != list.end();
    };
    bool rewrites = false;
    for (const NightLight& n : RunningNightLights()) {
        // One that writes this program's own curve took it into its snapshot, whenever found.
        if (onOurs && !known(onOurs_, n.id)) onOurs_.push_back(n.id);
        if (!known(seen_, n.id)) {
            seen_.push_back(n.id);
            SessionNotice(
                (known(onOurs_, n.id)
                     ? QStringLiteral("%1 started over Kelvaro's gamma and keeps it in its own "
                                      "copy of the display's colours: Kelvaro's gamma stays "
                                      "under its tint. Start %1 before Kelvaro, or while it "
                                      "shows gamma 1.0, to leave the display to it. ")
                     : QStringLiteral("%1 changes the display's colours every few seconds: "
                                      "Kelvaro leaves them to it and shows no desktop gamma. "))
                    .arg(n.name) +
                QStringLiteral("While a profile's program runs, Kelvaro holds %1 still, its "
                               "tint kept under the profile's gamma, and lets it go on after.")
                    .arg(n.name));
        }
        rewrites = rewrites || !known(onOurs_, n.id);
    }
    if (nightLight_ == rewrites) return;
    nightLight_ = rewrites;
    LoadAll();
}

void RampKeeper::ProgramRuns(bool runs) {
    if (!display_ || finished_ || runs == programRuns_) return;
    if (runs) {
        Look(); // the night light's latest tint becomes the base it is held on
        for (const NightLight& n : RunningNightLights())
            held_.push_back(n.id);
        HoldStill(held_);
        programRuns_ = true;
    } else {
        LetGo(held_);
        held_.clear();
        programRuns_ = false;
        nightLight_ = false;
        FindNightLights();
    }
    Journal();
}

void RampKeeper::OutputsChanged() {
    if (!display_) return;
    const std::vector<GammaOutput> now = display_->outputs();
    // An output seen for the first time shows its own ramp still: take it before anything
    // is loaded. One that comes back keeps the ramp taken when it was first seen.
    if (CaptureNew(now)) Journal();
    if (inForce_)
        for (const GammaOutput& o : now)
            if (!Listed(outputs_, o)) Load(o);
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
    if (&d == display_) {
        Look();
        inForce_ = std::move(rampFor);
        LoadAll();
        return;
    }
    inForce_ = std::move(rampFor);
    // Before a capture (or on a display swapped since) nothing was taken from this display: the
    // outputs are looked up each time, and the ramp goes on as it is.
    for (const GammaOutput& o : d.outputs())
        d.setOutputRamp(o.id, ResampleRamp(inForce_(o.id), o.gammaSize));
}

void RampKeeper::Restore() {
    Display& d = display();
    finished_ = true;
    if (poll_) poll_->stop();
    if (!d.hasDeviceContext()) return;
    const GammaRamp last = Effective(primary_);
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
    LetGo(held_);
    held_.clear();
    if (journal_) {
        journal_->remove();
        RampJournal::LastRun(d.displayKey()).write(originals_, last, onOurs_);
    }
}

bool RampKeeper::NotSet() const {
    return display_ ? outputs_.empty() : GammaUnavailable();
}

GammaRamp RampKeeper::Primary() const {
    const auto found = originals_.find(primary_);
    return found == originals_.end() ? GammaRamp{} : ResampleRamp(found->second);
}

RampKeeper::ResetOutcome RampKeeper::Reset() {
    Display& d = display();
    // A display none of whose outputs takes a ramp has nothing to put back.
    if (!d.hasDeviceContext() || d.outputs().empty()) return ResetOutcome::NoDisplay;
    const RampJournal journal(d.displayKey());
    const std::optional<RampJournal::Contents> found = journal.read(d.serverStarted());
    // No run left its gamma on the screen: whatever shows is the display's own (a calibration
    // loaded since, a night light's tint).
    if (!found) return ResetOutcome::NothingToPutBack;
    const OutputRamps ramps = TrustedRamps(*found);
    for (const auto& [id, ramp] : ramps)
        d.setOutputRamp(id, RestorableRamp(ramp));
    for (const GammaOutput& o : d.outputs()) {
        const auto known = ramps.find(o.id);
        if (known == ramps.end() || known->second.size() != o.gammaSize)
            d.setOutputRamp(o.id, Identity(o.gammaSize));
    }
    if (!found->ownerAlive) {
        LetGo(found->held);
        journal.remove();
    }
    return ResetOutcome::PutBack;
}

} // namespace platform
