#include "toolkit/Help.h"

#include "platform/Shell.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>

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

void OpenHelp() {
    const QString path = QFileInfo(HelpFilePath()).absoluteFilePath();
    if (!QFileInfo::exists(path)) return;
    platform::shell().open(QUrl::fromLocalFile(path));
}
