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

QUrl HelpTarget() {
    const QFileInfo chm(HelpFilePath());
    if (!chm.exists()) return QUrl();
    if (!platform::shell().hasHandler(HelpMimeType)) {
        // A stock desktop has no help viewer: the pages it was compiled from, in the browser.
        const QString index = chm.dir().filePath(QStringLiteral("help/index.html"));
        if (QFileInfo::exists(index))
            return QUrl::fromLocalFile(QFileInfo(index).absoluteFilePath());
    }
    return QUrl::fromLocalFile(chm.absoluteFilePath());
}

void OpenHelp() {
    const QUrl target = HelpTarget();
    if (target.isEmpty()) return;
    const QString type = target.fileName().endsWith(QLatin1String(".chm"))
                             ? HelpMimeType
                             : QStringLiteral("text/html");
    if (platform::shell().hasHandler(type) && platform::shell().open(target)) return;
    // Handed to a desktop with nothing to show it, the file would simply not appear.
    platform::prompts().messageBox(
        nullptr,
        QStringLiteral("No program on this desktop can open the help file %1.")
            .arg(target.toLocalFile()),
        QStringLiteral("Kelvaro"), platform::MessageKind::Error);
}
