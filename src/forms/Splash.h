// The splash: the program's picture and version for a moment at start-up.
#pragma once

#include "toolkit/Toolkit.h"

#include <memory>

namespace Ui {
class TForm_Splash;
}

class TForm_Splash : public TForm {
    Q_OBJECT
public:
    explicit TForm_Splash(QWidget* owner = nullptr);
    ~TForm_Splash() override;
    std::unique_ptr<Ui::TForm_Splash> ui;
    TTimer* Timer_Splash = nullptr;
    void Timer_SplashTimer();

protected:
    void FormShow() override;
    void FormClose(TCloseAction& action) override;
};

extern TForm_Splash* Form_Splash;

// Sets a right-aligned label's text and width to fit, keeping its right edge where it was.
void SetTextKeepRightEdge(class QLabel* label, const QString& text, int rightEdge);
