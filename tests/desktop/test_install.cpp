// The Debian package, as a user installs it: built with CPack, unpacked into a scratch root,
// its desktop entry and AppStream data validated, and the installed program run until its
// icon docks, with its tool and its help file found where they were installed.
#include "Wait.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

struct Result {
    int status = -1;
    QString out;
};

Result run(const QString& program, const QStringList& args, const QString& dir = QString(),
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
           int ms = 120000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(ms);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAll())};
}

} // namespace

class InstallTest : public QObject {
    Q_OBJECT
    QTemporaryDir root;
    QString deb;

private slots:
    void packageBuildsWithWorkedOutDependencies() {
        const QString build = qEnvironmentVariable("KELVARO_BUILD");
        const Result r = run("cpack", {"-G", "DEB", "-B", root.filePath("package")}, build);
        QVERIFY2(r.status == 0, qPrintable(r.out));
        deb = root.filePath("package/kelvaro_1.1.0.42_amd64.deb");
        QVERIFY2(QFile::exists(deb), qPrintable(r.out));
        const Result info = run("dpkg-deb", {"-f", deb, "Version", "Depends"});
        QVERIFY(info.out.contains("Version: 1.1.0.42"));
        QVERIFY2(info.out.contains("libqt6widgets6") && info.out.contains("libxcb-randr0") &&
                     info.out.contains("libsqlite3-0"),
                 qPrintable(info.out));
        QCOMPARE(run("dpkg-deb", {"-x", deb, root.filePath("root")}).status, 0);
    }

    void filesAreWhereADesktopLooks() {
        const QString usr = root.filePath("root/usr");
        for (const char* f :
             {"bin/kelvaro", "bin/kelvaro-reg", "share/applications/kelvaro.desktop",
              "share/metainfo/org.example.kelvaro.metainfo.xml",
              "share/icons/hicolor/scalable/apps/kelvaro.svg",
              "share/icons/hicolor/48x48/apps/kelvaro.png",
              "share/icons/hicolor/256x256/apps/kelvaro.png", "share/kelvaro/gamma_help.chm",
              "share/kelvaro/help/index.html", "share/kelvaro/help/hotkeys.html",
              "share/man/man1/kelvaro.1.gz", "share/man/man1/kelvaro-reg.1.gz",
              "share/doc/kelvaro/copyright", "share/doc/kelvaro/changelog.gz"})
            QVERIFY2(QFile::exists(usr + "/" + f), f);
        const Result desktop =
            run("desktop-file-validate", {usr + "/share/applications/kelvaro.desktop"});
        QVERIFY2(desktop.status == 0 && desktop.out.isEmpty(), qPrintable(desktop.out));
        if (!QStandardPaths::findExecutable("appstreamcli").isEmpty()) {
            const Result meta =
                run("appstreamcli", {"validate", "--no-net",
                                     usr + "/share/metainfo/org.example.kelvaro.metainfo.xml"});
            QVERIFY2(meta.status == 0, qPrintable(meta.out));
        }
        const Result man = run("man", {"-l", usr + "/share/man/man1/kelvaro-reg.1.gz"});
        QVERIFY2(man.out.contains("REGEDIT4"), qPrintable(man.out.left(400)));
    }

    // Debian's package checker: no error, and no warning at all (none needs excusing today).
    void lintianAcceptsThePackage() {
        if (QStandardPaths::findExecutable("lintian").isEmpty()) QSKIP("lintian is not installed");
        const Result r =
            run("lintian", {deb}, {}, QProcessEnvironment::systemEnvironment(), 300000);
        QStringList faults;
        for (const QString& line : r.out.split('\n'))
            if (line.startsWith("E: ") || line.startsWith("W: ")) faults << line;
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
    }

    // The man pages parse cleanly, date and all.
    void manPagesAreLintClean() {
        if (QStandardPaths::findExecutable("mandoc").isEmpty()) QSKIP("mandoc is not installed");
        const QString man1 = root.filePath("root/usr/share/man/man1/");
        for (const char* page : {"kelvaro.1.gz", "kelvaro-reg.1.gz"}) {
            // mandoc reads no compressed input.
            const Result r = run("sh", {"-c", "zcat \"$1\" | mandoc -Tlint", "sh", man1 + page});
            QVERIFY2(r.status == 0 && r.out.isEmpty(), qPrintable(page + (": " + r.out)));
        }
    }

    // Help from the tray menu finds the browser: through xdg-open, or without xdg-utils the
    // one $BROWSER names or the x-www-browser alternative, as xdg-open itself would.
    void installedProgramRuns_data() {
        QTest::addColumn<QString>("opener");   // the stand-in that notes what it is given
        QTest::addColumn<QStringList>("idle"); // further programs there, which do nothing
        QTest::addColumn<QString>("browser");  // $BROWSER
        QTest::newRow("xdg-open") << "xdg-open" << QStringList{"xdg-mime", "x-www-browser"} << "";
        QTest::newRow("$BROWSER") << "browse" << QStringList{} << "nothing:browse --new %s";
        QTest::newRow("x-www-browser") << "x-www-browser" << QStringList{} << "";
    }
    void installedProgramRuns() {
        QFETCH(QString, opener);
        QFETCH(QStringList, idle);
        QFETCH(QString, browser);
        const QString usr = root.filePath("root/usr");
        QTemporaryDir config;
        // A stand-in for the desktop's opener, to see what the program hands to it.
        const QString opened = config.filePath("opened.txt");
        QDir().mkpath(config.filePath("bin"));
        QFile stand(config.filePath("bin/" + opener));
        QVERIFY(stand.open(QIODevice::WriteOnly));
        stand.write(QStringLiteral("#!/bin/sh\nfor a; do :; done; printf '%s\\n' \"$a\" >> '%1'\n")
                        .arg(opened)
                        .toUtf8());
        stand.close();
        stand.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        // A bare window manager's desktop: nothing registered for compiled help or for web pages,
        // and the browser only as the x-www-browser alternative, which xdg-open falls back on.
        for (const QString& name : idle) {
            QFile tool(config.filePath("bin/" + name));
            QVERIFY(tool.open(QIODevice::WriteOnly));
            tool.write("#!/bin/sh\nexit 0\n");
            tool.close();
            tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        // Nothing of the system's own: xdg-utils are there only where the row puts them.
        env.insert("PATH", config.filePath("bin"));
        env.insert("BROWSER", browser);
        env.remove("QT_QPA_PLATFORM");

        QProcess kelvaro;
        kelvaro.setProcessEnvironment(env);
        kelvaro.start(usr + "/bin/kelvaro", {});
        QVERIFY(kelvaro.waitForStarted());
        QString icon;
        QVERIFY(waitFor(
            [&] {
                for (const QString& id :
                     run("xdotool", {"search", "--onlyvisible", "--classname", "^kelvaro$"})
                         .out.split('\n', Qt::SkipEmptyParts))
                    if (run("xdotool", {"getwindowgeometry", id}).out.contains("22x22")) icon = id;
                return !icon.isEmpty();
            },
            15000));
        const Result q = run(usr + "/bin/kelvaro-reg",
                             {"query", "HKCU\\Software\\Orvendale Software\\Kelvaro"}, {}, env);
        QVERIFY2(q.status == 0 && q.out.contains("Kelvaro\\Profiles"), qPrintable(q.out));
        // Help from the tray menu: Profiles, Options, About, Help.
        QTest::qWait(1500);
        run("xdotool", {"mousemove", "--window", icon, "11", "11", "click", "3"});
        QTest::qWait(600);
        run("xdotool", {"key", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY(waitFor([&] { return QFile::exists(opened); }, 5000));
        QFile f(opened);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString url = QString::fromUtf8(f.readAll()).trimmed();
        // The help pages in the browser, as no viewer of compiled help is there.
        QCOMPARE(QUrl::fromUserInput(url).toLocalFile(),
                 QFileInfo(usr + "/share/kelvaro/help/index.html").absoluteFilePath());
        ::kill(pid_t(kelvaro.processId()), SIGTERM);
        QVERIFY(kelvaro.waitForFinished(10000));
        QCOMPARE(kelvaro.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "test_install.moc"
