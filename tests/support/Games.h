// A game as launchers start it: 2 s in two processes (its first ends after 0.5 s), marking its
// start and, from its last process, its end. Around it, the shapes a profile's program takes:
// wrapper scripts (one leaves a Wine server), and a stand-in for Steam's client that hands the
// request on to the client already running (or becomes it and stays), which starts the game.
// A game with a window runs `window` (a command line) in its place, for as long as that runs.
#pragma once

#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>

struct Games {
    QTemporaryDir dir;
    int run = 0; // each run in a folder of its own: a game left running can't answer for the next
    QString window;
    static QStringList shapes() {
        return {"game & exit",
                "setsid -f",
                "double fork",
                "exec",
                "waits",
                "steam hands off",
                "steam client stays",
                "wine server lingers",
                "bwrap --unshare-pid"};
    }
    QString path(const QString& f) const { return dir.filePath(QString::number(run) + "/" + f); }
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
        QDir(dir.path()).mkdir(QString::number(++run));
        script("game", window.isEmpty()
                           ? "touch \"$d/started\"\n(sleep 2; touch \"$d/done\") &\nsleep 0.5\n"
                           : "touch \"$d/started\"\nexec " + window + "\n");
        const QString steam = script(
            "steam", "[ -p \"$d/pipe\" ] && { echo \"$@\" > \"$d/pipe\"; sleep 0.5; exit 0; }\n"
                     "mkfifo \"$d/pipe\"; echo $$ > \"$d/client\"\n"
                     "run() { sleep 1; id=$(echo \"$*\" | tr -c 0-9 ' ' | awk '{print $NF}')\n"
                     "  SteamAppId=$id SteamGameId=$id \"$d/game\" & }\n"
                     "[ $# -gt 0 ] && run \"$@\"\n"
                     "while :; do read -r line < \"$d/pipe\" && run $line; done\n");
        if (shape == "steam hands off" && QProcess::startDetached(steam, {}))
            waitFor([&] { return QFile::exists(path("pipe")); }, 2000);
        if (shape.startsWith("steam"))
            return {steam, shape.endsWith("off") ? "-applaunch 570" : "steam://rungameid/570"};
        const QString body =
            shape == "game & exit"           ? "\"$d/game\" & exit 0"
            : shape == "setsid -f"           ? "setsid -f \"$d/game\""
            : shape == "double fork"         ? "( \"$d/game\" & )"
            : shape == "exec"                ? "exec \"$d/game\""
            : shape == "bwrap --unshare-pid" ? "exec bwrap --unshare-pid --dev-bind / / \"$d/game\""
            : shape == "wine server lingers"
                ? "ln -s /bin/sleep \"$d/wineserver\"; (\"$d/wineserver\" 4 &); \"$d/game\""
                : "\"$d/game\" & wait";
        return {script("wrapper", body + "\n"), QString()};
    }
    // How long after the game's end back() held, on() having held until that end:
    // -2 when on() failed first, -1 when back() did not hold within 3 s.
    qint64 endToBack(const std::function<bool()>& on, const std::function<bool()>& back) const {
        if (!waitFor([&] { return done() || !on(); }, 10000) || !done()) return -2;
        QElapsedTimer t;
        t.start();
        return waitFor(back, 3000) ? t.elapsed() : -1;
    }
    // Whether every process of this run has ended, its client stopped first.
    bool over() {
        stopClient();
        const QStringList pgrep{"-c", "! pgrep -f \"$0\" >/dev/null",
                                dir.filePath(QString::number(run)) + "[/]"};
        return waitFor([&] { return QProcess::execute("sh", pgrep) == 0; }, 5000);
    }
    void stopClient() {
        QFile f(path("client"));
        if (f.open(QIODevice::ReadOnly)) ::kill(f.readAll().trimmed().toInt(), SIGTERM);
    }
    ~Games() { stopClient(); }
};
