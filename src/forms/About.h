// The about dialog and the maker's addresses.
#pragma once

#include "toolkit/Toolkit.h"

#include <QUrl>

namespace Ui {
class TForm_About;
}

// The maker's web site and support address (placeholders of the project's own).
extern const QUrl MakerWebSite;
extern const QUrl MakerSupportMail;

class TForm_About : public TForm {
    Q_OBJECT
public:
    explicit TForm_About(QWidget* owner = nullptr);
    ~TForm_About() override;
    TLazyControls<Ui::TForm_About> ui;

    void Btn_WebClick();
    void Btn_EmailClick();
    void Btn_OkClick();

protected:
    void FormShow() override;
    void FormClose(TCloseAction& action) override;

private:
    void MakeControls(Ui::TForm_About& controls);
};

extern TForm_About* Form_About;
