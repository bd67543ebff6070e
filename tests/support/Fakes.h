// Stand-ins for the display, the notification area, the hot keys, the desktop and the user's
// answers, so the program's handlers run offscreen and their effects can be read back.
#pragma once

#include "platform/Display.h"
#include "platform/Hive.h"
#include "platform/Hotkeys.h"
#include "platform/NotifyArea.h"
#include "platform/Shell.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class FakeDisplay : public platform::Display {
public:
    bool present = true;
    GammaRamp ramp{};
    std::vector<GammaRamp> applied;
    bool hasDeviceContext() override { return present; }
    void setDeviceGammaRamp(const GammaRamp& r) override {
        ramp = r;
        applied.push_back(r);
    }
    bool getDeviceGammaRamp(GammaRamp& r) override {
        r = ramp;
        return present;
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
    bool open(const QUrl& u) override {
        opened.push_back(u);
        return true;
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

// All the fakes above, installed for as long as this object lives.
struct FakePlatform {
    FakeDisplay display;
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
    }
    ~FakePlatform() {
        platform::setDisplay(nullptr);
        platform::setNotifyArea(nullptr);
        platform::setHotkeys(nullptr);
        platform::setPrompts(nullptr);
        platform::setShell(nullptr);
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
    ~TempStore() { platform::Hive::setInstance(nullptr); }
    QTemporaryDir dir;
};
