// Small toolkit components the windows are built from: a timer with Enabled/Interval
// semantics, an image list, and the form base with show/close handlers and modal showing.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <QTimer>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

class QMenu;

// The program's artwork: ":/kelvaro/<name>.png", and an icon of every "<name>-<size>.png".
QPixmap ArtPixmap(const QString& name);
// The same picture grown with its window's layout (FitToFont's factor).
QPixmap ArtPixmap(const QString& name, double growth);
QIcon ArtIcon(const QString& name);
// The generic program icon: the icon theme's, or our own artwork where the theme has none.
QIcon GenericProgramIcon();

// Where a window of this size (its frame included) stands centred in an area.
QPoint CentredIn(const QRect& area, const QSize& size);
// The primary monitor's geometry (its position as well as its size).
QRect PrimaryScreenGeometry();
// The screen holding the window that has the keyboard, else the pointer's, else the primary.
QRect FocusScreenGeometry();

// Fixes a window laid out for the design font at its design size, grown to fit the font it
// has now (the desktop's): when a caption, check box, button or text field would clip its
// text, every position and size in the window grows by the one factor that makes all of them
// fit, so the arrangement stays as designed, but never past what the primary screen's work
// area holds. Where everything fits, nothing changes. Returns the factor.
double FitToFont(QWidget* window, QSize designSize);

// A pop-up menu that stays one column whatever its length and scrolls where it is taller than
// the screen, so every item can be reached: the styles would lay a long menu out in columns,
// and the columns past the screen's edge could never be reached.
QMenu* NewPopupMenu(QWidget* owner);

// A message-driven timer. Enabling a running timer leaves its count alone.
class TTimer : public QObject {
    Q_OBJECT
public:
    explicit TTimer(QObject* owner = nullptr, int interval = 1000, bool enabled = true);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    int Interval() const { return timer_.interval(); }
    void SetInterval(int ms);
    std::function<void()> OnTimer;

private:
    QTimer timer_;
    bool enabled_ = false;
};

// A list of images of one size; entry i is addressed by index. Entries drawn from one icon, or
// drawing alike, share one image: a thousand profiles of one program cost one picture.
class TImageList {
public:
    TImageList(int width, int height) : width_(width), height_(height) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    int Count() const { return static_cast<int>(images_.size()); }
    void Clear();
    // Scales the icon to the list's size; an empty icon gives an empty image.
    void Insert(int index, const QIcon& icon);
    int Add(const QIcon& icon);
    void Replace(int index, const QIcon& icon);
    void Delete(int index);
    // The same icon object for an entry every time, so that its users share it as well.
    QIcon GetIcon(int index) const;
    QPixmap GetPixmap(int index) const;

private:
    struct Image {
        QPixmap pixmap;
        QIcon icon;
        std::size_t look = 0;        // a hash of its pixels
        std::vector<qint64> sources; // the icons it was drawn from
    };
    std::shared_ptr<Image> image(const QIcon& icon);
    // The entry's image goes; the last entry to let an image go forgets it.
    void release(std::size_t index);
    QPixmap render(const QIcon& icon) const;
    int width_;
    int height_;
    std::vector<std::shared_ptr<Image>> images_;
    std::unordered_map<qint64, std::shared_ptr<Image>> bySource_;
    std::unordered_multimap<std::size_t, std::shared_ptr<Image>> byLook_;
};

enum class TCloseAction { caNone, caHide, caFree, caMinimize };
// Where a window opens each time it is shown: where it was, centred on the primary monitor, or
// centred on its owner (on the primary monitor while the owner is hidden).
enum class TPosition { poDesigned, poScreenCenter, poOwnerFormCenter };

// A window built from its layout with FormShow/FormClose handlers and modal showing.
class TForm : public QDialog {
    Q_OBJECT
public:
    explicit TForm(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    // Raises "Cannot make a visible window modal" when the window is already up.
    int ShowModal();
    void Close() { close(); }
    void setVisible(bool visible) override;

    TPosition Position = TPosition::poDesigned;
    // The frame offers the system menu and close; a minimise box only when this is on.
    bool MinimizeBox = false;

protected:
    virtual void FormShow() {}
    virtual void FormClose(TCloseAction& action) { (void)action; }
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
    void reject() override; // Escape acts only through a cancel button
    bool cancelOnEscape_ = false;

    void hideEvent(QHideEvent* e) override;
    // Whether a minimise of this window is undone at once: a window without a minimise box,
    // and any window while another of the program's windows is open modally (the window
    // manager minimises a dialog's owner with it, and hiding the dialog would end its modal
    // loop half-way).
    bool KeepsFromMinimizing() const;

private:
    // The frame's buttons and the position, settled before the window is mapped.
    void PlaceWindow();
    // Puts the window, of a frame this size, where its position says.
    void MoveToPosition(const QMargins& frame);
    // The window is being placed: a frame that turns out other than the one it was placed
    // with moves it again, until a moment after it is up.
    bool placing_ = false;
    int shown_ = 0; // showings so far, to tell this one's moment from an earlier one's
    QMargins placedWith_;
    template <class Controls> friend class TLazyControls;
    // Makes the controls made late; runs before the window is first placed and shown.
    std::function<void()> makeControls_;
};

// A window's controls, made from its layout the first time anything reaches for them, or
// when the window is first shown: a dialog that is never opened costs its own object and
// nothing more.
template <class Controls> class TLazyControls {
public:
    TLazyControls(TForm* form, std::function<void(Controls&)> make) : make_(std::move(make)) {
        form->makeControls_ = [this] { get(); };
    }
    TLazyControls(const TLazyControls&) = delete;
    TLazyControls& operator=(const TLazyControls&) = delete;
    Controls* operator->() { return get(); }
    Controls* get() {
        if (!controls_) {
            controls_ = std::make_unique<Controls>();
            make_(*controls_);
        }
        return controls_.get();
    }
    bool Made() const { return controls_ != nullptr; }

private:
    std::unique_ptr<Controls> controls_;
    std::function<void(Controls&)> make_;
};
