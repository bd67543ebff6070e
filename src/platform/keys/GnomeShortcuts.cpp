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

// The strings of a GVariant value as gsettings prints it: "'a'", "['a', 'b']", "@as []".
QStringList Strings(const QString& value) {
    QStringList out;
    static const QRegularExpression string(QStringLiteral(R"('((?:[^'\\]|\\.)*)')"));
    for (const QRegularExpressionMatch& m : string.globalMatch(value)) {
        QString s = m.captured(1);
        s.replace(QRegularExpression(QStringLiteral(R"(\\(.))")), QStringLiteral("\\1"));
        out << s;
    }
    return out;
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
    // when they changed meanwhile.
    void settle() {
        if (busy_) {
            again_ = true;
            return;
        }
        busy_ = true;
        again_ = false;
        call({QStringLiteral("get"), kSchema, kList}, [this](const QString& out) {
            const QStringList list = Strings(out);
            std::vector<QString> others;
            for (const QString& path : list)
                if (path != ShortcutOf(VK_ADD).path && path != ShortcutOf(VK_SUBTRACT).path)
                    others.push_back(path);
            readBindings(others, {}, list);
        });
    }

    // The bindings and names of the user's own shortcuts.
    void readBindings(std::vector<QString> left, std::map<QString, QString> taken,
                      QStringList list) {
        if (left.empty()) return write(taken, list);
        const QString path = left.front();
        left.erase(left.begin());
        call({QStringLiteral("get"), kEntrySchema + QLatin1Char(':') + path,
              QStringLiteral("binding")},
             [this, path, left = std::move(left), taken = std::move(taken),
              list = std::move(list)](const QString& binding) mutable {
                 call({QStringLiteral("get"), kEntrySchema + QLatin1Char(':') + path,
                       QStringLiteral("name")},
                      [this, binding, left = std::move(left), taken = std::move(taken),
                       list = std::move(list)](const QString& name) mutable {
                          for (const QString& b : Strings(binding))
                              taken[Normal(b)] = Strings(name).value(0);
                          readBindings(std::move(left), std::move(taken), std::move(list));
                      });
             });
    }

    void write(const std::map<QString, QString>& taken, const QStringList& list) {
        std::set<unsigned> wanted;
        for (const auto& [id, vk] : regs_)
            wanted.insert(vk);
        std::vector<QStringList> steps;
        QStringList next;
        for (const QString& path : list)
            if (path != ShortcutOf(VK_ADD).path && path != ShortcutOf(VK_SUBTRACT).path)
                next << path;
        std::vector<QString> gone;
        for (const unsigned vk : {VK_ADD, VK_SUBTRACT}) {
            const Shortcut& s = ShortcutOf(vk);
            const auto user = taken.find(Normal(s.binding));
            if (wanted.count(vk) && user != taken.end()) {
                // One of the user's: theirs stays, and they are told once.
                SessionNotice(QStringLiteral("Your GNOME keyboard shortcut \"%1\" already uses "
                                             "%2, so Kelvaro adds none of its own there; "
                                             "\"kelvaro --step %3\" steps the gamma.")
                                  .arg(user->second,
                                       vk == VK_ADD ? QStringLiteral("Ctrl+Alt+Num+")
                                                    : QStringLiteral("Ctrl+Alt+Num-"),
                                       s.step));
                wanted.erase(vk);
            }
            const QString entry = kEntrySchema + QLatin1Char(':') + s.path;
            if (wanted.count(vk)) {
                // Written whole every time: the program may have moved since.
                steps.push_back(
                    {QStringLiteral("set"), entry, QStringLiteral("name"), Quoted(s.name)});
                steps.push_back({QStringLiteral("set"), entry, QStringLiteral("command"),
                                 Quoted(StepCommand(s.step))});
                steps.push_back(
                    {QStringLiteral("set"), entry, QStringLiteral("binding"), Quoted(s.binding)});
                next << s.path;
            } else if (list.contains(s.path)) {
                gone.push_back(entry);
            }
        }
        if (next != list) {
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
        calls(std::move(steps), [this] {
            busy_ = false;
            if (again_) settle();
        });
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
