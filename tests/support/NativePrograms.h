// Native programs with desktop entries, as a desktop has them: count scripts, and entries
// desktop entries in a private XDG data folder, the first of which start the scripts and name
// an icon file. The environment points the program at that folder while the object lives.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

class NativePrograms {
public:
    NativePrograms(int count, int entries, const QString& iconFile) {
        QDir root(dir.path());
        root.mkpath(QStringLiteral("bin"));
        root.mkpath(QStringLiteral("data/applications"));
        for (int i = 0; i < count; ++i) {
            const QString path = dir.filePath(QStringLiteral("bin/tool%1").arg(i));
            write(path, "#!/bin/sh\n");
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            programs << path;
        }
        for (int i = 0; i < entries; ++i) {
            const QString exec =
                i < count ? programs[i] : QStringLiteral("/opt/other/app%1").arg(i);
            write(dir.filePath(QStringLiteral("data/applications/app%1.desktop").arg(i)),
                  QStringLiteral("[Desktop Entry]\nType=Application\nName=App %1\nComment=An "
                                 "application\nExec=\"%2\" %U\nIcon=%3\nCategories=Utility;\n")
                      .arg(i)
                      .arg(exec, QFileInfo(iconFile).absoluteFilePath())
                      .toUtf8());
        }
        oldHome = qgetenv("XDG_DATA_HOME");
        oldDirs = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());
        qputenv("XDG_DATA_DIRS", dir.filePath(QStringLiteral("none")).toUtf8());
    }
    ~NativePrograms() {
        qputenv("XDG_DATA_HOME", oldHome);
        qputenv("XDG_DATA_DIRS", oldDirs);
    }
    QTemporaryDir dir;
    QStringList programs;

private:
    static void write(const QString& path, const QByteArray& data) {
        QFile f(path);
        if (f.open(QIODevice::WriteOnly)) f.write(data);
    }
    QByteArray oldHome, oldDirs;
};
