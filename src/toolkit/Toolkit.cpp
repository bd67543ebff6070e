#include "toolkit/Toolkit.h"

#include "platform/IconReader.h"
#include "toolkit/Application.h"

#include <QCloseEvent>
#include <QFile>
#include <QImageReader>
#include <QPainter>

// Read as PNG and nothing else: left to guess, Qt loads every image plugin (and the SVG
// library behind one of them) to ask each whether it reads the file.
QPixmap ArtPixmap(const QString& name) {
    QImageReader reader(QStringLiteral(":/kelvaro/%1.png").arg(name), "PNG");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

QIcon ArtIcon(const QString& name) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        const QString file = QStringLiteral("%1-%2").arg(name).arg(size);
        if (QFile::exists(QStringLiteral(":/kelvaro/%1.png").arg(file)))
            icon.addPixmap(ArtPixmap(file));
    }
    return icon;
}

QIcon GenericProgramIcon() {
    static const QIcon icon = [] {
        const QIcon themed = platform::ThemeProgramIcon();
        return themed.isNull() ? ArtIcon(QStringLiteral("generic")) : themed;
    }();
    return icon;
}

TTimer::TTimer(QObject* owner, int interval, bool enabled) : QObject(owner) {
    timer_.setInterval(interval);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        try {
            if (OnTimer) OnTimer();
        } catch (const std::exception& e) {
            if (Application) Application->HandleException(e);
        }
    });
    SetEnabled(enabled);
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled)
        timer_.start();
    else
        timer_.stop();
}

void TTimer::SetInterval(int ms) {
    timer_.setInterval(ms);
    if (enabled_) timer_.start();
}

QPixmap TImageList::render(const QIcon& icon) const {
    QPixmap pm(width_, height_);
    pm.fill(Qt::transparent);
    if (!icon.isNull()) {
        QPainter p(&pm);
        icon.paint(&p, QRect(0, 0, width_, height_));
    }
    return pm;
}

void TImageList::Insert(int index, const QIcon& icon) {
    index = std::clamp(index, 0, Count());
    images_.insert(images_.begin() + index, render(icon));
}

int TImageList::Add(const QIcon& icon) {
    images_.push_back(render(icon));
    return Count() - 1;
}

void TImageList::Replace(int index, const QIcon& icon) {
    if (index >= 0 && index < Count()) images_[static_cast<size_t>(index)] = render(icon);
}

QPixmap TImageList::GetPixmap(int index) const {
    if (index < 0 || index >= Count()) return QPixmap();
    return images_[static_cast<size_t>(index)];
}

QIcon TImageList::GetIcon(int index) const {
    const QPixmap pm = GetPixmap(index);
    return pm.isNull() ? QIcon() : QIcon(pm);
}

TForm::TForm(QWidget* parent, Qt::WindowFlags flags) : QDialog(parent, flags) {}

int TForm::ShowModal() {
    if (isVisible()) throw EInvalidOperation("Cannot make a visible window modal");
    return exec();
}

void TForm::setVisible(bool visible) {
    if (visible && makeControls_) makeControls_();
    QDialog::setVisible(visible);
}

void TForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (!e->spontaneous()) FormShow();
}

void TForm::closeEvent(QCloseEvent* e) {
    TCloseAction action = TCloseAction::caHide;
    try {
        FormClose(action);
    } catch (const std::exception& ex) {
        if (Application) Application->HandleException(ex);
    }
    if (action == TCloseAction::caNone) {
        e->ignore();
        return;
    }
    // Accepted: the window is hidden, which also ends a modal loop.
    e->accept();
}

void TForm::reject() {
    if (cancelOnEscape_) close();
}
