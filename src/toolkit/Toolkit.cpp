#include "toolkit/Toolkit.h"

#include "platform/system/IconReader.h"
#include "platform/system/X11.h"
#include "toolkit/Application.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QTimer>

// Read as PNG and nothing else: left to guess, Qt loads every image plugin (and the SVG
// library behind one of them) to ask each whether it reads the file.
QPixmap ArtPixmap(const QString& name) {
    auto read = [](const QString& file) {
        QImageReader reader(QStringLiteral(":/kelvaro/%1.png").arg(file), "PNG");
        reader.setAutoDetectImageFormat(false);
        return QPixmap::fromImage(reader.read());
    };
    // On a screen scaled by two or more, the picture drawn at twice the size stays sharp.
    if (qApp && qApp->devicePixelRatio() > 1.0) {
        QPixmap sharp = read(name + QStringLiteral("@2x"));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return read(name);
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

QPoint CentredIn(const QRect& area, const QSize& size) {
    return {area.x() + (area.width() - size.width()) / 2,
            area.y() + (area.height() - size.height()) / 2};
}

QRect PrimaryScreenGeometry() {
    const QScreen* s = QGuiApplication::primaryScreen();
    return s ? s->geometry() : QRect(0, 0, 1024, 768);
}

QIcon GenericProgramIcon() {
    static const QIcon icon = [] {
        const QIcon themed = platform::ThemeProgramIcon();
        return themed.isNull() ? ArtIcon(QStringLiteral("generic")) : themed;
    }();
    return icon;
}

namespace {

// How much wider or taller a control must grow to show its text whole.
double GrowthFor(QWidget* w) {
    QString text;
    QRect content = w->contentsRect();
    // A check box or button draws its text in the part its style leaves for it.
    auto buttonText = [&](QAbstractButton* button, QStyle::SubElement part) {
        QStyleOptionButton opt;
        opt.initFrom(button);
        opt.text = text = button->text();
        content = button->style()->subElementRect(part, &opt, button);
    };
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->pixmap().isNull()) text = label->text();
    } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
        buttonText(check, QStyle::SE_CheckBoxContents);
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
        buttonText(button, QStyle::SE_PushButtonContents);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        return double(edit->minimumSizeHint().height() - 1) / edit->height();
    }
    if (text.isEmpty() || w->width() <= 0 || w->height() <= 0) return 1.0;
    const QFontMetrics fm = w->fontMetrics();
    const int needWidth = fm.horizontalAdvance(text) + (w->width() - content.width());
    // A pixel of the line's spacing may go; the letters themselves stay whole.
    const int needHeight = fm.height() - 1 + (w->height() - content.height());
    return std::max(double(needWidth) / w->width(), double(needHeight) / w->height());
}

bool IsContainer(const QWidget* w) {
    return w->metaObject() == &QFrame::staticMetaObject ||
           w->metaObject() == &QWidget::staticMetaObject;
}

double Growth(QWidget* parent) {
    double growth = 1.0;
    for (QWidget* w : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (w->isWindow()) continue;
        growth = std::max(growth, IsContainer(w) ? Growth(w) : GrowthFor(w));
    }
    return growth;
}

void Scale(QWidget* parent, double by) {
    for (QWidget* w : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (w->isWindow()) continue;
        const QRect g = w->geometry();
        w->setGeometry(qRound(g.x() * by), qRound(g.y() * by), qRound(g.width() * by),
                       qRound(g.height() * by));
        if (IsContainer(w)) Scale(w, by);
    }
}

} // namespace

void FitToFont(QWidget* window, QSize designSize) {
    const double growth = Growth(window);
    if (growth > 1.0) {
        Scale(window, growth);
        designSize =
            QSize(qRound(designSize.width() * growth), qRound(designSize.height() * growth));
    }
    window->setFixedSize(designSize);
}

TTimer::TTimer(QObject* owner, int interval, bool enabled) : QObject(owner) {
    // Durations are what the user sees (a display up for a second, a splash for 1.3 s): a
    // coarse timer may end them 5 % early.
    timer_.setTimerType(Qt::PreciseTimer);
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
    // In device pixels, so a scaled screen gets the icon's larger images rather than a
    // blown-up small one.
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    QPixmap pm(QSize(width_, height_) * ratio);
    pm.setDevicePixelRatio(ratio);
    pm.fill(Qt::transparent);
    if (!icon.isNull()) {
        QPainter p(&pm);
        icon.paint(&p, QRect(0, 0, width_, height_));
    }
    return pm;
}

std::shared_ptr<TImageList::Image> TImageList::image(const QIcon& icon) {
    const qint64 source = icon.cacheKey();
    if (const auto it = bySource_.find(source); it != bySource_.end()) return it->second;
    auto made = std::make_shared<Image>();
    made->pixmap = render(icon);
    const QImage pixels = made->pixmap.toImage();
    made->look = qHashBits(pixels.constBits(), size_t(pixels.sizeInBytes()));
    for (auto [it, end] = byLook_.equal_range(made->look); it != end; ++it)
        if (it->second->pixmap.toImage() == pixels) {
            it->second->sources.push_back(source);
            bySource_.emplace(source, it->second);
            return it->second;
        }
    made->icon = QIcon(made->pixmap);
    made->sources.push_back(source);
    bySource_.emplace(source, made);
    byLook_.emplace(made->look, made);
    return made;
}

void TImageList::release(std::size_t index) {
    const std::shared_ptr<Image> gone = std::move(images_[index]);
    images_.erase(images_.begin() + std::ptrdiff_t(index));
    // Held now by the two tables and by gone alone: no entry shows it any more.
    if (gone.use_count() > long(gone->sources.size()) + 2) return;
    for (const qint64 source : gone->sources)
        bySource_.erase(source);
    for (auto [it, end] = byLook_.equal_range(gone->look); it != end; ++it)
        if (it->second == gone) {
            byLook_.erase(it);
            break;
        }
}

void TImageList::Clear() {
    images_.clear();
    bySource_.clear();
    byLook_.clear();
}

void TImageList::Insert(int index, const QIcon& icon) {
    index = std::clamp(index, 0, Count());
    images_.insert(images_.begin() + index, image(icon));
}

int TImageList::Add(const QIcon& icon) {
    images_.push_back(image(icon));
    return Count() - 1;
}

void TImageList::Replace(int index, const QIcon& icon) {
    if (index < 0 || index >= Count()) return;
    auto made = image(icon);
    release(std::size_t(index));
    images_.insert(images_.begin() + index, std::move(made));
}

void TImageList::Delete(int index) {
    if (index >= 0 && index < Count()) release(std::size_t(index));
}

QPixmap TImageList::GetPixmap(int index) const {
    if (index < 0 || index >= Count()) return QPixmap();
    return images_[static_cast<size_t>(index)]->pixmap;
}

QIcon TImageList::GetIcon(int index) const {
    if (index < 0 || index >= Count()) return QIcon();
    return images_[static_cast<size_t>(index)]->icon;
}

// Every style but the Mac's lays a menu taller than the screen out in columns; asked whether a
// menu scrolls, this one says yes for its menu, and leaves everything else to the style in use.
namespace {
class ScrollingMenuStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_Menu_Scrollable) return 1;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};
} // namespace

QMenu* NewPopupMenu(QWidget* owner) {
    auto* menu = new QMenu(owner);
    // The proxy owns the style it stands before: a fresh copy of the application's.
    auto* style = new ScrollingMenuStyle(QStyleFactory::create(QApplication::style()->name()));
    style->setParent(menu);
    menu->setStyle(style);
    return menu;
}

TForm::TForm(QWidget* parent, Qt::WindowFlags flags) : QDialog(parent, flags) {}

int TForm::ShowModal() {
    if (isVisible()) throw EInvalidOperation("Cannot make a visible window modal");
    return exec();
}

void TForm::setVisible(bool visible) {
    if (visible && !isVisible()) {
        if (makeControls_) makeControls_();
        PlaceWindow();
    }
    QDialog::setVisible(visible);
}

void TForm::PlaceWindow() {
    const bool framed = !(windowFlags() & Qt::FramelessWindowHint);
    // Qt writes its own hints when it makes the native window; ours replace them after that.
    if (framed) platform::x11::setFrameButtons(this, MinimizeBox);
    if (Position == TPosition::poDesigned) return;
    QRect area = PrimaryScreenGeometry();
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (Position == TPosition::poOwnerFormCenter && owner && owner->isVisible())
        area = owner->frameGeometry();
    // The frame counts: centred is the frame centred, as the user sees the window.
    const QMargins frame = framed ? platform::x11::frameExtents(this) : QMargins();
    const QPoint corner = CentredIn(area, size().grownBy(frame));
    // The native window goes where the frame's corner is to be (the window manager is told
    // to read its position so), but Qt adds the frame it saw at the last showing to what
    // move() gets: take that back off.
    move(corner - (geometry().topLeft() - pos()));
}

void TForm::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    // A window manager that offers minimise anyway: a window without the box comes back, or a
    // dialog minimised while the profiles window is in the tray could never be reached again.
    if (e->type() == QEvent::WindowStateChange && !MinimizeBox && isVisible() &&
        (windowState() & Qt::WindowMinimized))
        QTimer::singleShot(0, this, [this] {
            if (isVisible()) showNormal();
        });
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
