// A game as launchers start it: 2 s in two processes (its first ends after 0.5 s), marking its
// start and, from its last process, its end. Around it, the shapes a profile's program takes:
// wrapper scripts (one leaves a Wine server), a stand-in for Steam's client that hands the
// request on to the client already running (or becomes it and stays), which starts the game (a
// non-Steam game in Steam by its 64-bit id), and a Windows game (tests/support/wingame.c) run
// by Debian's Wine in a prefix made once, also with a second Wine program of that prefix
// started by hand during the game and running on after it.
// A game with a window runs `window` (a command line) in its place, for as long as that runs.
#pragma once

#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <csignal>

struct Games {
    QTemporaryDir dir;
    int run = 0; // each run in a folder of its own: a game left running can't answer for the next
    QString shape;
    mutable QProcess byHand; // a Wine program the user started, not the launch
    QString window;
    static QStringList shapes() {
        return {"game & exit",
                "setsid -f",
                "double fork",
                "exec",
                "waits",
                "steam hands off",
                "steam client stays",
                "steam shortcut",
                "wine server lingers",
                "wine program",
                "wine program, another by hand",
                "bwrap --unshare-pid"};
    }
    // Why a shape can't run here (no Wine, no Windows game built), or an empty text.
    static QString missing(const QString& shape) {
        if (!shape.startsWith("wine program")) return {};
        if (QStandardPaths::findExecutable("wine").isEmpty()) return "wine is not installed";
        return QFile::exists(windowsGame()) ? QString() : "no " + windowsGame();
    }
    static QString windowsGame() {
        return qEnvironmentVariable("KELVARO_BUILD") + "/tests/wingame.exe";
    }
    QString path(const QString& f) const { return dir.filePath(QString::number(run) + "/" + f); }
    // What `pgrep -f` finds the current run's game processes by (Wine shows the path its way).
    QString gamePattern() const {
        return QFileInfo(dir.path()).fileName() + "[/\\\\]" + QString::number(run) +
               "[/\\\\](\\.[/\\\\])?gam[e]"; // the scripts run "$d/game", $d ending in "/."
    }
    bool started() const { return QFile::exists(path("started")); }
    bool done() const { return QFile::exists(path("done")); }
    QString script(const QString& name, const QString& body) const {
        QFile f(path(name));
        f.open(QIODevice::WriteOnly);
        f.write(("#!/bin/sh\nd='" + path(".") + "'\n" + body).toUtf8());
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return f.fileName();
    }
    // The profile's program and arguments for a shape; a client to hand off to is started.
    std::pair<QString, QString> program(const QString& shape) {
        stopClient();
        this->shape = shape;
        QDir(dir.path()).mkdir(QString::number(++run));
        script("game", window.isEmpty()
                           ? "touch \"$d/started\"\n(sleep 2; touch \"$d/done\") &\nsleep 0.5\n"
                           : "touch \"$d/started\"\nexec " + window + "\n");
        const QString steam = script(
            "steam", "[ -p \"$d/pipe\" ] && { echo \"$@\" > \"$d/pipe\"; sleep 0.5; exit 0; }\n"
                     "mkfifo \"$d/pipe\"; echo $$ > \"$d/client\"\n"
                     "run() { sleep 1; id=$(echo \"$*\" | tr -c 0-9 ' ' | awk '{print $NF}')\n"
                     "  app=$id; [ ${#id} -gt 10 ] && app=0\n"
                     "  SteamAppId=$app SteamGameId=$id \"$d/game\" & }\n"
                     "[ $# -gt 0 ] && run \"$@\"\n"
                     "while :; do read -r line < \"$d/pipe\" && run $line; done\n");
        if (shape == "steam hands off" && QProcess::startDetached(steam, {}))
            waitFor([&] { return QFile::exists(path("pipe")); }, 2000);
        if (shape.startsWith("steam"))
            return {steam, shape.endsWith("off")        ? "-applaunch 570"
                           : shape.endsWith("shortcut") ? "steam://rungameid/14730514661577326592"
                                                        : "steam://rungameid/570"};
        if (shape.startsWith("wine program")) {
            makePrefix();
            QFile::copy(windowsGame(), path("game.exe"));
            return {path("game.exe"), QString()};
        }
        const QString body =
            shape == "game & exit"           ? "\"$d/game\" & exit 0"
            : shape == "setsid -f"           ? "setsid -f \"$d/game\""
            : shape == "double fork"         ? "( \"$d/game\" & )"
            : shape == "exec"                ? "exec \"$d/game\""
            : shape == "bwrap --unshare-pid" ? "exec bwrap --unshare-pid --dev-bind / / \"$d/game\""
            : shape == "wine server lingers"
                ? "cp /bin/sleep \"$d/wineserver64\"; (\"$d/wineserver64\" 4 &); \"$d/game\""
                : "\"$d/game\" & wait";
        return {script("wrapper", body + "\n"), QString()};
    }
    // How long after the game's end back() held, on() having held until that end:
    // -2 when on() failed first, -1 when back() did not hold within 3 s.
    qint64 endToBack(const std::function<bool()>& on, const std::function<bool()>& back) const {
        if (shape.endsWith("by hand") && waitFor([&] { return started() || !on(); }, 30000)) {
            // The user starts another program of the prefix, which runs 6 s more than the game.
            QDir(path(".")).mkdir("by hand");
            byHand.setWorkingDirectory(path("by hand"));
            byHand.start("wine", {windowsGame(), "8000"});
        }
        if (!waitFor([&] { return done() || !on(); }, 30000) || !done()) return -2;
        QElapsedTimer t;
        t.start();
        return waitFor(back, 3000) ? t.elapsed() : -1;
    }
    // Whether every process of this run has ended, its client stopped first.
    bool over() {
        stopClient();
        if (shape.startsWith("wine program")) { // the server ends after the prefix's last program
            QProcess wait;
            wait.start("wineserver", {"-w"});
            if (!wait.waitForFinished(30000)) return false;
            byHand.waitForFinished(10000);
        }
        const QStringList pgrep{"-c", "! pgrep -f \"$0\" >/dev/null",
                                dir.filePath(QString::number(run)) + "[/]"};
        return waitFor([&] { return QProcess::execute("sh", pgrep) == 0; }, 5000);
    }
    void stopClient() {
        QFile f(path("client"));
        if (f.open(QIODevice::ReadOnly)) ::kill(f.readAll().trimmed().toInt(), SIGTERM);
    }
    // A Wine prefix of the rig's own, made once: a new one takes seconds.
    void makePrefix() {
        const QString prefix = dir.filePath("wine");
        if (QFile::exists(prefix)) return;
        qputenv("WINEPREFIX", prefix.toUtf8());
        qputenv("WINEDEBUG", "-all");
        for (const QStringList& command :
             {QStringList{"wine", "wineboot", "-i"}, QStringList{"wineserver", "-w"}}) {
            QProcess p;
            p.setStandardOutputFile(QProcess::nullDevice()); // Wine's notes on a new prefix
            p.setStandardErrorFile(QProcess::nullDevice());
            p.start(command[0], command.mid(1));
            p.waitForFinished(120000);
        }
    }
    ~Games() { stopClient(); }
};
