#include "app/Startup.h"

#include "forms/About.h"
#include "forms/Main.h"
#include "forms/Option.h"
#include "forms/Osd.h"
#include "forms/Splash.h"
#include "platform/display/SessionDisplay.h"
#include "platform/process/Shell.h"
#include "platform/store/Hive.h"
#include "platform/system/Instance.h"
#include "platform/system/Session.h"
#include "platform/system/Signals.h"
#include "platform/tray/NotifyArea.h"
#include "screen/GammaInForce.h"
#include "settings/Registry.h"
#include "toolkit/Application.h"
#include "ui_Main.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>

namespace {

// SIGTERM, SIGINT and SIGHUP end the program the way Exit does, from the event loop.
void InstallQuitSignals() {
    platform::OnQuitSignals(Application, Guarded([] {
                                if (Form_Main)
                                    Form_Main->QuitSequence();
                                else if (Application)
                                    Application->Terminate();
                            }));
}

const QString NoTrayTitle = QStringLiteral(" (no tray icon: closing quits)");

// What the store keeps as said under a topic ("" for nothing); a store that can't be read or
// written only means the words are said again.
QString SaidBefore(const QString& topic) {
    try {
        TRegistry reg;
        return reg.OpenKey(NoticesKey, false) ? reg.ReadString(topic) : QString();
    } catch (const ERegistryException&) {
        return QString();
    }
}
void KeepSaid(const QString& topic, const QString& text) {
    try {
        TRegistry reg;
        if (!reg.OpenKey(NoticesKey, !text.isEmpty())) return;
        if (text.isEmpty())
            reg.DeleteValue(topic);
        else
            reg.WriteString(topic, text);
    } catch (const ERegistryException&) {
    }
}

// The words said while the program runs.
QStringList g_said;

QList<QMessageBox*> NoticeBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("SessionNotice") && w->isVisible())
            boxes << static_cast<QMessageBox*>(w);
    return boxes;
}

// Boxes the profiles window would cover become its own, which the window manager keeps above
// it, where they are.
class NoticesOverTheWindow : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::Show && watched == Form_Main)
            for (QMessageBox* box : NoticeBoxes())
                if (!box->parentWidget()) {
                    const QPoint at = box->pos();
                    box->setParent(Form_Main, box->windowFlags());
                    box->move(at);
                    box->show();
                }
        return false;
    }
};

// Words about what the session lets the program do (the gamma, the hot keys): each said once,
// on standard error and in a box that does not hold the program up. A topic's words already
// said (kept in the store) are not said again; the situation over, they are forgotten.
QMessageBox* ShowSessionNotice(const QString& text, const QString& topic = {},
                               platform::NoticeKept kept = platform::NoticeKept::ThisRun) {
    if (text.isEmpty()) {
        KeepSaid(topic, QString());
        return nullptr;
    }
    if (g_said.contains(text) || (!topic.isEmpty() && SaidBefore(topic) == text)) return nullptr;
    g_said << text;
    if (kept == platform::NoticeKept::WhileItLasts) KeepSaid(topic, text);
    std::fprintf(stderr, "kelvaro: %s\n", text.toLocal8Bit().constData());
    // Over the profiles window where that is up (the window manager keeps it there).
    QWidget* over = Form_Main && Form_Main->isVisible() ? Form_Main : nullptr;
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Kelvaro"), text,
                                QMessageBox::Ok, over);
    box->setObjectName(QStringLiteral("SessionNotice"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    if (kept == platform::NoticeKept::WhenUserAsks) {
        box->setCheckBox(new QCheckBox(QStringLiteral("Don't show this again"), box));
        QObject::connect(box, &QMessageBox::finished, [box, topic, text] {
            if (box->checkBox()->isChecked()) KeepSaid(topic, text);
        });
    }
    // Not on top of another box: a step down and to the right of the last one.
    const QList<QMessageBox*> others = NoticeBoxes();
    if (!others.isEmpty()) {
        box->adjustSize();
        box->move(others.constLast()->pos() + QPoint(32, 32));
    }
    box->show();
    return box;
}

// Without a tray icon the profiles window is the program's face: the user is told how to get
// the icon, a start of the user's own shows the window, and the window says that closing it
// quits. A tray that comes later takes the icon, and everything is as before.
void FollowTheTray(bool bySession) {
    TTrayIcon& icon = *Form_Main->TrayIcon;
    // Its box goes when the icon comes; should the tray go again, it is said again.
    static QPointer<QMessageBox> noTrayBox;
    icon.OnNoTray = Guarded([bySession](TTrayIcon* sender) {
        Form_Main->ui.get();
        Form_Main->setWindowTitle(Form_Main->windowTitle() + NoTrayTitle);
        // The session's start waits hidden; a tray lost later leaves the window as the way in.
        if (!bySession || sender->TrayLost()) ShowProfilesWindow();
        noTrayBox = ShowSessionNotice(platform::NoTrayMessage(platform::CurrentDesktop()));
    });
    icon.OnDocked = Guarded([](TTrayIcon*) {
        QString title = Form_Main->windowTitle();
        if (title.endsWith(NoTrayTitle)) title.chop(NoTrayTitle.size());
        Form_Main->setWindowTitle(title);
        if (noTrayBox) noTrayBox->close();
        g_said.removeAll(platform::NoTrayMessage(platform::CurrentDesktop()));
    });
    // Told already, before these were in place (a wait of none ends at the first event).
    if (icon.NoTray()) icon.OnNoTray(&icon);
}

} // namespace

void ShowProfilesWindow() {
    if (!Form_Main) return;
    // As a double-click on the tray icon does; while a dialog has switched that off, the
    // dialog comes to the front instead.
    if (Form_Main->TrayIcon->RestoreOn == imDoubleClick) {
        Form_Main->TrayIcon->Restore();
    } else if (QWidget* dialog = QApplication::activeModalWidget()) {
        dialog->raise();
        dialog->activateWindow();
    }
}

std::string AnswerRequest(const std::string& request) {
    if (!Form_Main) return "starting";
    try {
        if (request == "show") {
            ShowProfilesWindow();
            return "ok";
        }
        if (request == "step up" || request == "step down") {
            TMessage msg;
            msg.Msg = WM_HOTKEY;
            msg.WParam = WPARAM(request == "step up" ? HotkeyUp : HotkeyDown);
            bool handled = false;
            Form_Main->AppMessage(msg, handled);
            return "ok";
        }
    } catch (const std::exception& e) {
        if (Application) Application->HandleException(e);
        return "failed";
    }
    return "unknown request";
}

void CreateForms(bool bySession) {
    InForce = new GammaInForce;
    // A panel may come after the session's own start; started by the user, the window comes at
    // once where there is no tray.
    platform::notifyArea().TrayWaitMs = bySession ? 10000 : 0;
    Form_Main = new TForm_Main;
    if (Application && !Application->MainForm) Application->MainForm = Form_Main;
    FollowTheTray(bySession);
    static NoticesOverTheWindow noticesOver;
    Form_Main->installEventFilter(&noticesOver);
    Form_Splash = new TForm_Splash;
    // The two dialogs belong to the profiles window, so they open centred on it.
    Form_Option = new TForm_Option(Form_Main);
    Form_About = new TForm_About(Form_Main);
    Form_OSD = new TForm_OSD;
    // The windows are made and have said what they hold: the display shows the gamma in force.
    InForce->Begin();
}

void DestroyForms() {
    delete Form_OSD;
    Form_OSD = nullptr;
    delete Form_About;
    Form_About = nullptr;
    delete Form_Option;
    Form_Option = nullptr;
    delete Form_Splash;
    Form_Splash = nullptr;
    delete Form_Main;
    Form_Main = nullptr;
    delete InForce;
    InForce = nullptr;
}

int RunKelvaro(TApplication& app, bool bySession) {
    int status = 0;
    try {
        app.ShowMainForm = false;
        app.Title = QStringLiteral("Kelvaro");
        QGuiApplication::setApplicationDisplayName(QString());
        QGuiApplication::setApplicationName(QStringLiteral("kelvaro"));
        QGuiApplication::setDesktopFileName(QStringLiteral("kelvaro"));
        // Taken from now on, acted on once start-up is over (see HoldQuitSignals).
        platform::HoldQuitSignals(true);
        InstallQuitSignals();
        try {
            platform::Hive::instance();
        } catch (const platform::HiveError& e) {
            // Nothing else runs: the file is left exactly as it is.
            throw platform::HiveError("Kelvaro can't use its settings file " +
                                      platform::Hive::defaultPath().toStdString() + ": " +
                                      e.what() + ".");
        }
        platform::setSessionNotice(ShowSessionNotice);
        platform::setSessionHintChanged([] {
            if (Form_Main) Form_Main->ShowGammaState();
        });
        CreateForms(bySession);
        // Profiles still launch their programs; nothing claims a gamma it could not set.
        if (platform::GammaUnavailable())
            ShowSessionNotice(platform::NoGammaMessage(), platform::NoGammaTopic,
                              platform::NoticeKept::WhenUserAsks);
        platform::instance::Serve(AnswerRequest);
        platform::HoldQuitSignals(false);
        // What bringing an older store up to date changed is told once, after the windows.
        if (const QStringList& notices = platform::Hive::instance().notices(); !notices.isEmpty())
            platform::prompts().messageBox(nullptr, notices.join(QLatin1Char('\n')),
                                           QStringLiteral("Kelvaro"),
                                           platform::MessageKind::Information);
        // Set once the windows exist, so the tray icon's window, made first, isn't given every
        // size of the icon to hand to the window manager before it can dock.
        QGuiApplication::setWindowIcon(ArtIcon(QStringLiteral("icon")));
        app.Run();
        platform::instance::Release();
    } catch (const platform::HiveError& e) {
        platform::HoldQuitSignals(false);
        app.ShowException(e);
        status = 1;
    } catch (const std::exception& e) {
        platform::HoldQuitSignals(false);
        app.ShowException(e);
    }
    platform::instance::Release();
    DestroyForms();
    return status;
}
