// The whole program built offscreen against fakes and a private store: the five windows in
// their start-up order, torn down again after each test.
#pragma once

#include "Fakes.h"
#include "Interpolate.h"
#include "app/Startup.h"
#include "forms/About.h"
#include "forms/Main.h"
#include "forms/Option.h"
#include "forms/Osd.h"
#include "forms/Splash.h"
#include "screen/GammaInForce.h"
#include "settings/Registry.h"
#include "toolkit/Application.h"
#include "ui_About.h"
#include "ui_Main.h"
#include "ui_Option.h"
#include "ui_Osd.h"
#include "ui_Splash.h"

#include <QMenu>
#include <QTest>

class Program : public FakePlatform {
public:
    std::unique_ptr<TempStore> store;
    QStringList errors;

    GammaRamp startup; // output 0's ramp when the program started

    Program() {
        store = std::make_unique<TempStore>();
        Application->ErrorBox = [this](const QString&, const QString& text) { errors << text; };
    }
    ~Program() {
        stop();
        Application->ErrorBox = nullptr;
        Application->OnMessage = nullptr;
    }
    void start(bool bySession = false) {
        Application->MainForm = nullptr;
        startup = display.ramp;
        CreateForms(bySession);
    }
    void stop() {
        if (Form_Main && !LaunchedProcess.empty()) {
            platform::processes().Release(LaunchedProcess);
            LaunchedProcess = {};
        }
        DestroyForms();
    }

    // Store seeding.
    static void setValue(const QString& key, const QString& name, const QString& text) {
        TRegistry reg;
        reg.OpenKey(key, true);
        reg.WriteString(name, text);
    }
    static void setValue(const QString& key, const QString& name, int number) {
        TRegistry reg;
        reg.OpenKey(key, true);
        reg.WriteInteger(name, number);
    }
    static void addProfile(const QString& name, const QString& file, int gamma = -1,
                           const QString& args = QString(), const QString& iconFile = QString()) {
        const QString key = ProfilesKey + QLatin1Char('\\') + name;
        TRegistry reg;
        reg.OpenKey(key, true);
        if (!file.isNull()) reg.WriteString(QStringLiteral("FileName"), file);
        if (!args.isNull()) reg.WriteString(QStringLiteral("Args"), args);
        if (!iconFile.isNull()) reg.WriteString(QStringLiteral("IconFile"), iconFile);
        if (gamma >= 0) reg.WriteInteger(QStringLiteral("Gamma"), gamma);
    }
    static std::optional<int> integer(const QString& key, const QString& name) {
        TRegistry reg;
        if (!reg.OpenKey(key, false) || !reg.ValueExists(name)) return std::nullopt;
        return reg.ReadInteger(name);
    }
    static QString text(const QString& key, const QString& name) {
        TRegistry reg;
        if (!reg.OpenKey(key, false)) return QStringLiteral("<no key>");
        return reg.ReadString(name);
    }
    static QStringList profileNames() {
        TRegistry reg;
        QStringList names;
        if (reg.OpenKey(ProfilesKey, false)) reg.GetKeyNames(names);
        return names;
    }

    // The profile list as texts.
    static QStringList nodes() {
        QStringList out;
        auto* list = Form_Main->ui->ProfileList;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            out << list->topLevelItem(i)->text(0);
        return out;
    }
    static QTreeWidgetItem* node(const QString& name) {
        auto* list = Form_Main->ui->ProfileList;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
        return nullptr;
    }
    // Menu entries as the user sees them: "-" for a line, "*" before the default item.
    static QStringList menu() {
        QStringList out;
        for (QAction* a : Form_Main->PopupMenu->actions()) {
            if (a->isSeparator())
                out << QStringLiteral("-");
            else
                out << (a == Form_Main->PopupMenu->defaultAction() ? QStringLiteral("*")
                                                                   : QString()) +
                           a->text();
        }
        return out;
    }
    void hotkey(int id) {
        TMessage m;
        m.Msg = WM_HOTKEY;
        m.WParam = WPARAM(id);
        Application->PostMessage(m);
        QCoreApplication::sendPostedEvents(Application);
    }
    // Output 0 shows gamma `position` as the program loads it: read through the ramp the output
    // had at start (entry f at f * 255 / 65535 of it), unless that was the identity or zeros.
    bool displayShows(int position) const {
        GammaRamp r = RampForPosition(position);
        if (!startup.isZero() && startup != RampForPosition(GammaNeutral))
            for (std::size_t i = 0; i < r.entries.size(); ++i)
                r.entries[i] =
                    Interpolated(&startup.entries[i / 256 * 256], 256, 65536, r.entries[i]);
        return display.ramp == r;
    }
    // Output 0 shows that gamma's ramp as it is: a start-up ramp put back.
    bool displayIsBack(int position) const { return display.ramp == RampForPosition(position); }
};
