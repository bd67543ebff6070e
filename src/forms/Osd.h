// The on-screen display: for a second after a hot key, which gamma changed and to what.
#pragma once

#include "toolkit/Toolkit.h"

#include <QWidget>
#include <memory>

namespace Ui {
class TForm_OSD;
}

class TForm_OSD : public QWidget {
    Q_OBJECT
public:
    explicit TForm_OSD(QWidget* owner = nullptr);
    ~TForm_OSD() override;
    std::unique_ptr<Ui::TForm_OSD> ui;
    TTimer* Timer_Close = nullptr;

    void SetIcon(const QIcon& icon);
    // Centres the display on the screen of the window in front, shows it without activating it and
    // starts the close count anew.
    void Display();
    void Timer_CloseTimer();

private:
    bool fitted_ = false;
};

extern TForm_OSD* Form_OSD;
