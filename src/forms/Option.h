// The options dialog: start with the session, quit on close, hot keys, and the desktop gamma.
#pragma once

#include "gamma/Gamma.h"
#include "toolkit/Toolkit.h"

namespace Ui {
class TForm_Option;
}

class TForm_Option : public TForm {
    Q_OBJECT
public:
    explicit TForm_Option(QWidget* owner = nullptr);
    ~TForm_Option() override;
    TLazyControls<Ui::TForm_Option> ui;

    void Bar_GammaChange();
    void Btn_OkClick();
    void Btn_CancelClick();
    void SaveDesktopGamma();

protected:
    void FormShow() override;
    void FormClose(TCloseAction& action) override;
    void reject() override { Btn_CancelClick(); }

private:
    void MakeControls(Ui::TForm_Option& controls);
    // Puts the slider and its caption at `gamma` without showing it: it is on the display.
    void ShowQuietly(GammaPosition gamma);
};

extern TForm_Option* Form_Option;
