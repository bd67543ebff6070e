#include "screen/GammaInForce.h"

#include "platform/display/FocusFollower.h"
#include "platform/store/Hive.h"
#include "settings/Registry.h"
#include "toolkit/Application.h"

#include <algorithm>
#include <map>

GammaInForce* InForce = nullptr;

namespace {

bool SameProfile(const QString& a, const QString& b) {
    return platform::Hive::fold(a) == platform::Hive::fold(b);
}

GammaPosition Within(GammaPosition gamma) {
    return std::clamp(gamma, GammaMin, GammaMax);
}

} // namespace

GammaInForce::~GammaInForce() = default;

void GammaInForce::Capture() {
    keeper_.Capture();
}

void GammaInForce::Begin() {
    begun_ = true;
    Load();
}

void GammaInForce::Restore() {
    keeper_.Restore();
}

void GammaInForce::Load() {
    if (!begun_) return;
    // Monitors showing the same gamma share one computed ramp.
    keeper_.Apply(
        [this, ramps = std::map<GammaPosition, GammaRamp>()](const std::string& output) mutable {
            const GammaPosition gamma = OnMonitor(output).gamma;
            auto found = ramps.find(gamma);
            if (found == ramps.end()) found = ramps.emplace(gamma, RampForPosition(gamma)).first;
            return found->second;
        });
    emit shownChanged();
}

bool GammaInForce::Following() const {
    return followFocus_ && launched_ && ours_ && platform::focusFollower().Seen();
}

GammaInForce::Shown GammaInForce::OnMonitor(const std::string& output) const {
    if (preview_) return *preview_;
    const platform::InFront front =
        Following() ? platform::focusFollower().On(output) : platform::InFront{};
    if (launched_ && (!Following() || front.active || front.fullScreen))
        return {Why::Profile, launched_->gamma, launched_->name};
    return {Why::Desktop, desktop_, QString()};
}

void GammaInForce::FollowWindows() {
    if (followFocus_ && launched_ && ours_)
        platform::focusFollower().Follow(ours_, [this] { Load(); });
    else
        platform::focusFollower().Stop();
}

// ---- Events ---------------------------------------------------------------------------------

void GammaInForce::DesktopStored(GammaPosition gamma) {
    desktop_ = Within(gamma);
    Load();
}

void GammaInForce::SaveDesktop(GammaPosition gamma, bool behind) {
    desktop_ = Within(gamma);
    const auto write = [gamma = desktop_] {
        TRegistry reg;
        reg.OpenKey(ProgramKey, false);
        reg.WriteInteger(Values::Desktop, gamma);
    };
    if (behind)
        WriteBehind(ProgramKey, write);
    else
        write();
    // An open dialog's slider shows what was stored.
    if (dialog_) dialog_ = desktop_;
    if (preview_ && preview_->why == Why::DesktopPreview) preview_->gamma = desktop_;
    emit desktopChanged(desktop_);
    Load();
}

void GammaInForce::DesktopPreviewed(GammaPosition gamma) {
    dialog_ = Within(gamma);
    preview_ = Shown{Why::DesktopPreview, *dialog_, QString()};
    Load();
}

void GammaInForce::OptionsClosed() {
    dialog_.reset();
    PreviewEnded();
}

void GammaInForce::ProfilePreviewed(GammaPosition gamma, const QString& profile) {
    preview_ = Shown{Why::ProfilePreview, Within(gamma), profile};
    Load();
}

void GammaInForce::PreviewEnded() {
    preview_.reset();
    Load();
}

void GammaInForce::ProfileStored(const QString& name, GammaPosition gamma) {
    // The store keeps one key for names that differ in case alone: a profile saved as "EMBER"
    // is the running "Ember" from now on, at the gamma just stored.
    if (!launched_ || !SameProfile(name, launched_->name)) return;
    launched_->name = name;
    launched_->gamma = Within(gamma);
    if (!preview_) Load();
}

void GammaInForce::Launched(const QString& name, GammaPosition gamma) {
    launched_ = Launch{name, Within(gamma)};
    keeper_.ProgramRuns(true);
    ours_ = nullptr; // until the program has started
    FollowWindows();
    PreviewEnded();
}

void GammaInForce::Watched(std::function<bool(pid_t)> ours) {
    ours_ = std::move(ours);
    FollowWindows(); // what its windows change is loaded as they change it
}

void GammaInForce::ProgramEnded() {
    launched_.reset();
    keeper_.ProgramRuns(false);
    ours_ = nullptr;
    FollowWindows();
    PreviewEnded();
}

void GammaInForce::FollowFocus(bool on) {
    if (on == followFocus_) return;
    followFocus_ = on;
    FollowWindows();
    Load();
}

// ---- Hot keys -------------------------------------------------------------------------------

GammaInForce::Stepped GammaInForce::WhatStepsNow(bool savedSelection) const {
    if (!launched_) return Stepped::Desktop;
    // Following the program's windows, the keys step what is in front, whatever is selected.
    if (Following())
        return platform::focusFollower().Active() ? Stepped::Launched : Stepped::Desktop;
    return savedSelection ? Stepped::Selected : Stepped::Launched;
}

GammaPosition GammaInForce::StepDesktop(int step) {
    const GammaPosition gamma = Within(DesktopShown() + step);
    preview_.reset();
    SaveDesktop(gamma, true);
    return gamma;
}

GammaPosition GammaInForce::StepLaunched(int step) {
    if (!launched_) return GammaNeutral;
    launched_->gamma = Within(launched_->gamma + step);
    PreviewEnded();
    return launched_->gamma;
}
