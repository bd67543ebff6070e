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
#include <sys/prctl.h>

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

class DesktopShell : public Shell {
public:
    bool open(const QUrl& target) override {
        // The opener is started detached (its parent exits at once). During a watch it would
        // become our child like the game's orphans, and the browser it starts would count as
        // the game: while it is started, orphans go to init.
        int adopting = 0;
        ::prctl(PR_GET_CHILD_SUBREAPER, &adopting, 0, 0, 0);
        if (adopting) ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
        const bool opened = QDesktopServices::openUrl(target);
        if (adopting) ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        return opened;
    }
    bool hasHandler(const QString& mimeType) override {
        // The same registry xdg-open consults; without xdg-utils nothing is registered.
        QProcess query;
        query.start(QStringLiteral("xdg-mime"),
                    {QStringLiteral("query"), QStringLiteral("default"), mimeType});
        if (query.waitForFinished(5000) && query.exitStatus() == QProcess::NormalExit &&
            query.exitCode() == 0 && !query.readAllStandardOutput().trimmed().isEmpty())
            return true;
        // A web page needs no registered handler: where none is, xdg-open hands it to $BROWSER
        // or the first browser it knows of (the x-www-browser alternative, on a bare window
        // manager often the only one).
        if (mimeType != QLatin1String("text/html")) return false;
        const QString browser = qEnvironmentVariable("BROWSER").section(QLatin1Char(':'), 0, 0);
        if (!browser.isEmpty() &&
            !QStandardPaths::findExecutable(browser.section(QLatin1Char(' '), 0, 0)).isEmpty())
            return true;
        for (const char* name : {"x-www-browser", "www-browser", "firefox", "firefox-esr",
                                 "chromium", "epiphany", "konqueror", "falkon"})
            if (!QStandardPaths::findExecutable(QLatin1String(name)).isEmpty()) return true;
        return false;
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
