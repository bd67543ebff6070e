// What every monitor shows, and why: the one place that decides it, and the only caller of the
// display's ramp loading.
//
// The windows report what happened (a slider moved, a profile was launched or saved, the
// launched program ended, the options dialog closed, the profiles window went to the tray, a
// hot key) and ask what to show and what a hot key steps; they never load a ramp themselves.
// Events come in on the user-interface thread and each one that changes what a monitor should
// show loads it at once.
//
// The rules, in order, for every monitor:
//   1. a preview (the profiles window's slider, or the options dialog's while it is open)
//      shows the previewed gamma until the window that made it goes, a launch, or the
//      program's end;
//   2. while a launched program is watched, its profile's gamma as last stored; with the option
//      "Profile gamma only where its program is in front" (FollowFocus), only on a monitor that
//      holds the program's active window or a full-screen window of it, once the program has
//      shown a window (a program without an X window keeps its gamma everywhere);
//   3. otherwise the stored desktop gamma.
// Each gamma goes onto the monitor through that monitor's base ramp (the ramp it had when the
// program started, or the one another program wrote since), which RampKeeper keeps, composes
// onto and puts back. While a night light that rewrites the ramp every few seconds runs and no
// launched program is watched, RampKeeper shows the bases alone (gamma 1.0); while one is
// watched, it holds the night light still.
#pragma once

#include "gamma/Gamma.h"
#include "platform/display/RampKeeper.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

class GammaInForce : public QObject {
    Q_OBJECT
public:
    // Why a monitor shows the gamma it shows.
    enum class Why {
        Desktop,        // the stored desktop gamma
        DesktopPreview, // the options dialog's slider, while it is open
        Profile,        // the launched profile's stored gamma, while its program runs
        ProfilePreview, // the profiles window's slider: the selected profile or a new one
    };
    struct Shown {
        Why why = Why::Desktop;
        GammaPosition gamma = GammaNeutral;
        QString profile; // for Profile and ProfilePreview: the name; empty for an unsaved one
        friend bool operator==(const Shown&, const Shown&) = default;
    };
    // What a hot key steps now, and so what the on-screen display names.
    enum class Stepped {
        Desktop,  // the desktop gamma (the options dialog's slider follows)
        Selected, // the profile selected in the profiles window, through its slider
        Launched, // the launched profile, the profiles window showing no saved one
    };

    GammaInForce() = default;
    ~GammaInForce() override;

    // ---- Start and end ------------------------------------------------------------------
    // Takes every monitor's ramp as it is now: the bases every gamma goes onto.
    void Capture();
    // From here on events load what they change; before it (while the windows are made) they
    // only record. Loads what every monitor should show.
    void Begin();
    // Puts every monitor's base ramp back, for good: the program is ending.
    void Restore();

    // ---- Events -------------------------------------------------------------------------
    // The desktop gamma as stored, read at start.
    void DesktopStored(GammaPosition gamma);
    // Stores the desktop gamma (OK in the options dialog, a hot key); behind: written by the
    // store's own thread, the caller not waiting for the disk. desktopChanged() follows.
    void SaveDesktop(GammaPosition gamma, bool behind = false);
    // The options dialog's slider moved.
    void DesktopPreviewed(GammaPosition gamma);
    // The options dialog closed (OK, Cancel, Escape, its close button): any preview ends, and
    // its slider is back at the stored value.
    void OptionsClosed();
    // The profiles window's slider moved; `profile` is the selected node's name.
    void ProfilePreviewed(GammaPosition gamma, const QString& profile);
    // The profiles window went to the tray or was minimised: any preview ends.
    void PreviewEnded();
    // A profile's gamma was stored under `name` (a Save, a hot key). Names compare as the
    // store compares them, ignoring case: the launched profile's gamma follows the store.
    void ProfileStored(const QString& name, GammaPosition gamma);
    // A profile was launched at `gamma`: its watch begins, every preview ends, night lights
    // that rewrite the ramp are held still.
    void Launched(const QString& name, GammaPosition gamma);
    // The launched program started: `ours` tells its processes from the others (the watch's
    // own answer), for following its windows.
    void Watched(std::function<bool(pid_t)> ours);
    // The launched program ended: the desktop gamma again, the night lights let go.
    void ProgramEnded();
    // The option "Profile gamma only where its program is in front", as stored.
    void FollowFocus(bool on);

    // ---- Hot keys -----------------------------------------------------------------------
    // savedSelection: the profiles window has a saved profile selected. Following the program's
    // windows (FollowFocus): the launched profile while its window is active, else the desktop
    // gamma.
    Stepped WhatStepsNow(bool savedSelection) const;
    // Steps the desktop gamma by `step` from what the options dialog's slider shows, within
    // the range; loads it, stores it behind and returns it.
    GammaPosition StepDesktop(int step);
    // Steps the launched profile's gamma within the range; loads and returns it. The caller
    // stores it.
    GammaPosition StepLaunched(int step);

    // ---- Questions ----------------------------------------------------------------------
    // What monitor `output` (a display output's id) shows now, and why.
    Shown OnMonitor(const std::string& output) const;
    bool Watching() const { return launched_.has_value(); }
    QString LaunchedName() const { return launched_ ? launched_->name : QString(); }
    GammaPosition LaunchedGamma() const { return launched_ ? launched_->gamma : GammaNeutral; }
    GammaPosition Desktop() const { return desktop_; }
    bool FollowsFocus() const { return followFocus_; }
    // What the options dialog's slider shows: the value it was moved to while open, else the
    // stored one.
    GammaPosition DesktopShown() const { return dialog_.value_or(desktop_); }
    // True while no monitor takes the ramp (the desktop lets no program set it).
    bool NotSet() const { return keeper_.NotSet(); }
    // The primary monitor's base ramp at 256 entries (zeros when none was taken).
    GammaRamp StartupRamp() const { return keeper_.Primary(); }

signals:
    // The stored desktop gamma changed (a hot key, OK): the dialog's slider follows.
    void desktopChanged(GammaPosition gamma);
    // What some monitor shows changed, or whether any monitor takes a ramp.
    void shownChanged();

private:
    struct Launch {
        QString name;
        GammaPosition gamma = GammaNeutral;
    };
    // Loads every monitor's gamma as the rules give it.
    void Load();
    // Follows the launched program's windows while the option is on and a program is watched.
    void FollowWindows();
    // Whether the launched program's windows decide where its gamma shows.
    bool Following() const;

    platform::RampKeeper keeper_;
    bool begun_ = false;
    GammaPosition desktop_ = GammaNeutral;
    // The options dialog's slider, moved away from the stored value while it is open.
    std::optional<GammaPosition> dialog_;
    // The latest slider's gamma on the display, until something else is to be shown.
    std::optional<Shown> preview_;
    std::optional<Launch> launched_;
    bool followFocus_ = false;
    std::function<bool(pid_t)> ours_; // the watched program's processes
};

// The program's one instance, made before the windows and gone after them.
extern GammaInForce* InForce;
