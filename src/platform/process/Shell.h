// Handing documents, web addresses and mail addresses to the desktop, and asking the user.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

class QWidget;

namespace platform {

class Shell {
public:
    virtual ~Shell() = default;
    // Opens the target with the desktop's handler; the result is only informative.
    virtual bool open(const QUrl& target) = 0;
    // Finds out whether the desktop has an application registered for files of this type (for
    // web pages, also a browser xdg-open falls back on) and tells found, from the event loop or
    // at once.
    virtual void findHandler(const QString& mimeType, std::function<void(bool)> found) = 0;
};

enum class MessageKind { Information, Confirmation, Error };
// Answers, as the toolkit numbers them.
constexpr int mrOk = 1;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

class Prompts {
public:
    virtual ~Prompts() = default;
    virtual int messageBox(QWidget* parent, const QString& text, const QString& caption,
                           MessageKind kind) = 0;
    // A file-open dialog; filter in the toolkit's "Name|patterns|Name|patterns" form.
    virtual std::optional<QString> openFile(QWidget* parent, const QString& filter,
                                            const QString& initialFile) = 0;
};

Shell& shell();
void setShell(Shell* shell);
Prompts& prompts();
void setPrompts(Prompts* prompts);

// "Executables|*.exe" -> Qt's "Executables (*.exe)" list.
QStringList QtNameFilters(const QString& toolkitFilter);

} // namespace platform
