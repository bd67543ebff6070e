// The program's help file.
#pragma once

#include <QString>

// "gamma_help.chm" in the program's folder, opened through the desktop; nothing when missing.
void OpenHelp();
// The program's folder with its trailing "/", where its help file lives.
QString ProgramFolder();
QString HelpFilePath();
