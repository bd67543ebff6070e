#include "forms/Osd.h"

#include "screen/GammaInForce.h"
#include "ui_Osd.h"

TForm_OSD* Form_OSD = nullptr;

TForm_OSD::TForm_OSD(QWidget* owner)
    // A no-focus, override-redirect tool-tip window: above full-screen windows, and the
    // program in front keeps the keyboard. Clicks go through it to whatever lies below.
    : QWidget(owner, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                         Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint |
                         Qt::WindowTransparentForInput),
      ui(std::make_unique<Ui::TForm_OSD>()) {
    ui->setupUi(this);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    Timer_Close = new TTimer(this, 1000, false);
    Timer_Close->OnTimer = [this] { Timer_CloseTimer(); };
}

TForm_OSD::~TForm_OSD() = default;

void TForm_OSD::SetIcon(const QIcon& icon) {
    if (icon.isNull())
        ui->Image_Icon->clear();
    else
        ui->Image_Icon->setPixmap(icon.pixmap(32, 32));
}

void TForm_OSD::Display() {
    // Fitted to the font when first shown rather than when made: measuring its large captions
    // loads a face of its own, which a program whose gamma is never stepped would keep for
    // nothing.
    if (!fitted_) {
        FitToFont(this, QSize(208, 56));
        fitted_ = true;
    }
    // While no output takes the gamma (the desktop lets no program change it, or every output
    // refused), the value is stored but never shown as if it were on the screen.
    static const QString notSet = QStringLiteral(" (not set)");
    if (InForce && InForce->NotSet() && !ui->Label_Gamma->text().endsWith(notSet))
        ui->Label_Gamma->setText(ui->Label_Gamma->text() + notSet);
    // In the middle of the monitor the user is looking at: the one holding the window in front.
    setGeometry(QRect(CentredIn(FocusScreenGeometry(), size()), size()));
    show();
    raise();
    Timer_Close->SetEnabled(false);
    Timer_Close->SetEnabled(true);
}

void TForm_OSD::Timer_CloseTimer() {
    Timer_Close->SetEnabled(false);
    hide();
}
