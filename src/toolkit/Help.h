// The program's help file.
#pragma once

#include <QString>
#include <QUrl>

// The type a desktop registers a viewer of "gamma_help.chm" for.
extern const QString HelpMimeType;

// The program's folder with its trailing "/", where its help file lives.
QString ProgramFolder();
QString HelpFilePath();
// What Help opens: the help file when the desktop has a viewer for it, else the HTML pages
// installed beside it (help/index.html), else the help file still; empty when it is missing.
QUrl HelpTarget(bool viewer);
// Hands HelpTarget() to the desktop once it has said whether it has a viewer (the event loop
// runs on meanwhile); where the desktop has no program for it (or fails to start one), a message
// names the file. Nothing, and no message, when the help file is missing.
void OpenHelp();
