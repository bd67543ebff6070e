#include "platform/process/Autostart.h"

#include "platform/system/XdgDirs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

namespace platform::autostart {

QString entryPath() {
    return xdg::configHome() + "/autostart/kelvaro.desktop";
}

QString escapeValue(const QString& value) {
    QString out;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString unescapeValue(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar n = value[++i];
        switch (n.unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case '\\':
            out += QLatin1Char('\\');
            break;
        default:
            out += c, out += n;
        }
    }
    return out;
}

QString quoteExecArgument(const QString& argument) {
    // Always quoted: then no character of the path can split it or add an argument.
    QString out = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        if (c == QLatin1Char('%')) out += QLatin1Char('%'); // a literal % is written %%
        out += c;
    }
    return out + QLatin1Char('"');
}

std::optional<QString> firstExecArgument(const QString& execValue) {
    QString arg;
    qsizetype i = 0;
    while (i < execValue.size() && execValue[i] == QLatin1Char(' '))
        ++i;
    if (i == execValue.size()) return std::nullopt;
    bool quoted = false;
    for (; i < execValue.size(); ++i) {
        const QChar c = execValue[i];
        if (quoted) {
            if (c == QLatin1Char('"')) {
                quoted = false;
            } else if (c == QLatin1Char('\\') && i + 1 < execValue.size()) {
                arg += execValue[++i];
            } else {
                arg += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(' ')) {
            break;
        } else {
            arg += c;
        }
    }
    arg.replace(QLatin1String("%%"), QLatin1String("%"));
    return arg;
}

namespace {

struct Entry {
    QString exec;
    bool off = false; // Hidden, or switched off in the session's settings
};

// GLib refuses an entry whose program, as written (a literal % still doubled), is not there,
// so a program with a % in its path is started through sh, which GLib always finds.
const QString ThroughShell = QStringLiteral("sh -c \"exec \\\"\\$0\\\"\" ");
// The entry tells the program it was started by the session: it then shows no window where
// there is no tray.
const QString BySession = QStringLiteral("--autostart");
const QString ThroughShellBySession =
    QStringLiteral("sh -c \"exec \\\"\\$0\\\" ") + BySession + QStringLiteral("\" ");

std::optional<Entry> readEntry() {
    QFile f(entryPath());
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
    Entry e;
    bool inGroup = false;
    QTextStream in(&f);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line.trimmed() == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inGroup) continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Exec")) e.exec = unescapeValue(value);
        if (key == QLatin1String("Hidden") && value == QLatin1String("true")) e.off = true;
        if (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false"))
            e.off = true;
    }
    return e;
}

} // namespace

bool exists() {
    const auto e = readEntry();
    return e && !e->off;
}

std::optional<QString> read() {
    const auto e = readEntry();
    if (!e || e->off) return std::nullopt;
    for (const QString& shell : {ThroughShell, ThroughShellBySession})
        if (e->exec.startsWith(shell)) return firstExecArgument(e->exec.mid(shell.size()));
    return firstExecArgument(e->exec);
}

bool write(const QString& program) {
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    const QString text =
        QStringLiteral("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Kelvaro\n"
                       "Comment=Per-application display gamma\n"
                       "Icon=kelvaro\n"
                       "Exec=%1\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n")
            .arg(escapeValue(program.contains(QLatin1Char('%'))
                                 ? ThroughShellBySession + quoteExecArgument(program)
                                 : quoteExecArgument(program) + QLatin1Char(' ') + BySession));
    f.write(text.toUtf8());
    return f.commit();
}

bool remove() {
    return QFile::remove(entryPath());
}

} // namespace platform::autostart
