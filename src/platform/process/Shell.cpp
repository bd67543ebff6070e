#include "platform/process/Shell.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStandardPaths>
#include <QTimer>
#include <memory>
#include <sys/prctl.h>
#include <utility>

namespace platform {

namespace {

// Lets through folders and files the user may run (and Windows programs), for the name filter
// "<executable>": a Linux program has no suffix to filter on.
class ExecutableFilter : public QSortFilterProxyModel {
public:
    bool active = false;

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        if (!active) return true;
        const auto* fs = qobject_cast<QFileSystemModel*>(sourceModel());
        if (!fs) return true;
        const QFileInfo info = fs->fileInfo(fs->index(row, 0, parent));
        return info.isDir() || info.isExecutable() ||
               info.suffix().compare(QLatin1String("exe"), Qt::CaseInsensitive) == 0;
    }
};

// The browser a web page goes to without xdg-open, as xdg-open itself picks one: the first
// command of $BROWSER (a list split by ":") that can be run, "%s" in it standing for the page
// (else the page goes last), else the first browser installed of those xdg-open knows. None
// when there is none.
std::optional<QStringList> BrowserFor(const QString& page) {
    for (const QString& command :
         qEnvironmentVariable("BROWSER").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        QStringList words = QProcess::splitCommand(command);
        if (words.isEmpty() || QStandardPaths::findExecutable(words.first()).isEmpty()) continue;
        bool placed = false;
        for (qsizetype i = 1; i < words.size(); ++i) {
            placed = placed || words[i].contains(QLatin1String("%s"));
            words[i].replace(QLatin1String("%s"), page);
        }
        if (!placed) words << page;
        return words;
    }
    for (const char* name : {"x-www-browser", "www-browser", "firefox", "firefox-esr", "chromium",
                             "epiphany", "konqueror", "falkon"})
        if (!QStandardPaths::findExecutable(QLatin1String(name)).isEmpty())
            return QStringList{QLatin1String(name), page};
    return std::nullopt;
}

bool IsWebPage(const QUrl& target) {
    if (target.scheme() == QLatin1String("http") || target.scheme() == QLatin1String("https"))
        return true;
    const QString suffix = QFileInfo(target.toLocalFile()).suffix().toLower();
    return target.isLocalFile() &&
           (suffix == QLatin1String("html") || suffix == QLatin1String("htm"));
}

class DesktopShell : public Shell {
public:
    bool open(const QUrl& target) override {
        // The opener is started detached (its parent exits at once). During a watch it would
        // become our child like the game's orphans, and the browser it starts would count as
        // the game: while it is started, orphans go to init.
        int adopting = 0;
        ::prctl(PR_GET_CHILD_SUBREAPER, &adopting, 0, 0, 0);
        if (adopting) ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
        bool opened = false;
        // Without xdg-utils the toolkit has nothing to open a local page with: the browser,
        // as xdg-open would have chosen it.
        const std::optional<QStringList> browser =
            IsWebPage(target) &&
                    QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty()
                ? BrowserFor(target.isLocalFile() ? target.toLocalFile() : target.toString())
                : std::nullopt;
        if (browser)
            opened = QProcess::startDetached(browser->first(), browser->sliced(1));
        else
            opened = QDesktopServices::openUrl(target);
        if (adopting) ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        return opened;
    }
    void findHandler(const QString& mimeType, std::function<void(bool)> found) override {
        // A web page needs no registered handler: where none is, xdg-open hands it to $BROWSER
        // or the first browser it knows of (the x-www-browser alternative, on a bare window
        // manager often the only one).
        const bool browser = mimeType == QLatin1String("text/html") && BrowserFor({});
        // The same registry xdg-open consults; without xdg-utils nothing is registered.
        auto* query = new QProcess;
        auto answered = std::make_shared<bool>(false);
        auto answer = [query, answered, found = std::move(found), browser](bool registered) {
            if (std::exchange(*answered, true)) return;
            query->deleteLater();
            found(registered || browser);
        };
        QObject::connect(query, &QProcess::finished, query, [query, answer](int code) {
            answer(query->exitStatus() == QProcess::NormalExit && code == 0 &&
                   !query->readAllStandardOutput().trimmed().isEmpty());
        });
        QObject::connect(query, &QProcess::errorOccurred, query,
                         [answer](QProcess::ProcessError e) {
                             if (e == QProcess::FailedToStart) answer(false);
                         });
        // One that hangs is given up on.
        QTimer::singleShot(5000, query, [query, answer] {
            query->kill();
            answer(false);
        });
        query->start(QStringLiteral("xdg-mime"),
                     {QStringLiteral("query"), QStringLiteral("default"), mimeType});
    }
};

class QtPrompts : public Prompts {
public:
    int messageBox(QWidget* parent, const QString& text, const QString& caption,
                   MessageKind kind) override {
        QMessageBox box(parent);
        box.setWindowTitle(caption);
        box.setText(text);
        switch (kind) {
        case MessageKind::Information:
            box.setIcon(QMessageBox::NoIcon);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MessageKind::Error:
            box.setIcon(QMessageBox::Critical);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MessageKind::Confirmation: {
            box.setIcon(QMessageBox::Question);
            QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
            QPushButton* no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
            box.setDefaultButton(yes);
            box.setEscapeButton(no);
            box.exec();
            return box.clickedButton() == yes ? mrYes : mrNo;
        }
        }
        box.exec();
        return mrOk;
    }

    std::optional<QString> openFile(QWidget* parent, const QString& filter,
                                    const QString& initialFile) override {
        QFileDialog dialog(parent);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setNameFilters(QtNameFilters(filter));
        const QStringList toolkit = filter.split(QLatin1Char('|'));
        const QStringList qt = QtNameFilters(filter);
        QString executables;
        for (qsizetype i = 1; i < toolkit.size(); i += 2)
            if (toolkit[i].contains(QLatin1String("<executable>"))) executables = qt.value(i / 2);
        if (!executables.isEmpty()) {
            dialog.setOption(QFileDialog::DontUseNativeDialog);
            auto* proxy = new ExecutableFilter;
            dialog.setProxyModel(proxy);
            auto choose = [proxy, executables](const QString& f) {
                proxy->active = f == executables;
                proxy->invalidate();
            };
            QObject::connect(&dialog, &QFileDialog::filterSelected, proxy, choose);
            choose(dialog.selectedNameFilter());
        }
        if (!initialFile.isEmpty()) {
            const QFileInfo info(initialFile);
            dialog.setDirectory(info.absolutePath());
            dialog.selectFile(info.fileName());
        }
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().first();
    }
};

Shell* g_shell = nullptr;
Prompts* g_prompts = nullptr;

} // namespace

QStringList QtNameFilters(const QString& toolkitFilter) {
    const QStringList parts = toolkitFilter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // "<executable>" is done by a proxy model; to the name filter it is every file.
        patterns.replace(QLatin1String("<executable>"), QLatin1String("*"));
        out << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return out;
}

Shell& shell() {
    static DesktopShell real;
    return g_shell ? *g_shell : real;
}
void setShell(Shell* s) {
    g_shell = s;
}

Prompts& prompts() {
    static QtPrompts real;
    return g_prompts ? *g_prompts : real;
}
void setPrompts(Prompts* p) {
    g_prompts = p;
}

} // namespace platform
