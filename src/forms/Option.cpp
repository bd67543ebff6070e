#include "forms/Option.h"

#include "forms/Main.h"
#include "screen/GammaInForce.h"
#include "settings/Registry.h"
#include "toolkit/Application.h"
#include "ui_Option.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSignalBlocker>
#include <algorithm>

TForm_Option* Form_Option = nullptr;

namespace {
QString ExecutablePath() {
    return QFileInfo(QCoreApplication::applicationFilePath()).absoluteFilePath();
}
} // namespace

TForm_Option::TForm_Option(QWidget* owner)
    : TForm(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowCloseButtonHint),
      ui(this, [this](Ui::TForm_Option& controls) { MakeControls(controls); }) {
    Position = TPosition::poOwnerFormCenter;
    int desktop = GammaNeutral;
    {
        TRegistry reg;
        reg.OpenKey(ProgramKey, false);
        try {
            desktop = reg.ReadInteger(Values::Desktop);
        } catch (const ERegistryException&) {
            desktop = GammaNeutral;
        }
    }
    // What the slider makes of the stored value: held within its range.
    InForce->DesktopStored(std::clamp<GammaPosition>(desktop, GammaMin, GammaMax));
    // A hot key steps the desktop gamma while the dialog is open: its slider follows, quietly,
    // since what it shows is on the display already.
    connect(InForce, &GammaInForce::desktopChanged, this, [this](GammaPosition gamma) {
        if (ui.Made()) ShowQuietly(gamma);
    });
}

void TForm_Option::ShowQuietly(GammaPosition gamma) {
    if (ui->Bar_Gamma->value() == gamma) return;
    const QSignalBlocker quiet(ui->Bar_Gamma);
    ui->Bar_Gamma->setValue(gamma);
    ui->Label1->setText(QStringLiteral("Desktop Gamma - ") + GammaText(gamma));
}

void TForm_Option::MakeControls(Ui::TForm_Option& controls) {
    controls.setupUi(this);
    FitToFont(this, QSize(313, 216));
    setWindowIcon(TTrayIcon::ApplicationIcon());
    controls.Bar_Gamma->setValue(InForce->Desktop());
    controls.Label1->setText(QStringLiteral("Desktop Gamma - ") + GammaText(InForce->Desktop()));
    connect(controls.Bar_Gamma, &QSlider::valueChanged, this,
            Guarded([this](int) { Bar_GammaChange(); }));
    connect(controls.Btn_Ok, &QPushButton::clicked, this, Guarded([this] { Btn_OkClick(); }));
    connect(controls.Btn_Cancel, &QPushButton::clicked, this,
            Guarded([this] { Btn_CancelClick(); }));
}

TForm_Option::~TForm_Option() = default;

void TForm_Option::FormShow() {
    if (!Form_Main->isVisible() && Application) Application->HideTaskbarWindow(this);
    Form_Main->TrayIcon->RestoreOn = imNone;
    ui->Check_AutoStart->setFocus();
    TRegistry reg;
    reg.OpenKey(RunKey, false);
    ui->Check_AutoStart->setChecked(reg.ValueExists(RunValueName));
    ui->Check_Exit->setChecked(Form_Main->ExitOnClose);
    ui->Check_Hotkey->setChecked(Form_Main->HotkeysEnabled);
    ui->Check_FollowFocus->setChecked(InForce->FollowsFocus());
    reg.OpenKey(ProgramKey, false);
    int desktop = GammaNeutral;
    if (reg.ValueExists(Values::Desktop)) {
        try {
            desktop = reg.ReadInteger(Values::Desktop);
        } catch (const ERegistryException&) {
            desktop = GammaNeutral; // a value of another type counts as none
        }
    }
    ui->Bar_Gamma->setValue(desktop);
}

void TForm_Option::Bar_GammaChange() {
    const GammaPosition position = ui->Bar_Gamma->value();
    InForce->DesktopPreviewed(position);
    ui->Label1->setText(QStringLiteral("Desktop Gamma - ") + GammaText(position));
}

void TForm_Option::Btn_OkClick() {
    {
        TRegistry reg;
        reg.OpenKey(RunKey, false);
        if (ui->Check_AutoStart->isChecked())
            reg.WriteString(RunValueName, ExecutablePath());
        else
            reg.DeleteValue(RunValueName);
        reg.OpenKey(ProgramKey, false);
        reg.WriteBool(Values::Exit, ui->Check_Exit->isChecked());
        reg.WriteBool(Values::Hotkeys, ui->Check_Hotkey->isChecked());
        reg.WriteBool(Values::FollowFocus, ui->Check_FollowFocus->isChecked());
    }
    SaveDesktopGamma();
    Form_Main->LoadOptions();
    Close();
}

void TForm_Option::SaveDesktopGamma() {
    InForce->SaveDesktop(ui->Bar_Gamma->value());
}

void TForm_Option::Btn_CancelClick() {
    Close();
}

void TForm_Option::FormClose(TCloseAction&) {
    Form_Main->TrayIcon->RestoreOn = imDoubleClick;
    // Cancelled or closed: the slider goes back to the stored desktop gamma, so the next hot
    // key steps from the value the user kept, not from the one he tried. Quietly: what the
    // display shows now is the gamma in force.
    ShowQuietly(InForce->Desktop());
    InForce->OptionsClosed();
}
