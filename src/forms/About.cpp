#include "forms/About.h"

#include "forms/Main.h"
#include "platform/process/Shell.h"
#include "platform/system/Version.h"
#include "toolkit/Application.h"
#include "ui_About.h"

TForm_About* Form_About = nullptr;

const QUrl MakerWebSite(QStringLiteral("https://kelvaro.example.org/"));
const QUrl MakerSupportMail(QStringLiteral("mailto:support@kelvaro.example.org"));

TForm_About::TForm_About(QWidget* owner)
    : TForm(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowCloseButtonHint),
      ui(this, [this](Ui::TForm_About& controls) { MakeControls(controls); }) {
    Position = TPosition::poOwnerFormCenter;
}

void TForm_About::MakeControls(Ui::TForm_About& controls) {
    controls.setupUi(this);
    const double growth = FitToFont(this, QSize(424, 220));
    setWindowIcon(TTrayIcon::ApplicationIcon());
    controls.Image1->setPixmap(ArtPixmap(QStringLiteral("logo"), growth));
    controls.Image2->setPixmap(ArtPixmap(QStringLiteral("strip"), growth));
    controls.Btn_Web->setIcon(QIcon(ArtPixmap(QStringLiteral("web"))));
    controls.Btn_Email->setIcon(QIcon(ArtPixmap(QStringLiteral("email"))));
    controls.Memo1->setPlainText(QStringLiteral(
        "Kelvaro sets the display's gamma for each program you run.\n\n"
        "Keep a profile for each program: its executable, arguments, icon and gamma. "
        "Launch a profile from the tray menu or the Profiles window; Kelvaro loads its "
        "gamma, starts the program, and puts the desktop gamma back when it ends.\n\n"
        "With hot keys on, Ctrl+Alt+Num+ and Ctrl+Alt+Num- raise and lower the gamma "
        "in force, also in a full-screen game.\n\n"
        "Double-click the tray icon for the Profiles window; right-click it for the menu."));
    connect(controls.Btn_Web, &QToolButton::clicked, this, Guarded([this] { Btn_WebClick(); }));
    connect(controls.Btn_Email, &QToolButton::clicked, this, Guarded([this] { Btn_EmailClick(); }));
    connect(controls.Btn_Ok, &QPushButton::clicked, this, Guarded([this] { Btn_OkClick(); }));
}

TForm_About::~TForm_About() = default;

void TForm_About::FormShow() {
    if (!Form_Main->isVisible() && Application) Application->HideTaskbarWindow(this);
    Form_Main->TrayIcon->RestoreOn = imNone;
    ui->Label_Ver->setText(QStringLiteral("Version ") +
                           platform::version::ReadVersionString(QStringLiteral("FileVersion")));
    ui->Btn_Ok->setFocus();
}

void TForm_About::Btn_WebClick() {
    platform::shell().open(MakerWebSite);
}

void TForm_About::Btn_EmailClick() {
    platform::shell().open(MakerSupportMail);
}

void TForm_About::Btn_OkClick() {
    Close();
}

void TForm_About::FormClose(TCloseAction&) {
    Form_Main->TrayIcon->RestoreOn = imDoubleClick;
}
