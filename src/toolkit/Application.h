// The application object: title, main form, the application-wide message hook, hooks on the
// main window's messages, minimise and restore of the whole application, termination and the
// default error box.
#pragma once

#include "platform/system/Messages.h"

#include <QApplication>
#include <QPointer>
#include <functional>
#include <map>
#include <stdexcept>
#include <type_traits>

class QWidget;

// Errors the toolkit raises.
class EInvalidOperation : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EOutOfResources : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using TMessageEvent = std::function<void(TMessage& msg, bool& handled)>;
using TWindowHook = std::function<bool(TMessage& msg)>;

// A hidden window that receives messages by handle.
class TMessageWindow {
public:
    explicit TMessageWindow(std::function<void(TMessage&)> proc);
    ~TMessageWindow();
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;
    HWND Handle() const { return handle_; }
    void Dispatch(TMessage& msg) { proc_(msg); }

private:
    HWND handle_;
    std::function<void(TMessage&)> proc_;
};

class TApplication : public QApplication, public platform::MessageSink {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    QString Title;
    bool ShowMainForm = true;
    TMessageEvent OnMessage;
    QPointer<QWidget> MainForm;

    // The error box: caption Title, error icon, OK; the text follows the "." rule.
    void ShowException(const std::exception& e);
    void HandleException(const std::exception& e) { ShowException(e); }
    static QString ErrorText(const QString& message);

    // Message queue: posted messages pass OnMessage first, then reach their window.
    void PostMessage(const TMessage& msg) override;
    LRESULT SendMessage(TMessage msg);
    bool Dispatch(TMessage& msg); // false when no window has that handle

    // Hooks that see every message of the main window first.
    void HookMainWindow(const void* owner, TWindowHook hook);
    void UnhookMainWindow(const void* owner);
    bool HasMainWindowHook(const void* owner) const { return hooks_.count(owner) != 0; }
    void MainWindowMessage(TMessage& msg);

    // Minimise sends every window of the program away; Restore brings the main form back.
    void Minimize();
    void Restore();
    // The program has no task-bar button while its main form is hidden.
    void HideTaskbarWindow(QWidget* shown);
    QWidget* ActiveForm() const;

    void Terminate();
    bool Terminated() const { return terminated_; }
    void Run();

    bool notify(QObject* receiver, QEvent* event) override;

    // Tests replace the error box.
    std::function<void(const QString& caption, const QString& text)> ErrorBox;

protected:
    bool event(QEvent* e) override;

private:
    friend class TMessageWindow;
    std::map<HWND, TMessageWindow*> windows_;
    std::map<const void*, TWindowHook> hooks_;
    bool terminated_ = false;
    HWND nextHandle_ = 0x1000;
    QStringList openErrors_; // texts of the error boxes up now
};

extern TApplication* Application;

// Makes change (a few writes to the store) without waiting for the disk: the store's own thread
// writes it, after every change handed over before it, and one of the same key still waiting
// is replaced by it. The store is read again only once everything handed over is in it. A
// failure is shown as a handler's failure is, as soon as it is known.
void WriteBehind(const QString& key, std::function<void()> change);

// Runs f and sends any exception to the error box: for handlers connected to signals. The
// wrapper takes exactly the handler's parameters, so Qt matches it to the signal as it would
// the handler itself.
namespace detail {
template <typename F, typename Op> struct GuardedCall;
template <typename F, typename C, typename R, typename... Args>
struct GuardedCall<F, R (C::*)(Args...) const> {
    static auto wrap(F f) {
        return [f](Args... args) {
            try {
                f(std::forward<Args>(args)...);
            } catch (const std::exception& e) {
                if (Application) Application->HandleException(e);
            }
        };
    }
};
} // namespace detail

template <typename F> auto Guarded(F f) {
    return detail::GuardedCall<F, decltype(&F::operator())>::wrap(std::move(f));
}
