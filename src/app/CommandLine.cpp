#include "app/CommandLine.h"

#include <iterator>

namespace {

struct Option {
    const char* shortName; // "" when there is none
    const char* name;
    const char* value; // nullptr: takes no value
    const char* help;
    CommandAction action;
};

const Option Options[] = {
    {"-h", "--help", nullptr, "show this help and exit", CommandAction::Help},
    {"", "--version", nullptr, "show the version and exit", CommandAction::Version},
    {"", "--step", "up|down",
     "step the running Kelvaro's gamma in force by one tenth, as its hot keys do",
     CommandAction::Step},
    {"", "--reset", nullptr, "put back the gamma the display had before Kelvaro (after a crash)",
     CommandAction::Reset},
    {"", "--autostart", nullptr, "start as the session does at log-in (no window shown)",
     CommandAction::Run},
};

Command bad(const QString& error) {
    Command c;
    c.action = CommandAction::BadUsage;
    c.error = QStringLiteral("kelvaro: ") + error;
    return c;
}

// The option's value, checked; sets what the action needs.
bool takeValue(Command& c, const QString& value) {
    if (c.action == CommandAction::Step) {
        if (value == QLatin1String("up"))
            c.step = 1;
        else if (value == QLatin1String("down"))
            c.step = -1;
        else
            return false;
    }
    return true;
}

} // namespace

Command ParseCommandLine(const QStringList& args) {
    Command result;
    for (auto it = args.begin(); it != args.end(); ++it) {
        const QString& arg = *it;
        const qsizetype eq = arg.startsWith(QLatin1String("--")) ? arg.indexOf(u'=') : -1;
        const QString name = eq < 0 ? arg : arg.left(eq);
        const Option* option = nullptr;
        for (const Option& o : Options)
            if (name == QLatin1String(o.name) ||
                (*o.shortName && name == QLatin1String(o.shortName)))
                option = &o;
        if (!option) {
            if (arg.startsWith(u'-') && arg != QLatin1String("-"))
                return bad(QStringLiteral("unrecognized option '%1'").arg(arg));
            return bad(QStringLiteral("unexpected argument '%1'").arg(arg));
        }
        if (!option->value && eq >= 0)
            return bad(QStringLiteral("option '%1' doesn't take a value").arg(name));
        // Help and version answer at once, whatever follows.
        if (option->action == CommandAction::Help || option->action == CommandAction::Version) {
            Command c;
            c.action = option->action;
            return c;
        }
        if (result.action != CommandAction::Run && result.action != option->action)
            return bad(QStringLiteral("'%1' cannot be combined with another option").arg(name));
        result.action = option->action;
        if (option->action == CommandAction::Run) result.bySession = true;
        if (!option->value) continue;
        QString value;
        if (eq >= 0)
            value = arg.mid(eq + 1);
        else if (std::next(it) != args.end())
            value = *++it;
        else
            return bad(
                QStringLiteral("option '%1' needs %2").arg(name, QLatin1String(option->value)));
        if (!takeValue(result, value))
            return bad(QStringLiteral("option '%1' takes %2, not '%3'")
                           .arg(name, QLatin1String(option->value), value));
    }
    return result;
}

QString UsageText() {
    QString text = QStringLiteral(
        "Usage: kelvaro [OPTION]\n"
        "Sets the display's gamma for each program you run. Without an option, starts Kelvaro in\n"
        "the notification area, or shows the profiles window of the copy already running on this\n"
        "display.\n\n");
    for (const Option& o : Options) {
        QString left =
            *o.shortName
                ? QStringLiteral("  %1, %2").arg(QLatin1String(o.shortName), QLatin1String(o.name))
                : QStringLiteral("      %1").arg(QLatin1String(o.name));
        if (o.value) left += QLatin1Char(' ') + QLatin1String(o.value);
        text += left.leftJustified(22) + QLatin1Char(' ') + QLatin1String(o.help) + u'\n';
    }
    text += QStringLiteral("\nExit status: 0 on success, 1 without a graphical session, when "
                           "no Kelvaro runs to step\nor when the display's gamma can't be set, "
                           "2 for a wrong command line.\n");
    return text;
}
