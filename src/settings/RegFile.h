// The store as a text file in the registry editor's export format (REGEDIT4): for backups and
// for moving profiles to another machine.
#pragma once

#include "platform/store/Hive.h"

#include <QString>
#include <stdexcept>

// A file that can't be imported: nothing was changed. line is 1-based (0: not line-specific).
class RegFileError : public std::runtime_error {
public:
    RegFileError(int line, const std::string& what) : std::runtime_error(what), line(line) {}
    int line;
};

// path is a key path from HKEY_CURRENT_USER ("\Software\..."); the key must exist.
QString ExportRegFile(platform::Hive& hive, const QString& path);
// The text of a file as read: UTF-16 (the registry editor's version 5 files) or UTF-8 by its
// byte-order mark; without one UTF-8 when it is valid UTF-8, otherwise Windows-1252 (what the
// registry editor writes REGEDIT4 files in, in the West).
QString DecodeRegFile(const QByteArray& bytes);
QString FromWindows1252(const QByteArray& bytes);
// The largest file import reads: far beyond any real settings export.
constexpr qint64 MaxRegFileBytes = 64 << 20;
// Applies the whole file in one transaction, or nothing of it.
void ImportRegFile(platform::Hive& hive, const QString& text);
