#include "toolkit/Application.h"

#include "platform/process/Shell.h"
#include "platform/store/Hive.h"
#include "platform/system/X11.h"
#include "toolkit/Toolkit.h"

#include <QEvent>
#include <QMessageBox>
#include <QWidget>

TApplication* Application = nullptr;

namespace {

const QEvent::Type MessageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class MessageEvent : public QEvent {
public:
    explicit MessageEvent(const TMessage& m) : QEvent(MessageEventType), msg(m) {}
    TMessage msg;
};

} // namespace

TMessageWindow::TMessageWindow(std::function<void(TMessage&)> proc) : proc_(std::move(proc)) {
    handle_ = Application ? Application->nextHandle_++ : 0;
    if (Application) Application->windows_[handle_] = this;
}

TMessageWindow::~TMessageWindow() {
    if (Application) Application->windows_.erase(handle_);
}

static void InitKelvaroResources() {
    Q_INIT_RESOURCE(kelvaro);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    InitKelvaroResources();
    Application = this;
    platform::setMessageSink(this);
    setQuitOnLastWindowClosed(false);
}

namespace {
// Something went to the store's own thread: what it writes may have a failure to tell.
bool g_wroteBehind = false;
} // namespace

TApplication::~TApplication() {
    // Written before the application goes, which a failure would be told to.
    if (g_wroteBehind) platform::Hive::settleInstance();
    if (platform::messageSink() == this) platform::setMessageSink(nullptr);
    if (Application == this) Application = nullptr;
}

QString TApplication::ErrorText(const QString& message) {
    if (!message.isEmpty() && message.back().unicode() > u'.') return message + QLatin1Char('.');
    return message;
}

void TApplication::ShowException(const std::exception& e) {
    // A failure during start-up comes before the program's icon is set.
    if (QGuiApplication::windowIcon().isNull())
        QGuiApplication::setWindowIcon(ArtIcon(QStringLiteral("icon")));
    const QString text = ErrorText(QString::fromUtf8(e.what()));
    // A box waits for its OK in an event loop of its own, where hot keys and timers still run:
    // the same failure again (a store in use, a hot key held) must not pile up boxes.
    if (openErrors_.contains(text)) return;
    openErrors_.append(text);
    struct Closed {
        QStringList& open;
        ~Closed() { open.removeLast(); }
    } closed{openErrors_};
    if (ErrorBox) {
        ErrorBox(Title, text);
        return;
    }
    platform::prompts().messageBox(nullptr, text, Title, platform::MessageKind::Error);
}

void TApplication::PostMessage(const TMessage& msg) {
    postEvent(this, new MessageEvent(msg));
}

bool TApplication::Dispatch(TMessage& msg) {
    auto it = windows_.find(msg.Wnd);
    if (it == windows_.end()) return false;
    it->second->Dispatch(msg);
    return true;
}

LRESULT TApplication::SendMessage(TMessage msg) {
    Dispatch(msg);
    return msg.Result;
}

bool TApplication::event(QEvent* e) {
    if (e->type() == MessageEventType) {
        TMessage msg = static_cast<MessageEvent*>(e)->msg;
        bool handled = false;
        if (OnMessage) OnMessage(msg, handled);
        if (!handled) Dispatch(msg);
        return true;
    }
    return QApplication::event(e);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        HandleException(e);
    }
    return false;
}

void TApplication::HookMainWindow(const void* owner, TWindowHook hook) {
    hooks_[owner] = std::move(hook);
}

void TApplication::UnhookMainWindow(const void* owner) {
    hooks_.erase(owner);
}

void TApplication::MainWindowMessage(TMessage& msg) {
    // A hook may remove itself or others while it runs: walk a copy.
    const auto hooks = hooks_;
    for (const auto& [owner, hook] : hooks)
        if (hooks_.count(owner) && hook(msg)) break;
}

void TApplication::Minimize() {
    // The program's forms go; the tray icon's own window, menus and the on-screen display stay.
    for (QWidget* w : topLevelWidgets())
        if (w->isVisible() && qobject_cast<TForm*>(w)) w->hide();
}

void TApplication::Restore() {
    if (!MainForm) return;
    MainForm->setWindowState(MainForm->windowState() & ~Qt::WindowMinimized);
}

void TApplication::HideTaskbarWindow(QWidget* shown) {
    platform::x11::setSkipTaskbar(shown);
}

QWidget* TApplication::ActiveForm() const {
    return activeWindow();
}

void TApplication::Terminate() {
    terminated_ = true;
    // Not quit(): that asks every window to close first, and the profiles window refuses
    // when it goes to the tray instead.
    exit(0);
}

void TApplication::Run() {
    if (terminated_) return;
    exec();
}

void WriteBehind(const QString& key, std::function<void()> change) {
    g_wroteBehind = true;
    platform::Hive::instance().writeBehind(key, std::move(change), [](const std::string& why) {
        if (Application) Application->HandleException(std::runtime_error(why));
    });
}
