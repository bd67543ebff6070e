// GNOME on Wayland offers programs no global shortcuts (its portal has none), and X key grabs
// on Xwayland see only the keys pressed while an X window has the keyboard. GNOME's own custom
// shortcuts work whatever has the keyboard: while the hot keys are on, two of them, Kelvaro's
// own, run `kelvaro --step up|down` on the hot keys. They live in GSettings
// (org.gnome.settings-daemon.plugins.media-keys custom-keybindings, a list of paths, each with
// name, command and binding), reached through the gsettings tool one call after another, off
// the UI thread's back: GNOME always has it, so the program links no GLib library of its own
// and nothing of this runs on other desktops.
#include "platform/keys/GnomeShortcuts.h"

#include "platform/system/Session.h"

#include <QCoreApplication>
#include <QDir>
#include <QObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace platform {

namespace {

const QString kSchema = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
const QString kList = QStringLiteral("custom-keybindings");
const QString kEntrySchema =
    QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding");
const QString kFolder =
    QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/");

// Ours, one fixed path each: found again after a restart, so never added twice.
struct Shortcut {
    QString path;
    QString name;
    QString step;
    QString binding;
};
const Shortcut& ShortcutOf(unsigned vk) {
    static const Shortcut up{kFolder + QStringLiteral("kelvaro-gamma-up/"),
                             QStringLiteral("Kelvaro: raise the gamma"), QStringLiteral("up"),
                             QStringLiteral("<Primary><Alt>KP_Add")};
    static const Shortcut down{kFolder + QStringLiteral("kelvaro-gamma-down/"),
                               QStringLiteral("Kelvaro: lower the gamma"), QStringLiteral("down"),
                               QStringLiteral("<Primary><Alt>KP_Subtract")};
    return vk == VK_ADD ? up : down;
}

// A GVariant string, as gsettings reads one.
QString Quoted(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    out.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

// The GVariant string that starts at `at`, as gsettings prints one: in single quotes, or in
// double quotes where it holds a single quote, with GLib's escapes; `at` moves past it. nullopt
// where none starts there.
std::optional<QString> StringAt(const QString& text, qsizetype& at) {
    if (at >= text.size() || (text[at] != u'\'' && text[at] != u'"')) return std::nullopt;
    const QChar quote = text[at++];
    QString out;
    while (at < text.size()) {
        const QChar c = text[at++];
        if (c == quote) return out;
        if (c != u'\\') {
            out += c;
            continue;
        }
        if (at >= text.size()) break;
        const QChar e = text[at++];
        static const QString letters = QStringLiteral("abfnrtv"),
                             codes = QStringLiteral("\a\b\f\n\r\t\v");
        if (const qsizetype i = letters.indexOf(e); i >= 0) {
            out += codes[i];
        } else if (e == u'u' || e == u'U') {
            const int digits = e == u'u' ? 4 : 8;
            bool ok = false;
            const char32_t code = text.mid(at, digits).toUInt(&ok, 16);
            if (!ok || at + digits > text.size()) return std::nullopt;
            out += QString::fromUcs4(&code, 1);
            at += digits;
        } else {
            out += e;
        }
    }
    return std::nullopt;
}

// One GVariant string as gsettings prints it; nullopt for anything else (a failed read gives "").
std::optional<QString> String(const QString& value) {
    qsizetype at = 0;
    const std::optional<QString> s = StringAt(value, at);
    return s && at == value.size() ? s : std::nullopt;
}

// A list of strings as gsettings prints it: "['a', \"b'c\"]", or "@as []" when it is empty;
// nullopt for anything else.
std::optional<QStringList> Strings(const QString& value) {
    if (value == QLatin1String("@as []")) return QStringList();
    if (!value.startsWith(u'[')) return std::nullopt;
    QStringList out;
    qsizetype at = 1;
    for (;;) {
        const std::optional<QString> s = StringAt(value, at);
        if (!s) return std::nullopt;
        out << *s;
        if (!QStringView(value).mid(at).startsWith(u", ")) break;
        at += 2;
    }
    return at == value.size() - 1 && value.endsWith(u']') ? std::optional(out) : std::nullopt;
}

bool Ours(const QString& path) {
    return path == ShortcutOf(VK_ADD).path || path == ShortcutOf(VK_SUBTRACT).path;
}

// A key GNOME reads the same however its modifiers are spelt or ordered.
QString Normal(const QString& binding) {
    QStringList mods;
    static const QRegularExpression mod(QStringLiteral(R"(<([^>]+)>)"));
    for (const QRegularExpressionMatch& m : mod.globalMatch(binding)) {
        QString name = m.captured(1).toLower();
        if (name == QLatin1String("control") || name == QLatin1String("ctrl") ||
            name == QLatin1String("ctl"))
            name = QStringLiteral("primary");
        mods << name;
    }
    mods.sort();
    QString key = binding;
    key.remove(mod);
    return mods.join(QLatin1Char('+')) + QLatin1Char('+') + key.toLower();
}

class GnomeShortcuts : public QObject, public Hotkeys {
public:
    bool RegisterHotKey(int id, unsigned, unsigned vk) override {
        if ((vk != VK_ADD && vk != VK_SUBTRACT) || regs_.count(id)) return false;
        regs_[id] = vk;
        settle();
        return true;
    }
    bool UnregisterHotKey(int id) override {
        if (!regs_.erase(id)) return false;
        settle();
        return true;
    }

private:
    using Done = std::function<void(const QString& out)>;

    // One gsettings call; `done` gets its output ("" when it failed).
    void call(const QStringList& args, Done done) {
        auto* p = new QProcess(this);
        p->setProgram(QStringLiteral("gsettings"));
        p->setArguments(args);
        p->setStandardInputFile(QProcess::nullDevice());
        QObject::connect(p, &QProcess::finished, this, [p, done = std::move(done)](int code) {
            p->deleteLater();
            done(code == 0 ? QString::fromUtf8(p->readAllStandardOutput()).trimmed() : QString());
        });
        QObject::connect(p, &QProcess::errorOccurred, this, [p](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart) p->finished(-1, QProcess::CrashExit);
        });
        p->start();
    }
    // Calls one after another, then `then`.
    void calls(std::vector<QStringList> list, std::function<void()> then) {
        if (list.empty()) return then();
        const QStringList first = list.front();
        list.erase(list.begin());
        call(first, [this, list = std::move(list), then = std::move(then)](const QString&) mutable {
            calls(std::move(list), std::move(then));
        });
    }

    // Brings GNOME's list in line with the keys registered; one pass at a time, and another
    // when they changed meanwhile. A read that fails, or gives what isn't a value of its kind,
    // ends the pass with nothing written: the user's shortcuts are never written from a guess.
    void settle() {
        if (busy_) {
            again_ = true;
            return;
        }
        busy_ = true;
        again_ = false;
        call({QStringLiteral("get"), kSchema, kList}, [this](const QString& out) {
            const std::optional<QStringList> list = Strings(out);
            if (!list) return done();
            Read read;
            read.list = *list;
            read.left = std::vector<QString>(list->begin(), list->end());
            readEntries(std::move(read));
        });
    }

    // What a pass has read: GNOME's list, the user's shortcuts' keys (with their names), and
    // the keys of ours that are in the list already.
    struct Read {
        QStringList list;
        std::vector<QString> left; // still to read
        std::map<QString, QString> taken;
        std::map<QString, QString> ours;
    };
    void readEntries(Read read) {
        if (read.left.empty()) return write(read);
        const QString path = read.left.front();
        read.left.erase(read.left.begin());
        const QString entry = kEntrySchema + QLatin1Char(':') + path;
        call({QStringLiteral("get"), entry, QStringLiteral("binding")},
             [this, path, entry, read = std::move(read)](const QString& out) mutable {
                 const std::optional<QString> binding = String(out);
                 if (!binding) return done();
                 if (Ours(path)) {
                     read.ours[path] = *binding;
                     return readEntries(std::move(read));
                 }
                 call({QStringLiteral("get"), entry, QStringLiteral("name")},
                      [this, binding, read = std::move(read)](const QString& out) mutable {
                          const std::optional<QString> name = String(out);
                          if (!name) return done();
                          if (!binding->isEmpty()) read.taken[Normal(*binding)] = *name;
                          readEntries(std::move(read));
                      });
             });
    }

    void write(const Read& read) {
        std::set<unsigned> wanted;
        for (const auto& [id, vk] : regs_)
            wanted.insert(vk);
        std::vector<QStringList> steps;
        QStringList next;
        for (const QString& path : read.list)
            if (!Ours(path)) next << path;
        std::vector<QString> gone;
        for (const unsigned vk : {VK_ADD, VK_SUBTRACT}) {
            const Shortcut& s = ShortcutOf(vk);
            const QString topic = vk == VK_ADD ? QStringLiteral("GnomeShortcutUp")
                                               : QStringLiteral("GnomeShortcutDown");
            // Ours as the user left it: the key chosen in GNOME's settings stays.
            const auto kept = read.ours.find(s.path);
            const bool listed = kept != read.ours.end();
            const QString binding = listed ? kept->second : s.binding;
            const auto user =
                binding.isEmpty() ? read.taken.end() : read.taken.find(Normal(binding));
            if (wanted.count(vk) && user != read.taken.end()) {
                // One of the user's: theirs stays, and they are told once.
                SessionNotice(QStringLiteral("Your GNOME keyboard shortcut \"%1\" already uses "
                                             "%2, so Kelvaro adds none of its own there; "
                                             "\"kelvaro --step %3\" steps the gamma.")
                                  .arg(user->second,
                                       vk == VK_ADD ? QStringLiteral("Ctrl+Alt+Num+")
                                                    : QStringLiteral("Ctrl+Alt+Num-"),
                                       s.step),
                              topic, NoticeKept::WhileItLasts);
                wanted.erase(vk);
            } else if (wanted.count(vk)) {
                SessionNoticeOver(topic);
            }
            const QString entry = kEntrySchema + QLatin1Char(':') + s.path;
            if (wanted.count(vk)) {
                // The command every time: the program may have moved since.
                if (!listed)
                    steps.push_back(
                        {QStringLiteral("set"), entry, QStringLiteral("name"), Quoted(s.name)});
                steps.push_back({QStringLiteral("set"), entry, QStringLiteral("command"),
                                 Quoted(StepCommand(s.step))});
                if (!listed)
                    steps.push_back({QStringLiteral("set"), entry, QStringLiteral("binding"),
                                     Quoted(s.binding)});
                next << s.path;
            } else if (listed) {
                gone.push_back(entry);
            }
        }
        if (next != read.list) {
            QStringList quoted;
            for (const QString& path : next)
                quoted << Quoted(path);
            steps.push_back(
                {QStringLiteral("set"), kSchema, kList,
                 QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']')});
        }
        // Out of the list first, then its keys.
        for (const QString& entry : gone)
            steps.push_back({QStringLiteral("reset-recursively"), entry});
        calls(std::move(steps), [this] { done(); });
    }

    // The pass is over; another when the keys changed meanwhile.
    void done() {
        busy_ = false;
        if (again_) settle();
    }

    std::map<int, unsigned> regs_;
    bool busy_ = false;
    bool again_ = false;
};

} // namespace

QString StepCommand(const QString& step) {
    QString program = QCoreApplication::applicationFilePath();
    static const QRegularExpression plain(QStringLiteral(R"(^[A-Za-z0-9/._+,:@-]+$)"));
    if (!plain.match(program).hasMatch())
        program = QLatin1Char('\'') + program.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
                  QLatin1Char('\'');
    return program + QStringLiteral(" --step ") + step;
}

bool GnomeSession() {
    return CurrentDesktop().split(':').contains("GNOME");
}

Hotkeys* NewGnomeShortcuts() {
    if (QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty()) return nullptr;
    return new GnomeShortcuts;
}

} // namespace platform
