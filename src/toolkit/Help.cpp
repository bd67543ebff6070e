#include "toolkit/Help.h"

#include "platform/process/Shell.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

const QString HelpMimeType = QStringLiteral("application/vnd.ms-htmlhelp");

QString ProgramFolder() {
    QString dir = QCoreApplication::applicationDirPath();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/');
}

QString HelpFilePath() {
    const QString beside = ProgramFolder() + QStringLiteral("gamma_help.chm");
    if (QFileInfo::exists(beside)) return beside;
    // Installed: <prefix>/bin/kelvaro finds <prefix>/share/kelvaro/gamma_help.chm.
    return ProgramFolder() + QStringLiteral("../share/kelvaro/gamma_help.chm");
}

QUrl HelpTarget(bool viewer) {
    const QFileInfo chm(HelpFilePath());
    if (!chm.exists()) return QUrl();
    if (!viewer) {
        // A stock desktop has no help viewer: the pages it was compiled from, in the browser.
        const QString index = chm.dir().filePath(QStringLiteral("help/index.html"));
        if (QFileInfo::exists(index))
            return QUrl::fromLocalFile(QFileInfo(index).absoluteFilePath());
    }
    return QUrl::fromLocalFile(chm.absoluteFilePath());
}

void OpenHelp() {
    if (!QFileInfo::exists(HelpFilePath())) return;
    // The desktop's registry is read by a program of its own: asked without waiting for it.
    platform::shell().findHandler(HelpMimeType, [](bool viewer) {
        const QUrl target = HelpTarget(viewer);
        if (target.isEmpty()) return;
        auto open = [target](bool handled) {
            if (handled && platform::shell().open(target)) return;
            // Handed to a desktop with nothing to show it, the file would simply not appear.
            platform::prompts().messageBox(
                nullptr,
                QStringLiteral("No program on this desktop can open the help file %1.")
                    .arg(target.toLocalFile()),
                QStringLiteral("Kelvaro"), platform::MessageKind::Error);
        };
        if (target.fileName().endsWith(QLatin1String(".chm")))
            open(viewer);
        else
            platform::shell().findHandler(QStringLiteral("text/html"), open);
    });
}
