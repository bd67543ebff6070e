#include "toolkit/Toolkit.h"

#include "platform/system/IconReader.h"
#include "platform/system/X11.h"
#include "toolkit/Application.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
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

namespace {
// Read as PNG and nothing else: left to guess, Qt loads every image plugin (and the SVG
// library behind one of them) to ask each whether it reads the file.
QPixmap ReadArt(const QString& file) {
    QImageReader reader(QStringLiteral(":/kelvaro/%1.png").arg(file), "PNG");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}
} // namespace

QPixmap ArtPixmap(const QString& name) {
    // On a screen scaled by two or more, the picture drawn at twice the size stays sharp.
    if (qApp && qApp->devicePixelRatio() > 1.0) {
        QPixmap sharp = ReadArt(name + QStringLiteral("@2x"));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return ReadArt(name);
}

QPixmap ArtPixmap(const QString& name, double growth) {
    QPixmap art = ArtPixmap(name);
    if (growth <= 1.0 || art.isNull()) return art;
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    const QSize grown = (art.deviceIndependentSize() * growth * ratio).toSize();
    // Drawn down from the picture made at twice the size where it has to grow past its own.
    if (grown.width() > art.width()) {
        const QPixmap large = ReadArt(name + QStringLiteral("@2x"));
        if (!large.isNull()) art = large;
    }
    QPixmap out = art.scaled(grown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    out.setDevicePixelRatio(ratio);
    return out;
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

QRect FocusScreenGeometry() {
    if (const auto centre = platform::x11::activeWindowCentre()) {
        // The window system counts device pixels; a screen keeps its corner and scales its size.
        for (const QScreen* s : QGuiApplication::screens()) {
            const QRect g = s->geometry();
            if (QRect(g.topLeft(), g.size() * s->devicePixelRatio()).contains(*centre)) return g;
        }
    }
    if (const QScreen* s = QGuiApplication::screenAt(QCursor::pos())) return s->geometry();
    return PrimaryScreenGeometry();
}

QIcon GenericProgramIcon() {
    static const QIcon icon = [] {
        const QIcon themed = platform::ThemeProgramIcon();
        return themed.isNull() ? ArtIcon(QStringLiteral("generic")) : themed;
    }();
    return icon;
}

namespace {

// Pixels a caption keeps free at its end, and what a window manager's frame is reckoned to take
// on each side (four times that for the title bar) before any frame has been seen.
constexpr int LabelRoom = 4;
constexpr int FrameAllowance = 8;

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
    // A caption keeps a little room to the control beside it rather than touching it.
    int room = 0;
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->pixmap().isNull()) text = label->text();
        room = LabelRoom;
    } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
        buttonText(check, QStyle::SE_CheckBoxContents);
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
        buttonText(button, QStyle::SE_PushButtonContents);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        return double(edit->minimumSizeHint().height() - 1) / edit->height();
    }
    if (text.isEmpty() || w->width() <= 0 || w->height() <= 0) return 1.0;
    const QFontMetrics fm = w->fontMetrics();
    const int needWidth = fm.horizontalAdvance(text) + room + (w->width() - content.width());
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

double FitToFont(QWidget* window, QSize designSize) {
    // Never larger than the screen's work area, a frame included: a window whose title bar is
    // off the screen can't be moved or closed. Past that, captions are cut rather than lost.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QSize frame = QSize(FrameAllowance, FrameAllowance * 4);
    const double fits = std::min(double(work.width() - frame.width()) / designSize.width(),
                                 double(work.height() - frame.height()) / designSize.height());
    const double growth = std::max(1.0, std::min(Growth(window), fits));
    if (growth > 1.0) {
        Scale(window, growth);
        designSize =
            QSize(qRound(designSize.width() * growth), qRound(designSize.height() * growth));
    }
    window->setFixedSize(designSize);
    return growth;
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
        // A window that must not stay minimised never opens minimised either, whatever state a
        // window manager left it in the last time.
        if (KeepsFromMinimizing()) setWindowState(windowState() & ~Qt::WindowMinimized);
        PlaceWindow();
    }
    QDialog::setVisible(visible);
}

void TForm::PlaceWindow() {
    const bool framed = !(windowFlags() & Qt::FramelessWindowHint);
    // Qt writes its own hints when it makes the native window; ours replace them after that.
    if (framed) platform::x11::setFrameButtons(this, MinimizeBox);
    // A window with an owner is the owner's dialog: it never has a task-bar button of its own.
    if (parentWidget()) platform::x11::setSkipTaskbar(this);
    if (Position == TPosition::poDesigned) return;
    if (!framed) {
        MoveToPosition(QMargins());
        return;
    }
    // The frame is the one known so far; where the window manager says otherwise (answering
    // the request, or putting the frame on at mapping), the window moves to match.
    platform::x11::watchFrameExtents(this, [this](QMargins frame) {
        if (placing_ && isVisible() && frame != placedWith_) MoveToPosition(frame);
    });
    placing_ = true;
    MoveToPosition(platform::x11::frameExtents(this));
}

void TForm::MoveToPosition(const QMargins& frame) {
    QRect area = PrimaryScreenGeometry();
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (Position == TPosition::poOwnerFormCenter && owner && owner->isVisible())
        area = owner->geometry().marginsAdded(platform::x11::frameExtents(owner->window()));
    // Centred is the frame centred, as the user sees the window; the window itself goes
    // inside the frame. A geometry places the window's own area, whatever Qt knows of the
    // frame from an earlier showing.
    const QPoint corner = CentredIn(area, size().grownBy(frame));
    setGeometry(QRect(corner + QPoint(frame.left(), frame.top()), size()));
    placedWith_ = frame;
}

bool TForm::KeepsFromMinimizing() const {
    if (!MinimizeBox) return true;
    const QWidget* modal = QApplication::activeModalWidget();
    return modal && modal != this && modal->isVisible();
}

void TForm::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    // A window manager that offers minimise anyway: the window comes back, and with it the
    // dialog open modally, or a dialog minimised while the profiles window is in the tray
    // (or the two minimised together) could never be reached again.
    if (e->type() == QEvent::WindowStateChange && isVisible() &&
        (windowState() & Qt::WindowMinimized) && KeepsFromMinimizing())
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && (windowState() & Qt::WindowMinimized)) showNormal();
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && modal->isVisible()) {
                if (modal->windowState() & Qt::WindowMinimized) modal->showNormal();
                modal->raise();
                modal->activateWindow();
            }
        });
}

void TForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // The frame a window manager puts on at mapping comes a moment after the window is up.
    if (placing_ && !e->spontaneous())
        QTimer::singleShot(2000, this, [this, showing = ++shown_] {
            if (showing == shown_) placing_ = false;
        });
    if (!e->spontaneous()) FormShow();
}

void TForm::hideEvent(QHideEvent* e) {
    QDialog::hideEvent(e);
    placing_ = false;
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
