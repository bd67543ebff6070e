// The command line. Each option is a row of one table (its name, its value, its line in the
// usage text and what it asks for), so another option is another row and another case in main.
#pragma once

#include <QString>
#include <QStringList>

enum class CommandAction {
    Run,      // no option: the resident program, or the running copy's profiles window
    Help,     // --help: the usage on standard output
    Version,  // --version: the file version
    Step,     // --step up|down: the running copy steps the gamma in force, as a hot key does
    Reset,    // --reset: the display's own ramps back, without the resident program
    BadUsage, // the usage on standard error, status 2
};

struct Command {
    CommandAction action = CommandAction::Run;
    int step = 0;  // Step: +1 up, -1 down
    QString error; // BadUsage: what was wrong, as one line
    // Run: started by the session's autostart entry (--autostart), not by the user.
    bool bySession = false;
};

// args without the program's name.
Command ParseCommandLine(const QStringList& args);
QString UsageText();

// The exit statuses the program uses.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1; // no display, no running copy to hand --step to, no gamma to reset
constexpr int ExitUsage = 2;
