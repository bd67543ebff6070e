// Stand-ins for the display, the window in front, the notification area, the hot keys, the desktop
// and the user's answers, so the program's handlers run offscreen and their effects can be read
// back.
#pragma once

#include "platform/display/Display.h"
#include "platform/display/FocusFollower.h"
#include "platform/display/NightLights.h"
#include "platform/keys/Hotkeys.h"
#include "platform/process/Shell.h"
#include "platform/store/Hive.h"
#include "platform/tray/NotifyArea.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Output "0" has 256 entries and shows `ramp` (each ramp loaded onto it is kept in `applied`);
// `more` holds further outputs at sizes of their own, switched on and off with plug().
class FakeDisplay : public platform::Display {
public:
    struct FakeOutput {
        std::string id;
        platform::OutputRamp ramp;
        bool active = true;
        bool readable = true;
        int loads = 0;
    };
    bool present = true;
    bool refusing = false;    // lists no output that takes a ramp (every one refused)
    std::string key;          // the journal's key: empty, no journal
    std::int64_t started = 0; // when the server started, ms since the epoch
    GammaRamp ramp{};
    std::vector<GammaRamp> applied;
    std::vector<FakeOutput> more;
    std::vector<std::string> released;
    std::function<void()> changed;

    bool hasDeviceContext() override { return present; }
    std::string displayKey() override { return key; }
    std::int64_t serverStarted() override { return started; }
    std::vector<platform::GammaOutput> outputs() override {
        if (!present || refusing) return {};
        std::vector<platform::GammaOutput> out{{"0", 256}};
        for (const FakeOutput& o : more)
            if (o.active) out.push_back({o.id, o.ramp.size()});
        return out;
    }
    bool getOutputRamp(const std::string& id, platform::OutputRamp& r) override {
        if (!present) return false;
        if (id == "0") {
            r = platform::ResampleRamp(ramp, 256);
            return true;
        }
        FakeOutput* o = find(id);
        if (!o || !o->readable) return false;
        r = o->ramp;
        return true;
    }
    void setOutputRamp(const std::string& id, const platform::OutputRamp& r) override {
        if (id == "0" && r.size() == 256) {
            ramp = platform::ResampleRamp(r);
            applied.push_back(ramp);
        } else if (FakeOutput* o = find(id); o && o->ramp.size() == r.size()) {
            o->ramp = r;
            ++o->loads;
        }
    }
    void releaseOutput(const std::string& id) override { released.push_back(id); }
    void watchOutputs(std::function<void()> f) override { changed = std::move(f); }

    FakeOutput& add(const std::string& id, const platform::OutputRamp& r) {
        more.push_back({id, r});
        return more.back();
    }
    // Switches a further output on or off and tells the watcher, as a server would.
    void plug(const std::string& id, bool on) {
        find(id)->active = on;
        if (changed) changed();
    }
    FakeOutput* find(const std::string& id) {
        for (FakeOutput& o : more)
            if (o.id == id) return &o;
        return nullptr;
    }
};

class FakeNotifyArea : public platform::NotifyArea {
public:
    struct Call {
        quint32 message;
        NOTIFYICONDATAA data;
    };
    std::vector<Call> calls;
    bool fail = false;
    std::optional<QPoint> hostPoint; // a StatusNotifierItem host's point, when one gave it
    bool Shell_NotifyIcon(quint32 message, const NOTIFYICONDATAA& data) override {
        calls.push_back({message, data});
        return !fail;
    }
    QPoint CursorPos() const override { return hostPoint ? *hostPoint : NotifyArea::CursorPos(); }
};

class FakeHotkeys : public platform::Hotkeys {
public:
    std::vector<int> registered;
    QStringList log;
    bool RegisterHotKey(int id, unsigned mods, unsigned vk) override {
        log << QStringLiteral("register %1 %2 %3").arg(id).arg(mods).arg(vk, 0, 16);
        registered.push_back(id);
        return true;
    }
    bool UnregisterHotKey(int id) override {
        log << QStringLiteral("unregister %1").arg(id);
        std::erase(registered, id);
        return true;
    }
};

class FakeShell : public platform::Shell {
public:
    std::vector<QUrl> opened;
    QStringList handled; // the types the desktop has an application for
    bool opens = true;   // whether the desktop manages to start it
    bool open(const QUrl& u) override {
        opened.push_back(u);
        return opens;
    }
    void findHandler(const QString& mimeType, std::function<void(bool)> found) override {
        found(handled.contains(mimeType));
    }
};

class FakePrompts : public platform::Prompts {
public:
    struct Box {
        QString text, caption;
        platform::MessageKind kind;
    };
    std::vector<Box> boxes;
    std::deque<int> answers;   // for confirmations; default Yes
    std::deque<QString> files; // for file dialogs; a null text or none: cancel
    QStringList filters;
    int messageBox(QWidget*, const QString& text, const QString& caption,
                   platform::MessageKind kind) override {
        boxes.push_back({text, caption, kind});
        if (kind != platform::MessageKind::Confirmation) return platform::mrOk;
        if (answers.empty()) return platform::mrYes;
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    std::optional<QString> openFile(QWidget*, const QString& filter, const QString&) override {
        filters << filter;
        if (files.empty()) return std::nullopt;
        const QString f = files.front();
        files.pop_front();
        if (f.isNull()) return std::nullopt;
        return f;
    }
};

// Where the launched program is in front, as the test says; moved() reports it as the X
// server's events would: "active:0", "full:1" (its window active on output 0, full screen on 1)
// or "away" (another program's window active).
struct FakeFocus : platform::FocusFollower {
    std::function<bool(pid_t)> ours;
    std::function<void()> changed;
    std::map<std::string, platform::InFront> front; // outputs not listed: not in front
    bool seen = false, active = false;
    void Follow(std::function<bool(pid_t)> o, std::function<void()> c) override {
        ours = std::move(o);
        changed = std::move(c);
    }
    void Stop() override { *this = FakeFocus(); }
    bool Seen() const override { return seen; }
    platform::InFront On(const std::string& o) const override {
        return front.count(o) ? front.at(o) : platform::InFront{true};
    }
    bool Active() const override { return active; }
    void moved(const QString& where) {
        seen = true;
        active = where.startsWith("active");
        for (auto& f : front)
            f.second.active = false;
        platform::InFront& f = front[where.section(':', 1).toStdString()];
        (active ? f.active : f.fullScreen) = where != "away";
        if (changed) changed();
    }
};

// All the fakes above, installed for as long as this object lives.
struct FakePlatform {
    FakeDisplay display;
    FakeFocus focus;
    FakeNotifyArea area;
    FakeHotkeys keys;
    FakePrompts prompts;
    FakeShell shell;
    FakePlatform() {
        platform::setDisplay(&display);
        platform::setNotifyArea(&area);
        platform::setHotkeys(&keys);
        platform::setPrompts(&prompts);
        platform::setShell(&shell);
        // None of the machine's own night lights.
        platform::setNightLightFinder([] { return std::vector<platform::NightLight>(); });
        platform::setFocusFollower(&focus);
    }
    ~FakePlatform() {
        platform::setDisplay(nullptr);
        platform::setNotifyArea(nullptr);
        platform::setHotkeys(nullptr);
        platform::setPrompts(nullptr);
        platform::setShell(nullptr);
        platform::setNightLightFinder(nullptr);
        platform::setFocusFollower(nullptr);
    }
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;
};

// A private settings folder and store for one test.
class TempStore {
public:
    TempStore() {
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        platform::Hive::setInstance(
            std::make_unique<platform::Hive>(platform::Hive::defaultPath()));
    }
    ~TempStore() {
        platform::Hive::settleInstance(); // what the store's thread still has to write
        platform::Hive::setInstance(nullptr);
    }
    QTemporaryDir dir;
};
