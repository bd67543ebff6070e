#include "forms/Splash.h"

#include "platform/system/Memory.h"
#include "platform/system/Version.h"
#include "toolkit/Application.h"
#include "ui_Splash.h"

#include <QLabel>
#include <QTimer>
#include <algorithm>

TForm_Splash* Form_Splash = nullptr;

void SetTextKeepRightEdge(QLabel* label, const QString& text, int rightEdge) {
    label->setText(text);
    const int width = label->fontMetrics().horizontalAdvance(text) + 2;
    label->setGeometry(rightEdge - width, label->y(), width,
                       std::max(label->height(), label->fontMetrics().height()));
}

TForm_Splash::TForm_Splash(QWidget* owner)
    : TForm(owner, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      ui(std::make_unique<Ui::TForm_Splash>()) {
    ui->setupUi(this);
    setFixedSize(304, 80);
    ui->Label_Ver->raise();
    // The number is part of a picture of fixed size: it keeps the size the picture was drawn
    // for, whatever the desktop's font, or a large font would write it over the picture's
    // own words.
    QFont font = ui->Label_Ver->font();
    font.setPixelSize(11);
    ui->Label_Ver->setFont(font);
    Timer_Splash = new TTimer(this, 1300, false);
    Timer_Splash->OnTimer = [this] { Timer_SplashTimer(); };
    Position = TPosition::poScreenCenter;
    show();
}

TForm_Splash::~TForm_Splash() = default;

void TForm_Splash::FormShow() {
    ui->Image_Logo->setPixmap(ArtPixmap(QStringLiteral("splash")));
    SetTextKeepRightEdge(ui->Label_Ver,
                         platform::version::ReadVersionString(QStringLiteral("FileVersion")), 296);
    if (Application) Application->HideTaskbarWindow(this);
    Timer_Splash->SetEnabled(true);
}

void TForm_Splash::Timer_SplashTimer() {
    Close();
}

void TForm_Splash::FormClose(TCloseAction&) {
    Timer_Splash->SetEnabled(false);
    // Start-up is over once the splash has gone: its picture, its window and the heap that
    // start-up no longer uses go back to the system.
    QTimer::singleShot(0, this, [this] {
        if (isVisible()) return;
        ui->Image_Logo->clear();
        destroy();
        platform::ReturnFreeMemory();
    });
}
